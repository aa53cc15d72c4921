#include <gtest/gtest.h>

#include "presets/CastloomPreset.h"
#include "presets/GablewisePreset.h"
#include "presets/MapforgePreset.h"
#include "presets/PresetSettingsCodec.h"
#include "presets/Vertical.h"

namespace lw {
namespace {

TEST(Vertical, CasesAndTexts) {
    EXPECT_EQ(allVerticals(), (std::vector<Vertical>{Vertical::gablewise, Vertical::mapforge, Vertical::castloom}));
    const std::vector<std::tuple<Vertical, std::string, std::string, std::string>> table{
        {Vertical::gablewise, "gablewise", "Eavesmark", "com.tallymill.eavesmark"},
        {Vertical::mapforge, "texture", "Mapforge Lite", "com.tallymill.mapforge"},
        {Vertical::castloom, "castloom", "Castloom", "com.tallymill.castloom"},
    };
    for (const auto& [vertical, raw, name, id] : table) {
        EXPECT_EQ(rawValue(vertical), raw);
        EXPECT_EQ(displayName(vertical), name);
        EXPECT_EQ(presetID(vertical), id);
        EXPECT_EQ(verticalFromRawValue(raw), vertical);
        EXPECT_EQ(verticalWithPresetID(id), vertical);
    }
    EXPECT_EQ(verticalFromRawValue("mapforge"), std::nullopt);
    EXPECT_EQ(verticalFromRawValue("Texture"), std::nullopt);
    EXPECT_EQ(verticalWithPresetID("COM.TALLYMILL.MAPFORGE"), std::nullopt);
    EXPECT_EQ(verticalWithPresetID("texture"), std::nullopt);
}

TEST(Vertical, FromFreeText) {
    const std::vector<std::pair<std::string, std::optional<Vertical>>> cases{
        {"Real-Estate", Vertical::gablewise},
        {"Photos", Vertical::gablewise},
        {"LISTING", Vertical::gablewise},
        {"COM.TALLYMILL.EAVESMARK", Vertical::gablewise},
        {"mapforge", Vertical::mapforge},
        {"Tex", Vertical::mapforge},
        {"Com.Tallymill.Mapforge", Vertical::mapforge},
        {"texturepack", std::nullopt},
        {"PodCast", Vertical::castloom},
        {"audio", Vertical::castloom},
        {" pod", std::nullopt},
        {"pod ", std::nullopt},
        {"real estate", std::nullopt},
        {"photo", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(verticalNamed(text), expected) << text;
}

TEST(Vertical, DefaultPresets) {
    for (Vertical vertical : allVerticals()) {
        auto a = defaultPreset(vertical);
        auto b = defaultPreset(vertical);
        ASSERT_TRUE(a && b);
        EXPECT_NE(a.get(), b.get());
        EXPECT_EQ(a->id(), presetID(vertical));
    }
    auto photo = defaultPreset(Vertical::gablewise);
    auto* g = dynamic_cast<GablewisePreset*>(photo.get());
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->propertyAddress, "1042_Maple_Lane");
    EXPECT_EQ(g->portal(), GablewisePreset::Portal::mls);
    EXPECT_EQ(g->maxWebDimension, 2048.0);
    EXPECT_EQ(g->maxWebFileSizeKB, 2000);
    EXPECT_EQ(g->watermarkOpacity, 0.85);

    auto texture = defaultPreset(Vertical::mapforge);
    auto* m = dynamic_cast<MapforgePreset*>(texture.get());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->operationalMode, MapforgePreset::OperationalMode::channelPackingORM);
    EXPECT_EQ(m->engineProfile, ChannelPacker::EngineProfile::unrealORM);
    EXPECT_TRUE(m->enforcePOT);
    EXPECT_EQ(m->potScaleMode.kind, PowerOfTwoScaler::ScaleMode::Kind::nearestPowerOfTwo);
    EXPECT_FALSE(m->forceSquare);
    EXPECT_EQ(m->maxTextureSize, 0);
    EXPECT_FALSE(m->generateMipmaps);
    EXPECT_EQ(m->defaultNamingPattern(), "{name}_{profile}_{pot}");

    auto podcast = defaultPreset(Vertical::castloom);
    auto* c = dynamic_cast<CastloomPreset*>(podcast.get());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->loudnessStandard(), CastloomPreset::LoudnessStandard::applePodcasts);
    EXPECT_EQ(c->targetLUFS, -16.0);
    EXPECT_EQ(c->hostName, "Studio Master");
    EXPECT_FALSE(c->showTitle.empty());
    EXPECT_EQ(c->cleanup.humRemoval, CleanupOptions::HumMode::autoDetect);
    EXPECT_EQ(c->audiogramClip, AudioVideoPipeline::ClipChoice::automatic());
    EXPECT_EQ(c->defaultNamingPattern(), "{show}_{ep:02}_{title}");
}

}  // namespace
}  // namespace lw
