#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "audio/podcast/ChapterBuilder.h"

using namespace lw;

namespace {
std::string str(const std::vector<std::uint8_t>& data) { return {data.begin(), data.end()}; }
}  // namespace

TEST(ChapterBuilder, SecondsGrammar) {
    struct Case {
        std::string text;
        std::optional<double> expected;
    };
    const std::vector<Case> cases{
        {"90", 90},          {"1:30", 90},      {"1::30", 90},       {"1:02:03", 3723}, {"2:30.5", 150.5},
        {"05", 5},           {"7.5", 7.5},      {":30", 30},         {"", std::nullopt}, {":", std::nullopt},
        {"1:2:3:4", std::nullopt}, {"abc", std::nullopt}, {"1:3o", std::nullopt}, {"1e3", std::nullopt},
        {"nan", std::nullopt}, {"inf", std::nullopt}, {" 5", std::nullopt}, {"5.", 5}, {".5", 0.5},
        {"-", std::nullopt}, {"..", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ChapterBuilder::seconds(c.text), c.expected) << '"' << c.text << '"';
}

TEST(ChapterBuilder, ClockTexts) {
    EXPECT_EQ(ChapterBuilder::clock(59.9, false), "00:59");
    EXPECT_EQ(ChapterBuilder::clock(3599.99, false), "59:59");
    EXPECT_EQ(ChapterBuilder::clock(3600, false), "1:00:00");
    EXPECT_EQ(ChapterBuilder::clock(5, true), "0:00:05");
    EXPECT_EQ(ChapterBuilder::clock(-3, false), "00:00");
    EXPECT_EQ(ChapterBuilder::clock(std::nan(""), false), "00:00");
    EXPECT_EQ(ChapterBuilder::clock(36000 + 61, false), "10:01:01");
}

TEST(ChapterBuilder, ParsesListsAndIgnoresBadEntries) {
    auto chapters = ChapterBuilder::parse("0:00 Intro\n5:30 - Interview\n\nbad line\n1:00:00 Wrap-up");
    ASSERT_EQ(chapters.size(), 3u);
    EXPECT_EQ(chapters[0], (Chapter{0, "Intro"}));
    EXPECT_EQ(chapters[1], (Chapter{330, "Interview"}));
    EXPECT_EQ(chapters[2], (Chapter{3600, "Wrap-up"}));

    chapters = ChapterBuilder::parse("5:30 Interview; 0:00 Intro");
    ASSERT_EQ(chapters.size(), 2u);
    EXPECT_EQ(chapters[0].title, "Intro");
    EXPECT_EQ(chapters[1].title, "Interview");

    EXPECT_EQ(ChapterBuilder::parse("12:00 \u2014 Listener questions")[0].title, "Listener questions");
    EXPECT_EQ(ChapterBuilder::parse("1:00\t\u2013 Tabbed \u2013")[0].title, "Tabbed");
    EXPECT_TRUE(ChapterBuilder::parse("5:30").empty());
    EXPECT_TRUE(ChapterBuilder::parse("5:30 -- ").empty());
    EXPECT_TRUE(ChapterBuilder::parse("x:30 Title; 1:2:3:4 Four").empty());
    EXPECT_TRUE(ChapterBuilder::parse("").empty());
    EXPECT_TRUE(ChapterBuilder::parse(";;\n\n").empty());

    // Equal starts keep their order; Windows line ends do not leak into titles.
    chapters = ChapterBuilder::parse("1:00 B\r\n0:30 A\r\n1:00 C\r\n");
    ASSERT_EQ(chapters.size(), 3u);
    EXPECT_EQ(chapters[0].title, "A");
    EXPECT_EQ(chapters[1].title, "B");
    EXPECT_EQ(chapters[2].title, "C");
    // Other space separators are stripped at the ends like spaces.
    EXPECT_EQ(ChapterBuilder::parse("\u00a02:00 \u2003Title\u00a0")[0], (Chapter{120, "Title"}));
}

TEST(ChapterBuilder, Tidy) {
    auto t = ChapterBuilder::tidy({{10, "B"}, {2, "A"}}, 100);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0], (Chapter{0, "Start"}));
    EXPECT_EQ(t[1], (Chapter{2, "A"}));

    t = ChapterBuilder::tidy({{0.5, "A"}, {10, "B"}}, 100);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0], (Chapter{0, "A"}));

    t = ChapterBuilder::tidy({{0, "A"}, {99.5, "Late"}, {120, "Past"}, {-1, "Neg"}, {std::nan(""), "NaN"}}, 100);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].title, "A");
    EXPECT_TRUE(ChapterBuilder::tidy({}, 100).empty());

    // One chapter per start time, to the millisecond the chapter files count in: the first listed
    // is kept, and the notes say what was left out and why.
    ChapterBuilder::TidyNotes notes;
    t = ChapterBuilder::tidy({{10, "B"}, {5, "A"}, {5, "A2"}, {10.0004, "B2"}, {5, "A3"}, {20.002, "C"}, {20, "D"},
                              {150, "Past"}},
                             100, &notes);
    EXPECT_EQ(t, (std::vector<Chapter>{{0, "Start"}, {5, "A"}, {10, "B"}, {20, "D"}, {20.002, "C"}}));
    EXPECT_EQ(notes.outside, (std::vector<Chapter>{{150, "Past"}}));
    ASSERT_EQ(notes.merged.size(), 2u);
    EXPECT_EQ(notes.merged[0].first, (Chapter{5, "A"}));
    EXPECT_EQ(notes.merged[0].second, (std::vector<Chapter>{{5, "A2"}, {5, "A3"}}));
    EXPECT_EQ(notes.merged[1].first, (Chapter{10, "B"}));
    EXPECT_EQ(notes.merged[1].second, (std::vector<Chapter>{{10.0004, "B2"}}));
    const std::string file = ChapterBuilder::ffmetadata(t, 100);
    for (std::size_t at = 0; (at = file.find("START=", at)) != std::string::npos; ++at) {
        const auto start = file.substr(at + 6, file.find('\n', at) - at - 6);
        const std::size_t endAt = file.find("END=", at);
        EXPECT_NE(start, file.substr(endAt + 4, file.find('\n', endAt) - endAt - 4)) << file;
    }
    t = ChapterBuilder::tidy({{0.0004, "A"}, {0.0009, "B"}}, 100);
    EXPECT_EQ(t, (std::vector<Chapter>{{0, "A"}}));
    EXPECT_TRUE(ChapterBuilder::tidy({{0, "A"}}, 0.5).empty());
}

TEST(ChapterBuilder, Titles) {
    const std::vector<CaptionWord> words{{"so", 0, 1}, {"welcome", 0, 1}, {"back.", 0, 1}, {"one", 0, 1},
                                         {"two", 0, 1}, {"three", 0, 1},  {"four", 0, 1},  {"five", 0, 1},
                                         {"six", 0, 1}, {"seven", 0, 1},  {"eight", 0, 1}};
    EXPECT_EQ(ChapterBuilder::title(words, 0), "so welcome back");
    EXPECT_EQ(ChapterBuilder::title(words, 3), "one two three four five six seven\u2026");
    EXPECT_EQ(ChapterBuilder::title(words, 9), "seven eight");
    EXPECT_EQ(ChapterBuilder::title(words, 11), "Chapter");
    EXPECT_EQ(ChapterBuilder::title({{"...", 0, 1}}, 0), "Chapter");
    EXPECT_EQ(ChapterBuilder::title({{"Why?", 0, 1}, {"x", 0, 1}}, 0), "Why?");
}

TEST(ChapterBuilder, AutomaticChaptersKeepTheirDistance) {
    // 30 minutes, six-word sentences 7.3 s apart with 1.5 s pauses: chapters at least 150 s
    // apart and none in the last 75 s.
    std::vector<CaptionWord> words;
    for (double t = 0; t < 1800; t += 7.3)
        for (int k = 0; k < 6; ++k) words.push_back({k == 5 ? "end." : "word", t + k * 1.0, t + k * 1.0 + 0.8});
    const auto chapters = ChapterBuilder::automatic(words, 1800);
    ASSERT_GT(chapters.size(), 5u);
    EXPECT_EQ(chapters[0].start, 0);
    EXPECT_EQ(chapters[0].title, "word word word word word end");
    for (std::size_t i = 1; i < chapters.size(); ++i) {
        EXPECT_GE(chapters[i].start - chapters[i - 1].start, 150 - 0.3 - 1e-9);
        EXPECT_LE(chapters[i].start + 0.3, 1800 - 75);
    }
    EXPECT_TRUE(ChapterBuilder::automatic({}, 1800).empty());

    // A 1.2 s gap opens a chapter only after a sentence end; 2 s always does.
    const std::vector<CaptionWord> two{{"a", 0, 1}, {"b", 2.2, 3}, {"c", 5, 6}, {"d", 100, 101}};
    const auto c = ChapterBuilder::automatic(two, 200, 1.0);
    ASSERT_EQ(c.size(), 3u);
    EXPECT_DOUBLE_EQ(c[1].start, 4.7);
    EXPECT_DOUBLE_EQ(c[2].start, 99.7);
}

TEST(ChapterBuilder, JsonDocumentLayout) {
    const std::string one = str(ChapterBuilder::json({{0, "Start"}}));
    EXPECT_EQ(one,
              "{\n"
              "  \"chapters\" : [\n"
              "    {\n"
              "      \"startTime\" : 0,\n"
              "      \"title\" : \"Start\"\n"
              "    }\n"
              "  ],\n"
              "  \"version\" : \"1.2.0\"\n"
              "}");
    const std::string many = str(ChapterBuilder::json({{0, "A \"quoted\"\\"}, {330.0004, "B"}, {61.2345, "C\n\x01"},
                                                       {1.5, "caf\xc3\xa9 \xff"}}));
    const auto doc = nlohmann::json::parse(many);
    EXPECT_EQ(doc["version"], "1.2.0");
    ASSERT_EQ(doc["chapters"].size(), 4u);
    EXPECT_EQ(doc["chapters"][0]["title"], "A \"quoted\"\\");
    EXPECT_EQ(doc["chapters"][1]["startTime"], 330);
    EXPECT_DOUBLE_EQ(doc["chapters"][2]["startTime"].get<double>(), 61.235);
    EXPECT_EQ(doc["chapters"][2]["title"], "C\n\x01");
    EXPECT_EQ(doc["chapters"][3]["title"], "caf\xc3\xa9 \xef\xbf\xbd");
    EXPECT_NE(many.find("\"startTime\" : 61.235,"), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(str(ChapterBuilder::json({})))["chapters"].size(), 0u);
}

TEST(ChapterBuilder, TextAndFfmetadata) {
    EXPECT_EQ(ChapterBuilder::text({}), "\n");
    EXPECT_EQ(ChapterBuilder::text({{0, "Intro"}, {330, "Interview"}}), "00:00 Intro\n05:30 Interview\n");
    EXPECT_EQ(ChapterBuilder::text({{0, "Intro"}, {3725, "Late"}}), "0:00:00 Intro\n1:02:05 Late\n");
    // Only a chapter past the hour uses the hour form when the last one is earlier.
    EXPECT_EQ(ChapterBuilder::text({{0, "A"}, {3700, "B"}, {100, "C"}}), "00:00 A\n1:01:40 B\n01:40 C\n");

    EXPECT_EQ(ChapterBuilder::ffmetadata({}, 100), ";FFMETADATA1\n");
    EXPECT_EQ(ChapterBuilder::ffmetadata({{0, "a=b;#c"}, {61.2349, "back\\slash\nnext"}}, 125.5),
              ";FFMETADATA1\n"
              "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=61234\ntitle=a\\=b\\;\\#c\n"
              "[CHAPTER]\nTIMEBASE=1/1000\nSTART=61234\nEND=125500\ntitle=back\\\\slash next\n");
}
