#include "image/TilingChecker.h"

#include <fmt/format.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <cmath>

#include "image/PowerOfTwoScaler.h"

namespace lw {

namespace {

// Differences below this (in 0...1 units) count as equal, so flat textures score 1.
constexpr double epsilon = 1e-4;

struct Sums {
    double inner = 0;
    double seam = 0;
    Sums operator+(const Sums& o) const { return {inner + o.inner, seam + o.seam}; }
};

template <class T>
TilingChecker::Result checkRaster(const Raster<T>& image, double maxValue) {
    const int w = image.width, h = image.height, stride = image.channels;
    const int colour = (stride == 2 || stride == 4) ? stride - 1 : stride;
    TilingChecker::Result result;
    result.size = {w, h};
    if (w < 1 || h < 1) return result;
    auto pixelDiff = [&](const T* a, const T* b) {
        double d = 0;
        for (int c = 0; c < colour; ++c) d += std::abs(static_cast<double>(a[c]) - static_cast<double>(b[c]));
        return d / (colour * maxValue);
    };
    const Sums columns = tbb::parallel_reduce(
        tbb::blocked_range<int>(0, h), Sums{},
        [&](const tbb::blocked_range<int>& rows, Sums sums) {
            for (int y = rows.begin(); y < rows.end(); ++y) {
                const T* row = image.row(y);
                for (int x = 0; x + 1 < w; ++x) sums.inner += pixelDiff(row + x * stride, row + (x + 1) * stride);
                sums.seam += pixelDiff(row + (w - 1) * stride, row);
            }
            return sums;
        },
        std::plus<Sums>());
    const Sums rows = tbb::parallel_reduce(
        tbb::blocked_range<int>(0, h), Sums{},
        [&](const tbb::blocked_range<int>& range, Sums sums) {
            for (int y = range.begin(); y < range.end(); ++y) {
                const T* row = image.row(y);
                const T* next = image.row((y + 1) % h);
                double total = 0;
                for (int x = 0; x < w; ++x) total += pixelDiff(row + x * stride, next + x * stride);
                if (y + 1 < h) sums.inner += total;
                else sums.seam += total;
            }
            return sums;
        },
        std::plus<Sums>());
    if (w >= 2) {
        const double inner = columns.inner / (static_cast<double>(w - 1) * h);
        const double seam = columns.seam / h;
        result.horizontalSeamRatio = (seam + epsilon) / (inner + epsilon);
    }
    if (h >= 2) {
        const double inner = rows.inner / (static_cast<double>(h - 1) * w);
        const double seam = rows.seam / w;
        result.verticalSeamRatio = (seam + epsilon) / (inner + epsilon);
    }
    return result;
}

template <class T>
Raster<T> tiled(const Raster<T>& image) {
    Raster<T> out(image.width * 2, image.height * 2, image.channels);
    const std::size_t rowLength = static_cast<std::size_t>(image.width) * image.channels;
    for (int y = 0; y < out.height; ++y) {
        const T* in = image.row(y % image.height);
        T* o = out.row(y);
        std::copy(in, in + rowLength, o);
        std::copy(in, in + rowLength, o + rowLength);
    }
    return out;
}

}  // namespace

std::string TilingChecker::Result::summary() const {
    return fmt::format("Left and right edges differ {:.1f}x more than neighbouring pixels; top and bottom {:.1f}x",
                       horizontalSeamRatio, verticalSeamRatio);
}

TilingChecker::Result TilingChecker::check(const std::filesystem::path& file) {
    const ColorRaster image = loadColorRaster(file);
    return std::visit(
        [](const auto& r) {
            using T = typename std::decay_t<decltype(r.pixels)>::value_type;
            return checkRaster(r, sizeof(T) == 1 ? 255.0 : 65535.0);
        },
        image);
}

TilingChecker::Result TilingChecker::check(const RasterF& image) { return checkRaster(image, 1.0); }

void TilingChecker::writePreview(const std::filesystem::path& source, const std::filesystem::path& destination) {
    ColorRaster image = loadColorRaster(source);
    std::visit(
        [&](auto& r) {
            // Scaling the tile before repeating it gives the same preview with a quarter of the memory.
            const int longer = std::max(r.width, r.height);
            const int tileLimit = previewLimit / 2;
            if (longer > tileLimit) {
                const double ratio = static_cast<double>(tileLimit) / longer;
                r = resizeRaster(r, {std::max(1, static_cast<int>(std::lround(r.width * ratio))),
                                     std::max(1, static_cast<int>(std::lround(r.height * ratio)))});
            }
            writePng(tiled(r), destination);
        },
        image);
}

}  // namespace lw
