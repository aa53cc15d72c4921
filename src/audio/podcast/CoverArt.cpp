#include "audio/podcast/CoverArt.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <vips/vips8>

namespace fs = std::filesystem;

namespace lw::CoverArt {

namespace {

bool startVips() {
    static const bool ready = [] { return VIPS_INIT("lotwright") == 0; }();
    return ready;
}

// FFmpeg refuses pictures whose padded area does not fit its frame buffers (av_image_check_size,
// which would log the refusal itself).
bool ffmpegTakesSize(int width, int height) {
    return width > 0 && height > 0 &&
           static_cast<std::int64_t>(width + 128) * static_cast<std::int64_t>(height + 128) < INT_MAX / 8;
}

std::string sizeText(int width, int height) {
    return std::to_string(width) + " x " + std::to_string(height) + " pixels";
}

}  // namespace

Check check(const fs::path& cover, const Uses& uses) {
    Check result;
    if (!uses.rss && !uses.audiogram) return result;
    const std::string name = cover.filename().string();
    const std::string leftOut = "Cover art left out: " + name;

    std::error_code ec;
    if (!fs::exists(cover, ec)) {
        result.problem = "Cover art not found: " + name;
        return result;
    }
    if (fs::is_directory(cover, ec)) {
        result.problem = leftOut + " is a folder, not a picture";
        return result;
    }
    const int descriptor = ::open(cover.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        result.problem = leftOut + " cannot be read (" + std::strerror(errno) + ")";
        return result;
    }
    ::close(descriptor);

    int width = 0, height = 0;
    std::string loader;
    if (!startVips()) {
        result.problem = leftOut + " cannot be read (the picture library did not start)";
        return result;
    }
    try {
        // The header only: no pixel is decoded here.
        auto image =
            vips::VImage::new_from_file(cover.c_str(), vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        width = image.width();
        height = image.height();
        if (vips_image_get_typeof(image.get_image(), "vips-loader") != 0) loader = image.get_string("vips-loader");
    } catch (const vips::VError&) {
        vips_error_clear();
        result.problem = leftOut + " is not a picture";
        return result;
    }
    if (double(width) * double(height) > kMaxPixels) {
        result.problem = leftOut + " is too large (" + sizeText(width, height) + "; at most " +
                         std::to_string(static_cast<long long>(kMaxPixels / 1e6)) + " megapixels)";
        return result;
    }
    result.forAudiogram = uses.audiogram;
    if (!uses.rss) return result;

    // Without an audiogram the RSS file is all the cover was for.
    const std::string leftOutOfRSS =
        (uses.audiogram ? "Cover art left out of the RSS file: " : "Cover art left out: ") + name;
    if (uses.rssAsMP3) {
        const bool pngOrJpeg = loader.rfind("pngload", 0) == 0 || loader.rfind("jpegload", 0) == 0;
        if (!pngOrJpeg)
            result.problem = leftOutOfRSS + " is not a PNG or JPEG picture";
        else if (!ffmpegTakesSize(width, height))
            result.problem = leftOutOfRSS + " is too large (" + sizeText(width, height) + "; at most about " +
                             std::to_string(INT_MAX / 8 / 1000000) + " megapixels)";
        else
            result.forRSS = true;
    } else {
        const std::uintmax_t bytes = fs::file_size(cover, ec);
        if (!ec && bytes > kMaxM4ABytes) {
            char size[64];
            std::snprintf(size, sizeof size, "%.1f MB; at most %ju MB", double(bytes) / (1 << 20), kMaxM4ABytes >> 20);
            result.problem = leftOutOfRSS + " is too large (" + size + ")";
        } else {
            result.forRSS = true;
        }
    }
    return result;
}

}  // namespace lw::CoverArt
