#include <ebur128.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <random>

#include "AudioTestUtil.h"
#include "audio/LoudnessMeter.h"
#include "audio/LoudnessNormalizer.h"

namespace lw {
namespace {

using namespace lw::test;

struct Segment {
    double dbfs;
    double seconds;
};

// Interleaved sine segments, every channel alike, as the Tech 3341 steady-tone cases.
std::vector<float> sineSequence(double rate, int channels, double freq, const std::vector<Segment>& segments,
                                double phase = 0) {
    std::vector<float> out;
    double total = 0;
    for (const auto& s : segments) total += s.seconds;
    out.reserve(static_cast<std::size_t>(total * rate + 1) * static_cast<std::size_t>(channels) + segments.size() * 4);
    std::size_t n = 0;
    for (const auto& s : segments) {
        const double amp = std::pow(10.0, s.dbfs / 20.0);
        const auto frames = static_cast<std::size_t>(std::llround(s.seconds * rate));
        for (std::size_t i = 0; i < frames; ++i, ++n) {
            const float v = static_cast<float>(amp * std::sin(2 * M_PI * freq * static_cast<double>(n) / rate + phase));
            for (int c = 0; c < channels; ++c) out.push_back(v);
        }
    }
    return out;
}

LoudnessMeter::Result meterOf(const std::vector<float>& samples, double rate, int channels, std::size_t chunk = 3000) {
    LoudnessMeter meter(rate, channels);
    const std::size_t frames = samples.size() / static_cast<std::size_t>(channels);
    for (std::size_t start = 0; start < frames; start += chunk)
        meter.addFrames(samples.data() + start * static_cast<std::size_t>(channels), std::min(chunk, frames - start));
    return meter.result();
}

struct Reference {
    std::optional<double> integrated;
    double truePeakDB;
};

Reference libebur128Of(const std::vector<float>& samples, double rate, int channels, bool truePeak = true) {
    ebur128_state* st = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                                     truePeak ? EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK : EBUR128_MODE_I);
    ebur128_add_frames_float(st, samples.data(), samples.size() / static_cast<std::size_t>(channels));
    double i = 0;
    Reference r;
    if (ebur128_loudness_global(st, &i) == EBUR128_SUCCESS && std::isfinite(i)) r.integrated = i;
    double tp = 0;
    for (int c = 0; truePeak && c < channels; ++c) {
        double v = 0;
        ebur128_true_peak(st, static_cast<unsigned>(c), &v);
        tp = std::max(tp, v);
    }
    r.truePeakDB = 20 * std::log10(tp);
    ebur128_destroy(&st);
    return r;
}

struct LoudnessCase {
    std::string name;
    std::vector<Segment> segments;
    double expected;
};

const std::vector<LoudnessCase>& tech3341Cases() {
    static const std::vector<LoudnessCase> cases = {
        {"stereo 1 kHz at -23 dBFS", {{-23, 20}}, -23.0},
        {"stereo 1 kHz at -33 dBFS", {{-33, 20}}, -33.0},
        {"-36/-23/-36", {{-36, 10}, {-23, 60}, {-36, 10}}, -23.0},
        {"-72/-36/-23/-36/-72", {{-72, 10}, {-36, 10}, {-23, 60}, {-36, 10}, {-72, 10}}, -23.0},
        {"-26/-20/-26", {{-26, 20}, {-20, 20.1}, {-26, 20}}, -23.0},
    };
    return cases;
}

// The minimum-requirement cases at 48 kHz, also measured by libebur128.
TEST(LoudnessMeter, Tech3341SteadySineCasesAgreeWithLibebur128) {
    for (const auto& c : tech3341Cases()) {
        SCOPED_TRACE(c.name);
        auto samples = sineSequence(48000, 2, 1000, c.segments);
        auto r = meterOf(samples, 48000, 2);
        ASSERT_TRUE(r.integratedLUFS.has_value());
        EXPECT_NEAR(*r.integratedLUFS, c.expected, 0.1);
        auto ref = libebur128Of(samples, 48000, 2, false);
        ASSERT_TRUE(ref.integrated.has_value());
        EXPECT_NEAR(*r.integratedLUFS, *ref.integrated, 0.05);
    }
    // True peak against libebur128 on a stretch of the first case.
    auto samples = sineSequence(48000, 2, 1000, {{-23, 3}});
    EXPECT_NEAR(meterOf(samples, 48000, 2).truePeakDBTP, libebur128Of(samples, 48000, 2).truePeakDB, 0.1);
}

// The K-weighting is derived for the rate, so other rates give the same readings.
TEST(LoudnessMeter, Tech3341SteadySineCasesAtOtherRates) {
    for (double rate : {44100.0, 96000.0}) {
        for (const auto& c : tech3341Cases()) {
            SCOPED_TRACE(c.name + " at " + std::to_string(rate));
            auto r = meterOf(sineSequence(rate, 2, 1000, c.segments), rate, 2);
            ASSERT_TRUE(r.integratedLUFS.has_value());
            EXPECT_NEAR(*r.integratedLUFS, c.expected, 0.1);
        }
    }
}

// Tones across the band read the same at every rate as at 48 kHz, where the K-weighting is the
// standard's own; the meter refuses rates too low to carry it.
TEST(LoudnessMeter, EveryRateReadsTheSameTonesAs48kHz) {
    const std::vector<double> tones = {60, 400, 1000, 1700, 2500, 3300, 3800};
    for (double hz : tones) {
        const auto reference = meterOf(sineSequence(48000, 1, hz, {{-20, 3}}), 48000, 1).integratedLUFS;
        ASSERT_TRUE(reference.has_value());
        for (double rate : {8000.0, 11025.0, 16000.0, 22050.0, 32000.0, 44100.0, 96000.0}) {
            SCOPED_TRACE(std::to_string(hz) + " Hz at " + std::to_string(rate));
            auto r = meterOf(sineSequence(rate, 1, hz, {{-20, 3}}), rate, 1);
            ASSERT_TRUE(r.integratedLUFS.has_value());
            EXPECT_NEAR(*r.integratedLUFS, *reference, 0.05);
        }
    }
    for (double rate : {7999.0, 4000.0, 1.0, 0.0, std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(rate);
        EXPECT_THROW(LoudnessMeter(rate, 1), std::invalid_argument);
    }
}

TEST(LoudnessMeter, TruePeakFindsPeaksBetweenSamples) {
    struct PeakCase {
        double rate, fraction, phaseDegrees;
    };
    // Sines at 0.5 FS (-6.02 dB) whose crests fall between samples (Tech 3341 cases 15 to 18), and the
    // same below and above the 96 kHz switch to 2x oversampling.
    const std::vector<PeakCase> cases = {{48000, 1.0 / 4, 0},  {48000, 1.0 / 4, 45},  {48000, 1.0 / 6, 60},
                                         {48000, 1.0 / 8, 67.5}, {44100, 1.0 / 4, 45}, {96000, 1.0 / 16, 11.25},
                                         {8000, 1.0 / 4, 45}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, fs*" + std::to_string(c.fraction) + ", " + std::to_string(c.phaseDegrees));
        auto samples = sineSequence(c.rate, 1, c.rate * c.fraction, {{-6.0206, 2}}, c.phaseDegrees * M_PI / 180);
        // 10 ms fades, so the onset step does not ring through the interpolator.
        const std::size_t fade = static_cast<std::size_t>(c.rate / 100);
        for (std::size_t i = 0; i < fade; ++i) {
            const float g = static_cast<float>(i) / static_cast<float>(fade);
            samples[i] *= g;
            samples[samples.size() - 1 - i] *= g;
        }
        auto r = meterOf(samples, c.rate, 1);
        EXPECT_LE(r.truePeakDBTP, -6.0206 + 0.2);
        EXPECT_GE(r.truePeakDBTP, -6.0206 - 0.4);
        EXPECT_LE(r.samplePeakDB, r.truePeakDBTP);
    }
    // At 45 degrees the samples of a quarter-rate sine sit 3 dB below its crest.
    auto offGrid = meterOf(sineSequence(48000, 1, 12000, {{-6.0206, 1}}, M_PI / 4), 48000, 1);
    EXPECT_NEAR(offGrid.samplePeakDB, -9.03, 0.05);
}

TEST(LoudnessMeter, TruePeakCoversTheLastSamples) {
    // Two equal samples at the very end: the crest between them must count as if silence followed.
    std::vector<float> ending(1000, 0.0f);
    ending.push_back(0.5f);
    ending.push_back(0.5f);
    std::vector<float> followed = ending;
    followed.resize(followed.size() + 100, 0.0f);
    auto a = meterOf(ending, 48000, 1), b = meterOf(followed, 48000, 1);
    EXPECT_GT(a.truePeak, 0.55);
    EXPECT_FLOAT_EQ(static_cast<float>(a.truePeak), static_cast<float>(b.truePeak));
}

TEST(LoudnessMeter, SubBlocksCoverEachComplete100ms) {
    // 1.25 s at 44.1 kHz: twelve whole 4410-frame stretches, the rest left out.
    auto s = sineSequence(44100, 2, 1000, {{-20, 0.6}, {-40, 0.65}});
    LoudnessMeter meter(44100, 2);
    meter.addFrames(s.data(), s.size() / 2);
    EXPECT_EQ(meter.framesPerSubBlock(), 4410u);
    const auto& blocks = meter.subBlocks();
    ASSERT_EQ(blocks.size(), 12u);
    const double loud = std::pow(10.0, -20 / 10.0) / 2, quiet = std::pow(10.0, -40 / 10.0) / 2;
    EXPECT_NEAR(blocks[2].meanSquare, loud, loud * 1e-3);
    EXPECT_NEAR(blocks[9].meanSquare, quiet, quiet * 1e-2);
    // Two identical channels, each about -20 LUFS at 1 kHz when alone in a stereo pair.
    EXPECT_NEAR(LoudnessMeter::loudnessOfPower(blocks[3].weightedPower), -20, 0.1);
}

TEST(LoudnessMeter, ChunkingDoesNotChangeResults) {
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0, 0.05f);
    std::vector<float> samples(48000 * 2 * 5);
    for (auto& v : samples) v = noise(rng);
    auto whole = meterOf(samples, 48000, 2, samples.size() / 2);
    for (std::size_t chunk : {1u, 441u, 4800u, 40000u}) {
        auto r = meterOf(samples, 48000, 2, chunk);
        EXPECT_DOUBLE_EQ(*r.integratedLUFS, *whole.integratedLUFS) << chunk;
        EXPECT_DOUBLE_EQ(r.truePeakDBTP, whole.truePeakDBTP) << chunk;
        EXPECT_DOUBLE_EQ(r.rmsDB, whole.rmsDB) << chunk;
    }
}

TEST(LoudnessMeter, StretchesWarmedUpAndAppendedMeasureLikeOneStream) {
    // Noise with a low rumble (the slowest thing the K-weighting filter has to settle on) and
    // a peak right after each join, so a lost history or a dropped frame shows.
    const double rate = 48000;
    std::mt19937 rng(11);
    std::normal_distribution<float> noise(0, 0.05f);
    const std::size_t frames = 48000 * 6;
    std::vector<float> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i)
        for (std::size_t c = 0; c < 2; ++c)
            samples[i * 2 + c] = noise(rng) + 0.3f * static_cast<float>(std::sin(2 * 3.14159265 * 30 * i / rate));
    const std::size_t per100 = 4800;
    for (std::size_t j = per100; j < frames; j += 3 * per100) samples[(j + 1) * 2] = 0.97f;
    LoudnessMeter whole(rate, 2);
    whole.addFrames(samples.data(), frames);
    const auto w = whole.result();
    const auto wholeBlocks = whole.subBlocks();

    struct Case {
        std::size_t stretch, warm;
    };
    for (const Case c : {Case{per100, 12000}, Case{3 * per100, 14400}, Case{10 * per100, 48000}}) {
        std::unique_ptr<LoudnessMeter> merged;
        for (std::size_t begin = 0; begin < frames; begin += c.stretch) {
            const std::size_t n = std::min(c.stretch, frames - begin), warm = std::min(begin, c.warm);
            auto part = std::make_unique<LoudnessMeter>(rate, 2);
            part->warmUp(samples.data() + (begin - warm) * 2, warm);
            part->addFrames(samples.data() + begin * 2, n);
            if (!merged) merged = std::move(part);
            else merged->append(*part);
        }
        const auto r = merged->result();
        SCOPED_TRACE(c.stretch);
        EXPECT_EQ(r.frames, w.frames);
        EXPECT_NEAR(*r.integratedLUFS, *w.integratedLUFS, 1e-6);
        EXPECT_NEAR(r.loudnessRangeLU, w.loudnessRangeLU, 1e-6);
        EXPECT_DOUBLE_EQ(r.truePeakDBTP, w.truePeakDBTP);
        EXPECT_DOUBLE_EQ(r.samplePeakDB, w.samplePeakDB);
        EXPECT_NEAR(r.rmsDB, w.rmsDB, 1e-9);
        const auto& blocks = merged->subBlocks();
        ASSERT_EQ(blocks.size(), wholeBlocks.size());
        for (std::size_t i = 0; i < blocks.size(); ++i)
            ASSERT_NEAR(blocks[i].weightedPower, wholeBlocks[i].weightedPower, 1e-6 * wholeBlocks[i].weightedPower) << i;
    }
}

TEST(LoudnessMeter, SilenceAndShortInputsHaveNoIntegratedLoudness) {
    std::vector<float> silence(48000 * 2 * 3, 0.0f);
    auto r = meterOf(silence, 48000, 2);
    EXPECT_FALSE(r.integratedLUFS.has_value());
    EXPECT_EQ(r.truePeakDBTP, LoudnessMeter::kFloorDB);
    EXPECT_EQ(r.rmsDB, LoudnessMeter::kFloorDB);
    EXPECT_EQ(r.noiseFloorDB, LoudnessMeter::kFloorDB);
    EXPECT_EQ(r.loudnessRangeLU, 0);

    auto shortTone = meterOf(sineSequence(48000, 2, 1000, {{-20, 0.3}}), 48000, 2);
    EXPECT_FALSE(shortTone.integratedLUFS.has_value());  // shorter than one 400 ms block
    EXPECT_NEAR(shortTone.samplePeakDB, -20, 0.01);

    LoudnessMeter empty(44100, 1);
    EXPECT_FALSE(empty.result().integratedLUFS.has_value());
}

TEST(LoudnessMeter, RmsLevelAndNoiseFloorIgnoreDigitalGaps) {
    const double rate = 48000;
    std::mt19937 rng(3);
    const double noiseRms = std::pow(10.0, -60.0 / 20);
    std::normal_distribution<double> noise(0, noiseRms);
    std::vector<float> s;
    auto tone = sineSequence(rate, 1, 440, {{-12, 4}});
    s.insert(s.end(), tone.begin(), tone.end());
    for (int i = 0; i < 48000 * 2; ++i) s.push_back(static_cast<float>(noise(rng)));  // room tone
    s.insert(s.end(), 48000, 0.0f);                                                   // a digital gap
    s.insert(s.end(), tone.begin(), tone.end());
    auto r = meterOf(s, rate, 1);
    EXPECT_NEAR(r.noiseFloorDB, -60, 0.5);
    double sq = 0;
    for (float v : s) sq += double(v) * v;
    EXPECT_NEAR(r.rmsDB, 10 * std::log10(sq / static_cast<double>(s.size())), 1e-6);
}

TEST(LoudnessMeter, LoudnessRangeOfSteppedTones) {
    // Tech 3342: -20/-30 dBFS tones, 20 s each, give an LRA of 10 LU (tolerance 1 LU).
    auto s = sineSequence(48000, 2, 1000, {{-20, 20}, {-30, 20}});
    EXPECT_NEAR(meterOf(s, 48000, 2).loudnessRangeLU, 10, 1);
    auto flat = sineSequence(48000, 2, 1000, {{-23, 20}});
    EXPECT_NEAR(meterOf(flat, 48000, 2).loudnessRangeLU, 0, 0.1);
}

// Real speech measured through the file reader, against libebur128 on the same decoded samples:
// its true peak at the file's rate, its loudness on a 48 kHz copy (at other rates its K-weighting
// strays, by 0.1 dB at 16 kHz).
TEST(LoudnessMeter, RealSpeechAgreesWithLibebur128) {
    std::vector<fs::path> files;
    const fs::path librivox = "/usr/share/pocketsphinx/test/data/librivox";
    if (fs::exists(librivox))
        for (auto& e : fs::directory_iterator(librivox))
            if (e.path().extension() == ".wav") files.push_back(e.path());
    auto dir = makeTempDir("speech");
    if (haveTool("espeak-ng")) {
        auto spoken = dir / "espeak.wav";
        if (run("espeak-ng -w " + quoted(spoken) +
                " 'Welcome back to the show. Today we talk about recording levels, noise and loudness.'"))
            files.push_back(spoken);
    }
    if (files.empty()) GTEST_SKIP() << "no speech recordings installed";
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        PCMStream::Format f;
        auto samples = readAll(file, std::nullopt, std::nullopt, &f);
        auto ref = libebur128Of(samples, f.sampleRate, f.channels);
        auto at48 = libebur128Of(f.sampleRate == 48000 ? samples : readAll(file, 48000.0, f.channels), 48000,
                                 f.channels, false);
        auto m = LoudnessNormalizer::measure(file);
        ASSERT_TRUE(at48.integrated.has_value());
        ASSERT_TRUE(m.integratedLUFS.has_value());
        EXPECT_NEAR(*m.integratedLUFS, *at48.integrated, 0.05);
        EXPECT_NEAR(m.truePeakDBTP, ref.truePeakDB, 0.1);
        EXPECT_EQ(m.sampleRate, f.sampleRate);
        EXPECT_NEAR(m.durationSeconds, static_cast<double>(samples.size()) / f.channels / f.sampleRate, 1e-9);
        EXPECT_LT(m.noiseFloorDB, m.rmsDB);
        EXPECT_LE(m.samplePeakDB, m.truePeakDBTP);
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace lw
