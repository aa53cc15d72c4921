#include "audio/LoudnessMeter.h"

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace lw {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kBlockFrames = 1 << 15;  // frames handed to a worker at a time
constexpr std::size_t kStrip = 64;             // zero padding after a block, read by the last vectors
constexpr int kTaps = 12;                      // taps per phase
constexpr int kHistory = kTaps - 1;
constexpr double kDigitalSilence = 1e-10;      // mean square below -100 dBFS: a gap, not room tone

// Interpolation filter of ITU-R BS.1770-4 Annex 2 (4x, 48 taps), one row per phase.
constexpr float kPhases4[4][kTaps] = {
    {0.0017089843750f, 0.0109863281250f, -0.0196533203125f, 0.0332031250000f, -0.0594482421875f,
     0.1373291015625f, 0.9721679687500f, -0.1022949218750f, 0.0476074218750f, -0.0266113281250f,
     0.0148925781250f, -0.0083007812500f},
    {-0.0291748046875f, 0.0292968750000f, -0.0517578125000f, 0.0891113281250f, -0.1665039062500f,
     0.4650878906250f, 0.7797851562500f, -0.2003173828125f, 0.1015625000000f, -0.0582275390625f,
     0.0330810546875f, -0.0189208984375f},
    {-0.0189208984375f, 0.0330810546875f, -0.0582275390625f, 0.1015625000000f, -0.2003173828125f,
     0.7797851562500f, 0.4650878906250f, -0.1665039062500f, 0.0891113281250f, -0.0517578125000f,
     0.0292968750000f, -0.0291748046875f},
    {-0.0083007812500f, 0.0148925781250f, -0.0266113281250f, 0.0476074218750f, -0.1022949218750f,
     0.9721679687500f, 0.1373291015625f, -0.0594482421875f, 0.0332031250000f, -0.0196533203125f,
     0.0109863281250f, 0.0017089843750f},
};

struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
};

// The reference K-weighting is the standard's pair of biquads at 48 kHz (reproduced exactly
// below from the shelf's and high-pass's parameters).
constexpr double kReferenceRate = 48000;
constexpr double kShelfHz = 1681.974450955533, kShelfGainDB = 3.999843853973347, kShelfQ = 0.7071752369554196;
constexpr double kShelfVbExponent = 0.4996667741545416;
constexpr double kHighPassHz = 38.13547087602444, kHighPassQ = 0.5003270373238773;

// The high shelf by the bilinear transform, prewarped at its corner.
Biquad bilinearShelf(double rate) {
    const double kk = std::tan(kPi * kShelfHz / rate);
    const double vh = std::pow(10.0, kShelfGainDB / 20.0);
    const double vb = std::pow(vh, kShelfVbExponent);
    const double a0 = 1.0 + kk / kShelfQ + kk * kk;
    return {(vh + vb * kk / kShelfQ + kk * kk) / a0, 2.0 * (kk * kk - vh) / a0, (vh - vb * kk / kShelfQ + kk * kk) / a0,
            2.0 * (kk * kk - 1.0) / a0, (1.0 - kk / kShelfQ + kk * kk) / a0};
}

double squaredMagnitude(const Biquad& f, double hz, double rate) {
    const std::complex<double> z = std::polar(1.0, -2.0 * kPi * hz / rate);
    return std::norm((f.b0 + f.b1 * z + f.b2 * z * z) / (1.0 + f.a1 * z + f.a2 * z * z));
}

// The high shelf below 48 kHz. A bilinear design cramps the shelf against the Nyquist frequency
// (at 8 kHz 0.2 dB too little at 1 kHz and too much at 2 to 3 kHz; past all bounds once the
// corner reaches Nyquist). Instead the poles of the 48 kHz shelf are carried over through the
// s plane and the numerator is chosen so that the magnitude equals the 48 kHz one at DC, at the
// corner and at Nyquist: within 0.04 dB of the reference over the whole band at 8 kHz, 0.003 dB
// at 16 kHz (the closed form of Vicanek's matched second-order filters).
Biquad matchedShelf(double rate) {
    const Biquad ref = bilinearShelf(kReferenceRate);
    const std::complex<double> pole48 = (-ref.a1 + std::sqrt(std::complex<double>(ref.a1 * ref.a1 - 4.0 * ref.a2))) / 2.0;
    const std::complex<double> pole = std::exp(std::log(pole48) * (kReferenceRate / rate));
    Biquad f;
    f.a1 = -2.0 * pole.real();
    f.a2 = std::norm(pole);
    // |H|^2 = (B0 p0 + B1 p1 + B2 p2) / (A0 p0 + A1 p1 + A2 p2) with p1 = sin^2(w/2), p0 = 1 - p1,
    // p2 = 4 p0 p1; for a biquad A0 = (1 + a1 + a2)^2, A1 = (1 - a1 + a2)^2, A2 = -4 a2.
    const double A0 = (1.0 + f.a1 + f.a2) * (1.0 + f.a1 + f.a2), A1 = (1.0 - f.a1 + f.a2) * (1.0 - f.a1 + f.a2);
    const double A2 = -4.0 * f.a2;
    const double B0 = A0 * squaredMagnitude(ref, 0.0, kReferenceRate);
    const double B1 = A1 * squaredMagnitude(ref, rate / 2.0, kReferenceRate);
    const double p1 = std::pow(std::sin(kPi * kShelfHz / rate), 2.0), p0 = 1.0 - p1, p2 = 4.0 * p0 * p1;
    const double R = (A0 * p0 + A1 * p1 + A2 * p2) * squaredMagnitude(ref, kShelfHz, kReferenceRate);
    const double B2 = (R - B0 * p0 - B1 * p1) / p2;
    const double w = (std::sqrt(B0) + std::sqrt(B1)) / 2.0;
    f.b0 = (w + std::sqrt(std::max(0.0, w * w + B2))) / 2.0;
    f.b1 = (std::sqrt(B0) - std::sqrt(B1)) / 2.0;
    f.b2 = -B2 / (4.0 * f.b0);
    return f;
}

// The two K-weighting stages for a sample rate: the standard's coefficients at 48 kHz, and the
// same magnitude response at every other rate from kMinSampleRate up.
std::array<Biquad, 2> kWeighting(double rate) {
    std::array<Biquad, 2> k;
    k[0] = rate < kReferenceRate ? matchedShelf(rate) : bilinearShelf(rate);
    // The high-pass's pass-band gain is its a0; the numerator keeps the 48 kHz gain at every rate
    // (at 8 kHz the plain design reads 0.2 dB loud).
    auto a0Of = [](double r) {
        const double kk = std::tan(kPi * kHighPassHz / r);
        return std::pair{kk, 1.0 + kk / kHighPassQ + kk * kk};
    };
    const auto [kk, a0] = a0Of(rate);
    const double g = a0Of(kReferenceRate).second / a0;
    k[1] = {g, -2.0 * g, g, 2.0 * (kk * kk - 1.0) / a0, (1.0 - kk / kHighPassQ + kk * kk) / a0};
    return k;
}

// Sixteen lanes; GCC lowers this to whatever vector width the clone below targets.
typedef float Lanes __attribute__((vector_size(64)));
typedef int LaneBits __attribute__((vector_size(64)));
constexpr int kLanes = 16;

// Largest |y| over the first `valid` outputs of P interpolating phases. Output i uses
// x[i] ... x[i + kTaps - 1]; the accumulators stay in registers across the taps.
template <int P>
__attribute__((always_inline)) inline float peakOfPhases(const float* x, std::size_t valid, const float* taps) {
    Lanes peak = {};
    float tailPeak = 0;
    for (std::size_t i = 0; i < valid; i += kLanes) {
        Lanes acc[P] = {};
#pragma GCC unroll 12
        for (int k = 0; k < kTaps; ++k) {
            Lanes xv;
            std::memcpy(&xv, x + i + k, sizeof xv);
#pragma GCC unroll 4
            for (int p = 0; p < P; ++p) acc[p] += taps[p * kTaps + k] * xv;
        }
        if (i + kLanes <= valid) {
#pragma GCC unroll 4
            for (int p = 0; p < P; ++p) {
                const Lanes a = (Lanes)((LaneBits)acc[p] & 0x7fffffff);
                peak = a > peak ? a : peak;
            }
        } else {
            for (int p = 0; p < P; ++p)
                for (std::size_t j = 0; j < valid - i; ++j) tailPeak = std::max(tailPeak, std::fabs(acc[p][j]));
        }
    }
    for (int j = 0; j < kLanes; ++j) tailPeak = std::max(tailPeak, peak[j]);
    return tailPeak;
}

// The clones are picked by an ifunc resolver that runs before ThreadSanitizer is set up,
// so a TSan build keeps the default one.
#if defined(__SANITIZE_THREAD__)
#define LW_PEAK_CLONES
#else
#define LW_PEAK_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif

LW_PEAK_CLONES
float oversampledPeak(const float* x, std::size_t valid, const float* taps, int phases) {
    return phases == 4 ? peakOfPhases<4>(x, valid, taps) : peakOfPhases<1>(x, valid, taps);
}

// Both K-weighting stages in direct form I over one stretch, summing squares. Only one
// multiply-add per stage sits on the recursive path, which keeps the loop short.
struct KState {
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;  // stage 1
    double u1 = 0, u2 = 0;                  // stage 2 outputs (its inputs are stage 1's)
};

template <bool Fma>
__attribute__((always_inline)) inline double madd(double a, double b, double c) {
    if constexpr (Fma) return __builtin_fma(a, b, c);
    else return a * b + c;
}

template <bool Fma>
__attribute__((always_inline)) inline void kFilterStretch(const float* x, std::size_t n, const Biquad& f0,
                                                          const Biquad& f1, KState& st, double& weighted,
                                                          double& squares, float& peak) {
    double x1 = st.x1, x2 = st.x2, y1 = st.y1, y2 = st.y2, u1 = st.u1, u2 = st.u2;
    double kw = 0, sq = 0;
    float sp = peak;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        const double t0 = madd<Fma>(f0.b2, x2, madd<Fma>(f0.b1, x1, madd<Fma>(-f0.a2, y2, f0.b0 * v)));
        const double y = madd<Fma>(-f0.a1, y1, t0);
        const double t1 = madd<Fma>(f1.b2, y2, madd<Fma>(f1.b1, y1, madd<Fma>(-f1.a2, u2, f1.b0 * y)));
        const double u = madd<Fma>(-f1.a1, u1, t1);
        x2 = x1;
        x1 = v;
        y2 = y1;
        y1 = y;
        u2 = u1;
        u1 = u;
        kw = madd<Fma>(u, u, kw);
        sq = madd<Fma>(v, v, sq);
        sp = std::max(sp, std::fabs(x[i]));
    }
    st = {x1, x2, y1, y2, u1, u2};
    weighted = kw;
    squares = sq;
    peak = sp;
}

__attribute__((target("fma"))) void kFilterFma(const float* x, std::size_t n, const Biquad& f0, const Biquad& f1,
                                               KState& st, double& weighted, double& squares, float& peak) {
    kFilterStretch<true>(x, n, f0, f1, st, weighted, squares, peak);
}

void kFilterPlain(const float* x, std::size_t n, const Biquad& f0, const Biquad& f1, KState& st, double& weighted,
                  double& squares, float& peak) {
    kFilterStretch<false>(x, n, f0, f1, st, weighted, squares, peak);
}

void kFilter(const float* x, std::size_t n, const Biquad& f0, const Biquad& f1, KState& st, double& weighted,
             double& squares, float& peak) {
    static const bool fma = __builtin_cpu_supports("fma");
    if (fma) kFilterFma(x, n, f0, f1, st, weighted, squares, peak);
    else kFilterPlain(x, n, f0, f1, st, weighted, squares, peak);
}

struct ChannelState {
    KState k;                          // K-weighting filter state
    std::vector<float> x;              // history + current block + zero padding
    float truePeak = 0;
    float samplePeak = 0;
    std::vector<double> segWeighted;  // per segment of the current block: sum of K-weighted squares
    std::vector<double> segSquares;   // per segment: sum of plain squares
};

}  // namespace

struct LoudnessMeter::Impl {
    double rate;
    int channels;
    std::size_t per100;
    std::array<Biquad, 2> filter;
    std::vector<double> weights;
    int phases = 0;               // 0: no oversampling
    std::vector<float> taps;      // phases x kTaps, in correlation order

    std::vector<ChannelState> state;
    std::vector<float> staging, working;
    std::size_t stagingFrames = 0;
    tbb::task_group pending;
    bool busy = false;

    std::vector<SubBlock> subBlocks;
    double curWeighted = 0, curSquares = 0;
    std::size_t curFrames = 0;
    double totalSquares = 0;
    std::uint64_t frames = 0;

    Impl(double sampleRate, int ch) : rate(sampleRate), channels(ch) {
        if (!(sampleRate >= kMinSampleRate) || !std::isfinite(sampleRate) || ch < 1)
            throw std::invalid_argument("LoudnessMeter: bad rate or channel count");
        per100 = static_cast<std::size_t>(std::llround(sampleRate)) + 5;
        per100 /= 10;
        if (per100 == 0) per100 = 1;
        filter = kWeighting(sampleRate);
        weights.assign(static_cast<std::size_t>(ch), 1.0);
        if (ch == 5) weights = {1.0, 1.0, 1.0, 1.41, 1.41};
        if (ch == 6) weights = {1.0, 1.0, 1.0, 0.0, 1.41, 1.41};
        if (sampleRate < 96000) {
            phases = 4;
            for (auto& row : kPhases4)
                for (int k = kTaps - 1; k >= 0; --k) taps.push_back(row[k]);
        } else if (sampleRate < 192000) {
            // Half-sample interpolator (Kaiser-windowed sinc); the other phase is the samples.
            phases = 1;
            const double beta = 7.0;
            auto bessel0 = [](double v) {
                double sum = 1, term = 1;
                for (int i = 1; i < 30; ++i) {
                    term *= (v / (2 * i)) * (v / (2 * i));
                    sum += term;
                }
                return sum;
            };
            std::vector<double> h(kTaps);
            double total = 0;
            for (int k = 0; k < kTaps; ++k) {
                double t = k - (kTaps - 1) / 2.0;
                double r = t / ((kTaps) / 2.0);
                double w = bessel0(beta * std::sqrt(std::max(0.0, 1 - r * r))) / bessel0(beta);
                h[k] = std::sin(kPi * t) / (kPi * t) * w;
                total += h[k];
            }
            for (int k = 0; k < kTaps; ++k) taps.push_back(static_cast<float>(h[k] / total));
        }
        state.resize(static_cast<std::size_t>(ch));
        for (auto& s : state) s.x.assign(kHistory + kBlockFrames + kStrip + kTaps, 0.0f);
        staging.resize(kBlockFrames * static_cast<std::size_t>(ch));
        working.resize(staging.size());
    }

    ~Impl() { pending.wait(); }

    void processChannel(int c, const float* block, std::size_t n, const std::vector<std::size_t>& segEnds) {
        ChannelState& s = state[static_cast<std::size_t>(c)];
        float* x = s.x.data() + kHistory;
        const std::size_t stride = static_cast<std::size_t>(channels);
        for (std::size_t i = 0; i < n; ++i) x[i] = block[i * stride + static_cast<std::size_t>(c)];
        std::fill(x + n, x + n + kStrip + kTaps, 0.0f);

        s.segWeighted.assign(segEnds.size(), 0.0);
        s.segSquares.assign(segEnds.size(), 0.0);
        std::size_t begin = 0;
        for (std::size_t seg = 0; seg < segEnds.size(); ++seg) {
            kFilter(x + begin, segEnds[seg] - begin, filter[0], filter[1], s.k, s.segWeighted[seg], s.segSquares[seg],
                    s.samplePeak);
            begin = segEnds[seg];
        }
        if (phases > 0)
            s.truePeak = std::max(s.truePeak, oversampledPeak(s.x.data(), n, taps.data(), phases));
        std::memmove(s.x.data(), s.x.data() + n, kHistory * sizeof(float));
    }

    void processBlock(const float* block, std::size_t n) {
        std::vector<std::size_t> segEnds;
        std::size_t fill = curFrames, pos = 0;
        while (pos < n) {
            std::size_t take = std::min(per100 - fill, n - pos);
            pos += take;
            segEnds.push_back(pos);
            fill = 0;
        }
        if (channels == 1) {
            processChannel(0, block, n, segEnds);
        } else {
            // Isolated: while it waits for a channel, this thread must not pick up work that
            // may wait for this meter (a meter fed from inside a parallel pipeline).
            tbb::this_task_arena::isolate(
                [&] { tbb::parallel_for(0, channels, [&](int c) { processChannel(c, block, n, segEnds); }); });
        }
        std::size_t begin = 0;
        for (std::size_t seg = 0; seg < segEnds.size(); ++seg) {
            for (int c = 0; c < channels; ++c) {
                const auto& s = state[static_cast<std::size_t>(c)];
                curWeighted += weights[static_cast<std::size_t>(c)] * s.segWeighted[seg];
                curSquares += s.segSquares[seg];
                totalSquares += s.segSquares[seg];
            }
            curFrames += segEnds[seg] - begin;
            begin = segEnds[seg];
            if (curFrames == per100) {
                subBlocks.push_back({curWeighted / static_cast<double>(per100),
                                     curSquares / static_cast<double>(per100 * static_cast<std::size_t>(channels))});
                curWeighted = curSquares = 0;
                curFrames = 0;
            }
        }
        frames += n;
    }

    void wait() {
        if (busy) {
            pending.wait();
            busy = false;
        }
    }

    void add(const float* data, std::size_t count) {
        const std::size_t ch = static_cast<std::size_t>(channels);
        while (count > 0) {
            std::size_t take = std::min(kBlockFrames - stagingFrames, count);
            std::memcpy(staging.data() + stagingFrames * ch, data, take * ch * sizeof(float));
            stagingFrames += take;
            data += take * ch;
            count -= take;
            if (stagingFrames == kBlockFrames) {
                wait();
                std::swap(staging, working);
                stagingFrames = 0;
                busy = true;
                pending.run([this] { processBlock(working.data(), kBlockFrames); });
            }
        }
    }

    void flush() {
        wait();
        if (stagingFrames > 0) {
            processBlock(staging.data(), stagingFrames);
            stagingFrames = 0;
        }
    }
};

LoudnessMeter::LoudnessMeter(double sampleRate, int channels) : impl_(std::make_unique<Impl>(sampleRate, channels)) {}
LoudnessMeter::~LoudnessMeter() = default;

void LoudnessMeter::addFrames(const float* interleaved, std::size_t frames) {
    if (frames > 0) impl_->add(interleaved, frames);
}

void LoudnessMeter::warmUp(const float* interleaved, std::size_t frames) {
    Impl& m = *impl_;
    m.flush();
    if (m.frames > 0) throw std::logic_error("LoudnessMeter::warmUp: frames were already counted");
    if (frames == 0) return;
    const std::size_t ch = static_cast<std::size_t>(m.channels);
    std::vector<float> x(kHistory + frames);
    for (std::size_t c = 0; c < ch; ++c) {
        ChannelState& s = m.state[c];
        std::copy(s.x.begin(), s.x.begin() + kHistory, x.begin());
        for (std::size_t i = 0; i < frames; ++i) x[kHistory + i] = interleaved[i * ch + c];
        double weighted = 0, squares = 0;
        float peak = 0;
        kFilter(x.data() + kHistory, frames, m.filter[0], m.filter[1], s.k, weighted, squares, peak);
        std::copy(x.end() - kHistory, x.end(), s.x.begin());
    }
}

void LoudnessMeter::append(LoudnessMeter& next) {
    Impl& a = *impl_;
    Impl& b = *next.impl_;
    a.flush();
    b.flush();
    if (a.curFrames != 0 || a.channels != b.channels || a.rate != b.rate)
        throw std::logic_error("LoudnessMeter::append: not whole sub-blocks, or another format");
    a.subBlocks.insert(a.subBlocks.end(), b.subBlocks.begin(), b.subBlocks.end());
    a.totalSquares += b.totalSquares;
    a.frames += b.frames;
    a.curWeighted = b.curWeighted;
    a.curSquares = b.curSquares;
    a.curFrames = b.curFrames;
    for (std::size_t c = 0; c < a.state.size(); ++c) {
        ChannelState& s = a.state[c];
        const ChannelState& t = b.state[c];
        s.truePeak = std::max(s.truePeak, t.truePeak);
        s.samplePeak = std::max(s.samplePeak, t.samplePeak);
        s.k = t.k;
        std::copy(t.x.begin(), t.x.begin() + kHistory, s.x.begin());
    }
}

const std::vector<LoudnessMeter::SubBlock>& LoudnessMeter::subBlocks() {
    impl_->flush();
    return impl_->subBlocks;
}

std::size_t LoudnessMeter::framesPerSubBlock() const { return impl_->per100; }
double LoudnessMeter::sampleRate() const { return impl_->rate; }
int LoudnessMeter::channels() const { return impl_->channels; }

double LoudnessMeter::loudnessOfPower(double power) { return -0.691 + 10.0 * std::log10(power); }

namespace {
double toDB(double linear) { return linear > 0 ? 20.0 * std::log10(linear) : LoudnessMeter::kFloorDB; }
double powerToDB(double power) { return power > 0 ? 10.0 * std::log10(power) : LoudnessMeter::kFloorDB; }
double powerOfLoudness(double lufs) { return std::pow(10.0, (lufs + 0.691) / 10.0); }

// Gated power mean of 400 ms blocks (absolute -70 LUFS, relative -10 LU), or none.
std::optional<double> integrated(const std::vector<double>& blocks) {
    const double absGate = powerOfLoudness(-70.0);
    double sum = 0;
    std::size_t count = 0;
    for (double p : blocks)
        if (p >= absGate) sum += p, ++count;
    if (count == 0) return std::nullopt;
    const double relGate = sum / static_cast<double>(count) * 0.1;
    sum = 0;
    count = 0;
    for (double p : blocks)
        if (p >= absGate && p >= relGate) sum += p, ++count;
    if (count == 0) return std::nullopt;
    return LoudnessMeter::loudnessOfPower(sum / static_cast<double>(count));
}

// Tech 3342: short-term values above -70 LUFS, then above the power mean -20 LU; 10th to 95th percentile.
double loudnessRange(std::vector<double> shortTerm) {
    const double absGate = powerOfLoudness(-70.0);
    std::erase_if(shortTerm, [&](double p) { return p < absGate; });
    if (shortTerm.empty()) return 0;
    double sum = 0;
    for (double p : shortTerm) sum += p;
    const double relGate = sum / static_cast<double>(shortTerm.size()) * 0.01;
    std::erase_if(shortTerm, [&](double p) { return p < relGate; });
    if (shortTerm.empty()) return 0;
    std::sort(shortTerm.begin(), shortTerm.end());
    const std::size_t n = shortTerm.size();
    const double high = shortTerm[static_cast<std::size_t>(static_cast<double>(n - 1) * 0.95 + 0.5)];
    const double low = shortTerm[static_cast<std::size_t>(static_cast<double>(n - 1) * 0.10 + 0.5)];
    return LoudnessMeter::loudnessOfPower(high) - LoudnessMeter::loudnessOfPower(low);
}
}  // namespace

LoudnessMeter::Result LoudnessMeter::result() {
    impl_->flush();
    const auto& sb = impl_->subBlocks;
    Result r;
    r.frames = impl_->frames;

    // Windows of k sub-blocks ending at each sub-block, as power means.
    auto windows = [&](std::size_t k, auto value) {
        std::vector<double> out;
        if (sb.size() < k) return out;
        out.reserve(sb.size() - k + 1);
        double run = 0;
        for (std::size_t i = 0; i < sb.size(); ++i) {
            run += value(sb[i]);
            if (i >= k) run -= value(sb[i - k]);
            if (i + 1 >= k) out.push_back(std::max(0.0, run) / static_cast<double>(k));
        }
        return out;
    };
    // Recomputing each window from its sub-blocks keeps the running sum from drifting.
    auto exactWindows = [&](std::size_t k, auto value) {
        std::vector<double> out;
        if (sb.size() < k) return out;
        out.reserve(sb.size() - k + 1);
        for (std::size_t i = 0; i + k <= sb.size(); ++i) {
            double s = 0;
            for (std::size_t j = i; j < i + k; ++j) s += value(sb[j]);
            out.push_back(s / static_cast<double>(k));
        }
        return out;
    };
    auto weighted = [](const SubBlock& b) { return b.weightedPower; };
    r.integratedLUFS = integrated(exactWindows(4, weighted));
    r.loudnessRangeLU = loudnessRange(windows(30, weighted));

    r.samplePeak = 0;
    float tp = 0;
    std::vector<float> tail(kHistory + kStrip + kTaps, 0.0f);
    for (const auto& s : impl_->state) {
        r.samplePeak = std::max(r.samplePeak, static_cast<double>(s.samplePeak));
        tp = std::max(tp, s.truePeak);
        // The stretch after the newest samples, as if the stream ended in silence here.
        if (impl_->phases > 0 && impl_->frames > 0) {
            std::copy(s.x.begin(), s.x.begin() + kHistory, tail.begin());
            tp = std::max(tp, oversampledPeak(tail.data(), kHistory, impl_->taps.data(), impl_->phases));
        }
    }
    r.truePeak = std::max(static_cast<double>(tp), r.samplePeak);
    r.samplePeakDB = toDB(r.samplePeak);
    r.truePeakDBTP = toDB(r.truePeak);
    const double samples = static_cast<double>(impl_->frames) * impl_->channels;
    r.rmsDB = samples > 0 ? powerToDB(impl_->totalSquares / samples) : kFloorDB;

    // Noise floor: the quietest 500 ms that touches no digital-silence gap.
    double quietest = std::numeric_limits<double>::infinity();
    const std::size_t span = 5;
    for (std::size_t i = 0; i + span <= sb.size(); ++i) {
        double s = 0;
        bool gap = false;
        for (std::size_t j = i; j < i + span && !gap; ++j) {
            gap = sb[j].meanSquare < kDigitalSilence;
            s += sb[j].meanSquare;
        }
        if (!gap) quietest = std::min(quietest, s / span);
    }
    if (!std::isfinite(quietest)) {
        for (const auto& b : sb)
            if (b.meanSquare >= kDigitalSilence) quietest = std::min(quietest, b.meanSquare);
    }
    if (!std::isfinite(quietest) && samples > 0 && impl_->totalSquares / samples >= kDigitalSilence)
        quietest = impl_->totalSquares / samples;
    r.noiseFloorDB = std::isfinite(quietest) ? powerToDB(quietest) : kFloorDB;
    return r;
}

}  // namespace lw
