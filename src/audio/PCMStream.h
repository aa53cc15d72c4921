#pragma once
// Chunked decoding of the first audio stream of any media file FFmpeg opens, as interleaved
// 32-bit float at a chosen rate and channel count.
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "platform/Error.h"

namespace lw::PCMStream {

struct Format {
    double sampleRate = 44100;
    int channels = 2;
    double durationSeconds = 0;  // as the container states it; 0 when it states none
};

class StreamError : public Error {
public:
    enum class Kind { noAudioTrack, readFailed };

    static StreamError noAudioTrack(const std::filesystem::path& url);
    static StreamError readFailed(const std::filesystem::path& url, const std::string& detail);

    Kind kind() const { return kind_; }
    const std::filesystem::path& url() const { return url_; }
    const std::string& detail() const { return detail_; }

private:
    StreamError(Kind kind, std::filesystem::path url, std::string detail, const std::string& text);
    Kind kind_;
    std::filesystem::path url_;
    std::string detail_;
};

// Receives one decoded chunk: `samples` holds frames x channels interleaved floats. The view is
// valid only during the call. Throwing ends the read; the exception propagates unchanged.
using ChunkHandler = std::function<void(std::span<const float> samples, std::size_t frames)>;

// Format of the first audio stream: its rate (44100 when unknown), its channel count clamped
// to 1...2, and the container's duration.
Format format(const std::filesystem::path& url);

// Decodes the first audio stream in file order. `sampleRate` and `channels` default to the
// file's (as format() reports them); `maxDuration` stops after that many seconds of output.
// Returns the output rate and channel count with the file's whole duration.
Format read(const std::filesystem::path& url, std::optional<double> sampleRate, std::optional<int> channels,
            std::optional<double> maxDuration, const ChunkHandler& chunk);

}  // namespace lw::PCMStream
