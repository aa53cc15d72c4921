#pragma once
// Loudness targets, clean-up switches, file measurement and the editing operations of the
// audio engine. Every operation is a plain blocking function with no shared state. Operations
// that write refuse a destination that is one of their sources (same device and inode, however
// spelt) or that exists and is not a regular file, with a DestinationError.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "audio/PCMStream.h"

namespace lw {

// A half-open span of seconds [lowerBound, upperBound).
struct TimeRange {
    double lowerBound = 0;
    double upperBound = 0;
    double length() const { return upperBound > lowerBound ? upperBound - lowerBound : 0.0; }
    bool operator==(const TimeRange&) const = default;
};

struct CleanupOptions {
    enum class HumMode { off, autoDetect, hz50, hz60 };

    bool rumbleFilter = false;
    HumMode humRemoval = HumMode::off;
    bool noiseGate = false;
    bool leveler = false;
    bool trimSilence = false;
    double maxPauseSeconds = 0;
    double roomToneSeconds = 0.3;

    // Every switch off, hum removal off, no pause limit, 0.3 s of room tone.
    static CleanupOptions none() { return CleanupOptions{}; }
    bool operator==(const CleanupOptions&) const = default;
};

// "off", "auto", "50", "60".
std::string rawValue(CleanupOptions::HumMode mode);
// "Off", "Auto-detect", "50 Hz (Europe, Asia)", "60 Hz (Americas)".
std::string displayName(CleanupOptions::HumMode mode);
std::optional<CleanupOptions::HumMode> humModeFromRawValue(const std::string& raw);
// off, auto, 50, 60: the order of the hum removal picker.
const std::vector<CleanupOptions::HumMode>& allHumModes();

namespace FillerRemover {
// One 20 ms analysis frame.
struct SpeechFrame {
    float levelDB = 0;       // 10 log10 of the mean square (floored at 1e-10)
    float brightnessDB = 0;  // 10 log10 (energy of the sample differences / energy of the samples), each
                             // a sum over the frame floored at 1e-10
    bool operator==(const SpeechFrame&) const = default;
};
}  // namespace FillerRemover

class LoudnessNormalizer {
public:
    struct LoudnessTarget {
        double integratedLUFS = -16.0;
        double truePeakDB = -1.5;
        double loudnessRangeLU = 11.0;
        bool acx = false;  // match the RMS level instead of loudness, and make an ACX report

        static LoudnessTarget stereoPodcast() { return {-16.0, -1.5, 11.0, false}; }
        static LoudnessTarget monoPodcast() { return {-19.0, -1.5, 11.0, false}; }
        static LoudnessTarget audibleACX() { return {-20.0, -3.5, 11.0, true}; }
        bool operator==(const LoudnessTarget&) const = default;
    };

    struct Measurement {
        std::optional<double> integratedLUFS;  // absent when no block passes the gates
        double truePeakDBTP = -88.0;
        double sampleRate = 0;
        int channels = 0;
        double durationSeconds = 0;  // of the decoded audio
        double rmsDB = -88.0;
        double samplePeakDB = -88.0;
        double noiseFloorDB = -88.0;
        bool operator==(const Measurement&) const = default;
    };

    // Measures a whole file at its own rate and channel count (1 or 2) in one streaming pass.
    // Throws PCMStream::StreamError.
    static Measurement measure(const std::filesystem::path& url);
    // Measures each channel of a file on its own, as one mono signal, in channel order (left
    // first), in one streaming pass. Throws PCMStream::StreamError.
    static std::vector<Measurement> measureChannels(const std::filesystem::path& url);

    // Writes one 24-bit WAV of the files one after another, converted to the rate and channels.
    static void concatenate(const std::vector<std::filesystem::path>& files, const std::filesystem::path& to,
                            double sampleRate, int channels);
    // Writes a 24-bit WAV of the source without the listed ranges (seconds), the rest joined in order.
    static void cut(const std::filesystem::path& source, const std::filesystem::path& to,
                    const std::vector<TimeRange>& removing);
    // Writes a 24-bit WAV of `length` seconds of the source from `start`.
    static void excerpt(const std::filesystem::path& source, const std::filesystem::path& to, double start,
                        double length);
    // RMS sample value (linear) of each consecutive `step`-second block, in time order; the last
    // block may be shorter.
    static std::vector<float> levels(const std::filesystem::path& url, double step);
    // One frame per 20 ms of the mono mix, in time order.
    static std::vector<FillerRemover::SpeechFrame> speechFrames(const std::filesystem::path& url);

    // ---- Normalisation: declared here, defined in audio/LoudnessProcessing.h and implemented
    // ---- with the clean-up and render chain (LoudnessProcessing.cpp).
    struct ACXReport;
    struct Result;
    class NormalizerError;
    static Result process(const std::filesystem::path& sourceURL, const std::filesystem::path& destinationURL,
                          const LoudnessTarget& target, const CleanupOptions& cleanup);
    static Result normalize(const std::filesystem::path& sourceURL, const std::filesystem::path& destinationURL,
                            const LoudnessTarget& target);
};

}  // namespace lw
