// The texture vertical's settings: its option table, encoder and dictionary reader.
#include <charconv>

#include "presets/MapforgePreset.h"
#include "presets/PresetSettingsCodec.h"

namespace lw::PresetSettingsCodec {

namespace {

using Mode = MapforgePreset::OperationalMode;
using Profile = ChannelPacker::EngineProfile;
using Convention = ChannelPacker::NormalConvention;
using Format = SpriteSheetCompiler::DataFormat;
using ScaleMode = PowerOfTwoScaler::ScaleMode;

const std::vector<std::pair<std::string, Mode>>& modeWords() {
    static const std::vector<std::pair<std::string, Mode>> words = {
        {"channel", Mode::channelPackingORM},    {"orm", Mode::channelPackingORM},
        {"pack", Mode::channelPackingORM},       {"channelpacking", Mode::channelPackingORM},
        {"normal", Mode::normalMapConvert},      {"normals", Mode::normalMapConvert},
        {"normalmap", Mode::normalMapConvert},   {"height", Mode::normalFromHeight},
        {"bump", Mode::normalFromHeight},        {"normalfromheight", Mode::normalFromHeight},
        {"heighttonormal", Mode::normalFromHeight}, {"pot", Mode::powerOfTwoEnforce},
        {"poweroftwo", Mode::powerOfTwoEnforce}, {"resize", Mode::powerOfTwoEnforce},
        {"sprite", Mode::spriteSheetAtlas},      {"spritesheet", Mode::spriteSheetAtlas},
        {"atlas", Mode::spriteSheetAtlas},       {"tiling", Mode::tilingCheck},
        {"tile", Mode::tilingCheck},             {"seamless", Mode::tilingCheck},
        {"seams", Mode::tilingCheck},
    };
    return words;
}

std::string modeWord(Mode mode) {
    switch (mode) {
        case Mode::channelPackingORM: return "channel";
        case Mode::normalMapConvert: return "normal";
        case Mode::normalFromHeight: return "height";
        case Mode::powerOfTwoEnforce: return "pot";
        case Mode::spriteSheetAtlas: return "sprite";
        case Mode::tilingCheck: return "tiling";
    }
    return {};
}

const std::vector<std::pair<std::string, Format>>& formatWords() {
    static const std::vector<std::pair<std::string, Format>> words = {
        {"json", Format::jsonHash}, {"json-array", Format::jsonArray}, {"cocos", Format::cocos},
        {"godot", Format::godot},   {"unity", Format::unity},
    };
    return words;
}

std::string formatWord(Format format) {
    for (const auto& [word, value] : formatWords())
        if (value == format) return word;
    return {};
}

std::string scaleModeText(const ScaleMode& mode) {
    switch (mode.kind) {
        case ScaleMode::Kind::nearestPowerOfTwo: return "nearest";
        case ScaleMode::Kind::roundUpPowerOfTwo: return "up";
        case ScaleMode::Kind::roundDownPowerOfTwo: return "down";
        case ScaleMode::Kind::fixedTarget: return std::to_string(mode.size);
    }
    return {};
}

}  // namespace

const OptionTable& textureOptions() {
    static const OptionTable table = {
        {"mode", "channel | normal | height | pot | sprite | tiling"},
        {"profile", "Channel layout: unreal | gltf | hdrp | urp"},
        {"normal", "Normal map target: gl (OpenGL: Unity, Blender, Godot) | dx (DirectX: Unreal)"},
        {"pot", "Enforce power-of-two sizes (true/false)"},
        {"potMode", "nearest | up | down | a fixed size like 2048"},
        {"square", "Force square textures (true/false)"},
        {"maxSize", "Longest side limit in pixels, 0 for none (e.g. 2048 for mobile)"},
        {"mipmaps", "Export a mipmap chain (true/false)"},
        {"trim", "Sprite sheets: trim transparent edges (true/false)"},
        {"padding", "Sprite sheets: pixels between frames, 0-16"},
        {"extrude", "Sprite sheets: repeat edge pixels to stop bleeding, 0-8"},
        {"halfScale", "Sprite sheets: also write an @1x half-size sheet (true/false)"},
        {"format", "Sprite sheets: data file json | json-array | cocos | godot | unity"},
        {"rotate", "Sprite sheets: rotate frames to pack tighter (json and cocos formats; true/false)"},
        {"strength", "Normal from height: relief strength 0.5-10"},
        {"makeNormal", "Channel packing: make a normal map from the height map when none exists (true/false)"},
    };
    return table;
}

StringMap encode(const MapforgePreset& preset) {
    return {
        {"mode", modeWord(preset.operationalMode)},
        {"profile", rawValue(preset.engineProfile)},
        {"normal", preset.normalTarget == Convention::directX ? "dx" : "gl"},
        {"pot", boolText(preset.enforcePOT)},
        {"potMode", scaleModeText(preset.potScaleMode)},
        {"square", boolText(preset.forceSquare)},
        {"maxSize", std::to_string(preset.maxTextureSize)},
        {"mipmaps", boolText(preset.generateMipmaps)},
        {"trim", boolText(preset.spriteTrim)},
        {"padding", std::to_string(preset.spritePadding)},
        {"extrude", std::to_string(preset.spriteExtrude)},
        {"halfScale", boolText(preset.spriteHalfScale)},
        {"format", formatWord(preset.spriteFormat)},
        {"rotate", boolText(preset.spriteRotate)},
        {"strength", numberText(preset.normalStrength)},
        {"makeNormal", boolText(preset.generateMissingNormal)},
    };
}

std::optional<Mode> mode(const std::string& named) {
    const std::string word = lowercased(named);
    for (const auto& [text, value] : modeWords())
        if (text == word) return value;
    return operationalModeFromRawValue(named);
}

std::optional<ScaleMode> scaleMode(const std::string& named) {
    const std::string word = lowercased(named);
    if (word == "nearest") return ScaleMode::nearestPowerOfTwo();
    if (word == "up" || word == "roundup") return ScaleMode::roundUpPowerOfTwo();
    if (word == "down" || word == "rounddown") return ScaleMode::roundDownPowerOfTwo();
    const char* begin = word.data();
    const char* end = word.data() + word.size();
    // An optional sign: from_chars reads "-" itself (negative numbers fail the range below).
    if (begin != end && *begin == '+' && begin + 1 != end && begin[1] != '-') ++begin;
    long long value = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    if (value < 1 || value > 16384 || (value & (value - 1)) != 0) return std::nullopt;
    return ScaleMode::fixedTarget(static_cast<int>(value));
}

void apply(const StringMap& values, MapforgePreset& preset, bool strict) {
    const auto flag = [&preset](const std::string& key, bool MapforgePreset::*field) {
        return std::make_pair(key, KeyHandler([&preset, field, key](const std::string& v) {
                                  preset.*field = boolValue(key, v);
                              }));
    };
    PairRules rules;
    rules.options = &textureOptions();
    rules.ignoredKeys = {"columns"};
    rules.handlers = {
        {"mode",
         [&](const std::string& v) {
             const auto m = mode(v);
             if (!m) throw CodecError::invalidValue("mode", v, "channel, normal, height, pot, sprite or tiling");
             preset.operationalMode = *m;
         }},
        {"profile",
         [&](const std::string& v) {
             preset.engineProfile = choiceValue<Profile>("profile", v,
                                                         {{"unreal", Profile::unrealORM},
                                                          {"gltf", Profile::gltfORM},
                                                          {"hdrp", Profile::unityHDRPMaskMap},
                                                          {"urp", Profile::unityMetallicSmoothness}},
                                                         "unreal, gltf, hdrp or urp");
         }},
        {"normal",
         [&](const std::string& v) {
             preset.normalTarget =
                 choiceValue<Convention>("normal", v, {{"gl", Convention::openGL}, {"dx", Convention::directX}}, "gl or dx");
         }},
        {"potMode",
         [&](const std::string& v) {
             const auto m = scaleMode(v);
             if (!m) throw CodecError::invalidValue("potMode", v, "nearest, up, down or a power of two");
             preset.potScaleMode = *m;
         }},
        flag("pot", &MapforgePreset::enforcePOT),
        flag("square", &MapforgePreset::forceSquare),
        flag("mipmaps", &MapforgePreset::generateMipmaps),
        flag("trim", &MapforgePreset::spriteTrim),
        flag("halfScale", &MapforgePreset::spriteHalfScale),
        flag("rotate", &MapforgePreset::spriteRotate),
        flag("makeNormal", &MapforgePreset::generateMissingNormal),
        {"maxSize", [&](const std::string& v) { preset.maxTextureSize = intValue("maxSize", v, 0, 16384); }},
        {"padding", [&](const std::string& v) { preset.spritePadding = intValue("padding", v, 0, 16); }},
        {"extrude", [&](const std::string& v) { preset.spriteExtrude = intValue("extrude", v, 0, 8); }},
        {"format",
         [&](const std::string& v) {
             preset.spriteFormat = choiceValue<Format>("format", v, formatWords(), "json, json-array, cocos, godot or unity");
         }},
        {"strength", [&](const std::string& v) { preset.normalStrength = doubleValue("strength", v, 0.5, 10.0); }},
    };
    applyPairs(std::vector<std::pair<std::string, std::string>>(values.begin(), values.end()), rules, strict);
}

}  // namespace lw::PresetSettingsCodec
