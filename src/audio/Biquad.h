#pragma once
// Second-order IIR sections (RBJ cookbook designs) for interleaved multi-channel audio.
#include <array>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace lw {

struct BiquadCoefficients {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;  // a0 normalised to 1

    static BiquadCoefficients highPass(double frequency, double q, double sampleRate) {
        const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
        const double alpha = std::sin(w) / (2.0 * q);
        const double c = std::cos(w);
        const double a0 = 1.0 + alpha;
        return {(1.0 + c) / 2.0 / a0, -(1.0 + c) / a0, (1.0 + c) / 2.0 / a0, -2.0 * c / a0, (1.0 - alpha) / a0};
    }
    static BiquadCoefficients lowPass(double frequency, double q, double sampleRate) {
        const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
        const double alpha = std::sin(w) / (2.0 * q);
        const double c = std::cos(w);
        const double a0 = 1.0 + alpha;
        return {(1.0 - c) / 2.0 / a0, (1.0 - c) / a0, (1.0 - c) / 2.0 / a0, -2.0 * c / a0, (1.0 - alpha) / a0};
    }
    static BiquadCoefficients notch(double frequency, double q, double sampleRate) {
        const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
        const double alpha = std::sin(w) / (2.0 * q);
        const double c = std::cos(w);
        const double a0 = 1.0 + alpha;
        return {1.0 / a0, -2.0 * c / a0, 1.0 / a0, -2.0 * c / a0, (1.0 - alpha) / a0};
    }

    // Magnitude response at `frequency`, for tests and planning.
    double magnitude(double frequency, double sampleRate) const {
        const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
        const double cr = std::cos(w), ci = -std::sin(w), c2r = std::cos(2 * w), c2i = -std::sin(2 * w);
        const double nr = b0 + b1 * cr + b2 * c2r, ni = b1 * ci + b2 * c2i;
        const double dr = 1 + a1 * cr + a2 * c2r, di = a1 * ci + a2 * c2i;
        return std::sqrt((nr * nr + ni * ni) / (dr * dr + di * di));
    }
};

// A cascade of biquads run over interleaved frames, one state per section and channel
// (transposed direct form II, double precision so narrow low-frequency notches stay exact).
class BiquadCascade {
public:
    BiquadCascade() = default;
    BiquadCascade(std::vector<BiquadCoefficients> sections, int channels)
        : sections_(std::move(sections)), channels_(channels),
          state_(sections_.size() * static_cast<std::size_t>(channels), {0.0, 0.0}) {}

    bool empty() const { return sections_.empty(); }
    const std::vector<BiquadCoefficients>& sections() const { return sections_; }

    void process(float* samples, std::size_t frames) {
        if (sections_.empty()) return;
        if (channels_ == 1 || channels_ == 2) {
            // Two sections and every channel in one loop: independent recursions keep the
            // pipeline full. Each section still hands the next one a float, as below.
            std::size_t s = 0;
            for (; s + 2 <= sections_.size(); s += 2)
                channels_ == 1 ? run<1, 2>(samples, frames, s) : run<2, 2>(samples, frames, s);
            if (s < sections_.size()) channels_ == 1 ? run<1, 1>(samples, frames, s) : run<2, 1>(samples, frames, s);
            return;
        }
        for (int c = 0; c < channels_; ++c) {
            for (std::size_t s = 0; s < sections_.size(); ++s) {
                const BiquadCoefficients k = sections_[s];
                auto& st = state_[s * static_cast<std::size_t>(channels_) + static_cast<std::size_t>(c)];
                double z1 = st[0], z2 = st[1];
                float* p = samples + c;
                for (std::size_t i = 0; i < frames; ++i, p += channels_) {
                    const double x = *p;
                    const double y = k.b0 * x + z1;
                    z1 = k.b1 * x - k.a1 * y + z2;
                    z2 = k.b2 * x - k.a2 * y;
                    *p = static_cast<float>(y);
                }
                st = {flushDenormal(z1), flushDenormal(z2)};
            }
        }
    }

private:
    // Flush denormals left by long silences.
    static double flushDenormal(double v) { return std::abs(v) < 1e-30 ? 0.0 : v; }

    // Sections [first, first + S) over C interleaved channels.
    template <int C, int S>
    void run(float* samples, std::size_t frames, std::size_t first) {
        BiquadCoefficients k[S];
        double z1[S][C], z2[S][C];
        for (int s = 0; s < S; ++s) {
            k[s] = sections_[first + static_cast<std::size_t>(s)];
            for (int c = 0; c < C; ++c) {
                const auto& st = state_[(first + static_cast<std::size_t>(s)) * C + static_cast<std::size_t>(c)];
                z1[s][c] = st[0];
                z2[s][c] = st[1];
            }
        }
        float* p = samples;
        for (std::size_t i = 0; i < frames; ++i, p += C) {
            for (int s = 0; s < S; ++s) {
                for (int c = 0; c < C; ++c) {
                    const double x = p[c];
                    const double y = k[s].b0 * x + z1[s][c];
                    z1[s][c] = k[s].b1 * x - k[s].a1 * y + z2[s][c];
                    z2[s][c] = k[s].b2 * x - k[s].a2 * y;
                    p[c] = static_cast<float>(y);
                }
            }
        }
        for (int s = 0; s < S; ++s)
            for (int c = 0; c < C; ++c)
                state_[(first + static_cast<std::size_t>(s)) * C + static_cast<std::size_t>(c)] = {
                    flushDenormal(z1[s][c]), flushDenormal(z2[s][c])};
    }

    std::vector<BiquadCoefficients> sections_;
    int channels_ = 1;
    std::vector<std::array<double, 2>> state_;
};

}  // namespace lw
