#include "audio/WAVWriter.h"

#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "audio/LibraryErrors.h"
#include "platform/AtomicFile.h"
#include "platform/FileSafety.h"

namespace fs = std::filesystem;

namespace lw {

WAVWriter::WriteError::WriteError(Kind kind, const fs::path& url, const std::string& detail)
    : Error("Could not write audio to " + url.filename().string() + ": " + detail), kind_(kind), url_(url) {}

struct WAVWriter::Impl {
    std::optional<AtomicFile> out;
    SNDFILE* file = nullptr;
};

namespace {
int subtypeFor(int bitDepth) {
    switch (bitDepth) {
        case 8: return SF_FORMAT_PCM_U8;
        case 16: return SF_FORMAT_PCM_16;
        case 24: return SF_FORMAT_PCM_24;
        case 32: return SF_FORMAT_PCM_32;
        default: return 0;
    }
}
}  // namespace

WAVWriter::WAVWriter(const fs::path& url, double sampleRate, int channels, int bitDepth)
    : impl_(std::make_unique<Impl>()), url_(url), sampleRate_(sampleRate), channels_(channels), bitDepth_(bitDepth) {
    using Kind = WriteError::Kind;
    int subtype = subtypeFor(bitDepth);
    if (subtype == 0) throw WriteError(Kind::openFailed, url, "unsupported bit depth " + std::to_string(bitDepth));
    if (channels < 1 || channels > 1024)
        throw WriteError(Kind::openFailed, url, "unsupported channel count " + std::to_string(channels));
    if (!(sampleRate >= 1 && sampleRate <= 1e7))
        throw WriteError(Kind::openFailed, url, "unsupported sample rate");

    checkDestination(url);  // a folder, device or fifo under that name is never replaced
    withLibraryErrorsAs([&] { impl_->out.emplace(url); },
                        [&](const std::string& reason) { return WriteError(Kind::openFailed, url, reason); });
    SF_INFO info{};
    info.samplerate = static_cast<int>(std::lround(sampleRate));
    info.channels = channels;
    // RF64 that falls back to a plain WAV header on close when the data stays under 4 GiB.
    info.format = SF_FORMAT_RF64 | subtype;
    impl_->file = sf_open(impl_->out->tempPath().c_str(), SFM_WRITE, &info);
    if (!impl_->file) {
        std::string detail = sf_strerror(nullptr);
        impl_->out.reset();
        throw WriteError(Kind::openFailed, url, detail);
    }
    sf_command(impl_->file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    sf_command(impl_->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
}

WAVWriter::~WAVWriter() {
    if (impl_ && impl_->file) {
        sf_close(impl_->file);
        impl_->file = nullptr;
    }
    // impl_->out discards the temporary file unless close() committed it.
}

bool WAVWriter::isOpen() const { return impl_->file != nullptr; }

void WAVWriter::write(std::span<const float> samples, std::size_t frames) {
    if (frames == 0 || !impl_->file) return;
    if (samples.size() / static_cast<std::size_t>(channels_) < frames)
        throw std::invalid_argument("WAVWriter::write: fewer samples than frames x channels");
    write(samples.data(), frames);
}

void WAVWriter::write(const float* samples, std::size_t frames) {
    if (frames == 0 || !impl_->file) return;
    sf_count_t n = sf_writef_float(impl_->file, samples, static_cast<sf_count_t>(frames));
    if (n != static_cast<sf_count_t>(frames))
        throw WriteError(WriteError::Kind::writeFailed, url_, sf_strerror(impl_->file));
    framesWritten_ += frames;
}

void WAVWriter::encode24(const float* samples, std::size_t count, unsigned char* out) {
    // As libsndfile does with clipping on: scaled to 32 bits, rounded to nearest, top three bytes.
    for (std::size_t i = 0; i < count; ++i) {
        const float scaled = samples[i] * 2147483648.0f;
        std::int32_t v;
        if (scaled >= 2147483647.0f) v = 0x7FFFFFFF;
        else if (scaled <= -2147483648.0f) v = static_cast<std::int32_t>(0x80000000u);
        else v = static_cast<std::int32_t>(std::lrintf(scaled));
        out[3 * i] = static_cast<unsigned char>(v >> 8);
        out[3 * i + 1] = static_cast<unsigned char>(v >> 16);
        out[3 * i + 2] = static_cast<unsigned char>(v >> 24);
    }
}

void WAVWriter::writeEncoded(const unsigned char* bytes, std::size_t frames) {
    if (frames == 0 || !impl_->file) return;
    if (bitDepth_ != 24) throw std::logic_error("WAVWriter::writeEncoded: the file is not 24-bit");
    const sf_count_t size = static_cast<sf_count_t>(frames * static_cast<std::size_t>(channels_) * 3);
    if (sf_write_raw(impl_->file, bytes, size) != size)
        throw WriteError(WriteError::Kind::writeFailed, url_, sf_strerror(impl_->file));
    framesWritten_ += frames;
}

void WAVWriter::close() {
    if (!impl_->file) return;
    SNDFILE* file = impl_->file;
    impl_->file = nullptr;
    if (int rc = sf_close(file); rc != 0)
        throw WriteError(WriteError::Kind::writeFailed, url_, sf_error_number(rc));
    withLibraryErrorsAs([&] { impl_->out->commit(); }, [&](const std::string& reason) {
        return WriteError(WriteError::Kind::writeFailed, url_, reason);
    });
}

}  // namespace lw
