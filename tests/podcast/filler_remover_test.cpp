#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "audio/podcast/FillerRemover.h"

using namespace lw;
using FillerRemover::SpeechFrame;

TEST(FillerRemover, NormalisedWordsAndFillerPattern) {
    EXPECT_EQ(FillerRemover::normalised("\u201cUm,\u201d"), "um");
    EXPECT_EQ(FillerRemover::normalised("It\u2019s"), "it's");
    EXPECT_EQ(FillerRemover::normalised("  ...  "), "");
    EXPECT_EQ(FillerRemover::normalised("\u00c9T\u00c9."), "\u00e9t\u00e9");

    for (const char* w : {"um", "umm", "uhm", "uuhhmm", "uh", "uhh", "ah", "aah", "er", "err", "erm", "hmm", "hm",
                          "mm", "mmm"})
        EXPECT_TRUE(FillerRemover::isFiller(w)) << w;
    for (const char* w : {"m", "u", "a", "h", "e", "ahm", "emm", "hum", "mum", "umh", "hmmh", "", "umbrella", "her"})
        EXPECT_FALSE(FillerRemover::isFiller(w)) << w;
}

TEST(FillerRemover, FillerAtStartIsCutIntoTheNextWord) {
    const auto p = FillerRemover::plan(
        {{"Um,", 0.0, 0.3}, {"so", 0.5, 0.7}, {"we", 0.8, 0.9}, {"start.", 1.0, 1.4}}, true, {});
    ASSERT_EQ(p.cuts.size(), 1u);
    EXPECT_DOUBLE_EQ(p.cuts[0].lowerBound, 0.0);
    EXPECT_DOUBLE_EQ(p.cuts[0].upperBound, 0.5);
    EXPECT_EQ(p.removed, (std::map<std::string, int>{{"um", 1}}));
    EXPECT_EQ(p.count(), 1);
    EXPECT_DOUBLE_EQ(p.secondsRemoved(), 0.5);
    ASSERT_EQ(p.words.size(), 3u);
    EXPECT_EQ(p.words[0].text, "So");
    EXPECT_NEAR(p.words[0].start, 0.0, 1e-12);
    EXPECT_NEAR(p.words[0].end, 0.2, 1e-12);
    EXPECT_NEAR(p.words[2].end, 0.9, 1e-12);
}

TEST(FillerRemover, StutterRepeats) {
    struct Case {
        std::vector<CaptionWord> words;
        int removed;
    };
    const std::vector<Case> cases{
        {{{"the", 0, 0.2}, {"the", 0.3, 0.5}, {"end", 0.6, 0.9}}, 1},
        {{{"the.", 0, 0.2}, {"the", 0.3, 0.5}, {"end", 0.6, 0.9}}, 0},   // sentence end
        {{{"the,", 0, 0.2}, {"the", 0.3, 0.5}, {"end", 0.6, 0.9}}, 0},   // comma
        {{{"the", 0, 0.2}, {"the", 0.8, 1.0}, {"end", 1.1, 1.3}}, 0},    // 0.6 s between
        {{{"cat", 0, 0.2}, {"cat", 0.3, 0.5}, {"end", 0.6, 0.9}}, 0},    // not a stutter word
        {{{"I", 0, 0.2}, {"i", 0.3, 0.5}, {"I", 0.6, 0.7}, {"went", 0.8, 1.0}}, 2},  // three: first two go
        {{{"It\u2019s", 0, 0.2}, {"it's", 0.3, 0.5}, {"fine", 0.6, 0.9}}, 1},
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const auto p = FillerRemover::plan(cases[k].words, true, {});
        EXPECT_EQ(p.count(), cases[k].removed) << "case " << k;
        EXPECT_EQ(p.words.size(), cases[k].words.size() - cases[k].removed) << "case " << k;
        if (cases[k].removed) EXPECT_EQ(p.removed.at("repeated words"), cases[k].removed);
        EXPECT_EQ(FillerRemover::plan(cases[k].words, false, {}).count(), 0);
    }
}

TEST(FillerRemover, SentenceEndsAreMended) {
    auto p = FillerRemover::plan({{"It", 0, 0.2}, {"works.", 0.3, 0.6}, {"Uh.", 1.5, 1.8}}, true, {});
    ASSERT_EQ(p.words.size(), 2u);
    EXPECT_EQ(p.words[1].text, "works.");
    p = FillerRemover::plan({{"It", 0, 0.2}, {"works,", 0.3, 0.6}, {"uh.", 1.5, 1.8}, {"next", 2.5, 2.8}}, true, {});
    ASSERT_EQ(p.words.size(), 3u);
    EXPECT_EQ(p.words[1].text, "works.");
    EXPECT_EQ(p.words[2].text, "Next");
    EXPECT_EQ(p.removed, (std::map<std::string, int>{{"uh", 1}}));
    // After a sentence end the word following a filler is capitalised.
    p = FillerRemover::plan({{"Done.", 0, 0.2}, {"erm", 1.0, 1.2}, {"okay", 2.0, 2.2}}, true, {});
    EXPECT_EQ(p.words[1].text, "Okay");
    EXPECT_EQ(p.removed, (std::map<std::string, int>{{"erm", 1}}));
}

TEST(FillerRemover, CategoriesAndMerging) {
    const auto p = FillerRemover::plan({{"ah", 0.0, 0.2}, {"hmm", 1.0, 1.2}, {"mmm", 2.0, 2.2}, {"erm", 3.0, 3.2},
                                        {"word", 4.0, 4.2}},
                                       true, {});
    EXPECT_EQ(p.removed, (std::map<std::string, int>{{"uh", 1}, {"hmm", 1}, {"mmm", 1}, {"erm", 1}}));

    // Filler cuts 0.01 s apart merge; 0.03 s apart they stay two (each ends at its own end because
    // the next word starts 0.35 s or more later... here they are fillers themselves).
    auto near = FillerRemover::plan({{"um", 0.0, 0.5}, {"word", 1.0, 1.2}}, true, {{0.51, 0.7}});
    ASSERT_EQ(near.cuts.size(), 1u);
    EXPECT_DOUBLE_EQ(near.cuts[0].upperBound, 0.7);
    EXPECT_EQ(near.removed.at("unspoken um/uh"), 1);
    auto apart = FillerRemover::plan({{"um", 0.0, 0.5}, {"word", 1.0, 1.2}}, true, {{0.53, 0.7}});
    EXPECT_EQ(apart.cuts.size(), 2u);
    EXPECT_NEAR(apart.secondsRemoved(), 0.5 + 0.17, 1e-12);
    // Hidden ranges given out of order come back sorted and merged.
    auto unordered = FillerRemover::plan({{"a", 0, 0.1}, {"b", 5, 6}}, true, {{3.0, 3.5}, {1.0, 1.5}, {1.4, 2.0}});
    ASSERT_EQ(unordered.cuts.size(), 2u);
    EXPECT_DOUBLE_EQ(unordered.cuts[0].upperBound, 2.0);
    EXPECT_DOUBLE_EQ(unordered.words[1].start, 5 - 1.0 - 0.5);
}

TEST(FillerRemover, WordInsideACutShrinksToItsMovedStart) {
    const auto p = FillerRemover::plan({{"a", 0, 0.5}, {"b", 1.1, 1.3}, {"c", 2.0, 2.5}}, true, {{1.0, 1.5}});
    ASSERT_EQ(p.words.size(), 3u);
    EXPECT_DOUBLE_EQ(p.words[1].start, 1.0);
    EXPECT_DOUBLE_EQ(p.words[1].end, 1.02);
    EXPECT_DOUBLE_EQ(p.words[2].start, 1.5);
}

TEST(FillerRemover, BadWordListsStayValid) {
    // Zero-length, overlapping and empty words do not break planning.
    const std::vector<CaptionWord> words{{"", 0, 0}, {"um", 0.5, 0.5}, {"uh", 0.4, 0.9}, {"the", 1, 1.2},
                                         {"the", 1.1, 1.3}, {"x", 5, 4}};
    const auto p = FillerRemover::plan(words, true, {});
    for (std::size_t k = 1; k < p.cuts.size(); ++k) EXPECT_GT(p.cuts[k].lowerBound, p.cuts[k - 1].upperBound);
    for (const auto& w : p.words) EXPECT_GE(w.end, w.start + 0.02 - 1e-12);
    EXPECT_TRUE(FillerRemover::plan({}, true, {}).words.empty());
}

namespace {
std::vector<SpeechFrame> frames(std::size_t n, float level, float brightness = -10) {
    return std::vector<SpeechFrame>(n, SpeechFrame{level, brightness});
}
void fill(std::vector<SpeechFrame>& f, std::size_t a, std::size_t b, float level, float brightness) {
    for (std::size_t m = a; m < b; ++m) f[m] = {level, brightness};
}
}  // namespace

TEST(FillerRemover, HiddenFillerInsideADrawnOutWord) {
    // 4 s of room tone at -50 dB with loud speech elsewhere. The word "so" spans 1.0-2.0 s (far
    // longer than the 0.26 s expected): a lively voiced run 1.0-1.2 s, a gap, then a steady run
    // (the unwritten "uh") 1.3-1.7 s, then quiet.
    auto f = frames(200, -50);
    for (std::size_t m = 120; m < 200; ++m) f[m] = {m % 2 ? -10.0f : -16.0f, m % 3 ? -5.0f : -12.0f};
    for (std::size_t m = 50; m < 60; ++m) f[m] = {m % 2 ? -12.0f : -18.0f, m % 3 ? -4.0f : -11.0f};
    fill(f, 65, 85, -14, -20);
    const std::vector<CaptionWord> words{{"so", 1.0, 2.0}, {"then", 2.4, 2.8}};
    const auto cuts = FillerRemover::hiddenFillerCuts(words, f);
    ASSERT_EQ(cuts.size(), 1u);
    // Gap before: runs end at 60, candidate starts at 65: g1 = 62; after: ends at 85, the span's
    // end is frame 100: g2 = 92.
    EXPECT_NEAR(cuts[0].lowerBound, 62 * 0.02, 1e-9);
    EXPECT_NEAR(cuts[0].upperBound, 92 * 0.02, 1e-9);

    // An unsteady middle run, too few frames, only fillers, or no words give nothing.
    auto unsteady = f;
    for (std::size_t m = 65; m < 85; ++m) unsteady[m].brightnessDB = m % 2 ? -30.0f : -10.0f;
    EXPECT_TRUE(FillerRemover::hiddenFillerCuts(words, unsteady).empty());
    EXPECT_TRUE(FillerRemover::hiddenFillerCuts(words, frames(50, -20)).empty());
    EXPECT_TRUE(FillerRemover::hiddenFillerCuts({{"um", 1.0, 2.0}, {"uh", 2.4, 2.8}}, f).empty());
    EXPECT_TRUE(FillerRemover::hiddenFillerCuts({}, f).empty());
    EXPECT_TRUE(FillerRemover::hiddenFillerCuts(words, frames(200, -80)).empty());
    // Words past the end of the frames or with bad times are skipped without harm.
    EXPECT_TRUE(FillerRemover::hiddenFillerCuts({{"late", 100, 102}, {"back", 3, 1}, {"nan", std::nan(""), 1}}, f).empty());
}
