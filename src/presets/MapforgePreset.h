#pragma once
// The game-texture preset: every option of the texture operations, and the per-item road that
// runs one of six operations on a texture file.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/JobModel.h"
#include "image/ChannelPacker.h"
#include "image/PowerOfTwoScaler.h"
#include "image/SpriteSheetCompiler.h"
#include "image/TextureImage.h"
#include "platform/Error.h"

namespace lw {

class MapforgePreset : public BatchPreset {
public:
    enum class OperationalMode {
        channelPackingORM,
        normalMapConvert,
        normalFromHeight,
        powerOfTwoEnforce,
        spriteSheetAtlas,
        tilingCheck,
    };

    class TextureError : public Error {
    public:
        enum class Kind { cannotOpenImage, notSeamless };
        // "Failed to open texture image at " + the file name, then the reason (a sentence) when given.
        static TextureError cannotOpenImage(const std::filesystem::path& file, const std::string& reason = {});
        // The text itself.
        static TextureError notSeamless(const std::string& text);
        Kind kind;
        std::filesystem::path file;  // cannotOpenImage
        std::string text;            // notSeamless

    private:
        TextureError(Kind kind, std::filesystem::path file, std::string text, const std::string& message);
    };

    MapforgePreset(OperationalMode operationalMode, ChannelPacker::EngineProfile engineProfile, bool enforcePOT,
                   PowerOfTwoScaler::ScaleMode potScaleMode, bool forceSquare, std::int64_t maxTextureSize,
                   bool generateMipmaps);

    // Identity (the same in every preset value).
    std::string id() const override { return "com.tallymill.mapforge"; }
    std::string displayName() const override { return "Mapforge Lite"; }
    std::string verticalName() const override { return "Indie Game Dev & 3D Art"; }
    std::string description() const override;
    std::string systemIconName() const override { return "cube.transparent"; }
    std::set<std::string> supportedExtensions() const override;
    std::string defaultNamingPattern() const override { return "{name}_{profile}_{pot}"; }
    // The files this preset writes, known by the fixed parts of their names.
    bool isOwnDeliverable(const std::filesystem::path& relative) const override;

    std::vector<std::filesystem::path> process(const BatchItem& item, const ProcessingContext& context) const override;

    // Output size for a source of width x height: power-of-two rounding (enforcePOT, potScaleMode,
    // forceSquare), then the maxTextureSize clamp (0 or less: no limit).
    TextureSize targetSize(std::int64_t width, std::int64_t height) const;

    // The numbered frame sequence a file belongs to: files of its folder with an accepted
    // extension whose stems share the prefix before a trailing number (separators "_- ." at the
    // end of the prefix dropped), in number order. An empty prefix is named "Sprite"; a file
    // without a trailing number is a sequence of one named after its stem.
    struct FrameSequence {
        std::string name;
        std::vector<std::filesystem::path> frames;
    };
    static FrameSequence frameSequence(const std::filesystem::path& containing, const std::set<std::string>& extensions);

    // The page image names and the data file names of a sprite-sheet set: one data file per
    // page, or one for all pages in the Godot format.
    struct SpriteFileNames {
        std::vector<std::string> images;
        std::vector<std::string> data;
    };
    // Names come from the sequence name with invalid UTF-8 repaired, as the data files spell them.
    static SpriteFileNames spriteFileNames(const std::string& sequence, const std::string& suffix, int pages,
                                           SpriteSheetCompiler::DataFormat format);

    OperationalMode operationalMode;
    ChannelPacker::EngineProfile engineProfile;
    bool enforcePOT;
    PowerOfTwoScaler::ScaleMode potScaleMode;
    bool forceSquare;
    std::int64_t maxTextureSize;  // pixels; 0 or less means no limit
    bool generateMipmaps;
    ChannelPacker::NormalConvention normalTarget = ChannelPacker::NormalConvention::openGL;
    bool spriteTrim = true;
    std::int64_t spritePadding = 2;
    std::int64_t spriteExtrude = 1;
    bool spriteHalfScale = false;
    SpriteSheetCompiler::DataFormat spriteFormat = SpriteSheetCompiler::DataFormat::jsonHash;
    bool spriteRotate = false;
    double normalStrength = 2.0;
    bool generateMissingNormal = false;

};

// Raw values are the display texts: "Channel Packing (ORM / MaskMap)", ...
std::string rawValue(MapforgePreset::OperationalMode mode);
std::string displayName(MapforgePreset::OperationalMode mode);
// Exact, case-sensitive match of the whole text.
std::optional<MapforgePreset::OperationalMode> operationalModeFromRawValue(const std::string& raw);
const std::vector<MapforgePreset::OperationalMode>& allOperationalModes();

}  // namespace lw
