// Audiogram: shapes and their texts, the accent colour, frame layout read back from pixels, the
// level envelope, and whole videos read back with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include <vips/vips8>

#include "../audio/AudioTestUtil.h"
#include "audio/PCMStream.h"
#include "audio/podcast/AudiogramGenerator.h"
#include "audio/podcast/FrameRenderer.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using AG = AudiogramGenerator;
using AR = AudiogramGenerator::AspectRatio;

struct RGB {
    int r, g, b;
};

// A BGRA frame as the renderer fills it; y counts from the top.
struct Frame {
    int width, height;
    std::vector<std::uint8_t> bytes;
    Frame(int w, int h) : width(w), height(h), bytes(std::size_t(w) * std::size_t(h) * 4, 0) {}
    PixelBuffer buffer() { return {bytes.data(), width, height, width * 4}; }
    RGB at(int x, int y) const {
        const auto* p = &bytes[(std::size_t(y) * std::size_t(width) + std::size_t(x)) * 4];
        return {p[2], p[1], p[0]};
    }
    // y measured from the bottom, as the layout is specified.
    RGB fromBottom(double x, double y) const { return at(int(x), height - 1 - int(y)); }
};

bool near(RGB a, RGB b, int tolerance = 6) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}
std::string show(RGB c) { return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b); }

constexpr RGB kBackground{17, 17, 22};
constexpr RGB kAccent{0x3B, 0x82, 0xF6};
// Track: white at 0.18 over the background.
constexpr RGB kTrack{int(17 + 0.18 * (255 - 17) + 0.5), int(17 + 0.18 * (255 - 17) + 0.5), int(22 + 0.18 * (255 - 22) + 0.5)};

TEST(AudiogramShapes, NamesKeysAndSizes) {
    struct Case {
        AR ratio;
        const char *raw, *key, *name;
        int w, h;
    };
    const std::vector<Case> cases = {
        {AR::square, "1:1 (1080x1080)", "square", "Square 1:1 (Instagram, X)", 1080, 1080},
        {AR::vertical, "9:16 (1080x1920)", "vertical", "Vertical 9:16 (Reels, TikTok, Shorts)", 1080, 1920},
        {AR::landscape, "16:9 (1920x1080)", "wide", "Wide 16:9 (YouTube)", 1920, 1080},
    };
    ASSERT_EQ(AG::allAspectRatios(), (std::vector<AR>{AR::square, AR::vertical, AR::landscape}));
    for (const auto& c : cases) {
        EXPECT_EQ(rawValue(c.ratio), c.raw);
        EXPECT_EQ(key(c.ratio), c.key);
        EXPECT_EQ(shortName(c.ratio), c.name);
        EXPECT_EQ(dimensions(c.ratio), std::make_pair(c.w, c.h));
        EXPECT_EQ(AG::aspectRatioFromRawValue(c.raw), c.ratio);
        EXPECT_EQ(AG::aspectRatioFromKey(c.key), c.ratio);
    }
    const std::vector<std::pair<std::string, std::optional<AR>>> keys = {
        {"1:1", AR::square},     {"1X1", AR::square},      {"STORY", AR::vertical}, {"reel", AR::vertical},
        {"9x16", AR::vertical},  {"Landscape", AR::landscape}, {"16:9", AR::landscape}, {"16X9", AR::landscape},
        {" wide", std::nullopt}, {"wide ", std::nullopt},  {"", std::nullopt},      {"4:3", std::nullopt},
    };
    for (const auto& [text, expected] : keys) EXPECT_EQ(AG::aspectRatioFromKey(text), expected) << text;
    EXPECT_EQ(AG::aspectRatioFromRawValue("1:1"), std::nullopt);
}

TEST(AudiogramShapes, ErrorTexts) {
    using K = AG::AudiogramError::Kind;
    EXPECT_STREQ(AG::AudiogramError(K::audioTooShort).what(), "Audio is too short for an audiogram.");
    EXPECT_STREQ(AG::AudiogramError(K::writerSetupFailed).what(), "Could not set up the audiogram video writer.");
    EXPECT_STREQ(AG::AudiogramError(K::ffmpegRequired).what(),
                 "FFmpeg is required to generate dynamic audiograms with waveform visualization.");
}

TEST(FrameRendererColor, AccentParsing) {
    const std::vector<std::pair<std::string, std::uint32_t>> cases = {
        {"3b82f6", 0x3B82F6},  {" \t#3B82F6\t ", 0x3B82F6}, {"", 0x3B82F6},        {"   ", 0x3B82F6},
        {"#", 0x3B82F6},       {"12345g", 0x3B82F6},        {"FF3B82F6", 0x3B82F6}, {"#ff0000", 0xFF0000},
        {"##ff0000", 0x3B82F6}, {"1FF3B82F6", 0x3B82F6},     {"fff", 0x000FFF},      {"0x10", 0x3B82F6},
        {"-1", 0x3B82F6},      {"# ff0000", 0x3B82F6},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(FrameRenderer::parseColor(text), expected) << "'" << text << "'";
}

class FrameLayout : public ::testing::Test {
protected:
    static constexpr int W = 1080, H = 1080;
    const double bar = (0.86 * W - 40 * 0.006 * W) / 41;  // about 16.33 px
    static CaptionWord word(const std::string& text, double start, double end) { return {text, start, end}; }
};

TEST_F(FrameLayout, BarsProgressAndBackgroundWithoutCaptions) {
    FrameRenderer renderer(W, H, "#3B82F6", std::nullopt, {}, std::nullopt, 30);
    std::vector<float> envelope(10, 0.f);
    envelope[9] = 1.f;
    Frame f(W, H);
    const double middleX = 0.07 * W + 20 * (bar + 0.006 * W) + bar / 2;

    renderer.draw(f.buffer(), envelope, 0, 10);
    EXPECT_TRUE(near(f.at(2, 2), kBackground)) << show(f.at(2, 2));
    // Level 0: a circle of diameter b centred at mid-height.
    EXPECT_TRUE(near(f.fromBottom(middleX, 0.5 * H), kAccent)) << show(f.fromBottom(middleX, 0.5 * H));
    EXPECT_TRUE(near(f.fromBottom(middleX, 0.5 * H + bar * 0.45), kAccent));
    EXPECT_TRUE(near(f.fromBottom(middleX, 0.5 * H + bar * 0.6), kBackground));
    // Progress after frame 0 of 10: a tenth of the track.
    const double trackY = 0.08 * H + 3, fillEnd = 0.07 * W + 0.86 * W * 0.1;
    EXPECT_TRUE(near(f.fromBottom(fillEnd - 3, trackY), kAccent)) << show(f.fromBottom(fillEnd - 3, trackY));
    EXPECT_TRUE(near(f.fromBottom(fillEnd + 3, trackY), kTrack)) << show(f.fromBottom(fillEnd + 3, trackY));
    EXPECT_TRUE(near(f.fromBottom(0.07 * W - 3, trackY), kBackground));

    // The last frame: full level in the middle (30 % of the height), a full track.
    renderer.draw(f.buffer(), envelope, 9, 10);
    EXPECT_TRUE(near(f.fromBottom(middleX, 0.5 * H + 0.145 * H), kAccent));
    EXPECT_TRUE(near(f.fromBottom(middleX, 0.5 * H + 0.155 * H), kBackground));
    // Bar 21 (one step out) shows frame 7, which is silent.
    EXPECT_TRUE(near(f.fromBottom(middleX + bar + 0.006 * W, 0.5 * H + 2 * bar), kBackground));
    EXPECT_TRUE(near(f.fromBottom(0.93 * W - 3, trackY), kAccent));
    EXPECT_TRUE(near(f.fromBottom(0.93 * W + 3, trackY), kBackground));

    // Two frames later the loud frame has moved one bar outwards on both sides, tapered.
    envelope.resize(12, 0.f);
    renderer.draw(f.buffer(), envelope, 11, 12);
    const double taper = (1 - 1.0 / 41) * 0.30 * H;
    for (double x : {middleX - bar - 0.006 * W, middleX + bar + 0.006 * W}) {
        EXPECT_TRUE(near(f.fromBottom(x, 0.5 * H + taper / 2 - 3), kAccent));
        EXPECT_TRUE(near(f.fromBottom(x, 0.5 * H + taper / 2 + 3), kBackground));
    }
    EXPECT_TRUE(near(f.fromBottom(middleX, 0.5 * H + bar), kBackground));
}

TEST_F(FrameLayout, CaptionsFollowTheirCues) {
    // Two cues (the second starts after 3 s of the first): "Hello there." and "General news".
    std::vector<CaptionCue> cues = {{{word("Hello", 2.0, 2.4), word("there.", 2.5, 3.0)}},
                                    {{word("General", 3.2, 3.6), word("news", 3.7, 4.0)}}};
    FrameRenderer renderer(W, H, "#FF0000", std::nullopt, cues, std::nullopt, 10);
    const RGB red{255, 0, 0};
    std::vector<float> envelope(100, 0.f);
    Frame f(W, H);
    // Accent pixels in the caption band tell whether a highlighted word is drawn.
    auto captionState = [&](int frame) {
        renderer.draw(f.buffer(), envelope, frame, 100);
        int accent = 0, pill = 0;
        for (int y = int(H - 0.24 * H - 60); y < int(H - 0.24 * H + 60); ++y)
            for (int x = 0; x < W; ++x) {
                RGB c = f.at(x, y);
                if (c.r > 200 && c.g < 40 && c.b < 40) ++accent;
                if (near(c, RGB{8, 8, 10}, 3)) ++pill;
            }
        return std::make_pair(accent, pill);
    };
    // With cues, the bars sit higher: centre at 0.56 H.
    renderer.draw(f.buffer(), envelope, 0, 100);
    const double middleX = 0.07 * W + 20 * (bar + 0.006 * W) + bar / 2;
    EXPECT_TRUE(near(f.fromBottom(middleX, 0.56 * H), red));
    EXPECT_TRUE(near(f.fromBottom(middleX, 0.5 * H), kBackground));

    struct Case {
        int frame;
        bool caption;
        const char* why;
    };
    const std::vector<Case> cases = {
        {0, false, "nothing started"},
        {19, false, "1.9 s: 50 ms early is not yet"},
        {20, true, "2.0 s: first cue"},
        {31, true, "3.1 s: first cue still shown"},
        {33, true, "3.3 s: second cue"},
        {45, true, "4.5 s: within 0.6 s of the end"},
        {46, false, "4.6 s: gone"},
        {90, false, "long after"},
    };
    for (const auto& c : cases) {
        auto [accent, pill] = captionState(c.frame);
        EXPECT_EQ(accent > 50, c.caption) << c.why << " accent=" << accent;
        EXPECT_EQ(pill > 1000, c.caption) << c.why << " pill=" << pill;
    }
}

TEST_F(FrameLayout, CoverTitleAndOddInput) {
    fs::path dir = test::makeTempDir("frames");
    fs::path cover = dir / "cover.png";
    // A wide red picture: cropped to cover the square frame, under the veil.
    ASSERT_TRUE(test::run("ffmpeg -y -f lavfi -i color=red:s=200x100 -frames:v 1 " + test::quoted(cover)) ||
                !test::haveTool("ffmpeg"));
    if (fs::exists(cover)) {
        FrameRenderer renderer(W, H, "", cover, {}, std::string("A title"), 30);
        EXPECT_TRUE(renderer.hasBackground());
        Frame f(W, H);
        renderer.draw(f.buffer(), {}, 0, 1);
        const RGB veiled{int(255 * 0.55 + 0.5), 0, 0};
        EXPECT_TRUE(near(f.at(2, 2), veiled)) << show(f.at(2, 2));
        EXPECT_TRUE(near(f.at(W - 3, H / 3), veiled));
        // Title text: near-white pixels around 0.86 H, nowhere near the bottom.
        int white = 0, whiteBelow = 0;
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                RGB c = f.at(x, y);
                if (c.r > 220 && c.g > 220 && c.b > 220) (y < H - 0.75 * H ? white : whiteBelow)++;
            }
        EXPECT_GT(white, 200);
        EXPECT_EQ(whiteBelow, 0);
    }
    // Not a picture, missing: no cover and no error.
    std::ofstream(dir / "notes.png") << "not a picture";
    for (const auto& p : {dir / "notes.png", dir / "missing.jpg"}) {
        FrameRenderer renderer(W, H, "", p, {}, std::nullopt, 30);
        EXPECT_FALSE(renderer.hasBackground());
        Frame f(W, H);
        renderer.draw(f.buffer(), {}, 0, 1);
        EXPECT_TRUE(near(f.at(2, 2), kBackground));
    }
    // A 2000-character title stays in the upper part of the frame.
    {
        std::string title;
        while (title.size() < 2000) title += "Wordy title ";
        FrameRenderer renderer(W, H, "", std::nullopt, {}, title, 30);
        Frame f(W, H);
        renderer.draw(f.buffer(), {}, 0, 1);
        int whiteLow = 0;
        for (int y = int(H * 0.4); y < H; ++y)
            for (int x = 0; x < W; ++x)
                if (f.at(x, y).r > 220 && f.at(x, y).b > 220) ++whiteLow;
        EXPECT_EQ(whiteLow, 0);
    }
    // A buffer of another size is left as it is.
    {
        FrameRenderer renderer(W, H, "", std::nullopt, {}, std::nullopt, 30);
        Frame small(64, 64);
        std::fill(small.bytes.begin(), small.bytes.end(), 7);
        renderer.draw(small.buffer(), {}, 0, 1);
        EXPECT_TRUE(std::all_of(small.bytes.begin(), small.bytes.end(), [](std::uint8_t b) { return b == 7; }));
    }
    fs::remove_all(dir);
}

TEST_F(FrameLayout, HugeAndCMYKCoversAreDecoded) {
    ASSERT_EQ(VIPS_INIT("audiogram-test"), 0);
    fs::path dir = test::makeTempDir("covers");
    // 8000 x 8000 orange, and a CMYK JPEG of pure cyan; both end up under the 45 % veil.
    fs::path huge = dir / "huge.jpg", cmyk = dir / "cmyk.jpg";
    vips::VImage::black(8000, 8000, vips::VImage::option()->set("bands", 3))
        .linear({0, 0, 0}, {255, 128, 0})
        .cast(VIPS_FORMAT_UCHAR)
        .jpegsave(huge.c_str());
    vips::VImage::black(64, 64, vips::VImage::option()->set("bands", 4))
        .linear({0, 0, 0, 0}, {255, 0, 0, 0})
        .cast(VIPS_FORMAT_UCHAR)
        .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_CMYK))
        .jpegsave(cmyk.c_str());
    struct Case {
        fs::path file;
        RGB colour;
    };
    for (const auto& c : {Case{huge, {255, 128, 0}}, Case{cmyk, {0, 255, 255}}}) {
        SCOPED_TRACE(c.file.filename().string());
        FrameRenderer renderer(W, H, "", c.file, {}, std::nullopt, 30);
        ASSERT_TRUE(renderer.hasBackground());
        Frame f(W, H);
        renderer.draw(f.buffer(), {}, 0, 1);
        RGB veiled{int(c.colour.r * 0.55), int(c.colour.g * 0.55), int(c.colour.b * 0.55)};
        // CMYK goes through a generic profile, so its cyan is only roughly the sRGB one.
        EXPECT_TRUE(near(f.at(2, 2), veiled, c.file == cmyk ? 60 : 6)) << show(f.at(2, 2));
    }
    fs::remove_all(dir);
}

class AudiogramVideo : public ::testing::Test {
protected:
    void SetUp() override { dir = test::makeTempDir("audiogram"); }
    void TearDown() override { fs::remove_all(dir); }
    // A tone whose loudness steps up every second.
    fs::path tone(const std::string& name, double seconds, double rate = 48000, int channels = 1, bool silent = false) {
        fs::path p = dir / name;
        test::writeWav(p, rate, channels, std::size_t(seconds * rate), [&](std::size_t i, int) {
            if (silent) return 0.f;
            double t = double(i) / rate;
            return float((0.05 + 0.05 * std::floor(t)) * std::sin(2 * M_PI * 330 * t));
        });
        return p;
    }
    std::vector<fs::path> files() const {
        std::vector<fs::path> all;
        for (auto& e : fs::directory_iterator(dir)) all.push_back(e.path().filename());
        std::sort(all.begin(), all.end());
        return all;
    }
    fs::path dir;
};

TEST_F(AudiogramVideo, EnvelopeHasOneLevelPerFrame) {
    fs::path ten = tone("ten.wav", 10.0);
    auto levels = AG::envelope(ten, 10.0, 30);
    EXPECT_EQ(levels.size(), 300u);  // blocks of 533 samples at 16 kHz
    EXPECT_FLOAT_EQ(*std::max_element(levels.begin(), levels.end()), 1.f);
    EXPECT_LT(levels[15], levels[45]);  // louder each second
    EXPECT_NEAR(levels[15], std::sqrt(0.05f / 0.5f), 0.01);
    EXPECT_EQ(AG::envelope(ten, 2.0, 25).size(), 50u);
    auto silent = AG::envelope(tone("silent.wav", 1.0, 48000, 1, true), 1.0, 30);
    EXPECT_EQ(silent.size(), 30u);
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](float l) { return l == 0.f; }));
}

TEST_F(AudiogramVideo, ShortAndBadSourcesFailCleanly) {
    fs::path dest = dir / "Episode_Audiogram.mp4";
    std::ofstream(dest) << "previous";
    AG::AudiogramConfig config{AR::square, std::nullopt, "#3B82F6", std::nullopt, 30, {}, std::nullopt};
    auto tooShort = [&](const fs::path& src, std::optional<double> max) {
        config.maxDurationSeconds = max;
        try {
            AG().generate(src, dest, config);
            ADD_FAILURE() << src << " made an audiogram";
        } catch (const AG::AudiogramError& e) {
            EXPECT_EQ(e.kind(), AG::AudiogramError::Kind::audioTooShort);
        }
    };
    tooShort(tone("short.wav", 0.4), std::nullopt);
    tooShort(tone("two.wav", 2.0), 0.5);
    tooShort(dir / "two.wav", 0.0);
    std::ofstream(dir / "text.wav") << "no audio in here";
    std::ofstream(dir / "empty.mp3");
    config.maxDurationSeconds.reset();
    for (const char* name : {"text.wav", "empty.mp3", "missing.wav"}) {
        try {
            AG().generate(dir / name, dest, config);
            ADD_FAILURE() << name << " made an audiogram";
        } catch (const PCMStream::StreamError& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    }
    std::ifstream in(dest);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "previous");
    EXPECT_EQ(files(), (std::vector<fs::path>{"Episode_Audiogram.mp4", "empty.mp3", "short.wav", "text.wav", "two.wav"}));
}

TEST_F(AudiogramVideo, WrittenVideoReadsBack) {
    if (!test::haveTool("ffprobe") || !test::haveTool("ffmpeg")) GTEST_SKIP() << "ffprobe/ffmpeg not installed";
    fs::path src = tone("clip.wav", 3.0);
    fs::path art = dir / "art.jpg";
    ASSERT_TRUE(test::run("ffmpeg -y -f lavfi -i color=green:s=300x200 -frames:v 1 " + test::quoted(art)));
    fs::path dest = dir / "Episode_Audiogram.mp4";
    AG::AudiogramConfig config{AR::landscape, 2.0, "#FF0000", art, 30,
                               {{"Words", 0.5, 0.9}, {"on", 1.0, 1.2}, {"screen.", 1.3, 1.8}, {"Late", 2.5, 2.8}},
                               std::string("Show Name")};
    AG::Statistics stats;
    AG().generate(src, dest, config, &stats);
    EXPECT_EQ(stats.frames, 60);

    auto j = nlohmann::json::parse(
        test::capture("ffprobe -v error -count_packets -show_streams -show_format -of json " + test::quoted(dest)), nullptr,
        false);
    ASSERT_TRUE(j.contains("streams")) << j.dump();
    ASSERT_EQ(j["streams"].size(), 2u);
    auto v = j["streams"][0], a = j["streams"][1];
    EXPECT_EQ(v["codec_name"], "h264");
    EXPECT_TRUE(v["profile"] == "High" || v["profile"] == "Main") << v["profile"];
    EXPECT_EQ(v["width"], 1920);
    EXPECT_EQ(v["height"], 1080);
    EXPECT_EQ(v["pix_fmt"], "yuv420p");
    EXPECT_EQ(v["r_frame_rate"], "30/1");
    EXPECT_EQ(v["nb_read_packets"], "60");
    EXPECT_NEAR(std::stod(v["duration"].get<std::string>()), 2.0, 0.001);
    EXPECT_EQ(a["codec_name"], "aac");
    EXPECT_EQ(a["sample_rate"], "44100");
    EXPECT_EQ(a["channels"], 2);
    EXPECT_NEAR(std::stod(a["duration"].get<std::string>()), 2.0, 0.03);
    EXPECT_NEAR(std::stod(j["format"]["duration"].get<std::string>()), 2.0, 0.03);
    // The index is at the front.
    std::ifstream in(dest, std::ios::binary);
    std::string head(64, '\0');
    in.read(head.data(), 64);
    EXPECT_LT(head.find("moov"), head.find("mdat")) << "moov after mdat";

    // Frame 30 (t = 1.0 s, word "on" current): progress 31/60 of the track, middle bar, caption pill.
    std::string raw = test::capture("ffmpeg -v error -ss 1.0 -i " + test::quoted(dest) +
                              " -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    const int W = 1920, H = 1080;
    ASSERT_EQ(raw.size(), std::size_t(W) * H * 3);
    auto px = [&](double x, double yFromBottom) {
        std::size_t i = (std::size_t(H - 1 - int(yFromBottom)) * W + std::size_t(x)) * 3;
        return RGB{std::uint8_t(raw[i]), std::uint8_t(raw[i + 1]), std::uint8_t(raw[i + 2])};
    };
    const RGB red{255, 0, 0};
    const double fillEnd = 0.07 * W + 0.86 * W * 31 / 60, trackY = 0.08 * H + 3;
    EXPECT_TRUE(near(px(fillEnd - 8, trackY), red, 40)) << show(px(fillEnd - 8, trackY));
    EXPECT_FALSE(near(px(fillEnd + 8, trackY), red, 60)) << show(px(fillEnd + 8, trackY));
    const double bar = (0.86 * W - 40 * 0.006 * W) / 41;
    const double middleX = 0.07 * W + 20 * (bar + 0.006 * W) + bar / 2;
    EXPECT_TRUE(near(px(middleX, 0.56 * H), red, 40)) << show(px(middleX, 0.56 * H));
    // Green cover under the veil at the corner.
    RGB corner = px(5, H - 5);
    EXPECT_TRUE(corner.g > 40 && corner.r < 20 && corner.b < 20) << show(corner);
    // "Late" starts at 2.5 s, after the clip: 0.4 s of silence-looking caption area at the end.
    EXPECT_EQ(files(), (std::vector<fs::path>{"Episode_Audiogram.mp4", "art.jpg", "clip.wav"}));
}

}  // namespace
}  // namespace lw
