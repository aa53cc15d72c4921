#include <gtest/gtest.h>

#include <vips/vips8>

#include <map>

#include "image/Watermark.h"
#include "image/WebEncoder.h"

namespace lw {
namespace {

// A fake encoder whose size grows with quality and area.
struct FakeEncoder {
    double bytesPerPixelAtFull = 1.0;
    int pixels = 1000 * 1000;
    int calls = 0;
    std::optional<std::vector<std::uint8_t>> operator()(double scale, double quality) {
        ++calls;
        const double size = pixels * scale * scale * bytesPerPixelAtFull * (0.1 + quality * quality);
        return std::vector<std::uint8_t>(static_cast<std::size_t>(size), 0xAB);
    }
};

TEST(WebEncoderTest, TheBestQualityThatFitsInAHandfulOfEncodes) {
    struct Case {
        double bpp;
        std::size_t cap;
        double quality;  // expected
        double scale;
    };
    // size = 1e6 * bpp * (0.1 + q^2)
    const Case cases[] = {
        {0.5, 600000, 0.90, 1.0},   // 0.5 * 0.91 = 455 kB fits at once
        {1.0, 600000, 0.70, 1.0},   // 0.1 + q^2 <= 0.6  ->  q <= 0.707
        {1.0, 350000, 0.50, 1.0},   // exactly the lowest quality
    };
    for (const auto& c : cases) {
        FakeEncoder fake{c.bpp};
        WebEncoder encoder;
        const auto result = encoder.encodeUnderCap(std::ref(fake), c.cap, 1000);
        EXPECT_NEAR(result.quality, c.quality, 1e-9) << c.cap;
        EXPECT_EQ(result.scale, c.scale);
        EXPECT_LE(result.bytes.size(), c.cap);
        EXPECT_LE(result.encodes, 8);
    }
}

TEST(WebEncoderTest, ScalesDownWhenTheLowestQualityIsTooLarge) {
    FakeEncoder fake{4.0};
    WebEncoder encoder;
    const auto result = encoder.encodeUnderCap(std::ref(fake), 50 * 1024, 2048);
    EXPECT_LT(result.scale, 1.0);
    EXPECT_LE(result.bytes.size(), 50u * 1024);
    EXPECT_GE(result.quality, 0.5);
    EXPECT_LE(fake.calls, 30);
}

TEST(WebEncoderTest, FailsWhenNoSizeWorksOrTheEncoderFails) {
    WebEncoder encoder;
    auto huge = [](double, double) { return std::optional<std::vector<std::uint8_t>>(std::vector<std::uint8_t>(1 << 20)); };
    try {
        encoder.encodeUnderCap(huge, 50 * 1024, 2048);
        FAIL() << "no error";
    } catch (const WebEncodingError& e) {
        EXPECT_EQ(e.kind, WebEncodingError::Kind::cannotMeetSizeLimit);
        EXPECT_STREQ(e.what(), "Could not get the web image under 50 KB");
    }
    auto broken = [](double, double) { return std::optional<std::vector<std::uint8_t>>(); };
    try {
        encoder.encodeUnderCap(broken, 50 * 1024, 2048);
        FAIL() << "no error";
    } catch (const WebEncodingError& e) {
        EXPECT_EQ(e.kind, WebEncodingError::Kind::encodingFailed);
    }
}

class WatermarkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(VIPS_INIT("watermark_test"), 0); }
    static vips::VImage solid(int w, int h, std::vector<double> value, VipsBandFormat format) {
        vips::VImage img = vips::VImage::black(w, h, vips::VImage::option()->set("bands", static_cast<int>(value.size())));
        img = (img + value).cast(format);
        VipsInterpretation interp = format == VIPS_FORMAT_USHORT ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB;
        if (value.size() < 3) interp = format == VIPS_FORMAT_USHORT ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_B_W;
        return img.copy(vips::VImage::option()->set("interpretation", interp));
    }
};

TEST_F(WatermarkTest, PlacementIsAShareOfTheShorterSideInTheBottomRightCorner) {
    const auto p = Watermark::placement(6000, 4000, 400, 200);
    EXPECT_EQ(p.width, 720);  // 18 % of 4000
    EXPECT_EQ(p.height, 360);
    EXPECT_EQ(p.x, 6000 - 120 - 720);  // 3 % margin
    EXPECT_EQ(p.y, 4000 - 120 - 360);
    const auto portrait = Watermark::placement(3000, 4500, 100, 300);
    EXPECT_EQ(portrait.height, 540);
    EXPECT_EQ(portrait.width, 180);
    EXPECT_EQ(Watermark::placement(0, 10, 5, 5).width, 0);
}

TEST_F(WatermarkTest, OpaqueLogoWithoutAlphaAtOpacity) {
    const vips::VImage photo = solid(200, 100, {0, 0, 0}, VIPS_FORMAT_UCHAR);
    const vips::VImage logo = solid(40, 20, {200, 100, 0}, VIPS_FORMAT_UCHAR);
    const vips::VImage out = Watermark::apply(photo, logo, 0.5);
    ASSERT_EQ(out.width(), 200);
    ASSERT_EQ(out.bands(), 3);
    EXPECT_EQ(out.format(), VIPS_FORMAT_UCHAR);
    const auto at = Watermark::placement(200, 100, 40, 20);
    const auto inside = out.getpoint(at.x + at.width / 2, at.y + at.height / 2);
    EXPECT_NEAR(inside[0], 100, 1);
    EXPECT_NEAR(inside[1], 50, 1);
    EXPECT_NEAR(inside[2], 0, 1);
    EXPECT_EQ(out.getpoint(5, 5)[0], 0);  // outside the logo untouched
    EXPECT_EQ(out.getpoint(at.x - 2, at.y + 2)[0], 0);
}

TEST_F(WatermarkTest, AlphaLogoOnASixteenBitPhoto) {
    const vips::VImage photo = solid(300, 200, {10000, 20000, 30000}, VIPS_FORMAT_USHORT);
    // Left half transparent, right half opaque white.
    vips::VImage rgb = solid(60, 30, {255, 255, 255}, VIPS_FORMAT_UCHAR);
    vips::VImage alpha = (vips::VImage::xyz(60, 30)[0] >= 30).ifthenelse(255, 0).cast(VIPS_FORMAT_UCHAR);
    const vips::VImage logo = rgb.bandjoin(alpha).copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    const vips::VImage out = Watermark::apply(photo, logo, 1.0);
    EXPECT_EQ(out.format(), VIPS_FORMAT_USHORT);
    EXPECT_EQ(out.bands(), 3);
    const auto at = Watermark::placement(300, 200, 60, 30);
    const auto clear = out.getpoint(at.x + 3, at.y + at.height / 2);
    const auto opaque = out.getpoint(at.x + at.width - 3, at.y + at.height / 2);
    EXPECT_NEAR(clear[0], 10000, 2);
    EXPECT_NEAR(clear[2], 30000, 2);
    EXPECT_NEAR(opaque[0], 65535, 2);
    EXPECT_NEAR(opaque[1], 65535, 2);
}

TEST_F(WatermarkTest, GreyPhotoAndPhotoWithAlphaKeepTheirBands) {
    const vips::VImage grey = solid(100, 100, {50}, VIPS_FORMAT_UCHAR);
    const vips::VImage logo = solid(10, 10, {255, 255, 255}, VIPS_FORMAT_UCHAR);
    const vips::VImage g = Watermark::apply(grey, logo, 1.0);
    EXPECT_EQ(g.bands(), 1);
    const auto at = Watermark::placement(100, 100, 10, 10);
    EXPECT_NEAR(g.getpoint(at.x + at.width / 2, at.y + at.height / 2)[0], 255, 1);
    const vips::VImage withAlpha = solid(100, 100, {0, 0, 0, 255}, VIPS_FORMAT_UCHAR);
    const vips::VImage a = Watermark::apply(withAlpha, logo, 1.0);
    EXPECT_EQ(a.bands(), 4);
    EXPECT_NEAR(a.getpoint(at.x + at.width / 2, at.y + at.height / 2)[3], 255, 1);
}

}  // namespace
}  // namespace lw
