#pragma once
// Loudness normalisation with the clean-up chain: the records LoudnessNormalizer::process
// returns and the errors it raises.
//
//   auto r = LoudnessNormalizer::process(episode, master, LoudnessNormalizer::LoudnessTarget::stereoPodcast(),
//                                        cleanup);
//
// One analysis pass (meter, 100 ms block levels, mains hum), a clean-up plan, then up to three
// streaming renders (filters, leveller, static gain, gate, true-peak limiter, cuts, 24-bit WAV),
// each measured as it is written. Each pass decodes on one thread and works on stretches of a
// few seconds side by side on the others (see StretchLayout); a render that misses the target by more than 0.3 dB is
// redone with the gain corrected unless that gain would reach 40 dB. Only the last complete
// render is kept (a correction that fails leaves the render before it); the destination
// appears complete or not at all.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "audio/LoudnessNormalizer.h"
#include "platform/Error.h"

namespace lw {

struct LoudnessNormalizer::ACXReport {
    // The figures of one channel.
    struct Channel {
        double rmsDB = 0;
        double peakDB = 0;  // true peak, dBTP
        double noiseFloorDB = 0;
        bool operator==(const Channel&) const = default;
    };

    double rmsDB = 0;         // of the channel furthest from (or nearest the edge of) the RMS range
    double peakDB = 0;        // true peak of the channel with the highest one
    double noiseFloorDB = 0;  // of the noisiest channel
    int sampleRate = 0;       // of the file to upload
    std::vector<Channel> channels{};  // each channel's figures, left first; listed in the text when there are two
    std::string noUploadMP3{};        // why no 192 kbps CBR MP3 is made to upload; empty when one is
    bool noiseGate = false;           // the clean-up's noise gate was on

    // The report of a file from the figures of each of its channels: the worst channel decides each test.
    static ACXReport ofChannels(const std::vector<Channel>& channels, int sampleRate);

    bool rmsOK() const { return rmsDB >= -23.0 && rmsDB <= -18.0; }
    bool peakOK() const { return peakDB <= -3.0; }
    bool noiseOK() const { return noiseFloorDB <= -60.0; }
    bool sampleRateOK() const { return sampleRate == 44100 && noUploadMP3.empty(); }
    bool passes() const { return rmsOK() && peakOK() && noiseOK() && sampleRateOK(); }
    std::string text() const;
    bool operator==(const ACXReport&) const = default;
};

struct LoudnessNormalizer::Result {
    // A closed range of dB values.
    struct Range {
        double lowerBound = 0;
        double upperBound = 0;
        bool operator==(const Range&) const = default;
    };

    Measurement input;
    Measurement output;
    double gainDB = 0;              // static gain of the render that was kept
    double limiterReductionDB = 0;  // deepest limiter gain reduction of that render, 0 or negative
    std::optional<double> humRemovedHz;
    double secondsRemoved = 0;      // trimmed dead air and shortened pauses
    std::optional<Range> levelerRangeDB;
    std::optional<ACXReport> acxReport;
};

// One line saying that the level delivered (integrated loudness, or the RMS level for an ACX
// target) misses the target by more than 0.5 dB, with both figures and what held it back (the
// true-peak ceiling, the gain limit of the corrections); nothing when the target is reached.
std::optional<std::string> missedTargetNote(const LoudnessNormalizer::Result& result,
                                            const LoudnessNormalizer::LoudnessTarget& target);

// How the passes of LoudnessNormalizer::process go through the source: in stretches of
// stretchSeconds decoded on one thread and processed side by side on the others, each warmed
// up over the warmUpSeconds before it, or (stretchSeconds 0) as one stream in file order. Both
// give the same result to far within 0.1 LU and 0.1 dB, and the same cuts.
struct StretchLayout {
    double stretchSeconds = 6.0;
    double warmUpSeconds = 2.0;
    static StretchLayout sequential() { return {0.0, 0.0}; }
};

// LoudnessNormalizer::process with a chosen layout (process uses the default one).
LoudnessNormalizer::Result processLoudness(const std::filesystem::path& sourceURL,
                                           const std::filesystem::path& destinationURL,
                                           const LoudnessNormalizer::LoudnessTarget& target,
                                           const CleanupOptions& cleanup, const StretchLayout& layout);

class LoudnessNormalizer::NormalizerError : public Error {
public:
    enum class Kind { silentOrTooShort, cannotCreateExportSession, exportFailed, notANumber, invalidTarget, failed };

    static NormalizerError silentOrTooShort(const std::filesystem::path& url);
    static NormalizerError cannotCreateExportSession();
    static NormalizerError exportFailed();
    // The source holds NaN or infinite samples (a damaged float file).
    static NormalizerError notANumber(const std::filesystem::path& url);
    // The target's loudness or ceiling is not a finite number.
    static NormalizerError invalidTarget(const std::filesystem::path& url, const LoudnessTarget& target);
    // Out of memory, a thread or file system failure: "Could not process NAME: reason."
    static NormalizerError failed(const std::filesystem::path& url, const std::string& reason);

    Kind kind() const { return kind_; }
    const std::filesystem::path& url() const { return url_; }

private:
    NormalizerError(Kind kind, std::filesystem::path url, const std::string& text);
    Kind kind_;
    std::filesystem::path url_;
};

}  // namespace lw
