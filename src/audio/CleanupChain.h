#pragma once
// Building blocks of the clean-up chain: block levels and speech activity, the leveller
// curve, the noise gate, silence and pause cuts and the joiner that applies them.
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "audio/Biquad.h"

namespace lw {

// Rumble filter: 4th-order Butterworth high-pass at 80 Hz (24 dB/octave).
std::vector<BiquadCoefficients> rumbleFilterSections(double sampleRate);
// Narrow notches at `mainsHz` and its harmonics below a quarter of the sample rate.
std::vector<BiquadCoefficients> humNotchSections(double mainsHz, double sampleRate);
inline constexpr int humNotchHarmonics = 4;

// DC blocker: a first-order high-pass at 5 Hz, far below the voice band, run in double
// precision. Each channel starts from its offset (the recording's mean), so a constant offset
// is gone from the first sample on instead of decaying from full size.
class DCBlocker {
public:
    static constexpr double cutoffHz = 5.0;
    DCBlocker(double sampleRate, std::vector<double> offsets);
    void process(float* samples, std::size_t frames);

private:
    double pole_;
    std::vector<double> previousIn_;
    std::vector<double> previousOut_;
};

// Mean-square level of each 100 ms block, averaged over channels, after the rumble filter
// (so handling noise and hum fundamentals do not count as speech).
class BlockLevelMeter {
public:
    static constexpr double blockSeconds = 0.1;
    BlockLevelMeter(double sampleRate, int channels);
    // Runs the filter over frames before the first measured one, counting none of them.
    void warmUp(const float* samples, std::size_t frames);
    void add(const float* samples, std::size_t frames);
    // Levels in dB, digital silence floored at -120 dB; the last block may be partial.
    std::vector<float> finish();
    std::size_t blockFrames() const { return blockFrames_; }

private:
    int channels_;
    std::size_t blockFrames_;
    BiquadCascade filter_;
    std::vector<float> scratch_;
    double energy_ = 0;
    std::size_t inBlock_ = 0;
    std::vector<float> levels_;
};

// Which blocks hold speech, from the level distribution.
struct SpeechActivity {
    double noiseFloorDB = -120;  // level of the quiet stretches (10th percentile of blocks)
    double speechDB = -120;      // typical loud speech (90th percentile)
    double thresholdDB = -120;   // blocks at or above are speech
    std::vector<bool> speech;

    static SpeechActivity classify(const std::vector<float>& levelsDB);
    bool any() const;
};

// Slow leveller: per-block gains in dB that bring the speech level, averaged over a few
// seconds of speech only, toward the recording's median speech level within +-rangeDB.
// Pauses hold the gain of the speech before them; the curve is slew-limited and smoothed.
struct LevelerCurve {
    std::vector<float> gainDB;  // one per block
    double lowDB = 0, highDB = 0;

    static constexpr double rangeDB = 10.0;
    static constexpr double windowSeconds = 5.0;
    static constexpr double slewDBPerSecond = 4.0;
    static LevelerCurve plan(const std::vector<float>& levelsDB, const SpeechActivity& activity, double blockSeconds);
};

// Per-frame linear gain from per-block dB values, interpolated between block centres.
class BlockGain {
public:
    BlockGain() = default;
    BlockGain(const std::vector<float>& gainDB, std::size_t blockFrames);
    bool empty() const { return linear_.empty(); }
    // Gains for frames [first, first + count).
    void fill(std::size_t first, std::size_t count, float* gains) const;

private:
    std::vector<float> linear_;
    std::size_t blockFrames_ = 1;
};

// Downward expander: below the threshold the signal is lowered by (ratio-1) dB per dB, at most
// depthDB. The key is an RMS envelope (10 ms); the gate opens within a few milliseconds, holds
// open for a while after the level drops and closes slowly, so word ends are kept.
class NoiseGate {
public:
    NoiseGate(double sampleRate, int channels, double thresholdDB, double ratio = 2.0, double depthDB = 12.0,
              double holdSeconds = 0.15, double attackSeconds = 0.003, double releaseSeconds = 0.15);
    // Gains for the key frames (interleaved); the caller multiplies them in where it likes.
    void gains(const float* key, std::size_t frames, float* out);
    double thresholdDB() const { return thresholdDB_; }

private:
    int channels_;
    double thresholdDB_;
    double ratio_, depthDB_;
    std::size_t hold_;
    double envCoef_, attackCoef_, releaseCoef_;
    double envelope_ = 0;
    double gain_ = 1.0;
    std::size_t sinceLoud_ = 0;
    std::size_t subBlock_ = 32;
};

// Half-open frame range removed from the output.
struct FrameCut {
    std::size_t begin = 0, end = 0;
    bool operator==(const FrameCut&) const = default;
};

struct CutPlanSettings {
    bool trimSilence = false;
    double maxPauseSeconds = 0;  // 0: pauses kept
    double roomToneSeconds = 0.3;
};

// Cuts of dead air before the first and after the last speech (keeping roomToneSeconds of
// room tone) and the middles of pauses longer than maxPauseSeconds (each such pause keeps
// its own first and last halves of maxPauseSeconds). Ascending, apart by at least two
// crossfades, each at least one crossfade long.
std::vector<FrameCut> planCuts(const SpeechActivity& activity, std::size_t blockFrames, std::size_t totalFrames,
                               double sampleRate, const CutPlanSettings& settings, std::size_t crossfadeFrames);

// Applies cuts to a stream of frames numbered from 0: an interior cut joins its two sides with
// a linear crossfade of crossfadeFrames (taken from the ends of the kept and removed parts, so
// the output is exactly the kept frames long); a cut at the start fades in, one at the end
// fades out.
class CutJoiner {
public:
    CutJoiner(int channels, std::vector<FrameCut> cuts, std::size_t totalFrames, std::size_t crossfadeFrames);
    void push(const float* in, std::size_t frames, std::vector<float>& out);
    std::size_t removedFrames() const;

private:
    int channels_;
    std::vector<FrameCut> cuts_;
    std::size_t total_;
    std::size_t xf_;
    std::size_t position_ = 0;
    std::size_t next_ = 0;
    std::vector<float> tail_;
};

}  // namespace lw
