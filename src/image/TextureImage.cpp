#include "image/TextureImage.h"

#include <tbb/parallel_for.h>
#include <vips/vips8>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>

#include "image/Image.h"
#include "image/JpegEndMarker.h"
#include "image/VipsLog.h"
#include "platform/AtomicFile.h"

namespace lw {

namespace {

void ensureVips() {
    static const bool started = [] {
        if (VIPS_INIT("lotwright") != 0) return false;
        routeVipsLog();
        return true;
    }();
    (void)started;
}

vips::VImage openImage(const std::filesystem::path& file) {
    ensureVips();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        throw TextureImageError(TextureImageError::Kind::unreadable, file, "no such file");
    vips::VImage image;
    try {
        image = vips::VImage::new_from_file(
            file.c_str(),
            vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)->set("fail_on", VIPS_FAIL_ON_ERROR));
    } catch (const vips::VError&) {
        vips_error_clear();
        throw TextureImageError(TextureImageError::Kind::unreadable, file);
    }
    // The size comes from the header: refuse before a single pixel is decoded.
    if (image.width() < 1 || image.height() < 1)
        throw TextureImageError(TextureImageError::Kind::unreadable, file);
    if (static_cast<std::int64_t>(image.width()) * image.height() > maxTexturePixels)
        throw TextureImageError(TextureImageError::Kind::tooLarge, file);
    try {
        // A JPEG missing only its end marker is decoded with the marker put back.
        const std::optional<vips::VImage> completed = decodedWithEndMarker(file);
        image = shownUpright(completed ? *completed : vipsx::decoded(image));
    } catch (const vips::VError&) {
        vips_error_clear();
        throw TextureImageError(TextureImageError::Kind::unreadable, file);
    } catch (const std::bad_alloc&) {
        throw TextureImageError(TextureImageError::Kind::tooLarge, file, "not enough memory to decode it");
    }
    return image;
}

// Maximum stored value of a band format, used to bring samples to 0...1.
double formatScale(VipsBandFormat format) {
    switch (format) {
        case VIPS_FORMAT_UCHAR: return 255.0;
        case VIPS_FORMAT_CHAR: return 127.0;
        case VIPS_FORMAT_USHORT: return 65535.0;
        case VIPS_FORMAT_SHORT: return 32767.0;
        case VIPS_FORMAT_UINT: return 4294967295.0;
        case VIPS_FORMAT_INT: return 2147483647.0;
        default: return 1.0;
    }
}

bool hasAlpha(const vips::VImage& image) {
    const int bands = image.bands();
    return bands == 2 || bands == 4 || (bands == 5 && image.interpretation() == VIPS_INTERPRETATION_CMYK);
}

// Bring CMYK, Lab and other non-RGB colour encodings to sRGB; grey and RGB stay as stored.
vips::VImage storedRgbOrGrey(vips::VImage image) {
    const auto interp = image.interpretation();
    if (interp == VIPS_INTERPRETATION_CMYK || interp == VIPS_INTERPRETATION_LAB ||
        interp == VIPS_INTERPRETATION_LABS || interp == VIPS_INTERPRETATION_XYZ ||
        interp == VIPS_INTERPRETATION_LCH) {
        image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    }
    return image;
}

template <class T>
Raster<T> toRaster(const vips::VImage& image) {
    Raster<T> out(image.width(), image.height(), image.bands());
    size_t size = 0;
    void* memory = nullptr;
    try {
        memory = image.write_to_memory(&size);
    } catch (const vips::VError&) {
        vips_error_clear();
        throw;
    }
    if (size != out.pixels.size() * sizeof(T)) {
        g_free(memory);
        throw vips::VError("unexpected pixel buffer size");
    }
    std::memcpy(out.pixels.data(), memory, size);
    g_free(memory);
    return out;
}

vips::VImage fitExactly(vips::VImage image, int width, int height) {
    if (image.width() == width && image.height() == height) return image;
    const double sx = static_cast<double>(width) / image.width();
    const double sy = static_cast<double>(height) / image.height();
    image = image.resize(sx, vips::VImage::option()->set("vscale", sy)->set("kernel", VIPS_KERNEL_LANCZOS3));
    if (image.width() != width || image.height() != height) {
        // Rounding inside the resampler can leave a pixel more or less.
        if (image.width() > width || image.height() > height)
            image = image.extract_area(0, 0, std::min(width, image.width()), std::min(height, image.height()));
        if (image.width() < width || image.height() < height)
            image = image.embed(0, 0, width, height, vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
    }
    return image;
}

// ---- PNG writing: rows filtered, strips deflated in parallel and joined into one zlib stream.

constexpr int stripRows = 64;

// Filters one row with "sub" or "up", whichever output has the smaller sum of absolute values
// (the usual PNG heuristic, restricted to the two filters that vectorise well).
void filterRow(const std::uint8_t* row, const std::uint8_t* prev, std::size_t length, std::size_t bpp,
               std::uint8_t* out) {
    std::uint8_t* sub = out + 1;
    for (std::size_t i = 0; i < std::min(bpp, length); ++i) sub[i] = row[i];
    for (std::size_t i = bpp; i < length; ++i) sub[i] = static_cast<std::uint8_t>(row[i] - row[i - bpp]);
    out[0] = 1;
    if (!prev) return;
    std::uint32_t sumSub = 0, sumUp = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const auto s8 = static_cast<std::int8_t>(sub[i]);
        const auto u8 = static_cast<std::int8_t>(static_cast<std::uint8_t>(row[i] - prev[i]));
        sumSub += static_cast<std::uint32_t>(s8 < 0 ? -s8 : s8);
        sumUp += static_cast<std::uint32_t>(u8 < 0 ? -u8 : u8);
    }
    if (sumUp < sumSub) {
        out[0] = 2;
        for (std::size_t i = 0; i < length; ++i) sub[i] = static_cast<std::uint8_t>(row[i] - prev[i]);
    }
}

void putBE32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void putChunk(std::vector<std::uint8_t>& out, const char* type, const std::uint8_t* data, std::size_t length) {
    putBE32(out, static_cast<std::uint32_t>(length));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    if (length) out.insert(out.end(), data, data + length);
    const uLong crc = crc32(0L, out.data() + start, static_cast<uInt>(4 + length));
    putBE32(out, static_cast<std::uint32_t>(crc));
}

// rowBytes(y) gives a pointer to the unfiltered bytes of row y (big-endian samples).
template <class RowFn>
std::vector<std::uint8_t> encodePngRows(int width, int height, int channels, int bitDepth, RowFn rowBytes,
                                        PngOptions options) {
    static const int colorTypes[] = {0, 0, 4, 2, 6};
    if (width < 1 || height < 1 || channels < 1 || channels > 4) throw std::invalid_argument("bad PNG geometry");
    const std::size_t bpp = static_cast<std::size_t>(channels) * (bitDepth / 8);
    const std::size_t length = bpp * static_cast<std::size_t>(width);
    const int level = std::clamp(options.compression, 0, 9);
    const int strips = (height + stripRows - 1) / stripRows;

    // Each strip is filtered, then deflated as raw blocks ending on a byte boundary (sync flush),
    // primed with the previous 32 KiB of filtered data so the join loses little compression.
    std::vector<std::vector<std::uint8_t>> filtered(static_cast<std::size_t>(strips));
    tbb::parallel_for(0, strips, [&](int s) {
        const int y0 = s * stripRows, y1 = std::min(height, y0 + stripRows);
        auto& buf = filtered[static_cast<std::size_t>(s)];
        buf.resize(static_cast<std::size_t>(y1 - y0) * (length + 1));
        for (int y = y0; y < y1; ++y) {
            filterRow(rowBytes(y), y > 0 ? rowBytes(y - 1) : nullptr, length, bpp,
                      buf.data() + static_cast<std::size_t>(y - y0) * (length + 1));
        }
    });
    std::vector<std::vector<std::uint8_t>> deflated(static_cast<std::size_t>(strips));
    std::vector<uLong> adlers(static_cast<std::size_t>(strips));
    tbb::parallel_for(0, strips, [&](int s) {
        const auto& in = filtered[static_cast<std::size_t>(s)];
        z_stream z{};
        if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("deflateInit2 failed");
        if (s > 0 && level > 0) {
            const auto& prev = filtered[static_cast<std::size_t>(s - 1)];
            const std::size_t dict = std::min<std::size_t>(32768, prev.size());
            deflateSetDictionary(&z, prev.data() + prev.size() - dict, static_cast<uInt>(dict));
        }
        auto& out = deflated[static_cast<std::size_t>(s)];
        out.resize(deflateBound(&z, static_cast<uLong>(in.size())) + 16);
        z.next_in = const_cast<Bytef*>(in.data());
        z.avail_in = static_cast<uInt>(in.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        const int flush = s == strips - 1 ? Z_FINISH : Z_SYNC_FLUSH;
        const int rc = deflate(&z, flush);
        const bool ok = flush == Z_FINISH ? rc == Z_STREAM_END : rc == Z_OK;
        out.resize(out.size() - z.avail_out);
        deflateEnd(&z);
        if (!ok || z.avail_in != 0) throw std::runtime_error("deflate failed");
        adlers[static_cast<std::size_t>(s)] = adler32(adler32(0L, nullptr, 0), in.data(), static_cast<uInt>(in.size()));
    });
    uLong adler = adlers[0];
    for (std::size_t s = 1; s < adlers.size(); ++s)
        adler = adler32_combine(adler, adlers[s], static_cast<z_off_t>(filtered[s].size()));

    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> ihdr;
    putBE32(ihdr, static_cast<std::uint32_t>(width));
    putBE32(ihdr, static_cast<std::uint32_t>(height));
    ihdr.push_back(static_cast<std::uint8_t>(bitDepth));
    ihdr.push_back(static_cast<std::uint8_t>(colorTypes[channels]));
    ihdr.push_back(0);
    ihdr.push_back(0);
    ihdr.push_back(0);
    putChunk(png, "IHDR", ihdr.data(), ihdr.size());

    std::vector<std::uint8_t> stream = {0x78, 0x01};
    std::size_t total = 2 + 4;
    for (const auto& d : deflated) total += d.size();
    stream.reserve(total);
    for (const auto& d : deflated) stream.insert(stream.end(), d.begin(), d.end());
    putBE32(stream, static_cast<std::uint32_t>(adler));
    constexpr std::size_t idatMax = 1u << 30;
    for (std::size_t at = 0; at < stream.size(); at += idatMax)
        putChunk(png, "IDAT", stream.data() + at, std::min(idatMax, stream.size() - at));
    putChunk(png, "IEND", nullptr, 0);
    return png;
}

std::vector<std::uint8_t> encode16(const Raster16& image, PngOptions options) {
    const std::size_t rowSamples = static_cast<std::size_t>(image.width) * image.channels;
    std::vector<std::uint8_t> bigEndian(image.pixels.size() * 2);
    tbb::parallel_for(0, image.height, [&](int y) {
        const std::uint16_t* in = image.row(y);
        std::uint8_t* out = bigEndian.data() + static_cast<std::size_t>(y) * rowSamples * 2;
        for (std::size_t i = 0; i < rowSamples; ++i) {
            out[2 * i] = static_cast<std::uint8_t>(in[i] >> 8);
            out[2 * i + 1] = static_cast<std::uint8_t>(in[i]);
        }
    });
    return encodePngRows(
        image.width, image.height, image.channels, 16,
        [&](int y) { return bigEndian.data() + static_cast<std::size_t>(y) * rowSamples * 2; }, options);
}

void writeBytes(const std::vector<std::uint8_t>& bytes, const std::filesystem::path& destination) {
    try {
        writeFileAtomically(destination, std::span<const std::uint8_t>(bytes.data(), bytes.size()));
    } catch (const std::exception& e) {
        throw TextureImageError(TextureImageError::Kind::unwritable, destination, e.what());
    }
}

}  // namespace

TextureImageError::TextureImageError(Kind kind, std::filesystem::path file, const std::string& detail)
    : Error(kind == Kind::tooLarge
                ? "Texture image " + file.filename().string() +
                      (detail.empty() ? " is larger than " + std::to_string(maxTexturePixels / 1'000'000) + " megapixels."
                                      : " is too large (" + detail + ").")
            : kind == Kind::unwritable
                ? "Could not write texture image " + file.filename().string() +
                      (detail.empty() ? std::string(".") : " (" + detail + ").")
                : "Could not read texture image " + file.filename().string() +
                      (detail.empty() ? std::string(".") : " (" + detail + ")."))
    , kind(kind)
    , file(std::move(file))
    , reason(kind == Kind::tooLarge
                 ? (detail.empty() ? "It is larger than " + std::to_string(maxTexturePixels / 1'000'000) +
                                         " megapixels."
                                   : "It is too large: " + detail + ".")
             : kind == Kind::unwritable ? (detail.empty() ? std::string("It could not be written.")
                                                          : "It could not be written: " + detail + ".")
             : detail.empty() ? std::string("It is not an image that can be read, or it is damaged.")
             : detail == "no such file" ? std::string("There is no such file.")
                                        : "It could not be read: " + detail + ".") {}

namespace {

int storedOrientation(const vips::VImage& image) {
    if (image.get_typeof(VIPS_META_ORIENTATION) == 0) return 1;
    const int orientation = image.get_int(VIPS_META_ORIENTATION);
    return orientation >= 1 && orientation <= 8 ? orientation : 1;
}

}  // namespace

vips::VImage shownUpright(const vips::VImage& image) {
    // libvips reports a TGA's origin corner as the matching orientation (bottom-left is 4).
    return storedOrientation(image) == 1 ? image : image.autorot();
}

std::optional<TextureSize> readTextureSize(const std::filesystem::path& file) {
    ensureVips();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return std::nullopt;
    try {
        auto image = vips::VImage::new_from_file(file.c_str(),
                                                 vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        if (image.width() < 1 || image.height() < 1) return std::nullopt;
        if (storedOrientation(image) >= 5) return TextureSize{image.height(), image.width()};  // turned a quarter
        return TextureSize{image.width(), image.height()};
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

RasterF loadDataMap(const std::filesystem::path& file, std::optional<TextureSize> target) {
    vips::VImage image = openImage(file);
    if (target && (target->width < 1 || target->height < 1 ||
                   static_cast<std::int64_t>(target->width) * target->height > maxTexturePixels))
        throw TextureImageError(TextureImageError::Kind::tooLarge, file);
    try {
        image = storedRgbOrGrey(image);
        const double scale = formatScale(image.format());
        const int colourBands = image.bands() - (hasAlpha(image) ? 1 : 0);
        if (colourBands >= 3) {
            image = image.extract_band(0, vips::VImage::option()->set("n", 3))
                        .cast(VIPS_FORMAT_FLOAT)
                        .recomb(vips::VImage::new_matrixv(3, 1, 0.2126, 0.7152, 0.0722));
        } else {
            image = image.extract_band(0).cast(VIPS_FORMAT_FLOAT);
        }
        if (scale != 1.0) image = image.linear(1.0 / scale, 0.0);
        image = image.cast(VIPS_FORMAT_FLOAT);
        if (target) image = fitExactly(image, target->width, target->height);
        RasterF out = toRaster<float>(image);
        tbb::parallel_for(0, out.height, [&](int y) {
            float* row = out.row(y);
            for (int x = 0; x < out.width; ++x) {
                const float v = row[x];
                row[x] = std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f);
            }
        });
        return out;
    } catch (const vips::VError&) {
        vips_error_clear();
        throw TextureImageError(TextureImageError::Kind::unreadable, file);
    }
}

ColorRaster loadColorRaster(const std::filesystem::path& file, ColorLoadOptions options) {
    vips::VImage image = openImage(file);
    try {
        image = storedRgbOrGrey(image);
        const bool alpha = hasAlpha(image);
        const int colourBands = image.bands() - (alpha ? 1 : 0);
        vips::VImage colour = colourBands >= 3 ? image.extract_band(0, vips::VImage::option()->set("n", 3))
                                               : vips::VImage::bandjoin({image.extract_band(0), image.extract_band(0), image.extract_band(0)});
        if (alpha) colour = colour.bandjoin(image.extract_band(image.bands() - 1));
        const auto format = image.format();
        if (format == VIPS_FORMAT_UCHAR) return toRaster<std::uint8_t>(colour.copy(vips::VImage::option()->set("format", VIPS_FORMAT_UCHAR)));
        if (format == VIPS_FORMAT_USHORT) return toRaster<std::uint16_t>(colour);
        // Anything else is brought to 16 bits.
        const double scale = formatScale(format);
        colour = colour.cast(VIPS_FORMAT_FLOAT);
        // libvips hands EXR alpha over as 0...255 beside colour in 0...1.
        if (alpha && image.get_typeof(VIPS_META_LOADER) != 0 &&
            std::string(image.get_string(VIPS_META_LOADER)) == "openexrload")
            colour = colour.extract_band(0, vips::VImage::option()->set("n", 3)).bandjoin(colour.extract_band(3) / 255.0);
        if (options.linearToSRGB && (format == VIPS_FORMAT_FLOAT || format == VIPS_FORMAT_DOUBLE)) {
            // The sRGB curve on the colour bands, clamped to 0...1 first (HDR highlights clip).
            vips::VImage rgb = colour.extract_band(0, vips::VImage::option()->set("n", 3));
            rgb = (rgb < 0.0).ifthenelse(0.0, (rgb > 1.0).ifthenelse(1.0, rgb));
            rgb = (rgb <= 0.0031308).ifthenelse(rgb * 12.92, rgb.pow(1.0 / 2.4) * 1.055 - 0.055);
            colour = alpha ? rgb.bandjoin(colour.extract_band(3)) : rgb;
        }
        colour = colour.linear(65535.0 / scale, 0.0);
        Raster16 out(colour.width(), colour.height(), colour.bands());
        RasterF f = toRaster<float>(colour.cast(VIPS_FORMAT_FLOAT));
        tbb::parallel_for(0, f.height, [&](int y) {
            const float* in = f.row(y);
            std::uint16_t* o = out.row(y);
            for (std::size_t i = 0; i < static_cast<std::size_t>(f.width) * f.channels; ++i) {
                const float v = std::isnan(in[i]) ? 0.0f : std::clamp(in[i], 0.0f, 65535.0f);
                o[i] = static_cast<std::uint16_t>(std::lround(v));
            }
        });
        return out;
    } catch (const vips::VError&) {
        vips_error_clear();
        throw TextureImageError(TextureImageError::Kind::unreadable, file);
    }
}

namespace {

template <class T>
Raster<T> resizeImpl(const Raster<T>& image, TextureSize size) {
    ensureVips();
    if (size.width < 1 || size.height < 1 || static_cast<std::int64_t>(size.width) * size.height > maxTexturePixels)
        throw TextureImageError(TextureImageError::Kind::tooLarge, "resized image");
    if (image.width == size.width && image.height == size.height) return image;
    const VipsBandFormat format = sizeof(T) == 1 ? VIPS_FORMAT_UCHAR : VIPS_FORMAT_USHORT;
    vips::VImage in = vips::VImage::new_from_memory(const_cast<T*>(image.pixels.data()), image.pixels.size() * sizeof(T),
                                                    image.width, image.height, image.channels, format);
    const bool alpha = image.channels == 2 || image.channels == 4;
    const double maxAlpha = sizeof(T) == 1 ? 255.0 : 65535.0;
    vips::VImage work = in.cast(VIPS_FORMAT_FLOAT);
    if (alpha) work = work.premultiply(vips::VImage::option()->set("max_alpha", maxAlpha));
    work = fitExactly(work, size.width, size.height);
    if (alpha) work = work.unpremultiply(vips::VImage::option()->set("max_alpha", maxAlpha));
    work = (work + 0.5).cast(format, vips::VImage::option()->set("shift", false));
    return toRaster<T>(work);
}

}  // namespace

Raster8 resizeRaster(const Raster8& image, TextureSize size) { return resizeImpl(image, size); }
Raster16 resizeRaster(const Raster16& image, TextureSize size) { return resizeImpl(image, size); }

std::vector<std::uint8_t> encodePng(const Raster8& image, PngOptions options) {
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * image.channels;
    return encodePngRows(
        image.width, image.height, image.channels, 8,
        [&](int y) { return image.pixels.data() + static_cast<std::size_t>(y) * rowBytes; }, options);
}

std::vector<std::uint8_t> encodePng(const Raster16& image, PngOptions options) { return encode16(image, options); }

void writePng(const Raster8& image, const std::filesystem::path& destination, PngOptions options) {
    writeBytes(encodePng(image, options), destination);
}

void writePng(const Raster16& image, const std::filesystem::path& destination, PngOptions options) {
    writeBytes(encode16(image, options), destination);
}

}  // namespace lw
