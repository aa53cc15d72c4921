#include "image/ExposureFusion.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>

#include <sys/mman.h>

#include <exception>
#include <optional>

#include "image/CoreImagePipeline.h"

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

// Allocations of large float planes ask for transparent huge pages: a fusion touches about a
// gigabyte of fresh memory, and 4 KB page faults would cost a third of its time.
template <class T>
struct HugePageAllocator {
    using value_type = T;
    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}
    T* allocate(std::size_t n) {
        constexpr std::size_t huge = 2u << 20;
        const std::size_t bytes = n * sizeof(T);
        if (bytes < 4 * huge) {
            if (void* p = std::malloc(bytes)) return static_cast<T*>(p);
            throw std::bad_alloc();
        }
        void* p = std::aligned_alloc(huge, (bytes + huge - 1) / huge * huge);
        if (!p) throw std::bad_alloc();
        ::madvise(p, bytes, MADV_HUGEPAGE);
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) { std::free(p); }
    // Elements are left uninitialised: planes are filled by parallel loops, so that the first
    // touch of their pages (and the kernel's zeroing of them) is spread over every core.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) { return true; }
};

// An interleaved float image like RasterF, on huge pages.
struct Plane {
    int width = 0, height = 0, channels = 0;
    std::vector<float, HugePageAllocator<float>> pixels;
    Plane() = default;
    // Uninitialised: every sample must be written before it is read.
    Plane(int w, int h, int c) : width(w), height(h), channels(c), pixels(static_cast<std::size_t>(w) * h * c) {}
    Plane(int w, int h, int c, float fill) : Plane(w, h, c) {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, pixels.size(), 1 << 16),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              std::fill(pixels.begin() + r.begin(), pixels.begin() + r.end(), fill);
                          });
    }
    float* row(int y) { return pixels.data() + static_cast<std::size_t>(y) * width * channels; }
    const float* row(int y) const { return pixels.data() + static_cast<std::size_t>(y) * width * channels; }
};

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

// One level down into `out` (already sized ceil(n / 2)): blur and keep every second sample.
void reduceInto(const Plane& src, Plane& out) {
    const int c = src.channels;
    const int w = out.width, h = out.height;
    tbb::parallel_for(tbb::blocked_range<int>(0, h, 8), [&](const tbb::blocked_range<int>& r) {
        std::vector<float> line(static_cast<std::size_t>(src.width) * c);
        static constexpr float k[5] = {1 / 16.f, 4 / 16.f, 6 / 16.f, 4 / 16.f, 1 / 16.f};
        for (int y = r.begin(); y != r.end(); ++y) {
            const float* rows[5];
            for (int m = 0; m < 5; ++m) rows[m] = src.row(clampIndex(2 * y + m - 2, src.height));
            for (std::size_t i = 0; i < line.size(); ++i)
                line[i] = k[0] * (rows[0][i] + rows[4][i]) + k[1] * (rows[1][i] + rows[3][i]) + k[2] * rows[2][i];
            float* o = out.row(y);
            for (int x = 0; x < w; ++x) {
                int xs[5];
                for (int m = 0; m < 5; ++m) xs[m] = clampIndex(2 * x + m - 2, src.width) * c;
                for (int ch = 0; ch < c; ++ch)
                    o[x * c + ch] = k[0] * (line[xs[0] + ch] + line[xs[4] + ch]) +
                                    k[1] * (line[xs[1] + ch] + line[xs[3] + ch]) + k[2] * line[xs[2] + ch];
            }
        }
    });
}

// One level up to width x height, calling sink(y, row) with each expanded row.
template <class Sink>
void expandRows(const Plane& src, int width, int height, Sink&& sink) {
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

// Row y of a shot as RGB floats 0...1, read through its offset with clamped edges.
void shotRow(const Raster16& shot, ExposureFusion::Offset offset, int y, float* out) {
    const int c = shot.channels;
    constexpr float scale = 1.f / 65535.f;
    const std::uint16_t* in = shot.row(clampIndex(y + offset.dy, shot.height));
    for (int x = 0; x < shot.width; ++x) {
        const std::uint16_t* p = in + static_cast<std::size_t>(clampIndex(x + offset.dx, shot.width)) * c;
        out[3 * x] = p[0] * scale;
        out[3 * x + 1] = p[c > 2 ? 1 : 0] * scale;
        out[3 * x + 2] = p[c > 2 ? 2 : 0] * scale;
    }
}

// The first pyramid level below a shot, straight from its samples.
void reduceShotInto(const Raster16& shot, ExposureFusion::Offset offset, Plane& out) {
    const int w = out.width, h = out.height, sw = shot.width;
    tbb::parallel_for(tbb::blocked_range<int>(0, h, 8), [&](const tbb::blocked_range<int>& r) {
        const std::size_t n = static_cast<std::size_t>(sw) * 3;
        std::vector<float> rows(5 * n), line(n);
        static constexpr float k[5] = {1 / 16.f, 4 / 16.f, 6 / 16.f, 4 / 16.f, 1 / 16.f};
        for (int y = r.begin(); y != r.end(); ++y) {
            for (int m = 0; m < 5; ++m) shotRow(shot, offset, clampIndex(2 * y + m - 2, shot.height), &rows[m * n]);
            for (std::size_t i = 0; i < n; ++i)
                line[i] = k[0] * (rows[i] + rows[4 * n + i]) + k[1] * (rows[n + i] + rows[3 * n + i]) +
                          k[2] * rows[2 * n + i];
            float* o = out.row(y);
            for (int x = 0; x < w; ++x) {
                int xs[5];
                for (int m = 0; m < 5; ++m) xs[m] = clampIndex(2 * x + m - 2, sw) * 3;
                for (int ch = 0; ch < 3; ++ch)
                    o[x * 3 + ch] = k[0] * (line[xs[0] + ch] + line[xs[4] + ch]) +
                                    k[1] * (line[xs[1] + ch] + line[xs[3] + ch]) + k[2] * line[xs[2] + ch];
            }
        }
    });
}

inline float power(float v, double exponent) {
    if (exponent == 1) return v;
    return std::pow(v, static_cast<float>(exponent));
}

// Mertens' quality measure of every pixel of one shot (read through its offset): added to
// `out` when `add`, else stored, divided by `divisor`'s sample when one is given.
void qualityWeightsInto(const Raster16& shot, ExposureFusion::Offset offset, const ExposureFusion::Weights& wt,
                        Plane& out, bool add, const Plane* divisor) {
    const int w = shot.width, h = shot.height, c = shot.channels;
    constexpr float twoSigmaSquared = 2 * 0.2f * 0.2f;
    constexpr float scale = 1.f / 65535.f;
    tbb::parallel_for(tbb::blocked_range<int>(0, h, 8), [&](const tbb::blocked_range<int>& r) {
        // Grey of three rows, and the middle row's colours.
        std::vector<float> up(w), mid(w), down(w), rgb(static_cast<std::size_t>(w) * 3);
        const auto readRow = [&](int y, float* grey, float* colour) {
            const std::uint16_t* in = shot.row(clampIndex(y + offset.dy, h));
            for (int x = 0; x < w; ++x) {
                const std::uint16_t* p = in + static_cast<std::size_t>(clampIndex(x + offset.dx, w)) * c;
                const float r0 = p[0] * scale, g0 = p[c > 2 ? 1 : 0] * scale, b0 = p[c > 2 ? 2 : 0] * scale;
                grey[x] = (r0 + g0 + b0) * (1.f / 3.f);
                if (colour) {
                    colour[3 * x] = r0;
                    colour[3 * x + 1] = g0;
                    colour[3 * x + 2] = b0;
                }
            }
        };
        for (int y = r.begin(); y != r.end(); ++y) {
            readRow(y - 1, up.data(), nullptr);
            readRow(y, mid.data(), rgb.data());
            readRow(y + 1, down.data(), nullptr);
            float* o = out.row(y);
            const float* d = divisor ? divisor->row(y) : nullptr;
            for (int x = 0; x < w; ++x) {
                const float* p = rgb.data() + 3 * x;
                const float g = mid[x];
                const float lap = up[x] + down[x] + mid[clampIndex(x - 1, w)] + mid[clampIndex(x + 1, w)] - 4 * g;
                const float d0 = p[0] - g, d1 = p[1] - g, d2 = p[2] - g;
                const float sat = std::sqrt((d0 * d0 + d1 * d1 + d2 * d2) * (1.f / 3.f));
                const float e0 = p[0] - 0.5f, e1 = p[1] - 0.5f, e2 = p[2] - 0.5f;
                const float expo = std::exp(-(e0 * e0 + e1 * e1 + e2 * e2) / twoSigmaSquared);
                float v = 1.f;
                if (wt.contrast != 0) v *= power(std::fabs(lap), wt.contrast);
                if (wt.saturation != 0) v *= power(sat, wt.saturation);
                if (wt.exposedness != 0) v *= power(expo, wt.exposedness);
                v += 1e-12f;
                if (add)
                    o[x] += v;
                else
                    o[x] = d ? v / d[x] : v;
            }
        }
    });
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
    Plane weightSum(width, height, 1, 0.f);
    for (std::size_t k = 0; k < shots.size(); ++k) qualityWeightsInto(shots[k], offsetOf(k), weights, weightSum, true, nullptr);

    // Pass 2: add each shot's Laplacian pyramid, weighted by the Gaussian pyramid of its
    // normalised weights, into the result pyramid. The finest level is accumulated straight
    // into the output plane from the shot's samples, so no full-size float copy of a shot is
    // made; the coarser levels' memory is reused from shot to shot.
    const int levels = levelCount(width, height);
    Plane out0(width, height, 3, 0.f);
    Plane weight0(width, height, 1);
    std::vector<Plane> result(1), image(1), weight(1);  // index 0 unused
    {
        int w = (width + 1) / 2, h = (height + 1) / 2;
        for (int l = 1; l < levels; ++l) {
            result.emplace_back(w, h, 3, 0.f);
            image.emplace_back(w, h, 3);
            weight.emplace_back(w, h, 1);
            w = (w + 1) / 2;
            h = (h + 1) / 2;
        }
    }
    for (std::size_t k = 0; k < shots.size(); ++k) {
        const Offset offset = offsetOf(k);
        qualityWeightsInto(shots[k], offset, weights, weight0, false, &weightSum);
        if (levels == 1) {
            tbb::parallel_for(tbb::blocked_range<int>(0, height, 8), [&](const tbb::blocked_range<int>& r) {
                std::vector<float> g(static_cast<std::size_t>(width) * 3);
                for (int y = r.begin(); y != r.end(); ++y) {
                    shotRow(shots[k], offset, y, g.data());
                    float* o = out0.row(y);
                    const float* w = weight0.row(y);
                    for (int x = 0; x < width; ++x)
                        for (int c = 0; c < 3; ++c) o[3 * x + c] += w[x] * g[3 * x + c];
                }
            });
            continue;
        }
        reduceShotInto(shots[k], offset, image[1]);
        reduceInto(weight0, weight[1]);
        for (int l = 1; l + 1 < levels; ++l) {
            reduceInto(image[l], image[l + 1]);
            reduceInto(weight[l], weight[l + 1]);
        }
        // Finest level: out0 += w0 * (g0 - expand(g1)).
        tbb::enumerable_thread_specific<std::vector<float>> rowBuffers(
            [&] { return std::vector<float>(static_cast<std::size_t>(width) * 3); });
        expandRows(image[1], width, height, [&](int y, const float* up) {
            std::vector<float>& g = rowBuffers.local();
            shotRow(shots[k], offset, y, g.data());
            float* o = out0.row(y);
            const float* w = weight0.row(y);
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < 3; ++c) o[3 * x + c] += w[x] * (g[3 * x + c] - up[3 * x + c]);
        });
        for (int l = 1; l < levels; ++l) {
            Plane& out = result[static_cast<std::size_t>(l)];
            const Plane& img = image[static_cast<std::size_t>(l)];
            const Plane& wgt = weight[static_cast<std::size_t>(l)];
            if (l == levels - 1) {
                forRows(out.height, [&](int y) {
                    float* o = out.row(y);
                    const float* p = img.row(y);
                    const float* w = wgt.row(y);
                    for (int x = 0; x < out.width; ++x)
                        for (int c = 0; c < 3; ++c) o[3 * x + c] += w[x] * p[3 * x + c];
                });
                break;
            }
            expandRows(image[static_cast<std::size_t>(l) + 1], img.width, img.height, [&](int y, const float* up) {
                float* o = out.row(y);
                const float* p = img.row(y);
                const float* w = wgt.row(y);
                for (int x = 0; x < out.width; ++x)
                    for (int c = 0; c < 3; ++c) o[3 * x + c] += w[x] * (p[3 * x + c] - up[3 * x + c]);
            });
        }
    }
    image.clear();
    weight.clear();
    weight0 = Plane();
    weightSum = Plane();

    // Collapse the coarse levels from the top, then add them to the finest.
    for (int l = levels - 2; l >= 1; --l) {
        Plane& fine = result[static_cast<std::size_t>(l)];
        const Plane& coarse = result[static_cast<std::size_t>(l) + 1];
        expandRows(coarse, fine.width, fine.height, [&](int y, const float* up) {
            float* o = fine.row(y);
            for (int i = 0; i < fine.width * 3; ++i) o[i] += up[i];
        });
        result.pop_back();
    }
    Raster16 out(width, height, 3);
    const auto store = [&](int y, const float* up) {
        const float* p = out0.row(y);
        std::uint16_t* o = out.row(y);
        for (int i = 0; i < width * 3; ++i) {
            const float v = std::clamp(p[i] + (up ? up[i] : 0.f), 0.f, 1.f);
            o[i] = static_cast<std::uint16_t>(v * 65535.f + 0.5f);
        }
    };
    if (levels > 1)
        expandRows(result[1], width, height, store);
    else
        forRows(height, [&](int y) { store(y, nullptr); });
    return out;
}

Image ExposureFusion::fuseFiles(const std::vector<std::filesystem::path>& members) const {
    if (members.empty()) throw MergeError::emptyBracket();
    const CoreImagePipeline& pipeline = CoreImagePipeline::shared();
    std::vector<Raster16> shots(members.size());
    std::vector<std::exception_ptr> failures(members.size());
    ImageProperties firstProperties = ImageProperties::object();
    // JPEG decoding is sequential within a file, so the members are decoded side by side.
    tbb::parallel_for(std::size_t{0}, members.size(), [&](std::size_t k) {
        try {
            std::optional<Image> image;
            try {
                image = pipeline.loadImage(members[k]);
            } catch (const ImageError&) {
                throw MergeError::cannotDecode(members[k]);
            }
            if (!image) throw MergeError::cannotDecode(members[k]);
            if (k == 0) firstProperties = image->properties();
            try {
                shots[k] = image->convertedToSRGB().toRaster<std::uint16_t>(3);
            } catch (const vips::VError&) {
                throw MergeError::cannotDecode(members[k]);
            }
        } catch (...) {
            failures[k] = std::current_exception();
        }
    });
    for (const auto& failure : failures)
        if (failure) std::rethrow_exception(failure);
    Raster16 fused = fuse(shots, members);
    shots.clear();
    return Image::fromRaster(fused, firstProperties);
}

}  // namespace lw
