#pragma once
// Puts an episode's tags, cover art and chapters into the RSS deliverable: an MP3 copied by the
// `ffmpeg` program with ID3v2.3 tags when it is installed, otherwise an AAC M4A encoded and
// tagged through the FFmpeg libraries (no chapters).
#include <filesystem>
#include <optional>
#include <string>

#include "audio/podcast/FFmpegRunner.h"
#include "platform/Error.h"

namespace lw {

class ID3TagInjector {
public:
    struct PodcastMetadata {
        std::string title{};
        std::string artist{};
        std::string podcastName{};
        std::optional<int> episodeNumber{};
        std::optional<int> seasonNumber{};  // never written
        std::string showNotes{};
        std::optional<int> releaseYear{};
        std::optional<std::filesystem::path> artworkURL{};
    };

    class TagError : public Error {
    public:
        enum class Kind { exportSessionUnavailable, taggingFailed };
        explicit TagError(Kind kind);
        Kind kind() const { return kind_; }
        bool operator==(const TagError& other) const { return kind_ == other.kind_; }

    private:
        Kind kind_;
    };

    static constexpr int kDefaultAACBitRate = 192000;

    // `runner` decides between the back ends and runs `ffmpeg`; `aacBitRate` (bits per second)
    // is the M4A back end's encoder rate.
    explicit ID3TagInjector(const FFmpegRunner& runner = FFmpegRunner::shared(), int aacBitRate = kDefaultAACBitRate);

    // With `ffmpeg` available: copies the MP3 `sourceURL` into `destinationURL` with tags, the
    // cover (when the artwork file exists) and the chapters of an ";FFMETADATA1" file. Without
    // it: encodes `sourceURL` (any audio FFmpeg reads) to AAC in an M4A with the tags and the
    // cover; `chaptersFile` is then ignored. Either way the output is written to a temporary
    // name beside the destination and renamed into place only when complete.
    void inject(const PodcastMetadata& metadata, const std::filesystem::path& sourceURL,
                const std::filesystem::path& destinationURL,
                const std::optional<std::filesystem::path>& chaptersFile = std::nullopt) const;

    // The `ffmpeg` arguments (after the runner's fixed prefix) that tag `source` into `output`.
    static std::vector<std::string> ffmpegArguments(const PodcastMetadata& metadata, const std::filesystem::path& source,
                                                    const std::filesystem::path& output,
                                                    const std::optional<std::filesystem::path>& chaptersFile);

private:
    void injectWithFFmpeg(const PodcastMetadata& metadata, const std::filesystem::path& sourceURL,
                          const std::filesystem::path& destinationURL,
                          const std::optional<std::filesystem::path>& chaptersFile) const;
    void injectWithAACExporter(const PodcastMetadata& metadata, const std::filesystem::path& sourceURL,
                               const std::filesystem::path& destinationURL) const;

    const FFmpegRunner* runner_;
    int aacBitRate_;
};

}  // namespace lw
