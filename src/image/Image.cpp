#include "image/Image.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace lw {

using vips::VImage;

ImageRect ImageRect::intersection(const ImageRect& o) const {
    int x0 = std::max(x, o.x), y0 = std::max(y, o.y);
    int x1 = std::min(maxX(), o.maxX()), y1 = std::min(maxY(), o.maxY());
    if (x1 <= x0 || y1 <= y0) return {x0, y0, 0, 0};
    return {x0, y0, x1 - x0, y1 - y0};
}

namespace vipsx {

VImage decoded(const VImage& file) {
    VipsImage* in = file.get_image();
    VipsImage* out = vips_image_new_memory();
    VipsRegion* region = vips_region_new(in);
    const auto release = [&] {
        g_object_unref(region);
        g_object_unref(out);
    };
    if (vips_image_pipelinev(out, VIPS_DEMAND_STYLE_THINSTRIP, in, nullptr) != 0 || vips_image_write_prepare(out) != 0) {
        release();
        throw vips::VError();
    }
    // Top to bottom in strips, so sequential loaders are read in order.
    constexpr int kStrip = 128;
    for (int top = 0; top < in->Ysize; top += kStrip) {
        VipsRect strip{0, top, in->Xsize, std::min(kStrip, in->Ysize - top)};
        if (vips_region_prepare(region, &strip) != 0) {
            release();
            throw vips::VError();
        }
        for (int y = strip.top; y < strip.top + strip.height; ++y) {
            if (vips_image_write_line(out, y, reinterpret_cast<VipsPel*>(VIPS_REGION_ADDR(region, 0, y))) != 0) {
                release();
                throw vips::VError();
            }
        }
    }
    g_object_unref(region);
    return VImage(out);
}

int depthOf(const VImage& in) {
    switch (in.format()) {
        case VIPS_FORMAT_UCHAR: return 8;
        case VIPS_FORMAT_USHORT: return 16;
        default: return 32;
    }
}

namespace {
VipsInterpretation interpretationFor(int bands, int bits) {
    if (bands <= 2) return bits == 16 ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_B_W;
    if (bits == 16) return VIPS_INTERPRETATION_RGB16;
    if (bits == 32) return VIPS_INTERPRETATION_MULTIBAND;
    return VIPS_INTERPRETATION_sRGB;
}

VImage interpreted(const VImage& in) {
    auto want = interpretationFor(in.bands(), depthOf(in));
    if (in.interpretation() == want) return in;
    return in.copy(VImage::option()->set("interpretation", want));
}

// Any format as one of uchar, ushort or float 0...1.
VImage normalisedFormat(const VImage& in) {
    switch (in.format()) {
        case VIPS_FORMAT_UCHAR:
        case VIPS_FORMAT_USHORT:
        case VIPS_FORMAT_FLOAT: return in;
        case VIPS_FORMAT_CHAR: return in.cast(VIPS_FORMAT_UCHAR);
        case VIPS_FORMAT_SHORT: return in.cast(VIPS_FORMAT_USHORT);
        case VIPS_FORMAT_UINT:
        case VIPS_FORMAT_INT: return in.linear(1.0 / 4294967295.0, 0.0).cast(VIPS_FORMAT_FLOAT);
        default: return in.cast(VIPS_FORMAT_FLOAT);
    }
}
}  // namespace

VImage toDepth(const VImage& input, int bits) {
    VImage in = normalisedFormat(input);
    int from = depthOf(in);
    VImage out = in;
    if (from != bits) {
        const double maxFrom = from == 8 ? 255.0 : from == 16 ? 65535.0 : 1.0;
        const double maxTo = bits == 8 ? 255.0 : bits == 16 ? 65535.0 : 1.0;
        const double k = maxTo / maxFrom;
        if (bits == 32)
            out = in.linear(k, 0.0).cast(VIPS_FORMAT_FLOAT);
        else
            out = in.linear(k, 0.5).cast(bits == 8 ? VIPS_FORMAT_UCHAR : VIPS_FORMAT_USHORT);
    }
    return interpreted(out);
}

VImage withBands(const VImage& in, int bands) {
    const int b = in.bands();
    if (b == bands || bands < 1 || bands > 4) return interpreted(in);
    const bool hasAlpha = b == 2 || b == 4;
    const bool isColour = b >= 3;
    const int bits = depthOf(in);
    VImage colour = isColour ? in.extract_band(0, VImage::option()->set("n", 3)) : in.extract_band(0);
    VImage out;
    if (bands >= 3) {
        out = isColour ? colour : VImage::bandjoin(std::vector<VImage>{colour, colour, colour});
    } else if (isColour) {
        VImage y = colour.recomb(VImage::new_matrixv(3, 1, 0.2126, 0.7152, 0.0722));
        out = bits == 32 ? y.cast(VIPS_FORMAT_FLOAT) : (y + 0.5).cast(in.format());
    } else {
        out = colour;
    }
    if (bands == 2 || bands == 4) {
        if (hasAlpha)
            out = out.bandjoin(in.extract_band(b - 1));
        else
            out = out.bandjoin_const({bits == 8 ? 255.0 : bits == 16 ? 65535.0 : 1.0});
    }
    return interpreted(out.cast(in.format()));
}

}  // namespace vipsx

Image::Image(VImage pixels, ImageProperties properties, int originX, int originY)
    : pixels_(!pixels.get_image() || pixels.format() == VIPS_FORMAT_UCHAR || pixels.format() == VIPS_FORMAT_USHORT ||
                      pixels.format() == VIPS_FORMAT_FLOAT
                  ? pixels
                  : vipsx::toDepth(pixels, 32)),
      properties_(properties.is_object() ? std::move(properties) : ImageProperties::object()),
      originX_(originX),
      originY_(originY) {}

int Image::bitsPerSample() const { return empty() ? 0 : vipsx::depthOf(pixels_); }

Image Image::withPixels(VImage pixels) const { return Image(std::move(pixels), properties_, originX_, originY_); }

Image Image::settingProperties(ImageProperties properties) const {
    Image out = *this;
    out.properties_ = properties.is_object() ? std::move(properties) : ImageProperties::object();
    return out;
}

Image Image::translated(int dx, int dy) const {
    Image out = *this;
    out.originX_ += dx;
    out.originY_ += dy;
    out.source_.reset();
    return out;
}

Image Image::cropped(const ImageRect& rect) const {
    if (empty()) return *this;
    ImageRect r = rect.intersection(extent());
    if (r.isEmpty()) return Image(VImage(), properties_, r.x, r.y);
    if (r == extent()) return *this;
    const int col = r.x - originX_;
    const int row = extent().maxY() - r.maxY();
    return Image(pixels_.extract_area(col, row, r.width, r.height), properties_, r.x, r.y);
}

Image Image::composited(const Image& background, double opacity) const {
    if (background.empty()) return background;
    if (empty() || opacity <= 0) return background;
    opacity = std::min(opacity, 1.0);
    const VImage& bgPx = background.pixels_;
    const int bgBands = bgPx.bands();
    const bool bgAlpha = bgBands == 2 || bgBands == 4;
    const int colourBands = bgBands >= 3 ? 3 : 1;

    VImage fg = vipsx::toDepth(vipsx::withBands(pixels_, colourBands + 1), 32);
    const int col = originX_ - background.originX_;
    const int row = background.extent().maxY() - extent().maxY();
    fg = fg.embed(col, row, bgPx.width(), bgPx.height(),
                  VImage::option()->set("extend", VIPS_EXTEND_BACKGROUND)->set("background", std::vector<double>{0.0}));
    VImage fc = fg.extract_band(0, VImage::option()->set("n", colourBands));
    VImage fa = fg.extract_band(colourBands) * opacity;

    VImage bg = vipsx::toDepth(bgPx, 32);
    VImage bc = bg.extract_band(0, VImage::option()->set("n", colourBands));
    VImage out;
    if (bgAlpha) {
        VImage ba = bg.extract_band(colourBands);
        VImage ao = fa + ba * (1.0 - fa);
        VImage co = (fc * fa + bc * ba * (1.0 - fa)) / ao;  // vips gives 0 where ao is 0
        out = co.bandjoin(ao);
    } else {
        out = fc * fa + bc * (1.0 - fa);
    }
    out = vipsx::toDepth(out.cast(VIPS_FORMAT_FLOAT), background.bitsPerSample());
    return Image(out, background.properties_, background.originX_, background.originY_);
}

Image Image::convertedToSRGB() const {
    if (empty()) return *this;
    const int bits = bitsPerSample();
    VImage px = pixels_;
    auto interp = px.interpretation();
    const bool plain = interp == VIPS_INTERPRETATION_sRGB || interp == VIPS_INTERPRETATION_RGB16 ||
                       interp == VIPS_INTERPRETATION_B_W || interp == VIPS_INTERPRETATION_GREY16 ||
                       interp == VIPS_INTERPRETATION_MULTIBAND;
    if (!plain && bits != 32) {
        px = px.colourspace(bits == 16 ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB);
        px = vipsx::toDepth(px, bits);
    }
    const bool alpha = px.bands() == 2 || px.bands() == 4;
    return withPixels(vipsx::withBands(px, alpha ? 4 : 3));
}

Image Image::withBitsPerSample(int bits) const {
    if (empty() || (bits != 8 && bits != 16 && bits != 32)) return *this;
    return withPixels(vipsx::toDepth(pixels_, bits));
}

Image Image::withChannels(int channels) const {
    if (empty() || channels < 1 || channels > 4) return *this;
    return withPixels(vipsx::withBands(pixels_, channels));
}

Image Image::materialized() const {
    if (empty()) return *this;
    Image out = withPixels(pixels_.copy_memory());
    return out;
}

namespace {
template <class T>
constexpr int bitsOf() {
    if constexpr (std::is_same_v<T, std::uint8_t>) return 8;
    if constexpr (std::is_same_v<T, std::uint16_t>) return 16;
    return 32;
}
template <class T>
constexpr VipsBandFormat formatOf() {
    if constexpr (std::is_same_v<T, std::uint8_t>) return VIPS_FORMAT_UCHAR;
    if constexpr (std::is_same_v<T, std::uint16_t>) return VIPS_FORMAT_USHORT;
    return VIPS_FORMAT_FLOAT;
}
}  // namespace

template <class T>
Raster<T> Image::toRaster(int channels) const {
    if (empty()) return {};
    VImage px = pixels_;
    if (channels >= 1 && channels <= 4) px = vipsx::withBands(px, channels);
    px = vipsx::toDepth(px, bitsOf<T>());
    size_t size = 0;
    void* mem = px.write_to_memory(&size);
    Raster<T> out;
    out.width = px.width();
    out.height = px.height();
    out.channels = px.bands();
    const size_t expected = static_cast<size_t>(out.width) * static_cast<size_t>(out.height) *
                            static_cast<size_t>(out.channels) * sizeof(T);
    if (size != expected) {
        g_free(mem);
        throw vips::VError("unexpected pixel buffer size");
    }
    out.pixels.resize(expected / sizeof(T));
    std::memcpy(out.pixels.data(), mem, expected);
    g_free(mem);
    return out;
}

template <class T>
Image Image::fromRaster(const Raster<T>& raster, ImageProperties properties) {
    ensureVipsStarted();
    if (raster.width <= 0 || raster.height <= 0 || raster.channels < 1 || raster.channels > 4 ||
        raster.pixels.size() != static_cast<size_t>(raster.width) * static_cast<size_t>(raster.height) *
                                    static_cast<size_t>(raster.channels))
        return Image(VImage(), std::move(properties));
    VipsImage* img = vips_image_new_from_memory_copy(raster.pixels.data(), raster.pixels.size() * sizeof(T),
                                                     raster.width, raster.height, raster.channels, formatOf<T>());
    if (!img) throw vips::VError();
    return Image(VImage(img), std::move(properties));
}

template Raster<std::uint8_t> Image::toRaster<std::uint8_t>(int) const;
template Raster<std::uint16_t> Image::toRaster<std::uint16_t>(int) const;
template Raster<float> Image::toRaster<float>(int) const;
template Image Image::fromRaster<std::uint8_t>(const Raster<std::uint8_t>&, ImageProperties);
template Image Image::fromRaster<std::uint16_t>(const Raster<std::uint16_t>&, ImageProperties);
template Image Image::fromRaster<float>(const Raster<float>&, ImageProperties);

}  // namespace lw
