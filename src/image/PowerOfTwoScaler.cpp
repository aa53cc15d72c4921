#include "image/PowerOfTwoScaler.h"

#include <algorithm>

#include "image/ChannelPacker.h"

namespace lw {

int PowerOfTwoScaler::computePOTDimension(std::int64_t value, const ScaleMode& mode) {
    if (mode.kind == ScaleMode::Kind::fixedTarget) return mode.size;
    const std::int64_t v = std::clamp<std::int64_t>(value, 1, maxDimension);
    std::int64_t lower = 1;
    while (lower * 2 <= v) lower *= 2;
    if (lower == v) return static_cast<int>(v);
    const std::int64_t upper = lower * 2;
    switch (mode.kind) {
        case ScaleMode::Kind::roundUpPowerOfTwo: return static_cast<int>(upper);
        case ScaleMode::Kind::roundDownPowerOfTwo: return static_cast<int>(lower);
        default: return static_cast<int>(v - lower < upper - v ? lower : upper);
    }
}

ColorRaster PowerOfTwoScaler::scale(const ColorRaster& image, TextureSize size) {
    return std::visit([&](const auto& r) -> ColorRaster { return resizeRaster(r, size); }, image);
}

Raster8 PowerOfTwoScaler::scale(const Raster8& image, TextureSize size) { return resizeRaster(image, size); }

namespace {
template <class T>
std::vector<Raster<T>> chain(const Raster<T>& image) {
    std::vector<Raster<T>> levels;
    const Raster<T>* current = &image;
    while (current->width > 1 || current->height > 1) {
        levels.push_back(ChannelPacker::halved(*current));
        current = &levels.back();
    }
    return levels;
}
}  // namespace

std::vector<ColorRaster> PowerOfTwoScaler::mipChain(const ColorRaster& image) {
    std::vector<ColorRaster> levels;
    std::visit(
        [&](const auto& r) {
            for (auto& level : chain(r)) levels.emplace_back(std::move(level));
        },
        image);
    return levels;
}

std::vector<Raster8> PowerOfTwoScaler::mipChain(const Raster8& image) { return chain(image); }

}  // namespace lw
