#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "ImageTestSupport.h"
#include "image/CoreImagePipeline.h"
#include "image/TextureImage.h"
#include "image/VipsLog.h"

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;
using lw::ColorSpace;
using lw::CoreImagePipeline;
using lw::Image;
using lw::ImageProperties;
using lw::PixelFormat;
using lw::Raster8;
using namespace lw::testing;

namespace {

CoreImagePipeline& pipe() { return CoreImagePipeline::shared(); }

Image blank(int w, int h) {
    lw::ensureVipsStarted();
    return Image(vips::VImage::black(w, h, vips::VImage::option()->set("bands", 3)).cast(VIPS_FORMAT_UCHAR));
}

std::uint32_t crc32(const std::uint8_t* p, size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

void putChunk(std::vector<std::uint8_t>& out, const char* type, const std::vector<std::uint8_t>& data) {
    auto be32 = [&](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
    };
    be32(static_cast<std::uint32_t>(data.size()));
    size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    be32(crc32(out.data() + start, out.size() - start));
}

// A PNG that claims w x h pixels but carries (almost) no pixel data.
std::vector<std::uint8_t> pngHeaderOnly(std::uint32_t w, std::uint32_t h) {
    std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<std::uint8_t> ihdr;
    for (auto v : {w, h})
        for (int s = 24; s >= 0; s -= 8) ihdr.push_back(static_cast<std::uint8_t>(v >> s));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    putChunk(out, "IHDR", ihdr);
    putChunk(out, "IDAT", {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
    putChunk(out, "IEND", {});
    return out;
}

TEST(CoreImagePipeline, SharedIsOneInstance) { EXPECT_EQ(&CoreImagePipeline::shared(), &pipe()); }

TEST(CoreImagePipeline, UprightProperties) {
    ImageProperties in = {{"Orientation", 6},
                          {"PixelWidth", 4000},
                          {"PixelHeight", 3000},
                          {"{TIFF}", {{"Orientation", 6}, {"Make", "Cam"}}},
                          {"{Exif}", {{"FNumber", 8.0}}},
                          {"{GPS}", {{"Latitude", 1.5}}}};
    ImageProperties out = CoreImagePipeline::uprightProperties(in);
    EXPECT_EQ(out["Orientation"], 1);
    EXPECT_EQ(out["{TIFF}"]["Orientation"], 1);
    EXPECT_EQ(out["{TIFF}"]["Make"], "Cam");
    EXPECT_FALSE(out.contains("PixelWidth"));
    EXPECT_FALSE(out.contains("PixelHeight"));
    EXPECT_EQ(out["{Exif}"], in["{Exif}"]);
    EXPECT_EQ(out["{GPS}"], in["{GPS}"]);
    EXPECT_EQ(in["Orientation"], 6);  // the argument is not changed

    ImageProperties none = CoreImagePipeline::uprightProperties(ImageProperties::object());
    EXPECT_EQ(none, (ImageProperties{{"Orientation", 1}}));
    // A TIFF entry that is not a dictionary is left alone.
    ImageProperties odd = CoreImagePipeline::uprightProperties({{"{TIFF}", "text"}});
    EXPECT_EQ(odd["{TIFF}"], "text");
}

TEST(CoreImagePipeline, ScaledToFitSizeRule) {
    struct Case {
        int w, h;
        double max;
        int ew, eh;
    };
    const Case cases[] = {
        {4000, 3000, 2048, 2048, 1536}, {3001, 2000, 1000, 1000, 666}, {3000, 2001, 1000, 1000, 667},
        {3000, 4000, 2048, 1536, 2048}, {2000, 2000, 1000, 1000, 1000}, {10, 5000, 100, 1, 100},
    };
    for (const auto& c : cases) {
        Image out = pipe().scaledToFit(blank(c.w, c.h), c.max);
        EXPECT_EQ(out.width(), c.ew) << c.w << "x" << c.h << " to " << c.max;
        EXPECT_EQ(out.height(), c.eh) << c.w << "x" << c.h << " to " << c.max;
        EXPECT_EQ(out.extent().x, 0);
    }
    // Never enlarges: an image that fits comes back as the very same pixels.
    for (double max : {2048.0, 4096.0}) {
        Image img = blank(2048, 1000);
        EXPECT_EQ(pipe().scaledToFit(img, max).pixels().get_image(), img.pixels().get_image());
    }
}

TEST(CoreImagePipeline, ScaledToFitKeepsContentFromDecodeShrunkJpeg) {
    auto dir = freshDir("scale");
    saveJpeg(quadrantRaster(4000, 3000), dir / "big.jpg");
    auto img = pipe().loadImage(dir / "big.jpg");
    ASSERT_TRUE(img);
    Image small = pipe().scaledToFit(*img, 500);
    ASSERT_EQ(small.width(), 500);
    ASSERT_EQ(small.height(), 375);
    auto r = small.toRaster<std::uint8_t>();
    EXPECT_GT(r.at(60, 60, 0), 240);
    EXPECT_LT(r.at(60, 60, 1), 15);
    EXPECT_NEAR(r.at(400, 300, 1), 128, 4);
    EXPECT_EQ(small.properties()["PixelWidth"], 4000);
    fs::remove_all(dir);
}

// Where the stored top-left (red) quadrant ends up after each EXIF orientation, as
// (right?, bottom?) of the upright picture, and whether width and height swap.
TEST(CoreImagePipeline, LoadAppliesEveryExifOrientation) {
    struct Case {
        int orientation;
        bool right, bottom, swapped;
    };
    const Case cases[] = {{1, false, false, false}, {2, true, false, false}, {3, true, true, false},
                          {4, false, true, false},  {5, false, false, true}, {6, true, false, true},
                          {7, true, true, true},    {8, false, true, true}};
    auto dir = freshDir("orient");
    for (const auto& c : cases) {
        fs::path file = dir / ("o" + std::to_string(c.orientation) + ".jpg");
        saveJpeg(quadrantRaster(64, 32), file);
        setExif(file, {{"Exif.Image.Orientation", std::to_string(c.orientation)}, {"Exif.Image.Make", "Cam"}});
        auto img = pipe().loadImage(file);
        ASSERT_TRUE(img) << c.orientation;
        EXPECT_EQ(img->width(), c.swapped ? 32 : 64) << c.orientation;
        EXPECT_EQ(img->height(), c.swapped ? 64 : 32) << c.orientation;
        auto r = img->toRaster<std::uint8_t>();
        int x = c.right ? r.width - 3 : 2, y = c.bottom ? r.height - 3 : 2;
        EXPECT_GT(r.at(x, y, 0), 200) << c.orientation;
        EXPECT_LT(r.at(x, y, 1), 60) << c.orientation;
        EXPECT_LT(r.at(r.width - 1 - x, r.height - 1 - y, 0), 160) << c.orientation;
        // Properties keep the stored orientation and size.
        EXPECT_EQ(img->properties()["Orientation"], c.orientation);
        EXPECT_EQ(img->properties()["PixelWidth"], 64);

        // Encoded and written files say upright, inside TIFF too, and carry no stale size.
        auto jpeg = pipe().jpegData(*img, 0.9, std::nullopt, ColorSpace::sRGB);
        ASSERT_TRUE(jpeg);
        auto exif = readExif(*jpeg);
        EXPECT_EQ(exif["Exif.Image.Orientation"].toLong(), 1);
        EXPECT_EQ(exif["Exif.Image.Make"].toString(), "Cam");
        fs::path outFile = dir / ("out" + std::to_string(c.orientation) + ".jpg");
        pipe().write(*img, outFile, PixelFormat::RGBA8, ColorSpace::sRGB, 0.9, std::nullopt);
        auto reread = pipe().loadImage(outFile);
        ASSERT_TRUE(reread);
        EXPECT_EQ(reread->properties()["Orientation"], 1);
        EXPECT_EQ(reread->properties()["{TIFF}"]["Orientation"], 1);
        EXPECT_EQ(reread->width(), img->width());
    }
    fs::remove_all(dir);
}

TEST(CoreImagePipeline, MetadataIsCarriedIntoWrittenFiles) {
    auto dir = freshDir("meta");
    fs::path src = dir / "src.jpg";
    saveJpeg(quadrantRaster(80, 60), src);
    setExif(src, {{"Exif.Image.Model", "Model X"},
                  {"Exif.Photo.DateTimeOriginal", "2024:05:01 10:11:12"},
                  {"Exif.Photo.SubSecTimeOriginal", "25"},
                  {"Exif.Photo.ExposureTime", "1/125"},
                  {"Exif.Photo.FNumber", "8/1"},
                  {"Exif.Photo.ISOSpeedRatings", "200"},
                  {"Exif.Photo.PixelXDimension", "80"},
                  {"Exif.GPSInfo.GPSLatitudeRef", "N"},
                  {"Exif.GPSInfo.GPSLatitude", "51/1 30/1 0/1"}});
    auto img = pipe().loadImage(src);
    ASSERT_TRUE(img);
    const auto& p = img->properties();
    EXPECT_EQ(p["{TIFF}"]["Model"], "Model X");
    EXPECT_EQ(p["{Exif}"]["DateTimeOriginal"], "2024:05:01 10:11:12");
    EXPECT_EQ(p["{Exif}"]["SubsecTimeOriginal"], "25");
    EXPECT_DOUBLE_EQ(p["{Exif}"]["ExposureTime"].get<double>(), 0.008);
    EXPECT_DOUBLE_EQ(p["{Exif}"]["FNumber"].get<double>(), 8.0);
    EXPECT_EQ(p["{Exif}"]["ISOSpeedRatings"], ImageProperties::array({200}));
    EXPECT_DOUBLE_EQ(p["{GPS}"]["Latitude"].get<double>(), 51.5);
    EXPECT_EQ(p["{GPS}"]["LatitudeRef"], "N");

    Image half = pipe().scaledToFit(*img, 40);
    for (const char* name : {"out.jpg", "out.png", "out.tif"}) {
        pipe().write(half, dir / name, PixelFormat::RGBA8, ColorSpace::sRGB, 0.8, std::nullopt);
        auto exif = readExif(dir / name);
        EXPECT_EQ(exif["Exif.Image.Model"].toString(), "Model X") << name;
        EXPECT_EQ(exif["Exif.Photo.ExposureTime"].toString(), "1/125") << name;
        EXPECT_EQ(exif["Exif.Photo.ISOSpeedRatings"].toLong(), 200) << name;
        EXPECT_EQ(exif["Exif.Photo.PixelXDimension"].toLong(), 40) << name;  // the written size
        EXPECT_EQ(exif["Exif.GPSInfo.GPSLatitude"].toString(), "51/1 30/1 0/10000") << name;
    }
    // Explicit properties replace the image's own.
    auto bytes = pipe().jpegData(half, 0.8, ImageProperties{{"{TIFF}", {{"Make", "Other"}}}}, ColorSpace::sRGB);
    ASSERT_TRUE(bytes);
    auto exif = readExif(*bytes);
    EXPECT_EQ(exif["Exif.Image.Make"].toString(), "Other");
    EXPECT_EQ(exif.findKey(Exiv2::ExifKey("Exif.Image.Model")), exif.end());
    // The metadata segment sits in a JPEG that still decodes whole, every row.
    vips::VImage back = vips::VImage::new_from_buffer(bytes->data(), bytes->size(), "",
                                                      vips::VImage::option()->set("fail_on", VIPS_FAIL_ON_WARNING));
    EXPECT_EQ(back.width(), half.width());
    EXPECT_EQ(back.height(), half.height());
    EXPECT_NEAR(back.avg(), half.pixels().avg(), 2.0);
    fs::remove_all(dir);
}

bool startsWith(const std::vector<std::uint8_t>& bytes, std::initializer_list<int> head, size_t at = 0) {
    if (bytes.size() < at + head.size()) return false;
    size_t i = at;
    for (int b : head)
        if (bytes[i++] != b) return false;
    return true;
}

TEST(CoreImagePipeline, WriterFollowsExtension) {
    enum Kind { jpeg, png, heif, tiff };
    const std::pair<const char*, Kind> cases[] = {
        {"a.JPG", jpeg},  {"b.Jpeg", jpeg}, {"c.webp", jpeg}, {"noext", jpeg}, {"d.HEIF", heif},
        {"e.heic", heif}, {"f.TIF", tiff},  {"g.tiff", tiff}, {"h.PNG", png},
    };
    auto dir = freshDir("writers");
    Image img = Image::fromRaster(quadrantRaster(32, 24));
    for (const auto& [name, kind] : cases) {
        pipe().write(img, dir / name, PixelFormat::RGBA8, ColorSpace::sRGB, 0.9, std::nullopt);
        ASSERT_TRUE(fs::exists(dir / name)) << name;
        auto bytes = slurp(dir / name);
        switch (kind) {
            case jpeg: EXPECT_TRUE(startsWith(bytes, {0xFF, 0xD8, 0xFF})) << name; break;
            case png: EXPECT_TRUE(startsWith(bytes, {0x89, 'P', 'N', 'G'})) << name; break;
            case heif: EXPECT_TRUE(startsWith(bytes, {'f', 't', 'y', 'p'}, 4)) << name; break;
            case tiff:
                EXPECT_TRUE(startsWith(bytes, {'I', 'I', 42, 0}) || startsWith(bytes, {'M', 'M', 0, 42})) << name;
                break;
        }
    }
    // Only the named files: no temporary left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), std::size(cases));

    // PNG and TIFF ignore the quality; JPEG honours it.
    for (const char* name : {"q.png", "q.tif", "q.jpg"}) {
        pipe().write(img, dir / "lo" / name, PixelFormat::RGBA8, ColorSpace::sRGB, 0.1, std::nullopt);
        pipe().write(img, dir / "hi" / name, PixelFormat::RGBA8, ColorSpace::sRGB, 1.0, std::nullopt);
        bool same = slurp(dir / "lo" / name) == slurp(dir / "hi" / name);
        EXPECT_EQ(same, std::string(name) != "q.jpg") << name;
    }
    // 16-bit PNG and grey output.
    pipe().write(img, dir / "deep.png", PixelFormat::RGBA16, ColorSpace::sRGB, 1, std::nullopt);
    auto deep = pipe().loadImage(dir / "deep.png");
    ASSERT_TRUE(deep);
    EXPECT_EQ(deep->bitsPerSample(), 16);
    pipe().write(img, dir / "grey.png", PixelFormat::RGBA8, ColorSpace::gray, 1, std::nullopt);
    EXPECT_EQ(pipe().loadImage(dir / "grey.png")->channels(), 1);
    fs::remove_all(dir);
}

TEST(CoreImagePipeline, WriteCreatesFoldersOrFailsWritingNothing) {
    auto dir = freshDir("folders");
    Image img = Image::fromRaster(quadrantRaster(8, 8));
    pipe().write(img, dir / "a" / "b" / "c" / "x.jpg", PixelFormat::RGBA8, ColorSpace::sRGB, 0.9, std::nullopt);
    EXPECT_TRUE(fs::exists(dir / "a" / "b" / "c" / "x.jpg"));

    spit(dir / "file", {1, 2, 3});
    try {
        pipe().write(img, dir / "file" / "sub" / "x.jpg", PixelFormat::RGBA8, ColorSpace::sRGB, 0.9, std::nullopt);
        ADD_FAILURE() << "wrote under a file";
    } catch (const lw::ImageError& e) {  // one line naming the file, not the library's exception
        EXPECT_EQ(e.kind(), lw::ImageError::Kind::writeFailed);
        EXPECT_EQ(std::string(e.what()).rfind("Could not write image x.jpg: cannot create the folder ", 0), 0u)
            << e.what();
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
    }
    // Nothing but a regular file is ever replaced.
    fs::create_directories(dir / "folder.jpg");
    EXPECT_THROW(pipe().write(img, dir / "folder.jpg", PixelFormat::RGBA8, ColorSpace::sRGB, 0.9, std::nullopt),
                 lw::ImageError);
    EXPECT_TRUE(fs::is_directory(dir / "folder.jpg"));
    EXPECT_EQ(slurp(dir / "file"), (std::vector<std::uint8_t>{1, 2, 3}));
    fs::remove_all(dir);
}

TEST(CoreImagePipeline, BadInputs) {
    auto dir = freshDir("bad");
    // Missing, zero-byte, text, directory, bogus RAW: nothing.
    spit(dir / "zero.jpg", {});
    spit(dir / "text.png", {'h', 'e', 'l', 'l', 'o'});
    spit(dir / "fake.cr2", {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 2, 3});
    fs::create_directories(dir / "folder.jpg");
    for (const char* name : {"missing.jpg", "zero.jpg", "text.png", "folder.jpg", "fake.cr2"})
        EXPECT_FALSE(pipe().loadImage(dir / name)) << name;

    // A PNG named .jpg is recognised by content.
    savePng(quadrantRaster(16, 16), dir / "actually-png.jpg");
    auto png = pipe().loadImage(dir / "actually-png.jpg");
    ASSERT_TRUE(png);
    EXPECT_EQ(png->width(), 16);

    // A truncated JPEG never turns into a deliverable: it fails to load, every time, even when
    // only the last rows are missing.
    saveJpeg(quadrantRaster(256, 256), dir / "full.jpg");
    auto full = slurp(dir / "full.jpg");
    for (size_t keep : {full.size() * 99 / 100, full.size() / 2, size_t{200}, size_t{20}}) {
        spit(dir / "cut.jpg", std::vector<std::uint8_t>(full.begin(), full.begin() + static_cast<long>(keep)));
        auto cut = pipe().loadImage(dir / "cut.jpg");
        EXPECT_FALSE(cut) << keep;
        if (cut) {
            EXPECT_FALSE(pipe().jpegData(*cut, 0.9, std::nullopt, ColorSpace::sRGB)) << keep;
            EXPECT_THROW(pipe().write(*cut, dir / "cut-out.jpg", PixelFormat::RGBA8, ColorSpace::sRGB, 0.9,
                                      std::nullopt),
                         lw::ImageError)
                << keep;
            EXPECT_FALSE(fs::exists(dir / "cut-out.jpg"));
        }
    }

    // 1 x 1 works end to end.
    saveJpeg(Raster8(1, 1, 3, 200), dir / "one.jpg");
    auto one = pipe().loadImage(dir / "one.jpg");
    ASSERT_TRUE(one);
    EXPECT_EQ(pipe().scaledToFit(*one, 2048).width(), 1);
    EXPECT_TRUE(pipe().jpegData(*one, 0.85, std::nullopt, ColorSpace::sRGB));

    // 60000 x 60000 is refused from the header, naming the file.
    spit(dir / "huge.png", pngHeaderOnly(60000, 60000));
    try {
        pipe().loadImage(dir / "huge.png");
        ADD_FAILURE() << "no error";
    } catch (const lw::ImageError& e) {
        EXPECT_EQ(e.kind(), lw::ImageError::Kind::tooLarge);
        EXPECT_THAT(e.what(), ::testing::HasSubstr("huge.png"));
        EXPECT_THAT(e.what(), ::testing::Not(::testing::HasSubstr(dir.string())));
    }
    // Just under the limit is only a header read, not refused.
    spit(dir / "large.png", pngHeaderOnly(20000, 20000));
    EXPECT_NO_THROW(pipe().loadImage(dir / "large.png"));
    fs::remove_all(dir);
}

// What a call writes to stderr (file descriptor 2) while it runs.
template <class F>
std::string stderrOf(F&& call) {
    std::fflush(stderr);
    const fs::path file = fs::temp_directory_path() / ("lw_stderr_" + std::to_string(::getpid()));
    const int saved = ::dup(2);
    const int into = ::open(file.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    ::dup2(into, 2);
    ::close(into);
    call();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    const auto bytes = slurp(file);
    fs::remove(file);
    return std::string(bytes.begin(), bytes.end());
}

// A JPEG missing only its two-byte end marker holds all its pixels: both roads' loaders decode
// it to the very pixels of the complete file. One whose data is cut short still fails, and
// libvips' warnings about it go to the sink of the work that loads it, never to stderr.
TEST(CoreImagePipeline, JpegMissingOnlyItsEndMarkerLoadsAndACutOneDoesNot) {
    auto dir = freshDir("endmarker");
    const vips::VImage noise =
        (vips::VImage::gaussnoise(320, 240, vips::VImage::option()->set("sigma", 60.0)) * std::vector<double>{1.0, 0.8, 0.6})
            .cast(VIPS_FORMAT_UCHAR)
            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    for (const bool progressive : {false, true}) {
        SCOPED_TRACE(progressive ? "progressive" : "baseline");
        const fs::path full = dir / "full.jpg";
        noise.jpegsave(full.c_str(), vips::VImage::option()->set("interlace", progressive)->set("Q", 90));
        const auto bytes = slurp(full);
        ASSERT_EQ(bytes[bytes.size() - 2], 0xFF);
        ASSERT_EQ(bytes[bytes.size() - 1], 0xD9);
        spit(dir / "noeoi.jpg", std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 2));
        spit(dir / "cut.jpg", std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() * 95 / 100)));

        // The complete file's pixels, decoded by libvips alone.
        const vips::VImage reference = vips::VImage::new_from_file(full.c_str());
        auto loaded = pipe().loadImage(dir / "noeoi.jpg");
        ASSERT_TRUE(loaded);
        const Raster8 pixels = loaded->toRaster<std::uint8_t>(3);
        ASSERT_EQ(pixels.width, reference.width());
        ASSERT_EQ(pixels.height, reference.height());
        const vips::VImage ours = vips::VImage::new_from_memory(const_cast<std::uint8_t*>(pixels.pixels.data()),
                                                                pixels.pixels.size(), pixels.width, pixels.height, 3,
                                                                VIPS_FORMAT_UCHAR);
        EXPECT_EQ((ours != reference).bandor().max(), 0.0);  // not one sample differs
        EXPECT_EQ(pipe().scaledToFit(*loaded, 100).width(), 100);
        EXPECT_EQ(lw::loadDataMap(dir / "noeoi.jpg").pixels, lw::loadDataMap(full).pixels);

        std::vector<std::string> lines;
        lw::VipsLogSink sink([&](const std::string& line) { lines.push_back(line); });
        const std::string printed = stderrOf([&] {
            const lw::ScopedVipsLogSink routed(&sink);
            EXPECT_FALSE(pipe().loadImage(dir / "cut.jpg"));
            EXPECT_THROW(lw::loadDataMap(dir / "cut.jpg"), lw::TextureImageError);
        });
        EXPECT_EQ(printed, "");
        EXPECT_THAT(lines, ::testing::Contains(::testing::HasSubstr("error in tile")));
    }
    fs::remove_all(dir);
}

TEST(CoreImagePipeline, WriteFailureNamesTheFile) {
    auto dir = freshDir("writefail");
    try {
        pipe().write(Image(), dir / "empty.png", PixelFormat::RGBA8, ColorSpace::sRGB, 1, std::nullopt);
        ADD_FAILURE() << "no error";
    } catch (const lw::ImageError& e) {
        EXPECT_EQ(e.kind(), lw::ImageError::Kind::writeFailed);
        EXPECT_THAT(e.what(), ::testing::HasSubstr("empty.png"));
    }
    EXPECT_FALSE(pipe().jpegData(Image(), 0.8, std::nullopt, ColorSpace::sRGB));
    fs::remove_all(dir);
}

}  // namespace
