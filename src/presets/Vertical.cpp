#include "presets/Vertical.h"

#include "presets/CastloomPreset.h"
#include "presets/GablewisePreset.h"
#include "presets/MapforgePreset.h"
#include "presets/PresetSettingsCodec.h"

namespace lw {

std::string rawValue(Vertical vertical) {
    switch (vertical) {
        case Vertical::gablewise: return "gablewise";
        case Vertical::mapforge: return "texture";
        case Vertical::castloom: return "castloom";
    }
    return {};
}

std::optional<Vertical> verticalFromRawValue(const std::string& raw) {
    for (Vertical vertical : allVerticals())
        if (rawValue(vertical) == raw) return vertical;
    return std::nullopt;
}

std::string displayName(Vertical vertical) {
    switch (vertical) {
        case Vertical::gablewise: return "Eavesmark";
        case Vertical::mapforge: return "Mapforge Lite";
        case Vertical::castloom: return "Castloom";
    }
    return {};
}

std::string presetID(Vertical vertical) {
    return defaultPreset(vertical)->id();
}

const std::vector<Vertical>& allVerticals() {
    static const std::vector<Vertical> cases{Vertical::gablewise, Vertical::mapforge, Vertical::castloom};
    return cases;
}

std::optional<Vertical> verticalNamed(const std::string& name) {
    static const std::vector<std::pair<Vertical, std::vector<std::string>>> words{
        {Vertical::gablewise, {"gablewise", "listing", "realestate", "real-estate", "photos", "com.tallymill.eavesmark"}},
        {Vertical::mapforge, {"texture", "textures", "mapforge", "tex", "game", "com.tallymill.mapforge"}},
        {Vertical::castloom, {"castloom", "pod", "podcast", "audio", "com.tallymill.castloom"}},
    };
    const std::string word = PresetSettingsCodec::lowercased(name);
    for (const auto& [vertical, list] : words)
        for (const auto& w : list)
            if (w == word) return vertical;
    return std::nullopt;
}

std::optional<Vertical> verticalWithPresetID(const std::string& id) {
    for (Vertical vertical : allVerticals())
        if (presetID(vertical) == id) return vertical;
    return std::nullopt;
}

std::unique_ptr<BatchPreset> defaultPreset(Vertical vertical) {
    switch (vertical) {
        case Vertical::gablewise: return std::make_unique<GablewisePreset>();
        case Vertical::mapforge:
            return std::make_unique<MapforgePreset>(MapforgePreset::OperationalMode::channelPackingORM,
                                                    ChannelPacker::EngineProfile::unrealORM, true,
                                                    PowerOfTwoScaler::ScaleMode::nearestPowerOfTwo(), false, 0,
                                                    false);
        case Vertical::castloom: return std::make_unique<CastloomPreset>();
    }
    return nullptr;
}

}  // namespace lw
