// The output planner: the names and warnings of a dry run, per vertical, and its conflict pass.
#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>
#include <vips/vips8>

#include <fstream>

#include "image/TextureImage.h"
#include "presets/CastloomPreset.h"
#include "presets/GablewisePreset.h"
#include "presets/MapforgePreset.h"
#include "presets/OutputPlanner.h"
#include "presets/PresetSettingsCodec.h"
#include "presets/Vertical.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using Mode = MapforgePreset::OperationalMode;
using Strings = std::vector<std::string>;

class PlannerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(VIPS_INIT("output_planner_test"), 0);
        root = fs::temp_directory_path() / ("lw-planner-" + Uuid::random().toString());
        in = root / "in";
        out = root / "out";
        fs::create_directories(in);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    static BatchItem item(const fs::path& file) {
        return BatchItem(Uuid::random(), file, std::nullopt, ProcessingStatus::pending, 0, std::nullopt, {});
    }
    std::vector<BatchItem> items(const Strings& names) const {
        std::vector<BatchItem> list;
        for (const auto& name : names) list.push_back(item(in / name));
        return list;
    }
    std::vector<SimulatedItemReport> plan(const BatchPreset& preset, const Strings& names, std::string pattern = {},
                                          bool checkExisting = false) const {
        BatchConfiguration configuration(out, true, pattern.empty() ? preset.defaultNamingPattern() : pattern, false,
                                         1, false, false, {});
        return OutputPlanner::plan(preset, items(names), configuration, checkExisting);
    }
    static std::unique_ptr<BatchPreset> texture(const StringMap& settings) {
        return PresetSettingsCodec::makePreset(Vertical::mapforge, settings, true);
    }
    void png(const std::string& name, int width, int height) const {
        writePng(Raster8(width, height, 1, 128), in / name);
    }
    // A grey JPEG with a capture time and an exposure time, so brackets can be told.
    void photo(const std::string& name, const std::string& time, int denominator, double gain) const {
        vips::VImage grey = vips::VImage::black(64, 48, vips::VImage::option()->set("bands", 3)) + 100 * gain;
        grey.cast(VIPS_FORMAT_UCHAR)
            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
            .jpegsave((in / name).c_str());
        auto image = Exiv2::ImageFactory::open((in / name).string());
        image->readMetadata();
        image->exifData()["Exif.Photo.DateTimeOriginal"] = time;
        image->exifData()["Exif.Photo.ExposureTime"] = Exiv2::URational(1, denominator);
        image->writeMetadata();
    }

    fs::path root, in, out;
};

TEST_F(PlannerTest, PhotoNamesAndCollisions) {
    GablewisePreset preset;
    auto reports = plan(preset, {"a.jpg", "b.jpg"});
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].projectedFileNames,
              (Strings{"Print_Package/1042_Maple_Lane_01_Print.jpg", "MLS_Web_Package/1042_Maple_Lane_01_Web.jpg"}));
    EXPECT_EQ(reports[1].projectedFileNames[1], "MLS_Web_Package/1042_Maple_Lane_02_Web.jpg");
    EXPECT_EQ(reports[0].sourceURL, in / "a.jpg");
    EXPECT_EQ(reports[0].projectedDirectory, out);
    EXPECT_NE(reports[0].id, reports[1].id);
    EXPECT_TRUE(reports[0].warnings.empty());
    EXPECT_FALSE(OutputPlanner::hasCollisions(reports));

    preset.setPortal(GablewisePreset::Portal::airbnb);
    reports = plan(preset, {"a.jpg", "b.jpg"}, "{address}");
    EXPECT_EQ(reports[1].projectedFileNames, (Strings{"Print_Package/1042_Maple_Lane.jpg", "Airbnb_Package/1042_Maple_Lane.jpg"}));
    EXPECT_EQ(reports[0].warnings,
              (Strings{"Print_Package/1042_Maple_Lane.jpg is also written by b.jpg; add {index} or {name} to the pattern",
                       "Airbnb_Package/1042_Maple_Lane.jpg is also written by b.jpg; add {index} or {name} to the pattern"}));
    EXPECT_EQ(reports[1].warnings[0],
              "Print_Package/1042_Maple_Lane.jpg is also written by a.jpg; add {index} or {name} to the pattern");
    EXPECT_TRUE(OutputPlanner::hasCollisions(reports));

    preset.exportPrintPackage = preset.exportWebPackage = false;
    reports = plan(preset, {"a.jpg"});
    EXPECT_TRUE(reports[0].projectedFileNames.empty());
    EXPECT_EQ(reports[0].warnings, Strings{"Both output sets are turned off"});
}

TEST_F(PlannerTest, PhotoBracketMembersAreSkipped) {
    photo("BRK_1.jpg", "2024:06:01 09:00:00", 500, 0.6);
    photo("BRK_2.jpg", "2024:06:01 09:00:01", 125, 1.0);
    photo("BRK_3.jpg", "2024:06:01 09:00:02", 30, 1.6);
    photo("lone.jpg", "2024:06:01 15:00:00", 125, 1.0);
    GablewisePreset preset;
    preset.mergeBrackets = true;
    const auto reports = plan(preset, {"BRK_1.jpg", "BRK_2.jpg", "BRK_3.jpg", "lone.jpg"}, "{name}_{size}");
    EXPECT_EQ(reports[0].warnings, Strings{"Merges 3 exposures into one photo"});
    EXPECT_EQ(reports[0].projectedFileNames.size(), 2u);
    for (int i : {1, 2}) {
        EXPECT_TRUE(reports[i].projectedFileNames.empty());
        EXPECT_EQ(reports[i].warnings, Strings{"Skipped: merged into BRK_1.jpg's bracket"});
    }
    EXPECT_TRUE(reports[3].warnings.empty());
}

TEST_F(PlannerTest, ExistingFilesAreCheckedOnlyWhenAsked) {
    GablewisePreset preset;
    preset.exportWebPackage = false;
    fs::create_directories(out / "Print_Package");
    std::ofstream(out / "Print_Package" / "a_Print.jpg") << "old";
    auto reports = plan(preset, {"a.jpg", "b.jpg"}, "{name}_{size}", true);
    EXPECT_EQ(reports[0].warnings, Strings{"Print_Package/a_Print.jpg already exists and will be replaced"});
    EXPECT_TRUE(reports[1].warnings.empty());
    reports = plan(preset, {"a.jpg"}, "{name}_{size}", false);
    EXPECT_TRUE(reports[0].warnings.empty());

    // A collision hides the already-exists warning; the same path spelt two ways still collides.
    const auto twice = OutputPlanner::plan(
        preset, {item(in / "a.jpg"), item(in / "sub" / ".." / "a.jpg")},
        BatchConfiguration(out, true, "{name}_{size}", false, 1, false, false, {}), true);
    EXPECT_EQ(twice[0].warnings,
              Strings{"Print_Package/a_Print.jpg is also written by a.jpg; add {index} or {name} to the pattern"});
}

TEST_F(PlannerTest, UnknownPresetAndManyCollidingItems) {
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
    auto reports = plan(Other(), {"a.wav", "b.wav"}, {}, true);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].sourceURL, in / "b.wav");
    EXPECT_TRUE(reports[1].projectedFileNames.empty() && reports[1].warnings.empty());

    Strings names;
    for (int i = 0; i < 10000; ++i) names.push_back("IMG_" + std::to_string(i) + ".jpg");
    reports = plan(GablewisePreset(), names, "{address}", true);
    ASSERT_EQ(reports.size(), 10000u);
    EXPECT_EQ(reports[0].warnings.size(), 2u);
    EXPECT_EQ(reports[0].warnings[0],
              "Print_Package/1042_Maple_Lane.jpg is also written by IMG_1.jpg; add {index} or {name} to the pattern");
    EXPECT_EQ(reports[9999].warnings[1],
              "MLS_Web_Package/1042_Maple_Lane.jpg is also written by IMG_0.jpg; add {index} or {name} to the pattern");
}

TEST_F(PlannerTest, TextureChannelPacking) {
    png("Wood_AO.png", 300, 200);
    png("Wood_Roughness.png", 300, 200);
    png("Wood_Height.png", 300, 200);
    png("Stone_Albedo.png", 8, 8);
    auto preset = texture({{"mipmaps", "true"}, {"makeNormal", "true"}});
    auto reports = plan(*preset, {"Wood_AO.png", "Wood_Roughness.png", "Stone_Albedo.png"});
    EXPECT_EQ(reports[0].projectedFileNames,
              (Strings{"Wood_ORM_256x256.png", "Wood_ORM_256x256_mip1\u2026 (mipmap chain)", "Wood_NormalGL.png"}));
    EXPECT_EQ(reports[0].warnings, Strings{"No Metallic map found; Unreal Engine (ORM) defaults will be used"});
    EXPECT_EQ(reports[1].warnings, Strings{"Skipped: packed together with Wood_AO.png"});
    EXPECT_EQ(reports[2].warnings, Strings{"Skipped: not an AO / Roughness / Smoothness / Metallic / Height map"});

    // A normal map already there is not made again; another profile names its own missing maps.
    png("Wood_Normal.png", 8, 8);
    preset = texture({{"profile", "hdrp"}, {"makeNormal", "true"}, {"pot", "false"}});
    reports = plan(*preset, {"Wood_AO.png"});
    EXPECT_EQ(reports[0].projectedFileNames, Strings{"Wood_MaskMap_300x200.png"});
    EXPECT_EQ(reports[0].warnings,
              Strings{"No Metallic/Detail Mask map found; Unity HDRP Mask Map defaults will be used"});
}

TEST_F(PlannerTest, TextureNormalsAndPowerOfTwo) {
    png("Rock_NormalGL.png", 8, 8);
    png("Rock_NormalDX.png", 8, 8);
    png("Rock_Normal.png", 8, 8);
    png("Rock_Albedo.png", 1024, 512);
    png("Rock_Height.png", 8, 8);
    const Strings files{"Rock_NormalGL.png", "Rock_NormalDX.png", "Rock_Normal.png", "Rock_Albedo.png"};

    auto reports = plan(*texture({{"mode", "normal"}}), files);
    EXPECT_EQ(reports[0].warnings, Strings{"Skipped: already GL"});
    EXPECT_EQ(reports[1].projectedFileNames, Strings{"Rock_NormalGL.png"});
    EXPECT_EQ(reports[2].projectedFileNames, Strings{"Rock_NormalGL.png"});
    // Both convert to the name of the map that is already GL.
    EXPECT_EQ(reports[1].warnings,
              Strings{"Rock_NormalGL.png is also written by Rock_Normal.png; add {index} or {name} to the pattern"});
    EXPECT_EQ(reports[3].warnings,
              Strings{"Skipped: not named like a normal map (_Normal, _NormalDX, _NormalGL, _Nrm)"});

    reports = plan(*texture({{"mode", "normal"}, {"normal", "dx"}}), {"Rock_NormalDX.png", "Rock_NormalGL.png"},
                   "{name}-{profile}-{pot}");
    EXPECT_EQ(reports[0].warnings, Strings{"Skipped: already DX"});
    EXPECT_EQ(reports[1].projectedFileNames, Strings{"Rock_NormalDX-DX-_.png"});

    reports = plan(*texture({{"mode", "height"}}), {"Rock_Height.png", "Rock_Albedo.png"});
    EXPECT_EQ(reports[0].projectedFileNames, Strings{"Rock_NormalGL.png"});
    EXPECT_TRUE(reports[0].warnings.empty());
    EXPECT_EQ(reports[1].warnings,
              Strings{"Not named like a height map (_Height, _Disp, _Bump); it will be treated as one"});

    std::ofstream(in / "broken.png") << "not a png";
    reports = plan(*texture({{"mode", "pot"}, {"square", "true"}, {"mipmaps", "true"}}),
                   {"Rock_Albedo.png", "broken.png"});
    EXPECT_EQ(reports[0].projectedFileNames,
              (Strings{"Rock_Albedo_POT_1024x1024.png", "Rock_Albedo_POT_1024x1024_mip1\u2026 (mipmap chain)"}));
    EXPECT_EQ(reports[0].warnings, Strings{"Will be stretched from 1024x512 to square"});
    EXPECT_EQ(reports[1].projectedFileNames[0], "broken_POT__.png");
    EXPECT_TRUE(reports[1].warnings.empty());

    // Written into the input folder under the input's own name: the run refuses, the plan says so.
    const auto own = OutputPlanner::plan(*texture({{"mode", "pot"}}), items({"Rock_Albedo.png"}),
                                         BatchConfiguration(in, true, "{name}", false, 1, false, false, {}), true);
    EXPECT_EQ(own[0].warnings, Strings{"Rock_Albedo.png would replace its own source file; choose another output "
                                       "folder or naming pattern."});
}

TEST_F(PlannerTest, TextureSpriteSheetsAndTiling) {
    for (int i = 1; i <= 3; ++i) png("run_" + std::to_string(i) + ".png", 8, 8);
    png("idle.png", 8, 8);
    auto reports = plan(*texture({{"mode", "sprite"}, {"halfScale", "true"}, {"rotate", "true"}}),
                        {"run_1.png", "run_2.png", "idle.png"});
    const auto full = MapforgePreset::spriteFileNames("run", "", 1, SpriteSheetCompiler::DataFormat::jsonHash);
    const auto half = MapforgePreset::spriteFileNames("run", "@1x", 1, SpriteSheetCompiler::DataFormat::jsonHash);
    Strings expected = full.images;
    expected.insert(expected.end(), full.data.begin(), full.data.end());
    expected.insert(expected.end(), half.images.begin(), half.images.end());
    expected.insert(expected.end(), half.data.begin(), half.data.end());
    EXPECT_EQ(reports[0].projectedFileNames, expected);
    EXPECT_TRUE(reports[0].warnings.empty());
    EXPECT_EQ(reports[1].warnings, Strings{"Skipped: frame of the run sprite sheet"});
    EXPECT_EQ(reports[2].warnings, Strings{"Only one frame found for this sheet"});

    reports = plan(*texture({{"mode", "sprite"}, {"format", "godot"}, {"rotate", "true"}}), {"run_1.png"});
    EXPECT_EQ(reports[0].warnings,
              Strings{"Godot 4 SpriteFrames (.tres) can't use rotated frames; rotation is off for this format"});

    writePng(Raster8(16, 16, 3, 120), in / "flat.png");
    Raster8 ramp(16, 16, 3);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) ramp.at(x, y, 0) = static_cast<std::uint8_t>(x * 16);
    writePng(ramp, in / "ramp.png");
    std::ofstream(in / "broken.png") << "not a png";
    reports = plan(*texture({{"mode", "tiling"}}), {"flat.png", "ramp.png", "broken.png"});
    EXPECT_TRUE(reports[0].projectedFileNames.empty() && reports[0].warnings.empty());
    EXPECT_EQ(reports[1].projectedFileNames, Strings{"ramp_Tiled2x2.png"});
    ASSERT_EQ(reports[1].warnings.size(), 1u);
    EXPECT_EQ(reports[1].warnings[0].rfind("Left and right edges differ ", 0), 0u) << reports[1].warnings[0];
    EXPECT_EQ(reports[2].warnings, Strings{"Could not read the image"});
}

TEST_F(PlannerTest, PodcastDeliverables) {
    const auto planWith = [&](const CastloomPreset& preset, OutputPlanner::Environment environment,
                              const Strings& files) {
        return OutputPlanner::plan(preset, items(files),
                                   BatchConfiguration(out, true, preset.defaultNamingPattern(), false, 1, false, false, {}),
                                   false, environment);
    };
    CastloomPreset preset;
    preset.showTitle = "Night Shift";
    preset.episodeNumber = 7;
    preset.generateWhisperReference = true;
    preset.chapterMode = CastloomPreset::ChapterMode::automatic;
    auto reports = planWith(preset, {true, true}, {"pilot.wav", "second.mp3", "third.m4a"});
    EXPECT_EQ(reports[0].projectedFileNames,
              (Strings{"Night Shift_07_pilot_Master_-16LUFS.wav", "Night Shift_07_pilot_RSS_192k.mp3",
                       "Night Shift_07_pilot_WhisperRef_16k.wav", "Night Shift_07_pilot_Transcript.srt",
                       "Night Shift_07_pilot_Transcript.vtt", "Night Shift_07_pilot_Transcript.txt",
                       "Night Shift_07_pilot_Chapters.json", "Night Shift_07_pilot_Chapters.txt",
                       "Night Shift_07_pilot_Audiogram.mp4"}));
    EXPECT_TRUE(reports[0].warnings.empty());
    EXPECT_EQ(reports[1].projectedFileNames[0], "Night Shift_08_second_Master_-16LUFS.wav");
    EXPECT_EQ(reports[2].projectedFileNames[0], "Night Shift_09_third_Master_-16LUFS.wav");

    // No speech and no ffmpeg: M4A, no transcripts or automatic chapters, filler removal warned.
    preset.removeFillerWords = true;
    reports = planWith(preset, {false, false}, {"pilot.wav"});
    EXPECT_EQ(reports[0].projectedFileNames,
              (Strings{"Night Shift_07_pilot_Master_-16LUFS.wav", "Night Shift_07_pilot_RSS.m4a",
                       "Night Shift_07_pilot_WhisperRef_16k.wav", "Night Shift_07_pilot_Audiogram.mp4"}));
    EXPECT_EQ(reports[0].warnings, (Strings{"Transcripts need an on-device speech model; they will be skipped",
                                            "Filler-word removal needs an on-device speech model; it will be skipped"}));

    // ACX without a master still checks; a manual list that reads gives chapters, one that does not warns.
    CastloomPreset acx;
    acx.setLoudnessStandard(CastloomPreset::LoudnessStandard::acx);
    acx.generateMaster = acx.generateRSSMaster = acx.generateTranscripts = acx.generateAudiogram = false;
    acx.chapterMode = CastloomPreset::ChapterMode::manual;
    acx.chapterList = "0:00 Intro; 5:30 Interview";
    acx.introURL = in / "jingle.wav";
    std::ofstream(in / "jingle.wav") << "x";
    acx.outroURL = in / "gone.wav";
    reports = planWith(acx, {true, true}, {"ep.wav"});
    const std::string base = acx.showTitle + "_01_ep";
    EXPECT_EQ(reports[0].projectedFileNames,
              (Strings{base + "_ACX_Check.txt", base + "_Chapters.json", base + "_Chapters.txt"}));
    EXPECT_EQ(reports[0].warnings, Strings{"Outro music not found: gone.wav"});
    acx.chapterList = "soon: the interview";
    acx.generateMaster = true;
    reports = planWith(acx, {true, true}, {"ep.wav"});
    EXPECT_EQ(reports[0].projectedFileNames, (Strings{base + "_Master_ACX.wav", base + "_ACX_Check.txt"}));
    EXPECT_EQ(reports[0].warnings[0], "Chapter list is empty or unreadable (use lines like \"5:30 Interview\")");
}

// A walk of the output folder leaves out the files a preset writes there, known by the fixed parts
// of their names, and nothing a user would bring: the names a plan projects are known, input
// names are not.
TEST_F(PlannerTest, PresetsKnowTheirOwnDeliverablesByName) {
    GablewisePreset photo;
    CastloomPreset podcast;
    const auto textureDefaults = defaultPreset(Vertical::mapforge);
    const BatchPreset& texture = *textureDefaults;
    struct Case {
        const BatchPreset* preset;
        const char* relative;
        bool deliverable;
    };
    const std::vector<Case> cases{
        {&photo, "Print_Package/1042_Maple_Lane_01_Print.jpg", true},
        {&photo, "MLS_Web_Package/1042_Maple_Lane_01_Web.jpg", true},
        {&photo, "Zillow_Package/x.jpg", true},
        {&photo, "Airbnb_Package/x.jpg", true},
        {&photo, "Old/Print_Package/x.jpg", true},
        {&photo, "IMG_0001.jpg", false},
        {&photo, "1042_Maple_Lane_01_Print.jpg", false},
        {&photo, "Print_Package/notes.png", false},
        {&photo, "Print_Package", false},
        {&podcast, "Show_01_Episode_Master_-16LUFS.wav", true},
        {&podcast, "Show_02_Show_01_Episode_Audiogram_Master_-16LUFS.wav", true},
        {&podcast, "Show_01_Episode_Master_ACX.wav", true},
        {&podcast, "Show_01_Episode_RSS_192k.mp3", true},
        {&podcast, "Show_01_Episode_RSS.m4a", true},
        {&podcast, "Show_01_Episode_WhisperRef_16k.wav", true},
        {&podcast, "Show_01_Episode_Audiogram.mp4", true},
        {&podcast, "Out/Show_01_Episode_Audiogram.mp4", true},
        {&podcast, "Episode 12.wav", false},
        {&podcast, "Interview_Master.wav", false},
        {&podcast, "_Master_-16LUFS.wav", false},
        {&podcast, "Show_01_Episode_Audiogram.mov", false},
        {&texture, "Wood_ORM_64x32.png", true},
        {&texture, "Wood_ORM_64x32_mip1_32.png", true},
        {&texture, "Brick_POT_256x256.png", true},
        {&texture, "Wood_NormalGL.png", true},
        {&texture, "ramp_Tiled2x2.png", true},
        {&texture, "run_Atlas.png", true},
        {&texture, "run_Atlas-1@1x.png", true},
        {&texture, "Wood_NormalDX.png", false},  // a source for the GL target
        {&texture, "Wood_Height.png", false},
        {&texture, "Wood_AO.png", false},
        {&texture, "run_1.png", false},
        {&texture, "Wood_ORM_64x32.tga", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.preset->isOwnDeliverable(c.relative), c.deliverable) << c.preset->displayName() << ": " << c.relative;

    // Every name a plan projects with the default patterns is known, but for the text files that
    // no preset takes as input.
    photo.setPortal(GablewisePreset::Portal::zillow);
    photo.mergeBrackets = false;
    podcast.generateWhisperReference = true;
    podcast.generateAudiogram = true;
    const std::vector<std::pair<const BatchPreset*, const char*>> inputs{{&photo, "take.jpg"}, {&podcast, "take.wav"}};
    for (const auto& [preset, input] : inputs) {
        const BatchConfiguration configuration(out, true, preset->defaultNamingPattern(), false, 1, false, false, {});
        const auto reports =
            OutputPlanner::plan(*preset, {item(in / input)}, configuration, false, OutputPlanner::Environment{true, false});
        ASSERT_FALSE(reports.front().projectedFileNames.empty()) << input;
        for (const auto& name : reports.front().projectedFileNames) {
            if (fs::path(name).extension() != ".txt") {
                EXPECT_TRUE(preset->isOwnDeliverable(name)) << name;
            }
        }
    }
}

// The plan warns about a cover the export would leave out, in the export's words.
TEST_F(PlannerTest, PodcastCoverWarnings) {
    png("cover.png", 8, 8);
    vips::VImage::black(8, 8).cast(VIPS_FORMAT_UCHAR).webpsave((in / "cover.webp").c_str());
    std::ofstream(in / "notes.png") << "not a picture";
    struct Case {
        const char* name;
        std::string cover;
        bool mp3, rss, audiogram;
        Strings warnings;
    };
    const Case cases[] = {
        {"missing", "gone.png", true, true, true, {"Cover art not found: gone.png"}},
        {"not a picture", "notes.png", true, true, true, {"Cover art left out: notes.png is not a picture"}},
        {"WebP beside an MP3", "cover.webp", true, true, true,
         {"Cover art left out of the RSS file: cover.webp is not a PNG or JPEG picture"}},
        {"WebP for the MP3 alone", "cover.webp", true, true, false,
         {"Cover art left out: cover.webp is not a PNG or JPEG picture"}},
        {"WebP in an M4A", "cover.webp", false, true, true, {}},
        {"PNG", "cover.png", true, true, true, {}},
        {"nothing carries a cover", "gone.png", true, false, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CastloomPreset preset;
        preset.generateMaster = false;
        preset.generateRSSMaster = c.rss;
        preset.generateAudiogram = c.audiogram;
        preset.artworkURL = in / c.cover;
        const BatchConfiguration configuration(out, true, preset.defaultNamingPattern(), false, 1, false, false, {});
        const auto reports = OutputPlanner::plan(preset, items({"ep.wav"}), configuration, false, {c.mp3, true});
        EXPECT_EQ(reports[0].warnings, c.warnings);
    }
}

// A loudness target too near its peak ceiling for speech is warned of before the run.
TEST_F(PlannerTest, PodcastTargetTheCeilingHoldsBack) {
    using Standard = CastloomPreset::LoudnessStandard;
    struct Case {
        Standard standard;
        double targetLUFS;
        Strings warnings;
    };
    const Case cases[] = {
        {Standard::applePodcasts, -16, {}},
        {Standard::spotify, -14, {}},
        {Standard::acx, -20, {}},
        {Standard::custom, -11, {}},
        {Standard::custom, -9,
         {"The -9.0 LUFS target is only 8.0 dB under the -1.0 dBTP peak ceiling: most recordings will be limited "
          "and end quieter than the target"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.targetLUFS);
        CastloomPreset preset;
        preset.setLoudnessStandard(c.standard);
        preset.targetLUFS = c.targetLUFS;
        const BatchConfiguration configuration(out, true, preset.defaultNamingPattern(), false, 1, false, false, {});
        const auto reports = OutputPlanner::plan(preset, items({"ep.wav"}), configuration, false, {true, true});
        EXPECT_EQ(reports[0].warnings, c.warnings);
    }
}

}  // namespace
}  // namespace lw
