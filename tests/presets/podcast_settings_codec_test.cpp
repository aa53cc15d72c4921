#include <gtest/gtest.h>

#include "presets/CastloomPreset.h"
#include "presets/PresetSettingsCodec.h"

namespace lw {
namespace {

namespace codec = PresetSettingsCodec;
using Standard = CastloomPreset::LoudnessStandard;
using ClipChoice = AudioVideoPipeline::ClipChoice;
using HumMode = CleanupOptions::HumMode;

CastloomPreset applied(const StringMap& values, bool strict = true) {
    CastloomPreset preset;
    codec::apply(values, preset, strict);
    return preset;
}

std::string strictError(const StringMap& values) {
    try {
        applied(values);
    } catch (const codec::CodecError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(PodcastSettingsCodec, OptionTableAndDefaultEncoding) {
    const auto& options = codec::podcastOptions();
    std::vector<std::string> keys;
    for (const auto& [key, help] : options) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"show", "host", "episode", "standard", "lufs", "rumble", "hum", "gate",
                                              "leveler", "trimSilence", "maxPause", "intro", "outro", "master", "rss",
                                              "whisper", "transcript", "audiogram", "captions", "aspect", "clip",
                                              "clipLength", "fillers", "chapters", "chapterList", "artwork"}));
    EXPECT_EQ(options[3].second, "Loudness standard: apple | spotify | youtube | ebu | atsc | acx | custom");
    EXPECT_EQ(options[19].second, "Audiogram shape: square | vertical | wide");
    EXPECT_EQ(options[16].second, "On-device transcript as .srt, .vtt and .txt (true/false, an on-device speech model)");

    const StringMap values = codec::encode(CastloomPreset());
    EXPECT_EQ(values.size(), options.size());
    const StringMap expected{{"standard", "apple"}, {"lufs", "-16.0"},   {"hum", "auto"},     {"maxPause", "0.0"},
                             {"clip", "auto"},      {"clipLength", "45.0"}, {"chapterList", ""}, {"intro", ""},
                             {"episode", "1"},      {"chapters", "off"},  {"host", "Studio Master"}};
    for (const auto& [key, value] : expected) EXPECT_EQ(values.at(key), value) << key;
}

TEST(PodcastSettingsCodec, EncodesClipTimesAndHum) {
    CastloomPreset preset;
    const std::vector<std::pair<ClipChoice, std::string>> clips{
        {ClipChoice::at(750), "12:30"}, {ClipChoice::at(3723), "1:02:03"}, {ClipChoice::start(), "start"}};
    for (const auto& [choice, text] : clips) {
        preset.audiogramClip = choice;
        EXPECT_EQ(codec::encode(preset).at("clip"), text);
        EXPECT_EQ(applied({{"clip", text}}).audiogramClip, choice) << text;
    }
    preset.cleanup.humRemoval = HumMode::hz60;
    EXPECT_EQ(codec::encode(preset).at("hum"), "60");
    preset.audiogramAspect = AudiogramGenerator::AspectRatio::landscape;
    EXPECT_EQ(codec::encode(preset).at("aspect"), "wide");
    EXPECT_EQ(applied({{"aspect", "Vertical"}}).audiogramAspect, AudiogramGenerator::AspectRatio::vertical);
    EXPECT_EQ(strictError({{"aspect", "portrait"}}),
              "Invalid value 'portrait' for 'aspect' (expected square, vertical or wide)");
}

TEST(PodcastSettingsCodec, StandardAndLufsRules) {
    struct Case {
        StringMap values;
        Standard standard;
        double lufs;
    };
    const std::vector<Case> cases{
        {{{"lufs", "-14.02"}}, Standard::spotify, -14.0},
        {{{"lufs", "-19"}}, Standard::custom, -19.0},
        {{{"lufs", "-16.049"}}, Standard::applePodcasts, -16.0},
        {{{"lufs", "-16.05"}}, Standard::custom, -16.05},
        {{{"lufs", "-23"}}, Standard::ebuR128, -23.0},
        {{{"lufs", "-24.01"}}, Standard::atsc, -24.0},
        {{{"standard", "acx"}, {"lufs", "-20"}}, Standard::acx, -20.0},
        {{{"standard", "youtube"}}, Standard::youtube, -14.0},
        {{{"standard", "EBU"}}, Standard::ebuR128, -23.0},
        {{{"standard", "spotify"}, {"lufs", "-16"}}, Standard::spotify, -16.0},
        {{{"standard", "custom"}}, Standard::custom, -16.0},
    };
    for (const auto& c : cases) {
        const CastloomPreset preset = applied(c.values);
        EXPECT_EQ(preset.loudnessStandard(), c.standard) << c.values.begin()->second;
        EXPECT_EQ(preset.targetLUFS, c.lufs) << c.values.begin()->second;
    }
    // A "standard" the lenient reader drops counts as absent: "lufs" derives the standard.
    const std::vector<Case> lenientCases{
        {{{"standard", "bogus"}, {"lufs", "-14"}}, Standard::spotify, -14.0},
        {{{"standard", "apple "}, {"lufs", "-14"}}, Standard::spotify, -14.0},
        {{{"standard", "apple "}, {"lufs", "-19"}}, Standard::custom, -19.0},
        {{{"standard", "bogus"}}, Standard::applePodcasts, -16.0},
    };
    for (const auto& c : lenientCases) {
        const CastloomPreset preset = applied(c.values, false);
        EXPECT_EQ(preset.loudnessStandard(), c.standard) << c.values.at("standard");
        EXPECT_EQ(preset.targetLUFS, c.lufs) << c.values.at("standard");
    }
    EXPECT_EQ(strictError({{"standard", "apple podcasts"}}),
              "Invalid value 'apple podcasts' for 'standard' (expected apple, spotify, youtube, ebu, atsc, acx, custom)");
    EXPECT_EQ(strictError({{"lufs", "-4"}}), "Invalid value '-4' for 'lufs' (expected a number -40.0 to -5.0)");
    EXPECT_EQ(strictError({{"lufs", "-inf"}}), "Invalid value '-inf' for 'lufs' (expected a number -40.0 to -5.0)");
}

TEST(PodcastSettingsCodec, WordReaders) {
    EXPECT_EQ(codec::humMode("60Hz"), HumMode::hz60);
    EXPECT_EQ(codec::humMode("50HZ"), HumMode::hz50);
    EXPECT_EQ(codec::humMode("Auto"), HumMode::autoDetect);
    EXPECT_EQ(codec::humMode("60 hz"), std::nullopt);
    EXPECT_EQ(codec::humMode(" off"), std::nullopt);

    EXPECT_EQ(codec::clip("12:30"), ClipChoice::at(750));
    EXPECT_EQ(codec::clip("Best"), ClipChoice::automatic());
    EXPECT_EQ(codec::clip("\t0 "), ClipChoice::start());
    EXPECT_EQ(codec::clip("00:00"), ClipChoice::start());
    EXPECT_EQ(codec::clip(" 1:02:03 "), ClipChoice::at(3723));
    EXPECT_EQ(codec::clip("soon"), std::nullopt);
    EXPECT_EQ(codec::clip(""), std::nullopt);
    EXPECT_EQ(strictError({{"clip", "soon"}}), "Invalid value 'soon' for 'clip' (expected auto, start or a time like 12:30)");
    EXPECT_EQ(strictError({{"hum", "60 hz"}}), "Invalid value '60 hz' for 'hum' (expected off, auto, 50 or 60)");
    EXPECT_EQ(strictError({{"chapters", "Manual "}}),
              "Invalid value 'Manual ' for 'chapters' (expected off, auto or manual)");
    EXPECT_EQ(applied({{"chapters", "MANUAL"}}).chapterMode, CastloomPreset::ChapterMode::manual);
    EXPECT_EQ(strictError({{"episode", "100000"}}),
              "Invalid value '100000' for 'episode' (expected a whole number 0-99999)");
    EXPECT_EQ(strictError({{"clipLength", "9.99"}}),
              "Invalid value '9.99' for 'clipLength' (expected a number 10.0 to 120.0)");
    EXPECT_EQ(strictError({{"maxPause", "31"}}), "Invalid value '31' for 'maxPause' (expected a number 0.0 to 30.0)");
}

TEST(PodcastSettingsCodec, StrictStopsAtTheFirstErrorLenientGoesOn) {
    const StringMap values{{"standard", "ebu"}, {"clip", "never"}, {"gate", "maybe"}, {"show", "Night Shift"},
                           {"Show", "x"}};
    // "standard" first, then ascending: "Show" sorts before "clip".
    EXPECT_EQ(strictError(values).rfind("Unknown option 'Show'. Options: show, host, episode, standard, lufs,", 0), 0u);
    CastloomPreset strict;
    EXPECT_THROW(codec::apply(values, strict, true), codec::CodecError);
    EXPECT_EQ(strict.loudnessStandard(), Standard::ebuR128);  // applied before the error
    EXPECT_EQ(strict.showTitle, CastloomPreset().showTitle);

    const CastloomPreset lenient = applied(values, false);
    EXPECT_EQ(lenient.loudnessStandard(), Standard::ebuR128);
    EXPECT_EQ(lenient.showTitle, "Night Shift");
    EXPECT_EQ(lenient.audiogramClip, ClipChoice::automatic());
    EXPECT_FALSE(lenient.cleanup.noiseGate);

    // Room tone has no key and stays as it was.
    CastloomPreset preset;
    preset.cleanup.roomToneSeconds = 1.5;
    codec::apply(codec::encode(CastloomPreset()), preset, true);
    EXPECT_EQ(preset.cleanup.roomToneSeconds, 1.5);
}

}  // namespace
}  // namespace lw
