#pragma once
// The one image context the image verticals share: load upright, scale to fit, encode JPEG
// in memory, write by extension, and make metadata describe an upright image.
//
// Holds no mutable state after construction; every member is safe to call from many
// threads at once. libvips is started by the first shared() (thread-safe).
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "image/Image.h"
#include "image/ImageProperties.h"
#include "platform/Error.h"

namespace lw {

// Output colour space of an encoder: sRGB writes RGB (or RGBA), gray one grey band (plus
// alpha where the format keeps it).
enum class ColorSpace { sRGB, gray };

// Pixel format for writers that honour it (PNG, TIFF): 8 or 16 bits per sample; half and
// float become 16-bit PNG, float TIFF. JPEG and HEIF are always 8-bit.
enum class PixelFormat { RGBA8, RGBA16, RGBAh, RGBAf };

class ImageError : public Error {
public:
    enum class Kind {
        tooLarge,      // over the decode limit; refused before any pixel is allocated
        writeFailed,   // the encoder or the metadata writer failed
    };
    ImageError(Kind kind, std::filesystem::path file, std::string detail, std::uint64_t pixels = 0);

    Kind kind() const { return kind_; }
    const std::filesystem::path& file() const { return file_; }
    std::uint64_t pixels() const { return pixels_; }

private:
    Kind kind_;
    std::filesystem::path file_;
    std::uint64_t pixels_;
};

class CoreImagePipeline {
public:
    // Images over this many pixels are refused by the decoders.
    static constexpr std::uint64_t maxPixels = 400'000'000;

    CoreImagePipeline();
    static CoreImagePipeline& shared();

    // The picture of a file, upright (EXIF orientation applied), sRGB, 8 or 16 bits.
    // Formats are recognised by content; cr2, cr3, nef, arw and dng go through libraw (camera
    // white balance, 16-bit sRGB). Pixels are decoded lazily. properties() carries the file's
    // metadata (orientation as stored). Nothing when the file cannot be read or decoded.
    // Throws ImageError(tooLarge) for images over maxPixels, before decoding.
    // Decoding is strict: a truncated or corrupt file that passes the header read makes
    // later rendering fail (jpegData gives nothing, write throws) instead of yielding grey.
    std::optional<Image> loadImage(const std::filesystem::path& from) const;

    // Lanczos-3 downscale so the longest side fits `maxDimension`; never enlarges (the image
    // itself comes back when it already fits). Output size: width x s and height x s each
    // rounded half away from zero, s = maxDimension / longest side. Edges repeat.
    Image scaledToFit(const Image& image, double maxDimension) const;

    // A complete JPEG file; `properties` (or the image's own) made upright and embedded.
    // `quality` 0...1. Nothing when encoding fails (also when decoding the source fails).
    std::optional<std::vector<std::uint8_t>> jpegData(const Image& ciImage, double quality,
                                                      const std::optional<ImageProperties>& properties,
                                                      ColorSpace colorSpace) const;

    // Writes `ciImage` at `to`, encoder chosen by the lower-cased extension: "png" PNG
    // (quality ignored), "heic"/"heif" HEIF, "tiff"/"tif" TIFF (quality ignored), anything
    // else JPEG; the name is never changed. Missing parent folders are created first
    // (std::filesystem::filesystem_error when that fails; nothing is written). The file is
    // written under a temporary name beside `to` and renamed into place; metadata as in
    // jpegData. Throws ImageError(writeFailed) naming the file when encoding fails.
    void write(const Image& ciImage, const std::filesystem::path& to, PixelFormat format, ColorSpace colorSpace,
               double quality, const std::optional<ImageProperties>& properties) const;

    // A copy that describes an upright image: top-level Orientation 1, the TIFF dictionary's
    // Orientation 1 (when that entry is a dictionary), PixelWidth/PixelHeight removed.
    static ImageProperties uprightProperties(const ImageProperties& properties);
};

}  // namespace lw
