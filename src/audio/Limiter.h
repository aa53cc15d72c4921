#pragma once
// Look-ahead true-peak limiter.
//
// Peaks are detected on the signal oversampled 4x (2x at 96 kHz and above, none at 192 kHz)
// with a windowed-sinc interpolator, so the limited output stays under the ceiling between
// samples too. The gain is the running minimum of the required gain over the look-ahead
// window, released exponentially and then averaged over the same window: it reaches every
// peak's required gain exactly at the peak and moves smoothly around it. All channels share
// one gain. The output lags the input by latency() frames; flush() drains the tail, so the
// output has exactly as many frames as the input.
#include <cstddef>
#include <vector>

namespace lw {

class TruePeakLimiter {
public:
    // `ceilingDBTP` is the hard ceiling; the limiter aims a little below it (`marginDB`) so
    // that other true-peak meters and the 24-bit rounding still read at or under the ceiling.
    TruePeakLimiter(double sampleRate, int channels, double ceilingDBTP, double lookaheadSeconds = 0.005,
                    double releaseSeconds = 0.05, double marginDB = 0.15);

    // Appends the limited frames that are ready to `out` (interleaved).
    void process(const float* in, std::size_t frames, std::vector<float>& out);
    // Appends the remaining latency() frames.
    void flush(std::vector<float>& out);

    std::size_t latency() const { return latency_; }
    // Deepest gain reduction so far, in dB (0 or negative); forgetDeepestReduction() starts
    // over from the next output frame.
    double deepestReductionDB() const;
    void forgetDeepestReduction() { deepest_ = 1.0f; }
    int oversampling() const { return factor_; }

private:
    static constexpr std::size_t taps = 16;
    static constexpr std::size_t before = 7;  // taps before the slot's sample; the slot trails input by taps-before

    int channels_;
    int factor_;
    float ceiling_;
    std::size_t lookahead_;
    std::size_t latency_;
    double release_;
    std::vector<float> phases_;            // (factor_-1) x taps interpolation filters
    std::vector<std::vector<float>> ext_;  // per channel: taps-1 previous samples, then the chunk
    std::vector<float> peak_;
    std::vector<float> delay_;
    std::size_t delayPos_ = 0;
    std::vector<std::size_t> minIndex_;
    std::vector<float> minValue_;
    std::size_t minHead_ = 0, minCount_ = 0;
    std::vector<double> boxRing_;
    std::size_t boxPos_ = 0;
    double boxSum_ = 0;
    double released_ = 1.0;
    std::size_t counter_ = 0;
    float deepest_ = 1.0f;
};

}  // namespace lw
