#include "presets/PresetSettingsCodec.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>

#include "presets/CastloomPreset.h"
#include "presets/GablewisePreset.h"
#include "presets/MapforgePreset.h"

namespace lw::PresetSettingsCodec {

namespace {

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += separator;
        out += parts[i];
    }
    return out;
}

std::vector<std::string> keysOf(const OptionTable& table) {
    std::vector<std::string> keys;
    keys.reserve(table.size());
    for (const auto& [key, help] : table) keys.push_back(key);
    return keys;
}

locale_t posixLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

}  // namespace

// ---- errors

CodecError::CodecError(Kind kind, std::string text) : Error(std::move(text)), kind(kind) {}

CodecError CodecError::unknownKey(std::string key, std::vector<std::string> validKeys) {
    CodecError error(Kind::unknownKey, "Unknown option '" + key + "'. Options: " + joined(validKeys, ", "));
    error.key = std::move(key);
    error.validKeys = std::move(validKeys);
    return error;
}

CodecError CodecError::invalidValue(std::string key, std::string value, std::string expected) {
    CodecError error(Kind::invalidValue,
                     "Invalid value '" + value + "' for '" + key + "' (expected " + expected + ")");
    error.key = std::move(key);
    error.value = std::move(value);
    error.expected = std::move(expected);
    return error;
}

// ---- text forms

std::string boolText(bool value) { return value ? "true" : "false"; }

std::string numberText(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buffer[64];
    const double magnitude = std::fabs(value);
    // Plain decimals in the everyday range, exponent form outside it; always the shortest
    // text that reads back to the same value.
    const bool plain = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 9007199254740992.0);
    auto result = plain ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed)
                        : std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string text(buffer, result.ptr);
    if (plain && text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string pathText(const std::optional<std::filesystem::path>& url) { return url ? url->string() : std::string(); }

// ---- readers

std::string trimBlanks(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string lowercased(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool boolValue(const std::string& key, const std::string& value) {
    const std::string word = lowercased(trimBlanks(value));
    if (word == "true" || word == "yes" || word == "on" || word == "1") return true;
    if (word == "false" || word == "no" || word == "off" || word == "0") return false;
    throw CodecError::invalidValue(key, value, "true or false");
}

long long intValue(const std::string& key, const std::string& value, long long lo, long long hi) {
    const std::string text = trimBlanks(value);
    const auto fail = [&] {
        return CodecError::invalidValue(key, value, "a whole number " + std::to_string(lo) + "-" + std::to_string(hi));
    };
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+') {
        ++begin;
        if (begin != end && (*begin == '-' || *begin == '+')) throw fail();
    }
    long long number = 0;
    auto [ptr, ec] = std::from_chars(begin, end, number);
    if (begin == end || ec != std::errc() || ptr != end) throw fail();
    if (number < lo || number > hi) throw fail();
    return number;
}

double doubleValue(const std::string& key, const std::string& value, double lo, double hi) {
    const std::string text = trimBlanks(value);
    const auto fail = [&] {
        return CodecError::invalidValue(key, value, "a number " + numberText(lo) + " to " + numberText(hi));
    };
    // strtod would skip leading white space of any kind; the text must be the number alone.
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) throw fail();
    char* end = nullptr;
    const double number = strtod_l(text.c_str(), &end, posixLocale());
    if (end != text.c_str() + text.size()) throw fail();
    if (!(number >= lo && number <= hi)) throw fail();  // NaN never lies in a range
    return number;
}

std::optional<std::filesystem::path> fileURL(const std::string& text) {
    std::string path = trimBlanks(text);
    if (path.empty()) return std::nullopt;
    if (path.front() == '~') {
        const char* home = std::getenv("HOME");
        if (home && *home && (path.size() == 1 || path[1] == '/')) path = std::string(home) + path.substr(1);
    }
    return std::filesystem::path(path);
}

// ---- applying pairs

std::vector<std::pair<std::string, std::string>> orderedPairs(const StringMap& values,
                                                              const std::optional<std::string>& firstKey) {
    std::vector<std::pair<std::string, std::string>> pairs;
    pairs.reserve(values.size());
    if (firstKey) {
        if (auto it = values.find(*firstKey); it != values.end()) pairs.emplace_back(*it);
    }
    for (const auto& pair : values)  // a std::map iterates in ascending key order
        if (!firstKey || pair.first != *firstKey) pairs.emplace_back(pair);
    return pairs;
}

void applyPairs(const std::vector<std::pair<std::string, std::string>>& pairs, const PairRules& rules, bool strict) {
    for (const auto& [key, value] : pairs) {
        if (key == namingPatternKey) continue;
        bool ignored = false;
        for (const auto& k : rules.ignoredKeys) ignored = ignored || k == key;
        if (ignored) continue;
        try {
            auto handler = rules.handlers.find(key);
            if (handler == rules.handlers.end())
                throw CodecError::unknownKey(key, rules.options ? keysOf(*rules.options) : std::vector<std::string>{});
            handler->second(value);
        } catch (const CodecError&) {
            if (strict) throw;
        }
    }
}

// ---- photo vertical

const OptionTable& photoOptions() {
    static const OptionTable table{
        {"address", "Property address used by the {address} token"},
        {"straighten", "Auto-straighten verticals (true/false)"},
        {"stripGPS", "Remove GPS and private metadata (true/false)"},
        {"web", "Export the MLS web set (true/false)"},
        {"print", "Export the full-resolution print set (true/false)"},
        {"portal", "Web set for: mls | zillow | airbnb | custom (sets size, shape and file-size cap)"},
        {"aspect", "Web image shape: original | 4:3 | 3:2 | 16:9"},
        {"brackets", "Merge exposure brackets into one photo (true/false)"},
        {"webMaxPixels", "Longest side of web images, e.g. 2048"},
        {"webMaxKB", "File-size cap for web images in KB, e.g. 2000"},
        {"watermark", "Path to a PNG/JPEG logo (empty for none)"},
        {"watermarkOpacity", "Watermark opacity 0.1-1.0"},
    };
    return table;
}

namespace {

// The web dimension as a whole number: the fraction dropped, values beyond the whole-number
// range (or not finite) pinned to its ends, NaN as 0.
long long wholePixels(double value) {
    if (std::isnan(value)) return 0;
    constexpr double limit = 9.2e18;
    if (value >= limit) return static_cast<long long>(limit);
    if (value <= -limit) return -static_cast<long long>(limit);
    return static_cast<long long>(std::trunc(value));
}

}  // namespace

StringMap encode(const GablewisePreset& preset) {
    return {
        {"address", preset.propertyAddress},
        {"straighten", boolText(preset.autoStraightenVerticals)},
        {"stripGPS", boolText(preset.stripGPSMetadata)},
        {"web", boolText(preset.exportWebPackage)},
        {"print", boolText(preset.exportPrintPackage)},
        {"portal", rawValue(preset.portal())},
        {"aspect", rawValue(preset.webAspect)},
        {"brackets", boolText(preset.mergeBrackets)},
        {"webMaxPixels", std::to_string(wholePixels(preset.maxWebDimension))},
        {"webMaxKB", std::to_string(preset.maxWebFileSizeKB)},
        {"watermark", pathText(preset.watermarkURL)},
        {"watermarkOpacity", numberText(preset.watermarkOpacity)},
    };
}

void apply(const StringMap& values, GablewisePreset& preset, bool strict) {
    using Portal = GablewisePreset::Portal;
    using WebAspect = GablewisePreset::WebAspect;

    if (!values.count("portal") && (values.count("webMaxPixels") || values.count("webMaxKB") || values.count("aspect")))
        preset.setPortal(Portal::custom);

    const auto flag = [&preset](bool GablewisePreset::*field) {
        return [&preset, field](const std::string& key) {
            return KeyHandler([&preset, field, key](const std::string& v) { preset.*field = boolValue(key, v); });
        };
    };

    PairRules rules;
    rules.options = &photoOptions();
    rules.handlers = {
        {"address", [&](const std::string& v) { preset.propertyAddress = v; }},
        {"straighten", flag(&GablewisePreset::autoStraightenVerticals)("straighten")},
        {"stripGPS", flag(&GablewisePreset::stripGPSMetadata)("stripGPS")},
        {"web", flag(&GablewisePreset::exportWebPackage)("web")},
        {"print", flag(&GablewisePreset::exportPrintPackage)("print")},
        {"brackets", flag(&GablewisePreset::mergeBrackets)("brackets")},
        {"portal",
         [&](const std::string& v) {
             preset.setPortal(choiceValue<Portal>("portal", v,
                                                  {{"mls", Portal::mls},
                                                   {"zillow", Portal::zillow},
                                                   {"airbnb", Portal::airbnb},
                                                   {"custom", Portal::custom}},
                                                  "mls, zillow, airbnb or custom"));
         }},
        {"aspect",
         [&](const std::string& v) {
             preset.webAspect = choiceValue<WebAspect>("aspect", v,
                                                       {{"original", WebAspect::original},
                                                        {"4:3", WebAspect::fourThree},
                                                        {"3:2", WebAspect::threeTwo},
                                                        {"16:9", WebAspect::sixteenNine}},
                                                       "original, 4:3, 3:2 or 16:9");
         }},
        {"webMaxPixels",
         [&](const std::string& v) {
             preset.maxWebDimension = static_cast<double>(intValue("webMaxPixels", v, 256, 16384));
         }},
        {"webMaxKB",
         [&](const std::string& v) { preset.maxWebFileSizeKB = static_cast<int>(intValue("webMaxKB", v, 50, 100000)); }},
        {"watermark", [&](const std::string& v) { preset.watermarkURL = fileURL(v); }},
        {"watermarkOpacity",
         [&](const std::string& v) { preset.watermarkOpacity = doubleValue("watermarkOpacity", v, 0.05, 1.0); }},
    };
    applyPairs(orderedPairs(values, std::string("portal")), rules, strict);
}

// ---- any vertical

const OptionTable& options(Vertical vertical) {
    switch (vertical) {
        case Vertical::gablewise: return photoOptions();
        case Vertical::mapforge: return textureOptions();
        case Vertical::castloom: return podcastOptions();
    }
    return podcastOptions();
}

std::unique_ptr<BatchPreset> makePreset(Vertical vertical, const StringMap& values, bool strict) {
    std::unique_ptr<BatchPreset> preset = defaultPreset(vertical);
    if (auto photo = dynamic_cast<GablewisePreset*>(preset.get()))
        apply(values, *photo, strict);
    else if (auto texture = dynamic_cast<MapforgePreset*>(preset.get()))
        apply(values, *texture, strict);
    else if (auto podcast = dynamic_cast<CastloomPreset*>(preset.get()))
        apply(values, *podcast, strict);
    return preset;
}

ExportablePresetBundle bundle(const std::string& name, const BatchPreset& preset, const std::string& namingPattern) {
    StringMap configuration = encode(preset);
    configuration[namingPatternKey] = namingPattern;
    return ExportablePresetBundle{"1.0",
                                  preset.id(),
                                  name,
                                  preset.verticalName(),
                                  preset.defaultNamingPattern(),
                                  std::move(configuration),
                                  std::chrono::system_clock::now()};
}

StringMap encode(const BatchPreset& preset) {
    if (auto photo = dynamic_cast<const GablewisePreset*>(&preset)) return encode(*photo);
    if (auto texture = dynamic_cast<const MapforgePreset*>(&preset)) return encode(*texture);
    if (auto podcast = dynamic_cast<const CastloomPreset*>(&preset)) return encode(*podcast);
    return {};
}

}  // namespace lw::PresetSettingsCodec
