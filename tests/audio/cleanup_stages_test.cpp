// The clean-up and limiter stages on generated buffers.
#include <gtest/gtest.h>

#include <ebur128.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "audio/Biquad.h"
#include "audio/CleanupChain.h"
#include "audio/HumDetector.h"
#include "audio/Limiter.h"

using namespace lw;

namespace {

constexpr double kRate = 48000.0;

double dbOf(double linear) { return 20.0 * std::log10(linear); }

double truePeakDB(const std::vector<float>& x, int channels, double rate) {
    ebur128_state* st = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate), EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(st, x.data(), x.size() / static_cast<std::size_t>(channels));
    double peak = 0;
    for (int c = 0; c < channels; ++c) {
        double p = 0;
        ebur128_true_peak(st, static_cast<unsigned>(c), &p);
        peak = std::max(peak, p);
    }
    ebur128_destroy(&st);
    return dbOf(peak);
}

std::vector<float> sine(double freq, double amplitude, std::size_t frames, int channels, double phase = 0) {
    std::vector<float> x(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            x[i * channels + c] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * freq * i / kRate + phase));
    return x;
}

std::vector<float> limit(TruePeakLimiter& limiter, const std::vector<float>& in, int channels, std::size_t chunk = 1000) {
    std::vector<float> out;
    const std::size_t frames = in.size() / channels;
    for (std::size_t f = 0; f < frames; f += chunk)
        limiter.process(in.data() + f * channels, std::min(chunk, frames - f), out);
    limiter.flush(out);
    return out;
}

}  // namespace

TEST(Biquad, RumbleFilterAndNotchResponses) {
    BiquadCascade hp(rumbleFilterSections(kRate), 1);
    auto response = [&](const std::vector<BiquadCoefficients>& s, double f) {
        double m = 1;
        for (const auto& k : s) m *= k.magnitude(f, kRate);
        return dbOf(m);
    };
    const auto rumble = rumbleFilterSections(kRate);
    EXPECT_NEAR(response(rumble, 80), -3.0, 0.1);
    EXPECT_LT(response(rumble, 20), -45.0);
    EXPECT_GT(response(rumble, 200), -0.2);
    const auto notches = humNotchSections(60.0, kRate);
    ASSERT_EQ(notches.size(), 4u);
    EXPECT_LT(response(notches, 60), -60.0);
    EXPECT_LT(response(notches, 180), -60.0);
    EXPECT_GT(response(notches, 90), -0.5);   // speech between the harmonics untouched
    EXPECT_GT(response(notches, 1000), -0.05);

    // Streaming in chunks equals one pass.
    auto x = sine(70, 0.5, 4800, 2);
    auto y = x;
    BiquadCascade a(rumble, 2), b(rumble, 2);
    a.process(x.data(), 4800);
    b.process(y.data(), 1000);
    b.process(y.data() + 2000, 3800);
    EXPECT_EQ(x, y);
}

TEST(TruePeakLimiter, PassesQuietSignalUnchangedAndDelayed) {
    TruePeakLimiter limiter(kRate, 2, -1.0);
    auto in = sine(440, 0.3, 10000, 2);
    auto out = limit(limiter, in, 2, 777);
    ASSERT_EQ(out.size(), in.size());
    EXPECT_EQ(out, in);
    EXPECT_EQ(limiter.deepestReductionDB(), 0.0);
}

TEST(TruePeakLimiter, HoldsTruePeakAtCeiling) {
    struct Case {
        const char* name;
        double ceiling;
        std::vector<float> input;
        int channels;
    };
    // A quarter-rate sine sampled at 45 degrees peaks 3 dB above its samples.
    const std::vector<Case> cases = {
        {"loud sine", -1.5, sine(997, 2.0, 48000, 2), 2},
        {"inter-sample peaks", -1.0, sine(12000, 1.0, 48000, 1, std::numbers::pi / 4), 1},
        {"bursts", -3.5, [] {
             auto x = sine(150, 0.05, 48000, 1);
             for (std::size_t i = 12000; i < 12400; ++i) x[i] *= 30;  // 6 dB over 0 dBFS
             return x;
         }(), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TruePeakLimiter limiter(kRate, c.channels, c.ceiling);
        auto out = limit(limiter, c.input, c.channels);
        ASSERT_EQ(out.size(), c.input.size());
        EXPECT_LE(truePeakDB(out, c.channels, kRate), c.ceiling + 0.05);
        EXPECT_LT(limiter.deepestReductionDB(), -0.5);
    }
}

TEST(TruePeakLimiter, LeavesSignalAwayFromPeaksAlone) {
    auto in = sine(150, 0.05, 96000, 1);
    for (std::size_t i = 48000; i < 48100; ++i) in[i] *= 40;
    TruePeakLimiter limiter(kRate, 1, -1.0);
    auto out = limit(limiter, in, 1);
    // Half a second after the burst the release is complete.
    for (std::size_t i = 48000 + 24000; i < 96000; ++i) ASSERT_NEAR(out[i], in[i], 1e-4) << i;
    for (std::size_t i = 0; i < 48000 - 400; ++i) ASSERT_EQ(out[i], in[i]) << i;
}

TEST(HumDetector, FindsMainsHumOnlyWhenPresent) {
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.001f);  // about -60 dBFS
    auto make = [&](double humHz, double humAmp, bool rumble) {
        const std::size_t frames = static_cast<std::size_t>(10 * kRate);
        std::vector<float> x(frames * 2);
        BiquadCascade lp({BiquadCoefficients::lowPass(40, 0.707, kRate)}, 1);
        std::vector<float> r(frames);
        for (auto& v : r) v = noise(rng) * 300;
        lp.process(r.data(), frames);
        for (std::size_t i = 0; i < frames; ++i) {
            const double t = i / kRate;
            // "Speech": loud 300 Hz bursts with harmonics half of the time.
            const double speech = (static_cast<int>(t) % 2 == 0)
                                      ? 0.2 * std::sin(2 * std::numbers::pi * 110 * t) + 0.1 * std::sin(2 * std::numbers::pi * 220 * t)
                                      : 0.0;
            double hum = 0;
            if (humHz > 0)
                hum = humAmp * (std::sin(2 * std::numbers::pi * humHz * t) + 0.5 * std::sin(2 * std::numbers::pi * 2 * humHz * t + 0.3));
            const double s = speech + hum + noise(rng) + (rumble ? r[i] : 0.0f);
            x[2 * i] = x[2 * i + 1] = static_cast<float>(s);
        }
        HumDetector d(kRate, 2);
        for (std::size_t f = 0; f < frames; f += 4096) d.add(x.data() + 2 * f, std::min<std::size_t>(4096, frames - f));
        return d.finish();
    };
    EXPECT_EQ(make(50, 0.003, false).frequency, 50.0);
    EXPECT_EQ(make(60, 0.003, false).frequency, 60.0);
    EXPECT_EQ(make(60, 0.003, true).frequency, 60.0);
    EXPECT_FALSE(make(0, 0, false).frequency.has_value());
    EXPECT_FALSE(make(0, 0, true).frequency.has_value());
}

TEST(SpeechActivity, ClassifiesLoudBlocksAsSpeech) {
    std::vector<float> levels;
    for (int i = 0; i < 100; ++i) levels.push_back(i % 10 < 6 ? -25.0f : -65.0f);
    levels.push_back(-120.0f);  // digital silence does not pull the floor down
    const auto a = SpeechActivity::classify(levels);
    EXPECT_NEAR(a.noiseFloorDB, -65, 0.01);
    EXPECT_NEAR(a.speechDB, -25, 0.01);
    EXPECT_NEAR(a.thresholdDB, -65 + 40.0 / 3, 0.01);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(a.speech[i], i % 10 < 6) << i;
    EXPECT_FALSE(a.speech[100]);
}

TEST(LevelerCurve, EvensOutSpeakersWithinItsRange) {
    // 20 s at -20 dB, then 20 s at -30 dB, speech with short pauses.
    std::vector<float> levels;
    for (int i = 0; i < 400; ++i) {
        const bool pause = i % 20 >= 17;
        levels.push_back(pause ? -70.0f : (i < 200 ? -20.0f : -30.0f));
    }
    const auto a = SpeechActivity::classify(levels);
    const auto curve = LevelerCurve::plan(levels, a, 0.1);
    ASSERT_EQ(curve.gainDB.size(), levels.size());
    // The median speech level sits between the speakers; each is moved toward it.
    const double loud = curve.gainDB[80], quiet = curve.gainDB[320];
    EXPECT_NEAR(quiet - loud, 10.0, 0.5);
    EXPECT_LE(curve.highDB, LevelerCurve::rangeDB);
    EXPECT_GE(curve.lowDB, -LevelerCurve::rangeDB);
    EXPECT_NEAR(curve.lowDB, loud, 0.5);
    EXPECT_NEAR(curve.highDB, quiet, 0.5);
    // Slew limited: no jump between blocks beyond the slew rate.
    for (std::size_t i = 1; i < curve.gainDB.size(); ++i)
        ASSERT_LE(std::abs(curve.gainDB[i] - curve.gainDB[i - 1]), LevelerCurve::slewDBPerSecond * 0.1 + 1e-4);
    // Pauses do not get boosted on their own.
    EXPECT_NEAR(curve.gainDB[98], curve.gainDB[96], 0.2);

    // Beyond the range the gain stops at the bound.
    std::vector<float> far;
    for (int i = 0; i < 400; ++i) far.push_back(i < 200 ? -10.0f : -50.0f);
    const auto farCurve = LevelerCurve::plan(far, SpeechActivity::classify(far), 0.1);
    EXPECT_LE(farCurve.highDB - farCurve.lowDB, 2 * LevelerCurve::rangeDB + 1e-6);
}

TEST(NoiseGate, LowersRoomToneAndKeepsSpeech) {
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0.0f, 0.001f);  // -60 dB RMS
    const std::size_t frames = 48000;
    std::vector<float> key(frames);
    for (std::size_t i = 0; i < frames; ++i)
        key[i] = noise(rng) + (i < 12000 ? 0.1f * std::sin(2 * std::numbers::pi * 200 * i / kRate) : 0.0f);
    NoiseGate gate(kRate, 1, -45.0);
    std::vector<float> g(frames);
    gate.gains(key.data(), frames, g.data());
    for (std::size_t i = 1000; i < 12000; ++i) ASSERT_NEAR(g[i], 1.0f, 1e-3) << i;
    // Held open after the speech, then down to the depth limit.
    EXPECT_GT(g[12000 + static_cast<std::size_t>(0.1 * kRate)], 0.95f);
    EXPECT_NEAR(dbOf(g[frames - 1]), -12.0, 0.8);
}

TEST(CutPlan, TrimsDeadAirAndShortensLongPauses) {
    // Blocks of 100 ms at 1000 frames each: 2 s silence, 1 s speech, 4 s pause, 1 s speech,
    // 0.5 s pause, 1 s speech, 3 s silence.
    std::vector<bool> pattern;
    auto add = [&](int blocks, bool speech) { pattern.insert(pattern.end(), blocks, speech); };
    add(20, false); add(10, true); add(40, false); add(10, true); add(5, false); add(10, true); add(30, false);
    SpeechActivity a;
    a.speech = pattern;
    const std::size_t total = pattern.size() * 1000;
    const double rate = 10000;  // 1000 frames per block
    CutPlanSettings s{true, 1.5, 0.3};
    const auto cuts = planCuts(a, 1000, total, rate, s, 100);
    const std::vector<FrameCut> expected = {{0, 17000}, {37500, 62500}, {98000, total}};
    EXPECT_EQ(cuts, expected);

    s.trimSilence = false;
    EXPECT_EQ(planCuts(a, 1000, total, rate, s, 100), (std::vector<FrameCut>{{37500, 62500}}));
    s.maxPauseSeconds = 0;
    EXPECT_TRUE(planCuts(a, 1000, total, rate, s, 100).empty());
}

TEST(CutJoiner, OutputIsExactlyTheKeptFramesWithCrossfadedJoins) {
    const std::size_t total = 10000, xf = 50;
    std::vector<float> in(total * 2);
    for (std::size_t i = 0; i < total; ++i) {
        in[2 * i] = static_cast<float>(i);
        in[2 * i + 1] = -static_cast<float>(i);
    }
    const std::vector<FrameCut> cuts = {{0, 1000}, {3000, 4000}, {9000, total}};
    CutJoiner joiner(2, cuts, total, xf);
    std::vector<float> out;
    for (std::size_t f = 0; f < total; f += 333) joiner.push(in.data() + 2 * f, std::min<std::size_t>(333, total - f), out);
    ASSERT_EQ(out.size() / 2, total - 1000 - 1000 - 1000);
    EXPECT_EQ(joiner.removedFrames(), 3000u);
    auto at = [&](std::size_t k) { return out[2 * k]; };
    // Fade in from frame 1000.
    EXPECT_NEAR(at(0), 1000 * (0.5 / xf), 1e-3);
    EXPECT_EQ(at(xf), 1000 + xf);
    // Kept frames before the join are untouched; the join blends 2950.. with 3950..
    EXPECT_EQ(at(2000 - xf - 1), 3000 - xf - 1);
    for (std::size_t j = 0; j < xf; ++j) {
        const float w = (j + 0.5f) / xf;
        EXPECT_NEAR(at(2000 - xf + j), (3000 - xf + j) * (1 - w) + (4000 - xf + j) * w, 1e-2);
        EXPECT_NEAR(out[2 * (2000 - xf + j) + 1], -at(2000 - xf + j), 1e-2);
    }
    EXPECT_EQ(at(2000), 4000);
    // Fade out before frame 9000.
    EXPECT_NEAR(at(7000 - 1), 8999 * (0.5 / xf), 1e-2);
    EXPECT_EQ(at(7000 - xf - 1), 9000 - xf - 1);
}
