#include "platform/Paths.h"
#include "image/CoreImagePipeline.h"
#include "image/TiffWriter.h"
#include "image/JpegEndMarker.h"
#include "image/VipsLog.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>

#include <fmt/format.h>
#include <libraw/libraw.h>

#include "platform/AtomicFile.h"
#include "platform/FileSafety.h"

namespace lw {

namespace fs = std::filesystem;
using vips::VImage;

struct Image::Source {
    fs::path path;
    std::string loader;  // libvips loader nickname, e.g. "jpegload"
};

void ensureVipsStarted() {
    static const bool started = [] {
        if (vips_init("lotwright") != 0) throw std::runtime_error("libvips failed to start");
        // Batch work runs many items at once: keep each pipeline's thread pool small and
        // do not cache operations (memory, and files that change between runs).
        unsigned hw = std::max(2u, std::thread::hardware_concurrency());
        vips_concurrency_set(static_cast<int>(std::max(2u, hw / 2)));
        vips_cache_set_max(0);
        vips_cache_set_max_mem(0);
        routeVipsLog();
        return true;
    }();
    (void)started;
}

namespace {


std::string firstLine(std::string s) {
    auto nl = s.find('\n');
    if (nl != std::string::npos) s.resize(nl);
    return s;
}

std::string tooLargeDetail(std::uint64_t w, std::uint64_t h) {
    return fmt::format("{} x {} pixels", w, h);
}

// Decoded file pixels -> upright sRGB, 8/16 bits.
VImage prepared(VImage img) {
    // An upright file keeps its decoded pixels as they are (no copy in the pipeline).
    const int orientation = img.get_typeof(VIPS_META_ORIENTATION) != 0 ? img.get_int(VIPS_META_ORIENTATION) : 1;
    if (orientation >= 2 && orientation <= 8) img = img.autorot();
    const int bits = vipsx::depthOf(img);
    if (img.get_typeof(VIPS_META_ICC_NAME) != 0 && bits != 32) {
        try {
            img = img.icc_transform("srgb", VImage::option()
                                                ->set("embedded", true)
                                                ->set("intent", VIPS_INTENT_PERCEPTUAL)
                                                ->set("depth", bits == 16 ? 16 : 8));
        } catch (const vips::VError&) {
            // An unusable profile: keep the pixels as they are.
        }
    }
    switch (img.interpretation()) {
        case VIPS_INTERPRETATION_CMYK:
        case VIPS_INTERPRETATION_LAB:
        case VIPS_INTERPRETATION_LABQ:
        case VIPS_INTERPRETATION_LABS:
        case VIPS_INTERPRETATION_LCH:
        case VIPS_INTERPRETATION_CMC:
        case VIPS_INTERPRETATION_XYZ:
        case VIPS_INTERPRETATION_YXY:
        case VIPS_INTERPRETATION_HSV:
        case VIPS_INTERPRETATION_scRGB:
            img = img.colourspace(bits == 8 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_RGB16);
            break;
        default:
            break;
    }
    return vipsx::toDepth(img, vipsx::depthOf(img));
}

std::optional<Image> loadRaw(const fs::path& from) {
    auto raw = std::make_unique<LibRaw>();
    if (raw->open_file(from.c_str()) != LIBRAW_SUCCESS) return std::nullopt;
    const std::uint64_t w = raw->imgdata.sizes.width, h = raw->imgdata.sizes.height;
    if (w * h > CoreImagePipeline::maxPixels)
        throw ImageError(ImageError::Kind::tooLarge, from, tooLargeDetail(w, h), w * h);
    auto& params = raw->imgdata.params;
    params.use_camera_wb = 1;
    params.output_bps = 16;
    params.output_color = 1;  // sRGB primaries
    params.gamm[0] = 1.0 / 2.4;
    params.gamm[1] = 12.92;
    if (raw->unpack() != LIBRAW_SUCCESS || raw->dcraw_process() != LIBRAW_SUCCESS) return std::nullopt;
    int err = 0;
    libraw_processed_image_t* out = raw->dcraw_make_mem_image(&err);
    if (!out) return std::nullopt;
    std::unique_ptr<libraw_processed_image_t, void (*)(libraw_processed_image_t*)> guard(out, LibRaw::dcraw_clear_mem);
    if (out->type != LIBRAW_IMAGE_BITMAP || out->bits != 16 || (out->colors != 3 && out->colors != 1)) return std::nullopt;
    VipsImage* img = vips_image_new_from_memory_copy(out->data, out->data_size, out->width, out->height, out->colors,
                                                     VIPS_FORMAT_USHORT);
    if (!img) return std::nullopt;
    ImageProperties props = readExifProperties(from);
    props[ImageProperty::pixelWidth] = raw->imgdata.sizes.width;
    props[ImageProperty::pixelHeight] = raw->imgdata.sizes.height;
    return Image(vipsx::toDepth(VImage(img), 16), std::move(props));
}

// Pixels ready for an encoder: colour space, bands and depth; alpha dropped (composited
// over black, as a premultiplied encoder would) unless `keepAlpha`.
VImage encodable(const Image& image, ColorSpace colorSpace, int bits, bool keepAlpha) {
    VImage px = image.convertedToSRGB().pixels();
    const bool alpha = px.bands() == 4;
    if (alpha && !keepAlpha) {
        VImage f = vipsx::toDepth(px, 32);
        px = f.extract_band(0, VImage::option()->set("n", 3)) * f.extract_band(3);
        px = px.cast(VIPS_FORMAT_FLOAT);
    }
    const bool outAlpha = alpha && keepAlpha;
    int bands = colorSpace == ColorSpace::gray ? (outAlpha ? 2 : 1) : (outAlpha ? 4 : 3);
    px = vipsx::toDepth(px, bits);
    return vipsx::withBands(px, bands);
}

std::vector<std::uint8_t> takeBlob(VipsBlob* blob) {
    auto* area = reinterpret_cast<VipsArea*>(blob);
    const auto* data = static_cast<const std::uint8_t*>(area->data);
    std::vector<std::uint8_t> bytes(data, data + area->length);
    vips_area_unref(area);
    return bytes;
}

// libvips' JPEG (written without metadata) with the EXIF block of `properties` as an APP1
// segment after the leading SOI and JFIF APP0 segments, in one copy of the encoded data
// (a metadata library would rewrite the whole file).
std::vector<std::uint8_t> jpegWithExif(VipsBlob* blob, const ImageProperties& properties, int width, int height) {
    auto* area = reinterpret_cast<VipsArea*>(blob);
    const auto* data = static_cast<const std::uint8_t*>(area->data);
    const std::size_t length = area->length;
    std::vector<std::uint8_t> exif;
    try {
        exif = encodeExifBlock(properties, width, height);
    } catch (...) {
        vips_area_unref(area);
        throw;
    }
    const std::size_t segment = exif.size() + 2;  // the length field counts itself
    if (length < 4 || data[0] != 0xFF || data[1] != 0xD8 || segment > 0xFFFF) {
        // Not the shape expected, or a block too large for one segment: the library decides.
        auto bytes = takeBlob(blob);
        embedExifProperties(bytes, properties, width, height);
        return bytes;
    }
    std::size_t at = 2;
    while (at + 4 <= length && data[at] == 0xFF && data[at + 1] == 0xE0)
        at += 2 + (static_cast<std::size_t>(data[at + 2]) << 8 | data[at + 3]);
    at = std::min(at, length);
    std::vector<std::uint8_t> out;
    out.reserve(length + 2 + segment);
    out.insert(out.end(), data, data + at);
    out.insert(out.end(), {0xFF, 0xE1, static_cast<std::uint8_t>(segment >> 8), static_cast<std::uint8_t>(segment & 0xFF)});
    out.insert(out.end(), exif.begin(), exif.end());
    out.insert(out.end(), data + at, data + length);
    vips_area_unref(area);
    return out;
}

int freeBlob(void* data, void*) {
    g_free(data);
    return 0;
}

int jpegQ(double quality) {
    if (!std::isfinite(quality)) quality = 0.75;
    return std::clamp(static_cast<int>(std::lround(quality * 100.0)), 1, 100);
}

}  // namespace

ImageError::ImageError(Kind kind, fs::path file, std::string detail, std::uint64_t pixels)
    : Error(kind == Kind::tooLarge
                ? fmt::format("Image {} is too large to decode ({}; the limit is {} megapixels)",
                              file.filename().string(), detail, CoreImagePipeline::maxPixels / 1'000'000)
                : fmt::format("Could not write image {}: {}", file.filename().string(), detail)),
      kind_(kind),
      file_(std::move(file)),
      pixels_(pixels) {}

CoreImagePipeline::CoreImagePipeline() { ensureVipsStarted(); }

CoreImagePipeline& CoreImagePipeline::shared() {
    static CoreImagePipeline instance;
    return instance;
}

std::optional<Image> CoreImagePipeline::loadImage(const fs::path& from) const {
    std::error_code ec;
    if (!fs::is_regular_file(from, ec)) return std::nullopt;
    try {
        if (isCameraRaw(from)) return loadRaw(from);
        // Sequential access: the decode runs on this thread when `decoded` reads it, so a
        // truncated file fails every time (a random-access load decodes on worker threads first,
        // and an error there can be lost).
        VImage img = VImage::new_from_file(
            from.c_str(),
            VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)->set("fail_on", VIPS_FAIL_ON_TRUNCATED));
        const std::uint64_t w = static_cast<std::uint64_t>(img.width()), h = static_cast<std::uint64_t>(img.height());
        if (w * h > maxPixels) throw ImageError(ImageError::Kind::tooLarge, from, tooLargeDetail(w, h), w * h);
        std::string loader;
        if (img.get_typeof(VIPS_META_LOADER) != 0) loader = img.get_string(VIPS_META_LOADER);
        ImageProperties props = readExifProperties(from);
        props[ImageProperty::pixelWidth] = img.width();
        props[ImageProperty::pixelHeight] = img.height();
        // A JPEG missing only its end marker is decoded with the marker put back (and not read
        // from its file again at a smaller size).
        const std::optional<VImage> completed = decodedWithEndMarker(from);
        if (completed) loader.clear();
        VImage pixels = completed ? *completed : vipsx::decoded(img);
        // The pixels are in memory now: drop the sequential-access mark they inherited, or
        // libvips would keep later resamplers of them to one row order (and one thread).
        vips_image_remove(pixels.get_image(), VIPS_META_SEQUENTIAL);
        Image out(prepared(pixels), std::move(props));
        out.source_ = std::make_shared<const Image::Source>(Image::Source{from, loader});
        return out;
    } catch (const vips::VError&) {
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

Image CoreImagePipeline::scaledToFit(const Image& image, double maxDimension) const {
    if (image.empty()) return image;
    const int w = image.width(), h = image.height();
    const double longest = std::max(w, h);
    if (!(longest > maxDimension) || !(maxDimension > 0)) return image;
    const double s = maxDimension / longest;
    const int tw = std::max(1, static_cast<int>(std::round(w * s)));
    const int th = std::max(1, static_cast<int>(std::round(h * s)));
    const int bits = image.bitsPerSample();

    VImage src = image.pixels();
    if (image.source_ && image.source_->loader == "jpegload") {
        // Decode-time DCT shrinking, leaving at least a factor of two for the Lanczos step.
        const double factor = longest / maxDimension;
        int shrink = factor >= 16 ? 8 : factor >= 8 ? 4 : factor >= 4 ? 2 : 1;
        // Both sides must keep at least their target size: the factor follows the longest side,
        // and a short side smaller than it would shrink to nothing (which libvips does not
        // survive).
        while (shrink > 1 && (w / shrink < tw || h / shrink < th)) shrink /= 2;
        if (shrink > 1) {
            try {
                src = prepared(VImage::new_from_file(
                    image.source_->path.c_str(),
                    VImage::option()->set("shrink", shrink)->set("fail_on", VIPS_FAIL_ON_TRUNCATED)));
            } catch (const vips::VError&) {
                src = image.pixels();
            }
        }
    }
    const bool alpha = src.bands() == 2 || src.bands() == 4;
    if (alpha) src = src.premultiply(VImage::option()->set("max_alpha", bits == 8 ? 255.0 : bits == 16 ? 65535.0 : 1.0));
    VImage out = src.resize(static_cast<double>(tw) / src.width(), VImage::option()
                                                                      ->set("vscale", static_cast<double>(th) / src.height())
                                                                      ->set("kernel", VIPS_KERNEL_LANCZOS3));
    if (alpha)
        out = out.unpremultiply(VImage::option()->set("max_alpha", bits == 8 ? 255.0 : bits == 16 ? 65535.0 : 1.0));
    if (out.format() != image.pixels().format())
        out = bits == 32 ? out.cast(VIPS_FORMAT_FLOAT) : (out + 0.5).cast(image.pixels().format());
    if (out.width() > tw || out.height() > th)
        out = out.extract_area(0, 0, std::min(tw, out.width()), std::min(th, out.height()));
    if (out.width() != tw || out.height() != th)
        out = out.embed(0, 0, tw, th, VImage::option()->set("extend", VIPS_EXTEND_COPY));
    const ImageRect e = image.extent();
    return Image(vipsx::toDepth(out, bits), image.properties(), static_cast<int>(std::round(e.x * s)),
                 static_cast<int>(std::round(e.y * s)));
}

std::optional<std::vector<std::uint8_t>> CoreImagePipeline::jpegData(const Image& ciImage, double quality,
                                                                     const std::optional<ImageProperties>& properties,
                                                                     ColorSpace colorSpace) const {
    if (ciImage.empty()) return std::nullopt;
    try {
        ImageProperties props = uprightProperties(properties ? *properties : ciImage.properties());
        VImage px = encodable(ciImage, colorSpace, 8, false);
        return jpegWithExif(px.jpegsave_buffer(VImage::option()->set("Q", jpegQ(quality))->set("strip", true)), props,
                            px.width(), px.height());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void CoreImagePipeline::write(const Image& ciImage, const fs::path& to, PixelFormat format, ColorSpace colorSpace,
                              double quality, const std::optional<ImageProperties>& properties) const {
    if (to.has_parent_path()) {
        std::error_code ec;
        fs::create_directories(to.parent_path(), ec);
        if (ec || !fs::is_directory(to.parent_path()))
            throw ImageError(ImageError::Kind::writeFailed, to,
                             "cannot create the folder " + to.parent_path().string() + " (" +
                                 (ec ? writeFailureReason(to.parent_path(), ec) : std::string("a file is in the way")) +
                                 ")");
    }
    if (ciImage.empty()) throw ImageError(ImageError::Kind::writeFailed, to, "the image is empty");
    try {
        checkDestination(to);
    } catch (const DestinationError& e) {
        throw ImageError(ImageError::Kind::writeFailed, to, e.kind == DestinationError::Kind::notRegularFile
                                                                ? "something that is not a regular file has that name"
                                                                : writeFailureReason(to, std::make_error_code(
                                                                                             std::errc::filename_too_long)));
    }
    const ImageProperties props = uprightProperties(properties ? *properties : ciImage.properties());
    const std::string ext = lowerExtension(to);
    const int deepBits = format == PixelFormat::RGBA8 ? 8 : 16;
    AtomicFile out(to);
    const std::string temp = out.tempPath().string();
    try {
        if (ext == "png") {
            VImage px = encodable(ciImage, colorSpace, deepBits, true);
            px.pngsave(temp.c_str(), VImage::option()->set("strip", true));
            embedExifProperties(out.tempPath(), props, px.width(), px.height());
        } else if (ext == "heic" || ext == "heif") {
            VImage px = encodable(ciImage, colorSpace == ColorSpace::gray ? ColorSpace::sRGB : colorSpace, 8, true).copy();
            for (const char* field : {VIPS_META_ICC_NAME, VIPS_META_XMP_NAME, VIPS_META_IPTC_NAME, VIPS_META_ORIENTATION})
                vips_image_remove(px.get_image(), field);
            auto exif = encodeExifBlock(props, px.width(), px.height());
            void* blob = g_memdup2(exif.data(), exif.size());
            vips_image_set_blob(px.get_image(), VIPS_META_EXIF_NAME, freeBlob, blob,
                                exif.size());
            px.heifsave(temp.c_str(), VImage::option()->set("Q", jpegQ(quality)));
        } else if (ext == "tiff" || ext == "tif") {
            VImage px = encodable(ciImage, colorSpace, format == PixelFormat::RGBAf ? 32 : deepBits, true);
            if (!writeTiffWithExif(px, out.tempPath(), encodeExifBlock(props, px.width(), px.height()))) {
                px.tiffsave(temp.c_str(), VImage::option()->set("strip", true));
                embedExifProperties(out.tempPath(), props, px.width(), px.height());
            }
        } else {
            VImage px = encodable(ciImage, colorSpace, 8, false);
            px.jpegsave(temp.c_str(), VImage::option()->set("Q", jpegQ(quality))->set("strip", true));
            embedExifProperties(out.tempPath(), props, px.width(), px.height());
        }
    } catch (const vips::VError& e) {
        throw ImageError(ImageError::Kind::writeFailed, to, firstLine(e.what()));
    } catch (const ImageError&) {
        throw;
    } catch (const std::system_error& e) {
        throw ImageError(ImageError::Kind::writeFailed, to, writeFailureReason(to, e.code()));
    } catch (const std::runtime_error& e) {
        throw ImageError(ImageError::Kind::writeFailed, to, firstLine(e.what()));
    } catch (const std::bad_alloc&) {
        throw ImageError(ImageError::Kind::writeFailed, to, "there is not enough memory");
    }
    try {
        out.commit();
    } catch (const DestinationError& e) {
        throw ImageError(ImageError::Kind::writeFailed, to, e.what());
    }
}

ImageProperties CoreImagePipeline::uprightProperties(const ImageProperties& properties) {
    ImageProperties out = properties.is_object() ? properties : ImageProperties::object();
    out[ImageProperty::orientation] = 1;
    if (auto it = out.find(ImageProperty::tiffDictionary); it != out.end() && it->is_object())
        (*it)[ImageProperty::tiffOrientation] = 1;
    out.erase(ImageProperty::pixelWidth);
    out.erase(ImageProperty::pixelHeight);
    return out;
}

}  // namespace lw
