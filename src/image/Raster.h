#pragma once
// Interleaved pixels in plain memory, for our own kernels (fusion, line detection, normal
// maps, packing, tiling). Row 0 is the top row.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lw {

template <class T>
struct Raster {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<T> pixels;  // width * height * channels, row-major, interleaved

    Raster() = default;
    Raster(int w, int h, int c, T fill = T{})
        : width(w), height(h), channels(c),
          pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * static_cast<std::size_t>(c), fill) {}

    bool empty() const { return pixels.empty(); }
    std::size_t index(int x, int y, int c = 0) const {
        return (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) *
                   static_cast<std::size_t>(channels) +
               static_cast<std::size_t>(c);
    }
    T& at(int x, int y, int c = 0) { return pixels[index(x, y, c)]; }
    const T& at(int x, int y, int c = 0) const { return pixels[index(x, y, c)]; }
    T* row(int y) { return pixels.data() + index(0, y); }
    const T* row(int y) const { return pixels.data() + index(0, y); }
};

using RasterF = Raster<float>;
using Raster8 = Raster<std::uint8_t>;
using Raster16 = Raster<std::uint16_t>;

}  // namespace lw
