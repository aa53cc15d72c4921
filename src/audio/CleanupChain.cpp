#include "audio/CleanupChain.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace lw {

DCBlocker::DCBlocker(double sampleRate, std::vector<double> offsets)
    : pole_(std::exp(-2.0 * std::numbers::pi * cutoffHz / sampleRate)),
      previousIn_(std::move(offsets)),
      previousOut_(previousIn_.size(), 0.0) {}

void DCBlocker::process(float* samples, std::size_t frames) {
    const std::size_t ch = previousIn_.size();
    if (ch == 2) {
        // Both channels in one loop: two independent recursions keep the pipeline full.
        double in0 = previousIn_[0], out0 = previousOut_[0], in1 = previousIn_[1], out1 = previousOut_[1];
        for (std::size_t i = 0; i < frames; ++i) {
            float& s0 = samples[2 * i];
            float& s1 = samples[2 * i + 1];
            out0 = s0 - in0 + pole_ * out0;
            out1 = s1 - in1 + pole_ * out1;
            in0 = s0;
            in1 = s1;
            s0 = static_cast<float>(out0);
            s1 = static_cast<float>(out1);
        }
        previousIn_ = {in0, in1};
        previousOut_ = {out0, out1};
        return;
    }
    for (std::size_t c = 0; c < ch; ++c) {
        double in = previousIn_[c], out = previousOut_[c];
        for (std::size_t i = 0; i < frames; ++i) {
            float& s = samples[i * ch + c];
            out = s - in + pole_ * out;
            in = s;
            s = static_cast<float>(out);
        }
        previousIn_[c] = in;
        previousOut_[c] = out;
    }
}

namespace {
constexpr float silentDB = -120.0f;

double percentile(std::vector<float> values, double q) {
    if (values.empty()) return silentDB;
    const std::size_t k = std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}
}  // namespace

std::vector<BiquadCoefficients> rumbleFilterSections(double sampleRate) {
    return {BiquadCoefficients::highPass(80.0, 0.5412, sampleRate), BiquadCoefficients::highPass(80.0, 1.3066, sampleRate)};
}

std::vector<BiquadCoefficients> humNotchSections(double mainsHz, double sampleRate) {
    std::vector<BiquadCoefficients> sections;
    for (int k = 1; k <= humNotchHarmonics; ++k) {
        const double f = mainsHz * k;
        if (f >= sampleRate / 4.0) break;
        // About 2 Hz wide at the fundamental, wider at the harmonics that drift with it.
        sections.push_back(BiquadCoefficients::notch(f, 25.0, sampleRate));
    }
    return sections;
}

// ---------------------------------------------------------------------------------------------

BlockLevelMeter::BlockLevelMeter(double sampleRate, int channels)
    : channels_(std::max(1, channels)),
      blockFrames_(std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(sampleRate * blockSeconds)))),
      filter_(rumbleFilterSections(sampleRate), channels_) {}

void BlockLevelMeter::warmUp(const float* samples, std::size_t frames) {
    scratch_.assign(samples, samples + frames * static_cast<std::size_t>(channels_));
    filter_.process(scratch_.data(), frames);
}

void BlockLevelMeter::add(const float* samples, std::size_t frames) {
    const std::size_t ch = static_cast<std::size_t>(channels_);
    scratch_.assign(samples, samples + frames * ch);
    filter_.process(scratch_.data(), frames);
    const float* p = scratch_.data();
    for (std::size_t i = 0; i < frames; ++i) {
        double e = 0;
        for (std::size_t c = 0; c < ch; ++c) e += static_cast<double>(p[c]) * p[c];
        p += ch;
        energy_ += e;
        if (++inBlock_ == blockFrames_) {
            levels_.push_back(static_cast<float>(10.0 * std::log10(std::max(energy_ / (blockFrames_ * ch), 1e-12))));
            energy_ = 0;
            inBlock_ = 0;
        }
    }
}

std::vector<float> BlockLevelMeter::finish() {
    if (inBlock_ > 0) {
        levels_.push_back(static_cast<float>(
            10.0 * std::log10(std::max(energy_ / (inBlock_ * static_cast<std::size_t>(channels_)), 1e-12))));
        energy_ = 0;
        inBlock_ = 0;
    }
    return std::move(levels_);
}

// ---------------------------------------------------------------------------------------------

SpeechActivity SpeechActivity::classify(const std::vector<float>& levelsDB) {
    SpeechActivity a;
    a.speech.assign(levelsDB.size(), false);
    std::vector<float> audible;
    for (float l : levelsDB)
        if (l > silentDB + 1) audible.push_back(l);
    if (audible.empty()) return a;
    a.noiseFloorDB = percentile(audible, 0.10);
    a.speechDB = percentile(audible, 0.90);
    // A third of the way from the floor to loud speech, at least 4 and at most 15 dB above
    // the floor: soft syllables count as speech, room tone does not.
    const double spread = a.speechDB - a.noiseFloorDB;
    a.thresholdDB = a.noiseFloorDB + std::clamp(spread / 3.0, 4.0, 15.0);
    for (std::size_t i = 0; i < levelsDB.size(); ++i) a.speech[i] = levelsDB[i] >= a.thresholdDB;
    return a;
}

bool SpeechActivity::any() const { return std::find(speech.begin(), speech.end(), true) != speech.end(); }

// ---------------------------------------------------------------------------------------------

LevelerCurve LevelerCurve::plan(const std::vector<float>& levelsDB, const SpeechActivity& activity,
                                double blockSeconds) {
    LevelerCurve curve;
    const std::size_t n = levelsDB.size();
    curve.gainDB.assign(n, 0.0f);
    if (n == 0 || !activity.any()) return curve;

    // Running sums of speech energy and speech block counts.
    std::vector<double> energy(n + 1, 0.0), count(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const bool s = activity.speech[i];
        energy[i + 1] = energy[i] + (s ? std::pow(10.0, levelsDB[i] / 10.0) : 0.0);
        count[i + 1] = count[i] + (s ? 1.0 : 0.0);
    }
    const std::size_t half = static_cast<std::size_t>(std::lround(windowSeconds / blockSeconds / 2));
    const double minimumSpeech = std::max(1.0, 1.0 / blockSeconds * 0.5);  // half a second of speech
    std::vector<double> local(n, 0.0);
    std::vector<bool> known(n, false);
    std::vector<float> speechLocal;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lo = i >= half ? i - half : 0, hi = std::min(n, i + half + 1);
        const double c = count[hi] - count[lo];
        if (c >= minimumSpeech) {
            local[i] = 10.0 * std::log10(std::max((energy[hi] - energy[lo]) / c, 1e-12));
            known[i] = true;
            if (activity.speech[i]) speechLocal.push_back(static_cast<float>(local[i]));
        }
    }
    if (speechLocal.empty()) return curve;
    const double reference = percentile(speechLocal, 0.5);

    // Raw gains on speech blocks; pauses and thin stretches hold the gain before them.
    std::vector<double> g(n, 0.0);
    std::optional<double> last;
    for (std::size_t i = 0; i < n; ++i) {
        if (activity.speech[i] && known[i]) last = std::clamp(reference - local[i], -rangeDB, rangeDB);
        g[i] = last.value_or(std::numeric_limits<double>::quiet_NaN());
    }
    const auto firstKnown = std::find_if(g.begin(), g.end(), [](double v) { return !std::isnan(v); });
    std::fill(g.begin(), firstKnown, firstKnown == g.end() ? 0.0 : *firstKnown);

    // Slew limit both ways, then a short moving average to round the corners.
    const double slew = slewDBPerSecond * blockSeconds;
    for (std::size_t i = 1; i < n; ++i) g[i] = std::clamp(g[i], g[i - 1] - slew, g[i - 1] + slew);
    for (std::size_t i = n - 1; i-- > 0;) g[i] = std::clamp(g[i], g[i + 1] - slew, g[i + 1] + slew);
    const std::size_t r = 2;
    std::vector<double> sm(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lo = i >= r ? i - r : 0, hi = std::min(n - 1, i + r);
        double s = 0;
        for (std::size_t j = lo; j <= hi; ++j) s += g[j];
        sm[i] = s / static_cast<double>(hi - lo + 1);
    }
    curve.lowDB = *std::min_element(sm.begin(), sm.end());
    curve.highDB = *std::max_element(sm.begin(), sm.end());
    for (std::size_t i = 0; i < n; ++i) curve.gainDB[i] = static_cast<float>(sm[i]);
    return curve;
}

// ---------------------------------------------------------------------------------------------

BlockGain::BlockGain(const std::vector<float>& gainDB, std::size_t blockFrames) : blockFrames_(std::max<std::size_t>(1, blockFrames)) {
    linear_.reserve(gainDB.size());
    for (float g : gainDB) linear_.push_back(static_cast<float>(std::pow(10.0, g / 20.0)));
}

void BlockGain::fill(std::size_t first, std::size_t count, float* gains) const {
    if (linear_.empty()) {
        std::fill(gains, gains + count, 1.0f);
        return;
    }
    const double bf = static_cast<double>(blockFrames_);
    const std::size_t last = linear_.size() - 1;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = (static_cast<double>(first + i) + 0.5) / bf - 0.5;
        if (t <= 0) {
            gains[i] = linear_[0];
        } else {
            const std::size_t k = static_cast<std::size_t>(t);
            if (k >= last) {
                gains[i] = linear_[last];
            } else {
                const float f = static_cast<float>(t - static_cast<double>(k));
                gains[i] = linear_[k] + (linear_[k + 1] - linear_[k]) * f;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------

NoiseGate::NoiseGate(double sampleRate, int channels, double thresholdDB, double ratio, double depthDB,
                     double holdSeconds, double attackSeconds, double releaseSeconds)
    : channels_(std::max(1, channels)), thresholdDB_(thresholdDB), ratio_(ratio), depthDB_(depthDB) {
    hold_ = static_cast<std::size_t>(holdSeconds * sampleRate);
    envCoef_ = std::exp(-1.0 / (0.010 * sampleRate));
    attackCoef_ = std::exp(-1.0 / (attackSeconds * sampleRate));
    releaseCoef_ = std::exp(-1.0 / (releaseSeconds * sampleRate));
}

void NoiseGate::gains(const float* key, std::size_t frames, float* out) {
    const std::size_t ch = static_cast<std::size_t>(channels_);
    const double thresholdPower = std::pow(10.0, thresholdDB_ / 10.0);
    const double perChannel = 1.0 / static_cast<double>(ch);  // exact for one and two channels
    for (std::size_t start = 0; start < frames; start += subBlock_) {
        const std::size_t end = std::min(frames, start + subBlock_);
        double env = envelope_;
        for (std::size_t i = start; i < end; ++i) {
            double e = 0;
            for (std::size_t c = 0; c < ch; ++c) e += static_cast<double>(key[i * ch + c]) * key[i * ch + c];
            const double mean = e * perChannel;
            env = mean + (env - mean) * envCoef_;
        }
        envelope_ = env < 1e-30 ? 0.0 : env;
        const std::size_t span = end - start;
        double target = 1.0;
        if (envelope_ >= thresholdPower) {
            sinceLoud_ = 0;
        } else {
            sinceLoud_ += span;
            if (sinceLoud_ > hold_) {
                const double below = thresholdDB_ - 10.0 * std::log10(std::max(envelope_, 1e-30));
                const double cut = std::min(depthDB_, below * (ratio_ - 1.0));
                target = std::pow(10.0, -cut / 20.0);
            }
        }
        const double coef = target > gain_ ? attackCoef_ : releaseCoef_;
        double g = gain_;
        for (std::size_t i = start; i < end; ++i) {
            g = target + (g - target) * coef;
            out[i] = static_cast<float>(g);
        }
        gain_ = g;
    }
}

// ---------------------------------------------------------------------------------------------

std::vector<FrameCut> planCuts(const SpeechActivity& activity, std::size_t blockFrames, std::size_t totalFrames,
                               double sampleRate, const CutPlanSettings& settings, std::size_t crossfadeFrames) {
    std::vector<FrameCut> cuts;
    const auto& s = activity.speech;
    const auto first = std::find(s.begin(), s.end(), true);
    if (first == s.end() || totalFrames == 0) return cuts;
    const std::size_t firstBlock = static_cast<std::size_t>(first - s.begin());
    const std::size_t lastBlock = static_cast<std::size_t>(s.rend() - std::find(s.rbegin(), s.rend(), true)) - 1;
    const std::size_t xf = crossfadeFrames;
    const auto frameOf = [&](std::size_t block) { return std::min(totalFrames, block * blockFrames); };

    const std::size_t roomTone = static_cast<std::size_t>(std::lround(std::max(0.0, settings.roomToneSeconds) * sampleRate));
    if (settings.trimSilence) {
        const std::size_t speechStart = frameOf(firstBlock);
        if (speechStart > roomTone + xf) cuts.push_back({0, speechStart - roomTone});
    }
    if (settings.maxPauseSeconds > 0) {
        const std::size_t keep =
            std::max<std::size_t>(2 * xf, static_cast<std::size_t>(std::lround(settings.maxPauseSeconds * sampleRate)));
        std::size_t i = firstBlock;
        while (i <= lastBlock) {
            if (s[i]) {
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j <= lastBlock && !s[j]) ++j;
            const std::size_t a = frameOf(i), b = frameOf(j);
            if (b - a > keep) {
                const std::size_t head = keep / 2;
                const FrameCut cut{a + head, b - (keep - head)};
                if (cut.end - cut.begin >= xf) cuts.push_back(cut);
            }
            i = j;
        }
    }
    if (settings.trimSilence) {
        const std::size_t speechEnd = frameOf(lastBlock + 1);
        if (speechEnd + roomTone + xf < totalFrames) cuts.push_back({speechEnd + roomTone, totalFrames});
    }
    // Keep at least two crossfades between cuts so fades never overlap.
    std::vector<FrameCut> merged;
    for (const auto& c : cuts) {
        if (!merged.empty() && c.begin < merged.back().end + 2 * xf)
            merged.back().end = std::max(merged.back().end, c.end);
        else
            merged.push_back(c);
    }
    return merged;
}

CutJoiner::CutJoiner(int channels, std::vector<FrameCut> cuts, std::size_t totalFrames, std::size_t crossfadeFrames)
    : channels_(std::max(1, channels)), cuts_(std::move(cuts)), total_(totalFrames), xf_(std::max<std::size_t>(1, crossfadeFrames)) {
    tail_.assign(xf_ * static_cast<std::size_t>(channels_), 0.0f);
}

std::size_t CutJoiner::removedFrames() const {
    std::size_t r = 0;
    for (const auto& c : cuts_) r += c.end - c.begin;
    return r;
}

void CutJoiner::push(const float* in, std::size_t frames, std::vector<float>& out) {
    const std::size_t ch = static_cast<std::size_t>(channels_);
    out.reserve(out.size() + frames * ch);
    const std::size_t leadEnd = !cuts_.empty() && cuts_[0].begin == 0 ? cuts_[0].end : 0;
    for (std::size_t i = 0; i < frames; ++i) {
        // Fast path: copy straight up to the next fade or cut.
        {
            const std::size_t n = position_;
            while (next_ < cuts_.size() && n >= cuts_[next_].end) ++next_;
            const std::size_t stop = next_ == cuts_.size() ? std::numeric_limits<std::size_t>::max()
                                                            : (cuts_[next_].begin > xf_ ? cuts_[next_].begin - xf_ : 0);
            if (n >= leadEnd + xf_ || leadEnd == 0) {
                if (n < stop) {
                    const std::size_t run = std::min(frames - i, stop - n);
                    out.insert(out.end(), in + i * ch, in + (i + run) * ch);
                    position_ += run;
                    i += run - 1;
                    continue;
                }
            }
        }
        const std::size_t n = position_++;
        const float* x = in + i * ch;
        while (next_ < cuts_.size() && n >= cuts_[next_].end) ++next_;
        // Fade-in after a cut at the start.
        float fadeIn = 1.0f;
        if (!cuts_.empty() && cuts_[0].begin == 0 && n >= cuts_[0].end && n < cuts_[0].end + xf_)
            fadeIn = (static_cast<float>(n - cuts_[0].end) + 0.5f) / static_cast<float>(xf_);
        if (next_ == cuts_.size()) {
            for (std::size_t c = 0; c < ch; ++c) out.push_back(x[c] * fadeIn);
            continue;
        }
        const FrameCut cut = cuts_[next_];
        const bool leading = cut.begin == 0;
        const bool trailing = cut.end >= total_;
        if (n >= cut.begin) {
            if (leading || trailing || n < cut.end - xf_) continue;  // removed
            const std::size_t j = n - (cut.end - xf_);
            const float w = (static_cast<float>(j) + 0.5f) / static_cast<float>(xf_);
            for (std::size_t c = 0; c < ch; ++c) out.push_back(tail_[j * ch + c] * (1.0f - w) + x[c] * w);
            continue;
        }
        if (n + xf_ >= cut.begin && !leading) {
            const std::size_t j = n + xf_ - cut.begin;
            if (trailing) {
                const float w = 1.0f - (static_cast<float>(j) + 0.5f) / static_cast<float>(xf_);
                for (std::size_t c = 0; c < ch; ++c) out.push_back(x[c] * w * fadeIn);
            } else {
                for (std::size_t c = 0; c < ch; ++c) tail_[j * ch + c] = x[c] * fadeIn;
            }
            continue;
        }
        for (std::size_t c = 0; c < ch; ++c) out.push_back(x[c] * fadeIn);
    }
}

}  // namespace lw
