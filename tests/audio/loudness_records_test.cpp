#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "AudioTestUtil.h"
#include "audio/LoudnessNormalizer.h"

namespace lw {
namespace {

using namespace lw::test;
using HumMode = CleanupOptions::HumMode;

TEST(LoudnessRecords, TargetPresets) {
    struct Row {
        LoudnessNormalizer::LoudnessTarget target;
        double lufs, peak, range;
        bool acx;
    };
    const std::vector<Row> rows = {
        {LoudnessNormalizer::LoudnessTarget::stereoPodcast(), -16.0, -1.5, 11.0, false},
        {LoudnessNormalizer::LoudnessTarget::monoPodcast(), -19.0, -1.5, 11.0, false},
        {LoudnessNormalizer::LoudnessTarget::audibleACX(), -20.0, -3.5, 11.0, true},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.target.integratedLUFS, r.lufs);
        EXPECT_EQ(r.target.truePeakDB, r.peak);
        EXPECT_EQ(r.target.loudnessRangeLU, r.range);
        EXPECT_EQ(r.target.acx, r.acx);
    }
}

TEST(LoudnessRecords, CleanupOptionsNoneAndEquality) {
    const CleanupOptions none = CleanupOptions::none();
    EXPECT_FALSE(none.rumbleFilter || none.noiseGate || none.leveler || none.trimSilence);
    EXPECT_EQ(none.humRemoval, HumMode::off);
    EXPECT_EQ(none.maxPauseSeconds, 0.0);
    EXPECT_EQ(none.roomToneSeconds, 0.3);
    CleanupOptions other = none;
    other.roomToneSeconds = 0.5;  // equality compares every field
    EXPECT_NE(other, none);
    other = none;
    other.humRemoval = HumMode::hz60;
    EXPECT_NE(other, none);
}

TEST(LoudnessRecords, HumModeNamesInPickerOrder) {
    const std::vector<std::tuple<HumMode, std::string, std::string>> table = {
        {HumMode::off, "off", "Off"},
        {HumMode::autoDetect, "auto", "Auto-detect"},
        {HumMode::hz50, "50", "50 Hz (Europe, Asia)"},
        {HumMode::hz60, "60", "60 Hz (Americas)"},
    };
    ASSERT_EQ(allHumModes().size(), table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto& [mode, raw, display] = table[i];
        EXPECT_EQ(allHumModes()[i], mode);
        EXPECT_EQ(rawValue(mode), raw);
        EXPECT_EQ(displayName(mode), display);
        EXPECT_EQ(humModeFromRawValue(raw), mode);
    }
    EXPECT_EQ(humModeFromRawValue("Auto"), std::nullopt);
    EXPECT_EQ(humModeFromRawValue("50 Hz"), std::nullopt);
}

// measure() on odd files: a result that makes sense, or the reader's error naming the file.
TEST(LoudnessRecords, MeasureOddFiles) {
    auto dir = makeTempDir("measure");
    auto tone = [](double rate) {
        return [rate](std::size_t i, int) {
            return static_cast<float>(0.1 * std::sin(2 * M_PI * 997 * static_cast<double>(i) / rate));
        };
    };
    auto silent = dir / "silence.wav";
    writeWav(silent, 48000, 2, 48000 * 3, [](std::size_t, int) { return 0.0f; });
    auto m = LoudnessNormalizer::measure(silent);
    EXPECT_FALSE(m.integratedLUFS.has_value());
    for (double v : {m.truePeakDBTP, m.rmsDB, m.samplePeakDB, m.noiseFloorDB}) EXPECT_TRUE(std::isfinite(v));
    EXPECT_NEAR(m.durationSeconds, 3.0, 1e-9);

    struct Case {
        std::string name;
        double rate;
        int channels;
    };
    for (const Case& c : {Case{"phone.wav", 8000, 1}, Case{"studio.wav", 192000, 2}}) {
        SCOPED_TRACE(c.name);
        writeWav(dir / c.name, c.rate, c.channels, static_cast<std::size_t>(c.rate), tone(c.rate));
        auto r = LoudnessNormalizer::measure(dir / c.name);
        EXPECT_EQ(r.sampleRate, c.rate);
        EXPECT_EQ(r.channels, c.channels);
        ASSERT_TRUE(r.integratedLUFS.has_value());
        // -20 dBFS peak sine: -23 dBFS RMS; K-weighting adds about 0.7 dB near 1 kHz, stereo 3 dB.
        EXPECT_NEAR(*r.integratedLUFS, -20 + (c.channels == 2 ? 0.0 : -3.0), 0.3);
        EXPECT_NEAR(r.rmsDB, -23.01, 0.05);
        EXPECT_NEAR(r.samplePeakDB, -20, 0.05);
    }

    auto text = dir / "readme.wav";
    std::ofstream(text) << "not audio";
    try {
        LoudnessNormalizer::measure(text);
        FAIL();
    } catch (const PCMStream::StreamError& e) {
        EXPECT_STREQ(e.what(), "readme.wav has no audio track.");
        EXPECT_EQ(e.kind(), PCMStream::StreamError::Kind::noAudioTrack);
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace lw
