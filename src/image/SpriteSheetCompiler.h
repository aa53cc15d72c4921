#pragma once
// Packs the frames of one animation into power-of-two sprite-sheet pages: decode and scale,
// optional trimming to the non-transparent pixels, de-duplication of identical frames,
// maximal-rectangles placement (best short side fit), rendering with extruded borders.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/Raster.h"
#include "platform/Error.h"

namespace lw {

// 8-bit RGBA, premultiplied alpha, rows top to bottom (a Raster8 with 4 channels).
struct RGBAImage : Raster8 {
    struct Bounds {
        int x = 0, y = 0, width = 0, height = 0;
        friend bool operator==(const Bounds&, const Bounds&) = default;
    };

    RGBAImage() : Raster8(0, 0, 4) {}
    RGBAImage(int width, int height) : Raster8(width, height, 4) {}

    // Decodes the first image of a file and scales it by `scale` (target sides rounded half away
    // from zero, at least 1). Nothing when the file can't be read or decoded, or is too large.
    static std::optional<RGBAImage> load(const std::filesystem::path& file, double scale);

    // Smallest rectangle holding every pixel whose alpha isn't 0; nothing when there is none.
    std::optional<Bounds> opaqueBounds() const;
    RGBAImage cropped(const Bounds& rect) const;
    // A quarter turn clockwise: width and height swap.
    RGBAImage rotatedClockwise() const;
    // Straight-alpha copy of the pixels, as image files store them.
    std::vector<std::uint8_t> unpremultipliedPixels() const;
    // Encodes as an 8-bit RGBA PNG with straight alpha at `file` (plain write: callers that
    // deliver the file write to an AtomicFile's temporary path). Throws lw::Error.
    void writePNG(const std::filesystem::path& file) const;
};

class SpriteSheetCompiler {
public:
    enum class DataFormat { jsonHash, jsonArray, cocos, godot, unity };

    struct Rect {
        int x = 0, y = 0, width = 0, height = 0;
        friend bool operator==(const Rect&, const Rect&) = default;
    };
    struct Size {
        int width = 0, height = 0;
        friend bool operator==(const Size&, const Size&) = default;
    };

    struct Options {
        bool trim = true;
        int padding = 2;        // pixels between neighbouring frames
        int extrude = 1;        // pixels of repeated border around each frame
        int maxSheetSize = 8192;  // longest allowed page side
        double scale = 1.0;     // applied to every frame on decoding
        bool allowRotation = false;
    };

    struct Frame {
        std::string name;       // the frame file's last path component
        Rect frame;             // the frame's pixels on its page (turned when rotated), origin top left
        bool rotated = false;   // stored a quarter turn clockwise
        bool trimmed = false;
        Rect spriteSourceSize;  // kept pixels inside the untrimmed, scaled frame
        Size sourceSize;        // untrimmed, scaled frame
        bool isDuplicate = false;
        int sequenceIndex = 0;  // position among the decoded frames, for animation order across pages
    };

    struct AtlasResult {
        RGBAImage image;  // premultiplied
        std::vector<Frame> frames;  // placed and duplicate frames of this page, in input order
        int sheetWidth = 0;
        int sheetHeight = 0;
        int duplicateCount = 0;
    };

    struct Atlas {
        std::vector<AtlasResult> pages;
        // Files that could not be decoded and were left out.
        std::vector<std::filesystem::path> unreadableFrames;
        int frameCount() const;
        int duplicateCount() const;
        int rotatedCount() const;
    };

    class AtlasError : public Error {
    public:
        enum class Kind {
            sheetTooLarge,
            frameTooLarge,
            emptyFrameList,
            failedToLoadFrames,
            failedToCreateContext,
            failedToCreateImage
        };
        AtlasError(Kind kind, std::string frameName = {}, int limit = 0);
        Kind kind;
        std::string frameName;
        int limit;
    };

    // With allowMultiplePages false every frame must fit on one page (else sheetTooLarge).
    Atlas compileAtlas(const std::vector<std::filesystem::path>& frameURLs, const Options& options,
                       bool allowMultiplePages) const;
    // One page: compileAtlas without multiple pages, first page.
    AtlasResult compile(const std::vector<std::filesystem::path>& frameURLs, const Options& options) const;

    // The packing step on already decoded frames (same rules as compileAtlas). `names` pairs with `images`.
    Atlas compileAtlas(const std::vector<std::string>& names, std::vector<RGBAImage> images, const Options& options,
                       bool allowMultiplePages) const;
};

// Settings words: "json", "json-array", "cocos", "godot", "unity".
std::string rawValue(SpriteSheetCompiler::DataFormat format);
std::optional<SpriteSheetCompiler::DataFormat> dataFormatFromRawValue(std::string_view raw);
std::string displayName(SpriteSheetCompiler::DataFormat format);
bool supportsRotation(SpriteSheetCompiler::DataFormat format);
const std::vector<SpriteSheetCompiler::DataFormat>& allDataFormats();

}  // namespace lw
