#include "image/JpegEndMarker.h"

#include <cstdint>
#include <cstring>
#include <fstream>

#include "image/Image.h"
#include "image/VipsLog.h"

namespace lw {

namespace {

int freeBytes(void* data, void*) {
    g_free(data);
    return 0;
}

}  // namespace

std::optional<vips::VImage> decodedWithEndMarker(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) return std::nullopt;
    const std::streamoff size = in.tellg();
    if (size < 4) return std::nullopt;
    unsigned char head[2] = {}, tail[2] = {};
    in.seekg(0);
    in.read(reinterpret_cast<char*>(head), 2);
    in.seekg(size - 2);
    in.read(reinterpret_cast<char*>(tail), 2);
    if (!in || head[0] != 0xFF || head[1] != 0xD8 || (tail[0] == 0xFF && tail[1] == 0xD9)) return std::nullopt;

    const auto length = static_cast<std::size_t>(size);
    auto* bytes = static_cast<unsigned char*>(g_try_malloc(length + 2));
    if (!bytes) return std::nullopt;
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes), size)) {
        g_free(bytes);
        return std::nullopt;
    }
    bytes[length] = 0xFF;
    bytes[length + 1] = 0xD9;
    VipsBlob* blob = vips_blob_new(freeBytes, bytes, length + 2);
    VipsSource* source = vips_source_new_from_blob(blob);
    vips_area_unref(reinterpret_cast<VipsArea*>(blob));
    if (!source) return std::nullopt;
    routeVipsLog();
    // libvips notices a warning in the last strip only as a message after the read ("read gave
    // 1 warnings"), which it does not count as a failure: any message at all refuses the bytes.
    // The messages still reach the caller's sink.
    bool warned = false;
    VipsLogSink* const outer = ScopedVipsLogSink::current();
    VipsLogSink messages([&](const std::string& line) {
        warned = true;
        if (outer) outer->write(line);
    });
    std::optional<vips::VImage> pixels;
    {
        const ScopedVipsLogSink routed(&messages);
        try {
            const vips::VImage image = vips::VImage::new_from_source(
                vips::VSource(source), "",
                vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)->set("fail_on", VIPS_FAIL_ON_WARNING));
            pixels = vipsx::decoded(image);
        } catch (const vips::VError&) {
            vips_error_clear();
        }
    }
    if (warned) return std::nullopt;
    return pixels;
}

}  // namespace lw
