#pragma once
// Power-of-two sizing and mipmap chains.
#include <cstdint>
#include <vector>

#include "image/Raster.h"
#include "image/TextureImage.h"

namespace lw {

class PowerOfTwoScaler {
public:
    struct ScaleMode {
        enum class Kind { fixedTarget, nearestPowerOfTwo, roundUpPowerOfTwo, roundDownPowerOfTwo };
        Kind kind = Kind::nearestPowerOfTwo;
        int size = 0;  // fixedTarget only

        static ScaleMode fixedTarget(int size) { return {Kind::fixedTarget, size}; }
        static ScaleMode nearestPowerOfTwo() { return {Kind::nearestPowerOfTwo, 0}; }
        static ScaleMode roundUpPowerOfTwo() { return {Kind::roundUpPowerOfTwo, 0}; }
        static ScaleMode roundDownPowerOfTwo() { return {Kind::roundDownPowerOfTwo, 0}; }
        friend bool operator==(const ScaleMode& a, const ScaleMode& b) {
            return a.kind == b.kind && (a.kind != Kind::fixedTarget || a.size == b.size);
        }
    };

    // Largest power of two this returns (2^30).
    static constexpr int maxDimension = 1 << 30;

    // nearest: the power of two with the smaller absolute difference, ties going up; up and down
    // round accordingly; a fixed target returns its size. Values below 1 count as 1.
    static int computePOTDimension(std::int64_t value, const ScaleMode& mode);

    // The image resized to exactly the given size (Lanczos; colour weighted by alpha).
    static ColorRaster scale(const ColorRaster& image, TextureSize size);
    static Raster8 scale(const Raster8& image, TextureSize size);

    // Levels 1, 2, ...: each the previous halved (2x2 average, weighted by alpha) until both
    // sides are 1. Level 0 (the image itself) is not included.
    static std::vector<ColorRaster> mipChain(const ColorRaster& image);
    static std::vector<Raster8> mipChain(const Raster8& image);
};

}  // namespace lw
