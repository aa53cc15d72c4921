#include <gtest/gtest.h>

#include "ImageTestSupport.h"
#include "image/Image.h"

using lw::Image;
using lw::ImageRect;
using lw::Raster8;

namespace {

// 4 x 4 grey raster whose value is 10 * row + column.
Raster8 numbered() {
    Raster8 r(4, 4, 1);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) r.at(x, y) = static_cast<std::uint8_t>(10 * y + x);
    return r;
}

TEST(ImageValue, RasterRoundTripsInEveryDepth) {
    Raster8 src = lw::testing::quadrantRaster(6, 4);
    Image img = Image::fromRaster(src);
    EXPECT_EQ(img.extent(), (ImageRect{0, 0, 6, 4}));
    EXPECT_EQ(img.channels(), 3);
    EXPECT_EQ(img.bitsPerSample(), 8);
    EXPECT_EQ(img.toRaster<std::uint8_t>().pixels, src.pixels);

    auto f = img.toRaster<float>();
    EXPECT_FLOAT_EQ(f.at(0, 0, 0), 1.0f);
    EXPECT_NEAR(f.at(5, 3, 1), 128.0f / 255.0f, 1e-6);
    auto s = img.toRaster<std::uint16_t>();
    EXPECT_EQ(s.at(0, 0, 0), 65535);
    EXPECT_EQ(s.at(5, 3, 2), 128 * 257);

    // Back from float and 16-bit rasters lands on the same 8-bit values.
    EXPECT_EQ(Image::fromRaster(f).toRaster<std::uint8_t>().pixels, src.pixels);
    EXPECT_EQ(Image::fromRaster(s).toRaster<std::uint8_t>().pixels, src.pixels);
}

TEST(ImageValue, ChannelConversions) {
    Raster8 rgb = lw::testing::quadrantRaster(4, 4);
    Image img = Image::fromRaster(rgb);
    auto rgba = img.toRaster<std::uint8_t>(4);
    ASSERT_EQ(rgba.channels, 4);
    EXPECT_EQ(rgba.at(0, 0, 0), 255);
    EXPECT_EQ(rgba.at(3, 3, 3), 255);  // opaque alpha added

    auto grey = img.toRaster<std::uint8_t>(1);
    ASSERT_EQ(grey.channels, 1);
    EXPECT_NEAR(grey.at(0, 0), 0.2126 * 255, 1.0);  // Rec. 709 weight of pure red
    EXPECT_EQ(grey.at(3, 3), 128);

    auto back = Image::fromRaster(grey).toRaster<std::uint8_t>(3);
    EXPECT_EQ(back.at(3, 3, 0), 128);
    EXPECT_EQ(back.at(3, 3, 2), 128);

    Raster8 withAlpha(2, 1, 4, 0);
    withAlpha.at(0, 0, 3) = 77;
    auto dropped = Image::fromRaster(withAlpha).toRaster<std::uint8_t>(3);
    EXPECT_EQ(dropped.channels, 3);
    EXPECT_EQ(Image::fromRaster(withAlpha).toRaster<std::uint8_t>(2).at(0, 0, 1), 77);
}

TEST(ImageValue, InvalidRasterGivesEmptyImage) {
    Raster8 bad(3, 3, 3);
    bad.pixels.pop_back();
    EXPECT_TRUE(Image::fromRaster(bad).empty());
    EXPECT_TRUE(Image::fromRaster(Raster8{}).empty());
    EXPECT_TRUE(Image().toRaster<float>().empty());
}

TEST(ImageValue, CropUsesUpwardY) {
    Image img = Image::fromRaster(numbered());
    // The bottom-left 2 x 2 square in the y-up plane is raster rows 2...3, columns 0...1.
    Image bl = img.cropped({0, 0, 2, 2});
    EXPECT_EQ(bl.extent(), (ImageRect{0, 0, 2, 2}));
    EXPECT_EQ(bl.toRaster<std::uint8_t>().pixels, (std::vector<std::uint8_t>{20, 21, 30, 31}));
    // Top-right square; origin kept.
    Image tr = img.cropped({2, 2, 2, 2});
    EXPECT_EQ(tr.extent(), (ImageRect{2, 2, 2, 2}));
    EXPECT_EQ(tr.toRaster<std::uint8_t>().pixels, (std::vector<std::uint8_t>{2, 3, 12, 13}));
    // Clipped to the extent; outside gives empty.
    EXPECT_EQ(img.cropped({-5, 3, 100, 100}).extent(), (ImageRect{0, 3, 4, 1}));
    EXPECT_TRUE(img.cropped({10, 10, 2, 2}).empty());
    // On a translated image the crop follows the moved extent.
    Image moved = img.translated(100, 50);
    EXPECT_EQ(moved.extent(), (ImageRect{100, 50, 4, 4}));
    EXPECT_EQ(moved.cropped({100, 50, 1, 1}).toRaster<std::uint8_t>().pixels, (std::vector<std::uint8_t>{30}));
    EXPECT_EQ(moved.movedToOrigin().extent(), (ImageRect{0, 0, 4, 4}));
}

TEST(ImageValue, SourceOverCompositeWithOpacityAndPlacement) {
    Raster8 white(4, 4, 3, 255);
    Image bg = Image::fromRaster(white, {{"Orientation", 1}});
    Raster8 red(1, 1, 4, 0);
    red.at(0, 0, 0) = 255;
    red.at(0, 0, 3) = 255;
    // At (0, 0) in the y-up plane the overlay covers the bottom-left pixel (raster row 3).
    Image out = Image::fromRaster(red).composited(bg, 0.5);
    EXPECT_EQ(out.extent(), bg.extent());
    EXPECT_EQ(out.properties(), bg.properties());
    auto r = out.toRaster<std::uint8_t>();
    ASSERT_EQ(r.channels, 3);
    EXPECT_EQ(r.at(0, 3, 0), 255);
    EXPECT_NEAR(r.at(0, 3, 1), 128, 1);
    EXPECT_EQ(r.at(0, 0, 1), 255);  // untouched elsewhere
    // Placed at the top-right by translation.
    auto tr = Image::fromRaster(red).translated(3, 3).composited(bg, 1.0).toRaster<std::uint8_t>();
    EXPECT_EQ(tr.at(3, 0, 1), 0);
    EXPECT_EQ(tr.at(0, 3, 1), 255);
    // Over a transparent background the overlay's own alpha is kept.
    Raster8 clear(2, 2, 4, 0);
    auto onClear = Image::fromRaster(red).composited(Image::fromRaster(clear), 0.5).toRaster<std::uint8_t>();
    EXPECT_EQ(onClear.at(0, 1, 0), 255);
    EXPECT_NEAR(onClear.at(0, 1, 3), 128, 1);
    EXPECT_EQ(onClear.at(1, 0, 3), 0);
}

TEST(ImageValue, ConvertedToSRGBExpandsGreyAndKeepsDepth) {
    Image grey = Image::fromRaster(numbered());
    Image rgb = grey.convertedToSRGB();
    EXPECT_EQ(rgb.channels(), 3);
    EXPECT_EQ(rgb.bitsPerSample(), 8);
    EXPECT_EQ(rgb.toRaster<std::uint8_t>().at(1, 2, 2), 21);
    lw::Raster16 deep(2, 2, 2, 1000);
    Image deepRgb = Image::fromRaster(deep).convertedToSRGB();
    EXPECT_EQ(deepRgb.channels(), 4);
    EXPECT_EQ(deepRgb.bitsPerSample(), 16);
}

}  // namespace
