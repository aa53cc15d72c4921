#include "image/TiffWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>

namespace lw {

namespace {

// The file is little-endian and the samples go out in the host's order.
static_assert(std::endian::native == std::endian::little);

enum Type : std::uint16_t { tShort = 3, tLong = 4, tRational = 5 };

struct Entry {
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    std::array<std::uint8_t, 4> value{};  // inline value, or the offset of the values
};

std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
std::array<std::uint8_t, 4> inline16(std::uint16_t a, std::uint16_t b = 0) {
    return {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(b),
            static_cast<std::uint8_t>(b >> 8)};
}
std::array<std::uint8_t, 4> inline32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

std::size_t typeSize(std::uint16_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;     // byte, ascii, sbyte, undefined
        case 3: case 8: return 2;                     // short, sshort
        case 4: case 9: case 11: case 13: return 4;   // long, slong, float, ifd
        case 5: case 10: case 12: return 8;           // rational, srational, double
        default: return 0;
    }
}

// Tags that describe the pixels' layout: the image's own values replace any the block has.
bool structural(std::uint16_t tag) {
    switch (tag) {
        case 254: case 255: case 256: case 257: case 258: case 259: case 262: case 266: case 273: case 277:
        case 278: case 279: case 280: case 281: case 284: case 317: case 322: case 323: case 324: case 325:
        case 338: case 339: case 513: case 514: case 530: case 532:
            return true;
        default:
            return false;
    }
}

// The block's TIFF structure (little-endian) and its first directory's entries whose values lie
// inside it. A block that is missing or not of that shape gives an empty header and no entries.
std::vector<std::uint8_t> parseBlock(const std::vector<std::uint8_t>& block, std::vector<Entry>& entries) {
    static constexpr std::uint8_t exifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
    std::vector<std::uint8_t> tiff;
    if (block.size() >= 6 && std::memcmp(block.data(), exifHeader, 6) == 0)
        tiff.assign(block.begin() + 6, block.end());
    else
        tiff = block;
    const auto empty = [&] {
        entries.clear();
        return std::vector<std::uint8_t>{'I', 'I', 42, 0, 0, 0, 0, 0};
    };
    if (tiff.size() < 8 || tiff[0] != 'I' || tiff[1] != 'I' || get16(&tiff[2]) != 42) return empty();
    const std::uint32_t ifd = get32(&tiff[4]);
    if (ifd < 8 || static_cast<std::size_t>(ifd) + 2 > tiff.size()) return empty();
    const std::size_t count = get16(&tiff[ifd]);
    if (ifd + 2 + count * 12 > tiff.size()) return empty();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* p = &tiff[ifd + 2 + i * 12];
        Entry e;
        e.tag = get16(p);
        e.type = get16(p + 2);
        e.count = get32(p + 4);
        std::memcpy(e.value.data(), p + 8, 4);
        const std::size_t bytes = typeSize(e.type) * e.count;
        if (typeSize(e.type) == 0) continue;
        if (bytes > 4 && static_cast<std::size_t>(get32(p + 8)) + bytes > tiff.size()) continue;
        if (structural(e.tag)) continue;
        entries.push_back(e);
    }
    return tiff;
}

struct Sink {
    int fd = -1;
    std::size_t pixelBytes = 0;  // bytes of one pixel
    std::vector<std::uint8_t> buffer;
    int error = 0;

    bool flush() {
        std::size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::write(fd, buffer.data() + done, buffer.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                error = errno;
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        buffer.clear();
        return true;
    }
};

// Called by libvips with the image's areas in order from the top.
int writeArea(VipsRegion* region, VipsRect* area, void* data) {
    auto& sink = *static_cast<Sink*>(data);
    const std::size_t rowBytes = static_cast<std::size_t>(area->width) * sink.pixelBytes;
    for (int y = area->top; y < area->top + area->height; ++y) {
        const auto* row = reinterpret_cast<const std::uint8_t*>(VIPS_REGION_ADDR(region, area->left, y));
        sink.buffer.insert(sink.buffer.end(), row, row + rowBytes);
        if (sink.buffer.size() >= (4u << 20) && !sink.flush()) return -1;
    }
    return 0;
}

}  // namespace

bool writeTiffWithExif(const vips::VImage& pixels, const std::filesystem::path& file,
                       const std::vector<std::uint8_t>& exifBlock) {
    const int width = pixels.width(), height = pixels.height(), bands = pixels.bands();
    std::size_t sampleBytes = 0;
    std::uint16_t sampleFormat = 1;
    switch (pixels.format()) {
        case VIPS_FORMAT_UCHAR: sampleBytes = 1; break;
        case VIPS_FORMAT_USHORT: sampleBytes = 2; break;
        case VIPS_FORMAT_FLOAT: sampleBytes = 4; sampleFormat = 3; break;
        default: throw vips::VError("the TIFF writer takes 8-bit, 16-bit or float samples");
    }
    if (width <= 0 || height <= 0 || bands < 1 || bands > 4) throw vips::VError("the TIFF writer takes 1 to 4 bands");

    std::vector<Entry> entries;
    std::vector<std::uint8_t> head = parseBlock(exifBlock, entries);
    if (head.size() % 2) head.push_back(0);

    const std::size_t pixelBytes = sampleBytes * static_cast<std::size_t>(bands);
    const std::size_t rowBytes = pixelBytes * static_cast<std::size_t>(width);
    const std::size_t rowsPerStrip = std::clamp<std::size_t>((1u << 20) / rowBytes, 1, static_cast<std::size_t>(height));
    const std::size_t strips = (static_cast<std::size_t>(height) + rowsPerStrip - 1) / rowsPerStrip;
    const std::size_t pixelTotal = rowBytes * static_cast<std::size_t>(height);
    // Room for the directory and its arrays, generously.
    const std::size_t tableBytes = 8 * strips + 512 + 12 * entries.size();
    if (head.size() + tableBytes + pixelTotal >= std::numeric_limits<std::uint32_t>::max()) return false;

    // Values too long to sit in an entry go after the block, then the directory, then the pixels.
    std::vector<std::uint8_t> extra;
    const auto offsetOfExtra = [&] { return static_cast<std::uint32_t>(head.size() + extra.size()); };
    std::vector<Entry> tags;
    const auto add = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::array<std::uint8_t, 4> value) {
        tags.push_back(Entry{tag, type, count, value});
    };
    const auto shorts = [&](std::uint16_t tag, std::uint16_t v) {
        if (bands <= 2) {
            add(tag, tShort, static_cast<std::uint32_t>(bands), inline16(v, bands == 2 ? v : 0));
        } else {
            const std::uint32_t at = offsetOfExtra();
            for (int b = 0; b < bands; ++b) put16(extra, v);
            add(tag, tShort, static_cast<std::uint32_t>(bands), inline32(at));
        }
    };
    add(256, tLong, 1, inline32(static_cast<std::uint32_t>(width)));
    add(257, tLong, 1, inline32(static_cast<std::uint32_t>(height)));
    shorts(258, static_cast<std::uint16_t>(8 * sampleBytes));
    add(259, tShort, 1, inline16(1));
    add(262, tShort, 1, inline16(bands >= 3 ? 2 : 1));
    add(277, tShort, 1, inline16(static_cast<std::uint16_t>(bands)));
    add(278, tLong, 1, inline32(static_cast<std::uint32_t>(rowsPerStrip)));
    add(284, tShort, 1, inline16(1));
    if (bands == 2 || bands == 4) add(338, tShort, 1, inline16(2));  // unassociated alpha
    shorts(339, sampleFormat);
    const bool hasResolution = std::any_of(entries.begin(), entries.end(), [](const Entry& e) { return e.tag == 282; });
    if (!hasResolution) {
        const std::uint32_t at = offsetOfExtra();
        for (int i = 0; i < 2; ++i) {
            put32(extra, 72);
            put32(extra, 1);
        }
        add(282, tRational, 1, inline32(at));
        add(283, tRational, 1, inline32(at + 8));
        if (std::none_of(entries.begin(), entries.end(), [](const Entry& e) { return e.tag == 296; }))
            add(296, tShort, 1, inline16(2));
    }
    // Strip offsets and byte counts: placeholders until the pixels' offset is known.
    std::size_t offsetsAt = 0, countsAt = 0;
    if (strips == 1) {
        add(273, tLong, 1, inline32(0));
        add(279, tLong, 1, inline32(static_cast<std::uint32_t>(pixelTotal)));
    } else {
        offsetsAt = extra.size();
        extra.resize(extra.size() + 4 * strips);
        countsAt = extra.size();
        for (std::size_t s = 0; s < strips; ++s) {
            const std::size_t rows = std::min(rowsPerStrip, static_cast<std::size_t>(height) - s * rowsPerStrip);
            put32(extra, static_cast<std::uint32_t>(rows * rowBytes));
        }
        add(273, tLong, static_cast<std::uint32_t>(strips), inline32(static_cast<std::uint32_t>(head.size() + offsetsAt)));
        add(279, tLong, static_cast<std::uint32_t>(strips), inline32(static_cast<std::uint32_t>(head.size() + countsAt)));
    }
    for (const Entry& e : entries)
        if (std::none_of(tags.begin(), tags.end(), [&](const Entry& t) { return t.tag == e.tag; })) tags.push_back(e);
    std::sort(tags.begin(), tags.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    if (extra.size() % 2) extra.push_back(0);

    const std::size_t directoryAt = head.size() + extra.size();
    const std::size_t directoryBytes = 2 + 12 * tags.size() + 4;
    std::size_t pixelsAt = directoryAt + directoryBytes;
    pixelsAt = (pixelsAt + 15) / 16 * 16;
    for (std::size_t s = 0; s < strips; ++s) {
        const std::uint32_t at = static_cast<std::uint32_t>(pixelsAt + s * rowsPerStrip * rowBytes);
        if (strips == 1) {
            for (Entry& t : tags)
                if (t.tag == 273) t.value = inline32(at);
        } else {
            std::memcpy(&extra[offsetsAt + 4 * s], inline32(at).data(), 4);
        }
    }

    std::vector<std::uint8_t> front = std::move(head);
    std::memcpy(&front[4], inline32(static_cast<std::uint32_t>(directoryAt)).data(), 4);
    front.insert(front.end(), extra.begin(), extra.end());
    put16(front, static_cast<std::uint16_t>(tags.size()));
    for (const Entry& t : tags) {
        put16(front, t.tag);
        put16(front, t.type);
        put32(front, t.count);
        front.insert(front.end(), t.value.begin(), t.value.end());
    }
    put32(front, 0);  // no further directory
    front.resize(pixelsAt, 0);

    Sink sink;
    sink.pixelBytes = pixelBytes;
    sink.fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (sink.fd < 0) throw std::system_error(errno, std::generic_category(), "cannot write " + file.string());
    sink.buffer = std::move(front);
    sink.buffer.reserve(std::max<std::size_t>(sink.buffer.size(), 5u << 20));
    const int status = vips_sink_disc(pixels.get_image(), writeArea, &sink);
    const bool flushed = status == 0 && sink.flush();
    const int closeError = ::close(sink.fd) == 0 ? 0 : errno;
    if (sink.error || (flushed && closeError))
        throw std::system_error(sink.error ? sink.error : closeError, std::generic_category(), "cannot write " + file.string());
    if (status != 0) throw vips::VError();
    return true;
}

}  // namespace lw
