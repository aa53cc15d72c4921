#include "audio/HumDetector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <stdexcept>

namespace lw {

namespace {
constexpr double mains[2] = {50.0, 60.0};
constexpr double neighbourOffsets[8] = {-10.0, -8.0, -6.0, -4.0, 4.0, 6.0, 8.0, 10.0};
constexpr double searchHz = 0.25;       // mains frequency tolerance, scaled by the harmonic number
constexpr double searchStepHz = 0.05;
constexpr double segmentSeconds = 10.0;
constexpr double fadeSeconds = 0.03;
constexpr double referenceBandHz = 1.5;  // the score reads as a prominence in this bandwidth
constexpr double quietSpreadDB = 6.0;
constexpr double silentDB = -110.0;
constexpr double kSpeechSPL = 70.0;     // playback level assumed for the speech
constexpr double kPauseShareDB = -4.0;  // hum power against all that the pauses hold

using Complex = std::complex<double>;

// Sum of w[n] x[n] e^{-i 2 pi f n / rate} over [from, to), skipping runs of zero weight; the
// phase counts from `origin`.
Complex weightedSum(const float* x, const float* w, std::size_t origin, std::size_t from, std::size_t to,
                    double frequency, double rate) {
    const double step = -2.0 * std::numbers::pi * frequency / rate;
    const Complex rotate(std::cos(step), std::sin(step));
    Complex sum = 0;
    std::size_t n = from;
    while (n < to) {
        while (n < to && w[n] == 0.0f) ++n;
        if (n == to) break;
        const double start = step * static_cast<double>(n - origin);
        Complex phasor(std::cos(start), std::sin(start));
        for (; n < to && w[n] != 0.0f; ++n) {
            sum += phasor * static_cast<double>(w[n] * (x ? x[n] : 1.0f));
            phasor *= rotate;
        }
    }
    return sum;
}

double powerDB(double p) { return 10.0 * std::log10(std::max(p, 1e-30)); }

// Threshold of hearing in dB SPL (ISO 226:2003), interpolated on a log-frequency axis.
double hearingThresholdDB(double frequency) {
    static constexpr double table[][2] = {{20, 78.5},  {25, 68.7},  {31.5, 59.5}, {40, 51.1},  {50, 44.0},
                                          {63, 37.5},  {80, 31.5},  {100, 26.5},  {125, 22.1}, {160, 17.9},
                                          {200, 14.4}, {250, 11.4}, {315, 8.6},   {400, 6.2}};
    if (frequency <= table[0][0]) return table[0][1];
    for (std::size_t i = 1; i < std::size(table); ++i)
        if (frequency <= table[i][0]) {
            const double t = std::log(frequency / table[i - 1][0]) / std::log(table[i][0] / table[i - 1][0]);
            return table[i - 1][1] + t * (table[i][1] - table[i - 1][1]);
        }
    return table[std::size(table) - 1][1];
}
}  // namespace

HumDetector::HumDetector(double sampleRate, int channels)
    : sampleRate_(sampleRate), channels_(std::max(1, channels)) {
    decimation_ = std::max(1, static_cast<int>(std::floor(sampleRate_ / 1000.0)));
    decimatedRate_ = sampleRate_ / decimation_;
    subBlockFrames_ = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(sampleRate_ * 0.1)));
    antiAlias_ = BiquadCascade({BiquadCoefficients::lowPass(250.0, 0.5412, sampleRate_),
                                BiquadCoefficients::lowPass(250.0, 1.3066, sampleRate_)},
                               1);
}

void HumDetector::add(const float* samples, std::size_t frames) {
    if (decimatedRate_ < 400) return;  // too low a rate to hear the third harmonic of 60 Hz
    mixDown(samples, frames);
    for (std::size_t i = 0; i < frames; ++i) {
        subEnergy_ += static_cast<double>(mono_[i]) * mono_[i];
        if (++inSubBlock_ == subBlockFrames_) {
            subLevelsDB_.push_back(static_cast<float>(10.0 * std::log10(std::max(subEnergy_ / subBlockFrames_, 1e-20))));
            subEnergy_ = 0;
            inSubBlock_ = 0;
        }
    }
    antiAlias_.process(mono_.data(), frames);
    for (std::size_t i = 0; i < frames; ++i) {
        if (phase_ == 0) signal_.push_back(mono_[i]);
        if (++phase_ == decimation_) phase_ = 0;
    }
}

void HumDetector::warmUp(const float* samples, std::size_t frames, std::size_t position) {
    phase_ = static_cast<int>(position % static_cast<std::size_t>(decimation_));
    if (decimatedRate_ < 400) return;
    mixDown(samples, frames);
    antiAlias_.process(mono_.data(), frames);
}

void HumDetector::mixDown(const float* samples, std::size_t frames) {
    mono_.resize(frames);
    const float scale = 1.0f / channels_;
    for (std::size_t i = 0; i < frames; ++i) {
        float s = 0;
        for (int c = 0; c < channels_; ++c) s += samples[i * channels_ + c];
        mono_[i] = s * scale;
    }
}

void HumDetector::append(const HumDetector& next) {
    if (inSubBlock_ != 0) throw std::logic_error("HumDetector::append: not whole blocks");
    signal_.insert(signal_.end(), next.signal_.begin(), next.signal_.end());
    subLevelsDB_.insert(subLevelsDB_.end(), next.subLevelsDB_.begin(), next.subLevelsDB_.end());
    subEnergy_ = next.subEnergy_;
    inSubBlock_ = next.inSubBlock_;
    phase_ = next.phase_;
    antiAlias_ = next.antiAlias_;
}

HumDetector::Score HumDetector::score(double base, const std::vector<float>& weights,
                                      const std::vector<std::pair<std::size_t, std::size_t>>& segments,
                                      double speechDB, double pauseDB) const {
    const float* x = signal_.data();
    const float* w = weights.data();
    const double rate = decimatedRate_;

    // Gate sums per segment: its weight, its squared weight, and its spectrum at the neighbour
    // offsets (how a line leaks through the gate).
    const std::size_t nSeg = segments.size();
    std::vector<double> weightSum(nSeg), squareSum(nSeg);
    std::vector<std::array<Complex, 8>> gate(nSeg);
    for (std::size_t s = 0; s < nSeg; ++s) {
        const auto [from, to] = segments[s];
        for (std::size_t n = from; n < to; ++n) {
            weightSum[s] += w[n];
            squareSum[s] += static_cast<double>(w[n]) * w[n];
        }
        for (std::size_t j = 0; j < 8; ++j) gate[s][j] = weightedSum(nullptr, w, from, from, to, neighbourOffsets[j], rate);
    }
    double weights2 = 0, squares = 0;
    for (std::size_t s = 0; s < nSeg; ++s) {
        weights2 += weightSum[s] * weightSum[s];
        squares += squareSum[s];
    }
    if (weights2 <= 0) return {};

    // The line: the offset (common to the harmonics, scaled by k) with the most power.
    const int steps = static_cast<int>(std::lround(searchHz / searchStepHz));
    double bestPower = -1;
    double bestOffset = 0;
    std::vector<Complex> best(static_cast<std::size_t>(harmonics) * nSeg), trial(best.size());
    for (int i = -steps; i <= steps; ++i) {
        const double offset = i * searchStepHz;
        double total = 0;
        for (int k = 1; k <= harmonics; ++k)
            for (std::size_t s = 0; s < nSeg; ++s) {
                const Complex v =
                    weightedSum(x, w, segments[s].first, segments[s].first, segments[s].second, k * (base + offset), rate);
                trial[static_cast<std::size_t>(k - 1) * nSeg + s] = v;
                total += std::norm(v);
            }
        if (total > bestPower) {
            bestPower = total;
            bestOffset = offset;
            best.swap(trial);
        }
    }

    // Per harmonic: the line's power against the median of its neighbours, from which the
    // line's own leakage through the gate is taken out.
    Score result;
    double humPower = 0;  // of the prominent harmonics
    const double bandScale = powerDB(rate * squares / (referenceBandHz * weights2));
    for (int k = 1; k <= harmonics; ++k) {
        const double line = k * (base + bestOffset);
        double linePower = 0;
        std::vector<double> neighbour(8, 0.0);
        for (std::size_t s = 0; s < nSeg; ++s) {
            if (weightSum[s] <= 0) continue;
            const Complex v = best[static_cast<std::size_t>(k - 1) * nSeg + s];
            linePower += std::norm(v);
            const Complex amplitude = v / weightSum[s];
            for (std::size_t j = 0; j < 8; ++j) {
                const Complex u = weightedSum(x, w, segments[s].first, segments[s].first, segments[s].second,
                                              line + neighbourOffsets[j], rate);
                neighbour[j] += std::norm(u - amplitude * gate[s][j]);
            }
        }
        std::nth_element(neighbour.begin(), neighbour.begin() + 4, neighbour.end());
        const double noise = 0.5 * (neighbour[4] + *std::max_element(neighbour.begin(), neighbour.begin() + 4));
        const double prominence = powerDB(linePower) - powerDB(noise) + bandScale;
        // Loudness of the line when the speech plays at 70 dB SPL, over the threshold of hearing.
        const double levelDB = powerDB(2.0 * linePower / weights2);  // A^2 / 2 of a sine of amplitude A
        const double audibility = kSpeechSPL + levelDB - speechDB - hearingThresholdDB(line);
        result.prominenceDB = std::max(result.prominenceDB, prominence);
        if (prominence >= thresholdDB) {
            humPower += 2.0 * linePower / weights2;
            if (audibility >= 0) result.audible = true;
        }
    }
    // Hum that makes up most of what the pauses hold is heard whatever the playback level.
    if (humPower > 0 && powerDB(humPower) >= pauseDB + kPauseShareDB) result.audible = true;
    return result;
}

HumDetector::Verdict HumDetector::finish() const {
    Verdict verdict;
    std::vector<float> audible;
    for (float l : subLevelsDB_)
        if (l > silentDB) audible.push_back(l);
    if (audible.empty()) return verdict;
    const std::size_t k = audible.size() / 10;
    std::nth_element(audible.begin(), audible.begin() + static_cast<std::ptrdiff_t>(k), audible.end());
    const double quietLimit = audible[k] + quietSpreadDB;
    const std::size_t loud = audible.size() * 9 / 10;
    std::nth_element(audible.begin(), audible.begin() + static_cast<std::ptrdiff_t>(loud), audible.end());
    const double speechDB = audible[loud];

    // The pauses: quiet blocks, faded in and out.
    const std::size_t n = signal_.size();
    std::vector<float> weights(n, 0.0f);
    auto blockOf = [&](std::size_t i) {
        return i * static_cast<std::size_t>(decimation_) / subBlockFrames_;
    };
    auto quiet = [&](std::size_t b) {
        return b < subLevelsDB_.size() && subLevelsDB_[b] <= quietLimit && subLevelsDB_[b] > silentDB;
    };
    std::vector<std::pair<std::size_t, std::size_t>> segments;
    const std::size_t segmentLength = static_cast<std::size_t>(segmentSeconds * decimatedRate_);
    const std::size_t nSeg = std::max<std::size_t>(1, (n + segmentLength / 2) / segmentLength);
    for (std::size_t s = 0; s < nSeg; ++s) segments.emplace_back(s * n / nSeg, (s + 1) * n / nSeg);
    const double fade = fadeSeconds * decimatedRate_;
    for (const auto& [from, to] : segments) {
        std::size_t i = from;
        while (i < to) {
            if (!quiet(blockOf(i))) {
                ++i;
                continue;
            }
            std::size_t end = i;
            while (end < to && quiet(blockOf(end))) ++end;
            for (std::size_t j = i; j < end; ++j) {
                const double edge = std::min(static_cast<double>(j - i) + 0.5, static_cast<double>(end - j) - 0.5);
                const double r = std::min(1.0, edge / fade);
                weights[j] = static_cast<float>(std::sin(0.5 * std::numbers::pi * r) * std::sin(0.5 * std::numbers::pi * r));
            }
            i = end;
        }
    }
    double pausePower = 0;
    for (std::size_t b = 0; b < subLevelsDB_.size(); ++b)
        if (quiet(b)) {
            ++verdict.windowsUsed;
            pausePower += std::pow(10.0, subLevelsDB_[b] / 10.0);
        }
    if (verdict.windowsUsed == 0) return verdict;
    const double pauseDB = powerDB(pausePower / verdict.windowsUsed);

    const Score s50 = score(mains[0], weights, segments, speechDB, pauseDB),
                s60 = score(mains[1], weights, segments, speechDB, pauseDB);
    verdict.score50DB = s50.prominenceDB;
    verdict.score60DB = s60.prominenceDB;
    if (s50.audible || s60.audible) {
        const bool sixty = s60.audible && (!s50.audible || s60.prominenceDB > s50.prominenceDB);
        verdict.frequency = sixty ? mains[1] : mains[0];
    }
    return verdict;
}

}  // namespace lw
