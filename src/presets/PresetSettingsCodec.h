#pragma once
// Presets as flat key=value settings: the option tables with their help texts, the encoder,
// and the readers that apply a settings dictionary back onto a preset.
//
// Adding a vertical: give it an option table, an encode() overload and an apply() overload
// built from the readers and applyPairs() below; then add its branch to encode(const BatchPreset&).
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/LoudnessNormalizer.h"
#include "audio/podcast/AudioVideoPipeline.h"
#include "core/ExportablePresetBundle.h"
#include "core/JobModel.h"
#include "platform/Error.h"
#include "presets/MapforgePreset.h"
#include "presets/Vertical.h"

namespace lw {

class CastloomPreset;
class GablewisePreset;

namespace PresetSettingsCodec {

inline const std::string namingPatternKey = "namingPattern";

// (key, help) pairs in table order.
using OptionTable = std::vector<std::pair<std::string, std::string>>;

class CodecError : public Error {
public:
    enum class Kind { unknownKey, invalidValue };

    static CodecError unknownKey(std::string key, std::vector<std::string> validKeys);
    static CodecError invalidValue(std::string key, std::string value, std::string expected);

    Kind kind;
    std::string key;
    std::vector<std::string> validKeys;  // unknownKey
    std::string value;                   // invalidValue, exactly as given
    std::string expected;                // invalidValue

    friend bool operator==(const CodecError& a, const CodecError& b) {
        return a.kind == b.kind && a.key == b.key && a.validKeys == b.validKeys && a.value == b.value &&
               a.expected == b.expected;
    }

private:
    CodecError(Kind kind, std::string text);
};

// ---- text forms written by the encoders

std::string boolText(bool value);                                       // "true" / "false"
std::string numberText(double value);                                   // "0.85", "2.0", "-16.0"
std::string pathText(const std::optional<std::filesystem::path>& url);  // empty when none

// ---- value readers (the key only serves the error)

// Trims spaces and tabs at both ends (not line breaks).
std::string trimBlanks(const std::string& text);
// ASCII lower-casing, as the choice words are ASCII.
std::string lowercased(const std::string& text);

bool boolValue(const std::string& key, const std::string& value);
long long intValue(const std::string& key, const std::string& value, long long lo, long long hi);
double doubleValue(const std::string& key, const std::string& value, double lo, double hi);
// Blank text gives none; a leading "~" is the home folder. Never fails.
std::optional<std::filesystem::path> fileURL(const std::string& text);

// A word from a fixed list: lower-cased (not trimmed) unless `lowerCase` is false.
template <class T>
T choiceValue(const std::string& key, const std::string& value, const std::vector<std::pair<std::string, T>>& words,
              const std::string& expected, bool lowerCase = true) {
    const std::string word = lowerCase ? lowercased(value) : value;
    for (const auto& [text, result] : words)
        if (text == word) return result;
    throw CodecError::invalidValue(key, value, expected);
}

// ---- applying pairs

// Reads a value and stores it; throws CodecError on a bad value.
using KeyHandler = std::function<void(const std::string& value)>;

struct PairRules {
    const OptionTable* options = nullptr;   // the vertical's keys, for the unknownKey error
    std::map<std::string, KeyHandler> handlers;
    std::vector<std::string> ignoredKeys;   // accepted and passed over, besides namingPattern
};

// The pairs in application order: `firstKey` (when present) first, then ascending key order.
std::vector<std::pair<std::string, std::string>> orderedPairs(const StringMap& values,
                                                              const std::optional<std::string>& firstKey);

// Applies the pairs in the given order. Strict: the first error is raised (pairs already applied
// stay applied). Lenient: a bad pair is dropped and the rest go on.
void applyPairs(const std::vector<std::pair<std::string, std::string>>& pairs, const PairRules& rules, bool strict);

// ---- the photo vertical

const OptionTable& photoOptions();
StringMap encode(const GablewisePreset& preset);
void apply(const StringMap& values, GablewisePreset& preset, bool strict);

// ---- the texture vertical

const OptionTable& textureOptions();
StringMap encode(const MapforgePreset& preset);
// Pairs in the dictionary's own order; "columns" is accepted and ignored.
void apply(const StringMap& values, MapforgePreset& preset, bool strict);
// Short words and aliases ("channel", "orm", "seams", ...) lower-cased, then the exact display texts.
std::optional<MapforgePreset::OperationalMode> mode(const std::string& named);
// "nearest", "up"/"roundup", "down"/"rounddown" lower-cased, or a power of two 1...16384 as a fixed size.
std::optional<PowerOfTwoScaler::ScaleMode> scaleMode(const std::string& named);

// ---- the podcast vertical

const OptionTable& podcastOptions();
StringMap encode(const CastloomPreset& preset);
// "standard" first, then ascending key order; "lufs" without "standard" picks the standard.
void apply(const StringMap& values, CastloomPreset& preset, bool strict);
// Trimmed, lower-cased: "start", "0", "0:00", "00:00"; "auto", "best", "liveliest"; else a clock
// time such as "12:30" or "1:02:03".
std::optional<AudioVideoPipeline::ClipChoice> clip(const std::string& named);
// Lower-cased with every "hz" removed, then "off", "auto", "50" or "60".
std::optional<CleanupOptions::HumMode> humMode(const std::string& named);

// ---- any vertical

// The vertical's (key, help) table in table order; never holds namingPattern.
const OptionTable& options(Vertical vertical);

// Any preset: written by its own table; a preset of an unknown type gives an empty dictionary.
StringMap encode(const BatchPreset& preset);

// The vertical's default preset with the pairs applied. Strict: the first bad pair raises
// CodecError and no preset is returned. Lenient: never fails, bad pairs are dropped.
std::unique_ptr<BatchPreset> makePreset(Vertical vertical, const StringMap& values, bool strict);

// A shareable bundle of the preset: version "1.0", the preset's id, vertical and default pattern,
// and its settings with "namingPattern" set to the given pattern, stamped now.
ExportablePresetBundle bundle(const std::string& name, const BatchPreset& preset, const std::string& namingPattern);

}  // namespace PresetSettingsCodec
}  // namespace lw
