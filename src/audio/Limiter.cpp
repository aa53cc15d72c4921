#include "audio/Limiter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace lw {

namespace {

// The clones are picked by an ifunc resolver that runs before ThreadSanitizer is set up, so a
// TSan build keeps the default one.
#if defined(__SANITIZE_THREAD__)
#define LW_LIMITER_CLONES
#else
#define LW_LIMITER_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// Raises peak[i] to |y[i]|, y being x run through the 16 taps of one interpolating phase.
// Fixed blocks of 8 frames with the taps outside: the compiler turns each block into vector
// multiply-adds without reassociating any sum, so every clone gives the same values.
LW_LIMITER_CLONES
void raisePeaks(const float* x, std::size_t frames, const float* h, float* peak) {
    constexpr std::size_t taps = 16;
    std::size_t i = 0;
    for (; i + 8 <= frames; i += 8) {
        float a[8] = {};
        for (std::size_t k = 0; k < taps; ++k) {
            const float hk = h[k];
            const float* __restrict xk = x + i + k;
            for (std::size_t j = 0; j < 8; ++j) a[j] += hk * xk[j];
        }
        for (std::size_t j = 0; j < 8; ++j) {
            const float v = std::fabs(a[j]);
            peak[i + j] = peak[i + j] < v ? v : peak[i + j];
        }
    }
    for (; i < frames; ++i) {
        float a = 0;
        for (std::size_t k = 0; k < taps; ++k) a += h[k] * x[i + k];
        peak[i] = std::max(peak[i], std::abs(a));
    }
}

}  // namespace

TruePeakLimiter::TruePeakLimiter(double sampleRate, int channels, double ceilingDBTP, double lookaheadSeconds,
                                 double releaseSeconds, double marginDB)
    : channels_(std::max(1, channels)) {
    factor_ = sampleRate < 96000.0 ? 4 : (sampleRate < 192000.0 ? 2 : 1);
    ceiling_ = static_cast<float>(std::pow(10.0, (ceilingDBTP - marginDB) / 20.0));
    lookahead_ = std::max<std::size_t>(2, static_cast<std::size_t>(std::lround(lookaheadSeconds * sampleRate)));
    // A slot's peak is known once `taps - before` later samples have arrived; the gain for a
    // slot is final lookahead_-1 slots after that.
    latency_ = (taps - before - 1) + lookahead_ - 1;
    release_ = std::exp(-1.0 / (std::max(releaseSeconds, 1e-4) * sampleRate));

    // Interpolators for the points p/factor between a sample and the next, Kaiser-windowed sinc.
    const double beta = 6.0;
    auto bessel0 = [](double x) {
        double sum = 1, term = 1;
        for (int k = 1; k < 30; ++k) {
            term *= (x / (2 * k)) * (x / (2 * k));
            sum += term;
        }
        return sum;
    };
    const double half = static_cast<double>(taps) / 2.0;
    for (int p = 1; p < factor_; ++p) {
        const double frac = static_cast<double>(p) / factor_;
        std::vector<double> h(taps);
        double sum = 0;
        for (std::size_t k = 0; k < taps; ++k) {
            const double d = static_cast<double>(k) - static_cast<double>(before) - frac;  // tap time minus point time
            const double sinc = d == 0 ? 1.0 : std::sin(std::numbers::pi * d) / (std::numbers::pi * d);
            const double r = d / half;
            const double w = std::abs(r) >= 1 ? 0.0 : bessel0(beta * std::sqrt(1 - r * r)) / bessel0(beta);
            h[k] = sinc * w;
            sum += h[k];
        }
        for (std::size_t k = 0; k < taps; ++k) phases_.push_back(static_cast<float>(h[k] / sum));
    }
    ext_.assign(static_cast<std::size_t>(channels_), std::vector<float>(taps - 1, 0.0f));
    delay_.assign(latency_ * static_cast<std::size_t>(channels_), 0.0f);
    minIndex_.assign(lookahead_ + 1, 0);
    minValue_.assign(lookahead_ + 1, 1.0f);
    boxRing_.assign(lookahead_, 1.0);
    boxSum_ = static_cast<double>(lookahead_);
}

double TruePeakLimiter::deepestReductionDB() const {
    return deepest_ >= 1.0f ? 0.0 : 20.0 * std::log10(static_cast<double>(deepest_));
}

void TruePeakLimiter::process(const float* in, std::size_t frames, std::vector<float>& out) {
    if (frames == 0) return;
    const std::size_t ch = static_cast<std::size_t>(channels_);
    // Peak of each slot: the sample `before` taps into the window and the interpolated
    // points between it and the next sample, over all channels.
    peak_.assign(frames, 0.0f);
    for (std::size_t c = 0; c < ch; ++c) {
        auto& e = ext_[c];
        e.resize(taps - 1 + frames);
        for (std::size_t i = 0; i < frames; ++i) e[taps - 1 + i] = in[i * ch + c];
        const float* x = e.data();
        float* pk = peak_.data();
        for (std::size_t i = 0; i < frames; ++i) pk[i] = std::max(pk[i], std::abs(x[i + before]));
        for (int p = 0; p + 1 < factor_; ++p)
            raisePeaks(x, frames, phases_.data() + static_cast<std::size_t>(p) * taps, pk);
        std::copy(e.end() - static_cast<std::ptrdiff_t>(taps - 1), e.end(), e.begin());
        e.resize(taps - 1);
    }

    const std::size_t cap = lookahead_ + 1;
    // Ring positions: head < cap and count <= cap, so one subtraction wraps (no division).
    const auto wrap = [cap](std::size_t i) { return i >= cap ? i - cap : i; };
    const std::size_t ready = counter_ + frames > latency_ ? counter_ + frames - std::max(counter_, latency_) : 0;
    std::size_t w = out.size();
    out.resize(w + ready * ch);
    for (std::size_t i = 0; i < frames; ++i) {
        const std::size_t n = counter_++;
        const float required = peak_[i] > ceiling_ ? ceiling_ / peak_[i] : 1.0f;
        // Sliding minimum over the last lookahead_ slots.
        while (minCount_ > 0 && minValue_[wrap(minHead_ + minCount_ - 1)] >= required) --minCount_;
        const std::size_t slot = wrap(minHead_ + minCount_);
        minIndex_[slot] = n;
        minValue_[slot] = required;
        ++minCount_;
        while (minIndex_[minHead_] + lookahead_ <= n) {
            minHead_ = wrap(minHead_ + 1);
            --minCount_;
        }
        const double held = minValue_[minHead_];
        released_ = std::min(held, 1.0 - (1.0 - released_) * release_);
        boxSum_ += released_ - boxRing_[boxPos_];
        boxRing_[boxPos_] = released_;
        if (++boxPos_ == lookahead_) {
            boxPos_ = 0;
            boxSum_ = 0;  // re-add exactly once per lap so rounding cannot drift
            for (double v : boxRing_) boxSum_ += v;
        }
        const float gain = static_cast<float>(std::min(1.0, boxSum_ / static_cast<double>(lookahead_)));

        float* d = delay_.data() + delayPos_ * ch;
        if (n >= latency_) {
            deepest_ = std::min(deepest_, gain);
            for (std::size_t c = 0; c < ch; ++c) out[w++] = d[c] * gain;
        }
        for (std::size_t c = 0; c < ch; ++c) d[c] = in[i * ch + c];
        if (++delayPos_ == latency_) delayPos_ = 0;
    }
}

void TruePeakLimiter::flush(std::vector<float>& out) {
    std::vector<float> zeros(latency_ * static_cast<std::size_t>(channels_), 0.0f);
    process(zeros.data(), latency_, out);
}

}  // namespace lw
