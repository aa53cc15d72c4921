#pragma once
// Finds the near-vertical edges of a building photo, estimates camera roll and vertical
// keystone from them, and corrects both. Stateless; make one per use.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "image/Image.h"

namespace lw {

class ArchitecturalStraightener {
public:
    struct StraightenParameters {
        double verticalKeystoneCorrection = 0;
        double horizontalKeystoneCorrection = 0;  // always 0 from analyze; ignored by straighten
        double rotationAngleRadians = 0;
        bool autoCrop = true;
        int linesDetected = 0;

        static StraightenParameters identity() { return {0, 0, 0, true, 0}; }
        bool isIdentity() const;
        bool operator==(const StraightenParameters&) const = default;
    };

    struct DetectedLine {
        double x0 = 0;     // column at the bitmap's mid-height, bitmap pixels
        double slope = 0;  // horizontal change in pixels per row going down
        int votes = 0;     // edge points on it: its counter and the larger one beside it
        bool operator==(const DetectedLine&) const = default;
    };

    // One byte per pixel, top row first, rows exactly `width` bytes.
    struct GrayBitmap {
        int width = 0;
        int height = 0;
        std::vector<std::uint8_t> pixels;
        std::uint8_t at(int x, int y) const {
            return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)];
        }
    };

    StraightenParameters analyze(const Image& image) const;
    // Corrected image whose extent starts at (0, 0); the input itself when there is nothing
    // to correct. Rotation about the centre scaled to fill the extent, then the perspective
    // map sending the corners to the keystone quad; one bicubic resampling, edges clamped.
    Image straighten(const Image& image, const StraightenParameters& parameters) const;
    std::pair<Image, StraightenParameters> autoStraighten(const Image& image) const;

    // Linear-light Rec. 709 luminance, quantised to 8 bits, longest side at most
    // `maxDimension` (never enlarged). Nothing below 32 pixels on a side.
    std::optional<GrayBitmap> grayscaleBitmap(const Image& of, int maxDimension) const;
    // Hough lines through the near-vertical edges, each edge taken in the one column per row
    // where its horizontal gradient peaks.
    std::vector<DetectedLine> detectVerticalLines(const GrayBitmap& bitmap) const;
};

}  // namespace lw
