#include <gtest/gtest.h>

#include <functional>

#include "core/TokenRenamer.h"
#include "presets/CastloomPreset.h"

namespace lw {
namespace {

using Standard = CastloomPreset::LoudnessStandard;
using ChapterMode = CastloomPreset::ChapterMode;

TEST(CastloomPreset, DefaultsAndIdentity) {
    CastloomPreset p;
    EXPECT_EQ(p.id(), "com.tallymill.castloom");
    EXPECT_EQ(p.displayName(), "Castloom");
    EXPECT_EQ(p.verticalName(), "Podcasting & Video Editing");
    EXPECT_EQ(p.systemIconName(), "waveform.badge.mic");
    EXPECT_EQ(p.defaultNamingPattern(), "{show}_{ep:02}_{title}");
    EXPECT_EQ(p.supportedExtensions(),
              (std::set<std::string>{"wav", "aif", "aiff", "mp3", "m4a", "flac", "mov", "mp4", "caf"}));
    EXPECT_EQ(p.loudnessStandard(), Standard::applePodcasts);
    EXPECT_EQ(p.targetLUFS, -16.0);
    EXPECT_EQ(p.hostName, "Studio Master");
    EXPECT_EQ(p.episodeNumber, 1);
    EXPECT_TRUE(p.cleanup.rumbleFilter);
    EXPECT_EQ(p.cleanup.humRemoval, CleanupOptions::HumMode::autoDetect);
    EXPECT_FALSE(p.cleanup.noiseGate);
    EXPECT_TRUE(p.cleanup.leveler);
    EXPECT_TRUE(p.cleanup.trimSilence);
    EXPECT_EQ(p.cleanup.maxPauseSeconds, 0.0);
    EXPECT_EQ(p.cleanup.roomToneSeconds, 0.3);
    EXPECT_TRUE(p.generateMaster && p.generateRSSMaster && p.generateTranscripts && p.generateAudiogram &&
                p.captionAudiogram);
    EXPECT_FALSE(p.generateWhisperReference || p.removeFillerWords);
    EXPECT_EQ(p.audiogramAspect, AudiogramGenerator::AspectRatio::square);
    EXPECT_EQ(p.audiogramClip, AudioVideoPipeline::ClipChoice::automatic());
    EXPECT_EQ(p.audiogramSeconds, 45.0);
    EXPECT_EQ(p.chapterMode, ChapterMode::off);
    EXPECT_TRUE(p.chapterList.empty());
    EXPECT_FALSE(p.introURL || p.outroURL || p.artworkURL);

    BatchItem item(Uuid::random(), "/in/ep.flac", std::nullopt, ProcessingStatus::pending, 0, std::nullopt, {});
    EXPECT_TRUE(p.canProcess(item));
    BatchItem text(Uuid::random(), "/in/notes.TXT", std::nullopt, ProcessingStatus::pending, 0, std::nullopt, {});
    EXPECT_FALSE(p.canProcess(text));
}

TEST(CastloomPreset, StandardTable) {
    struct Row {
        Standard standard;
        const char* raw;
        const char* name;
        std::optional<double> lufs;
        double truePeak;
    };
    const Row rows[] = {
        {Standard::applePodcasts, "apple", "Apple Podcasts (-16 LUFS)", -16.0, -1},
        {Standard::spotify, "spotify", "Spotify (-14 LUFS)", -14.0, -1},
        {Standard::youtube, "youtube", "YouTube (-14 LUFS)", -14.0, -1},
        {Standard::ebuR128, "ebu", "Broadcast EBU R128 (-23 LUFS)", -23.0, -1},
        {Standard::atsc, "atsc", "Broadcast ATSC A/85 (-24 LKFS)", -24.0, -2},
        {Standard::acx, "acx", "Audible / ACX audiobook", std::nullopt, -3.5},
        {Standard::custom, "custom", "Custom", std::nullopt, -1},
    };
    ASSERT_EQ(CastloomPreset::allLoudnessStandards().size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        SCOPED_TRACE(r.raw);
        EXPECT_EQ(CastloomPreset::allLoudnessStandards()[i], r.standard);
        EXPECT_EQ(rawValue(r.standard), r.raw);
        EXPECT_EQ(displayName(r.standard), r.name);
        EXPECT_EQ(lufs(r.standard), r.lufs);
        EXPECT_EQ(truePeak(r.standard), r.truePeak);
        EXPECT_EQ(CastloomPreset::loudnessStandardFromRawValue(r.raw), r.standard);
    }
    EXPECT_EQ(CastloomPreset::loudnessStandardFromRawValue("Apple"), std::nullopt);
    EXPECT_EQ(CastloomPreset::loudnessStandardFromRawValue("applePodcasts"), std::nullopt);

    const std::pair<const char*, ChapterMode> modes[] = {
        {"off", ChapterMode::off}, {"auto", ChapterMode::automatic}, {"manual", ChapterMode::manual}};
    ASSERT_EQ(CastloomPreset::allChapterModes().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(CastloomPreset::allChapterModes()[i], modes[i].second);
        EXPECT_EQ(rawValue(modes[i].second), modes[i].first);
        EXPECT_EQ(CastloomPreset::chapterModeFromRawValue(modes[i].first), modes[i].second);
    }
    EXPECT_EQ(displayName(ChapterMode::off), "Off");
    EXPECT_EQ(displayName(ChapterMode::automatic), "Automatic (from pauses)");
    EXPECT_EQ(displayName(ChapterMode::manual), "My list");
    EXPECT_EQ(CastloomPreset::chapterModeFromRawValue("Auto"), std::nullopt);
}

TEST(CastloomPreset, MatchingStandard) {
    const std::pair<double, std::optional<Standard>> cases[] = {
        {-14.0, Standard::spotify},  // never youtube
        {-16.04, Standard::applePodcasts},
        {-15.96, Standard::applePodcasts},
        {-16.05, std::nullopt},
        {-19.0, std::nullopt},
        {-23.0, Standard::ebuR128},
        {-24.0, Standard::atsc},
        {-20.0, std::nullopt},  // acx has no loudness of its own
    };
    for (auto [level, expected] : cases) EXPECT_EQ(CastloomPreset::loudnessStandardMatching(level), expected) << level;
}

TEST(CastloomPreset, InitialiserMatchesStandardAndKeepsTarget) {
    CastloomPreset spotify("Show", "Host", 3, -14, false, true, false, std::filesystem::path("/art.png"));
    EXPECT_EQ(spotify.loudnessStandard(), Standard::spotify);
    EXPECT_EQ(spotify.targetLUFS, -14.0);
    EXPECT_EQ(spotify.showTitle, "Show");
    EXPECT_EQ(spotify.hostName, "Host");
    EXPECT_EQ(spotify.episodeNumber, 3);
    EXPECT_FALSE(spotify.generateRSSMaster);
    EXPECT_TRUE(spotify.generateWhisperReference);
    EXPECT_FALSE(spotify.generateAudiogram);
    EXPECT_EQ(spotify.artworkURL, std::filesystem::path("/art.png"));
    EXPECT_TRUE(spotify.generateTranscripts);  // not an argument: default

    CastloomPreset odd("Show", "Host", 1, -19, true, false, true, std::nullopt);
    EXPECT_EQ(odd.loudnessStandard(), Standard::custom);
    EXPECT_EQ(odd.targetLUFS, -19.0);

    CastloomPreset near("Show", "Host", 1, -16.04, true, false, true, std::nullopt);
    EXPECT_EQ(near.loudnessStandard(), Standard::applePodcasts);
    EXPECT_EQ(near.targetLUFS, -16.04);  // not snapped
}

TEST(CastloomPreset, StandardMovesTargetAndTargets) {
    CastloomPreset p;
    p.setLoudnessStandard(Standard::ebuR128);
    EXPECT_EQ(p.targetLUFS, -23.0);
    p.setLoudnessStandard(Standard::custom);
    EXPECT_EQ(p.targetLUFS, -23.0);
    p.setLoudnessStandard(Standard::acx);
    EXPECT_EQ(p.targetLUFS, -23.0);
    EXPECT_EQ(p.loudnessTarget(), (LoudnessNormalizer::LoudnessTarget{-20, -3.5, 11, true}));

    p.setLoudnessStandard(Standard::atsc);
    EXPECT_EQ(p.targetLUFS, -24.0);
    p.targetLUFS = -22;  // by hand: the standard stays
    EXPECT_EQ(p.loudnessStandard(), Standard::atsc);
    EXPECT_EQ(p.loudnessTarget(), (LoudnessNormalizer::LoudnessTarget{-22, -2, 11, false}));

    p.setLoudnessStandard(Standard::youtube);
    p.targetLUFS = -13;
    p.setLoudnessStandard(Standard::youtube);  // the same standard again still moves the target
    EXPECT_EQ(p.targetLUFS, -14.0);
    EXPECT_EQ(p.loudnessTarget(), (LoudnessNormalizer::LoudnessTarget{-14, -1, 11, false}));

    p.setLoudnessStandard(Standard::custom);
    p.targetLUFS = -19;
    EXPECT_EQ(p.loudnessTarget(), (LoudnessNormalizer::LoudnessTarget{-19, -1, 11, false}));
}

TEST(CastloomPreset, EffectiveCleanupGivesACXASecondOfRoomTone) {
    CastloomPreset p;
    p.cleanup.maxPauseSeconds = 2;
    EXPECT_EQ(p.effectiveCleanup(), p.cleanup);
    p.setLoudnessStandard(Standard::acx);
    CleanupOptions expected = p.cleanup;
    expected.roomToneSeconds = 1.0;
    EXPECT_EQ(p.effectiveCleanup(), expected);
    EXPECT_EQ(p.cleanup.roomToneSeconds, 0.3);
}

TEST(CastloomPreset, NamingOfTheThirdItem) {
    CastloomPreset p;
    p.episodeNumber = 7;
    p.showTitle = "My Show";
    BatchItem item(Uuid::random(), "/in/ep_intro_take2.wav", std::nullopt, ProcessingStatus::pending, 0, std::nullopt,
                   {});
    StringMap vars = p.namingVariables(item, 3);
    EXPECT_EQ(vars, (StringMap{{"show", "My Show"}, {"ep", "9"}, {"title", "ep_intro_take2"}}));
    EXPECT_EQ(TokenRenamer::resolve(p.defaultNamingPattern(), item, 3, 5, vars), "My Show_09_ep_intro_take2");
}

ProcessingContext contextOf(int itemIndex, int total, const std::string& pattern) {
    return ProcessingContext{Uuid::random(),
                             BatchConfiguration("/out", true, pattern, false, 1, false, false, {}),
                             itemIndex,
                             total,
                             {},
                             {},
                             nullptr};
}

TEST(CastloomPreset, ExportRequestOfAnItem) {
    CastloomPreset p;
    p.episodeNumber = 7;
    p.showTitle = "My Show";
    p.hostName = "Ana";
    p.introURL = "/music/in.wav";
    p.generateWhisperReference = true;
    p.audiogramAspect = AudiogramGenerator::AspectRatio::landscape;
    p.audiogramSeconds = 30;
    p.removeFillerWords = true;
    p.chapterMode = ChapterMode::manual;
    p.artworkURL = "/art/cover.png";
    BatchItem item(Uuid::random(), "/in/ep_intro_take2.wav", std::nullopt, ProcessingStatus::pending, 0, std::nullopt,
                   {});
    const auto r = p.exportRequest(item, contextOf(3, 5, p.defaultNamingPattern()));
    EXPECT_EQ(r.sourceURL, item.sourceURL);
    EXPECT_EQ(r.destinationDirectory, std::filesystem::path("/out"));
    EXPECT_EQ(r.baseFileName, "My Show_09_ep_intro_take2");
    EXPECT_EQ(r.metadata.title, "ep intro take2");
    EXPECT_EQ(r.metadata.artist, "Ana");
    EXPECT_EQ(r.metadata.podcastName, "My Show");
    EXPECT_EQ(r.metadata.episodeNumber, 9);
    EXPECT_EQ(r.metadata.seasonNumber, std::nullopt);
    EXPECT_EQ(r.metadata.showNotes, "Exported with Castloom. Loudness normalized to -16 LUFS.");
    ASSERT_TRUE(r.metadata.releaseYear);
    EXPECT_GE(*r.metadata.releaseYear, 2024);
    EXPECT_EQ(r.metadata.artworkURL, std::filesystem::path("/art/cover.png"));
    EXPECT_TRUE(r.generateMaster && r.generateRSSMaster && r.generateWhisperReference && r.generateAudiogram);
    EXPECT_EQ(r.targetLUFS, p.loudnessTarget());
    EXPECT_EQ(r.cleanup, p.effectiveCleanup());
    EXPECT_EQ(r.introURL, p.introURL);
    EXPECT_EQ(r.outroURL, std::nullopt);
    EXPECT_TRUE(r.generateTranscripts && r.captionAudiogram && r.removeFillers);
    EXPECT_EQ(r.audiogramAspect, AudiogramGenerator::AspectRatio::landscape);
    EXPECT_EQ(r.audiogramClip, AudioVideoPipeline::ClipChoice::automatic());
    EXPECT_EQ(r.audiogramSeconds, 30);
    EXPECT_EQ(r.chapters, AudioVideoPipeline::ChapterSetting::manual(""));
    EXPECT_FALSE(r.transcriptLocale.empty());

    p.setLoudnessStandard(Standard::acx);
    p.chapterMode = ChapterMode::automatic;
    const auto acx = p.exportRequest(item, contextOf(1, 1, "{title}"));
    EXPECT_EQ(acx.baseFileName, "ep_intro_take2");
    EXPECT_EQ(acx.metadata.episodeNumber, 7);
    EXPECT_EQ(acx.metadata.showNotes, "Exported with Castloom for Audible / ACX.");
    EXPECT_EQ(acx.cleanup.roomToneSeconds, 1.0);
    EXPECT_EQ(acx.chapters, AudioVideoPipeline::ChapterSetting::automatic());
    p.chapterMode = ChapterMode::off;
    EXPECT_EQ(p.exportRequest(item, contextOf(1, 1, "{title}")).chapters, AudioVideoPipeline::ChapterSetting::off());
}

TEST(CastloomPreset, EqualityComparesEveryOption) {
    const CastloomPreset base;
    EXPECT_EQ(base, CastloomPreset());
    std::vector<std::function<void(CastloomPreset&)>> edits = {
        [](CastloomPreset& p) { p.showTitle += "x"; },
        [](CastloomPreset& p) { p.hostName += "x"; },
        [](CastloomPreset& p) { p.episodeNumber = 2; },
        [](CastloomPreset& p) { p.setLoudnessStandard(Standard::custom); },
        [](CastloomPreset& p) { p.targetLUFS = -17; },
        [](CastloomPreset& p) { p.cleanup.noiseGate = true; },
        [](CastloomPreset& p) { p.introURL = "/a.wav"; },
        [](CastloomPreset& p) { p.outroURL = "/a.wav"; },
        [](CastloomPreset& p) { p.generateMaster = false; },
        [](CastloomPreset& p) { p.generateRSSMaster = false; },
        [](CastloomPreset& p) { p.generateWhisperReference = true; },
        [](CastloomPreset& p) { p.generateTranscripts = false; },
        [](CastloomPreset& p) { p.generateAudiogram = false; },
        [](CastloomPreset& p) { p.captionAudiogram = false; },
        [](CastloomPreset& p) { p.audiogramAspect = AudiogramGenerator::AspectRatio::vertical; },
        [](CastloomPreset& p) { p.audiogramClip = AudioVideoPipeline::ClipChoice::at(12); },
        [](CastloomPreset& p) { p.audiogramSeconds = 30; },
        [](CastloomPreset& p) { p.removeFillerWords = true; },
        [](CastloomPreset& p) { p.chapterMode = ChapterMode::manual; },
        [](CastloomPreset& p) { p.chapterList = "0:00 Intro"; },
        [](CastloomPreset& p) { p.artworkURL = "/a.png"; },
    };
    for (std::size_t i = 0; i < edits.size(); ++i) {
        CastloomPreset changed = base;
        edits[i](changed);
        EXPECT_NE(changed, base) << "edit " << i;
    }
}

TEST(AudioVideoPipeline, OptionValuesAndMasterSuffix) {
    using Clip = AudioVideoPipeline::ClipChoice;
    using Chapters = AudioVideoPipeline::ChapterSetting;
    EXPECT_EQ(Clip::at(12), Clip::at(12));
    EXPECT_NE(Clip::at(12), Clip::at(13));
    EXPECT_NE(Clip::at(0), Clip::start());
    EXPECT_NE(Clip::start(), Clip::automatic());
    EXPECT_EQ(Chapters::manual(""), Chapters::manual(""));
    EXPECT_NE(Chapters::manual(""), Chapters::off());
    EXPECT_NE(Chapters::manual("a"), Chapters::manual("b"));

    EXPECT_EQ(AudioVideoPipeline::masterSuffix({-16, -1, 11, false}), "_Master_-16LUFS.wav");
    EXPECT_EQ(AudioVideoPipeline::masterSuffix({-23.4, -1, 11, false}), "_Master_-23LUFS.wav");
    EXPECT_EQ(AudioVideoPipeline::masterSuffix({-20, -3.5, 11, true}), "_Master_ACX.wav");
    EXPECT_EQ(&AudioVideoPipeline::shared(), &AudioVideoPipeline::shared());
}

}  // namespace
}  // namespace lw
