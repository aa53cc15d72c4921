#pragma once
// Image: an immutable image value with lazy pixels, an extent and metadata.
//
// Pixels are a vips::VImage, so most operations only extend a libvips pipeline; nothing is
// computed until the pixels are read (toRaster, encode, write). Copies are cheap and share
// pixels. Safe to read from several threads at once.
//
// Coordinates: the extent has an origin and a size in a plane whose y axis grows upwards.
// The extent's lowest row (minY) is the BOTTOM row of the picture; pixels() and rasters
// store the top row first. So the pixel at raster (column c, row r) covers the point
//   x = extent().x + c,   y = extent().maxY() - 1 - r.
// Only geometric operations look at the origin; a loaded image starts at (0, 0).
//
// Sample values: 8-bit 0...255, 16-bit 0...65535, float 0...1, all sRGB-encoded (not
// linear). Bands: 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA; alpha is straight (not
// premultiplied). A loaded image is converted to sRGB from its embedded ICC profile.
//
// Typical use (photo road):
//   auto& pipe = CoreImagePipeline::shared();
//   auto photo = pipe.loadImage(path);                 // upright, lazy
//   auto web = pipe.scaledToFit(*photo, 2048).cropped({0, 0, 2048, 1365});
//   auto marked = logo.translated(20, 20).composited(photo->convertedToSRGB(), 0.6);
//   auto raster = marked.toRaster<float>(3);           // our own kernels
//   auto back = Image::fromRaster(raster, marked.properties());
#include <cstdint>
#include <memory>
#include <type_traits>

#include <vips/vips8>

#include "image/ImageProperties.h"
#include "image/Raster.h"

namespace lw {

// Starts libvips once (thread-safe); every entry point that touches vips calls it.
void ensureVipsStarted();

// An integer rectangle in the y-up plane.
struct ImageRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    int minX() const { return x; }
    int minY() const { return y; }
    int maxX() const { return x + width; }
    int maxY() const { return y + height; }
    double midX() const { return x + width / 2.0; }
    double midY() const { return y + height / 2.0; }
    bool isEmpty() const { return width <= 0 || height <= 0; }
    ImageRect intersection(const ImageRect& o) const;
    bool operator==(const ImageRect&) const = default;
};

class Image {
public:
    // An empty image (0 x 0).
    Image() = default;
    // Wraps pixels (top row first). Bands and format as described above; other formats
    // (signed, double, ...) are converted to float.
    explicit Image(vips::VImage pixels, ImageProperties properties = ImageProperties::object(), int originX = 0,
                   int originY = 0);

    bool empty() const { return !pixels_.get_image(); }
    ImageRect extent() const { return {originX_, originY_, width(), height()}; }
    int width() const { return empty() ? 0 : pixels_.width(); }
    int height() const { return empty() ? 0 : pixels_.height(); }
    int channels() const { return empty() ? 0 : pixels_.bands(); }
    bool hasAlpha() const { return channels() == 2 || channels() == 4; }
    // 8, 16 or 32 (float).
    int bitsPerSample() const;

    // Lazy libvips pixels, top row first. For operations this class does not offer; wrap
    // the result with withPixels() to keep origin and metadata.
    const vips::VImage& pixels() const { return pixels_; }
    Image withPixels(vips::VImage pixels) const;

    // Metadata (ImageIO keys). As loaded it still holds the file's orientation value;
    // CoreImagePipeline::uprightProperties corrects that before writing.
    const ImageProperties& properties() const { return properties_; }
    Image settingProperties(ImageProperties properties) const;

    // --- geometry (y up) ---
    Image translated(int dx, int dy) const;
    // Moves the extent to start at (0, 0).
    Image movedToOrigin() const { return translated(-originX_, -originY_); }
    // Keeps the part inside `rect` (intersected with the extent); the origin becomes the
    // intersection's origin. An empty intersection gives an empty image.
    Image cropped(const ImageRect& rect) const;

    // --- colour and compositing ---
    // This image drawn over `background` (source-over), with this image's alpha scaled by
    // `opacity` (0...1). Placement follows the extents; the result covers the background's
    // extent, keeps its bands (an alpha band stays), bit depth and metadata.
    Image composited(const Image& background, double opacity = 1.0) const;
    // RGB (3 bands, or 4 with alpha) in sRGB, bit depth kept: grey is expanded, CMYK, Lab
    // and the like are converted.
    Image convertedToSRGB() const;
    // Same image, depth converted: 8, 16 or 32 (float 0...1).
    Image withBitsPerSample(int bits) const;
    // Same image with `channels` bands (1...4): grey from RGB by Rec. 709 weights on the
    // encoded values, grey replicated to RGB, alpha dropped (not flattened) or added opaque.
    Image withChannels(int channels) const;
    // Renders the pixels once into memory, so later readers do not repeat the pipeline.
    // Throws vips::VError when decoding fails.
    Image materialized() const;

    // --- raw pixel memory ---
    // Raster<uint8_t> 0...255, Raster<uint16_t> 0...65535, Raster<float> 0...1.
    // `channels` 0 keeps the image's bands. Renders the pipeline; throws vips::VError when
    // decoding fails.
    template <class T>
    Raster<T> toRaster(int channels = 0) const;
    // An image of the raster's pixels (copied), origin (0, 0).
    template <class T>
    static Image fromRaster(const Raster<T>& raster, ImageProperties properties = ImageProperties::object());

private:
    friend class CoreImagePipeline;
    struct Source;  // where a freshly loaded image came from (for decode-time shrinking)

    vips::VImage pixels_;
    ImageProperties properties_ = ImageProperties::object();
    int originX_ = 0;
    int originY_ = 0;
    std::shared_ptr<const Source> source_;  // only on images straight from loadImage
};

// vips helpers shared by the image engines.
namespace vipsx {
// Converts between 8-bit, 16-bit and float 0...1 sample ranges (any other format is cast to
// float first). `bits` is 8, 16 or 32. Sets a matching interpretation.
vips::VImage toDepth(const vips::VImage& in, int bits);
int depthOf(const vips::VImage& in);
vips::VImage withBands(const vips::VImage& in, int bands);
// The pixels of a file freshly opened with sequential access, decoded into memory on the calling
// thread, metadata kept. A decoding error (a truncated file) always throws vips::VError here;
// libvips' threaded evaluation can lose such an error and hand back rows it never decoded.
vips::VImage decoded(const vips::VImage& file);
}  // namespace vipsx

extern template Raster<std::uint8_t> Image::toRaster<std::uint8_t>(int) const;
extern template Raster<std::uint16_t> Image::toRaster<std::uint16_t>(int) const;
extern template Raster<float> Image::toRaster<float>(int) const;
extern template Image Image::fromRaster<std::uint8_t>(const Raster<std::uint8_t>&, ImageProperties);
extern template Image Image::fromRaster<std::uint16_t>(const Raster<std::uint16_t>&, ImageProperties);
extern template Image Image::fromRaster<float>(const Raster<float>&, ImageProperties);

}  // namespace lw
