// LoudnessNormalizer::process on real speech with noise, hum and rumble added by sox,
// checked with libebur128.
#include <gtest/gtest.h>

#include <ebur128.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "AudioTestUtil.h"
#include "audio/FFmpegLog.h"
#include "audio/LoudnessNormalizer.h"
#include "audio/LoudnessProcessing.h"
#include "audio/PCMStream.h"
#include "audio/WAVWriter.h"
#include "platform/FileSafety.h"

namespace fs = std::filesystem;
using namespace lw;
using Target = LoudnessNormalizer::LoudnessTarget;
using HumMode = CleanupOptions::HumMode;

namespace {

const fs::path kSpeech = "/usr/share/pocketsphinx/test/data/librivox";

struct Audio {
    double rate = 0;
    int channels = 0;
    std::vector<float> samples;
    std::size_t frames() const { return samples.size() / static_cast<std::size_t>(channels); }
};

Audio load(const fs::path& file) {
    Audio a;
    const auto f = PCMStream::format(file);
    a.rate = f.sampleRate;
    a.channels = f.channels;
    PCMStream::read(file, f.sampleRate, f.channels, std::nullopt,
                    [&](std::span<const float> s, std::size_t) { a.samples.insert(a.samples.end(), s.begin(), s.end()); });
    return a;
}

struct Reading {
    double integrated = 0, truePeakDB = 0;
};

Reading ebur(const Audio& a) {
    ebur128_state* st = ebur128_init(static_cast<unsigned>(a.channels), static_cast<unsigned long>(a.rate),
                                     EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(st, a.samples.data(), a.frames());
    Reading r;
    ebur128_loudness_global(st, &r.integrated);
    double peak = 0;
    for (int c = 0; c < a.channels; ++c) {
        double p = 0;
        ebur128_true_peak(st, static_cast<unsigned>(c), &p);
        peak = std::max(peak, p);
    }
    r.truePeakDB = 20 * std::log10(std::max(peak, 1e-12));
    ebur128_destroy(&st);
    return r;
}

// Share of the signal's power at one frequency, in dB (Goertzel over the whole mono mix).
double toneShareDB(const Audio& a, double freq) {
    double re = 0, im = 0, total = 0;
    const std::size_t ch = static_cast<std::size_t>(a.channels);
    for (std::size_t n = 0; n < a.frames(); ++n) {
        double x = 0;
        for (std::size_t c = 0; c < ch; ++c) x += a.samples[n * ch + c];
        x /= static_cast<double>(ch);
        const double w = 2 * std::numbers::pi * freq * static_cast<double>(n) / a.rate;
        re += x * std::cos(w);
        im += x * std::sin(w);
        total += x * x;
    }
    const double n = static_cast<double>(a.frames());
    return 10 * std::log10((2 * (re * re + im * im) / (n * n)) / (total / n));
}

// Lengths in seconds of the quiet runs of 10 ms frames (below `thresholdDB`).
std::vector<double> quietRuns(const Audio& a, double thresholdDB) {
    const std::size_t step = static_cast<std::size_t>(a.rate / 100), ch = static_cast<std::size_t>(a.channels);
    std::vector<double> runs;
    double run = 0;
    for (std::size_t f = 0; f + step <= a.frames(); f += step) {
        double e = 0;
        for (std::size_t i = f * ch; i < (f + step) * ch; ++i) e += a.samples[i] * a.samples[i];
        const bool quiet = 10 * std::log10(e / static_cast<double>(step * ch) + 1e-20) < thresholdDB;
        if (quiet) {
            run += 0.01;
        } else if (run > 0) {
            runs.push_back(run);
            run = 0;
        }
    }
    runs.push_back(run);
    return runs;
}

void sox(const std::string& args) {
    const std::string cmd = "sox -q " + args + " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

CleanupOptions cleanupWith(bool rumble, HumMode hum, bool gate, bool leveler, bool trim, double maxPause,
                           double roomTone = 0.3) {
    CleanupOptions o;
    o.rumbleFilter = rumble;
    o.humRemoval = hum;
    o.noiseGate = gate;
    o.leveler = leveler;
    o.trimSilence = trim;
    o.maxPauseSeconds = maxPause;
    o.roomToneSeconds = roomTone;
    return o;
}

const CleanupOptions kAll = cleanupWith(true, HumMode::autoDetect, true, true, true, 1.5);

}  // namespace

class LoudnessNormalizerTest : public ::testing::Test {
protected:
    static fs::path dir;     // generated sources, shared by the test processes of one build
    static fs::path outDir;  // this process's outputs

    static void SetUpTestSuite() {
        outDir = fs::temp_directory_path() / ("lw-normalizer-" + std::to_string(::getpid()));
        fs::create_directories(outDir);
        const fs::path ready = fs::path(LW_BINARY_DIR) / "test-fixtures" / "loudness-normalizer-1";
        if (!fs::exists(ready / "quiet.wav")) {
            dir = ready.string() + ".tmp-" + std::to_string(::getpid());
            fs::create_directories(dir);
            makeSources();
            std::error_code ec;
            fs::rename(dir, ready, ec);  // another process may have won; its files are the same
            if (ec) fs::remove_all(dir);
        }
        dir = ready;
    }

    static void makeSources() {
        const std::string s1 = (kSpeech / "sense_and_sensibility_01_austen_64kb-0880.wav").string();
        const std::string s2 = (kSpeech / "sense_and_sensibility_01_austen_64kb-0890.wav").string();
        auto p = [](const char* name) { return (dir / name).string(); };
        // 1 s of air, a sentence, a 4 s pause, another sentence, 2 s of air: 15.3 s at 44.1 kHz.
        sox("-n -r 44100 -c 1 " + p("air1.wav") + " trim 0 1");
        sox("-n -r 44100 -c 1 " + p("air4.wav") + " trim 0 4");
        sox("-n -r 44100 -c 1 " + p("air2.wav") + " trim 0 2");
        sox(s1 + " -r 44100 " + p("s1.wav"));
        sox(s2 + " -r 44100 " + p("s2.wav"));
        sox(p("air1.wav") + " " + p("s1.wav") + " " + p("air4.wav") + " " + p("s2.wav") + " " + p("air2.wav") + " " +
            p("speech.wav"));
        const std::string len = "15.29";
        sox("-n -r 44100 -c 1 " + p("noise.wav") + " synth " + len + " pinknoise vol 0.003");
        sox("-m -v 1 " + p("speech.wav") + " -v 1 " + p("noise.wav") + " " + p("noisy.wav"));
        for (int hz : {50, 60}) {
            const std::string h = p(("hum" + std::to_string(hz) + "tone.wav").c_str());
            sox("-n -r 44100 -c 1 " + h + " synth " + len + " sine " + std::to_string(hz) + " vol 0.01");
            const std::string h2 = p(("hum" + std::to_string(hz) + "h2.wav").c_str());
            sox("-n -r 44100 -c 1 " + h2 + " synth " + len + " sine " + std::to_string(2 * hz) + " vol 0.004");
            sox("-m -v 1 " + p("noisy.wav") + " -v 1 " + h + " -v 1 " + h2 + " " +
                p(("hum" + std::to_string(hz) + ".wav").c_str()));
        }
        sox("-n -r 44100 -c 1 " + p("rumbletone.wav") + " synth " + len + " brownnoise lowpass 40 lowpass 40 vol 0.3");
        sox("-m -v 1 " + p("noisy.wav") + " -v 1 " + p("rumbletone.wav") + " " + p("rumble.wav"));
        // Stereo at 48 kHz.
        sox(p("noisy.wav") + " -r 48000 -c 2 " + p("stereo.wav"));
        // espeak-ng speech (22.05 kHz mono, no room tone).
        ASSERT_EQ(std::system(("espeak-ng -w " + p("espeak.wav") +
                               " 'Welcome back to the show. Today we talk about sound, levels and silence.'")
                                  .c_str()),
                  0);
        // One speaker loud, then the same speaker 12 dB quieter.
        sox(p("s1.wav") + " " + p("s1quiet.wav") + " vol 0.25");
        sox(p("s1.wav") + " " + p("air1.wav") + " " + p("s1quiet.wav") + " " + p("twolevels.wav"));
        sox(p("noisy.wav") + " " + p("clipped.wav") + " vol 12");
        sox("-n -r 44100 -c 2 " + p("silent.wav") + " trim 0 3");
        sox(p("s1.wav") + " " + p("short.wav") + " trim 0.5 0.25");
        sox(p("noisy.wav") + " " + p("quiet.wav") + " vol 0.004");  // last: its presence marks the set complete
    }
    static void TearDownTestSuite() { fs::remove_all(outDir); }

    static fs::path in(const char* name) { return dir / name; }
    fs::path out(const std::string& name) const { return outDir / ("out-" + name + ".wav"); }
};
fs::path LoudnessNormalizerTest::dir;
fs::path LoudnessNormalizerTest::outDir;

TEST_F(LoudnessNormalizerTest, ReachesTheTargetUnderTheCeiling) {
    struct Case {
        const char* name;
        const char* file;
        Target target;
        CleanupOptions cleanup;
    };
    const std::vector<Case> cases = {
        {"podcast, no clean-up", "noisy.wav", Target::stereoPodcast(), CleanupOptions::none()},
        {"podcast, all clean-up", "noisy.wav", Target::stereoPodcast(), kAll},
        {"stereo 48 kHz", "stereo.wav", Target::stereoPodcast(), kAll},
        {"mono espeak", "espeak.wav", Target::monoPodcast(), kAll},
        {"rumble, broadcast level", "rumble.wav", Target{-23.0, -2.0, 11.0, false},
         cleanupWith(true, HumMode::off, false, false, false, 0)},
        {"hum, quieter target", "hum60.wav", Target{-20.0, -1.0, 11.0, false}, kAll},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto source = in(c.file);
        const auto dest = out(c.name);
        const auto r = LoudnessNormalizer::process(source, dest, c.target, c.cleanup);
        const Audio a = load(dest), original = load(source);
        const Reading m = ebur(a);
        EXPECT_NEAR(m.integrated, c.target.integratedLUFS, 0.5);
        EXPECT_LE(m.truePeakDB, c.target.truePeakDB + 0.1);
        ASSERT_TRUE(r.output.integratedLUFS);
        EXPECT_NEAR(*r.output.integratedLUFS, m.integrated, 0.1);
        EXPECT_LE(r.limiterReductionDB, 0.0);
        EXPECT_EQ(a.rate, original.rate);
        EXPECT_EQ(a.channels, original.channels);
        // Exactly the removed seconds are missing.
        EXPECT_EQ(a.frames(), original.frames() - static_cast<std::size_t>(std::lround(r.secondsRemoved * a.rate)));
        EXPECT_NEAR(r.output.durationSeconds, static_cast<double>(a.frames()) / a.rate, 1e-9);
        EXPECT_FALSE(r.acxReport);
    }
}

TEST_F(LoudnessNormalizerTest, RendersOnceWhenTheFirstRenderLands) {
    const Target target = Target::monoPodcast();
    const auto r = LoudnessNormalizer::process(in("noisy.wav"), out("once"), target, CleanupOptions::none());
    EXPECT_DOUBLE_EQ(r.gainDB, target.integratedLUFS - *r.input.integratedLUFS);
    EXPECT_NEAR(*r.output.integratedLUFS, target.integratedLUFS, 0.3);
    EXPECT_FALSE(r.humRemovedHz);
    EXPECT_FALSE(r.levelerRangeDB);
    EXPECT_EQ(r.secondsRemoved, 0.0);
    EXPECT_NEAR(r.output.durationSeconds, r.input.durationSeconds, 1e-9);

    const auto n = LoudnessNormalizer::normalize(in("noisy.wav"), out("normalize"), target);
    EXPECT_EQ(n.gainDB, r.gainDB);
    EXPECT_EQ(n.output, r.output);
}

TEST_F(LoudnessNormalizerTest, RemovesMainsHumOnlyWhenThere) {
    struct Case {
        const char* file;
        HumMode mode;
        std::optional<double> removed;
    };
    const std::vector<Case> cases = {
        {"hum50.wav", HumMode::autoDetect, 50.0}, {"hum60.wav", HumMode::autoDetect, 60.0},
        {"hum50.wav", HumMode::hz50, 50.0},       {"noisy.wav", HumMode::autoDetect, std::nullopt},
        {"rumble.wav", HumMode::autoDetect, std::nullopt}, {"espeak.wav", HumMode::autoDetect, std::nullopt},
        {"noisy.wav", HumMode::hz60, 60.0},       {"hum50.wav", HumMode::off, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + rawValue(c.mode));
        const auto dest = out(std::string("hum-") + c.file + rawValue(c.mode));
        const auto r = LoudnessNormalizer::process(in(c.file), dest, Target::stereoPodcast(),
                                                   cleanupWith(false, c.mode, false, false, false, 0));
        EXPECT_EQ(r.humRemovedHz, c.removed);
        if (c.removed && std::string(c.file).starts_with("hum")) {
            const Audio before = load(in(c.file)), after = load(dest);
            for (int k = 1; k <= 2; ++k)
                EXPECT_LE(toneShareDB(after, *c.removed * k), toneShareDB(before, *c.removed * k) - 20.0) << k;
        }
    }
    // The whole chain on clean speech finds no hum either.
    EXPECT_FALSE(LoudnessNormalizer::process(in("noisy.wav"), out("clean-all"), Target::stereoPodcast(), kAll).humRemovedHz);
}

TEST_F(LoudnessNormalizerTest, TrimsDeadAirAndShortensLongPauses) {
    const auto base = LoudnessNormalizer::process(in("noisy.wav"), out("pauses-base"), Target::stereoPodcast(),
                                                  cleanupWith(false, HumMode::off, false, false, false, 0));
    const auto r = LoudnessNormalizer::process(in("noisy.wav"), out("pauses"), Target::stereoPodcast(),
                                               cleanupWith(false, HumMode::off, false, false, true, 1.5, 0.3));
    const Audio kept = load(out("pauses-base")), cut = load(out("pauses"));
    // Room tone sits about 25 dB under speech here; quiet = 15 dB above it.
    const double quiet = base.output.noiseFloorDB + 12;
    const auto before = quietRuns(kept, quiet), after = quietRuns(cut, quiet);
    ASSERT_EQ(before.size(), after.size());  // no pause vanished or appeared
    const auto longest = [](const std::vector<double>& runs) {
        return std::max_element(runs.begin() + 1, runs.end() - 1) - runs.begin();
    };
    const auto pause = longest(before);
    ASSERT_EQ(longest(after), pause);
    EXPECT_GT(before.front(), 0.9);  // 1 s lead-in
    EXPECT_GT(before[pause], 3.8);   // the 4 s pause
    // Room tone kept before the first word and after the last (the speech detector counts soft
    // onsets and tails as speech, so a little less of it reads as silence here).
    EXPECT_GT(after.front(), 0.05);
    EXPECT_LE(after.front(), 0.3 + 0.02);
    EXPECT_GT(after.back(), 0.05);
    EXPECT_LE(after.back(), 0.3 + 0.02);
    // The long pause now lasts at most 1.5 s; the short ones are untouched.
    EXPECT_LE(after[pause], 1.5 + 0.02);
    EXPECT_GT(after[pause], 1.0);
    for (std::size_t i = 1; i + 1 < after.size(); ++i) {
        if (static_cast<std::ptrdiff_t>(i) != pause) {
            EXPECT_NEAR(after[i], before[i], 0.015) << i;
        }
    }
    // What is missing is exactly what the result reports.
    EXPECT_NEAR(r.secondsRemoved, (before.front() - after.front()) + (before[pause] - after[pause]) + (before.back() - after.back()),
                0.04);
    EXPECT_EQ(cut.frames(), kept.frames() - static_cast<std::size_t>(std::lround(r.secondsRemoved * cut.rate)));
    // Joins make no clicks: no sample-to-sample step larger than the speech itself has.
    auto maxStepInQuiet = [&](const Audio& a) {
        double step = 0;
        for (std::size_t i = 1; i < a.frames(); ++i)
            if (std::abs(a.samples[i]) < 0.01 && std::abs(a.samples[i - 1]) < 0.01)
                step = std::max(step, static_cast<double>(std::abs(a.samples[i] - a.samples[i - 1])));
        return step;
    };
    EXPECT_LE(maxStepInQuiet(cut), maxStepInQuiet(kept) * 1.05);
}

TEST_F(LoudnessNormalizerTest, LevelerEvensOutLoudAndQuietSpeech) {
    auto halves = [](const Audio& a, std::size_t split) {
        Audio first = a, second = a;
        first.samples.resize(split * a.channels);
        second.samples.erase(second.samples.begin(), second.samples.begin() + static_cast<std::ptrdiff_t>(split * a.channels));
        return ebur(second).integrated - ebur(first).integrated;
    };
    const Audio source = load(in("twolevels.wav"));
    const std::size_t split = static_cast<std::size_t>(4.0 * source.rate);  // s1 is 3 s, then 1 s of air
    EXPECT_NEAR(halves(source, split), -12.0, 1.0);

    const auto r = LoudnessNormalizer::process(in("twolevels.wav"), out("leveler"), Target::stereoPodcast(),
                                               cleanupWith(false, HumMode::off, false, true, false, 0));
    ASSERT_TRUE(r.levelerRangeDB);
    EXPECT_GE(r.levelerRangeDB->upperBound - r.levelerRangeDB->lowerBound, 6.0);
    EXPECT_LE(r.levelerRangeDB->upperBound, 10.0);
    EXPECT_GE(r.levelerRangeDB->lowerBound, -10.0);
    EXPECT_GT(halves(load(out("leveler")), split), -6.0);
}

TEST_F(LoudnessNormalizerTest, GateLowersTheNoiseBetweenPhrases) {
    const auto off = LoudnessNormalizer::process(in("noisy.wav"), out("gate-off"), Target::stereoPodcast(),
                                                 CleanupOptions::none());
    const auto on = LoudnessNormalizer::process(in("noisy.wav"), out("gate-on"), Target::stereoPodcast(),
                                                cleanupWith(false, HumMode::off, true, false, false, 0));
    EXPECT_LT(on.output.noiseFloorDB, off.output.noiseFloorDB - 6.0);
    EXPECT_NEAR(*on.output.integratedLUFS, *off.output.integratedLUFS, 0.5);
}

TEST_F(LoudnessNormalizerTest, ACXTargetMatchesRMSAndReports) {
    const auto r = LoudnessNormalizer::process(in("noisy.wav"), out("acx"), Target::audibleACX(),
                                               cleanupWith(true, HumMode::autoDetect, true, false, true, 0, 1.0));
    ASSERT_TRUE(r.acxReport);
    const auto& report = *r.acxReport;
    EXPECT_NEAR(r.output.rmsDB, -20.0, 0.5);
    EXPECT_EQ(report.rmsDB, r.output.rmsDB);
    EXPECT_EQ(report.peakDB, r.output.truePeakDBTP);
    EXPECT_EQ(report.noiseFloorDB, r.output.noiseFloorDB);
    EXPECT_EQ(report.sampleRate, 44100);
    EXPECT_LE(report.peakDB, -3.5 + 0.1);
    EXPECT_TRUE(report.rmsOK());
    EXPECT_TRUE(report.peakOK());
    EXPECT_EQ(report.passes(), report.noiseOK());
    EXPECT_LE(ebur(load(out("acx"))).truePeakDB, -3.4);
}

TEST(ACXReport, TextAndVerdict) {
    using Report = LoudnessNormalizer::ACXReport;
    const std::string head = "Audible / ACX audio check\n==========================\n";
    const std::string rate = "\nSample rate    44100 Hz    (ACX wants 44100 Hz; upload as 192 kbps CBR MP3)\n\nOverall: ";
    const std::string pass = "PASSES the ACX audio requirements.\n";
    const std::string fail = "Does NOT pass yet. See the FAIL lines above.\n";
    const std::string tip = "Tip: turn on the noise gate, or record with less background noise.";
    struct Case {
        Report report;
        bool passes;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{-19.9, -3.5, -65.0, 44100}, true,
         head + "PASS  RMS level       -19.9 dB   (needs -23 to -18 dB)\n" +
             "PASS  True peak        -3.5 dBTP (needs -3 dB or lower)\n" +
             "PASS  Noise floor     -65.0 dB   (needs -60 dB or lower)" + rate + pass},
        // Both ends of every range pass.
        {{-23.0, -3.0, -60.0, 44100}, true,
         head + "PASS  RMS level       -23.0 dB   (needs -23 to -18 dB)\n" +
             "PASS  True peak        -3.0 dBTP (needs -3 dB or lower)\n" +
             "PASS  Noise floor     -60.0 dB   (needs -60 dB or lower)" + rate + pass},
        {{-18.0, -12.25, -88.0, 44100}, true,
         head + "PASS  RMS level       -18.0 dB   (needs -23 to -18 dB)\n" +
             "PASS  True peak       -12.2 dBTP (needs -3 dB or lower)\n" +
             "PASS  Noise floor     -88.0 dB   (needs -60 dB or lower)" + rate + pass},
        // Only the noise fails: the text ends with the tip.
        {{-20.0, -3.5, -52.3, 44100}, false,
         head + "PASS  RMS level       -20.0 dB   (needs -23 to -18 dB)\n" +
             "PASS  True peak        -3.5 dBTP (needs -3 dB or lower)\n" +
             "FAIL  Noise floor     -52.3 dB   (needs -60 dB or lower)" + rate + fail + tip},
        // Only the peak fails: the verdict line ends the text.
        {{-20.0, -2.9, -70.0, 44100}, false,
         head + "PASS  RMS level       -20.0 dB   (needs -23 to -18 dB)\n" +
             "FAIL  True peak        -2.9 dBTP (needs -3 dB or lower)\n" +
             "PASS  Noise floor     -70.0 dB   (needs -60 dB or lower)" + rate + fail},
        {{-17.9, -1.0, -40.0, 48000}, false,
         head + "FAIL  RMS level       -17.9 dB   (needs -23 to -18 dB)\n" +
             "FAIL  True peak        -1.0 dBTP (needs -3 dB or lower)\n" +
             "FAIL  Noise floor     -40.0 dB   (needs -60 dB or lower)" +
             "\nFAIL  Sample rate    48000 Hz    (ACX wants 44100 Hz; upload as 192 kbps CBR MP3)\n\nOverall: " + fail +
             tip},
        // The sample rate is part of the verdict.
        {{-20.0, -3.5, -70.0, 48000}, false,
         head + "PASS  RMS level       -20.0 dB   (needs -23 to -18 dB)\n" +
             "PASS  True peak        -3.5 dBTP (needs -3 dB or lower)\n" +
             "PASS  Noise floor     -70.0 dB   (needs -60 dB or lower)" +
             "\nFAIL  Sample rate    48000 Hz    (ACX wants 44100 Hz; upload as 192 kbps CBR MP3)\n\nOverall: " + fail},
        // No MP3 to upload: the report says so instead of telling to upload one.
        {{-20.0, -3.5, -70.0, 44100, {}, "no MP3 is made"}, false,
         head + "PASS  RMS level       -20.0 dB   (needs -23 to -18 dB)\n" +
             "PASS  True peak        -3.5 dBTP (needs -3 dB or lower)\n" +
             "PASS  Noise floor     -70.0 dB   (needs -60 dB or lower)" +
             "\nFAIL  Sample rate    44100 Hz    (ACX wants 44100 Hz in a 192 kbps CBR MP3; no MP3 is made)\n\nOverall: " +
             fail},
        // With the gate already on, the tip does not ask for it.
        {{-20.0, -3.5, -52.3, 44100, {}, "", true}, false,
         head + "PASS  RMS level       -20.0 dB   (needs -23 to -18 dB)\n" +
             "PASS  True peak        -3.5 dBTP (needs -3 dB or lower)\n" +
             "FAIL  Noise floor     -52.3 dB   (needs -60 dB or lower)" + rate + fail +
             "Tip: the noise gate is already on; record with less background noise."},
        // Two channels: the worst of each decides and both are listed.
        {Report::ofChannels({{-17.8, -3.6, -70.0}, {-29.9, -9.0, -58.5}}, 44100), false,
         head + "FAIL  RMS level       -29.9 dB   (needs -23 to -18 dB)  (left -17.8, right -29.9)\n" +
             "PASS  True peak        -3.6 dBTP (needs -3 dB or lower)  (left -3.6, right -9.0)\n" +
             "FAIL  Noise floor     -58.5 dB   (needs -60 dB or lower)  (left -70.0, right -58.5)" + rate + fail + tip},
        {Report::ofChannels({{-22.5, -3.2, -61.0}, {-18.6, -3.9, -75.0}}, 44100), true,
         head + "PASS  RMS level       -22.5 dB   (needs -23 to -18 dB)  (left -22.5, right -18.6)\n" +
             "PASS  True peak        -3.2 dBTP (needs -3 dB or lower)  (left -3.2, right -3.9)\n" +
             "PASS  Noise floor     -61.0 dB   (needs -60 dB or lower)  (left -61.0, right -75.0)" + rate + pass},
        {{-23.05, -3.0, -60.0, 44100}, false,
         head + "FAIL  RMS level       -23.1 dB   (needs -23 to -18 dB)\n" +
             "PASS  True peak        -3.0 dBTP (needs -3 dB or lower)\n" +
             "PASS  Noise floor     -60.0 dB   (needs -60 dB or lower)" + rate + fail},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report.rmsDB);
        EXPECT_EQ(c.report.passes(), c.passes);
        EXPECT_EQ(c.report.text(), c.text);
    }
}

TEST(NormalizerError, CasesAndTexts) {
    using E = LoudnessNormalizer::NormalizerError;
    struct Case {
        E error;
        E::Kind kind;
        std::string text;
    };
    const std::vector<Case> cases = {
        {E::silentOrTooShort("/podcasts/ep 1.wav"), E::Kind::silentOrTooShort,
         "ep 1.wav is silent or too short to measure loudness."},
        {E::cannotCreateExportSession(), E::Kind::cannotCreateExportSession,
         "Failed to initialize the AAC exporter for audio normalization."},
        {E::exportFailed(), E::Kind::exportFailed, "Audio export session failed."},
        {E::notANumber("/podcasts/ep 2.wav"), E::Kind::notANumber,
         "ep 2.wav holds samples that are not numbers (NaN or infinite values); it cannot be measured."},
        {E::invalidTarget("/podcasts/ep 3.wav", Target{NAN, -1.5, 11.0, false}), E::Kind::invalidTarget,
         "Cannot normalise ep 3.wav: the loudness target (nan LUFS, ceiling -1.5 dBTP) is not a finite number."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(std::string(c.error.what()), c.text);
    }
}

TEST_F(LoudnessNormalizerTest, BadInputFailsCleanly) {
    // Silent and too short: the error's own text, and nothing written (an earlier file stays as it was).
    for (const char* name : {"silent.wav", "short.wav"}) {
        SCOPED_TRACE(name);
        const auto dest = out(std::string("bad-") + name);
        { std::ofstream(dest) << "earlier"; }
        try {
            LoudnessNormalizer::process(in(name), dest, Target::stereoPodcast(), kAll);
            ADD_FAILURE() << "no error";
        } catch (const LoudnessNormalizer::NormalizerError& e) {
            EXPECT_EQ(e.kind(), LoudnessNormalizer::NormalizerError::Kind::silentOrTooShort);
            EXPECT_EQ(std::string(e.what()), std::string(name) + " is silent or too short to measure loudness.");
        }
        std::ifstream f(dest);
        std::string content((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        EXPECT_EQ(content, "earlier");
    }
    // A missing source: the reader's error naming it.
    EXPECT_THROW(LoudnessNormalizer::process(in("missing.wav"), out("missing"), Target::stereoPodcast(), kAll),
                 PCMStream::StreamError);
    EXPECT_FALSE(fs::exists(out("missing")));

    // A destination that cannot be written: the writer's error naming it, no stray files.
    const fs::path blocked = outDir / "not-a-folder";
    { std::ofstream(blocked) << "x"; }
    try {
        LoudnessNormalizer::process(in("noisy.wav"), blocked / "master.wav", Target::stereoPodcast(), kAll);
        ADD_FAILURE() << "no error";
    } catch (const WAVWriter::WriteError& e) {
        EXPECT_NE(std::string(e.what()).find("master.wav"), std::string::npos) << e.what();
    }
    for (const auto& entry : fs::directory_iterator(outDir))
        EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
}

// A 32-bit float WAV of mono samples at 44.1 kHz.
void writeFloatWav(const fs::path& path, const std::vector<float>& samples) {
    std::ofstream f(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    const auto bytes = static_cast<std::uint32_t>(samples.size() * 4);
    f.write("RIFF", 4);
    u32(36 + bytes);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(3);  // IEEE float
    u16(1);
    u32(44100);
    u32(44100 * 4);
    u16(4);
    u16(32);
    f.write("data", 4);
    u32(bytes);
    f.write(reinterpret_cast<const char*>(samples.data()), bytes);
}

TEST_F(LoudnessNormalizerTest, RefusesSamplesAndTargetsThatAreNotNumbers) {
    const Audio speech = load(in("noisy.wav"));
    ASSERT_EQ(speech.channels, 1);
    ASSERT_EQ(speech.rate, 44100);
    const float inf = std::numeric_limits<float>::infinity();
    struct Damage {
        const char* name;
        std::vector<std::pair<std::size_t, float>> samples;
    };
    const std::vector<Damage> damages = {
        {"nan", {{1000, NAN}, {200000, NAN}, {400000, NAN}}},
        {"inf", {{300000, inf}}},
        {"minus-inf", {{5, -inf}, {6, -inf}}},
    };
    for (const auto& d : damages) {
        SCOPED_TRACE(d.name);
        std::vector<float> samples = speech.samples;
        for (const auto& [at, value] : d.samples) samples[at] = value;
        const fs::path source = outDir / (std::string("float-") + d.name + ".wav");
        writeFloatWav(source, samples);
        const auto dest = out(std::string("float-") + d.name);
        try {
            LoudnessNormalizer::process(source, dest, Target::stereoPodcast(), kAll);
            ADD_FAILURE() << "no error";
        } catch (const LoudnessNormalizer::NormalizerError& e) {
            EXPECT_EQ(e.kind(), LoudnessNormalizer::NormalizerError::Kind::notANumber);
            EXPECT_EQ(std::string(e.what()), source.filename().string() +
                                                 " holds samples that are not numbers (NaN or infinite values); it "
                                                 "cannot be measured.");
        }
        EXPECT_FALSE(fs::exists(dest));
    }

    const double nan = std::numeric_limits<double>::quiet_NaN(), dinf = std::numeric_limits<double>::infinity();
    for (const Target& target : {Target{nan, -1.0, 11.0, false}, Target{-16.0, nan, 11.0, false},
                                 Target{dinf, -1.0, 11.0, false}, Target{-16.0, -dinf, 11.0, true}}) {
        SCOPED_TRACE(::testing::Message() << target.integratedLUFS << " " << target.truePeakDB);
        const auto dest = out("bad-target");
        try {
            LoudnessNormalizer::process(in("noisy.wav"), dest, target, CleanupOptions::none());
            ADD_FAILURE() << "no error";
        } catch (const LoudnessNormalizer::NormalizerError& e) {
            EXPECT_EQ(e.kind(), LoudnessNormalizer::NormalizerError::Kind::invalidTarget);
            EXPECT_NE(std::string(e.what()).find("noisy.wav"), std::string::npos) << e.what();
        }
        EXPECT_FALSE(fs::exists(dest));
    }
}

// Nothing is delivered that could not be measured: a header rate no recording has is refused
// before any work, naming the file, and so is a level that overflows; telephone-rate audio is
// normalised like any other.
TEST_F(LoudnessNormalizerTest, NeverDeliversWhatCannotBeMeasured) {
    const Audio speech = load(in("noisy.wav"));
    // The speech's samples under a header that says 1 Hz (about 8 days) or 3 kHz.
    for (std::uint32_t rate : {1u, 3000u}) {
        SCOPED_TRACE(rate);
        const fs::path source = outDir / ("rate-" + std::to_string(rate) + ".wav");
        test::writeWav(source, 44100, 1, speech.frames(), [&](std::size_t i, int) { return speech.samples[i]; });
        ASSERT_TRUE(test::setWavRate(source, rate));
        const auto dest = out("rate-" + std::to_string(rate));
        try {
            LoudnessNormalizer::process(source, dest, Target::stereoPodcast(), kAll);
            ADD_FAILURE() << "no error";
        } catch (const PCMStream::StreamError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("Could not read audio from " + source.filename().string() +
                                                      ": its sample rate of " + std::to_string(rate) + " Hz",
                                                  0),
                      0u)
                << e.what();
        }
        EXPECT_FALSE(fs::exists(dest));
    }

    // Samples that peak at the largest float: finite, but their oversampled peak is not.
    const fs::path huge = outDir / "huge.wav";
    {
        std::vector<float> samples = speech.samples;
        float peak = 0;
        for (float v : samples) peak = std::max(peak, std::fabs(v));
        for (float& v : samples) v = v / peak * std::numeric_limits<float>::max();
        writeFloatWav(huge, samples);
    }
    const auto hugeDest = out("huge");
    try {
        const auto r = LoudnessNormalizer::process(huge, hugeDest, Target::stereoPodcast(), CleanupOptions::none());
        ADD_FAILURE() << "no error: " << r.input.truePeakDBTP << " dBTP in, gain " << r.gainDB;
    } catch (const LoudnessNormalizer::NormalizerError& e) {
        EXPECT_EQ(std::string(e.what()), "Could not process huge.wav: its measured true peak (inf dBTP) is not a finite number.");
    }
    EXPECT_FALSE(fs::exists(hugeDest));

    // 8 kHz: lands on the target as measured on a 48 kHz copy.
    const fs::path phone = outDir / "phone.wav";
    {
        Audio at8;
        at8.channels = 1;
        PCMStream::read(in("noisy.wav"), 8000.0, 1, std::nullopt, [&](std::span<const float> s, std::size_t) {
            at8.samples.insert(at8.samples.end(), s.begin(), s.end());
        });
        test::writeWav(phone, 8000, 1, at8.samples.size(), [&](std::size_t i, int) { return at8.samples[i]; });
    }
    const auto phoneDest = out("phone");
    const auto r = LoudnessNormalizer::process(phone, phoneDest, Target::stereoPodcast(), CleanupOptions::none());
    EXPECT_EQ(r.output.sampleRate, 8000);
    Audio master;
    master.rate = 48000;
    master.channels = 1;
    PCMStream::read(phoneDest, 48000.0, 1, std::nullopt, [&](std::span<const float> s, std::size_t) {
        master.samples.insert(master.samples.end(), s.begin(), s.end());
    });
    EXPECT_NEAR(ebur(master).integrated, -16.0, 0.35);
}

TEST_F(LoudnessNormalizerTest, NeverReplacesItsSourceOrSomethingThatIsNotAFile) {
    const fs::path work = outDir / "identity";
    fs::create_directories(work / "sub");
    const fs::path source = work / "episode.wav";
    fs::copy_file(in("short.wav"), source, fs::copy_options::overwrite_existing);
    auto bytes = [](const fs::path& p) {
        std::ifstream f(p, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    };
    const std::string original = bytes(source);
    fs::create_symlink(source, work / "link.wav");
    fs::create_hard_link(source, work / "hard.wav");
    const fs::path cwd = fs::current_path();
    fs::current_path(work / "sub");
    for (const fs::path& dest : {source, work / "." / "episode.wav", work / "sub" / ".." / "episode.wav",
                                 fs::path("../episode.wav"), work / "link.wav", work / "hard.wav"}) {
        SCOPED_TRACE(dest);
        try {
            LoudnessNormalizer::process(source, dest, Target::stereoPodcast(), kAll);
            ADD_FAILURE() << "no error";
        } catch (const DestinationError& e) {
            EXPECT_EQ(e.kind, DestinationError::Kind::replacesInput);
            EXPECT_NE(std::string(e.what()).find(dest.filename().string()), std::string::npos) << e.what();
        }
    }
    fs::current_path(cwd);
    EXPECT_EQ(bytes(source), original);
    EXPECT_TRUE(fs::is_symlink(work / "link.wav"));

    // Something that is not a regular file under the destination's name stays as it is. The
    // device is reached through a link so that a failure here cannot replace the real one.
    ASSERT_EQ(::mkfifo((work / "fifo.wav").c_str(), 0600), 0);
    fs::create_directories(work / "folder.wav");
    fs::create_symlink("/dev/full", work / "device.wav");
    for (const char* name : {"fifo.wav", "folder.wav", "device.wav"}) {
        SCOPED_TRACE(name);
        try {
            LoudnessNormalizer::process(in("noisy.wav"), work / name, Target::stereoPodcast(), CleanupOptions::none());
            ADD_FAILURE() << "no error";
        } catch (const DestinationError& e) {
            EXPECT_EQ(e.kind, DestinationError::Kind::notRegularFile);
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    }
    EXPECT_TRUE(fs::is_fifo(work / "fifo.wav"));
    EXPECT_TRUE(fs::is_directory(work / "folder.wav"));
    EXPECT_TRUE(fs::is_symlink(work / "device.wav"));
    for (const auto& entry : fs::directory_iterator(work))
        EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
}

TEST_F(LoudnessNormalizerTest, ClippedInputIsNotMadeWorse) {
    const Audio source = load(in("clipped.wav"));
    std::size_t clippedIn = 0;
    for (float v : source.samples) clippedIn += std::abs(v) >= 0.999f;
    ASSERT_GT(clippedIn, 100u);
    const auto r = LoudnessNormalizer::process(in("clipped.wav"), out("clipped"), Target::stereoPodcast(), kAll);
    const Audio a = load(out("clipped"));
    std::size_t clippedOut = 0;
    for (float v : a.samples) clippedOut += std::abs(v) >= 0.999f;
    EXPECT_EQ(clippedOut, 0u);
    EXPECT_LE(ebur(a).truePeakDB, Target::stereoPodcast().truePeakDB + 0.1);
    EXPECT_LT(r.gainDB, 0.0);
}

TEST_F(LoudnessNormalizerTest, RemovesADCOffsetBeforeTheGain) {
    // Quiet speech (about -46 LUFS) riding on an offset: +0.05 on the left, -0.03 on the right.
    const Audio speech = load(in("stereo.wav"));
    const fs::path plain = outDir / "dc-plain.wav", offset = outDir / "dc-offset.wav";
    for (const auto& [file, dc] : {std::pair{plain, false}, std::pair{offset, true}}) {
        test::writeWav(file, speech.rate, 2, speech.frames(), [&, dc = dc](std::size_t i, int c) {
            return 0.1f * speech.samples[i * 2 + static_cast<std::size_t>(c)] + (dc ? (c == 0 ? 0.05f : -0.03f) : 0.0f);
        });
    }
    struct Case {
        const char* name;
        Target target;
        CleanupOptions cleanup;
    };
    const std::vector<Case> cases = {
        {"no clean-up", Target::stereoPodcast(), CleanupOptions::none()},
        {"all clean-up", Target::stereoPodcast(), kAll},
        {"ACX, gate only", Target::audibleACX(), cleanupWith(false, HumMode::off, true, false, false, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto withOffset = LoudnessNormalizer::process(offset, out(std::string("dc-") + c.name), c.target, c.cleanup);
        const auto without = LoudnessNormalizer::process(plain, out(std::string("nodc-") + c.name), c.target, c.cleanup);
        const Audio a = load(out(std::string("dc-") + c.name));
        for (int ch = 0; ch < 2; ++ch) {
            double sum = 0;
            for (std::size_t i = 0; i < a.frames(); ++i) sum += a.samples[i * 2 + static_cast<std::size_t>(ch)];
            EXPECT_LT(std::abs(sum / static_cast<double>(a.frames())), 1e-3) << ch;
        }
        // The offset changes nothing audible: same level, same limiting as without it.
        ASSERT_TRUE(withOffset.output.integratedLUFS && without.output.integratedLUFS);
        EXPECT_NEAR(*withOffset.output.integratedLUFS, *without.output.integratedLUFS, 0.3);
        EXPECT_NEAR(withOffset.output.rmsDB, without.output.rmsDB, 0.3);
        EXPECT_NEAR(withOffset.limiterReductionDB, without.limiterReductionDB, 1.0);
        EXPECT_NEAR(withOffset.output.truePeakDBTP, without.output.truePeakDBTP, 0.5);
    }
}

// Counts the files created in a folder: each render writes one temporary file there.
class CreatedFiles {
public:
    explicit CreatedFiles(const fs::path& folder) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        ::inotify_add_watch(fd_, folder.c_str(), IN_CREATE);
    }
    ~CreatedFiles() { ::close(fd_); }
    int count() {
        alignas(inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
            for (char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                if (!(event->mask & IN_ISDIR)) ++count_;
                p += sizeof(inotify_event) + event->len;
            }
        }
        return count_;
    }

private:
    int fd_;
    int count_ = 0;
};

TEST_F(LoudnessNormalizerTest, CorrectsAMissAtMostTwiceAndNeverAtFortyDecibels) {
    struct Case {
        const char* name;
        const char* file;
        Target target;
        int fewestRenders, mostRenders;
        bool lands;  // ends within 0.3 dB of the target
    };
    const std::vector<Case> cases = {
        {"lands at once", "noisy.wav", Target::monoPodcast(), 1, 1, true},
        // The limiter takes loudness away at a low ceiling: the first render falls short.
        {"corrected", "noisy.wav", Target{-16.0, -3.0, 11.0, false}, 2, 3, true},
        // Out of reach under this ceiling: three renders, then the last one stands.
        {"out of reach", "noisy.wav", Target{-14.0, -10.0, 11.0, false}, 3, 3, false},
        // The first render already takes more than 40 dB; its miss is not corrected.
        {"forty decibels", "quiet.wav", Target{-16.0, -10.0, 11.0, false}, 1, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = outDir / (std::string("renders-") + c.name);
        fs::create_directories(folder);
        CreatedFiles created(folder);
        const auto r = LoudnessNormalizer::process(in(c.file), folder / "master.wav", c.target, CleanupOptions::none());
        const int renders = created.count();
        EXPECT_GE(renders, c.fewestRenders);
        EXPECT_LE(renders, c.mostRenders);
        ASSERT_TRUE(r.input.integratedLUFS && r.output.integratedLUFS);
        const double firstGain = c.target.integratedLUFS - *r.input.integratedLUFS;
        const double miss = c.target.integratedLUFS - *r.output.integratedLUFS;
        if (renders == 1) EXPECT_DOUBLE_EQ(r.gainDB, firstGain);
        else EXPECT_GT(r.gainDB - firstGain, 0.3);
        if (c.lands) {
            EXPECT_LE(std::abs(miss), 0.3);
        } else {
            EXPECT_GT(std::abs(miss), 0.3);
            // Why it stopped: the render count, or a correction that would need 40 dB or more.
            EXPECT_EQ(r.gainDB + miss >= 40.0, renders == 1);
        }
        EXPECT_NEAR(ebur(load(folder / "master.wav")).integrated, *r.output.integratedLUFS, 0.1);
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    }
}

TEST_F(LoudnessNormalizerTest, AFailedCorrectionDeliversTheRenderBeforeIt) {
    // The source is a pipe that serves the recording until the second render has started, then
    // something that is not audio: the correction render fails to read it.
    const fs::path work = outDir / "failed-correction";
    fs::create_directories(work / "out");
    const fs::path source = work / "episode.wav", dest = work / "out" / "master.wav";
    ASSERT_EQ(::mkfifo(source.c_str(), 0600), 0);
    // Small enough (16-bit mono at 22.05 kHz, 675 kB) to fit the pipe whole, so the writing end
    // is always closed before the reader is done and the next reader gets a fresh pipe.
    const fs::path small = work / "small.wav";
    sox(in("noisy.wav").string() + " -b 16 -r 22050 " + small.string());
    std::ifstream f(small, std::ios::binary);
    const std::string recording((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_LE(recording.size(), 1u << 20);
    const std::string garbage(65536, 'x');
    ::signal(SIGPIPE, SIG_IGN);
    CreatedFiles created(work / "out");
    const int readerClosed = ::inotify_init1(IN_CLOEXEC);
    ::inotify_add_watch(readerClosed, source.c_str(), IN_CLOSE_NOWRITE);
    std::atomic<bool> stop = false;
    std::thread server([&] {
        for (;;) {
            const int fd = ::open(source.c_str(), O_WRONLY | O_CLOEXEC);  // waits for a reader
            if (fd < 0) return;
            if (stop) {
                ::close(fd);
                return;
            }
            EXPECT_GE(::fcntl(fd, F_SETPIPE_SZ, 1 << 20), static_cast<int>(recording.size()));
            const std::string& data = created.count() >= 2 ? garbage : recording;
            for (std::size_t at = 0; at < data.size();) {
                const ssize_t n = ::write(fd, data.data() + at, data.size() - at);
                if (n <= 0) break;  // the reader has seen enough
                at += static_cast<std::size_t>(n);
            }
            ::close(fd);
            // One reader per opening: wait until this one has closed before serving the next.
            alignas(inotify_event) char event[sizeof(inotify_event) + NAME_MAX + 1];
            if (::read(readerClosed, event, sizeof event) <= 0) return;
        }
    });
    const Target target{-14.0, -10.0, 11.0, false};  // out of reach: every render is corrected
    std::optional<LoudnessNormalizer::Result> r;
    try {
        r = LoudnessNormalizer::process(source, dest, target, CleanupOptions::none());
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    stop = true;
    const int wake = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    server.join();
    ::close(wake);
    ::close(readerClosed);

    EXPECT_EQ(created.count(), 2);
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->input.integratedLUFS && r->output.integratedLUFS);
    EXPECT_DOUBLE_EQ(r->gainDB, target.integratedLUFS - *r->input.integratedLUFS);  // the first render's
    const Audio delivered = load(dest), original = load(small);
    EXPECT_EQ(delivered.frames(), original.frames());
    EXPECT_NEAR(ebur(delivered).integrated, *r->output.integratedLUFS, 0.1);
    EXPECT_EQ(std::distance(fs::directory_iterator(work / "out"), fs::directory_iterator()), 1);
}

TEST_F(LoudnessNormalizerTest, StretchesSideBySideRenderLikeOneStream) {
    // Small stretches, so there are many joins: inside pauses, inside cuts, on loud speech the
    // limiter works on.
    const StretchLayout small{0.1, 2.0};
    struct Case {
        const char* name;
        const char* file;
        Target target;
        CleanupOptions cleanup;
    };
    const Case cases[] = {
        {"all", "stereo.wav", Target::stereoPodcast(), kAll},
        {"hum", "hum50.wav", Target::stereoPodcast(), kAll},
        {"gate-no-rumble", "rumble.wav", Target::monoPodcast(), cleanupWith(false, HumMode::hz60, true, false, false, 0.5)},
        {"hard-limit", "noisy.wav", Target{-9.0, -6.0, 11.0, false}, CleanupOptions::none()},
        {"acx", "twolevels.wav", Target::audibleACX(), cleanupWith(true, HumMode::off, false, true, true, 0.4, 0.1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path one = out(std::string("stream-") + c.name), split = out(std::string("stretches-") + c.name);
        const auto a = processLoudness(in(c.file), one, c.target, c.cleanup, StretchLayout::sequential());
        const auto b = processLoudness(in(c.file), split, c.target, c.cleanup, small);
        ASSERT_TRUE(a.output.integratedLUFS && b.output.integratedLUFS);
        EXPECT_NEAR(*b.output.integratedLUFS, *a.output.integratedLUFS, 0.1);
        EXPECT_NEAR(b.output.truePeakDBTP, a.output.truePeakDBTP, 0.1);
        EXPECT_NEAR(b.gainDB, a.gainDB, 1e-6);
        EXPECT_NEAR(b.limiterReductionDB, a.limiterReductionDB, 0.01);
        EXPECT_EQ(b.humRemovedHz, a.humRemovedHz);
        EXPECT_EQ(b.secondsRemoved, a.secondsRemoved);
        ASSERT_EQ(b.levelerRangeDB.has_value(), a.levelerRangeDB.has_value());
        if (a.levelerRangeDB) {
            EXPECT_NEAR(b.levelerRangeDB->lowerBound, a.levelerRangeDB->lowerBound, 1e-3);
            EXPECT_NEAR(b.levelerRangeDB->upperBound, a.levelerRangeDB->upperBound, 1e-3);
        }
        EXPECT_NEAR(*b.input.integratedLUFS, *a.input.integratedLUFS, 1e-6);
        EXPECT_NEAR(b.input.noiseFloorDB, a.input.noiseFloorDB, 1e-6);
        // Frame for frame the same: a join that drops, repeats or shifts a frame shows here
        // even where the loudness would not.
        const Audio x = load(one), y = load(split);
        ASSERT_EQ(y.samples.size(), x.samples.size());
        float worst = 0;
        for (std::size_t i = 0; i < x.samples.size(); ++i) worst = std::max(worst, std::abs(x.samples[i] - y.samples[i]));
        EXPECT_LE(worst, 1e-4f);
        const Reading rx = ebur(x), ry = ebur(y);
        EXPECT_NEAR(ry.integrated, rx.integrated, 0.1);
        EXPECT_NEAR(ry.truePeakDB, rx.truePeakDB, 0.1);
    }
}

// The decoder runs on a thread of its own when the passes work in stretches; what FFmpeg says
// about a damaged source there reaches the caller's log as it does in one stream.
TEST_F(LoudnessNormalizerTest, DecoderMessagesReachTheCallersLogInEveryLayout) {
    if (!test::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    const fs::path damaged = outDir / "damaged.mp3";
    ASSERT_TRUE(test::run("ffmpeg -y -f lavfi -i sine=f=440:d=8 -c:a libmp3lame -b:a 64k " + test::quoted(damaged)));
    {
        std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(20000);
        std::uint32_t noise = 12345;
        for (int i = 0; i < 2000; ++i) {
            noise = noise * 1103515245u + 12345u;
            f.put(static_cast<char>(noise >> 24));
        }
    }
    const std::pair<const char*, StretchLayout> layouts[] = {{"one stream", StretchLayout::sequential()},
                                                            {"stretches", StretchLayout{1.0, 0.5}}};
    for (const auto& [name, layout] : layouts) {
        SCOPED_TRACE(name);
        std::vector<std::string> lines;
        std::mutex mutex;
        av::LogSink sink([&](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        });
        const av::ScopedLogSink routed(&sink);
        processLoudness(damaged, out(std::string("damaged-") + name), Target::stereoPodcast(), CleanupOptions::none(),
                        layout);
        std::lock_guard lock(mutex);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front().rfind("[mp3", 0), 0u) << lines.front();
    }
}

TEST_F(LoudnessNormalizerTest, ExtremelyQuietInputStopsCorrectingAtFortyDecibels) {
    const auto r = LoudnessNormalizer::process(in("quiet.wav"), out("quiet"), Target::stereoPodcast(),
                                               CleanupOptions::none());
    ASSERT_TRUE(r.input.integratedLUFS);
    // The first render takes the full gain; a correction at 40 dB or more is not rendered.
    EXPECT_GE(r.gainDB, 40.0);
    EXPECT_DOUBLE_EQ(r.gainDB, Target::stereoPodcast().integratedLUFS - *r.input.integratedLUFS);
    EXPECT_TRUE(fs::exists(out("quiet")));
    EXPECT_LE(ebur(load(out("quiet"))).truePeakDB, Target::stereoPodcast().truePeakDB + 0.1);
}
