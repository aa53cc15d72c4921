// Argument parsing of loudness-bench --normalize: numbers are read strictly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../bench/tools/LoudnessNormalizeMode.h"

namespace lw::bench {
namespace {

TEST(LoudnessBenchArgs, TargetsAreTwoFiniteNumbers) {
    struct Case {
        std::string text;
        std::optional<std::pair<double, double>> parsed;
    };
    const std::vector<Case> cases = {
        {"-16:-1.5", std::make_pair(-16.0, -1.5)},
        {"-23:-2", std::make_pair(-23.0, -2.0)},
        {"-16:-1abc", std::nullopt},
        {"-16abc:-1", std::nullopt},
        {"nan:-1", std::nullopt},
        {"-16:nan", std::nullopt},
        {"-inf:-1", std::nullopt},
        {"-16:1e999", std::nullopt},
        {"-16", std::nullopt},
        {"-16:", std::nullopt},
        {":-1", std::nullopt},
        {"-16:-1:0", std::nullopt},
        {" -16:-1", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parseTarget(c.text), c.parsed) << c.text;
}

TEST(LoudnessBenchArgs, CleanupSpecsAreStrict) {
    const auto spec = parseCleanup("rumble=true,hum=60,gate=off,maxPause=2.5,roomTone=0.5");
    ASSERT_TRUE(spec);
    EXPECT_TRUE(spec->rumbleFilter);
    EXPECT_EQ(spec->humRemoval, CleanupOptions::HumMode::hz60);
    EXPECT_FALSE(spec->noiseGate);
    EXPECT_EQ(spec->maxPauseSeconds, 2.5);
    EXPECT_EQ(spec->roomToneSeconds, 0.5);
    for (const char* bad : {"maxPause=2s", "maxPause=nan", "roomTone=", "gate=maybe", "hum=55", "volume=3", "rumble"})
        EXPECT_FALSE(parseCleanup(bad)) << bad;
}

TEST(LoudnessBenchArgs, UsageErrorsExitWithTwoBeforeAnyWork) {
    // The input does not exist: any attempt to process it would exit 1, not 2.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--normalize", "-16:-1abc", "missing.wav", "out.wav"},
             {"--normalize", "nan:-1", "missing.wav", "out.wav"},
             {"--normalize", "-16:nan", "missing.wav", "out.wav"},
             {"--normalize", "-16:-1", "--cleanup", "maxPause=x", "missing.wav", "out.wav"},
             {"--normalize", "-16:-1", "--cleanup"},
             {"--normalize", "-16:-1", "missing.wav"},
         }) {
        EXPECT_EQ(runNormalizeMode(args), 2) << args[1];
    }
    EXPECT_EQ(runNormalizeMode({"--normalize", "-16:-1", "missing.wav", "out.wav"}), 1);
}

}  // namespace
}  // namespace lw::bench
