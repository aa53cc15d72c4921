#include "audio/HumDetector.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace lw {

namespace {
constexpr double mains[2] = {50.0, 60.0};
constexpr double neighbourOffsets[4] = {-9.0, -6.0, 6.0, 9.0};
constexpr int probesPerHarmonic = 5;  // centre + 4 neighbours
constexpr double quietSpreadDB = 6.0;
constexpr double silentDB = -110.0;
}  // namespace

HumDetector::HumDetector(double sampleRate, int channels)
    : sampleRate_(sampleRate), channels_(std::max(1, channels)) {
    decimation_ = std::max(1, static_cast<int>(std::floor(sampleRate_ / 1000.0)));
    decimatedRate_ = sampleRate_ / decimation_;
    windowLength_ = static_cast<std::size_t>(std::lround(decimatedRate_));
    hop_ = windowLength_ / 2;
    windowFrames_ = windowLength_ * static_cast<std::size_t>(decimation_);
    subBlockFrames_ = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(sampleRate_ * 0.1)));
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
        subEnergy_ += square_[i];
        if (++inSubBlock_ == subBlockFrames_) {
            subLevelsDB_.push_back(static_cast<float>(10.0 * std::log10(std::max(subEnergy_ / subBlockFrames_, 1e-20))));
            subEnergy_ = 0;
            inSubBlock_ = 0;
        }
        ++frames_;
        if (phase_ == 0) {
            buffer_.push_back(mono_[i]);
            if (buffer_.size() == windowLength_) {
                analyseWindow();
                buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(hop_));
            }
        }
        if (++phase_ == decimation_) phase_ = 0;
    }
}

void HumDetector::analyseWindow() {
    Window w;
    w.firstFrame = frames_ >= windowFrames_ ? frames_ - windowFrames_ : 0;
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
    std::vector<float> audible;
    for (float l : subLevelsDB_)
        if (l > silentDB) audible.push_back(l);
    if (audible.empty()) return verdict;
    const std::size_t k = audible.size() / 10;
    std::nth_element(audible.begin(), audible.begin() + static_cast<std::ptrdiff_t>(k), audible.end());
    const double quietLimit = audible[k] + quietSpreadDB;

    // Windows in which every 100 ms stays near the floor (and which are not digital silence).
    std::vector<const Window*> usable;
    for (const auto& w : windows_) {
        const std::size_t first = (w.firstFrame + subBlockFrames_ - 1) / subBlockFrames_;
        const std::size_t last = std::min(subLevelsDB_.size(), (w.firstFrame + windowFrames_) / subBlockFrames_);
        if (first >= last) continue;
        float loudest = -1000.0f;
        for (std::size_t b = first; b < last; ++b) loudest = std::max(loudest, subLevelsDB_[b]);
        if (loudest <= quietLimit && loudest > silentDB) usable.push_back(&w);
    }
    if (usable.empty()) return verdict;
    const std::size_t count = usable.size();
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
