#include "audio/HumDetector.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace lw {

namespace {
constexpr double mains[2] = {50.0, 60.0};
constexpr double neighbourOffsets[4] = {-9.0, -6.0, 6.0, 9.0};
constexpr int probesPerHarmonic = 5;  // centre + 4 neighbours
constexpr double quietShare = 0.3;
constexpr double quietSpreadDB = 6.0;
constexpr double silentDB = -110.0;
}  // namespace

HumDetector::HumDetector(double sampleRate, int channels)
    : sampleRate_(sampleRate), channels_(std::max(1, channels)) {
    decimation_ = std::max(1, static_cast<int>(std::floor(sampleRate_ / 1000.0)));
    decimatedRate_ = sampleRate_ / decimation_;
    windowLength_ = static_cast<std::size_t>(std::lround(decimatedRate_));
    hop_ = windowLength_ / 2;
    antiAlias_ = BiquadCascade({BiquadCoefficients::lowPass(250.0, 0.5412, sampleRate_),
                                BiquadCoefficients::lowPass(250.0, 1.3066, sampleRate_)},
                               1);
    for (double base : mains)
        for (int k = 1; k <= harmonics; ++k) {
            probes_.push_back(base * k);
            for (double off : neighbourOffsets) probes_.push_back(base * k + off);
        }
    hann_.resize(windowLength_);
    for (std::size_t n = 0; n < windowLength_; ++n)
        hann_[n] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (n + 0.5) / windowLength_);
    buffer_.reserve(windowLength_);
}

void HumDetector::add(const float* samples, std::size_t frames) {
    if (windowLength_ < 16) return;
    mono_.resize(frames);
    const float scale = 1.0f / channels_;
    for (std::size_t i = 0; i < frames; ++i) {
        float s = 0;
        for (int c = 0; c < channels_; ++c) s += samples[i * channels_ + c];
        mono_[i] = s * scale;
    }
    square_.resize(frames);
    for (std::size_t i = 0; i < frames; ++i) square_[i] = mono_[i] * mono_[i];
    antiAlias_.process(mono_.data(), frames);
    for (std::size_t i = 0; i < frames; ++i) {
        energyAccumulator_ += square_[i];
        ++energyCount_;
        if (phase_ == 0) {
            buffer_.push_back(mono_[i]);
            if (buffer_.size() % hop_ == 0) {
                hopEnergy_.push_back(energyCount_ ? energyAccumulator_ / energyCount_ : 0.0);
                energyAccumulator_ = 0;
                energyCount_ = 0;
            }
            if (buffer_.size() == windowLength_) {
                analyseWindow();
                buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(hop_));
                hopEnergy_.erase(hopEnergy_.begin());
            }
        }
        if (++phase_ == decimation_) phase_ = 0;
    }
}

void HumDetector::analyseWindow() {
    double energy = 0;
    for (double e : hopEnergy_) energy += e;
    energy /= std::max<std::size_t>(1, hopEnergy_.size());
    Window w;
    w.levelDB = 10.0 * std::log10(std::max(energy, 1e-20));
    w.power.resize(probes_.size());
    for (std::size_t p = 0; p < probes_.size(); ++p) {
        const double step = 2.0 * std::numbers::pi * probes_[p] / decimatedRate_;
        // Rotating phasor instead of a table per probe; exact enough over one second.
        double re = 0, im = 0, cr = 1, ci = 0;
        const double sr = std::cos(step), si = std::sin(step);
        for (std::size_t n = 0; n < windowLength_; ++n) {
            const double v = hann_[n] * buffer_[n];
            re += v * cr;
            im += v * ci;
            const double t = cr * sr - ci * si;
            ci = cr * si + ci * sr;
            cr = t;
        }
        w.power[p] = re * re + im * im;
    }
    windows_.push_back(std::move(w));
}

HumDetector::Verdict HumDetector::finish() const {
    Verdict verdict;
    std::vector<const Window*> usable;
    for (const auto& w : windows_)
        if (w.levelDB > silentDB) usable.push_back(&w);
    if (usable.empty()) return verdict;
    std::sort(usable.begin(), usable.end(), [](const Window* a, const Window* b) { return a->levelDB < b->levelDB; });
    // The quietest windows, and of those only the ones near the quietest level, so a window
    // that catches the edge of a phrase does not count.
    std::size_t count =
        std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(quietShare * static_cast<double>(usable.size()))));
    while (count > 1 && usable[count - 1]->levelDB > usable[0]->levelDB + quietSpreadDB) --count;
    verdict.windowsUsed = static_cast<int>(count);

    // Per window, the prominence of each harmonic over its neighbours; the median over the
    // windows is robust to one odd window.
    double scores[2] = {-100.0, -100.0};
    std::vector<double> perWindow(count);
    for (int m = 0; m < 2; ++m)
        for (int k = 0; k < harmonics; ++k) {
            const std::size_t base = static_cast<std::size_t>((m * harmonics + k) * probesPerHarmonic);
            for (std::size_t i = 0; i < count; ++i) {
                const auto& power = usable[i]->power;
                double neighbours = 0;
                for (int j = 1; j < probesPerHarmonic; ++j) neighbours += power[base + static_cast<std::size_t>(j)];
                neighbours /= (probesPerHarmonic - 1);
                perWindow[i] = 10.0 * std::log10(std::max(power[base], 1e-30) / std::max(neighbours, 1e-30));
            }
            std::sort(perWindow.begin(), perWindow.end());
            const double median = count % 2 ? perWindow[count / 2] : 0.5 * (perWindow[count / 2 - 1] + perWindow[count / 2]);
            scores[m] = std::max(scores[m], median);
        }
    verdict.score50DB = scores[0];
    verdict.score60DB = scores[1];
    const int best = scores[1] > scores[0] ? 1 : 0;
    if (scores[best] >= thresholdDB) verdict.frequency = mains[best];
    return verdict;
}

}  // namespace lw
