// The settings codec across verticals: options, makePreset, round trips and bundles.
#include <gtest/gtest.h>

#include <unistd.h>

#include "presets/CastloomPreset.h"
#include "presets/GablewisePreset.h"
#include "presets/MapforgePreset.h"
#include "presets/PresetSettingsCodec.h"
#include "presets/Vertical.h"

namespace lw {
namespace {

namespace codec = PresetSettingsCodec;
namespace fs = std::filesystem;

// Every key of a vertical with a value off its default, in the encoder's own text form.
StringMap movedSettings(Vertical vertical) {
    switch (vertical) {
        case Vertical::gablewise:
            return {{"address", "9 Elm Row, Flat 2"}, {"straighten", "false"}, {"stripGPS", "false"},
                    {"web", "false"},           {"print", "false"},           {"portal", "custom"},
                    {"aspect", "16:9"},         {"brackets", "true"},         {"webMaxPixels", "3001"},
                    {"webMaxKB", "777"},        {"watermark", "/srv/logo.png"}, {"watermarkOpacity", "0.4"}};
        case Vertical::mapforge:
            return {{"mode", "sprite"},     {"profile", "hdrp"},  {"normal", "dx"},      {"pot", "false"},
                    {"potMode", "512"},     {"square", "true"},   {"maxSize", "4096"},   {"mipmaps", "true"},
                    {"trim", "false"},      {"padding", "16"},    {"extrude", "8"},      {"halfScale", "true"},
                    {"format", "json-array"}, {"rotate", "true"}, {"strength", "0.75"},  {"makeNormal", "true"}};
        case Vertical::castloom:
            return {{"show", "Night Shift"},   {"host", "R. Vale"},       {"episode", "42"},
                    {"standard", "acx"},       {"lufs", "-19.5"},         {"rumble", "false"},
                    {"hum", "60"},             {"gate", "true"},          {"leveler", "false"},
                    {"trimSilence", "false"},  {"maxPause", "1.5"},       {"intro", "/srv/in.wav"},
                    {"outro", "/srv/out.wav"}, {"master", "false"},       {"rss", "false"},
                    {"whisper", "true"},       {"transcript", "false"},   {"audiogram", "false"},
                    {"captions", "false"},     {"aspect", "vertical"},    {"clip", "1:02:03"},       {"clipLength", "12.5"},
                    {"fillers", "true"},       {"chapters", "manual"},    {"chapterList", "0:00 Intro; 5:30 Talk"},
                    {"artwork", "/srv/cover.png"}};
    }
    return {};
}

const std::vector<Vertical>& builtVerticals() { return allVerticals(); }

TEST(SettingsCodec, OptionTablesPerVertical) {
    EXPECT_EQ(codec::options(Vertical::gablewise).size(), 12u);
    EXPECT_EQ(codec::options(Vertical::mapforge).size(), 16u);
    EXPECT_EQ(codec::options(Vertical::castloom).size(), 26u);
    for (Vertical vertical : builtVerticals()) {
        const auto& table = codec::options(vertical);
        const StringMap encoded = codec::encode(*defaultPreset(vertical));
        EXPECT_EQ(encoded.size(), table.size());
        for (const auto& [key, help] : table) {
            EXPECT_NE(key, codec::namingPatternKey);
            EXPECT_FALSE(help.empty()) << key;
            EXPECT_TRUE(encoded.count(key)) << key;
        }
    }
}

TEST(SettingsCodec, EveryPresetSurvivesEncodeThenStrictMakePreset) {
    for (Vertical vertical : builtVerticals()) {
        SCOPED_TRACE(rawValue(vertical));
        const StringMap defaults = codec::encode(*defaultPreset(vertical));
        EXPECT_EQ(codec::encode(*codec::makePreset(vertical, defaults, true)), defaults);

        // Every field off its default, read back exactly as written.
        const StringMap moved = movedSettings(vertical);
        const auto preset = codec::makePreset(vertical, moved, true);
        const StringMap encoded = codec::encode(*preset);
        EXPECT_EQ(encoded, moved);
        for (const auto& [key, value] : moved) EXPECT_NE(defaults.at(key), value) << key;
        EXPECT_EQ(codec::encode(*codec::makePreset(vertical, encoded, true)), moved);
        if (vertical == Vertical::castloom)
            EXPECT_TRUE(dynamic_cast<const CastloomPreset&>(*codec::makePreset(vertical, encoded, true)) ==
                        dynamic_cast<const CastloomPreset&>(*preset));
    }
}

TEST(SettingsCodec, MakePresetStartsFromTheDefaultsAndPassesOverTheNamingPattern) {
    const auto preset = codec::makePreset(Vertical::gablewise, {{"namingPattern", "{name}"}, {"print", "no"}}, true);
    const auto* photo = dynamic_cast<const GablewisePreset*>(preset.get());
    ASSERT_NE(photo, nullptr);
    EXPECT_FALSE(photo->exportPrintPackage);
    EXPECT_EQ(photo->propertyAddress, "1042_Maple_Lane");
    EXPECT_EQ(photo->defaultNamingPattern(), "{address}_{index:02}_{size}");
}

TEST(SettingsCodec, BadSettingsText) {
    struct Case {
        Vertical vertical;
        StringMap values;
        std::string error;  // strict; empty: accepted
    };
    const std::vector<Case> cases{
        {Vertical::gablewise, {{"Address", "x"}}, "Unknown option 'Address'. Options: address, straighten, stripGPS, "
                                                  "web, print, portal, aspect, brackets, webMaxPixels, webMaxKB, "
                                                  "watermark, watermarkOpacity"},
        {Vertical::mapforge, {{"MODE", "pot"}}, "Unknown option 'MODE'. Options: mode, profile, normal, pot, potMode, "
                                                "square, maxSize, mipmaps, trim, padding, extrude, halfScale, format, "
                                                "rotate, strength, makeNormal"},
        {Vertical::gablewise, {{"watermarkOpacity", "inf"}},
         "Invalid value 'inf' for 'watermarkOpacity' (expected a number 0.05 to 1.0)"},
        {Vertical::gablewise, {{"watermarkOpacity", "nan"}},
         "Invalid value 'nan' for 'watermarkOpacity' (expected a number 0.05 to 1.0)"},
        {Vertical::mapforge, {{"strength", "1e999"}},
         "Invalid value '1e999' for 'strength' (expected a number 0.5 to 10.0)"},
        {Vertical::mapforge, {{"padding", "17"}}, "Invalid value '17' for 'padding' (expected a whole number 0-16)"},
        {Vertical::mapforge, {{"maxSize", "99999999999999999999"}},
         "Invalid value '99999999999999999999' for 'maxSize' (expected a whole number 0-16384)"},
        {Vertical::gablewise, {{"web", "true\n"}}, "Invalid value 'true\n' for 'web' (expected true or false)"},
        {Vertical::gablewise, {{"portal", "mls=zillow"}},
         "Invalid value 'mls=zillow' for 'portal' (expected mls, zillow, airbnb or custom)"},
        {Vertical::gablewise, {{"address", "a=b\nc"}}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error.substr(0, 80));
        if (c.error.empty()) {
            const auto preset = codec::makePreset(c.vertical, c.values, true);
            EXPECT_EQ(codec::encode(*preset).at(c.values.begin()->first), c.values.begin()->second);
            continue;
        }
        try {
            codec::makePreset(c.vertical, c.values, true);
            ADD_FAILURE() << "no error";
        } catch (const codec::CodecError& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
        // Lenient: the bad pair is dropped, the default preset comes back.
        EXPECT_EQ(codec::encode(*codec::makePreset(c.vertical, c.values, false)),
                  codec::encode(*defaultPreset(c.vertical)));
    }
}

TEST(SettingsCodec, TenMegabyteValues) {
    StringMap values{{"maxSize", std::string(10 * 1024 * 1024, '7')}};
    try {
        codec::makePreset(Vertical::mapforge, values, true);
        ADD_FAILURE() << "no error";
    } catch (const codec::CodecError& e) {
        EXPECT_EQ(e.value.size(), values["maxSize"].size());
        EXPECT_EQ(e.expected, "a whole number 0-16384");
    }
    values = {{"address", std::string(10 * 1024 * 1024, 'a')}};
    const auto preset = codec::makePreset(Vertical::gablewise, values, true);
    EXPECT_EQ(dynamic_cast<const GablewisePreset&>(*preset).propertyAddress.size(), values["address"].size());
}

TEST(SettingsCodec, BundlesOfEachVertical) {
    const std::vector<std::pair<Vertical, std::size_t>> sizes{{Vertical::gablewise, 13}, {Vertical::mapforge, 17},
                                                                     {Vertical::castloom, 27}};
    for (const auto& [vertical, entries] : sizes) {
        const auto preset = defaultPreset(vertical);
        const auto before = std::chrono::system_clock::now();
        const ExportablePresetBundle bundle = codec::bundle("My set", *preset, "{name}_{index:03}");
        EXPECT_EQ(bundle.version, "1.0");
        EXPECT_EQ(bundle.presetID, presetID(vertical));
        EXPECT_EQ(bundle.presetName, "My set");
        EXPECT_EQ(bundle.verticalName, preset->verticalName());
        EXPECT_EQ(bundle.defaultNamingPattern, preset->defaultNamingPattern());
        EXPECT_EQ(bundle.configuration.size(), entries);
        EXPECT_EQ(bundle.configuration.at("namingPattern"), "{name}_{index:03}");
        EXPECT_GE(bundle.exportedAt, before);

        // Through a file and back, onto the vertical the bundle names.
        const fs::path file = fs::temp_directory_path() / ("lw_bundle_" + std::to_string(::getpid()) + ".json");
        bundle.write(file);
        const ExportablePresetBundle read = ExportablePresetBundle::read(file);
        fs::remove(file);
        const auto named = verticalWithPresetID(read.presetID);
        ASSERT_EQ(named, vertical);
        EXPECT_EQ(codec::encode(*codec::makePreset(*named, read.configuration, true)), codec::encode(*preset));
    }
}

TEST(SettingsCodec, BundleOfTheWrongVertical) {
    const auto photo = codec::bundle("Listing", *defaultPreset(Vertical::gablewise), "{address}");
    try {
        codec::makePreset(Vertical::mapforge, photo.configuration, true);
        ADD_FAILURE() << "a photo bundle was read as textures";
    } catch (const codec::CodecError& e) {
        EXPECT_EQ(e.kind, codec::CodecError::Kind::unknownKey);
        EXPECT_EQ(e.key, "address");
    }
    EXPECT_EQ(codec::encode(*codec::makePreset(Vertical::mapforge, photo.configuration, false)),
              codec::encode(*defaultPreset(Vertical::mapforge)));
    // A preset of no known vertical encodes to nothing.
    struct Other : BatchPreset {
        std::string id() const override { return "x"; }
        std::string displayName() const override { return "x"; }
        std::string verticalName() const override { return "x"; }
        std::string description() const override { return "x"; }
        std::string systemIconName() const override { return "x"; }
        std::set<std::string> supportedExtensions() const override { return {}; }
        std::string defaultNamingPattern() const override { return "{name}"; }
        std::vector<fs::path> process(const BatchItem&, const ProcessingContext&) const override { return {}; }
    };
    EXPECT_TRUE(codec::encode(Other()).empty());
    EXPECT_EQ(codec::bundle("x", Other(), "{name}").configuration, (StringMap{{"namingPattern", "{name}"}}));
}

}  // namespace
}  // namespace lw
