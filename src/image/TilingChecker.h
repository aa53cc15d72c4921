#pragma once
// Seamless-tiling check: compares the wrap seams of a texture with its inner neighbour differences.
#include <filesystem>
#include <string>

#include "image/TextureImage.h"

namespace lw {

class TilingChecker {
public:
    struct Result {
        // Mean absolute difference across the left/right wrap seam (last column against the
        // first) divided by the same measure between neighbouring columns inside the texture;
        // verticalSeamRatio likewise for top/bottom. A seamless texture scores near 1.
        double horizontalSeamRatio = 1.0;
        double verticalSeamRatio = 1.0;
        TextureSize size;

        // "Left and right edges differ 4.2x more than neighbouring pixels; top and bottom 1.1x"
        std::string summary() const;
        // Both ratios at most the threshold.
        bool isSeamless(double threshold = seamlessThreshold) const {
            return horizontalSeamRatio <= threshold && verticalSeamRatio <= threshold;
        }
    };

    static constexpr double seamlessThreshold = 3.0;
    // Longest side of the 2x2 preview.
    static constexpr int previewLimit = 8192;

    // Throws TextureImageError.
    static Result check(const std::filesystem::path& file);
    static Result check(const RasterF& image);

    // Writes the texture tiled 2x2 as a PNG, scaled to fit previewLimit. Throws TextureImageError.
    static void writePreview(const std::filesystem::path& source, const std::filesystem::path& destination);
};

}  // namespace lw
