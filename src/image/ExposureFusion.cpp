#include "image/ExposureFusion.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

namespace lw {

// ---- errors

MergeError::MergeError(Kind kind, std::string text, std::filesystem::path member)
    : Error(std::move(text)), kind(kind), member(std::move(member)) {}

MergeError MergeError::cannotDecode(const std::filesystem::path& member) {
    return MergeError(Kind::cannotDecode, "Could not decode bracket member " + member.filename().string(), member);
}

MergeError MergeError::sizeMismatch(const std::filesystem::path& member, int width, int height, int firstWidth,
                                    int firstHeight) {
    const std::string name = member.empty() ? std::string("A bracket member") : "Bracket member " + member.filename().string();
    return MergeError(Kind::sizeMismatch,
                      name + " is " + std::to_string(width) + " x " + std::to_string(height) +
                          " pixels, but the first shot of its bracket is " + std::to_string(firstWidth) + " x " +
                          std::to_string(firstHeight),
                      member);
}

MergeError MergeError::emptyBracket() { return MergeError(Kind::emptyBracket, "The bracket has no shots to merge", {}); }

namespace {

template <class F>
void forRows(int height, F&& body) {
    tbb::parallel_for(tbb::blocked_range<int>(0, height, 8), [&](const tbb::blocked_range<int>& r) {
        for (int y = r.begin(); y != r.end(); ++y) body(y);
    });
}

inline int clampIndex(int i, int n) { return i < 0 ? 0 : (i >= n ? n - 1 : i); }

// ---- median-threshold bitmaps

Raster8 halve(const Raster8& src) {
    Raster8 out(std::max(1, src.width / 2), std::max(1, src.height / 2), 1);
    forRows(out.height, [&](int y) {
        const std::uint8_t* r0 = src.row(clampIndex(2 * y, src.height));
        const std::uint8_t* r1 = src.row(clampIndex(2 * y + 1, src.height));
        std::uint8_t* o = out.row(y);
        for (int x = 0; x < out.width; ++x) {
            const int x0 = clampIndex(2 * x, src.width), x1 = clampIndex(2 * x + 1, src.width);
            o[x] = static_cast<std::uint8_t>((r0[x0] + r0[x1] + r1[x0] + r1[x1] + 2) / 4);
        }
    });
    return out;
}

struct Bitmaps {
    int width = 0, height = 0;
    std::vector<std::uint8_t> threshold;  // 1 where brighter than the median
    std::vector<std::uint8_t> keep;       // 1 where clearly away from the median
};

Bitmaps bitmaps(const Raster8& grey) {
    std::array<std::size_t, 256> histogram{};
    for (std::uint8_t v : grey.pixels) ++histogram[v];
    const std::size_t half = grey.pixels.size() / 2;
    int median = 0;
    for (std::size_t sum = 0; median < 256; ++median) {
        sum += histogram[median];
        if (sum > half) break;
    }
    Bitmaps b;
    b.width = grey.width;
    b.height = grey.height;
    b.threshold.resize(grey.pixels.size());
    b.keep.resize(grey.pixels.size());
    for (std::size_t i = 0; i < grey.pixels.size(); ++i) {
        const int v = grey.pixels[i];
        b.threshold[i] = v > median ? 1 : 0;
        b.keep[i] = std::abs(v - median) > 4 ? 1 : 0;
    }
    return b;
}

// Pixels that disagree when the shot is read at (x + dx, y + dy); outside counts as agreeing.
std::size_t disagreement(const Bitmaps& ref, const Bitmaps& shot, int dx, int dy) {
    const int x0 = std::max(0, -dx), x1 = std::min(ref.width, shot.width - dx);
    const int y0 = std::max(0, -dy), y1 = std::min(ref.height, shot.height - dy);
    if (x0 >= x1 || y0 >= y1) return std::numeric_limits<std::size_t>::max();
    return tbb::parallel_reduce(
        tbb::blocked_range<int>(y0, y1, 16), std::size_t{0},
        [&](const tbb::blocked_range<int>& r, std::size_t sum) {
            for (int y = r.begin(); y != r.end(); ++y) {
                const std::size_t ri = static_cast<std::size_t>(y) * ref.width;
                const std::size_t si = static_cast<std::size_t>(y + dy) * shot.width + dx;
                for (int x = x0; x < x1; ++x)
                    sum += static_cast<std::size_t>((ref.threshold[ri + x] ^ shot.threshold[si + x]) &
                                                    ref.keep[ri + x] & shot.keep[si + x]);
            }
            return sum;
        },
        [](std::size_t a, std::size_t b) { return a + b; });
}

// ---- pyramids (5-tap binomial kernel, edges clamped)

// One level down: blur and keep every second sample; the size is ceil(n / 2).
RasterF reduce(const RasterF& src) {
    const int c = src.channels;
    const int w = (src.width + 1) / 2, h = (src.height + 1) / 2;
    RasterF out(w, h, c);
    forRows(h, [&](int y) {
        std::vector<float> line(static_cast<std::size_t>(src.width) * c);
        static constexpr float k[5] = {1 / 16.f, 4 / 16.f, 6 / 16.f, 4 / 16.f, 1 / 16.f};
        const float* rows[5];
        for (int m = 0; m < 5; ++m) rows[m] = src.row(clampIndex(2 * y + m - 2, src.height));
        for (std::size_t i = 0; i < line.size(); ++i)
            line[i] = k[0] * rows[0][i] + k[1] * rows[1][i] + k[2] * rows[2][i] + k[3] * rows[3][i] + k[4] * rows[4][i];
        float* o = out.row(y);
        for (int x = 0; x < w; ++x) {
            int xs[5];
            for (int m = 0; m < 5; ++m) xs[m] = clampIndex(2 * x + m - 2, src.width) * c;
            for (int ch = 0; ch < c; ++ch)
                o[x * c + ch] = k[0] * line[xs[0] + ch] + k[1] * line[xs[1] + ch] + k[2] * line[xs[2] + ch] +
                                k[3] * line[xs[3] + ch] + k[4] * line[xs[4] + ch];
        }
    });
    return out;
}

// One level up to width x height, calling sink(y, row) with each expanded row.
template <class Sink>
void expandRows(const RasterF& src, int width, int height, Sink&& sink) {
    const int c = src.channels;
    // Horizontal expansion of one source row into `out` (width * c).
    auto expandLine = [&](const float* in, float* out) {
        for (int x = 0; x < width; ++x) {
            const int j = x / 2;
            if (x % 2 == 0) {
                const float* a = in + clampIndex(j - 1, src.width) * c;
                const float* b = in + clampIndex(j, src.width) * c;
                const float* d = in + clampIndex(j + 1, src.width) * c;
                for (int ch = 0; ch < c; ++ch) out[x * c + ch] = 0.125f * a[ch] + 0.75f * b[ch] + 0.125f * d[ch];
            } else {
                const float* a = in + clampIndex(j, src.width) * c;
                const float* b = in + clampIndex(j + 1, src.width) * c;
                for (int ch = 0; ch < c; ++ch) out[x * c + ch] = 0.5f * (a[ch] + b[ch]);
            }
        }
    };
    tbb::parallel_for(tbb::blocked_range<int>(0, height, 16), [&](const tbb::blocked_range<int>& r) {
        const std::size_t n = static_cast<std::size_t>(width) * c;
        std::vector<float> l0(n), l1(n), l2(n), out(n);
        for (int y = r.begin(); y != r.end(); ++y) {
            const int j = y / 2;
            if (y % 2 == 0) {
                expandLine(src.row(clampIndex(j - 1, src.height)), l0.data());
                expandLine(src.row(clampIndex(j, src.height)), l1.data());
                expandLine(src.row(clampIndex(j + 1, src.height)), l2.data());
                for (std::size_t i = 0; i < n; ++i) out[i] = 0.125f * l0[i] + 0.75f * l1[i] + 0.125f * l2[i];
            } else {
                expandLine(src.row(clampIndex(j, src.height)), l0.data());
                expandLine(src.row(clampIndex(j + 1, src.height)), l1.data());
                for (std::size_t i = 0; i < n; ++i) out[i] = 0.5f * (l0[i] + l1[i]);
            }
            sink(y, out.data());
        }
    });
}

int levelCount(int width, int height) {
    int levels = 1;
    for (int side = std::min(width, height); side >= 16 && levels < 12; side = (side + 1) / 2) ++levels;
    return levels;
}

// A shot as floats 0...1 (RGB), read through its offset with clamped edges.
RasterF floatShot(const Raster16& shot, ExposureFusion::Offset offset) {
    RasterF out(shot.width, shot.height, 3);
    const int c = shot.channels;
    constexpr float scale = 1.f / 65535.f;
    forRows(shot.height, [&](int y) {
        const std::uint16_t* in = shot.row(clampIndex(y + offset.dy, shot.height));
        float* o = out.row(y);
        for (int x = 0; x < shot.width; ++x) {
            const std::uint16_t* p = in + static_cast<std::size_t>(clampIndex(x + offset.dx, shot.width)) * c;
            o[3 * x] = p[0] * scale;
            o[3 * x + 1] = p[c > 2 ? 1 : 0] * scale;
            o[3 * x + 2] = p[c > 2 ? 2 : 0] * scale;
        }
    });
    return out;
}

// Mertens' quality measure of every pixel of one shot.
RasterF qualityWeights(const RasterF& shot, const ExposureFusion::Weights& wt) {
    RasterF out(shot.width, shot.height, 1);
    const int w = shot.width, h = shot.height;
    constexpr float twoSigmaSquared = 2 * 0.2f * 0.2f;
    forRows(h, [&](int y) {
        const float* up = shot.row(clampIndex(y - 1, h));
        const float* mid = shot.row(y);
        const float* down = shot.row(clampIndex(y + 1, h));
        auto grey = [](const float* p) { return (p[0] + p[1] + p[2]) * (1.f / 3.f); };
        float* o = out.row(y);
        for (int x = 0; x < w; ++x) {
            const float* p = mid + 3 * x;
            const float g = grey(p);
            const float lap = grey(up + 3 * x) + grey(down + 3 * x) + grey(mid + 3 * clampIndex(x - 1, w)) +
                              grey(mid + 3 * clampIndex(x + 1, w)) - 4 * g;
            const float mean = g;
            const float sat = std::sqrt(((p[0] - mean) * (p[0] - mean) + (p[1] - mean) * (p[1] - mean) +
                                         (p[2] - mean) * (p[2] - mean)) /
                                        3.f);
            const float e0 = p[0] - 0.5f, e1 = p[1] - 0.5f, e2 = p[2] - 0.5f;
            const float expo = std::exp(-(e0 * e0 + e1 * e1 + e2 * e2) / twoSigmaSquared);
            float v = 1.f;
            if (wt.contrast != 0) v *= std::pow(std::fabs(lap), static_cast<float>(wt.contrast));
            if (wt.saturation != 0) v *= std::pow(sat, static_cast<float>(wt.saturation));
            if (wt.exposedness != 0) v *= std::pow(expo, static_cast<float>(wt.exposedness));
            o[x] = v + 1e-12f;
        }
    });
    return out;
}

}  // namespace

// ---- public

Raster8 ExposureFusion::grey(const Raster16& image) {
    Raster8 out(image.width, image.height, 1);
    const int c = image.channels;
    forRows(image.height, [&](int y) {
        const std::uint16_t* in = image.row(y);
        std::uint8_t* o = out.row(y);
        for (int x = 0; x < image.width; ++x) {
            const std::uint16_t* p = in + static_cast<std::size_t>(x) * c;
            const std::uint32_t luma = c > 2 ? (54u * p[0] + 183u * p[1] + 19u * p[2]) >> 8 : p[0];
            o[x] = static_cast<std::uint8_t>(luma >> 8);
        }
    });
    return out;
}

ExposureFusion::Offset ExposureFusion::alignment(const Raster8& reference, const Raster8& shot, int maxShiftBits) {
    if (reference.width != shot.width || reference.height != shot.height || reference.empty()) return {};
    // Build both pyramids, coarsest last; never go below 16 pixels.
    std::vector<Raster8> refs{reference}, shots{shot};
    for (int level = 1; level < maxShiftBits; ++level) {
        const Raster8& r = refs.back();
        if (std::min(r.width, r.height) < 32) break;
        refs.push_back(halve(r));
        shots.push_back(halve(shots.back()));
    }
    Offset best;
    for (int level = static_cast<int>(refs.size()) - 1; level >= 0; --level) {
        const Bitmaps rb = bitmaps(refs[level]);
        const Bitmaps sb = bitmaps(shots[level]);
        Offset centre{best.dx * 2, best.dy * 2};
        if (level == static_cast<int>(refs.size()) - 1) centre = {};
        Offset winner = centre;
        std::size_t least = std::numeric_limits<std::size_t>::max();
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const std::size_t d = disagreement(rb, sb, centre.dx + dx, centre.dy + dy);
                // Prefer the smaller move on ties, so flat images stay put.
                if (d < least || (d == least && std::abs(centre.dx + dx) + std::abs(centre.dy + dy) <
                                                    std::abs(winner.dx) + std::abs(winner.dy))) {
                    least = d;
                    winner = {centre.dx + dx, centre.dy + dy};
                }
            }
        best = winner;
    }
    return best;
}

Raster16 ExposureFusion::fuse(const std::vector<Raster16>& shots, const std::vector<std::filesystem::path>& names) const {
    if (shots.empty()) throw MergeError::emptyBracket();
    for (std::size_t k = 1; k < shots.size(); ++k)
        if (shots[k].width != shots[0].width || shots[k].height != shots[0].height)
            throw MergeError::sizeMismatch(k < names.size() ? names[k] : std::filesystem::path(), shots[k].width,
                                           shots[k].height, shots[0].width, shots[0].height);
    std::vector<Offset> offsets(shots.size());
    if (shots.size() > 1) {
        const Raster8 reference = grey(shots[0]);
        for (std::size_t k = 1; k < shots.size(); ++k) offsets[k] = alignment(reference, grey(shots[k]), maxShiftBits);
    }
    return fuse(shots, offsets);
}

Raster16 ExposureFusion::fuse(const std::vector<Raster16>& shots, const std::vector<Offset>& offsets) const {
    if (shots.empty()) throw MergeError::emptyBracket();
    const int width = shots[0].width, height = shots[0].height;
    for (std::size_t k = 1; k < shots.size(); ++k)
        if (shots[k].width != width || shots[k].height != height)
            throw MergeError::sizeMismatch({}, shots[k].width, shots[k].height, width, height);
    const auto offsetOf = [&](std::size_t k) { return k > 0 && k < offsets.size() ? offsets[k] : Offset{}; };

    // Pass 1: the sum of every shot's weights, for the per-pixel normalisation.
    RasterF weightSum(width, height, 1, 0.f);
    for (std::size_t k = 0; k < shots.size(); ++k) {
        const RasterF w = qualityWeights(floatShot(shots[k], offsetOf(k)), weights);
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, w.pixels.size(), 1 << 16),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              for (std::size_t i = r.begin(); i != r.end(); ++i) weightSum.pixels[i] += w.pixels[i];
                          });
    }

    // Pass 2: add each shot's Laplacian pyramid, weighted by the Gaussian pyramid of its
    // normalised weights, into the result pyramid, one level at a time.
    const int levels = levelCount(width, height);
    std::vector<RasterF> result;
    {
        int w = width, h = height;
        for (int l = 0; l < levels; ++l) {
            result.emplace_back(w, h, 3, 0.f);
            w = (w + 1) / 2;
            h = (h + 1) / 2;
        }
    }
    for (std::size_t k = 0; k < shots.size(); ++k) {
        RasterF image = floatShot(shots[k], offsetOf(k));
        RasterF weight = qualityWeights(image, weights);
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, weight.pixels.size(), 1 << 16),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              for (std::size_t i = r.begin(); i != r.end(); ++i)
                                  weight.pixels[i] /= weightSum.pixels[i];
                          });
        for (int l = 0; l < levels; ++l) {
            RasterF& out = result[static_cast<std::size_t>(l)];
            if (l == levels - 1) {
                forRows(out.height, [&](int y) {
                    float* o = out.row(y);
                    const float* p = image.row(y);
                    const float* w = weight.row(y);
                    for (int x = 0; x < out.width; ++x)
                        for (int c = 0; c < 3; ++c) o[3 * x + c] += w[x] * p[3 * x + c];
                });
                break;
            }
            RasterF nextImage = reduce(image);
            RasterF nextWeight = reduce(weight);
            expandRows(nextImage, image.width, image.height, [&](int y, const float* up) {
                float* o = out.row(y);
                const float* p = image.row(y);
                const float* w = weight.row(y);
                for (int x = 0; x < out.width; ++x)
                    for (int c = 0; c < 3; ++c) o[3 * x + c] += w[x] * (p[3 * x + c] - up[3 * x + c]);
            });
            image = std::move(nextImage);
            weight = std::move(nextWeight);
        }
    }
    weightSum = RasterF();

    // Collapse the result pyramid from the top.
    for (int l = levels - 2; l >= 0; --l) {
        RasterF& fine = result[static_cast<std::size_t>(l)];
        const RasterF& coarse = result[static_cast<std::size_t>(l) + 1];
        expandRows(coarse, fine.width, fine.height, [&](int y, const float* up) {
            float* o = fine.row(y);
            for (int i = 0; i < fine.width * 3; ++i) o[i] += up[i];
        });
        result.pop_back();
    }

    Raster16 out(width, height, 3);
    const RasterF& top = result[0];
    forRows(height, [&](int y) {
        const float* p = top.row(y);
        std::uint16_t* o = out.row(y);
        for (int i = 0; i < width * 3; ++i) {
            const float v = std::clamp(p[i], 0.f, 1.f);
            o[i] = static_cast<std::uint16_t>(v * 65535.f + 0.5f);
        }
    });
    return out;
}

}  // namespace lw
