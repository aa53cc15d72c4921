#include "image/SpriteSheetCompiler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include <unistd.h>

#include <vips/vips8>

namespace fs = std::filesystem;
using namespace lw;
using SSC = SpriteSheetCompiler;

namespace {

const bool vipsReady = VIPS_INIT("sprite_test") == 0;

// Opaque-ish pattern unique to `seed`, with a transparent margin of `margin` pixels.
RGBAImage pattern(int w, int h, int seed, int margin = 0) {
    RGBAImage img(w, h);
    for (int y = margin; y < h - margin; ++y)
        for (int x = margin; x < w - margin; ++x) {
            const auto a = static_cast<std::uint8_t>(200 + (x + y + seed) % 56);
            img.at(x, y, 0) = static_cast<std::uint8_t>((x * 7 + seed * 13) % (a + 1));
            img.at(x, y, 1) = static_cast<std::uint8_t>((y * 5 + seed * 29) % (a + 1));
            img.at(x, y, 2) = static_cast<std::uint8_t>((seed * 31) % (a + 1));
            img.at(x, y, 3) = a;
        }
    return img;
}

RGBAImage embedded(const RGBAImage& content, int w, int h, int ox, int oy) {
    RGBAImage img(w, h);
    for (int y = 0; y < content.height; ++y)
        std::memcpy(&img.at(ox, oy + y), content.row(y), static_cast<std::size_t>(content.width) * 4);
    return img;
}

std::uint32_t pixel(const RGBAImage& img, int x, int y) {
    std::uint32_t v;
    std::memcpy(&v, &img.at(x, y), 4);
    return v;
}

struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() / ("sprite_test_" + std::to_string(::getpid()) + "_" +
                                            std::to_string(std::random_device{}()));
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
};

void writeStraightPNG(const fs::path& file, int w, int h, std::vector<std::uint8_t> rgba) {
    vips::VImage img = vips::VImage::new_from_memory(rgba.data(), rgba.size(), w, h, 4, VIPS_FORMAT_UCHAR);
    img.pngsave(file.c_str());
}

SSC::Options opts(bool trim, int padding, int extrude, int maxSize, bool rotate) {
    SSC::Options o;
    o.trim = trim;
    o.padding = padding;
    o.extrude = extrude;
    o.maxSheetSize = maxSize;
    o.scale = 1.0;
    o.allowRotation = rotate;
    return o;
}

std::vector<std::string> namesFor(std::size_t n) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < n; ++i) names.push_back("frame_" + std::to_string(i) + ".png");
    return names;
}

}  // namespace

TEST(RGBAImageTest, BoundsCropAndRotation) {
    RGBAImage img(4, 3);
    EXPECT_FALSE(img.opaqueBounds().has_value());
    img.at(1, 1, 3) = 1;
    img.at(2, 2, 3) = 255;
    ASSERT_TRUE(img.opaqueBounds().has_value());
    EXPECT_EQ(*img.opaqueBounds(), (RGBAImage::Bounds{1, 1, 2, 2}));

    RGBAImage p = pattern(3, 2, 5);
    RGBAImage c = p.cropped({1, 0, 2, 2});
    ASSERT_EQ(c.width, 2);
    EXPECT_EQ(pixel(c, 0, 1), pixel(p, 1, 1));

    RGBAImage r = p.rotatedClockwise();
    ASSERT_EQ(r.width, 2);
    ASSERT_EQ(r.height, 3);
    // Top-left goes to top-right; bottom-left to top-left.
    EXPECT_EQ(pixel(r, 1, 0), pixel(p, 0, 0));
    EXPECT_EQ(pixel(r, 0, 0), pixel(p, 0, 1));
    EXPECT_EQ(pixel(r, 0, 2), pixel(p, 2, 1));
}

TEST(RGBAImageTest, LoadPremultipliesScalesAndRejectsBadFiles) {
    TempDir dir;
    // 3x3, one half-transparent red pixel at the centre.
    std::vector<std::uint8_t> px(3 * 3 * 4, 0);
    px[(1 * 3 + 1) * 4 + 0] = 200;
    px[(1 * 3 + 1) * 4 + 3] = 128;
    writeStraightPNG(dir.path / "a.png", 3, 3, px);
    auto img = RGBAImage::load(dir.path / "a.png", 1.0);
    ASSERT_TRUE(img.has_value());
    EXPECT_EQ(img->at(1, 1, 0), 100);  // 200 * 128 / 255, rounded
    EXPECT_EQ(img->at(1, 1, 3), 128);
    // Back to straight alpha within one step of rounding.
    EXPECT_NEAR(img->unpremultipliedPixels()[(1 * 3 + 1) * 4], 200, 1);

    auto half = RGBAImage::load(dir.path / "a.png", 0.5);
    ASSERT_TRUE(half.has_value());
    EXPECT_EQ(half->width, 2);  // 1.5 rounds up
    EXPECT_EQ(half->height, 2);
    for (std::size_t i = 0; i < half->pixels.size(); i += 4)
        for (int c = 0; c < 3; ++c) EXPECT_LE(half->pixels[i + c], half->pixels[i + 3]);
    auto tiny = RGBAImage::load(dir.path / "a.png", 0.01);
    ASSERT_TRUE(tiny.has_value());
    EXPECT_EQ(tiny->width, 1);

    // Grey without alpha becomes opaque RGBA.
    vips::VImage grey = vips::VImage::black(5, 4) + 77;
    grey.cast(VIPS_FORMAT_UCHAR).pngsave((dir.path / "g.png").c_str());
    auto g = RGBAImage::load(dir.path / "g.png", 1.0);
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(g->at(2, 2, 0), 77);
    EXPECT_EQ(g->at(2, 2, 3), 255);

    // 16 bits a sample and grey with alpha become 8-bit premultiplied RGBA.
    vips::VImage deep = (vips::VImage::black(3, 2, vips::VImage::option()->set("bands", 4)) +
                         std::vector<double>{65535, 0, 32896, 32896})
                            .cast(VIPS_FORMAT_USHORT)
                            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16));
    deep.pngsave((dir.path / "deep.png").c_str());
    auto d = RGBAImage::load(dir.path / "deep.png", 1.0);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->at(1, 1, 3), 128);
    EXPECT_EQ(d->at(1, 1, 0), 128);  // 255 premultiplied by 128
    EXPECT_EQ(d->at(1, 1, 1), 0);
    EXPECT_EQ(d->at(1, 1, 2), 64);
    vips::VImage greyAlpha = (vips::VImage::black(2, 2, vips::VImage::option()->set("bands", 2)) +
                              std::vector<double>{100, 51})
                                 .cast(VIPS_FORMAT_UCHAR)
                                 .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
    greyAlpha.pngsave((dir.path / "ga.png").c_str());
    auto ga = RGBAImage::load(dir.path / "ga.png", 1.0);
    ASSERT_TRUE(ga.has_value());
    EXPECT_EQ(ga->at(0, 0, 3), 51);
    EXPECT_EQ(ga->at(0, 0, 0), 20);  // 100 * 51 / 255
    EXPECT_EQ(ga->at(0, 0, 2), 20);

    // Not an image, truncated, missing.
    std::ofstream(dir.path / "text.png") << "not a picture";
    {
        std::ifstream in(dir.path / "a.png", std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        std::ofstream(dir.path / "cut.png", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    }
    EXPECT_FALSE(RGBAImage::load(dir.path / "text.png", 1.0).has_value());
    EXPECT_FALSE(RGBAImage::load(dir.path / "cut.png", 1.0).has_value());
    EXPECT_FALSE(RGBAImage::load(dir.path / "missing.png", 1.0).has_value());
}

TEST(SpriteSheetCompilerTest, TrimsDeduplicatesAndReportsInInputOrder) {
    std::vector<RGBAImage> frames;
    frames.push_back(pattern(10, 8, 1, 2));  // trimmed to 6x4 at (2,2)
    frames.push_back(RGBAImage(7, 5));       // fully transparent
    frames.push_back(pattern(10, 8, 1, 2));  // same as the first
    frames.push_back(embedded(pattern(10, 8, 1, 2).cropped({2, 2, 6, 4}), 6, 4, 0, 0));  // same kept pixels, untrimmed
    frames.push_back(embedded(pattern(6, 4, 2), 9, 9, 1, 3));  // same kept size, other pixels
    SSC compiler;
    SSC::Atlas atlas = compiler.compileAtlas(namesFor(frames.size()), frames, opts(true, 2, 1, 256, false), true);
    ASSERT_EQ(atlas.pages.size(), 1u);
    const auto& page = atlas.pages[0];
    ASSERT_EQ(page.frames.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(page.frames[i].name, "frame_" + std::to_string(i) + ".png");

    EXPECT_EQ(page.frames[0].spriteSourceSize, (SSC::Rect{2, 2, 6, 4}));
    EXPECT_EQ(page.frames[0].sourceSize, (SSC::Size{10, 8}));
    EXPECT_TRUE(page.frames[0].trimmed);

    EXPECT_EQ(page.frames[1].spriteSourceSize, (SSC::Rect{0, 0, 1, 1}));
    EXPECT_EQ(page.frames[1].frame.width, 1);
    EXPECT_TRUE(page.frames[1].trimmed);

    EXPECT_TRUE(page.frames[2].isDuplicate);
    EXPECT_EQ(page.frames[2].frame, page.frames[0].frame);
    EXPECT_TRUE(page.frames[3].isDuplicate);
    EXPECT_EQ(page.frames[3].frame, page.frames[0].frame);
    EXPECT_FALSE(page.frames[3].trimmed);
    EXPECT_EQ(page.frames[3].spriteSourceSize, (SSC::Rect{0, 0, 6, 4}));
    EXPECT_FALSE(page.frames[4].isDuplicate);
    EXPECT_NE(page.frames[4].frame, page.frames[0].frame);
    EXPECT_EQ(page.duplicateCount, 2);
    EXPECT_EQ(atlas.duplicateCount(), 2);
    EXPECT_EQ(atlas.frameCount(), 5);

    // Trimming off keeps whole frames, and the transparent frame no longer equals a 1x1.
    SSC::Atlas untrimmed = compiler.compileAtlas(namesFor(frames.size()), frames, opts(false, 0, 0, 256, false), true);
    EXPECT_EQ(untrimmed.pages[0].frames[0].frame.width, 10);
    EXPECT_FALSE(untrimmed.pages[0].frames[0].trimmed);
    EXPECT_FALSE(untrimmed.pages[0].frames[3].isDuplicate);
}

TEST(SpriteSheetCompilerTest, EqualLongerSidesKeepInputOrder) {
    // Both frames have a longer side of 8: the first in input order is placed first, at the origin.
    for (bool thinFirst : {true, false}) {
        std::vector<RGBAImage> frames{pattern(8, 2, 1), pattern(8, 8, 2)};
        if (!thinFirst) std::swap(frames[0], frames[1]);
        SSC::Atlas atlas = SSC().compileAtlas(namesFor(2), frames, opts(false, 0, 0, 64, false), false);
        EXPECT_EQ(atlas.pages[0].frames[0].frame.x, 0);
        EXPECT_EQ(atlas.pages[0].frames[0].frame.y, 0);
    }
    // Longest side first: the 16-wide frame takes the origin although it comes last.
    std::vector<RGBAImage> frames{pattern(8, 4, 1), pattern(4, 8, 2), pattern(16, 2, 3)};
    SSC::Atlas atlas = SSC().compileAtlas(namesFor(3), frames, opts(false, 0, 0, 64, false), false);
    EXPECT_EQ(atlas.pages[0].frames[2].frame, (SSC::Rect{0, 0, 16, 2}));
}

struct PackCase {
    const char* label;
    bool rotate;
    int padding;
    int extrude;
    int maxSize;
    int count;
};

void PrintTo(const PackCase& c, std::ostream* os) { *os << c.label; }

class PackingProperties : public ::testing::TestWithParam<PackCase> {};

// Every frame lands inside its page, slots don't overlap, the pixels and their extruded borders
// are on the page as they were in the frame, and pages are powers of two.
TEST_P(PackingProperties, FramesArePlacedIntactWithoutOverlap) {
    const PackCase pc = GetParam();
    std::mt19937 rng(42);
    std::vector<RGBAImage> frames;
    for (int i = 0; i < pc.count; ++i) {
        const int w = 1 + static_cast<int>(rng() % 40), h = 1 + static_cast<int>(rng() % 70);
        frames.push_back(pattern(w, h, i));
    }
    const std::vector<RGBAImage> originals = frames;
    SSC::Atlas atlas =
        SSC().compileAtlas(namesFor(frames.size()), frames, opts(false, pc.padding, pc.extrude, pc.maxSize, pc.rotate), true);
    int seen = 0;
    bool anyRotated = false;
    for (const auto& page : atlas.pages) {
        EXPECT_EQ(page.sheetWidth & (page.sheetWidth - 1), 0) << page.sheetWidth;
        EXPECT_EQ(page.sheetHeight & (page.sheetHeight - 1), 0) << page.sheetHeight;
        EXPECT_LE(page.sheetWidth, pc.maxSize);
        EXPECT_LE(page.sheetHeight, pc.maxSize);
        std::vector<SSC::Rect> slots;
        for (const auto& f : page.frames) {
            ++seen;
            anyRotated = anyRotated || f.rotated;
            const int idx = f.sequenceIndex;
            const RGBAImage src = f.rotated ? originals[idx].rotatedClockwise() : originals[idx];
            ASSERT_EQ(f.frame.width, src.width);
            ASSERT_EQ(f.frame.height, src.height);
            const int e = pc.extrude;
            ASSERT_GE(f.frame.x - e, 0);
            ASSERT_GE(f.frame.y - e, 0);
            ASSERT_LE(f.frame.x + f.frame.width + e, page.sheetWidth);
            ASSERT_LE(f.frame.y + f.frame.height + e, page.sheetHeight);
            for (int y = -e; y < src.height + e; ++y)
                for (int x = -e; x < src.width + e; ++x) {
                    const int sx = std::clamp(x, 0, src.width - 1), sy = std::clamp(y, 0, src.height - 1);
                    ASSERT_EQ(pixel(page.image, f.frame.x + x, f.frame.y + y), pixel(src, sx, sy))
                        << pc.label << " frame " << idx << " at " << x << "," << y;
                }
            slots.push_back({f.frame.x - e, f.frame.y - e, f.frame.width + 2 * e + pc.padding,
                             f.frame.height + 2 * e + pc.padding});
        }
        for (std::size_t a = 0; a < slots.size(); ++a)
            for (std::size_t b = a + 1; b < slots.size(); ++b) {
                const auto &r = slots[a], &s = slots[b];
                const bool overlap = r.x < s.x + s.width && s.x < r.x + r.width && r.y < s.y + s.height &&
                                     s.y < r.y + r.height;
                ASSERT_FALSE(overlap) << pc.label << " slots " << a << " and " << b;
            }
    }
    EXPECT_EQ(seen, pc.count);
    EXPECT_EQ(anyRotated, pc.rotate) << "rotation used only where allowed, and used there";
    EXPECT_EQ(atlas.rotatedCount() > 0, anyRotated);
}

INSTANTIATE_TEST_SUITE_P(Cases, PackingProperties,
                         ::testing::Values(PackCase{"plain", false, 0, 0, 1024, 60},
                                           PackCase{"padded", false, 2, 1, 1024, 60},
                                           PackCase{"rotated", true, 2, 1, 1024, 60},
                                           PackCase{"wide extrude", true, 3, 4, 1024, 30},
                                           PackCase{"many pages", false, 2, 1, 128, 80},
                                           PackCase{"many pages rotated", true, 1, 2, 128, 80}),
                         [](const auto& info) {
                             std::string s = info.param.label;
                             for (char& c : s)
                                 if (c == ' ') c = '_';
                             return s;
                         });

TEST(SpriteSheetCompilerTest, SizeLimits) {
    const int limit = 64, extrude = 2;
    // Exactly at the limit fits, even with padding (padding is only needed between neighbours).
    SSC::Atlas fits = SSC().compileAtlas({"big.png"}, {pattern(limit - 2 * extrude, 10, 1)},
                                         opts(false, 4, extrude, limit, false), false);
    EXPECT_EQ(fits.pages[0].sheetWidth, limit);
    EXPECT_EQ(fits.pages[0].frames[0].frame.x, extrude);

    try {
        SSC().compileAtlas({"small.png", "big one.png"}, {pattern(4, 4, 1), pattern(10, limit - 2 * extrude + 1, 2)},
                           opts(false, 4, extrude, limit, false), true);
        FAIL() << "no error";
    } catch (const SSC::AtlasError& e) {
        EXPECT_EQ(e.kind, SSC::AtlasError::Kind::frameTooLarge);
        EXPECT_STREQ(e.what(), "big one.png is larger than the 64x64 sheet limit.");
    }

    // Four 30x30 frames with padding 4 fill a 64x64 page (no padding at the page edge)...
    std::vector<RGBAImage> four{pattern(30, 30, 1), pattern(30, 30, 2), pattern(30, 30, 3), pattern(30, 30, 4)};
    SSC::Atlas full = SSC().compileAtlas(namesFor(4), four, opts(false, 4, 0, 64, false), false);
    EXPECT_EQ(full.pages.size(), 1u);
    EXPECT_EQ(full.pages[0].frames[3].frame, (SSC::Rect{34, 34, 30, 30}));
    // ...four 31x31 frames need a page each; on one page they fail.
    for (int i = 0; i < 4; ++i) four[static_cast<std::size_t>(i)] = pattern(31, 31, i);
    SSC::Atlas paged = SSC().compileAtlas(namesFor(4), four, opts(false, 4, 0, 64, false), true);
    EXPECT_EQ(paged.pages.size(), 4u);
    EXPECT_EQ(paged.frameCount(), 4);
    try {
        SSC().compileAtlas(namesFor(4), four, opts(false, 4, 0, 64, false), false);
        FAIL() << "no error";
    } catch (const SSC::AtlasError& e) {
        EXPECT_EQ(e.kind, SSC::AtlasError::Kind::sheetTooLarge);
        EXPECT_STREQ(e.what(), "The frames don't fit on a 64x64 sheet. Split the sequence or scale it down.");
    }

    // A limit that isn't a power of two caps the page side.
    SSC::Atlas capped = SSC().compileAtlas({"a.png"}, {pattern(90, 20, 1)}, opts(false, 0, 0, 100, false), false);
    EXPECT_EQ(capped.pages[0].sheetWidth, 100);
}

TEST(SpriteSheetCompilerTest, ManySmallFramesAndOneFrame) {
    std::vector<RGBAImage> frames;
    for (int i = 0; i < 2000; ++i) frames.push_back(pattern(3 + i % 5, 2 + i % 7, i));
    SSC::Atlas atlas = SSC().compileAtlas(namesFor(frames.size()), frames, opts(true, 1, 0, 512, true), true);
    EXPECT_EQ(atlas.frameCount(), 2000);

    SSC::Atlas one = SSC().compileAtlas({"solo.png"}, {pattern(5, 3, 1)}, opts(true, 2, 1, 8192, false), false);
    EXPECT_EQ(one.pages[0].sheetWidth, 16);  // 5 + 2 + 2 = 9 -> 16
    EXPECT_EQ(one.pages[0].sheetHeight, 8);
}

TEST(SpriteSheetCompilerTest, FilesDecodeAndFailuresAreReported) {
    TempDir dir;
    std::vector<std::uint8_t> px(4 * 4 * 4, 255);
    writeStraightPNG(dir.path / "walk_01.png", 4, 4, px);
    writeStraightPNG(dir.path / "walk_02.png", 4, 4, px);
    std::ofstream(dir.path / "walk_03.png") << "garbage";
    SSC::Options o = opts(true, 2, 1, 256, false);
    SSC::Atlas atlas = SSC().compileAtlas({dir.path / "walk_01.png", dir.path / "walk_03.png", dir.path / "walk_02.png"}, o, true);
    EXPECT_EQ(atlas.frameCount(), 2);
    EXPECT_EQ(atlas.duplicateCount(), 1);
    ASSERT_EQ(atlas.unreadableFrames.size(), 1u);
    EXPECT_EQ(atlas.unreadableFrames[0].filename(), "walk_03.png");
    EXPECT_EQ(atlas.pages[0].frames[1].name, "walk_02.png");

    SSC::AtlasResult single = SSC().compile({dir.path / "walk_01.png"}, o);
    EXPECT_EQ(single.frames.size(), 1u);

    struct ErrCase {
        std::vector<fs::path> urls;
        SSC::AtlasError::Kind kind;
        const char* text;
    };
    for (const ErrCase& c : {ErrCase{{}, SSC::AtlasError::Kind::emptyFrameList,
                                     "No animation frames provided for sprite-sheet compilation."},
                             ErrCase{{dir.path / "walk_03.png", dir.path / "nope.png"},
                                     SSC::AtlasError::Kind::failedToLoadFrames,
                                     "Failed to decode frame images from provided URLs."}}) {
        try {
            SSC().compileAtlas(c.urls, o, true);
            ADD_FAILURE() << c.text;
        } catch (const SSC::AtlasError& e) {
            EXPECT_EQ(e.kind, c.kind);
            EXPECT_STREQ(e.what(), c.text);
        }
    }
}

TEST(SpriteSheetCompilerTest, PageWritesStraightAlphaPNG) {
    TempDir dir;
    RGBAImage page(2, 1);
    page.at(0, 0, 0) = 64;
    page.at(0, 0, 3) = 128;  // premultiplied: straight red is 127.5
    page.at(1, 0, 1) = 255;
    page.at(1, 0, 3) = 255;
    page.writePNG(dir.path / "p.png");
    vips::VImage back = vips::VImage::new_from_file((dir.path / "p.png").c_str());
    ASSERT_EQ(back.bands(), 4);
    EXPECT_NEAR(back(0, 0)[0], 128, 1);
    EXPECT_EQ(back(0, 0)[3], 128);
    EXPECT_EQ(back(1, 0)[1], 255);
    auto again = RGBAImage::load(dir.path / "p.png", 1.0);
    ASSERT_TRUE(again.has_value());
    EXPECT_NEAR(again->at(0, 0, 0), 64, 1);
}

TEST(SpriteSheetDataFormatTest, NamesWordsAndRotation) {
    using F = SSC::DataFormat;
    ASSERT_EQ(allDataFormats(), (std::vector<F>{F::jsonHash, F::jsonArray, F::cocos, F::godot, F::unity}));
    const std::vector<std::string> words{"json", "json-array", "cocos", "godot", "unity"};
    const std::vector<std::string> names{"JSON Hash (Phaser, PixiJS)", "JSON Array (Phaser, generic)", "Cocos2d (.plist)",
                                         "Godot 4 SpriteFrames (.tres)", "Unity sliced sprite (.png.meta)"};
    for (std::size_t i = 0; i < 5; ++i) {
        const F f = allDataFormats()[i];
        EXPECT_EQ(rawValue(f), words[i]);
        EXPECT_EQ(dataFormatFromRawValue(words[i]), f);
        EXPECT_EQ(displayName(f), names[i]);
        EXPECT_EQ(supportsRotation(f), i < 3);
    }
    EXPECT_FALSE(dataFormatFromRawValue("JSON").has_value());
    EXPECT_FALSE(dataFormatFromRawValue("jsonHash").has_value());
}
