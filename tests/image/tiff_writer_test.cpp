#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>
#include <vips/vips8>

#include "ImageTestSupport.h"
#include "image/ImageProperties.h"
#include "image/TiffWriter.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using namespace lw::testing;
using vips::VImage;

ImageProperties cameraProperties() {
    return ImageProperties{
        {"{TIFF}", {{"Make", "Maker"}, {"Model", "Model X"}}},
        {"{Exif}", {{"ExposureTime", 0.008}, {"DateTimeOriginal", "2024:05:01 10:11:12"}}},
        {"{GPS}", {{"Latitude", 51.5}, {"LatitudeRef", "N"}}},
    };
}

// Every depth and band count the writers use, in one strip and in several, with and without
// metadata: libtiff (through libvips) reads back the same samples, Exiv2 the same tags.
TEST(TiffWriter, PixelsAndMetadataReadBack) {
    ASSERT_EQ(VIPS_INIT("tiff_writer_test"), 0);
    struct Case {
        VipsBandFormat format;
        int bands, width, height;
        bool metadata;
    };
    const Case cases[] = {
        {VIPS_FORMAT_UCHAR, 1, 33, 17, true},     {VIPS_FORMAT_UCHAR, 2, 40, 30, true},
        {VIPS_FORMAT_UCHAR, 3, 5000, 90, true},   {VIPS_FORMAT_USHORT, 3, 3001, 150, true},
        {VIPS_FORMAT_USHORT, 4, 64, 48, false},   {VIPS_FORMAT_FLOAT, 3, 2000, 100, true},
        {VIPS_FORMAT_USHORT, 1, 1, 1, false},
    };
    const fs::path dir = freshDir("tiff_writer");
    int n = 0;
    for (const Case& c : cases) {
        const std::string label = "case " + std::to_string(n);
        const double top = c.format == VIPS_FORMAT_FLOAT ? 1.0 : (c.format == VIPS_FORMAT_USHORT ? 65535.0 : 255.0);
        VImage xy = VImage::xyz(c.width, c.height);
        VImage ramp = ((xy[0] * 7 + xy[1] * 13) % 997) / 997.0 * top;
        std::vector<VImage> bands{ramp};
        for (int b = 1; b < c.bands; ++b) bands.push_back((ramp + b * 0.1 * top) % top);
        VImage px = VImage::bandjoin(bands).cast(c.format);
        const std::vector<std::uint8_t> exif =
            c.metadata ? encodeExifBlock(cameraProperties(), c.width, c.height) : std::vector<std::uint8_t>{};
        const fs::path file = dir / ("out" + std::to_string(n++) + ".tif");
        ASSERT_TRUE(writeTiffWithExif(px, file, exif)) << label;

        VImage back = VImage::new_from_file(file.c_str(), VImage::option()->set("fail_on", VIPS_FAIL_ON_WARNING));
        ASSERT_EQ(back.width(), c.width) << label;
        ASSERT_EQ(back.height(), c.height) << label;
        ASSERT_EQ(back.bands(), c.bands) << label;
        EXPECT_EQ(back.format(), c.format) << label;
        EXPECT_EQ((back.cast(VIPS_FORMAT_DOUBLE) - px.cast(VIPS_FORMAT_DOUBLE)).abs().max(), 0.0) << label;

        const Exiv2::ExifData tags = readExif(file);
        if (c.metadata) {
            EXPECT_EQ(tags.findKey(Exiv2::ExifKey("Exif.Image.Model"))->toString(), "Model X") << label;
            EXPECT_EQ(tags.findKey(Exiv2::ExifKey("Exif.Photo.ExposureTime"))->toString(), "1/125") << label;
            EXPECT_EQ(tags.findKey(Exiv2::ExifKey("Exif.Photo.DateTimeOriginal"))->toString(), "2024:05:01 10:11:12")
                << label;
            EXPECT_EQ(tags.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLatitudeRef"))->toString(), "N") << label;
            EXPECT_EQ(tags.findKey(Exiv2::ExifKey("Exif.Photo.PixelXDimension"))->toLong(), c.width) << label;
        } else {
            EXPECT_EQ(tags.findKey(Exiv2::ExifKey("Exif.Image.Model")), tags.end()) << label;
        }
    }
    fs::remove_all(dir);
}

TEST(TiffWriter, UnwritableFileSaysWhyAndLeavesNothing) {
    ASSERT_EQ(VIPS_INIT("tiff_writer_test"), 0);
    const fs::path dir = freshDir("tiff_writer_unwritable");
    VImage px = VImage::black(8, 8, VImage::option()->set("bands", 3)).cast(VIPS_FORMAT_UCHAR);
    try {
        writeTiffWithExif(px, dir / "missing" / "out.tif", {});
        ADD_FAILURE() << "wrote into a folder that does not exist";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_TRUE(fs::is_empty(dir));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace lw
