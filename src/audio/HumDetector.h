#pragma once
// Finds mains hum (50 or 60 Hz and its first harmonics) in the quiet stretches of a recording.
//
// The mono mix is low-passed and decimated to about 1 kHz, cut into 1 s Hann windows with
// 0.5 s hop, and for each window the power at k·50 and k·60 Hz (k = 1..3) is compared with the
// power of the neighbouring bands a few hertz away. Only the quietest windows count, so speech
// harmonics do not look like hum, and broadband rumble scores low because its neighbours are
// as loud as the mains bins.
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
        int windowsUsed = 0;
    };

    static constexpr int harmonics = 3;
    static constexpr double thresholdDB = 12.0;

    HumDetector(double sampleRate, int channels);

    // Interleaved frames, in file order.
    void add(const float* samples, std::size_t frames);
    Verdict finish() const;

private:
    struct Window {
        std::size_t firstFrame;
        std::vector<double> power;  // per probe frequency
    };
    void analyseWindow();

    double sampleRate_;
    int channels_;
    int decimation_;
    double decimatedRate_;
    std::size_t windowLength_;
    std::size_t hop_;
    BiquadCascade antiAlias_;
    std::vector<float> mono_;
    std::vector<float> square_;
    int phase_ = 0;
    std::vector<float> buffer_;      // decimated samples of the current window
    std::size_t frames_ = 0;          // input frames so far
    std::size_t windowFrames_;        // one window in input frames
    std::size_t subBlockFrames_;      // 100 ms
    double subEnergy_ = 0;
    std::size_t inSubBlock_ = 0;
    std::vector<float> subLevelsDB_;  // full-band level of every 100 ms
    std::vector<double> probes_;
    std::vector<double> hann_;
    std::vector<Window> windows_;
};

}  // namespace lw
