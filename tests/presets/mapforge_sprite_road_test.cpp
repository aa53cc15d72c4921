// The sprite-sheet road: frame sequences, file names, and whole runs in every data format.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

#include <nlohmann/json.hpp>
#include <plist/plist.h>

#include <vips/vips8>

#include "core/BatchQueueManager.h"
#include "image/TextureImage.h"
#include "presets/MapforgePreset.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using Mode = MapforgePreset::OperationalMode;
using Format = SpriteSheetCompiler::DataFormat;

Raster8 frame(int w, int h, int seed, int margin = 0) {
    Raster8 r(w, h, 4, 0);
    for (int y = margin; y < h - margin; ++y)
        for (int x = margin; x < w - margin; ++x) {
            r.at(x, y, 0) = static_cast<std::uint8_t>(seed * 40 + x);
            r.at(x, y, 1) = static_cast<std::uint8_t>(y * 9);
            r.at(x, y, 2) = 200;
            r.at(x, y, 3) = 255;
        }
    return r;
}

class SpriteRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("lw-sprite-road-" + Uuid::random().toString());
        in = root / "in";
        out = root / "out";
        fs::create_directories(in);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void touch(const std::string& name) { std::ofstream(in / name) << "x"; }

    MapforgePreset preset(Format format) const {
        MapforgePreset p(Mode::spriteSheetAtlas, ChannelPacker::EngineProfile::unrealORM, false,
                         PowerOfTwoScaler::ScaleMode::nearestPowerOfTwo(), false, 0, false);
        p.spriteFormat = format;
        return p;
    }
    std::vector<std::string> run(const MapforgePreset& p, const std::string& file) {
        logs.clear();
        progress.clear();
        BatchItem item(Uuid::random(), in / file, std::nullopt, ProcessingStatus::pending, 0, std::nullopt, {});
        BatchConfiguration config(out, true, p.defaultNamingPattern(), false, 2, false, false, {});
        ProcessingContext context{Uuid::random(), config, 1, 1,
                                  [this](double f, const std::optional<std::string>& m) {
                                      std::lock_guard lock(mutex);
                                      progress.push_back({f, m.value_or("")});
                                  },
                                  [this](const std::string& line) {
                                      std::lock_guard lock(mutex);
                                      logs.push_back(line);
                                  },
                                  {}};
        std::vector<std::string> names;
        for (const auto& path : p.process(item, context)) {
            EXPECT_TRUE(fs::exists(path)) << path;
            EXPECT_EQ(path.parent_path(), out);
            names.push_back(path.filename().string());
        }
        return names;
    }
    std::string failure(const MapforgePreset& p, const std::string& file) {
        try {
            run(p, file);
        } catch (const BatchSkip& skip) {
            return "skip: " + skip.reason;
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(no failure)";
    }
    std::vector<std::string> outputFiles() const {
        std::vector<std::string> names;
        if (!fs::exists(out)) return names;
        for (const auto& e : fs::directory_iterator(out)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string read(const std::string& name) const {
        std::ifstream f(out / name, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(f)), {});
    }
    bool logged(const std::string& line) const { return std::find(logs.begin(), logs.end(), line) != logs.end(); }

    fs::path root, in, out;
    std::mutex mutex;
    std::vector<std::string> logs;
    std::vector<std::pair<double, std::string>> progress;
};

std::vector<std::string> fileNames(const std::vector<fs::path>& paths) {
    std::vector<std::string> names;
    for (const auto& p : paths) names.push_back(p.filename().string());
    return names;
}

TEST_F(SpriteRoadTest, FrameSequencesGroupByPrefixAndSortByNumber) {
    for (const char* name : {"frame_9.png", "frame_10.png", "frame_009.png", "frame-11.tga", "frame_3.txt", ".frame_1.png",
                             "FRAME_4.PNG", "héllo wörld 01.png", "héllo wörld 02.png", "001.png", "002.png", "logo.png",
                             "frame_99999999999999999999999.png", "frame.png"})
        touch(name);
    fs::create_directory(in / "frame_5.png");  // a folder, not a frame
    const std::set<std::string> ext{"png", "tga"};
    struct Case {
        const char* item;
        const char* name;
        std::vector<std::string> frames;
    };
    const std::vector<Case> cases{
        {"frame_10.png", "frame",
         {"frame_009.png", "frame_9.png", "frame_10.png", "frame-11.tga", "frame_99999999999999999999999.png"}},
        {"FRAME_4.PNG", "FRAME", {"FRAME_4.PNG"}},
        {"héllo wörld 02.png", "héllo wörld", {"héllo wörld 01.png", "héllo wörld 02.png"}},
        {"002.png", "Sprite", {"001.png", "002.png"}},
        {"logo.png", "logo", {"logo.png"}},
        {"frame.png", "frame", {"frame.png"}},
    };
    for (const Case& c : cases) {
        const auto seq = MapforgePreset::frameSequence(in / c.item, ext);
        EXPECT_EQ(seq.name, c.name) << c.item;
        EXPECT_EQ(fileNames(seq.frames), c.frames) << c.item;
        for (const auto& f : seq.frames) EXPECT_EQ(f.parent_path(), in);
    }
    // An unreadable folder leaves the file alone.
    const auto lone = MapforgePreset::frameSequence(root / "missing" / "run_01.png", ext);
    EXPECT_EQ(lone.name, "run");
    EXPECT_EQ(fileNames(lone.frames), std::vector<std::string>{"run_01.png"});
}

TEST(SpriteFileNamesTest, NamesPerFormatAndPageCount) {
    struct Case {
        Format format;
        const char* suffix;
        int pages;
        std::vector<std::string> images, data;
    };
    const std::vector<Case> cases{
        {Format::jsonHash, "", 1, {"walk_Atlas.png"}, {"walk_Atlas.json"}},
        {Format::jsonArray, "@1x", 1, {"walk_Atlas@1x.png"}, {"walk_Atlas@1x.json"}},
        {Format::cocos, "", 2, {"walk_Atlas-0.png", "walk_Atlas-1.png"}, {"walk_Atlas-0.plist", "walk_Atlas-1.plist"}},
        {Format::unity, "@1x", 2, {"walk_Atlas-0@1x.png", "walk_Atlas-1@1x.png"},
         {"walk_Atlas-0@1x.png.meta", "walk_Atlas-1@1x.png.meta"}},
        {Format::godot, "", 3, {"walk_Atlas-0.png", "walk_Atlas-1.png", "walk_Atlas-2.png"}, {"walk_Atlas.tres"}},
        {Format::godot, "@1x", 1, {"walk_Atlas@1x.png"}, {"walk_Atlas@1x.tres"}},
    };
    for (const Case& c : cases) {
        const auto names = MapforgePreset::spriteFileNames("walk", c.suffix, c.pages, c.format);
        EXPECT_EQ(names.images, c.images) << rawValue(c.format) << c.pages;
        EXPECT_EQ(names.data, c.data) << rawValue(c.format) << c.pages;
    }
}

TEST_F(SpriteRoadTest, RunsEveryFormatWithHalfScale) {
    writePng(frame(20, 12, 1, 2), in / "run_01.png");
    writePng(frame(20, 12, 2, 0), in / "run_02.png");
    writePng(frame(20, 12, 1, 2), in / "run_03.png");  // same as the first
    for (Format format : allDataFormats()) {
        SCOPED_TRACE(rawValue(format));
        fs::remove_all(out);
        auto p = preset(format);
        p.spriteHalfScale = true;
        p.spriteRotate = true;
        const auto names = run(p, "run_01.png");
        std::vector<std::string> expected;
        for (const char* suffix : {"", "@1x"}) {
            const auto n = MapforgePreset::spriteFileNames("run", suffix, 1, format);
            expected.insert(expected.end(), n.images.begin(), n.images.end());
            expected.insert(expected.end(), n.data.begin(), n.data.end());
        }
        auto sortedNames = names;
        std::sort(sortedNames.begin(), sortedNames.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(sortedNames, expected);
        EXPECT_EQ(outputFiles(), expected);  // nothing else, no temporary files
        EXPECT_EQ(progress.front(), (std::pair<double, std::string>{0.4, "Packing 3 frames..."}));
        EXPECT_EQ(logs.back(), "Texture processing finished.");
        ASSERT_GE(logs.size(), 3u);
        EXPECT_EQ(logs[0].rfind("Packed 3 frames into ", 0), 0u) << logs[0];
        EXPECT_NE(logs[0].find(", 1 duplicate frames reused"), std::string::npos) << logs[0];
        EXPECT_NE(logs[1].find("at half size (@1x)"), std::string::npos) << logs[1];

        const auto full = readTextureSize(out / "run_Atlas.png");
        const auto half = readTextureSize(out / "run_Atlas@1x.png");
        ASSERT_TRUE(full && half);
        EXPECT_EQ(full->width & (full->width - 1), 0);
        EXPECT_LE(half->width * half->height, full->width * full->height);

        const auto data = MapforgePreset::spriteFileNames("run", "", 1, format).data.front();
        const std::string text = read(data);
        switch (format) {
            case Format::jsonHash: {
                const auto j = nlohmann::json::parse(text);
                EXPECT_EQ(j["frames"].size(), 3u);
                EXPECT_EQ(j["frames"]["run_01.png"]["sourceSize"], (nlohmann::json{{"w", 20}, {"h", 12}}));
                EXPECT_EQ(j["frames"]["run_01.png"]["frame"], j["frames"]["run_03.png"]["frame"]);
                EXPECT_EQ(j["meta"]["image"], "run_Atlas.png");
                EXPECT_EQ(nlohmann::json::parse(read("run_Atlas@1x.json"))["frames"]["run_01.png"]["sourceSize"],
                          (nlohmann::json{{"w", 10}, {"h", 6}}));
                break;
            }
            case Format::jsonArray:
                EXPECT_EQ(nlohmann::json::parse(text)["frames"][2]["filename"], "run_03.png");
                break;
            case Format::cocos: {
                plist_t root = nullptr;
                plist_from_xml(text.c_str(), static_cast<std::uint32_t>(text.size()), &root);
                ASSERT_NE(root, nullptr);
                EXPECT_EQ(plist_dict_get_size(plist_dict_get_item(root, "frames")), 3u);
                plist_free(root);
                break;
            }
            case Format::unity:
                EXPECT_NE(text.find("spriteMode: 2"), std::string::npos);
                EXPECT_NE(text.find("name: \"run_03\""), std::string::npos);
                break;
            case Format::godot:
                EXPECT_NE(text.find("[ext_resource type=\"Texture2D\" path=\"run_Atlas.png\""), std::string::npos);
                EXPECT_NE(text.find("\"name\": &\"run\""), std::string::npos);
                break;
        }
        // Rotation only where the format supports it.
        if (!supportsRotation(format)) {
            EXPECT_NE(logs[0].find(", 0 rotated"), std::string::npos) << logs[0];
        }
    }

    // The other frames are part of the first one's sheet.
    EXPECT_EQ(failure(preset(Format::jsonHash), "run_02.png"), "skip: run_02.png is part of the run sprite sheet");
}

// walk.png and walk_01.png... both make the "walk" sheet: the later item of the job fails, naming
// the sheet and the earlier item, and the earlier sheet stays whole.
TEST_F(SpriteRoadTest, TwoSequencesOfOneJobNeverWriteTheSameSheet) {
    writePng(frame(8, 8, 1), in / "walk.png");
    writePng(frame(8, 8, 2), in / "walk_01.png");
    writePng(frame(8, 8, 3), in / "walk_02.png");
    std::vector<BatchItem> items;
    for (const char* file : {"walk.png", "walk_01.png", "walk_02.png"})
        items.emplace_back(Uuid::random(), in / file, std::nullopt, ProcessingStatus::pending, 0, std::nullopt,
                           StringMap{});
    const auto p = std::make_shared<MapforgePreset>(preset(Format::jsonHash));
    BatchConfiguration config(out, true, p->defaultNamingPattern(), false, 1, false, false, {});
    BatchQueueManager queue;
    const Uuid jobID = Uuid::random();
    const ExecutionReport report = queue.submitAndStart(ProcessingJob(jobID, p->id(), p->displayName(), items, config), p);
    EXPECT_EQ(report.successCount, 1);
    EXPECT_EQ(report.failureCount, 1);
    EXPECT_EQ(report.skippedCount, 1);
    const auto job = queue.activeJobs().at(jobID);
    EXPECT_EQ(job.items[1].status, ProcessingStatus::failed);
    const std::string error = job.items[1].errorMessage.value_or("");
    // The sheet takes the sequence's name whatever the naming pattern, so the advice is to rename frames.
    EXPECT_EQ(error, "walk_Atlas.png was already written in this job from " + (in / "walk.png").string() +
                         "; walk_01.png would replace it. Sprite sheets are named after their frames, and both frame "
                         "sequences are named walk: rename the frames of one of them.");
    const auto sheet = nlohmann::json::parse(read(outputFiles().front().ends_with(".json") ? outputFiles().front()
                                                                                           : outputFiles().back()));
    EXPECT_EQ(sheet["frames"].size(), 1u);  // walk.png's own sheet
}

TEST_F(SpriteRoadTest, RotationOnlyWhereTheFormatReadsIt) {
    // Wide and tall frames on a small sheet: packed with quarter turns when the format allows.
    for (int i = 1; i <= 4; ++i) {
        writePng(frame(48, 10, i), in / ("spin_0" + std::to_string(i) + ".png"));
        writePng(frame(10, 48, i + 4), in / ("spin_0" + std::to_string(i + 4) + ".png"));
    }
    for (Format format : allDataFormats()) {
        SCOPED_TRACE(rawValue(format));
        fs::remove_all(out);
        auto p = preset(format);
        p.spriteRotate = true;
        p.spriteTrim = false;
        p.maxTextureSize = 64;
        run(p, "spin_01.png");
        ASSERT_FALSE(logs.empty());
        if (supportsRotation(format)) {
            EXPECT_EQ(logs[0].find(", 0 rotated"), std::string::npos) << logs[0];
        } else {
            EXPECT_NE(logs[0].find(", 0 rotated"), std::string::npos) << logs[0];
        }
    }
}

TEST_F(SpriteRoadTest, NamesThatAreNotUtf8NameThePagesTheDataFilesPointTo) {
    const std::string stem = "w\xFFlk";
    for (int i = 1; i <= 3; ++i) writePng(frame(16, 16, i), in / (stem + "_0" + std::to_string(i) + ".png"));
    for (Format format : allDataFormats()) {
        SCOPED_TRACE(rawValue(format));
        fs::remove_all(out);
        const auto names = run(preset(format), stem + "_01.png");
        const auto expected = MapforgePreset::spriteFileNames(stem, "", 1, format);
        ASSERT_EQ(expected.images.size(), 1u);
        const std::string page = expected.images.front();
        EXPECT_EQ(page, "w\xEF\xBF\xBDlk_Atlas.png");
        EXPECT_TRUE(fs::exists(out / page)) << page;
        for (const auto& data : expected.data) {
            ASSERT_TRUE(fs::exists(out / data)) << data;
            if (format == Format::unity)
                EXPECT_EQ(data, page + ".meta");
            else
                EXPECT_NE(read(data).find(page), std::string::npos) << data << " does not name " << page;
        }
        std::vector<std::string> all = expected.images;
        all.insert(all.end(), expected.data.begin(), expected.data.end());
        std::sort(all.begin(), all.end());
        EXPECT_EQ(outputFiles(), all);
    }
}

TEST_F(SpriteRoadTest, BadFramesAndLimits) {
    writePng(frame(8, 8, 1), in / "bad_01.png");
    std::ofstream(in / "bad_02.png") << "not a png";
    writePng(frame(6, 6, 2), in / "bad_03.png");
    auto p = preset(Format::jsonHash);
    EXPECT_EQ(run(p, "bad_01.png"), (std::vector<std::string>{"bad_Atlas.png", "bad_Atlas.json"}));
    EXPECT_TRUE(logged("bad_02.png could not be decoded and was left out of the bad sprite sheet"));
    EXPECT_EQ(nlohmann::json::parse(read("bad_Atlas.json"))["frames"].size(), 2u);

    // None decodes: the atlas error, and nothing is written.
    fs::remove_all(out);
    std::ofstream(in / "junk_01.png") << "a";
    std::ofstream(in / "junk_02.png") << "b";
    EXPECT_EQ(failure(p, "junk_01.png"), "Failed to decode frame images from provided URLs.");
    EXPECT_TRUE(outputFiles().empty());

    // A frame over the sheet limit fails the item with nothing written.
    writePng(frame(40, 10, 1), in / "big_01.png");
    writePng(frame(8, 8, 2), in / "big_02.png");
    p.maxTextureSize = 32;
    EXPECT_EQ(failure(p, "big_01.png"), "big_01.png is larger than the 32x32 sheet limit.");
    EXPECT_TRUE(outputFiles().empty());
    p.spriteHalfScale = true;
    p.maxTextureSize = 64;
    p.spriteExtrude = 11;  // 40 + 22 fits 64; at half size too
    EXPECT_EQ(run(p, "big_01.png").size(), 4u);
}

// A frame whose JPEG data is cut short is left out like any frame that cannot be decoded, with
// libvips' words about it in the item's log rather than on stderr; one missing only its end
// marker holds all its pixels and is kept.
TEST_F(SpriteRoadTest, AJpegFrameCutShortIsLeftOutAndLibvipsWordsGoToTheLog) {
    const vips::VImage noise =
        (vips::VImage::gaussnoise(96, 96, vips::VImage::option()->set("sigma", 60.0)) * std::vector<double>{1.0, 0.8, 0.6})
            .cast(VIPS_FORMAT_UCHAR)
            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    const auto save = [&](const std::string& name, double keep, int cutEnd) {
        const fs::path file = in / name;
        noise.jpegsave(file.c_str(), vips::VImage::option()->set("Q", 90));
        std::ifstream f(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(f)), {});
        f.close();
        bytes.resize(static_cast<std::size_t>(bytes.size() * keep) - cutEnd);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    };
    save("walk_01.jpg", 1.0, 0);
    save("walk_02.jpg", 0.6, 0);  // pixel data cut short
    save("walk_03.jpg", 1.0, 2);  // only the end marker missing

    ::testing::internal::CaptureStderr();
    const std::vector<std::string> names = run(preset(Format::jsonHash), "walk_01.jpg");
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(names, (std::vector<std::string>{"walk_Atlas.png", "walk_Atlas.json"}));
    EXPECT_TRUE(logged("walk_02.jpg could not be decoded and was left out of the walk sprite sheet"));
    EXPECT_EQ(nlohmann::json::parse(read("walk_Atlas.json"))["frames"].size(), 2u);
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(std::any_of(logs.begin(), logs.end(),
                            [](const std::string& line) { return line.find("libvips: ") != std::string::npos; }))
        << ::testing::PrintToString(logs);
}

// A frame changed between two runs of one process (the window run again after an edit) is
// packed as it is now, not as an earlier run read it.
TEST_F(SpriteRoadTest, AFrameEditedBetweenRunsIsPackedAsItIsNow) {
    const auto colourOfSheet = [&] {
        const vips::VImage sheet = vips::VImage::new_from_file((out / "edit_Atlas.png").c_str(),
                                                               vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        return sheet.extract_band(0).max();  // the one frame's red
    };
    auto p = preset(Format::jsonHash);
    p.spriteTrim = false;
    writePng(Raster8(8, 8, 3, 40), in / "edit_01.png");
    run(p, "edit_01.png");
    EXPECT_EQ(colourOfSheet(), 40.0);
    fs::remove_all(out);
    writePng(Raster8(8, 8, 3, 200), in / "edit_01.png");
    run(p, "edit_01.png");
    EXPECT_EQ(colourOfSheet(), 200.0);
}

}  // namespace
}  // namespace lw
