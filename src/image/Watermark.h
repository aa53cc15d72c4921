#pragma once
// The logo watermark: scaled to a fixed share of the photo's shorter side, placed in the
// bottom-right corner with a margin, composited source-over at the given opacity.
#include <vips/vips8>

namespace lw {

class Watermark {
public:
    struct Placement {
        int x = 0, y = 0;           // top-left corner in the photo, row 0 at the top
        int width = 0, height = 0;  // size of the scaled logo
    };

    // The logo's longer side as a share of the photo's shorter side, and the margin.
    static constexpr double logoShare = 0.18;
    static constexpr double marginShare = 0.03;

    static Placement placement(int photoWidth, int photoHeight, int logoWidth, int logoHeight);

    // Composites `logo` (grey or RGB, with or without alpha; 8 bits, 16 bits or float 0...1)
    // over `photo`.
    // The result keeps the photo's size, bands, format and interpretation.
    static vips::VImage apply(const vips::VImage& photo, const vips::VImage& logo, double opacity);
};

}  // namespace lw
