#pragma once
// Finds mains hum (50 or 60 Hz, with or without its second and third harmonics) in the pauses
// of a recording, however short they are.
//
// The mono mix is low-passed and decimated to about 1 kHz and kept. At the end, the 100 ms
// blocks that stay near the recording's floor are the pauses; everything else is muted, the
// pauses fading in and out over 30 ms. Hum keeps its frequency and phase from one pause to the
// next while room noise and the tails of speech do not, so a long Fourier sum over the gated
// signal (10 s segments, their powers added) collects the hum into a line a tenth of a hertz
// wide. For each mains frequency, the line is searched within +-0.25 Hz (k times that for the
// k-th harmonic); its power is compared with the noise next to it (+-4...10 Hz, with the line's
// own leakage through the gate taken out) and expressed in a 1.5 Hz band, so the score reads as
// the tone's prominence in a one-second spectrum whatever the length of the pauses.
//
// Hum counts when a harmonic stands 12 dB out and is audible: above the threshold of hearing
// with the speech (the loudest tenth of the 100 ms blocks) played at 70 dB SPL, or together with
// the other prominent harmonics at least 40 % of the power of the pauses. The faint hum that many
// clean recordings carry, tens of dB under the speech and under their own noise, does not count.
#include <cstddef>
#include <optional>
#include <vector>

#include "audio/Biquad.h"

namespace lw {

class HumDetector {
public:
    struct Verdict {
        std::optional<double> frequency;  // 50 or 60 when hum is present
        double score50DB = 0;             // strongest harmonic's prominence over its neighbours
        double score60DB = 0;
        int windowsUsed = 0;              // 100 ms pause blocks that were listened to
    };

    static constexpr int harmonics = 3;
    static constexpr double thresholdDB = 12.0;

    HumDetector(double sampleRate, int channels);

    // Interleaved frames, in file order.
    void add(const float* samples, std::size_t frames);

    // Listening to a long recording in stretches on several detectors: warmUp() runs the
    // filter over the frames just before the stretch that starts at frame `position` (call it
    // before any add), append() takes in the detector of the stretch that follows this one.
    // This detector must hold whole 100 ms blocks.
    void warmUp(const float* samples, std::size_t frames, std::size_t position);
    void append(const HumDetector& next);
    Verdict finish() const;

private:
    // The mean of the channels of `frames` frames into mono_.
    void mixDown(const float* samples, std::size_t frames);
    struct Score {
        double prominenceDB = -100;  // strongest harmonic's
        bool audible = false;        // some harmonic is both prominent and above the threshold of hearing
    };
    Score score(double mains, const std::vector<float>& weights,
                const std::vector<std::pair<std::size_t, std::size_t>>& segments, double speechDB,
                double pauseDB) const;

    double sampleRate_;
    int channels_;
    int decimation_;
    double decimatedRate_;
    BiquadCascade antiAlias_;
    std::vector<float> mono_;
    int phase_ = 0;
    std::vector<float> signal_;       // decimated mono mix
    std::size_t subBlockFrames_;      // 100 ms
    double subEnergy_ = 0;
    std::size_t inSubBlock_ = 0;
    std::vector<float> subLevelsDB_;  // full-band level of every 100 ms
};

}  // namespace lw
