#pragma once
// Audiogram videos: an H.264/AAC MP4 of a short audio clip with an animated level display, an
// optional title, burned-in captions with the spoken word highlighted and a progress bar, over
// a dark background or a darkened cover picture.
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/podcast/Transcriber.h"
#include "platform/Error.h"

namespace lw {

class AudiogramGenerator {
public:
    enum class AspectRatio { square, vertical, landscape };

    struct AudiogramConfig {
        AspectRatio aspectRatio = AspectRatio::square;
        std::optional<double> maxDurationSeconds{};  // none: the whole audio
        std::string waveformColor{};                 // hexadecimal accent colour, "#" optional
        std::optional<std::filesystem::path> backgroundImageURL{};
        int framesPerSecond = 30;  // 1...16000
        std::vector<CaptionWord> captions{};  // times relative to the start of the audio file
        std::optional<std::string> title{};
    };

    class AudiogramError : public Error {
    public:
        enum class Kind { audioTooShort, writerSetupFailed, ffmpegRequired };
        explicit AudiogramError(Kind kind);
        Kind kind() const { return kind_; }
        bool operator==(const AudiogramError& other) const { return kind_ == other.kind_; }

    private:
        Kind kind_;
    };

    // Where the time goes, for benches: frames written, the seconds the drawing threads spent
    // working (averaged over them; colour conversion included) and the seconds the video
    // encoder spent.
    struct Statistics {
        int frames = 0;
        double drawSeconds = 0;
        double encodeSeconds = 0;
    };

    // Writes the MP4 (H.264 at 4 Mb/s average, yuv420p, AAC 192 kb/s 44.1 kHz stereo, index at
    // the front) to a temporary name beside `destinationURL` and renames it into place when
    // complete. Throws AudiogramError, PCMStream::StreamError for unreadable audio, or Error.
    void generate(const std::filesystem::path& audioURL, const std::filesystem::path& destinationURL,
                  const AudiogramConfig& config, Statistics* statistics = nullptr) const;

    // The level envelope: one value in 0...1 per video frame of the first `clipSeconds`.
    static std::vector<float> envelope(const std::filesystem::path& audioURL, double clipSeconds, int fps);

    static const std::vector<AspectRatio>& allAspectRatios();
    static std::optional<AspectRatio> aspectRatioFromRawValue(const std::string& raw);
    // Lower-cased, not trimmed: "square", "1:1", "1x1"; "vertical", "9:16", "9x16", "story",
    // "reel"; "wide", "landscape", "16:9", "16x9".
    static std::optional<AspectRatio> aspectRatioFromKey(const std::string& key);
};

// "1:1 (1080x1080)", "9:16 (1080x1920)", "16:9 (1920x1080)".
std::string rawValue(AudiogramGenerator::AspectRatio ratio);
// "square", "vertical", "wide".
std::string key(AudiogramGenerator::AspectRatio ratio);
// "Square 1:1 (Instagram, X)", "Vertical 9:16 (Reels, TikTok, Shorts)", "Wide 16:9 (YouTube)".
std::string shortName(AudiogramGenerator::AspectRatio ratio);
// Width and height in pixels.
std::pair<int, int> dimensions(AudiogramGenerator::AspectRatio ratio);

}  // namespace lw
