#include "audio/ContainerHeader.h"

#include <cmath>
#include <cstring>

namespace lw::ContainerHeader {

namespace {

// Chunks and boxes walked before giving up: headers hold a handful.
constexpr int kMaxChunks = 4096;

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint64_t le64(const unsigned char* p) { return le32(p) | static_cast<std::uint64_t>(le32(p + 4)) << 32; }
std::uint32_t be32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}
std::uint64_t be64(const unsigned char* p) { return static_cast<std::uint64_t>(be32(p)) << 32 | be32(p + 4); }

bool readExactly(const ReadAt& read, std::uint64_t offset, void* into, std::size_t size) {
    return read(offset, into, size) == size;
}

bool isID(const unsigned char* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

// Adds without wrapping; nothing when the sum passes 2^63.
std::optional<std::uint64_t> plus(std::uint64_t a, std::uint64_t b) {
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
    if (a > kLimit || b > kLimit - a) return std::nullopt;
    return a + b;
}

std::optional<StatedData> wav(const ReadAt& read, std::uint64_t fileSize, bool rf64) {
    std::optional<std::uint64_t> ds64Data;
    double bytesPerSecond = 0;
    std::uint64_t offset = 12;
    for (int n = 0; n < kMaxChunks; ++n) {
        unsigned char head[8];
        if (!readExactly(read, offset, head, sizeof head)) return std::nullopt;
        const std::uint32_t size = le32(head + 4);
        const std::uint64_t body = offset + 8;
        if (isID(head, "ds64")) {
            unsigned char ds64[16];
            if (size < sizeof ds64 || !readExactly(read, body, ds64, sizeof ds64)) return std::nullopt;
            ds64Data = le64(ds64 + 8);
        } else if (isID(head, "fmt ")) {
            unsigned char fmt[16];
            if (size < sizeof fmt || !readExactly(read, body, fmt, sizeof fmt)) return std::nullopt;
            const std::uint16_t tag = le16(fmt);
            const std::uint32_t rate = le32(fmt + 4), average = le32(fmt + 8);
            const std::uint16_t blockAlign = le16(fmt + 12);
            // Integer and float PCM (plain or extensible): whole frames of blockAlign bytes.
            const bool pcm = tag == 1 || tag == 3 || tag == 6 || tag == 7 || tag == 0xFFFE;
            bytesPerSecond = pcm && blockAlign > 0 && rate > 0 ? static_cast<double>(blockAlign) * rate : average;
        } else if (isID(head, "data")) {
            if (bytesPerSecond <= 0) return std::nullopt;
            std::uint64_t bytes = size;
            if (rf64 && size == 0xFFFFFFFFu) {
                if (!ds64Data) return std::nullopt;
                bytes = *ds64Data;
                if (bytes == ~std::uint64_t{0}) return std::nullopt;
            } else if (size == 0xFFFFFFFFu) {
                return std::nullopt;
            }
            if (bytes == 0) return std::nullopt;
            return StatedData{body, bytes, bytesPerSecond};
        }
        const auto next = plus(body, std::uint64_t{size} + (size & 1u));
        if (!next || *next >= fileSize) return std::nullopt;
        offset = *next;
    }
    return std::nullopt;
}

std::optional<StatedData> caf(const ReadAt& read, std::uint64_t fileSize) {
    double bytesPerSecond = 0;
    std::uint64_t offset = 8;
    for (int n = 0; n < kMaxChunks; ++n) {
        unsigned char head[12];
        if (!readExactly(read, offset, head, sizeof head)) return std::nullopt;
        const auto size = static_cast<std::int64_t>(be64(head + 4));
        const std::uint64_t body = offset + 12;
        if (isID(head, "desc")) {
            unsigned char desc[32];
            if (size < 32 || !readExactly(read, body, desc, sizeof desc)) return std::nullopt;
            double rate;
            const std::uint64_t bits = be64(desc);
            std::memcpy(&rate, &bits, sizeof rate);
            const std::uint32_t bytesPerPacket = be32(desc + 16), framesPerPacket = be32(desc + 20);
            // Packets of varying size state their length in the packet table, which FFmpeg reads.
            if (!(std::isfinite(rate) && rate > 0) || bytesPerPacket == 0 || framesPerPacket == 0) return std::nullopt;
            bytesPerSecond = static_cast<double>(bytesPerPacket) / framesPerPacket * rate;
        } else if (isID(head, "data")) {
            // -1: the data runs to the end of the file. The chunk begins with a 4-byte edit count.
            if (bytesPerSecond <= 0 || size < 4) return std::nullopt;
            if (size == 4) return std::nullopt;
            return StatedData{body + 4, static_cast<std::uint64_t>(size) - 4, bytesPerSecond};
        }
        if (size < 0) return std::nullopt;
        const auto next = plus(body, static_cast<std::uint64_t>(size));
        if (!next || *next >= fileSize) return std::nullopt;
        offset = *next;
    }
    return std::nullopt;
}

}  // namespace

std::optional<StatedData> statedData(const ReadAt& read, std::uint64_t fileSize) {
    unsigned char head[12];
    if (!readExactly(read, 0, head, sizeof head)) return std::nullopt;
    if ((isID(head, "RIFF") || isID(head, "RF64") || isID(head, "BW64")) && isID(head + 8, "WAVE"))
        return wav(read, fileSize, !isID(head, "RIFF"));
    if (isID(head, "caff") && head[4] == 0 && head[5] == 1) return caf(read, fileSize);
    return std::nullopt;
}

bool isoMediaWithoutIndex(const ReadAt& read, std::uint64_t fileSize) {
    unsigned char first[8];
    if (!readExactly(read, 0, first, sizeof first) || !isID(first + 4, "ftyp")) return false;
    std::uint64_t offset = 0;
    for (int n = 0; n < kMaxChunks && offset < fileSize; ++n) {
        unsigned char head[16];
        const std::size_t got = read(offset, head, sizeof head);
        if (got < 8) return true;  // a box header cut off
        std::uint64_t size = be32(head);
        if (size == 1) {  // 64-bit size after the type
            if (got < 16) return true;
            size = be64(head + 8);
        } else if (size == 0) {  // the box runs to the end of the file
            size = fileSize - offset;
        }
        if (size < 8) return true;  // not a box: damaged
        const auto end = plus(offset, size);
        if (!end || *end > fileSize) return true;  // the box runs past the end of the file
        if (isID(head + 4, "moov")) return false;
        offset = *end;
    }
    return offset >= fileSize;
}

}  // namespace lw::ContainerHeader
