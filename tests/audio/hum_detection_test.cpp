// Mains hum detection on real speech with pauses shorter than a second, hum mixed in by sox.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "AudioTestUtil.h"
#include "audio/HumDetector.h"
#include "audio/PCMStream.h"

namespace lw {
namespace {

using namespace lw::test;

const fs::path kData = "/usr/share/pocketsphinx/test/data";

void sox(const std::string& args) {
    const std::string cmd = "sox -q " + args + " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

std::optional<double> detect(const fs::path& file) {
    const auto format = PCMStream::format(file);
    HumDetector detector(format.sampleRate, format.channels);
    PCMStream::read(file, format.sampleRate, format.channels, std::nullopt,
                    [&](std::span<const float> s, std::size_t frames) { detector.add(s.data(), frames); });
    return detector.finish().frequency;
}

class HumDetectionTest : public ::testing::Test {
protected:
    static fs::path dir;

    static void SetUpTestSuite() {
        dir = makeTempDir("hum");
        // Three male speakers (pitch about 100-130 Hz), 9.8 s of speech, each phrase followed by
        // a pause of room tone: about 10.7 s with 0.3 s pauses, 12.2 s with 0.8 s pauses.
        for (const char* raw : {"goforward", "numbers", "something"})
            sox("-t raw -r 16000 -e signed -b 16 -c 1 " + quoted(kData / (std::string(raw) + ".raw")) + " " +
                quoted(dir / (std::string(raw) + ".wav")));
        for (const char* pause : {"0.3", "0.5", "0.8"}) {
            const fs::path room = dir / ("room" + std::string(pause) + ".wav");
            sox("-n -r 16000 -c 1 " + quoted(room) + " synth " + pause + " pinknoise vol 0.002");
            std::string parts;
            for (const char* raw : {"goforward", "numbers", "something"})
                parts += quoted(dir / (std::string(raw) + ".wav")) + " " + quoted(room) + " ";
            sox(parts + quoted(dir / ("speech" + std::string(pause) + ".wav")));
        }
        sox(quoted(dir / "goforward.wav") + " " + quoted(dir / "numbers.wav") + " " + quoted(dir / "something.wav") + " " +
            quoted(dir / "nopause.wav"));
        // Louder room tone (-58 dBFS) in 0.4 s pauses.
        sox("-n -r 16000 -c 1 " + quoted(dir / "loudroom.wav") + " synth 0.4 pinknoise vol 0.01");
        sox(quoted(dir / "goforward.wav") + " " + quoted(dir / "loudroom.wav") + " " + quoted(dir / "numbers.wav") + " " +
            quoted(dir / "loudroom.wav") + " " + quoted(dir / "something.wav") + " " + quoted(dir / "loudroom.wav") + " " +
            quoted(dir / "loud0.4.wav"));
        // The same speech about five semitones higher (pitch about 130-170 Hz).
        sox(quoted(dir / "speech0.5.wav") + " " + quoted(dir / "higher.wav") + " pitch 500");
        sox("-n -r 16000 -c 1 " + quoted(dir / "roomtone.wav") + " synth 10 pinknoise vol 0.002");
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    // `speech` with hum of `hz` at `amplitude` mixed in; `harmonics` adds the second and third
    // harmonic at half and at 0.3 times that amplitude.
    static fs::path withHum(const std::string& speech, int hz, double amplitude, bool harmonics) {
        const fs::path source = dir / (speech + ".wav");
        const std::string name = speech + "-" + std::to_string(hz) + "-" + std::to_string(amplitude) +
                                 (harmonics ? "-h" : "-pure") + ".wav";
        const fs::path out = dir / name;
        const std::string length = std::to_string(PCMStream::format(source).durationSeconds);
        std::string mix = "-m -v 1 " + quoted(source);
        const std::vector<std::pair<int, double>> tones =
            harmonics ? std::vector<std::pair<int, double>>{{1, 1.0}, {2, 0.5}, {3, 0.3}}
                      : std::vector<std::pair<int, double>>{{1, 1.0}};
        for (const auto& [k, share] : tones) {
            const fs::path tone = dir / ("tone" + std::to_string(k) + "-" + name);
            sox("-n -r 16000 -c 1 " + quoted(tone) + " synth " + length + " sine " + std::to_string(k * hz) + " vol " +
                std::to_string(amplitude * share));
            mix += " -v 1 " + quoted(tone);
        }
        sox(mix + " " + quoted(out));
        return out;
    }
};
fs::path HumDetectionTest::dir;

TEST_F(HumDetectionTest, FindsAudibleHumInShortPausesWithOrWithoutHarmonics) {
    struct Case {
        std::string speech;
        int hz;
        double amplitude;  // of the fundamental; 0.01 is -43 dBFS, 0.004 is -51 dBFS
        bool harmonics;
    };
    const std::vector<Case> cases = {
        {"speech0.3", 60, 0.01, false}, {"speech0.5", 50, 0.01, false}, {"speech0.8", 60, 0.005, false},
        {"speech0.3", 50, 0.02, false}, {"speech0.3", 50, 0.004, true}, {"speech0.5", 60, 0.0025, true},
        {"speech0.8", 50, 0.006, true}, {"higher", 60, 0.008, false},   {"higher", 50, 0.004, true},
        {"loud0.4", 60, 0.006, false},  {"loud0.4", 50, 0.004, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.speech << " " << c.hz << " Hz at " << c.amplitude
                                          << (c.harmonics ? " with harmonics" : " alone"));
        EXPECT_EQ(detect(withHum(c.speech, c.hz, c.amplitude, c.harmonics)), static_cast<double>(c.hz));
    }
}

TEST_F(HumDetectionTest, ReportsNoneWithoutHum) {
    // Clean speech with short pauses, speech pitched at 130-170 Hz (its harmonics pass near 100,
    // 120, 150 and 180 Hz), speech without pauses, and room tone alone.
    for (const char* name : {"speech0.3.wav", "speech0.5.wav", "speech0.8.wav", "higher.wav", "nopause.wav",
                             "loud0.4.wav", "roomtone.wav"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(detect(dir / name), std::nullopt);
    }
}

}  // namespace
}  // namespace lw
