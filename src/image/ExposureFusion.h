#pragma once
// Exposure fusion of a bracket in the manner of Mertens, Kautz and Van Reeth: per-pixel
// weights from local contrast, saturation and well-exposedness, normalised across the
// shots, blended through Laplacian pyramids of the shots and Gaussian pyramids of the
// weights. Every shot is first aligned to the first by a translation found with
// median-threshold bitmaps, which do not care about the exposure difference.
#include <filesystem>
#include <string>
#include <vector>

#include "image/Image.h"
#include "image/Raster.h"
#include "platform/Error.h"

namespace lw {

class MergeError : public Error {
public:
    enum class Kind { cannotDecode, sizeMismatch, emptyBracket };

    static MergeError cannotDecode(const std::filesystem::path& member);
    static MergeError sizeMismatch(const std::filesystem::path& member, int width, int height, int firstWidth,
                                   int firstHeight);
    static MergeError emptyBracket();

    Kind kind;
    std::filesystem::path member;

private:
    MergeError(Kind kind, std::string text, std::filesystem::path member);
};

class ExposureFusion {
public:
    struct Offset {
        int dx = 0;  // the shot's pixel (x + dx, y + dy) shows the reference's pixel (x, y)
        int dy = 0;
        friend bool operator==(const Offset&, const Offset&) = default;
    };

    struct Weights {
        double contrast = 1;
        double saturation = 1;
        double exposedness = 1;
    };

    // Search radius of the alignment: 2^maxShiftBits - 1 pixels each way.
    int maxShiftBits = 6;
    Weights weights;

    // Luma of an RGB(A) raster, 8 bits.
    static Raster8 grey(const Raster16& image);
    // The translation that best lays `shot` over `reference` (same size, one channel each).
    static Offset alignment(const Raster8& reference, const Raster8& shot, int maxShiftBits);

    // Fuses 16-bit RGB(A) shots of one size (alpha is ignored) into one 16-bit RGB image.
    // Throws MergeError::sizeMismatch naming the member (from `names`, when given) whose size
    // differs from the first, and emptyBracket for no shots.
    Raster16 fuse(const std::vector<Raster16>& shots, const std::vector<std::filesystem::path>& names = {}) const;
    // The same with the offsets already known (offsets[0] is the reference's, ignored).
    Raster16 fuse(const std::vector<Raster16>& shots, const std::vector<Offset>& offsets) const;
    // Decodes the members of a bracket (all at once, each fully, to 16-bit sRGB) and fuses them
    // into one image carrying the first member's metadata. A member that does not decode raises
    // MergeError::cannotDecode naming it (the first such member in bracket order).
    // With `leftOut`, only the first member must decode: a later member that does not decode, or
    // whose size differs from the first's, is left out and its error added there; when no other
    // member is left, the result is the first member alone (still decoded to RGB).
    Image fuseFiles(const std::vector<std::filesystem::path>& members, std::vector<MergeError>* leftOut = nullptr) const;
};

}  // namespace lw
