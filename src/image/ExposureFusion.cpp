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
#include <memory>
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

// Median-threshold bitmaps of one level, packed: bit 0 set where brighter than the median,
// bit 1 where clearly away from it.
struct Bitmaps {
    int width = 0, height = 0;
    std::unique_ptr<std::uint8_t[]> bits;
};

Bitmaps bitmaps(const Raster8& grey) {
    using Histogram = std::array<std::size_t, 256>;
    const Histogram histogram = tbb::parallel_reduce(
        tbb::blocked_range<int>(0, grey.height, 64), Histogram{},
        [&](const tbb::blocked_range<int>& r, Histogram h) {
            for (int y = r.begin(); y != r.end(); ++y) {
                const std::uint8_t* row = grey.row(y);
                for (int x = 0; x < grey.width; ++x) ++h[row[x]];
            }
            return h;
        },
        [](Histogram a, const Histogram& b) {
            for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
            return a;
        });
    const std::size_t half = grey.pixels.size() / 2;
    int median = 0;
    for (std::size_t sum = 0; median < 256; ++median) {
        sum += histogram[static_cast<std::size_t>(median)];
        if (sum > half) break;
    }
    Bitmaps b;
    b.width = grey.width;
    b.height = grey.height;
    std::array<std::uint8_t, 256> code{};
    for (int v = 0; v < 256; ++v)
        code[static_cast<std::size_t>(v)] =
            static_cast<std::uint8_t>((v > median ? 1 : 0) | (std::abs(v - median) > 4 ? 2 : 0));
    b.bits.reset(new std::uint8_t[grey.pixels.size()]);
    forRows(grey.height, [&](int y) {
        const std::uint8_t* in = grey.row(y);
        std::uint8_t* o = b.bits.get() + static_cast<std::size_t>(y) * grey.width;
        for (int x = 0; x < grey.width; ++x) o[x] = code[in[x]];
    });
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
                const std::uint8_t* a = ref.bits.get() + static_cast<std::size_t>(y) * ref.width;
                const std::uint8_t* b = shot.bits.get() + static_cast<std::size_t>(y + dy) * shot.width + dx;
                unsigned rowSum = 0;
                for (int x = x0; x < x1; ++x) rowSum += ((a[x] ^ b[x]) & (a[x] >> 1) & (b[x] >> 1)) & 1u;
                sum += rowSum;
            }
            return sum;
        },
        [](std::size_t a, std::size_t b) { return a + b; });
}

// The bitmaps of a grey image and of its halvings, finest first: as many levels as the search
// radius needs, none under 16 pixels.
std::vector<Bitmaps> bitmapPyramid(const Raster8& grey, int maxShiftBits) {
    std::vector<Bitmaps> levels;
    levels.push_back(bitmaps(grey));
    Raster8 smaller;
    const Raster8* current = &grey;
    for (int level = 1; level < maxShiftBits; ++level) {
        if (std::min(current->width, current->height) < 32) break;
        smaller = halve(*current);
        current = &smaller;
        levels.push_back(bitmaps(smaller));
    }
    return levels;
}

// Coarse to fine: each level tries the eight neighbours of the doubled offset of the level above.
ExposureFusion::Offset alignPyramids(const std::vector<Bitmaps>& refs, const std::vector<Bitmaps>& shots) {
    using Offset = ExposureFusion::Offset;
    Offset best;
    const int top = static_cast<int>(std::min(refs.size(), shots.size())) - 1;
    for (int level = top; level >= 0; --level) {
        const Bitmaps& rb = refs[static_cast<std::size_t>(level)];
        const Bitmaps& sb = shots[static_cast<std::size_t>(level)];
        Offset centre{best.dx * 2, best.dy * 2};
        if (level == top) centre = {};
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

// ---- pyramids (5-tap binomial kernel, edges clamped)

constexpr float kReduce[5] = {1 / 16.f, 4 / 16.f, 6 / 16.f, 4 / 16.f, 1 / 16.f};

// One reduced row from five source rows (the rows 2y - 2 ... 2y + 2 of the source, clamped):
// blur down the columns into `line` (srcWidth * c), then across, keeping every second sample.
void reduceRow(const float* const rows[5], int srcWidth, int c, float* line, int outWidth, float* out) {
    const std::size_t n = static_cast<std::size_t>(srcWidth) * c;
    const float* r0 = rows[0];
    const float* r1 = rows[1];
    const float* r2 = rows[2];
    const float* r3 = rows[3];
    const float* r4 = rows[4];
    for (std::size_t i = 0; i < n; ++i)
        line[i] = kReduce[0] * (r0[i] + r4[i]) + kReduce[1] * (r1[i] + r3[i]) + kReduce[2] * r2[i];
    const auto edge = [&](int x) {
        int xs[5];
        for (int m = 0; m < 5; ++m) xs[m] = clampIndex(2 * x + m - 2, srcWidth) * c;
        for (int ch = 0; ch < c; ++ch)
            out[x * c + ch] = kReduce[0] * (line[xs[0] + ch] + line[xs[4] + ch]) +
                              kReduce[1] * (line[xs[1] + ch] + line[xs[3] + ch]) + kReduce[2] * line[xs[2] + ch];
    };
    // Columns whose five taps all fall inside the row need no clamping.
    const int inner0 = std::min(outWidth, 1), inner1 = std::max(inner0, std::min(outWidth, (srcWidth - 3) / 2 + 1));
    for (int x = 0; x < inner0; ++x) edge(x);
    if (c == 3) {
        for (int x = inner0; x < inner1; ++x) {
            const float* p = line + (2 * x - 2) * 3;
            float* o = out + x * 3;
            for (int ch = 0; ch < 3; ++ch)
                o[ch] = kReduce[0] * (p[ch] + p[12 + ch]) + kReduce[1] * (p[3 + ch] + p[9 + ch]) + kReduce[2] * p[6 + ch];
        }
    } else {
        for (int x = inner0; x < inner1; ++x) {
            const float* p = line + (2 * x - 2) * c;
            for (int ch = 0; ch < c; ++ch)
                out[x * c + ch] = kReduce[0] * (p[ch] + p[4 * c + ch]) + kReduce[1] * (p[c + ch] + p[3 * c + ch]) +
                                  kReduce[2] * p[2 * c + ch];
        }
    }
    for (int x = inner1; x < outWidth; ++x) edge(x);
}

// One level down into `out` (already sized ceil(n / 2)).
void reduceInto(const Plane& src, Plane& out) {
    const int c = src.channels;
    tbb::parallel_for(tbb::blocked_range<int>(0, out.height, 8), [&](const tbb::blocked_range<int>& r) {
        std::vector<float> line(static_cast<std::size_t>(src.width) * c);
        for (int y = r.begin(); y != r.end(); ++y) {
            const float* rows[5];
            for (int m = 0; m < 5; ++m) rows[m] = src.row(clampIndex(2 * y + m - 2, src.height));
            reduceRow(rows, src.width, c, line.data(), out.width, out.row(y));
        }
    });
}

// The rows of a plane expanded one level up to width x height, one output row at a time.
// Rows are asked for in rising order; the horizontally expanded source rows are kept for the
// next output rows.
class Expander {
public:
    Expander(const Plane& src, int width, int height)
        : src_(src), width_(width), height_(height), lines_(kSlots * static_cast<std::size_t>(width) * src.channels) {
        tags_.fill(-1);
    }

    // Writes output row y (width * channels) into `out`.
    void row(int y, float* out) {
        const std::size_t n = static_cast<std::size_t>(width_) * src_.channels;
        const int j = y / 2;
        if (y % 2 == 0) {
            const float* l0 = line(clampIndex(j - 1, src_.height));
            const float* l1 = line(clampIndex(j, src_.height));
            const float* l2 = line(clampIndex(j + 1, src_.height));
            for (std::size_t i = 0; i < n; ++i) out[i] = 0.125f * l0[i] + 0.75f * l1[i] + 0.125f * l2[i];
        } else {
            const float* l0 = line(clampIndex(j, src_.height));
            const float* l1 = line(clampIndex(j + 1, src_.height));
            for (std::size_t i = 0; i < n; ++i) out[i] = 0.5f * (l0[i] + l1[i]);
        }
    }

    int height() const { return height_; }

private:
    static constexpr int kSlots = 4;

    const float* line(int j) {
        const int slot = j % kSlots;
        float* out = lines_.data() + static_cast<std::size_t>(slot) * width_ * src_.channels;
        if (tags_[static_cast<std::size_t>(slot)] != j) {
            expandLine(src_.row(j), out);
            tags_[static_cast<std::size_t>(slot)] = j;
        }
        return out;
    }

    void expandLine(const float* in, float* out) const {
        const int c = src_.channels, sw = src_.width;
        // Columns 2 ... 2 * sw - 3 read no clamped neighbour.
        const int inner0 = std::min(width_, 2), inner1 = std::max(inner0, std::min(width_, 2 * sw - 2));
        edgeColumns(in, out, 0, inner0);
        for (int x = inner0; x < inner1; ++x) {
            const float* a = in + (x / 2 - 1 + x % 2) * c;
            float* o = out + x * c;
            if (x % 2 == 0) {
                for (int ch = 0; ch < c; ++ch) o[ch] = 0.125f * a[ch] + 0.75f * a[c + ch] + 0.125f * a[2 * c + ch];
            } else {
                for (int ch = 0; ch < c; ++ch) o[ch] = 0.5f * (a[ch] + a[c + ch]);
            }
        }
        edgeColumns(in, out, inner1, width_);
    }

    void edgeColumns(const float* in, float* out, int from, int to) const {
        const int c = src_.channels, sw = src_.width;
        for (int x = from; x < to; ++x) {
            const int j = x / 2;
            if (x % 2 == 0) {
                const float* a = in + clampIndex(j - 1, sw) * c;
                const float* b = in + clampIndex(j, sw) * c;
                const float* d = in + clampIndex(j + 1, sw) * c;
                for (int ch = 0; ch < c; ++ch) out[x * c + ch] = 0.125f * a[ch] + 0.75f * b[ch] + 0.125f * d[ch];
            } else {
                const float* a = in + clampIndex(j, sw) * c;
                const float* b = in + clampIndex(j + 1, sw) * c;
                for (int ch = 0; ch < c; ++ch) out[x * c + ch] = 0.5f * (a[ch] + b[ch]);
            }
        }
    }

    const Plane& src_;
    int width_, height_;
    std::vector<float> lines_;
    std::array<int, kSlots> tags_;
};

// Bands of rows for passes that keep a few rows of state: big enough that the rows recomputed
// at a band's edges cost little, small enough to keep every core busy.
template <class F>
void forBands(int height, int grain, F&& body) {
    tbb::parallel_for(tbb::blocked_range<int>(0, height, grain),
                      [&](const tbb::blocked_range<int>& r) { body(r.begin(), r.end()); }, tbb::simple_partitioner());
}

// One level up to width x height, calling sink(y, row) with each expanded row.
template <class Sink>
void expandRows(const Plane& src, int width, int height, Sink&& sink) {
    forBands(height, 32, [&](int begin, int end) {
        Expander expander(src, width, height);
        std::vector<float> out(static_cast<std::size_t>(width) * src.channels);
        for (int y = begin; y != end; ++y) {
            expander.row(y, out.data());
            sink(y, out.data());
        }
    });
}

int levelCount(int width, int height) {
    int levels = 1;
    for (int side = std::min(width, height); side >= 16 && levels < 12; side = (side + 1) / 2) ++levels;
    return levels;
}

// ---- shots

// A shot's samples where they already are (a raster's or a decoded image's memory), read
// through its offset. Any number of channels; grey is used for R, G and B, alpha is ignored.
template <class T>
struct ShotView {
    const T* data = nullptr;
    int width = 0, height = 0, channels = 0;
    ExposureFusion::Offset offset;
    const T* row(int y) const { return data + static_cast<std::size_t>(y) * width * channels; }
};

// Samples as floats 0...1. An 8-bit sample becomes exactly the float of the 16-bit sample it
// widens to (v * 257), so an 8-bit shot fuses like its 16-bit conversion.
struct UnitScale {
    std::array<float, 256> of8{};
    UnitScale() {
        for (int v = 0; v < 256; ++v) of8[static_cast<std::size_t>(v)] = static_cast<float>(v * 257) * (1.f / 65535.f);
    }
    float operator()(std::uint8_t v) const { return of8[v]; }
    float operator()(std::uint16_t v) const { return static_cast<float>(v) * (1.f / 65535.f); }
};
const UnitScale unitScale;

// A sample on the 16-bit scale.
inline std::uint32_t wide(std::uint8_t v) { return v * 257u; }
inline std::uint32_t wide(std::uint16_t v) { return v; }

// The few most recent rows of one shot as RGB floats and their grey (mean of R, G, B), by row
// of the reference (-1 ... height; rows outside are read clamped). Rows are asked for in
// rising order, at most eight apart.
template <class T>
class ShotRows {
public:
    explicit ShotRows(const ShotView<T>& shot)
        : shot_(shot),
          rgb_(kSlots * static_cast<std::size_t>(shot.width) * 3),
          grey_(kSlots * static_cast<std::size_t>(shot.width)) {
        tags_.fill(std::numeric_limits<int>::min());
    }
    const float* rgb(int y) { return rgb_.data() + slot(y) * static_cast<std::size_t>(shot_.width) * 3; }
    const float* grey(int y) { return grey_.data() + slot(y) * static_cast<std::size_t>(shot_.width); }

private:
    static constexpr int kSlots = 8;

    std::size_t slot(int y) {
        const auto s = static_cast<std::size_t>(((y % kSlots) + kSlots) % kSlots);
        if (tags_[s] != y) {
            load(y, rgb_.data() + s * shot_.width * 3, grey_.data() + s * shot_.width);
            tags_[s] = y;
        }
        return s;
    }

    void load(int y, float* rgb, float* grey) const {
        const int w = shot_.width, c = shot_.channels, dx = shot_.offset.dx;
        const T* in = shot_.row(clampIndex(y + shot_.offset.dy, shot_.height));
        const int g = c > 2 ? 1 : 0, b = c > 2 ? 2 : 0;
        const auto put = [&](int x, const T* p) {
            const float r0 = unitScale(p[0]), g0 = unitScale(p[g]), b0 = unitScale(p[b]);
            rgb[3 * x] = r0;
            rgb[3 * x + 1] = g0;
            rgb[3 * x + 2] = b0;
            grey[x] = (r0 + g0 + b0) * (1.f / 3.f);
        };
        // Columns read inside the shot, then the clamped ones at either side.
        const int x0 = std::clamp(-dx, 0, w), x1 = std::clamp(w - dx, x0, w);
        for (int x = 0; x < x0; ++x) put(x, in);
        if (c == 3) {
            const T* p = in + static_cast<std::size_t>(x0 + dx) * 3;
            for (int x = x0; x < x1; ++x, p += 3) put(x, p);
        } else {
            for (int x = x0; x < x1; ++x) put(x, in + static_cast<std::size_t>(x + dx) * c);
        }
        for (int x = x1; x < w; ++x) put(x, in + static_cast<std::size_t>(w - 1) * c);
    }

    ShotView<T> shot_;
    std::vector<float> rgb_, grey_;
    std::array<int, kSlots> tags_;
};

inline float power(float v, double exponent) {
    if (exponent == 1) return v;
    return std::pow(v, static_cast<float>(exponent));
}

// Mertens' quality measure of one row from the grey of it and its neighbours and its colours.
void qualityRow(const float* up, const float* mid, const float* down, const float* rgb, int w,
                const ExposureFusion::Weights& wt, float* out) {
    constexpr float twoSigmaSquared = 2 * 0.2f * 0.2f;
    for (int x = 0; x < w; ++x) {
        const float* p = rgb + 3 * x;
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
        out[x] = v + 1e-12f;
    }
}

// Everything one band of rows needs to read the shots and their normalised weights.
template <class T>
class BandRows {
public:
    BandRows(const std::vector<ShotView<T>>& shots, const ExposureFusion::Weights& weights)
        : weights_(weights), width_(shots[0].width), count_(shots.size()),
          normalised_(kSlots * count_ * static_cast<std::size_t>(width_)) {
        rows_.reserve(count_);
        for (const auto& shot : shots) rows_.emplace_back(shot);
        tags_.fill(std::numeric_limits<int>::min());
    }

    ShotRows<T>& shot(std::size_t k) { return rows_[k]; }

    // Row y's weight of every shot, divided by their sum: weight(y)[k * width + x]. Rows are
    // asked for in rising order, at most eight apart.
    const float* weights(int y) {
        const auto s = static_cast<std::size_t>(((y % kSlots) + kSlots) % kSlots);
        float* out = normalised_.data() + s * count_ * width_;
        if (tags_[s] == y) return out;
        tags_[s] = y;
        for (std::size_t k = 0; k < count_; ++k) {
            ShotRows<T>& r = rows_[k];
            const float* up = r.grey(y - 1);
            const float* mid = r.grey(y);
            const float* down = r.grey(y + 1);
            qualityRow(up, mid, down, r.rgb(y), static_cast<int>(width_), weights_, out + k * width_);
        }
        for (std::size_t x = 0; x < width_; ++x) {
            float sum = 0.f;
            for (std::size_t k = 0; k < count_; ++k) sum += out[k * width_ + x];
            for (std::size_t k = 0; k < count_; ++k) out[k * width_ + x] /= sum;
        }
        return out;
    }

private:
    static constexpr int kSlots = 8;
    const ExposureFusion::Weights& weights_;
    std::size_t width_, count_;
    std::vector<ShotRows<T>> rows_;
    std::vector<float> normalised_;
    std::array<int, kSlots> tags_;
};

// The fusion proper, into `out` (width * height * 3 samples). Full-size data is only ever held
// as the shots themselves: the finest pyramid level is computed row by row in the last pass
// from the shots, their first reduced levels and the collapsed coarser result, and the weights
// are computed on the fly from the rows of all shots wherever they are needed.
template <class T>
void fuseInto(const std::vector<ShotView<T>>& shots, const ExposureFusion::Weights& weights, std::uint16_t* out) {
    const int width = shots[0].width, height = shots[0].height;
    const std::size_t count = shots.size();
    const int levels = levelCount(width, height);
    const int w1 = (width + 1) / 2, h1 = (height + 1) / 2;

    // Pass 1: every shot's first reduced level, and that of its normalised weights.
    std::vector<Plane> image1, weight1;
    if (levels > 1) {
        for (std::size_t k = 0; k < count; ++k) {
            image1.emplace_back(w1, h1, 3);
            weight1.emplace_back(w1, h1, 1);
        }
        forBands(h1, 16, [&](int begin, int end) {
            BandRows<T> band(shots, weights);
            std::vector<float> line(static_cast<std::size_t>(width) * 3);
            for (int y = begin; y != end; ++y) {
                int rows[5];
                for (int m = 0; m < 5; ++m) rows[m] = clampIndex(2 * y + m - 2, height);
                const float* w[5];
                for (int m = 0; m < 5; ++m) w[m] = band.weights(rows[m]);
                for (std::size_t k = 0; k < count; ++k) {
                    const float* wk[5];
                    for (int m = 0; m < 5; ++m) wk[m] = w[m] + k * static_cast<std::size_t>(width);
                    reduceRow(wk, width, 1, line.data(), w1, weight1[k].row(y));
                    const float* rgb[5];
                    for (int m = 0; m < 5; ++m) rgb[m] = band.shot(k).rgb(rows[m]);
                    reduceRow(rgb, width, 3, line.data(), w1, image1[k].row(y));
                }
            }
        });
    }

    // Pass 2: the coarser levels of the result pyramid, shot by shot, with the levels below
    // the first reused from shot to shot.
    std::vector<Plane> result(std::min(levels, 2));  // index 0 unused
    if (levels > 1) {
        result[1] = Plane(w1, h1, 3, 0.f);
        std::vector<Plane> image(2), weight(2);  // levels 2 and up
        int w = (w1 + 1) / 2, h = (h1 + 1) / 2;
        for (int l = 2; l < levels; ++l) {
            result.emplace_back(w, h, 3, 0.f);
            image.emplace_back(w, h, 3);
            weight.emplace_back(w, h, 1);
            w = (w + 1) / 2;
            h = (h + 1) / 2;
        }
        for (std::size_t k = 0; k < count; ++k) {
            const auto imageAt = [&](int l) -> Plane& { return l == 1 ? image1[k] : image[static_cast<std::size_t>(l)]; };
            const auto weightAt = [&](int l) -> Plane& { return l == 1 ? weight1[k] : weight[static_cast<std::size_t>(l)]; };
            for (int l = 1; l + 1 < levels; ++l) {
                reduceInto(imageAt(l), imageAt(l + 1));
                reduceInto(weightAt(l), weightAt(l + 1));
            }
            for (int l = 1; l < levels; ++l) {
                Plane& o = result[static_cast<std::size_t>(l)];
                const Plane& img = imageAt(l);
                const Plane& wgt = weightAt(l);
                if (l == levels - 1) {
                    forRows(o.height, [&](int y) {
                        float* r = o.row(y);
                        const float* p = img.row(y);
                        const float* wy = wgt.row(y);
                        for (int x = 0; x < o.width; ++x)
                            for (int c = 0; c < 3; ++c) r[3 * x + c] += wy[x] * p[3 * x + c];
                    });
                    break;
                }
                expandRows(imageAt(l + 1), img.width, img.height, [&](int y, const float* up) {
                    float* r = o.row(y);
                    const float* p = img.row(y);
                    const float* wy = wgt.row(y);
                    for (int x = 0; x < o.width; ++x)
                        for (int c = 0; c < 3; ++c) r[3 * x + c] += wy[x] * (p[3 * x + c] - up[3 * x + c]);
                });
            }
            weight1[k] = Plane();
        }
        // Collapse them from the top down to the first level.
        for (int l = levels - 2; l >= 1; --l) {
            Plane& fine = result[static_cast<std::size_t>(l)];
            const Plane& coarse = result[static_cast<std::size_t>(l) + 1];
            expandRows(coarse, fine.width, fine.height, [&](int y, const float* up) {
                float* o = fine.row(y);
                for (int i = 0; i < fine.width * 3; ++i) o[i] += up[i];
            });
            result.pop_back();
        }
    }

    // Pass 3: the finest level, sum of w_k * (shot_k - expand(level 1 of shot_k)), plus the
    // expanded coarser result, straight into the output.
    forBands(height, 32, [&](int begin, int end) {
        BandRows<T> band(shots, weights);
        const std::size_t n = static_cast<std::size_t>(width) * 3;
        std::vector<Expander> expanders;
        if (levels > 1) {
            expanders.reserve(count + 1);
            for (std::size_t k = 0; k < count; ++k) expanders.emplace_back(image1[k], width, height);
            expanders.emplace_back(result[1], width, height);
        }
        std::vector<float> acc(n), up(n);
        for (int y = begin; y != end; ++y) {
            const float* w = band.weights(y);
            std::fill(acc.begin(), acc.end(), 0.f);
            for (std::size_t k = 0; k < count; ++k) {
                const float* g = band.shot(k).rgb(y);
                const float* wk = w + k * static_cast<std::size_t>(width);
                if (levels > 1) {
                    expanders[k].row(y, up.data());
                    for (int x = 0; x < width; ++x)
                        for (int c = 0; c < 3; ++c) acc[3 * x + c] += wk[x] * (g[3 * x + c] - up[3 * x + c]);
                } else {
                    for (int x = 0; x < width; ++x)
                        for (int c = 0; c < 3; ++c) acc[3 * x + c] += wk[x] * g[3 * x + c];
                }
            }
            if (levels > 1)
                expanders[count].row(y, up.data());
            else
                std::fill(up.begin(), up.end(), 0.f);
            std::uint16_t* o = out + static_cast<std::size_t>(y) * n;
            for (std::size_t i = 0; i < n; ++i) {
                const float v = std::clamp(acc[i] + up[i], 0.f, 1.f);
                o[i] = static_cast<std::uint16_t>(v * 65535.f + 0.5f);
            }
        }
    });
}

// Luma of a shot, 8 bits, read without its offset.
template <class T>
Raster8 greyOf(const ShotView<T>& image) {
    Raster8 out(image.width, image.height, 1);
    const int c = image.channels;
    forRows(image.height, [&](int y) {
        const T* in = image.row(y);
        std::uint8_t* o = out.row(y);
        for (int x = 0; x < image.width; ++x) {
            const T* p = in + static_cast<std::size_t>(x) * c;
            const std::uint32_t luma = c > 2 ? (54u * wide(p[0]) + 183u * wide(p[1]) + 19u * wide(p[2])) >> 8 : wide(p[0]);
            o[x] = static_cast<std::uint8_t>(luma >> 8);
        }
    });
    return out;
}

template <class T>
void checkSizes(const std::vector<ShotView<T>>& shots, const std::vector<std::filesystem::path>& names) {
    if (shots.empty()) throw MergeError::emptyBracket();
    for (std::size_t k = 1; k < shots.size(); ++k)
        if (shots[k].width != shots[0].width || shots[k].height != shots[0].height)
            throw MergeError::sizeMismatch(k < names.size() ? names[k] : std::filesystem::path(), shots[k].width,
                                           shots[k].height, shots[0].width, shots[0].height);
}

// Every shot's offset against the first.
template <class T>
void align(std::vector<ShotView<T>>& shots, int maxShiftBits) {
    if (shots.size() < 2) return;
    const std::vector<Bitmaps> reference = bitmapPyramid(greyOf(shots[0]), maxShiftBits);
    tbb::parallel_for(std::size_t{1}, shots.size(), [&](std::size_t k) {
        if (shots[k].width == shots[0].width && shots[k].height == shots[0].height && shots[0].width > 0 &&
            shots[0].height > 0)
            shots[k].offset = alignPyramids(reference, bitmapPyramid(greyOf(shots[k]), maxShiftBits));
    });
}

std::vector<ShotView<std::uint16_t>> viewsOf(const std::vector<Raster16>& shots) {
    std::vector<ShotView<std::uint16_t>> views;
    for (const Raster16& s : shots) views.push_back({s.pixels.data(), s.width, s.height, s.channels, {}});
    return views;
}

// Output samples on huge pages, handed to the image that encodes them and freed with it.
struct OutputBuffer {
    std::uint16_t* data = nullptr;
    std::size_t bytes = 0;
    explicit OutputBuffer(std::size_t samples) : bytes(samples * sizeof(std::uint16_t)) {
        constexpr std::size_t huge = 2u << 20;
        data = static_cast<std::uint16_t*>(std::aligned_alloc(huge, (bytes + huge - 1) / huge * huge));
        if (!data) throw std::bad_alloc();
        ::madvise(data, bytes, MADV_HUGEPAGE);
    }
    ~OutputBuffer() { std::free(data); }
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    // A vips image over the samples that owns them from now on.
    vips::VImage release(int width, int height) {
        VipsImage* image = vips_image_new_from_memory(data, bytes, width, height, 3, VIPS_FORMAT_USHORT);
        if (!image) throw vips::VError();
        g_signal_connect(image, "postclose", G_CALLBACK(+[](VipsImage*, gpointer p) { std::free(p); }), data);
        data = nullptr;
        return vips::VImage(image);
    }
};

}  // namespace

// ---- public

Raster8 ExposureFusion::grey(const Raster16& image) {
    return greyOf(ShotView<std::uint16_t>{image.pixels.data(), image.width, image.height, image.channels, {}});
}

ExposureFusion::Offset ExposureFusion::alignment(const Raster8& reference, const Raster8& shot, int maxShiftBits) {
    if (reference.width != shot.width || reference.height != shot.height || reference.empty()) return {};
    return alignPyramids(bitmapPyramid(reference, maxShiftBits), bitmapPyramid(shot, maxShiftBits));
}

Raster16 ExposureFusion::fuse(const std::vector<Raster16>& shots, const std::vector<std::filesystem::path>& names) const {
    std::vector<ShotView<std::uint16_t>> views = viewsOf(shots);
    checkSizes(views, names);
    align(views, maxShiftBits);
    Raster16 out(views[0].width, views[0].height, 3);
    fuseInto(views, weights, out.pixels.data());
    return out;
}

Raster16 ExposureFusion::fuse(const std::vector<Raster16>& shots, const std::vector<Offset>& offsets) const {
    std::vector<ShotView<std::uint16_t>> views = viewsOf(shots);
    checkSizes(views, {});
    for (std::size_t k = 1; k < views.size() && k < offsets.size(); ++k) views[k].offset = offsets[k];
    Raster16 out(views[0].width, views[0].height, 3);
    fuseInto(views, weights, out.pixels.data());
    return out;
}

namespace {

// Aligns and fuses shots decoded into memory (RGB, one sample type) into an image over the
// fused samples.
template <class T>
vips::VImage fuseDecoded(const ExposureFusion& fusion, const std::vector<vips::VImage>& decoded,
                         const std::vector<std::filesystem::path>& members) {
    std::vector<ShotView<T>> views;
    for (const vips::VImage& image : decoded)
        views.push_back({static_cast<const T*>(vips_image_get_data(image.get_image())), image.width(), image.height(),
                         image.bands(), {}});
    checkSizes(views, members);
    align(views, fusion.maxShiftBits);
    OutputBuffer out(static_cast<std::size_t>(views[0].width) * views[0].height * 3);
    fuseInto(views, fusion.weights, out.data);
    return out.release(views[0].width, views[0].height);
}

}  // namespace

Image ExposureFusion::fuseFiles(const std::vector<std::filesystem::path>& membersIn,
                               std::vector<MergeError>* leftOut) const {
    std::vector<std::filesystem::path> members = membersIn;
    if (members.empty()) throw MergeError::emptyBracket();
    const CoreImagePipeline& pipeline = CoreImagePipeline::shared();
    // Each member in memory as RGB, 8-bit where it is 8-bit (fused like its 16-bit conversion)
    // and 16-bit otherwise.
    std::vector<vips::VImage> decoded(members.size());
    std::vector<std::exception_ptr> failures(members.size());
    ImageProperties firstProperties = ImageProperties::object();
    const auto inMemory = [](const vips::VImage& image) {
        vips::VImage out = image.copy_memory();
        if (!vips_image_get_data(out.get_image())) throw vips::VError();
        return out;
    };
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
                const Image rgb = image->convertedToSRGB().withChannels(3);
                decoded[k] = inMemory(rgb.withBitsPerSample(rgb.bitsPerSample() == 8 ? 8 : 16).pixels());
            } catch (const vips::VError&) {
                throw MergeError::cannotDecode(members[k]);
            }
        } catch (...) {
            failures[k] = std::current_exception();
        }
    });
    if (leftOut) {
        // The first member must decode; a later one that does not, or whose size is not the
        // first one's, is left out with its error.
        if (failures[0]) std::rethrow_exception(failures[0]);
        std::size_t kept = 1;
        for (std::size_t k = 1; k < members.size(); ++k) {
            if (failures[k]) {
                try {
                    std::rethrow_exception(failures[k]);
                } catch (const MergeError& e) {
                    leftOut->push_back(e);
                }
                continue;
            }
            if (decoded[k].width() != decoded[0].width() || decoded[k].height() != decoded[0].height()) {
                leftOut->push_back(MergeError::sizeMismatch(members[k], decoded[k].width(), decoded[k].height(),
                                                            decoded[0].width(), decoded[0].height()));
                continue;
            }
            members[kept] = members[k];
            decoded[kept] = decoded[k];
            ++kept;
        }
        members.resize(kept);
        decoded.resize(kept);
        failures.assign(kept, nullptr);
        if (kept == 1) return Image(decoded[0], firstProperties);
    }
    for (const auto& failure : failures)
        if (failure) std::rethrow_exception(failure);
    const bool eightBit = std::all_of(decoded.begin(), decoded.end(),
                                      [](const vips::VImage& image) { return image.format() == VIPS_FORMAT_UCHAR; });
    if (eightBit) return Image(fuseDecoded<std::uint8_t>(*this, decoded, members), firstProperties);
    // Mixed depths: the 8-bit members are widened.
    for (std::size_t k = 0; k < decoded.size(); ++k) {
        try {
            if (decoded[k].format() != VIPS_FORMAT_USHORT) decoded[k] = inMemory(vipsx::toDepth(decoded[k], 16));
        } catch (const vips::VError&) {
            throw MergeError::cannotDecode(members[k]);
        }
    }
    return Image(fuseDecoded<std::uint16_t>(*this, decoded, members), firstProperties);
}

}  // namespace lw
