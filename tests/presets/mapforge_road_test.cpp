// The texture road end to end: each mode on small generated maps, with its names, skips,
// log lines and failures.
#include <gtest/gtest.h>
#include <vips/vips8>
#include <zlib.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <mutex>

#include "core/BatchQueueManager.h"
#include "image/Image.h"
#include "image/TextureImage.h"
#include "presets/MapforgePreset.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using Mode = MapforgePreset::OperationalMode;
using ScaleMode = PowerOfTwoScaler::ScaleMode;
using Convention = ChannelPacker::NormalConvention;

// A valid 8-bit grey PNG of 65535 x 8192 pixels (537 megapixels, over the 400 megapixel limit)
// in about 200 KB: every row is one 64 KiB run of zeros, and deflate with a sync flush gives the
// same bytes for each run, so the stream is built without compressing half a gigabyte. A cut
// file holds the first rows only: a reader that decodes before it checks the size calls it
// damaged, one that checks the header first calls it too large.
void writeHugeGreyPng(const fs::path& file, bool cut = false) {
    constexpr std::uint32_t width = 65535, height = 8192;
    constexpr std::size_t rowBytes = width + 1;  // filter byte + samples: exactly 64 KiB
    const std::vector<std::uint8_t> row(rowBytes, 0);
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    const auto chunk = [&](int flush) {
        std::vector<std::uint8_t> out(rowBytes + 1024);
        z.next_in = const_cast<Bytef*>(row.data());
        z.avail_in = flush == Z_FINISH ? 0 : static_cast<uInt>(row.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, flush);
        out.resize(out.size() - z.avail_out);
        return out;
    };
    const auto first = chunk(Z_SYNC_FLUSH), second = chunk(Z_SYNC_FLUSH), third = chunk(Z_SYNC_FLUSH);
    ASSERT_EQ(second, third);
    const auto end = chunk(Z_FINISH);
    deflateEnd(&z);
    std::vector<std::uint8_t> stream = {0x78, 0xDA};
    stream.insert(stream.end(), first.begin(), first.end());
    for (std::uint32_t y = 1; y < (cut ? 100 : height); ++y) stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), end.begin(), end.end());
    const std::uint64_t total = static_cast<std::uint64_t>(rowBytes) * height;  // all zeros: a = 1, b = n
    const std::uint32_t adler = static_cast<std::uint32_t>((total % 65521) << 16 | 1);
    const auto be32 = [](std::vector<std::uint8_t>& v, std::uint32_t x) {
        for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<std::uint8_t>(x >> s));
    };
    be32(stream, adler);
    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const auto putChunk = [&](const char* type, const std::vector<std::uint8_t>& data) {
        be32(png, static_cast<std::uint32_t>(data.size()));
        std::vector<std::uint8_t> body(type, type + 4);
        body.insert(body.end(), data.begin(), data.end());
        png.insert(png.end(), body.begin(), body.end());
        be32(png, static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
    };
    std::vector<std::uint8_t> ihdr;
    be32(ihdr, width);
    be32(ihdr, height);
    ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0});
    putChunk("IHDR", ihdr);
    putChunk("IDAT", stream);
    if (!cut) putChunk("IEND", {});
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(png.data()),
                                                static_cast<std::streamsize>(png.size()));
}

class RoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("lw-texture-road-" + Uuid::random().toString());
        in = root / "in";
        out = root / "out";
        fs::create_directories(in);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    MapforgePreset preset(Mode mode) const {
        return MapforgePreset(mode, ChannelPacker::EngineProfile::unrealORM, true, ScaleMode::nearestPowerOfTwo(),
                              false, 0, false);
    }
    std::vector<std::string> run(const MapforgePreset& p, const std::string& file, std::string pattern = {}) {
        logs.clear();
        progress.clear();
        BatchItem item(Uuid::random(), in / file, std::nullopt, ProcessingStatus::pending, 0, std::nullopt, {});
        BatchConfiguration config(out, true, pattern.empty() ? p.defaultNamingPattern() : pattern, false, 2, false,
                                  false, {});
        ProcessingContext context{Uuid::random(), config, 1, 1,
                                  [this](double f, const std::optional<std::string>& m) {
                                      std::lock_guard lock(mutex);
                                      progress.push_back({f, m.value_or("")});
                                  },
                                  [this](const std::string& line) {
                                      std::lock_guard lock(mutex);
                                      logs.push_back(line);
                                  },
                                  {}};
        std::vector<std::string> names;
        for (const auto& path : p.process(item, context)) {
            EXPECT_TRUE(fs::exists(path)) << path;
            EXPECT_EQ(path.parent_path(), out);
            names.push_back(path.filename().string());
        }
        return names;
    }
    std::string skipReason(const MapforgePreset& p, const std::string& file) {
        try {
            run(p, file);
        } catch (const BatchSkip& skip) {
            return skip.reason;
        }
        return "(not skipped)";
    }
    std::string failure(const MapforgePreset& p, const std::string& file, std::string pattern = {}) {
        try {
            run(p, file, pattern);
        } catch (const BatchSkip& skip) {
            return "skip: " + skip.reason;
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(no failure)";
    }
    bool logged(const std::string& line) const { return std::find(logs.begin(), logs.end(), line) != logs.end(); }
    std::vector<std::string> outputFiles() const {
        std::vector<std::string> names;
        if (!fs::exists(out)) return names;
        for (const auto& e : fs::directory_iterator(out)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path root, in, out;
    std::mutex mutex;
    std::vector<std::string> logs;
    std::vector<std::pair<double, std::string>> progress;
};

TEST_F(RoadTest, ChannelPackingWritesTheSetOnceWithMipsAndNormal) {
    writePng(Raster8(8, 6, 1, 255), in / "Wood_AO.png");
    writePng(Raster8(8, 6, 1, 100), in / "Wood_Roughness.png");
    writePng(Raster8(4, 3, 1, 128), in / "Wood_Height.png");
    writePng(Raster8(8, 6, 3, 50), in / "Wood_Albedo.png");

    auto p = preset(Mode::channelPackingORM);
    p.generateMipmaps = true;
    p.generateMissingNormal = true;
    const auto names = run(p, "Wood_AO.png");
    EXPECT_EQ(names, (std::vector<std::string>{"Wood_ORM_8x8.png", "Wood_ORM_8x8_mip1_4.png", "Wood_ORM_8x8_mip2_2.png",
                                               "Wood_ORM_8x8_mip3_1.png", "Wood_NormalGL.png"}));
    EXPECT_TRUE(logged("Packing Unreal Engine (ORM): no Metallic map, using engine defaults"));
    EXPECT_TRUE(logged("Wood_AO.png: no normal map found, made Wood_NormalGL.png from the height map"));
    EXPECT_EQ(logs.back(), "Texture processing finished.");
    EXPECT_EQ(progress.front(), (std::pair<double, std::string>{0.2, "Discovering texture channels..."}));
    EXPECT_TRUE(std::count(progress.begin(), progress.end(),
                           std::pair<double, std::string>{0.5, "Compositing Unreal Engine (ORM)"}));
    const ColorRaster packed = loadColorRaster(out / "Wood_ORM_8x8.png");
    const auto& rgba = std::get<Raster8>(packed);
    EXPECT_EQ(rgba.channels, 4);
    EXPECT_EQ(rgba.at(5, 5, 0), 255);
    EXPECT_EQ(rgba.at(5, 5, 1), 100);

    EXPECT_EQ(skipReason(p, "Wood_Roughness.png"), "Wood_Roughness.png is packed together with Wood_AO.png");
    EXPECT_EQ(skipReason(p, "Wood_Albedo.png"),
              "Wood_Albedo.png isn't an AO / Roughness / Smoothness / Metallic / Height map");

    // With a normal map present none is made; another pattern names the pack.
    writePng(Raster8(4, 3, 3, 128), in / "Wood_NormalDX.png");
    p.generateMipmaps = false;
    p.engineProfile = ChannelPacker::EngineProfile::unityHDRPMaskMap;
    EXPECT_EQ(run(p, "Wood_AO.png", "{name}-{profile}-{index:03}"), (std::vector<std::string>{"Wood-MaskMap-001.png"}));
}

TEST_F(RoadTest, ChannelPackingOfOnePixelMapHasNoMipLevels) {
    writePng(Raster8(1, 1, 1, 9), in / "Dot_Metallic.png");
    auto p = preset(Mode::channelPackingORM);
    p.generateMipmaps = true;
    EXPECT_EQ(run(p, "Dot_Metallic.png"), (std::vector<std::string>{"Dot_ORM_1x1.png"}));
    EXPECT_TRUE(logged("Packing Unreal Engine (ORM): no AO/Roughness/Height map, using engine defaults"));
}

TEST_F(RoadTest, ChannelPackingNamesAnUnreadablePrimaryMap) {
    std::ofstream(in / "Stone_AO.png") << "not a png";
    EXPECT_EQ(failure(preset(Mode::channelPackingORM), "Stone_AO.png"),
              "Could not read texture map Stone_AO.png. It is not an image that can be read, or it is damaged.");
    EXPECT_TRUE(outputFiles().empty());
}

TEST_F(RoadTest, NormalConversionFlipsGreenAndSkipsOthers) {
    Raster8 normal(4, 4, 4, 0);
    for (std::size_t i = 0; i < normal.pixels.size(); i += 4)
        normal.pixels[i] = 128, normal.pixels[i + 1] = 60, normal.pixels[i + 2] = 250, normal.pixels[i + 3] = 77;
    writePng(normal, in / "Brick_NormalDX.png");
    writePng(normal, in / "Brick_NormalGL.png");
    writePng(normal, in / "Brick.png");
    auto p = preset(Mode::normalMapConvert);
    EXPECT_EQ(run(p, "Brick_NormalDX.png"), (std::vector<std::string>{"Brick_NormalGL.png"}));
    const auto flipped = std::get<Raster8>(loadColorRaster(out / "Brick_NormalGL.png"));
    EXPECT_EQ(flipped.at(1, 1, 1), 195);
    EXPECT_EQ(flipped.at(1, 1, 3), 77);  // alpha kept
    EXPECT_EQ(flipped.at(1, 1, 0), 128);
    EXPECT_EQ(logs.back(), "Texture processing finished.");

    EXPECT_EQ(skipReason(p, "Brick_NormalGL.png"), "Brick_NormalGL.png is already an OpenGL normal map");
    EXPECT_EQ(skipReason(p, "Brick.png"),
              "Brick.png isn't named like a normal map (_Normal, _NormalDX, _NormalGL, _Nrm)");
    p.normalTarget = Convention::directX;
    EXPECT_EQ(run(p, "Brick_NormalGL.png", "{name}_{profile}_{pot}_v{index}"),
              (std::vector<std::string>{"Brick_NormalDX_DX___v1.png"}));
}

TEST_F(RoadTest, NormalFromHeight) {
    Raster16 height(8, 8, 1);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) height.at(x, y) = static_cast<std::uint16_t>(x * 8000);
    writePng(height, in / "Cliff_Height.png");
    auto p = preset(Mode::normalFromHeight);
    p.normalTarget = Convention::directX;
    EXPECT_EQ(run(p, "Cliff_Height.png"), (std::vector<std::string>{"Cliff_NormalDX.png"}));
    EXPECT_EQ(readTextureSize(out / "Cliff_NormalDX.png"), (TextureSize{8, 8}));

    std::ofstream(in / "Broken_Height.png") << "";
    EXPECT_EQ(failure(p, "Broken_Height.png"),
              "Failed to open texture image at Broken_Height.png. It is not an image that can be read, or it is damaged.");
}

TEST_F(RoadTest, PowerOfTwoWithMipsAndInputProtection) {
    writePng(Raster8(6, 3, 4, 90), in / "icon.png");
    auto p = preset(Mode::powerOfTwoEnforce);
    p.generateMipmaps = true;
    EXPECT_EQ(run(p, "icon.png"), (std::vector<std::string>{"icon_POT_8x4.png", "icon_POT_8x4_mip1_4.png",
                                                             "icon_POT_8x4_mip2_2.png", "icon_POT_8x4_mip3_1.png"}));
    EXPECT_EQ(readTextureSize(out / "icon_POT_8x4.png"), (TextureSize{8, 4}));

    // Writing into the input folder under the input's own name is refused; the input stays.
    const auto before = fs::file_size(in / "icon.png");
    out = in;
    EXPECT_EQ(failure(p, "icon.png", "{name}"),
              "icon.png would replace its own source file; choose another output folder or naming pattern.");
    EXPECT_EQ(fs::file_size(in / "icon.png"), before);
}

TEST_F(RoadTest, PowerOfTwoReadsUprightAndStoresLinearColourAsSRGB) {
    // A 64 x 32 JPEG, red in its stored top-left quadrant, to be shown turned a quarter clockwise
    // (EXIF orientation 6): upright it is 32 x 64 with the red at the top right.
    {
        vips::VImage xy = vips::VImage::xyz(64, 32);
        vips::VImage red = (xy[0] < 32) & (xy[1] < 16);
        vips::VImage rgb = red.ifthenelse(std::vector<double>{255, 0, 0}, std::vector<double>{128, 128, 128})
                               .cast(VIPS_FORMAT_UCHAR)
                               .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
        rgb.set("orientation", 6);
        rgb.jpegsave((in / "turned.jpg").c_str(), vips::VImage::option()->set("Q", 95));
    }
    auto p = preset(Mode::powerOfTwoEnforce);
    ASSERT_EQ(run(p, "turned.jpg"), (std::vector<std::string>{"turned_POT_32x64.png"}));
    const auto upright = std::get<Raster8>(loadColorRaster(out / "turned_POT_32x64.png"));
    EXPECT_GT(upright.at(24, 8, 0), 200);
    EXPECT_LT(upright.at(24, 8, 1), 60);
    EXPECT_NEAR(upright.at(8, 8, 0), 128, 8);
    EXPECT_NEAR(upright.at(24, 48, 0), 128, 8);

    // Linear float sources: colour is stored with the sRGB curve, data maps keep their values,
    // alpha stays as it was; 16 bits either way.
    vips::VImage half = (vips::VImage::black(8, 4, vips::VImage::option()->set("bands", 3)) + 0.5)
                            .cast(VIPS_FORMAT_FLOAT)
                            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_scRGB));
    half.tiffsave((in / "Sky.tif").c_str());
    half.tiffsave((in / "Rock_Roughness.tif").c_str());
    struct Case {
        std::string source;
        int colour;
        int alpha;  // -1: no alpha
    };
    std::vector<Case> cases = {{"Sky.tif", 48192, -1}, {"Rock_Roughness.tif", 32768, -1}};
    if (std::system("convert -list format 2>/dev/null | grep -q EXR") == 0) {
        for (const char* name : {"Sky_Albedo.exr", "Rock_Height.exr"}) {
            const std::string command = "convert '" + (in / "Sky.tif").string() +
                                        "' -alpha set -channel A -evaluate set 50% +channel "
                                        "-define quantum:format=floating-point '" +
                                        (in / name).string() + "'";
            ASSERT_EQ(std::system(command.c_str()), 0);
        }
        cases.push_back({"Sky_Albedo.exr", 48192, 32768});
        cases.push_back({"Rock_Height.exr", 32768, 32768});
    }
    for (const auto& c : cases) {
        const auto names = run(p, c.source);
        ASSERT_EQ(names.size(), 1u) << c.source;
        const ColorRaster written = loadColorRaster(out / names[0]);
        ASSERT_TRUE(std::holds_alternative<Raster16>(written)) << c.source;
        const auto& r = std::get<Raster16>(written);
        EXPECT_NEAR(r.at(1, 1, 0), c.colour, 3) << c.source;
        EXPECT_EQ(r.channels, c.alpha < 0 ? 3 : 4) << c.source;
        if (c.alpha >= 0 && r.channels == 4) {
            EXPECT_NEAR(r.at(1, 1, 3), c.alpha, 3) << c.source;
        }
    }
}

// A map over the pixel limit is refused from its header, before any pixel is decoded, on every
// road and for every sibling map of a pack; the item's error keeps the road's own text first.
TEST_F(RoadTest, DecompressionBombsAreRefusedFromTheHeader) {
    writeHugeGreyPng(in / "Bomb_Height.png");
    writeHugeGreyPng(in / "Cut_Height.png", true);
    ASSERT_EQ(readTextureSize(in / "Bomb_Height.png"), (TextureSize{65535, 8192}));
    writePng(Raster8(8, 8, 1, 200), in / "Tile_AO.png");
    fs::copy_file(in / "Cut_Height.png", in / "Tile_Roughness.png");
    fs::copy_file(in / "Bomb_Height.png", in / "Bomb_NormalDX.png");
    const std::string tooLarge = " It is larger than 400 megapixels.";
    const struct {
        Mode mode;
        const char* file;
        std::string error;
    } cases[] = {
        {Mode::normalFromHeight, "Bomb_Height.png", "Failed to open texture image at Bomb_Height.png." + tooLarge},
        {Mode::normalFromHeight, "Cut_Height.png", "Failed to open texture image at Cut_Height.png." + tooLarge},
        {Mode::normalMapConvert, "Bomb_NormalDX.png", "Failed to open texture image at Bomb_NormalDX.png." + tooLarge},
        {Mode::powerOfTwoEnforce, "Bomb_Height.png", "Failed to open texture image at Bomb_Height.png." + tooLarge},
        {Mode::tilingCheck, "Bomb_Height.png", "Failed to open texture image at Bomb_Height.png." + tooLarge},
        {Mode::channelPackingORM, "Tile_AO.png", "Could not read texture map Tile_Roughness.png." + tooLarge},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failure(preset(c.mode), c.file), c.error) << rawValue(c.mode);
        EXPECT_TRUE(outputFiles().empty()) << rawValue(c.mode);
    }
    // The height map of a pack that makes its normal map is refused the same way.
    fs::remove(in / "Tile_Roughness.png");
    fs::copy_file(in / "Bomb_Height.png", in / "Tile_Height.png");
    auto p = preset(Mode::channelPackingORM);
    EXPECT_EQ(failure(p, "Tile_AO.png"), "Could not read texture map Tile_Height.png." + tooLarge);
}

// A failed item removes only its own temporary files: a file of the same name written before it
// (by another item or an earlier run) stays as it was.
TEST_F(RoadTest, AFailedItemNeverRemovesAFileItDidNotWrite) {
    writePng(Raster8(8, 8, 1, 255), in / "Wood_AO.png");
    std::ofstream(in / "Wood_Height.png") << "not a png";  // read for the normal map, after the pack
    fs::create_directories(out);
    std::ofstream(out / "Wood_Pack.png") << "written by another item";
    auto p = preset(Mode::channelPackingORM);
    p.engineProfile = ChannelPacker::EngineProfile::gltfORM;  // no height channel in the pack
    p.generateMipmaps = true;
    p.generateMissingNormal = true;
    const std::string message = failure(p, "Wood_AO.png", "{name}_Pack");
    EXPECT_EQ(message.rfind("Could not read texture map Wood_Height.png.", 0), 0u) << message;
    EXPECT_EQ(outputFiles(), (std::vector<std::string>{"Wood_Pack.png"}));
    std::ifstream kept(out / "Wood_Pack.png");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "written by another item");
}

// Something that is not a regular file under an output's name is never replaced.
TEST_F(RoadTest, DestinationsThatAreNotRegularFilesAreRefused) {
    writePng(Raster8(6, 3, 4, 90), in / "icon.png");
    fs::create_directories(out);
    ASSERT_EQ(::mkfifo((out / "icon_POT_8x4.png").c_str(), 0600), 0);
    const std::string message = failure(preset(Mode::powerOfTwoEnforce), "icon.png");
    EXPECT_NE(message.find("Could not write icon_POT_8x4.png in " + out.string()), std::string::npos) << message;
    EXPECT_NE(message.find("(a named pipe)"), std::string::npos) << message;
    EXPECT_TRUE(fs::is_fifo(out / "icon_POT_8x4.png"));
    EXPECT_EQ(outputFiles(), (std::vector<std::string>{"icon_POT_8x4.png"}));
}

// Two items of one job that would write the same deliverable: the later one fails, naming the
// file and the earlier item, and writes nothing.
TEST_F(RoadTest, TwoItemsOfOneJobNeverWriteTheSameTexture) {
    fs::create_directories(in / "a");
    fs::create_directories(in / "b");
    writePng(Raster8(4, 4, 1, 10), in / "a" / "Cliff_Height.png");
    writePng(Raster8(4, 4, 1, 200), in / "b" / "Cliff_Height.png");
    std::vector<BatchItem> items;
    for (const char* file : {"a/Cliff_Height.png", "b/Cliff_Height.png"})
        items.emplace_back(Uuid::random(), in / file, std::nullopt, ProcessingStatus::pending, 0, std::nullopt,
                           StringMap{});
    const auto p = std::make_shared<MapforgePreset>(preset(Mode::normalFromHeight));
    BatchConfiguration config(out, true, p->defaultNamingPattern(), false, 2, false, false, {});
    BatchQueueManager queue;
    const Uuid jobID = Uuid::random();
    const ExecutionReport report = queue.submitAndStart(ProcessingJob(jobID, p->id(), p->displayName(), items, config), p);
    EXPECT_EQ(report.successCount, 1);
    EXPECT_EQ(report.failureCount, 1);
    EXPECT_EQ(outputFiles(), (std::vector<std::string>{"Cliff_NormalGL.png"}));
    const auto job = queue.activeJobs().at(jobID);
    const auto failed = std::find_if(job.items.begin(), job.items.end(),
                                     [](const BatchItem& i) { return i.status == ProcessingStatus::failed; });
    ASSERT_NE(failed, job.items.end());
    const auto winner = failed == job.items.begin() ? job.items[1] : job.items[0];
    EXPECT_EQ(failed->errorMessage.value_or(""),
              "Cliff_NormalGL.png was already written in this job from " + winner.sourceURL.string() +
                  "; Cliff_Height.png would replace it. Choose a naming pattern that gives every item its own name.");
}

TEST_F(RoadTest, TilingCheckPassesOrFailsWithPreview) {
    writePng(Raster8(16, 16, 3, 120), in / "flat.png");
    Raster8 ramp(16, 16, 3);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) ramp.at(x, y, 0) = static_cast<std::uint8_t>(x * 16);
    writePng(ramp, in / "ramp.png");
    auto p = preset(Mode::tilingCheck);
    EXPECT_TRUE(run(p, "flat.png").empty());
    EXPECT_TRUE(logged("flat.png: tiles seamlessly"));

    const std::string message = failure(p, "ramp.png");
    EXPECT_EQ(message.rfind("Left and right edges differ ", 0), 0u) << message;
    EXPECT_NE(message.find("x more than neighbouring pixels; top and bottom 1.0x. Preview: ramp_Tiled2x2.png"),
              std::string::npos)
        << message;
    EXPECT_EQ(readTextureSize(out / "ramp_Tiled2x2.png"), (TextureSize{32, 32}));
}


// The largest difference between two images over every band; -1 when their sizes or bands differ.
double largestDifference(const vips::VImage& a, const vips::VImage& b) {
    if (a.width() != b.width() || a.height() != b.height() || a.bands() != b.bands()) return -1;
    return (a.cast(VIPS_FORMAT_DOUBLE) - b.cast(VIPS_FORMAT_DOUBLE)).abs().max();
}

// Grey maps with and without alpha, 8 and 16 bits, keep their values on the roads that write
// colour: each colour band carries the grey, and alpha stays alpha or stays absent.
TEST_F(RoadTest, GreyMapsKeepTheirValuesOnTheColourRoads) {
    ensureVipsStarted();
    struct Case {
        std::string name;
        int bits;
        int channels;
    };
    const Case cases[] = {{"Plain_Roughness.png", 8, 1}, {"Deep_Height.png", 16, 1}, {"Decal.png", 8, 2},
                          {"DeepDecal.png", 16, 2}};
    for (const auto& c : cases) {
        // A ramp (so the tiling check writes its preview) with alpha falling down the rows.
        const auto sample = [&](int x, int y, int band) {
            const int value = band == 0 ? 10 + x * 15 : 250 - y * 30;
            return c.bits == 8 ? value : value * 257 + x;
        };
        if (c.bits == 8) {
            Raster8 r(16, 8, c.channels);
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 16; ++x)
                    for (int b = 0; b < c.channels; ++b) r.at(x, y, b) = static_cast<std::uint8_t>(sample(x, y, b));
            writePng(r, in / c.name);
        } else {
            Raster16 r(16, 8, c.channels);
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 16; ++x)
                    for (int b = 0; b < c.channels; ++b) r.at(x, y, b) = static_cast<std::uint16_t>(sample(x, y, b));
            writePng(r, in / c.name);
        }
        const vips::VImage source = vips::VImage::new_from_file((in / c.name).c_str());
        ASSERT_EQ(source.bands(), c.channels) << c.name;
        const vips::VImage grey = source[0];
        const vips::VImage expected =
            c.channels == 2 ? vips::VImage::bandjoin({grey, grey, grey, source[1]}) : vips::VImage::bandjoin({grey, grey, grey});

        const std::string stem = fs::path(c.name).stem().string();
        const auto names = run(preset(Mode::powerOfTwoEnforce), c.name);
        ASSERT_EQ(names.size(), 1u) << c.name;
        EXPECT_EQ(largestDifference(vips::VImage::new_from_file((out / names[0]).c_str()), expected), 0) << c.name;

        failure(preset(Mode::tilingCheck), c.name);
        const vips::VImage preview = vips::VImage::new_from_file((out / (stem + "_Tiled2x2.png")).c_str());
        EXPECT_EQ(largestDifference(preview.extract_area(16, 8, 16, 8), expected), 0) << c.name;
    }
}

// A TGA stored from its bottom-left corner, rows bottom first, as the format's default origin has it.
void writeBottomLeftTga(const vips::VImage& picture, const fs::path& file) {
    const int w = picture.width(), h = picture.height();
    std::vector<std::uint8_t> bytes = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int v : {w, h}) bytes.insert(bytes.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)});
    bytes.insert(bytes.end(), {24, 0});  // 24 bits, origin bit clear: bottom-left
    std::size_t size = 0;
    auto* rgb = static_cast<std::uint8_t*>(picture.cast(VIPS_FORMAT_UCHAR).write_to_memory(&size));
    for (int y = h - 1; y >= 0; --y)
        for (int x = 0; x < w; ++x) {
            const std::uint8_t* p = rgb + (static_cast<std::size_t>(y) * w + x) * 3;
            bytes.insert(bytes.end(), {p[2], p[1], p[0]});
        }
    g_free(rgb);
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

// Every road reads a file as an image viewer shows it: a bottom-left TGA and a JPEG turned by
// its EXIF orientation give exactly the outputs of the same picture stored upright as PNG.
TEST_F(RoadTest, EveryRoadReadsTheSourceAsShown) {
    ensureVipsStarted();
    const vips::VImage xy = vips::VImage::xyz(64, 32);
    const vips::VImage checker = ((xy[0] / 8).cast(VIPS_FORMAT_INT) + (xy[1] / 8).cast(VIPS_FORMAT_INT)) % 2;
    const vips::VImage picture =
        vips::VImage::bandjoin({xy[0] * 4, xy[1] * 8, checker * 200})
            .cast(VIPS_FORMAT_UCHAR)
            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));

    const fs::path jpegFolder = root / "jpeg", tgaFolder = root / "tga", uprightFolder = root / "upright";
    for (const auto& folder : {jpegFolder, tgaFolder, uprightFolder}) fs::create_directories(folder);
    // The JPEG stores the picture turned a quarter anticlockwise, to be shown turned back (6).
    vips::VImage turned = picture.rot(VIPS_ANGLE_D270);
    turned.set("orientation", 6);
    turned.jpegsave((jpegFolder / "stored.jpg").c_str(), vips::VImage::option()->set("Q", 95));
    const vips::VImage jpegShown = vips::VImage::new_from_file((jpegFolder / "stored.jpg").c_str()).autorot();
    ASSERT_EQ(jpegShown.width(), 64);
    EXPECT_EQ(readTextureSize(jpegFolder / "stored.jpg"), (TextureSize{64, 32}));

    struct Road {
        Mode mode;
        std::string stem;
    };
    const Road roads[] = {{Mode::powerOfTwoEnforce, "Wall"}, {Mode::tilingCheck, "Wall"},
                          {Mode::normalMapConvert, "Wall_NormalDX"}, {Mode::normalFromHeight, "Wall_Height"},
                          {Mode::channelPackingORM, "Wall_AO"}, {Mode::spriteSheetAtlas, "walk_1"}};
    struct Source {
        std::string extension;
        vips::VImage shown;
    };
    for (const auto& [extension, shown] : {Source{"tga", picture}, Source{"jpg", jpegShown}}) {
        for (const auto& road : roads) {
            const std::string label = extension + " " + rawValue(road.mode);
            const auto folder = [&](bool upright) {
                return root / (extension + "-" + std::to_string(static_cast<int>(road.mode)) + (upright ? "-upright" : "-stored"));
            };
            std::vector<std::vector<std::string>> outputs;
            for (const bool upright : {true, false}) {
                in = folder(upright);
                out = in / "out";
                fs::create_directories(in);
                const std::string file = road.stem + "." + (upright ? std::string("png") : extension);
                if (upright) shown.pngsave((in / file).c_str());
                else if (extension == "tga") writeBottomLeftTga(picture, in / file);
                else fs::copy_file(jpegFolder / "stored.jpg", in / file);
                failure(preset(road.mode), file);
                outputs.push_back(outputFiles());
            }
            ASSERT_EQ(outputs[0], outputs[1]) << label;
            EXPECT_FALSE(outputs[0].empty()) << label;
            for (const auto& name : outputs[0]) {
                if (fs::path(name).extension() != ".png") continue;
                const fs::path stored = folder(false) / "out" / name;
                const fs::path upright = folder(true) / "out" / name;
                EXPECT_EQ(largestDifference(vips::VImage::new_from_file(stored.c_str()),
                                            vips::VImage::new_from_file(upright.c_str())),
                          0)
                    << label << ": " << name;
            }
        }
    }
}


// Images one or a few pixels thin go through every road, the sprite road included: each is
// processed with no side below one pixel, or fails alone with a message that names it.
TEST_F(RoadTest, ThinImagesAreProcessedOrFailAlone) {
    ensureVipsStarted();
    const auto ramp = [](int w, int h) {
        return (vips::VImage::xyz(w, h)[0] * (255.0 / w)).cast(VIPS_FORMAT_UCHAR);
    };
    ramp(9000, 1).pngsave((in / "Line_Height.png").c_str());
    ramp(20000, 3).pngsave((in / "Strip_AO.png").c_str());
    ramp(9000, 1).rot(VIPS_ANGLE_D90).pngsave((in / "Post_NormalDX.png").c_str());
    {
        vips::VImage turned = vips::VImage::bandjoin({ramp(9000, 1), ramp(9000, 1), ramp(9000, 1)})
                                  .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
        turned.set("orientation", 6);
        turned.jpegsave((in / "wire_1.jpg").c_str());
        vips::VImage::bandjoin({ramp(4000, 1), ramp(4000, 1), ramp(4000, 1), ramp(4000, 1) + 255})
            .pngsave((in / "spark_1.png").c_str());
    }
    struct Case {
        Mode mode;
        std::string file;
        std::int64_t maxSize;
        std::vector<std::pair<std::string, TextureSize>> outputs;  // empty: fails naming the file
    };
    const std::vector<Case> cases = {
        {Mode::powerOfTwoEnforce, "Line_Height.png", 0, {{"Line_Height_POT_8192x1.png", {8192, 1}}}},
        {Mode::powerOfTwoEnforce, "Strip_AO.png", 1000, {{"Strip_AO_POT_512x1.png", {512, 1}}}},
        {Mode::powerOfTwoEnforce, "wire_1.jpg", 1, {{"wire_1_POT_1x1.png", {1, 1}}}},
        {Mode::channelPackingORM, "Strip_AO.png", 0, {{"Strip_ORM_16384x4.png", {16384, 4}}}},
        {Mode::normalFromHeight, "Line_Height.png", 0, {{"Line_NormalGL.png", {9000, 1}}}},
        {Mode::normalMapConvert, "Post_NormalDX.png", 0, {{"Post_NormalGL.png", {1, 9000}}}},
        {Mode::tilingCheck, "Strip_AO.png", 0, {{"Strip_AO_Tiled2x2.png", {8192, 2}}}},
        {Mode::spriteSheetAtlas,
         "spark_1.png",
         0,
         {{"spark_Atlas.png", {4096, 2048}}, {"spark_Atlas@1x.png", {2048, 1024}}}},
        {Mode::spriteSheetAtlas, "wire_1.jpg", 0, {}},
    };
    for (const auto& c : cases) {
        const std::string label = rawValue(c.mode) + " " + c.file;
        out = root / ("out-" + std::to_string(&c - cases.data()));
        auto p = preset(c.mode);
        p.maxTextureSize = c.maxSize;
        p.generateMipmaps = c.mode == Mode::powerOfTwoEnforce;
        p.spriteHalfScale = true;
        const std::string message = failure(p, c.file);
        if (c.outputs.empty()) {
            EXPECT_NE(message.find(c.file), std::string::npos) << label << ": " << message;
            EXPECT_TRUE(outputFiles().empty()) << label;
            continue;
        }
        for (const auto& [name, size] : c.outputs) {
            ASSERT_TRUE(fs::exists(out / name)) << label << ": " << name << " (" << message << ")";
            const vips::VImage written = vips::VImage::new_from_file((out / name).c_str());
            EXPECT_EQ(written.width(), size.width) << label << ": " << name;
            EXPECT_EQ(written.height(), size.height) << label << ": " << name;
        }
    }
}

}  // namespace
}  // namespace lw
