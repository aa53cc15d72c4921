// Tag writing: the ffmpeg command line (through stand-in programs), the choice of back end,
// atomic output, and round trips through the real ffmpeg/ffprobe and the M4A encoder.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "../audio/AudioTestUtil.h"
#include "audio/podcast/ID3TagInjector.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using Meta = ID3TagInjector::PodcastMetadata;
using Args = std::vector<std::string>;

nlohmann::ordered_json probe(const fs::path& file) {
    auto text = test::capture("ffprobe -v error -show_format -show_streams -show_chapters -of json " + test::quoted(file));
    return nlohmann::ordered_json::parse(text, nullptr, false);
}

std::vector<fs::path> leftovers(const fs::path& dir) {
    std::vector<fs::path> found;
    for (auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().find(".partial-") != std::string::npos) found.push_back(e.path());
    return found;
}

class TagInjectorTest : public ::testing::Test {
protected:
    void SetUp() override { dir = test::makeTempDir("tags"); }
    void TearDown() override { fs::remove_all(dir); }

    fs::path file(const std::string& name, const std::string& content) {
        std::ofstream(dir / name, std::ios::binary) << content;
        return dir / name;
    }
    fs::path standIn(const std::string& body) {
        fs::path p = file("bin/ffmpeg", "");
        fs::create_directories(dir / "bin");
        std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(p, fs::perms::owner_all);
        return p;
    }
    // A tone with noise on it, so the encoder has something to spend its bit rate on.
    fs::path sine(const std::string& name, double seconds, int channels = 2, double rate = 44100) {
        fs::path p = dir / name;
        std::uint32_t seed = 1;
        test::writeWav(p, rate, channels, static_cast<std::size_t>(seconds * rate), [&](std::size_t i, int) {
            seed = seed * 1664525u + 1013904223u;
            float noise = static_cast<float>(seed >> 8) / float(1 << 24) - 0.5f;
            return 0.3f * float(std::sin(2 * M_PI * 440 * double(i) / rate)) + 0.2f * noise;
        });
        return p;
    }
    fs::path dir;
};

TEST_F(TagInjectorTest, FFmpegCommandLineFollowsTheTagsArtworkAndChapters) {
    fs::path art = file("cover.jpg", "jpeg bytes");
    fs::path chapters = dir / "chapters.txt";  // existence is not tested
    const Args fixed = {"-c:a", "copy", "-metadata:s:v", "title=Album cover", "-metadata:s:v",
                        "comment=Cover (front)", "-id3v2_version", "3", "-metadata", "title=T", "-metadata",
                        "artist=A", "-metadata", "album=P", "-metadata", "comment=N"};
    auto join = [](std::initializer_list<Args> parts) {
        Args all;
        for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    Meta base{"T", "A", "P", std::nullopt, std::nullopt, "N"};
    Meta full = base;
    full.episodeNumber = 12;
    full.seasonNumber = 3;
    full.releaseYear = 2025;
    Meta withArt = base;
    withArt.artworkURL = art;
    Meta missingArt = base;
    missingArt.artworkURL = dir / "nowhere.png";

    struct Case {
        const char* name;
        Meta meta;
        std::optional<fs::path> chapters;
        Args expected;
    };
    const std::vector<Case> cases = {
        {"plain", base, std::nullopt, join({{"-y", "-i", "in.mp3", "-map", "0:a"}, fixed, {"out.mp3"}})},
        {"missing artwork is no artwork", missingArt, std::nullopt,
         join({{"-y", "-i", "in.mp3", "-map", "0:a"}, fixed, {"out.mp3"}})},
        {"year and episode, never the season", full, std::nullopt,
         join({{"-y", "-i", "in.mp3", "-map", "0:a"}, fixed, {"-metadata", "date=2025", "-metadata", "track=12", "out.mp3"}})},
        {"chapters only are input 1", base, chapters,
         join({{"-y", "-i", "in.mp3", "-f", "ffmetadata", "-i", chapters.string(), "-map", "0:a", "-map_chapters", "1"},
               fixed,
               {"out.mp3"}})},
        {"artwork and chapters: chapters are input 2", withArt, chapters,
         join({{"-y", "-i", "in.mp3", "-i", art.string(), "-f", "ffmetadata", "-i", chapters.string(), "-map", "0:a",
                "-map_chapters", "2", "-map", "1:0", "-c:v", "copy", "-disposition:v:0", "attached_pic"},
               fixed,
               {"out.mp3"}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ID3TagInjector::ffmpegArguments(c.meta, "in.mp3", "out.mp3", c.chapters), c.expected);
    }
}

TEST_F(TagInjectorTest, FFmpegBackEndWritesUnderATemporaryNameAndRenames) {
    fs::path args = dir / "args.txt";
    // The stand-in records its arguments and writes the output file named last.
    FFmpegRunner runner({standIn("for a in \"$@\"; do printf '%s\\n' \"$a\"; last=\"$a\"; done > '" + args.string() +
                                 "'; printf tagged > \"$last\"")});
    ID3TagInjector injector(runner);
    fs::path dest = dir / "Episode_RSS_192k.mp3";
    std::ofstream(dest) << "old";
    injector.inject(Meta{"T", "A", "P", 1, 2, "N", 2024}, dir / "rss.mp3", dest, dir / "chapters.txt");
    std::ifstream in(dest);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "tagged");
    std::ifstream a(args);
    std::vector<std::string> lines;
    for (std::string l; std::getline(a, l);) lines.push_back(l);
    ASSERT_GT(lines.size(), 6u);
    EXPECT_EQ(Args(lines.begin(), lines.begin() + 4), (Args{"-hide_banner", "-nostdin", "-loglevel", "error"}));
    fs::path written = lines.back();
    EXPECT_EQ(written.parent_path(), dir);
    EXPECT_EQ(written.extension(), ".mp3");
    EXPECT_NE(written, dest);
    EXPECT_TRUE(leftovers(dir).empty());
}

TEST_F(TagInjectorTest, FailedFFmpegRunLeavesNoDeliverable) {
    struct Case {
        const char* name;
        std::string body;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"exit 255 after a partial write",
         "for a in \"$@\"; do last=\"$a\"; done; printf half > \"$last\"; echo 'Conversion failed!' >&2; exit 255",
         "FFmpeg failed (exit 255): Conversion failed!"},
        {"killed by a signal", "for a in \"$@\"; do last=\"$a\"; done; printf half > \"$last\"; kill -TERM $$",
         "FFmpeg failed (exit 143): killed by signal 15 (Terminated)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FFmpegRunner runner({standIn(c.body)});
        fs::path dest = dir / "out.mp3";
        try {
            ID3TagInjector(runner).inject(Meta{"T", "A", "P"}, dir / "in.mp3", dest);
            ADD_FAILURE() << "expected a failure";
        } catch (const FFmpegRunner::FFmpegError& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
        EXPECT_FALSE(fs::exists(dest));
        EXPECT_TRUE(leftovers(dir).empty());
    }
}

TEST_F(TagInjectorTest, ErrorTexts) {
    using K = ID3TagInjector::TagError::Kind;
    EXPECT_STREQ(ID3TagInjector::TagError(K::exportSessionUnavailable).what(),
                 "The AAC exporter is not available for metadata injection.");
    EXPECT_STREQ(ID3TagInjector::TagError(K::taggingFailed).what(),
                 "Failed to inject metadata tags into audio container.");
    EXPECT_EQ(ID3TagInjector::TagError(K::taggingFailed), ID3TagInjector::TagError(K::taggingFailed));
}

TEST_F(TagInjectorTest, WithoutFFmpegTheM4AHoldsTheItemsInOrderAndTheCover) {
    if (!test::haveTool("ffprobe") || !test::haveTool("ffmpeg")) GTEST_SKIP() << "ffprobe/ffmpeg not installed";
    fs::path png = dir / "Cover.PNG", jpg = dir / "cover.jpeg";
    ASSERT_TRUE(test::run("ffmpeg -y -f lavfi -i color=red:s=32x32 -frames:v 1 -f image2 -c:v png " + test::quoted(png)));
    ASSERT_TRUE(test::run("ffmpeg -y -f lavfi -i color=blue:s=32x32 -frames:v 1 " + test::quoted(jpg)));
    fs::path notImage = file("cover.png", "this is not a picture");
    fs::path webp = dir / "cover.webp";
    ASSERT_TRUE(test::run("ffmpeg -y -f lavfi -i color=yellow:s=32x32 -frames:v 1 " + test::quoted(webp)));

    FFmpegRunner none({});
    ID3TagInjector injector(none);
    fs::path source = sine("master.wav", 2.0, 1, 48000);
    const std::string notes = "Notes with \"quotes\", 'single', a = sign\nand a second line; #hash";
    const std::string title = "Épisode 7 — 東京 \"live\"";

    struct Case {
        const char* name;
        std::optional<fs::path> art;
        const char* codec;  // of the attached picture, "" for none
    };
    const std::vector<Case> cases = {
        {"PNG in capitals", png, "png"},
        {"JPEG", jpg, "mjpeg"},
        {"WebP becomes JPEG", webp, "mjpeg"},
        {"not an image is left out", notImage, ""},
        {"missing artwork is left out", dir / "missing.jpg", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path dest = dir / "Episode_RSS.m4a";
        injector.inject(Meta{title, "Host Name", "The Show", 7, 2, notes, 2025, c.art}, source, dest,
                        dir / "chapters.txt");
        auto j = probe(dest);
        ASSERT_TRUE(j.contains("format")) << j.dump();
        auto tags = j["format"]["tags"];
        std::vector<std::string> keys;
        for (auto& [k, v] : tags.items())
            if (k != "major_brand" && k != "minor_version" && k != "compatible_brands" && k != "encoder") keys.push_back(k);
        EXPECT_EQ(keys, (std::vector<std::string>{"title", "artist", "album", "description", "comment", "date", "track"}));
        EXPECT_EQ(tags["title"], title);
        EXPECT_EQ(tags["artist"], "Host Name");
        EXPECT_EQ(tags["album"], "The Show");
        EXPECT_EQ(tags["description"], notes);
        EXPECT_EQ(tags["comment"], notes);
        EXPECT_EQ(tags["date"], "2025");
        EXPECT_EQ(tags["track"], "7");
        EXPECT_EQ(tags["major_brand"], "M4A ");
        EXPECT_TRUE(j["chapters"].empty());
        auto& streams = j["streams"];
        ASSERT_GE(streams.size(), 1u);
        EXPECT_EQ(streams[0]["codec_name"], "aac");
        EXPECT_EQ(streams[0]["sample_rate"], "48000");
        EXPECT_EQ(streams[0]["channels"], 1);
        EXPECT_NEAR(std::stod(j["format"]["duration"].get<std::string>()), 2.0, 0.03);
        EXPECT_NEAR(std::stod(streams[0]["bit_rate"].get<std::string>()), 192000, 30000);
        std::string cover;
        for (auto& s : streams)
            if (s["disposition"]["attached_pic"] == 1) cover = s["codec_name"];
        EXPECT_EQ(cover, c.codec);
        EXPECT_TRUE(leftovers(dir).empty());
    }
}

TEST_F(TagInjectorTest, MP3RoundTripThroughFFmpeg) {
    if (!test::haveTool("ffprobe") || !FFmpegRunner::shared().isFFmpegAvailable())
        GTEST_SKIP() << "ffmpeg/ffprobe not installed (sudo apt install ffmpeg)";
    fs::path wav = sine("master.wav", 3.0);
    fs::path mp3 = dir / "rss.mp3";
    FFmpegRunner::shared().execute({"-y", "-i", wav.string(), "-codec:a", "libmp3lame", "-b:a", "192k", mp3.string()});
    fs::path cover = dir / "cover.png";
    ASSERT_TRUE(test::run("ffmpeg -y -f lavfi -i color=red:s=32x32 -frames:v 1 " + test::quoted(cover)));
    fs::path chapters = file("chapters.txt",
                             ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1500\ntitle=Intro \\= start\n"
                             "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1500\nEND=3000\ntitle=Main\n");
    const std::string notes = "He said \"hi\"\nthen left; a=b";
    const std::string longTitle(2000, 'x');
    struct Case {
        const char* name;
        std::string title;
    };
    for (const auto& c : std::vector<Case>{{"non-ASCII", "Épisode 7 — 東京"}, {"2000 characters", longTitle}}) {
        SCOPED_TRACE(c.name);
        fs::path dest = dir / "Episode_RSS_192k.mp3";
        ID3TagInjector().inject(Meta{c.title, "Hôst", "Show", 7, 1, notes, 2025, cover}, mp3, dest, chapters);
        auto j = probe(dest);
        auto tags = j["format"]["tags"];
        EXPECT_EQ(tags["title"], c.title);
        EXPECT_EQ(tags["artist"], "Hôst");
        EXPECT_EQ(tags["album"], "Show");
        EXPECT_EQ(tags["comment"], notes);
        EXPECT_EQ(tags["date"], "2025");
        EXPECT_EQ(tags["track"], "7");
        ASSERT_EQ(j["chapters"].size(), 2u);
        EXPECT_EQ(j["chapters"][0]["tags"]["title"], "Intro = start");
        EXPECT_EQ(j["chapters"][1]["end_time"], "3.000000");
        bool hasCover = false;
        for (auto& s : j["streams"])
            if (s["disposition"]["attached_pic"] == 1) {
                hasCover = true;
                EXPECT_EQ(s["codec_name"], "png");
                EXPECT_EQ(s["tags"]["comment"], "Cover (front)");
            }
        EXPECT_TRUE(hasCover);
        std::ifstream in(dest, std::ios::binary);
        char head[4] = {};
        in.read(head, 4);
        EXPECT_EQ(std::string(head, 4), std::string("ID3\x03", 4));
    }
    // A chapter file with lines ffmpeg does not understand still tags the file; the chapter it
    // can read is kept.
    fs::path bad = file("bad-chapters.txt", ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1500\n"
                                            "title=First\nnot a key value line\n[CHAPTER]\nSTART=soon\n");
    fs::path dest = dir / "bad.mp3";
    ID3TagInjector().inject(Meta{"T", "A", "P"}, mp3, dest, bad);
    auto j = probe(dest);
    ASSERT_GE(j["chapters"].size(), 1u);
    EXPECT_EQ(j["chapters"][0]["tags"]["title"], "First");
}

TEST_F(TagInjectorTest, BadSourcesFailClearlyAndLeaveNothing) {
    fs::path text = file("notes.wav", "this is not audio at all");
    fs::path empty = file("empty.wav", "");
    fs::path silentWav = sine("zero.wav", 0.0);
    FFmpegRunner none({});
    for (const auto& src : {text, empty, silentWav}) {
        SCOPED_TRACE(src.filename().string());
        fs::path dest = dir / "out.m4a";
        try {
            ID3TagInjector(none).inject(Meta{"T", "A", "P"}, src, dest);
            ADD_FAILURE() << "expected a failure";
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(src.filename().string()), std::string::npos) << e.what();
        }
        EXPECT_FALSE(fs::exists(dest));
        EXPECT_TRUE(leftovers(dir).empty());
    }
    if (!FFmpegRunner::shared().isFFmpegAvailable()) GTEST_SKIP() << "ffmpeg not installed (sudo apt install ffmpeg)";
    fs::path dest = dir / "out.mp3";
    try {
        ID3TagInjector().inject(Meta{"T", "A", "P"}, text, dest, file("bad.txt", ";FFMETADATA1\nnonsense\n[CHAPTER]\nSTART=x\n"));
        ADD_FAILURE() << "expected a failure";
    } catch (const FFmpegRunner::FFmpegError& e) {
        EXPECT_EQ(e.kind(), FFmpegRunner::FFmpegError::Kind::executionFailed);
        EXPECT_NE(std::string(e.what()).find("notes.wav"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_TRUE(leftovers(dir).empty());
}

}  // namespace
}  // namespace lw
