// Texture engines: material channel discovery, packing, halving, normal maps, power-of-two
// sizing and the tiling check, on small images generated here.
#include <gtest/gtest.h>
#include <vips/vips8>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "image/ChannelPacker.h"
#include "image/NormalMapGenerator.h"
#include "image/PowerOfTwoScaler.h"
#include "image/TextureImage.h"
#include "image/TilingChecker.h"
#include "platform/Uuid.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using Channel = ChannelPacker::Channel;
using Profile = ChannelPacker::EngineProfile;
using Convention = ChannelPacker::NormalConvention;
using ScaleMode = PowerOfTwoScaler::ScaleMode;

class TempDir {
public:
    TempDir() : path_(fs::temp_directory_path() / ("lw-texture-" + Uuid::random().toString())) {
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

Raster8 grey(int w, int h, std::uint8_t value) { return Raster8(w, h, 1, value); }

void touch(const fs::path& file) { std::ofstream(file) << "x"; }

bool haveConvert() { return std::system("command -v convert >/dev/null 2>&1") == 0; }

TEST(ChannelDiscovery, IdentifyBySuffix) {
    ChannelPacker packer;
    struct Case {
        const char* name;
        std::optional<std::pair<std::string, Channel>> expected;
    };
    const Case cases[] = {
        {"Wall_ao.PNG", std::make_pair(std::string("Wall"), Channel::ambientOcclusion)},
        {"Wall_Occlusion.png", std::make_pair(std::string("Wall"), Channel::ambientOcclusion)},
        {"Wall_Smooth.png", std::make_pair(std::string("Wall"), Channel::smoothness)},
        {"Wall_Gloss.png", std::make_pair(std::string("Wall"), Channel::smoothness)},
        {"Wall_Disp.png", std::make_pair(std::string("Wall"), Channel::height)},
        {"Rock_Detail_Mask.tga", std::make_pair(std::string("Rock"), Channel::detailMask)},
        {"Gold_Metalness.png", std::make_pair(std::string("Gold"), Channel::metallic)},
        {"_Roughness.png", std::nullopt},
        {"Wall_Albedo.png", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(packer.identify(c.name), c.expected) << c.name;

    using N = std::optional<std::pair<std::string, std::optional<Convention>>>;
    EXPECT_EQ(packer.identifyNormal("Brick_NormalDX.png"), N(std::make_pair(std::string("Brick"), Convention::directX)));
    EXPECT_EQ(packer.identifyNormal("brick_normalgl.tga"), N(std::make_pair(std::string("brick"), Convention::openGL)));
    EXPECT_EQ(packer.identifyNormal("Brick_NRM.png"), N(std::make_pair(std::string("Brick"), std::nullopt)));
    EXPECT_EQ(packer.identifyNormal("Brick_Normal.png"), N(std::make_pair(std::string("Brick"), std::nullopt)));
    EXPECT_EQ(packer.identifyNormal("_Normal.png"), N());
    EXPECT_EQ(packer.identifyNormal("Brick.png"), N());

    EXPECT_EQ(NormalMapGenerator::stem("Cliff_Height.exr"), std::make_pair(std::string("Cliff"), true));
    EXPECT_EQ(NormalMapGenerator::stem("Cliff_DISPLACEMENT.png"), std::make_pair(std::string("Cliff"), true));
    EXPECT_EQ(NormalMapGenerator::stem("Cliff_bump.png"), std::make_pair(std::string("Cliff"), true));
    EXPECT_EQ(NormalMapGenerator::stem("Cliff.png"), std::make_pair(std::string("Cliff"), false));
}

TEST(ChannelDiscovery, ProfilesAndMissingInputs) {
    EXPECT_EQ(layoutDescription(Profile::unrealORM), "R: AO \u00B7 G: Roughness \u00B7 B: Metallic \u00B7 A: Height");
    EXPECT_EQ(layoutDescription(Profile::gltfORM), "R: AO \u00B7 G: Roughness \u00B7 B: Metallic \u00B7 A: White");
    EXPECT_EQ(layoutDescription(Profile::unityHDRPMaskMap),
              "R: Metallic \u00B7 G: AO \u00B7 B: Detail Mask \u00B7 A: Smoothness");
    EXPECT_EQ(engineProfileFromRawValue("hdrp"), Profile::unityHDRPMaskMap);
    EXPECT_EQ(engineProfileFromRawValue("HDRP"), std::nullopt);
    EXPECT_EQ(channelFromRawValue(5), Channel::detailMask);
    EXPECT_EQ(channelFromRawValue(6), std::nullopt);

    ChannelPacker::ChannelSources s;
    s.maps = {{Channel::ambientOcclusion, "a"}, {Channel::smoothness, "s"}};
    EXPECT_EQ(s.missingInputs(Profile::unrealORM), (std::vector<std::string>{"Metallic", "Height"}));
    EXPECT_EQ(s.missingInputs(Profile::unityMetallicSmoothness), (std::vector<std::string>{"Metallic"}));
    EXPECT_EQ(s.missingInputs(Profile::gltfORM), (std::vector<std::string>{"Metallic"}));
    s.maps = {{Channel::height, "h"}, {Channel::roughness, "r"}};
    EXPECT_EQ(s.primaryURL(), fs::path("r"));
    EXPECT_EQ(ChannelPacker::ChannelSources{}.primaryURL(), std::nullopt);
    try {
        ChannelPacker().sourceSize({});
        ADD_FAILURE();
    } catch (const ChannelPacker::PackingError& e) {
        EXPECT_STREQ(e.what(), "No valid source texture maps found for channel packing.");
    }
}

TEST(ChannelDiscovery, GathersSiblings) {
    TempDir dir;
    for (const char* name : {"Wall_AO.png", "Wall_Occlusion.png", "wall_roughness.png", "Wall_Metal.bmp",
                             "Wall_Height.psd", ".Wall_DetailMask.png", "Wall_Smoothness.txt", "Floor_AO.png",
                             "Wall_Albedo.png"})
        touch(dir / name);
    ChannelPacker packer;
    auto sources = packer.discoverChannels(dir / "Wall_AO.png");
    ASSERT_TRUE(sources);
    EXPECT_EQ(sources->maps.size(), 4u);
    EXPECT_EQ(sources->maps[Channel::ambientOcclusion].filename(), "Wall_AO.png");
    EXPECT_EQ(sources->maps[Channel::roughness].filename(), "wall_roughness.png");
    EXPECT_EQ(sources->maps[Channel::metallic].filename(), "Wall_Metal.bmp");
    EXPECT_EQ(sources->maps[Channel::height].filename(), "Wall_Height.psd");
    // The dropped file holds its own channel even when another file comes first by name.
    sources = packer.discoverChannels(dir / "Wall_Occlusion.png");
    EXPECT_EQ(sources->maps[Channel::ambientOcclusion].filename(), "Wall_Occlusion.png");
    // Dropping a map of another channel: of several maps of one channel, the first by name.
    for (const char* name : {"Wall_ao.tga", "Wall_AmbientOcclusion.png", "Wall_Rough.png"}) touch(dir / name);
    for (const char* dropped : {"Wall_Metal.bmp", "Wall_Height.psd"}) {
        sources = packer.discoverChannels(dir / dropped);
        ASSERT_TRUE(sources);
        EXPECT_EQ(sources->maps[Channel::ambientOcclusion].filename(), "Wall_AO.png") << dropped;
        EXPECT_EQ(sources->maps[Channel::roughness].filename(), "Wall_Rough.png") << dropped;
    }
    for (const char* name : {"Wall_ao.tga", "Wall_AmbientOcclusion.png", "Wall_Rough.png"}) fs::remove(dir / name);
    EXPECT_FALSE(packer.discoverChannels(dir / "Wall_Albedo.png"));
    // An unreadable folder still gives the dropped file.
    sources = packer.discoverChannels(dir / "missing" / "Stone_AO.png");
    ASSERT_TRUE(sources);
    EXPECT_EQ(sources->maps.size(), 1u);

    touch(dir / "Wall_NormalGL.tga");
    EXPECT_TRUE(NormalMapGenerator::hasNormalMap("WALL", dir.path()));
    EXPECT_FALSE(NormalMapGenerator::hasNormalMap("Floor", dir.path()));
}

TEST(ChannelPacking, PacksLayoutsWithDefaultsAndResizing) {
    TempDir dir;
    writePng(grey(8, 4, 200), dir / "M_AO.png");
    writePng(grey(16, 8, 100), dir / "M_Smoothness.png");  // other size: resized
    Raster16 height(8, 4, 1, 65535);
    writePng(height, dir / "M_Height.png");

    ChannelPacker packer;
    auto sources = *packer.discoverChannels(dir / "M_AO.png");
    EXPECT_EQ(packer.sourceSize(sources), (TextureSize{8, 4}));
    const Raster8 orm = packer.pack(sources, Profile::unrealORM, {8, 4});
    ASSERT_EQ(orm.channels, 4);
    EXPECT_EQ(orm.at(3, 2, 0), 200);
    EXPECT_EQ(orm.at(3, 2, 1), 155);  // roughness = 1 - smoothness
    EXPECT_EQ(orm.at(3, 2, 2), 0);    // metallic default
    EXPECT_EQ(orm.at(3, 2, 3), 255);  // 16-bit height, full scale

    const Raster8 mask = packer.pack(sources, Profile::unityHDRPMaskMap, {4, 2});
    EXPECT_EQ(mask.width, 4);
    EXPECT_EQ(mask.at(1, 1, 0), 0);
    EXPECT_EQ(mask.at(1, 1, 1), 200);
    EXPECT_EQ(mask.at(1, 1, 2), 255);  // detail mask default
    EXPECT_EQ(mask.at(1, 1, 3), 100);

    ChannelPacker::ChannelSources onlyAO;
    onlyAO.maps[Channel::ambientOcclusion] = dir / "M_AO.png";
    const Raster8 gltf = packer.pack(onlyAO, Profile::gltfORM, {2, 2});
    EXPECT_EQ(gltf.at(0, 0, 1), 128);  // neither roughness nor smoothness: mid grey
    EXPECT_EQ(gltf.at(0, 0, 3), 255);

    // A colour map is read as luma of the stored values.
    Raster8 colour(2, 2, 3);
    for (std::size_t i = 0; i < colour.pixels.size(); i += 3) colour.pixels[i + 1] = 255;
    writePng(colour, dir / "C_Metallic.png");
    ChannelPacker::ChannelSources metal;
    metal.maps[Channel::metallic] = dir / "C_Metallic.png";
    EXPECT_EQ(packer.pack(metal, Profile::unityMetallicSmoothness, {2, 2}).at(0, 0, 0), 182);  // 0.7152 * 255

    std::ofstream(dir / "Bad_AO.png") << "";
    ChannelPacker::ChannelSources bad;
    bad.maps[Channel::ambientOcclusion] = dir / "Bad_AO.png";
    try {
        packer.pack(bad, Profile::unrealORM, {2, 2});
        ADD_FAILURE();
    } catch (const ChannelPacker::PackingError& e) {
        EXPECT_EQ(e.kind, ChannelPacker::PackingError::Kind::cannotRead);
        EXPECT_STREQ(e.what(), "Could not read texture map Bad_AO.png. It is not an image that can be read, or it is damaged.");
    }
}

TEST(ChannelPacking, HalvingAndMipChain) {
    Raster8 image(4, 2, 4);
    // Left 2x2 block: one opaque red pixel among transparent ones; colour follows the opaque pixel.
    image.at(0, 0, 0) = 255;
    image.at(0, 0, 3) = 255;
    for (int y = 0; y < 2; ++y)
        for (int x = 2; x < 4; ++x) image.at(x, y, 1) = 80, image.at(x, y, 3) = 255;
    const Raster8 half = ChannelPacker::halved(image);
    ASSERT_EQ(half.width, 2);
    ASSERT_EQ(half.height, 1);
    EXPECT_EQ(half.at(0, 0, 0), 255);
    EXPECT_EQ(half.at(0, 0, 3), 64);
    EXPECT_EQ(half.at(1, 0, 1), 80);

    const auto chain = PowerOfTwoScaler::mipChain(Raster8(16, 4, 4, 9));
    ASSERT_EQ(chain.size(), 4u);  // 8x2, 4x1, 2x1, 1x1
    EXPECT_EQ(chain.back().width, 1);
    EXPECT_EQ(chain.back().height, 1);
    EXPECT_EQ(chain.back().at(0, 0, 2), 9);
    const Raster8 odd = ChannelPacker::halved(Raster8(3, 3, 1, 7));
    EXPECT_EQ(odd.width, 1);
    EXPECT_EQ(odd.at(0, 0), 7);
    EXPECT_TRUE(PowerOfTwoScaler::mipChain(Raster8(1, 1, 4)).empty());
}

TEST(PowerOfTwo, Dimensions) {
    struct Case {
        std::int64_t value;
        ScaleMode mode;
        int expected;
    };
    const Case cases[] = {
        {1000, ScaleMode::nearestPowerOfTwo(), 1024}, {500, ScaleMode::nearestPowerOfTwo(), 512},
        {700, ScaleMode::nearestPowerOfTwo(), 512},   {768, ScaleMode::nearestPowerOfTwo(), 1024},  // tie goes up
        {3, ScaleMode::nearestPowerOfTwo(), 4},       {1, ScaleMode::nearestPowerOfTwo(), 1},
        {0, ScaleMode::roundUpPowerOfTwo(), 1},       {513, ScaleMode::roundUpPowerOfTwo(), 1024},
        {1023, ScaleMode::roundDownPowerOfTwo(), 512}, {1024, ScaleMode::roundDownPowerOfTwo(), 1024},
        {77, ScaleMode::fixedTarget(2048), 2048},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PowerOfTwoScaler::computePOTDimension(c.value, c.mode), c.expected) << c.value;

    Raster8 image(3, 5, 4, 100);
    const Raster8 scaled = PowerOfTwoScaler::scale(image, {4, 8});
    EXPECT_EQ(scaled.width, 4);
    EXPECT_EQ(scaled.height, 8);
    EXPECT_EQ(scaled.at(2, 6, 1), 100);
}

TEST(NormalMaps, FromHeightAndGreenFlip) {
    // A ramp rising to the right and downwards.
    RasterF height(8, 8, 1);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) height.at(x, y) = 0.05f * x + 0.02f * y;
    const Raster8 gl = NormalMapGenerator::fromHeight(height, 2.0, Convention::openGL, false);
    const Raster8 dx = NormalMapGenerator::fromHeight(height, 2.0, Convention::directX, false);
    ASSERT_EQ(gl.channels, 3);
    EXPECT_LT(gl.at(4, 4, 0), 128);  // tilts away from the rise
    EXPECT_GT(gl.at(4, 4, 1), 128);  // OpenGL: green up, away from the downward rise
    EXPECT_LT(dx.at(4, 4, 1), 128);
    EXPECT_EQ(gl.at(4, 4, 0), dx.at(4, 4, 0));
    EXPECT_GT(gl.at(4, 4, 2), 200);
    // Flat: straight up, (128, 128, 255).
    const Raster8 flat = NormalMapGenerator::fromHeight(RasterF(4, 4, 1, 0.5f), 10.0, Convention::openGL, true);
    EXPECT_EQ(flat.at(0, 0, 0), 128);
    EXPECT_EQ(flat.at(3, 3, 2), 255);
    // Wrapping differences at the edge see the far side; clamping does not.
    const Raster8 wrapped = NormalMapGenerator::fromHeight(height, 2.0, Convention::openGL, true);
    EXPECT_NE(wrapped.at(0, 4, 0), gl.at(0, 4, 0));
    EXPECT_EQ(NormalMapGenerator::fromHeight(RasterF(1, 1, 1, 0.3f), 2.0, Convention::directX, true).at(0, 0, 2), 255);

    Raster8 normal(2, 1, 4);
    normal.pixels = {10, 20, 30, 40, 50, 255, 70, 80};
    NormalMapGenerator::flipGreen(normal);
    EXPECT_EQ(normal.pixels, (std::vector<std::uint8_t>{10, 235, 30, 40, 50, 0, 70, 80}));
    Raster16 deep(1, 1, 3);
    deep.pixels = {1, 1000, 2};
    NormalMapGenerator::flipGreen(deep);
    EXPECT_EQ(deep.pixels[1], 64535);
}

TEST(Tiling, SeamRatiosAndSummary) {
    // Horizontal sine that wraps exactly: seamless both ways.
    RasterF periodic(64, 32, 1);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x) periodic.at(x, y) = 0.5f + 0.4f * std::sin(2 * M_PI * x / 64.0);
    auto result = TilingChecker::check(periodic);
    // The seam falls on the steepest slope: 1 / mean|cos| = pi/2.
    EXPECT_NEAR(result.horizontalSeamRatio, M_PI / 2, 0.1);
    EXPECT_NEAR(result.verticalSeamRatio, 1.0, 0.01);
    EXPECT_TRUE(result.isSeamless());
    // A ramp jumps at the wrap seam.
    RasterF ramp(64, 32, 1);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x) ramp.at(x, y) = x / 64.0f;
    result = TilingChecker::check(ramp);
    EXPECT_GT(result.horizontalSeamRatio, 30.0);
    EXPECT_FALSE(result.isSeamless());
    EXPECT_EQ(result.size, (TextureSize{64, 32}));
    TilingChecker::Result r;
    r.horizontalSeamRatio = 4.2;
    r.verticalSeamRatio = 1.06;
    EXPECT_EQ(r.summary(), "Left and right edges differ 4.2x more than neighbouring pixels; top and bottom 1.1x");
    EXPECT_TRUE(TilingChecker::check(RasterF(1, 1, 1)).isSeamless());

    TempDir dir;
    Raster8 colour(6, 4, 3, 0);
    for (int x = 0; x < 6; ++x) colour.at(x, 1, 0) = static_cast<std::uint8_t>(40 * x);
    writePng(colour, dir / "t.png");
    TilingChecker::writePreview(dir / "t.png", dir / "t_Tiled2x2.png");
    EXPECT_EQ(readTextureSize(dir / "t_Tiled2x2.png"), (TextureSize{12, 8}));
}

TEST(TextureImages, FilesCutShortFailEveryTime) {
    // PNG and JPEG maps missing their last percent, or all but the header, fail in every reader
    // every time, whatever the thread timing of the decoder.
    TempDir dir;
    vips::VImage noise = vips::VImage::gaussnoise(512, 512, vips::VImage::option()->set("sigma", 40.0))
                             .cast(VIPS_FORMAT_UCHAR);
    noise = noise.bandjoin({noise, noise}).copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    noise.pngsave((dir / "full.png").c_str());
    noise.jpegsave((dir / "full.jpg").c_str());
    std::vector<std::string> names;
    for (const char* ext : {"png", "jpg"}) {
        std::ifstream in(dir / (std::string("full.") + ext), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        for (std::size_t keep : {bytes.size() * 99 / 100, std::size_t{60}}) {
            names.push_back("cut" + std::to_string(keep) + "." + ext);
            std::ofstream(dir / names.back(), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(keep));
        }
    }
    for (int round = 0; round < 10; ++round) {
        for (const auto& name : names) {
            EXPECT_THROW(loadDataMap(dir / name), TextureImageError) << name << " round " << round;
            EXPECT_THROW(loadColorRaster(dir / name), TextureImageError) << name << " round " << round;
        }
    }
}

TEST(TextureImages, ReadsFormatsAndRefusesBadFiles) {
    TempDir dir;
    // Grey + alpha: the first channel.
    Raster8 ga(2, 2, 2);
    ga.pixels = {10, 0, 10, 0, 10, 255, 10, 255};
    writePng(ga, dir / "ga.png");
    EXPECT_NEAR(loadDataMap(dir / "ga.png").at(1, 1), 10 / 255.0, 1e-6);
    // 16-bit PNG read back exactly, and through the colour reader as 16 bits.
    Raster16 deep(3, 2, 4, 0);
    deep.at(2, 1, 1) = 40000;
    deep.at(2, 1, 3) = 65535;
    writePng(deep, dir / "deep.png");
    const ColorRaster colour = loadColorRaster(dir / "deep.png");
    ASSERT_TRUE(std::holds_alternative<Raster16>(colour));
    EXPECT_EQ(std::get<Raster16>(colour).at(2, 1, 1), 40000);
    EXPECT_EQ(readTextureSize(dir / "deep.png"), (TextureSize{3, 2}));
    // Resize to a target on load.
    EXPECT_EQ(loadDataMap(dir / "ga.png", TextureSize{5, 3}).width, 5);

    std::ofstream(dir / "empty.png") << "";
    const std::vector<std::uint8_t> bytes = encodePng(Raster8(64, 64, 3, 77));
    std::ofstream(dir / "cut.png", std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), 60);
    for (const char* name : {"empty.png", "cut.png", "missing.png"}) {
        if (std::string(name) != "cut.png") {  // a truncated file keeps its header
            EXPECT_FALSE(readTextureSize(dir / name)) << name;
        }
        try {
            loadDataMap(dir / name);
            ADD_FAILURE() << name;
        } catch (const TextureImageError& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    }

    if (!haveConvert()) GTEST_SKIP() << "ImageMagick convert not installed";
    const std::string d = dir.path().string();
    // White on the left: ImageMagick 6 stores TGA rows top first under a bottom-left origin, so a
    // top-to-bottom gradient would read upside down.
    ASSERT_EQ(std::system(("convert -size 4x6 gradient:white-black -rotate -90 -compress RLE '" + d + "/rle.tga'").c_str()),
              0);
    ASSERT_EQ(std::system(("convert -size 6x4 xc:'rgb(60,60,60)' -depth 16 '" + d + "/h.exr'").c_str()), 0);
    ASSERT_EQ(std::system(("convert -size 6x4 xc:gray40 -type palette '" + d + "/pal.png'").c_str()), 0);
    ASSERT_EQ(std::system(("convert -size 6x4 xc:gray20 \\( -size 6x4 xc:gray80 \\) '" + d + "/layers.psd'").c_str()),
              0);
    EXPECT_NEAR(loadDataMap(dir / "rle.tga").at(0, 0), 1.0, 0.02);
    EXPECT_NEAR(loadDataMap(dir / "pal.png").at(3, 3), 0.4, 0.01);
    const RasterF exr = loadDataMap(dir / "h.exr");
    EXPECT_EQ(exr.width, 6);
    EXPECT_GE(exr.at(0, 0), 0.0f);
    EXPECT_LE(exr.at(0, 0), 1.0f);
    EXPECT_EQ(loadDataMap(dir / "layers.psd").width, 6);
}

}  // namespace
}  // namespace lw
