// The podcast vertical's settings: its option table, encoder and dictionary reader.
#include "audio/podcast/AudiogramGenerator.h"
#include "audio/podcast/ChapterBuilder.h"
#include "presets/CastloomPreset.h"
#include "presets/PresetSettingsCodec.h"

#include <cmath>

namespace lw::PresetSettingsCodec {

namespace {

using Standard = CastloomPreset::LoudnessStandard;
using ChapterMode = CastloomPreset::ChapterMode;
using HumMode = CleanupOptions::HumMode;
using ClipChoice = AudioVideoPipeline::ClipChoice;

std::string clipText(const ClipChoice& clip) {
    switch (clip.kind) {
        case ClipChoice::Kind::automatic: return "auto";
        case ClipChoice::Kind::start: return "start";
        case ClipChoice::Kind::at: return ChapterBuilder::clock(clip.seconds, false);
    }
    return "auto";
}

}  // namespace

const OptionTable& podcastOptions() {
    static const OptionTable table{
        {"show", "Podcast / show title"},
        {"host", "Host or artist name"},
        {"episode", "Episode number of the first file"},
        {"standard", "Loudness standard: apple | spotify | youtube | ebu | atsc | acx | custom"},
        {"lufs", "Custom target loudness, e.g. -19 for mono spoken word"},
        {"rumble", "Clean-up: 80 Hz rumble filter (true/false)"},
        {"hum", "Clean-up: hum removal off | auto | 50 | 60"},
        {"gate", "Clean-up: noise gate between phrases (true/false)"},
        {"leveler", "Clean-up: even out loud and quiet speakers (true/false)"},
        {"trimSilence", "Clean-up: cut dead air at the start and end (true/false)"},
        {"maxPause", "Clean-up: shorten pauses longer than this many seconds, 0 for off"},
        {"intro", "Path to intro music (empty for none)"},
        {"outro", "Path to outro music (empty for none)"},
        {"master", "Export the 24-bit WAV master (true/false)"},
        {"rss", "Export the RSS file (true/false)"},
        {"whisper", "Export the 16 kHz Whisper reference (true/false)"},
        {"transcript", "On-device transcript as .srt, .vtt and .txt (true/false, an on-device speech model)"},
        {"audiogram", "Export the audiogram video (true/false)"},
        {"captions", "Burn captions into the audiogram (true/false, an on-device speech model)"},
        {"aspect", "Audiogram shape: square | vertical | wide"},
        {"clip", "Audiogram clip: auto (liveliest part) | start | a start time like 12:30"},
        {"clipLength", "Audiogram length in seconds, 10-120"},
        {"fillers", "Cut um, uh and stuttered words (true/false, an on-device speech model)"},
        {"chapters", "Chapter markers: off | auto | manual"},
        {"chapterList", "Chapters for manual mode, e.g. \"0:00 Intro; 5:30 Interview\""},
        {"artwork", "Path to cover art (empty for none)"},
    };
    return table;
}

std::optional<AudioVideoPipeline::ClipChoice> clip(const std::string& named) {
    const std::string text = trimBlanks(named);
    const std::string word = lowercased(text);
    if (word == "start" || word == "0" || word == "0:00" || word == "00:00") return ClipChoice::start();
    if (word == "auto" || word == "best" || word == "liveliest") return ClipChoice::automatic();
    const auto seconds = ChapterBuilder::seconds(text);
    // A start must be a real point on the time line.
    if (!seconds || !std::isfinite(*seconds) || *seconds < 0) return std::nullopt;
    return ClipChoice::at(*seconds);
}

std::optional<CleanupOptions::HumMode> humMode(const std::string& named) {
    std::string word = lowercased(named);
    for (auto at = word.find("hz"); at != std::string::npos; at = word.find("hz", at)) word.erase(at, 2);
    return humModeFromRawValue(word);
}

StringMap encode(const CastloomPreset& preset) {
    return {
        {"show", preset.showTitle},
        {"host", preset.hostName},
        {"episode", std::to_string(preset.episodeNumber)},
        {"standard", rawValue(preset.loudnessStandard())},
        {"lufs", numberText(preset.targetLUFS)},
        {"rumble", boolText(preset.cleanup.rumbleFilter)},
        {"hum", rawValue(preset.cleanup.humRemoval)},
        {"gate", boolText(preset.cleanup.noiseGate)},
        {"leveler", boolText(preset.cleanup.leveler)},
        {"trimSilence", boolText(preset.cleanup.trimSilence)},
        {"maxPause", numberText(preset.cleanup.maxPauseSeconds)},
        {"intro", pathText(preset.introURL)},
        {"outro", pathText(preset.outroURL)},
        {"master", boolText(preset.generateMaster)},
        {"rss", boolText(preset.generateRSSMaster)},
        {"whisper", boolText(preset.generateWhisperReference)},
        {"transcript", boolText(preset.generateTranscripts)},
        {"audiogram", boolText(preset.generateAudiogram)},
        {"captions", boolText(preset.captionAudiogram)},
        {"aspect", key(preset.audiogramAspect)},
        {"clip", clipText(preset.audiogramClip)},
        {"clipLength", numberText(preset.audiogramSeconds)},
        {"fillers", boolText(preset.removeFillerWords)},
        {"chapters", rawValue(preset.chapterMode)},
        {"chapterList", preset.chapterList},
        {"artwork", pathText(preset.artworkURL)},
    };
}

void apply(const StringMap& values, CastloomPreset& preset, bool strict) {
    // Set once "standard" has been applied; a pair the lenient reader dropped counts as absent.
    bool standardApplied = false;

    const auto flag = [&preset](bool CastloomPreset::*field, const char* key) {
        return KeyHandler([&preset, field, key](const std::string& v) { preset.*field = boolValue(key, v); });
    };
    const auto cleanupFlag = [&preset](bool CleanupOptions::*field, const char* key) {
        return KeyHandler([&preset, field, key](const std::string& v) { preset.cleanup.*field = boolValue(key, v); });
    };
    const auto path = [](std::optional<std::filesystem::path>& field) {
        return KeyHandler([&field](const std::string& v) { field = fileURL(v); });
    };

    PairRules rules;
    rules.options = &podcastOptions();
    rules.handlers = {
        {"show", [&](const std::string& v) { preset.showTitle = v; }},
        {"host", [&](const std::string& v) { preset.hostName = v; }},
        {"episode", [&](const std::string& v) { preset.episodeNumber = static_cast<int>(intValue("episode", v, 0, 99999)); }},
        {"standard",
         [&](const std::string& v) {
             preset.setLoudnessStandard(choiceValue<Standard>("standard", v,
                                                              {{"apple", Standard::applePodcasts},
                                                               {"spotify", Standard::spotify},
                                                               {"youtube", Standard::youtube},
                                                               {"ebu", Standard::ebuR128},
                                                               {"atsc", Standard::atsc},
                                                               {"acx", Standard::acx},
                                                               {"custom", Standard::custom}},
                                                              "apple, spotify, youtube, ebu, atsc, acx, custom"));
             standardApplied = true;
         }},
        {"lufs",
         [&](const std::string& v) {
             preset.targetLUFS = doubleValue("lufs", v, -40, -5);
             if (standardApplied) return;
             // A standard with this loudness, set to its exact value; otherwise a custom target.
             const auto standard = CastloomPreset::loudnessStandardMatching(preset.targetLUFS);
             preset.setLoudnessStandard(standard.value_or(Standard::custom));
         }},
        {"rumble", cleanupFlag(&CleanupOptions::rumbleFilter, "rumble")},
        {"gate", cleanupFlag(&CleanupOptions::noiseGate, "gate")},
        {"leveler", cleanupFlag(&CleanupOptions::leveler, "leveler")},
        {"trimSilence", cleanupFlag(&CleanupOptions::trimSilence, "trimSilence")},
        {"hum",
         [&](const std::string& v) {
             const auto mode = humMode(v);
             if (!mode) throw CodecError::invalidValue("hum", v, "off, auto, 50 or 60");
             preset.cleanup.humRemoval = *mode;
         }},
        {"maxPause", [&](const std::string& v) { preset.cleanup.maxPauseSeconds = doubleValue("maxPause", v, 0, 30); }},
        {"intro", path(preset.introURL)},
        {"outro", path(preset.outroURL)},
        {"artwork", path(preset.artworkURL)},
        {"master", flag(&CastloomPreset::generateMaster, "master")},
        {"rss", flag(&CastloomPreset::generateRSSMaster, "rss")},
        {"whisper", flag(&CastloomPreset::generateWhisperReference, "whisper")},
        {"transcript", flag(&CastloomPreset::generateTranscripts, "transcript")},
        {"audiogram", flag(&CastloomPreset::generateAudiogram, "audiogram")},
        {"captions", flag(&CastloomPreset::captionAudiogram, "captions")},
        {"fillers", flag(&CastloomPreset::removeFillerWords, "fillers")},
        {"aspect",
         [&](const std::string& v) {
             const auto aspect = AudiogramGenerator::aspectRatioFromKey(v);
             if (!aspect) throw CodecError::invalidValue("aspect", v, "square, vertical or wide");
             preset.audiogramAspect = *aspect;
         }},
        {"clip",
         [&](const std::string& v) {
             const auto choice = clip(v);
             if (!choice) throw CodecError::invalidValue("clip", v, "auto, start or a time like 12:30");
             preset.audiogramClip = *choice;
         }},
        {"clipLength", [&](const std::string& v) { preset.audiogramSeconds = doubleValue("clipLength", v, 10, 120); }},
        {"chapters",
         [&](const std::string& v) {
             const auto mode = CastloomPreset::chapterModeFromRawValue(lowercased(v));
             if (!mode) throw CodecError::invalidValue("chapters", v, "off, auto or manual");
             preset.chapterMode = *mode;
         }},
        {"chapterList", [&](const std::string& v) { preset.chapterList = v; }},
    };
    applyPairs(orderedPairs(values, std::string("standard")), rules, strict);
}

}  // namespace lw::PresetSettingsCodec
