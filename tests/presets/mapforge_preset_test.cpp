#include <gtest/gtest.h>

#include "presets/MapforgePreset.h"

namespace lw {
namespace {

using Mode = MapforgePreset::OperationalMode;
using ScaleMode = PowerOfTwoScaler::ScaleMode;

MapforgePreset preset(bool pot, ScaleMode mode, bool square, std::int64_t max) {
    return MapforgePreset(Mode::channelPackingORM, ChannelPacker::EngineProfile::unrealORM, pot, mode, square, max,
                          false);
}

TEST(MapforgePreset, IdentityAndDefaults) {
    const auto p = preset(true, ScaleMode::nearestPowerOfTwo(), false, 0);
    EXPECT_EQ(p.id(), "com.tallymill.mapforge");
    EXPECT_EQ(p.displayName(), "Mapforge Lite");
    EXPECT_EQ(p.defaultNamingPattern(), "{name}_{profile}_{pot}");
    EXPECT_EQ(p.supportedExtensions(), (std::set<std::string>{"png", "tga", "tiff", "tif", "jpg", "jpeg", "exr"}));
    EXPECT_EQ(p.normalTarget, ChannelPacker::NormalConvention::openGL);
    EXPECT_TRUE(p.spriteTrim);
    EXPECT_EQ(p.spritePadding, 2);
    EXPECT_EQ(p.spriteExtrude, 1);
    EXPECT_EQ(p.spriteFormat, SpriteSheetCompiler::DataFormat::jsonHash);
    EXPECT_DOUBLE_EQ(p.normalStrength, 2.0);
    EXPECT_FALSE(p.generateMissingNormal);
}

TEST(MapforgePreset, TargetSize) {
    struct Case {
        bool pot;
        ScaleMode mode;
        bool square;
        std::int64_t max;
        int w, h, ew, eh;
    };
    const Case cases[] = {
        {false, ScaleMode::nearestPowerOfTwo(), true, 0, 1000, 500, 1000, 500},
        {true, ScaleMode::nearestPowerOfTwo(), false, 0, 1000, 500, 1024, 512},
        {true, ScaleMode::nearestPowerOfTwo(), true, 0, 1000, 500, 1024, 1024},
        {true, ScaleMode::roundDownPowerOfTwo(), false, 0, 1000, 500, 512, 256},
        {true, ScaleMode::fixedTarget(2048), false, 0, 1000, 500, 2048, 2048},
        {false, ScaleMode::nearestPowerOfTwo(), false, 1024, 4096, 1024, 1024, 256},
        {false, ScaleMode::nearestPowerOfTwo(), false, 1024, 8192, 2, 1024, 1},
        {false, ScaleMode::nearestPowerOfTwo(), false, 1000, 3000, 1001, 1000, 334},
        {false, ScaleMode::nearestPowerOfTwo(), false, 1000, 1000, 10, 1000, 10},
        {false, ScaleMode::nearestPowerOfTwo(), false, -5, 5000, 10, 5000, 10},
        {true, ScaleMode::roundUpPowerOfTwo(), false, 1024, 3000, 1000, 1024, 256},
        // A limit that is no power of two keeps power-of-two sizes: the largest one within it.
        {true, ScaleMode::nearestPowerOfTwo(), false, 1000, 1000, 600, 512, 256},
        {true, ScaleMode::nearestPowerOfTwo(), true, 1000, 1000, 600, 512, 512},
        {true, ScaleMode::fixedTarget(2048), false, 1500, 300, 300, 1024, 1024},
        {true, ScaleMode::roundDownPowerOfTwo(), false, 1000, 8000, 2, 512, 1},
        {true, ScaleMode::nearestPowerOfTwo(), false, 1000, 1000, 500, 512, 256},
    };
    for (const auto& c : cases) {
        const auto size = preset(c.pot, c.mode, c.square, c.max).targetSize(c.w, c.h);
        EXPECT_EQ(size, (TextureSize{c.ew, c.eh})) << c.w << "x" << c.h << " max " << c.max;
    }
}

TEST(MapforgePreset, ModesAndErrors) {
    EXPECT_EQ(allOperationalModes().size(), 6u);
    EXPECT_EQ(rawValue(Mode::normalMapConvert), "Normal Map: DirectX \u21C4 OpenGL");
    EXPECT_EQ(operationalModeFromRawValue("Seamless Tiling Check"), Mode::tilingCheck);
    EXPECT_EQ(operationalModeFromRawValue("seamless tiling check"), std::nullopt);
    EXPECT_EQ(operationalModeFromRawValue("tilingCheck"), std::nullopt);
    for (Mode m : allOperationalModes()) EXPECT_EQ(operationalModeFromRawValue(rawValue(m)), m);
    EXPECT_STREQ(MapforgePreset::TextureError::cannotOpenImage("/some/folder/wall.tga").what(),
                 "Failed to open texture image at wall.tga");
    EXPECT_STREQ(MapforgePreset::TextureError::notSeamless("Edges differ").what(), "Edges differ");
}

}  // namespace
}  // namespace lw
