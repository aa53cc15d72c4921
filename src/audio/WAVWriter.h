#pragma once
// Writes interleaved float frames to an integer-PCM WAV file. Overs saturate at full scale.
// The file is written under a temporary name beside the destination and renamed into place
// by close(); a writer destroyed without close() leaves nothing behind (and the previous file
// at the destination, if any, untouched). Files that would pass 4 GiB become RF64.
#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "platform/Error.h"

namespace lw {

class WAVWriter {
public:
    class WriteError : public Error {
    public:
        enum class Kind { openFailed, writeFailed };
        WriteError(Kind kind, const std::filesystem::path& url, const std::string& detail);
        Kind kind() const { return kind_; }
        const std::filesystem::path& url() const { return url_; }

    private:
        Kind kind_;
        std::filesystem::path url_;
    };

    // bitDepth: 8, 16, 24 or 32. Throws WriteError when the file cannot be created, and
    // DestinationError when something that is not a regular file has the destination's name.
    WAVWriter(const std::filesystem::path& url, double sampleRate, int channels, int bitDepth);
    ~WAVWriter();
    WAVWriter(const WAVWriter&) = delete;
    WAVWriter& operator=(const WAVWriter&) = delete;

    // Appends `frames` frames of interleaved samples (samples.size() >= frames x channels).
    // Does nothing for 0 frames or once closed.
    void write(std::span<const float> samples, std::size_t frames);
    void write(const float* samples, std::size_t frames);

    // 24-bit files: samples encoded as write() stores them (little-endian, saturated at full
    // scale), three bytes each, so that callers can encode on other threads; writeEncoded()
    // appends `frames` frames of them.
    static void encode24(const float* samples, std::size_t count, unsigned char* out);
    void writeEncoded(const unsigned char* bytes, std::size_t frames);

    // Finishes the file and renames it into place. A second call does nothing.
    void close();

    bool isOpen() const;
    int channels() const { return channels_; }
    double sampleRate() const { return sampleRate_; }
    const std::filesystem::path& url() const { return url_; }
    std::size_t framesWritten() const { return framesWritten_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::filesystem::path url_;
    double sampleRate_;
    int channels_;
    int bitDepth_;
    std::size_t framesWritten_ = 0;
};

}  // namespace lw
