#pragma once
// What the headers of a few audio containers state about the file, read by a small bounded
// parser of our own (FFmpeg shortens a stated length to what the file holds).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace lw::ContainerHeader {

// Reads up to `size` bytes at `offset` into `into`; returns how many were read.
using ReadAt = std::function<std::size_t(std::uint64_t offset, void* into, std::size_t size)>;

struct StatedData {
    std::uint64_t offset = 0;  // where the audio data begins
    std::uint64_t bytes = 0;   // its length as the header states it
    double bytesPerSecond = 0;
    double seconds() const { return static_cast<double>(bytes) / bytesPerSecond; }
};

// The audio data of a WAV (RIFF data chunk, RF64/BW64 ds64) or CAF (data chunk of constant-size
// packets) file. Nothing when the file is neither, the header is malformed, or it states no length:
// sizes of 0 or 0xFFFFFFFF (a WAV written while streaming), a CAF data size of -1.
std::optional<StatedData> statedData(const ReadAt& read, std::uint64_t fileSize);

// True for a file that starts as an ISO base media file (MP4, M4A, MOV: an "ftyp" box first) and
// holds no complete "moov" box, the index without which its media cannot be found.
bool isoMediaWithoutIndex(const ReadAt& read, std::uint64_t fileSize);

}  // namespace lw::ContainerHeader
