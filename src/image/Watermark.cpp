#include "image/Watermark.h"

#include <algorithm>
#include <cmath>

namespace lw {

namespace {

double maxValue(const vips::VImage& image) {
    switch (image.format()) {
        case VIPS_FORMAT_UCHAR:
        case VIPS_FORMAT_CHAR: return 255.0;
        case VIPS_FORMAT_USHORT:
        case VIPS_FORMAT_SHORT: return 65535.0;
        case VIPS_FORMAT_FLOAT:
        case VIPS_FORMAT_DOUBLE: return 1.0;  // float pixels are 0...1
        default: return 255.0;
    }
}

}  // namespace

Watermark::Placement Watermark::placement(int photoWidth, int photoHeight, int logoWidth, int logoHeight) {
    Placement p;
    if (photoWidth <= 0 || photoHeight <= 0 || logoWidth <= 0 || logoHeight <= 0) return p;
    const double shorter = std::min(photoWidth, photoHeight);
    const double target = std::max(1.0, std::round(shorter * logoShare));
    const double scale = target / std::max(logoWidth, logoHeight);
    p.width = std::max(1, static_cast<int>(std::lround(logoWidth * scale)));
    p.height = std::max(1, static_cast<int>(std::lround(logoHeight * scale)));
    const int margin = static_cast<int>(std::lround(shorter * marginShare));
    p.width = std::min(p.width, photoWidth);
    p.height = std::min(p.height, photoHeight);
    p.x = std::max(0, photoWidth - margin - p.width);
    p.y = std::max(0, photoHeight - margin - p.height);
    return p;
}

vips::VImage Watermark::apply(const vips::VImage& photo, const vips::VImage& logoIn, double opacity) {
    opacity = std::clamp(opacity, 0.0, 1.0);
    const Placement at = placement(photo.width(), photo.height(), logoIn.width(), logoIn.height());
    if (at.width == 0 || opacity == 0) return photo;

    // The logo as RGB + alpha, both 0...1, whatever its layout: grey, grey + alpha, RGB, RGBA
    // (palettes arrive expanded to one of these).
    vips::VImage logo = logoIn;
    const bool logoAlpha = logo.bands() == 2 || logo.bands() >= 4;
    vips::VImage alpha;
    if (logoAlpha) {
        alpha = logo.extract_band(logo.bands() - 1) / maxValue(logo);
        logo = logo.extract_band(0, vips::VImage::option()->set("n", std::min(3, logo.bands() - 1)));
    }
    const double logoMax = maxValue(logoIn);
    if (logo.bands() < 3) logo = vips::VImage::bandjoin({logo.extract_band(0), logo.extract_band(0), logo.extract_band(0)});
    logo = logo / logoMax;
    if (!logoAlpha) alpha = vips::VImage::black(logo.width(), logo.height()) + 1.0;
    const double sx = static_cast<double>(at.width) / logo.width();
    const double sy = static_cast<double>(at.height) / logo.height();
    logo = logo.resize(sx, vips::VImage::option()->set("vscale", sy)->set("kernel", VIPS_KERNEL_LANCZOS3));
    alpha = alpha.resize(sx, vips::VImage::option()->set("vscale", sy)->set("kernel", VIPS_KERNEL_LANCZOS3));
    // The resize may land a pixel off the rounded size; crop or pad to the placement.
    logo = logo.embed(0, 0, at.width, at.height, vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
    alpha = alpha.embed(0, 0, at.width, at.height, vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
    alpha = alpha * opacity;
    alpha = (alpha < 0.0).ifthenelse(0.0, (alpha > 1.0).ifthenelse(1.0, alpha));  // Lanczos may overshoot

    // Source-over in the photo's own value range, on the logo's area only.
    const double photoMax = maxValue(photo);
    const int colourBands = photo.has_alpha() ? photo.bands() - 1 : photo.bands();
    vips::VImage area = photo.extract_area(at.x, at.y, at.width, at.height);
    vips::VImage colour = area.extract_band(0, vips::VImage::option()->set("n", colourBands)).cast(VIPS_FORMAT_FLOAT);
    vips::VImage ink = logo * photoMax;
    if (colourBands == 1) ink = ink.recomb(vips::VImage::new_matrixv(3, 1, 0.299, 0.587, 0.114));
    vips::VImage mixed = colour * (1.0 - alpha) + ink.cast(VIPS_FORMAT_FLOAT) * alpha;
    if (photo.format() != VIPS_FORMAT_FLOAT && photo.format() != VIPS_FORMAT_DOUBLE)
        mixed = (mixed < 0.0).ifthenelse(0.0, (mixed > photoMax).ifthenelse(photoMax, mixed)).rint();
    mixed = mixed.cast(photo.format());
    if (photo.has_alpha()) mixed = mixed.bandjoin(area.extract_band(colourBands));
    mixed = mixed.copy(vips::VImage::option()->set("interpretation", photo.interpretation()));
    return photo.insert(mixed, at.x, at.y).copy(vips::VImage::option()->set("interpretation", photo.interpretation()));
}

}  // namespace lw
