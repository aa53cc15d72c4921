#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include "AudioTestUtil.h"
#include "audio/LoudnessNormalizer.h"
#include "platform/FileSafety.h"

namespace lw {
namespace {

using namespace lw::test;

class AudioEditingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dir_ = makeTempDir("edit"); }
    static void TearDownTestSuite() { fs::remove_all(dir_); }
    static fs::path dir_;
};
fs::path AudioEditingTest::dir_;

// Each frame carries its own index, so every kept frame can be traced back.
float coded(std::size_t frame, int channel) {
    return static_cast<float>(static_cast<double>(frame % 10000) / 10000.0 - 0.5 + channel * 0.00003);
}

// Frame indices recovered from channel 0 of a coded file.
std::vector<std::size_t> indicesOf(const std::vector<float>& samples, int channels, std::size_t offset = 0) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < samples.size(); i += static_cast<std::size_t>(channels))
        out.push_back(static_cast<std::size_t>(std::lround((samples[i] + 0.5) * 10000.0)) + offset);
    return out;
}

std::vector<std::size_t> range(std::size_t from, std::size_t to) {
    std::vector<std::size_t> out;
    for (std::size_t i = from; i < to; ++i) out.push_back(i);
    return out;
}

TEST_F(AudioEditingTest, CutLeavesOutExactlyTheListedSpans) {
    auto src = dir_ / "cut-src.wav";
    writeWav(src, 48000, 2, 9600, coded);  // 0.2 s
    struct CutCase {
        std::string name;
        std::vector<TimeRange> removing;
        std::vector<std::pair<std::size_t, std::size_t>> kept;
    };
    const std::vector<CutCase> cases = {
        {"nothing", {}, {{0, 9600}}},
        {"two spans, out of order, one overlapping",
         {{0.05, 0.06}, {0.01, 0.02}, {0.055, 0.07}},
         {{0, 480}, {960, 2400}, {3360, 9600}}},
        {"from the start and past the end", {{0.0, 0.01}, {0.19, 5.0}}, {{480, 9120}}},
        {"empty and inverted ranges are ignored", {{0.1, 0.1}, {0.15, 0.12}}, {{0, 9600}}},
        {"everything", {{0, 1}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto out = dir_ / "cut.wav";
        LoudnessNormalizer::cut(src, out, c.removing);
        PCMStream::Format f;
        auto samples = readAll(out, std::nullopt, std::nullopt, &f);
        EXPECT_EQ(f.sampleRate, 48000);
        EXPECT_EQ(f.channels, 2);
        std::vector<std::size_t> expected;
        for (auto [a, b] : c.kept) {
            auto r = range(a, b);
            expected.insert(expected.end(), r.begin(), r.end());
        }
        EXPECT_EQ(indicesOf(samples, 2), expected);
    }
}

TEST_F(AudioEditingTest, ExcerptTakesTheAskedSpan) {
    auto src = dir_ / "excerpt-src.wav";
    writeWav(src, 44100, 1, 8820, coded);  // 0.2 s
    auto out = dir_ / "excerpt.wav";
    LoudnessNormalizer::excerpt(src, out, 0.1, 0.05);
    EXPECT_EQ(indicesOf(readAll(out), 1), range(4410, 6615));
    LoudnessNormalizer::excerpt(src, out, 0.15, 10);  // runs to the end of the file
    EXPECT_EQ(indicesOf(readAll(out), 1), range(6615, 8820));
    LoudnessNormalizer::excerpt(src, out, 1.0, 1.0);  // past the end: an empty file
    EXPECT_TRUE(readAll(out).empty());
    // An infinite or huge length means "to the end".
    for (double length : {std::numeric_limits<double>::infinity(), 1e300, 1e15}) {
        SCOPED_TRACE(length);
        LoudnessNormalizer::excerpt(src, out, 0.15, length);
        EXPECT_EQ(indicesOf(readAll(out), 1), range(6615, 8820));
    }
}

TEST_F(AudioEditingTest, ConcatenateJoinsInOrderAtTheAskedFormat) {
    auto a = dir_ / "a.wav", b = dir_ / "b.wav", mono = dir_ / "mono22k.wav";
    writeWav(a, 48000, 2, 1000, coded);
    writeWav(b, 48000, 2, 500, [](std::size_t i, int c) { return coded(i + 5000, c); });
    writeWav(mono, 22050, 1, 22050, [](std::size_t i, int) {
        return static_cast<float>(0.5 * std::sin(2 * M_PI * 441 * static_cast<double>(i) / 22050));
    });
    auto out = dir_ / "joined.wav";
    LoudnessNormalizer::concatenate({a, b}, out, 48000, 2);
    auto expected = range(0, 1000);
    auto tail = range(5000, 5500);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(indicesOf(readAll(out), 2), expected);

    LoudnessNormalizer::concatenate({a, mono}, out, 48000, 2);
    PCMStream::Format f;
    auto joined = readAll(out, std::nullopt, std::nullopt, &f);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.sampleRate, 48000);
    EXPECT_NEAR(static_cast<double>(joined.size()) / 2, 1000 + 48000, 64);  // resampled to 48 kHz
}

TEST_F(AudioEditingTest, FailuresLeaveNoOutput) {
    auto a = dir_ / "ok.wav";
    writeWav(a, 48000, 1, 4800, coded);
    auto out = dir_ / "failed.wav";
    EXPECT_THROW(LoudnessNormalizer::concatenate({a, dir_ / "missing.wav"}, out, 48000, 1), PCMStream::StreamError);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_THROW(LoudnessNormalizer::cut(dir_ / "missing.wav", out, {}), PCMStream::StreamError);
    EXPECT_THROW(LoudnessNormalizer::excerpt(a, dir_ / "nowhere" / "x.wav", 0, 1), WAVWriter::WriteError);
    for (auto& e : fs::directory_iterator(dir_))
        EXPECT_THAT(e.path().filename().string(), ::testing::Not(::testing::HasSubstr(".partial-")));
}

TEST_F(AudioEditingTest, OutputsNeverReplaceTheirSources) {
    const auto src = dir_ / "own-source.wav", other = dir_ / "other.wav";
    writeWav(src, 48000, 1, 4800, coded);
    writeWav(other, 48000, 1, 4800, coded);
    fs::create_symlink(src, dir_ / "own-link.wav");
    const auto before = readAll(src);
    const auto same = dir_ / "." / "own-link.wav";
    const std::vector<std::pair<const char*, std::function<void()>>> operations = {
        {"cut", [&] { LoudnessNormalizer::cut(src, same, {{0.0, 0.05}}); }},
        {"excerpt", [&] { LoudnessNormalizer::excerpt(src, same, 0.0, 0.05); }},
        {"concatenate", [&] { LoudnessNormalizer::concatenate({other, src}, same, 48000, 1); }},
    };
    for (const auto& [name, operation] : operations) {
        SCOPED_TRACE(name);
        EXPECT_THROW(operation(), DestinationError);
    }
    EXPECT_EQ(readAll(src), before);
    EXPECT_TRUE(fs::is_symlink(dir_ / "own-link.wav"));
    // A folder under the destination's name is refused by the writer itself.
    fs::create_directories(dir_ / "a-folder.wav");
    EXPECT_THROW(LoudnessNormalizer::excerpt(src, dir_ / "a-folder.wav", 0.0, 0.05), DestinationError);
    EXPECT_TRUE(fs::is_directory(dir_ / "a-folder.wav"));
}

TEST_F(AudioEditingTest, LevelsGiveBlockRmsInTimeOrder) {
    auto src = dir_ / "levels.wav";
    // 1 s of a 0.5-amplitude tone, then 0.75 s of silence.
    writeWav(src, 48000, 2, 84000, [](std::size_t i, int) {
        return i < 48000 ? static_cast<float>(0.5 * std::sin(2 * M_PI * 480 * static_cast<double>(i) / 48000)) : 0.0f;
    });
    auto levels = LoudnessNormalizer::levels(src, 0.5);
    ASSERT_EQ(levels.size(), 4u);  // the last block holds the remaining 0.25 s
    EXPECT_NEAR(levels[0], 0.5 / std::sqrt(2.0), 1e-4);
    EXPECT_NEAR(levels[1], 0.5 / std::sqrt(2.0), 1e-4);
    EXPECT_EQ(levels[2], 0.0f);
    EXPECT_EQ(levels[3], 0.0f);
    EXPECT_THROW(LoudnessNormalizer::levels(src, 0), std::invalid_argument);
}

TEST_F(AudioEditingTest, SpeechFramesMeasureLevelAndBrightnessPer20ms) {
    auto src = dir_ / "frames.wav";
    const double f0 = 1000, rate = 16000;
    // 0.5 s of a 0.5-amplitude tone, 0.5 s of digital silence, then 0.5 s of a faint signal
    // alternating at +-8 LSB of 24 bits, whose energies per frame pass the floor while their
    // means do not.
    const double faint = 8.0 / 8388608.0;
    writeWav(src, rate, 1, 24000, [&](std::size_t i, int) {
        if (i < 8000) return static_cast<float>(0.5 * std::sin(2 * M_PI * f0 * static_cast<double>(i) / rate));
        if (i < 16000) return 0.0f;
        return static_cast<float>(i % 2 ? -faint : faint);
    });
    auto frames = LoudnessNormalizer::speechFrames(src);
    ASSERT_EQ(frames.size(), 75u);
    const double brightness = 10 * std::log10(2 * (1 - std::cos(2 * M_PI * f0 / rate)));
    for (std::size_t i = 0; i < 25; ++i) {
        EXPECT_NEAR(frames[i].levelDB, 10 * std::log10(0.125), 0.05) << i;
        EXPECT_NEAR(frames[i].brightnessDB, brightness, 0.1) << i;
    }
    for (std::size_t i = 25; i < 50; ++i) {
        EXPECT_NEAR(frames[i].levelDB, -100, 1e-3) << i;  // floored mean square
        EXPECT_NEAR(frames[i].brightnessDB, 0, 1e-3) << i;
    }
    // Brightness is the ratio of the two energies (sums over the frame's 320 samples and 319
    // differences), not of their means.
    const double n = 320;
    for (std::size_t i = 50; i < 75; ++i) {
        EXPECT_NEAR(frames[i].levelDB, -100, 1e-3) << i;
        EXPECT_NEAR(frames[i].brightnessDB, 10 * std::log10(4 * (n - 1) / n), 1e-3) << i;
    }
}

}  // namespace
}  // namespace lw
