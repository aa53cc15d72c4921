#include <gtest/gtest.h>

#include "presets/MapforgePreset.h"
#include "presets/PresetSettingsCodec.h"

namespace lw {
namespace {

namespace codec = PresetSettingsCodec;
using Mode = MapforgePreset::OperationalMode;
using ScaleMode = PowerOfTwoScaler::ScaleMode;

MapforgePreset defaultTexture() {
    return MapforgePreset(Mode::channelPackingORM, ChannelPacker::EngineProfile::unrealORM, true,
                          ScaleMode::nearestPowerOfTwo(), false, 0, false);
}

TEST(TextureSettingsCodec, OptionTableAndEncoding) {
    const auto& options = codec::textureOptions();
    ASSERT_EQ(options.size(), 16u);
    std::vector<std::string> keys;
    for (const auto& [key, help] : options) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"mode", "profile", "normal", "pot", "potMode", "square", "maxSize",
                                              "mipmaps", "trim", "padding", "extrude", "halfScale", "format", "rotate",
                                              "strength", "makeNormal"}));
    EXPECT_EQ(options[0].second, "channel | normal | height | pot | sprite | tiling");

    auto preset = defaultTexture();
    auto values = codec::encode(preset);
    EXPECT_EQ(values.size(), 16u);
    EXPECT_EQ(values["mode"], "channel");
    EXPECT_EQ(values["potMode"], "nearest");
    EXPECT_EQ(values["maxSize"], "0");
    EXPECT_EQ(values["strength"], "2.0");
    EXPECT_EQ(values["normal"], "gl");
    EXPECT_EQ(values["format"], "json");
    EXPECT_EQ(codec::encode(static_cast<const BatchPreset&>(preset)), values);

    preset.potScaleMode = ScaleMode::fixedTarget(1024);
    preset.spriteFormat = SpriteSheetCompiler::DataFormat::jsonArray;
    preset.normalTarget = ChannelPacker::NormalConvention::directX;
    preset.operationalMode = Mode::tilingCheck;
    values = codec::encode(preset);
    EXPECT_EQ(values["potMode"], "1024");
    EXPECT_EQ(values["format"], "json-array");
    EXPECT_EQ(values["normal"], "dx");
    EXPECT_EQ(values["mode"], "tiling");

    // Encoding then applying gives the same preset back.
    auto rebuilt = defaultTexture();
    codec::apply(values, rebuilt, true);
    EXPECT_EQ(codec::encode(rebuilt), values);
}

TEST(TextureSettingsCodec, ModeAndScaleModeWords) {
    EXPECT_EQ(codec::mode("Seams"), Mode::tilingCheck);
    EXPECT_EQ(codec::mode("ORM"), Mode::channelPackingORM);
    EXPECT_EQ(codec::mode("heighttonormal"), Mode::normalFromHeight);
    EXPECT_EQ(codec::mode("Normal Map from Height Map"), Mode::normalFromHeight);
    EXPECT_EQ(codec::mode("normal map from height map"), std::nullopt);
    EXPECT_EQ(codec::mode(" channel"), std::nullopt);

    EXPECT_EQ(codec::scaleMode("2048"), ScaleMode::fixedTarget(2048));
    EXPECT_EQ(codec::scaleMode("+1"), ScaleMode::fixedTarget(1));
    EXPECT_EQ(codec::scaleMode("Nearest"), ScaleMode::nearestPowerOfTwo());
    EXPECT_EQ(codec::scaleMode("RoundUp"), ScaleMode::roundUpPowerOfTwo());
    EXPECT_EQ(codec::scaleMode("down"), ScaleMode::roundDownPowerOfTwo());
    for (const char* bad : {"3000", "0", "32768", " up", "-2048", "+-2", "2048.0", ""})
        EXPECT_EQ(codec::scaleMode(bad), std::nullopt) << bad;
}

TEST(TextureSettingsCodec, ApplyingValues) {
    auto preset = defaultTexture();
    codec::apply({{"pot", " Yes "}, {"columns", "4"}, {"maxSize", "+512"}, {"strength", "5"}, {"format", "Godot"},
                  {"namingPattern", "{name}"}},
                 preset, true);
    EXPECT_TRUE(preset.enforcePOT);
    EXPECT_EQ(preset.maxTextureSize, 512);
    EXPECT_DOUBLE_EQ(preset.normalStrength, 5.0);
    EXPECT_EQ(preset.spriteFormat, SpriteSheetCompiler::DataFormat::godot);

    struct Bad {
        std::string key, value, message;
    };
    const Bad cases[] = {
        {"pot", "2", "Invalid value '2' for 'pot' (expected true or false)"},
        {"potMode", "3000", "Invalid value '3000' for 'potMode' (expected nearest, up, down or a power of two)"},
        {"mode", "spin", "Invalid value 'spin' for 'mode' (expected channel, normal, height, pot, sprite or tiling)"},
        {"profile", "unity", "Invalid value 'unity' for 'profile' (expected unreal, gltf, hdrp or urp)"},
        {"normal", "opengl", "Invalid value 'opengl' for 'normal' (expected gl or dx)"},
        {"maxSize", "512.0", "Invalid value '512.0' for 'maxSize' (expected a whole number 0-16384)"},
        {"padding", "17", "Invalid value '17' for 'padding' (expected a whole number 0-16)"},
        {"extrude", "9", "Invalid value '9' for 'extrude' (expected a whole number 0-8)"},
        {"strength", "0.1", "Invalid value '0.1' for 'strength' (expected a number 0.5 to 10.0)"},
        {"format", "xml", "Invalid value 'xml' for 'format' (expected json, json-array, cocos, godot or unity)"},
    };
    for (const auto& c : cases) {
        auto p = defaultTexture();
        try {
            codec::apply({{c.key, c.value}}, p, true);
            ADD_FAILURE() << c.key << " accepted " << c.value;
        } catch (const codec::CodecError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        // Lenient: the bad pair is dropped, the good one applied.
        auto lenient = defaultTexture();
        codec::apply({{c.key, c.value}, {"mipmaps", "on"}}, lenient, false);
        EXPECT_TRUE(lenient.generateMipmaps);
        EXPECT_EQ(codec::encode(lenient)[c.key], codec::encode(defaultTexture())[c.key]);
    }

    auto p = defaultTexture();
    try {
        codec::apply({{"colour", "red"}}, p, true);
        ADD_FAILURE();
    } catch (const codec::CodecError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Unknown option 'colour'. Options: mode, profile, normal, pot, potMode, square, maxSize, mipmaps, "
                  "trim, padding, extrude, halfScale, format, rotate, strength, makeNormal");
    }
}

}  // namespace
}  // namespace lw
