#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/podcast/ClipPicker.h"

using namespace lw;

namespace {
std::vector<CaptionWord> evenWords(int count, double from, double spacing, const std::string& text = "word") {
    std::vector<CaptionWord> words;
    for (int i = 0; i < count; ++i) words.push_back({text, from + i * spacing, from + i * spacing + spacing * 0.8});
    return words;
}
}  // namespace

TEST(ClipPicker, LoudestWindowTable) {
    struct Case {
        std::vector<float> levels;
        double step, length, expected;
    };
    const std::vector<Case> cases{
        {{1, 5, 5, 1}, 0.5, 1.0, 0.5},       // sums 6, 10, 6
        {{1, 5, 5, 1}, 0.5, 2.0, 0.0},       // window as long as the list
        {{1, 5, 5, 1}, 0.5, 5.0, 0.0},       // longer than the list
        {{1, 5, 5, 1}, 0.5, 0.2, 0.0},       // shorter than one block
        {{3, 3, 3, 3, 3}, 1.0, 2.0, 0.0},    // ties keep the earliest
        {{0, 0, 0, 9}, 1.0, 1.0, 3.0},       // the last block
        {{}, 0.5, 1.0, 0.0},
        {{1, 2, 3}, 0.0, 1.0, 0.0},          // no step
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(ClipPicker::loudestStart(c.levels, c.step, c.length), c.expected)
            << "levels " << c.levels.size() << " length " << c.length;
}

TEST(ClipPicker, LiveliestReturnsZeroForShortEpisodesOrFewWords) {
    const auto words = evenWords(100, 0, 0.4);
    EXPECT_EQ(ClipPicker::liveliestStart(words, 46, 45), 0.0);
    EXPECT_EQ(ClipPicker::liveliestStart(evenWords(8, 10, 0.4), 600, 45), 0.0);
    EXPECT_EQ(ClipPicker::liveliestStart({}, 600, 45), 0.0);
}

TEST(ClipPicker, LiveliestPrefersQuestionsAndKeepsTheEarliestOfEqualScores) {
    // Sentence starts at 10 s (20 words, one question: score 22), at 40 s (21 words: 21) and at
    // 70 s (22 words: 22, not more than 0.5 above). Clip length 10 s.
    std::vector<CaptionWord> words{{"Intro.", 0.0, 0.5}};
    auto add = [&](double at, int count, bool question) {
        for (int i = 0; i < count; ++i) {
            std::string text = "w";
            if (i == count - 1) text = question ? "why?" : "end.";
            words.push_back({text, at + i * 0.4, at + i * 0.4 + 0.3});
        }
    };
    words.front().text = "Intro.";
    add(10, 20, true);
    add(40, 21, false);
    add(70, 22, false);
    EXPECT_DOUBLE_EQ(ClipPicker::liveliestStart(words, 200, 10), 10 - 0.25);
}

TEST(ClipPicker, LiveliestOnlyConsidersStartsThatFit) {
    // 60 s episode, 45 s clip: only starts at or before 15 s count.
    std::vector<CaptionWord> words;
    for (int i = 0; i < 100; ++i) {
        const double t = i * 0.59;
        words.push_back({i % 10 == 9 ? "stop." : "w", t, t + 0.3});
    }
    const double start = ClipPicker::liveliestStart(words, 60, 45);
    EXPECT_LE(start + 0.25, 15.0);
    EXPECT_GE(start, 0.0);
}
