#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio/podcast/Transcriber.h"

using namespace lw;

namespace {
std::vector<std::string> texts(const std::vector<CaptionCue>& cues) {
    std::vector<std::string> out;
    for (const auto& c : cues) out.push_back(c.text());
    return out;
}
}  // namespace

TEST(Captions, CueGroupingRules) {
    using V = std::vector<std::string>;
    // A one-word sentence does not close its cue; a two-word one does.
    EXPECT_EQ(texts(Transcriber::cues({{"Hi.", 0.0, 0.4}, {"there.", 0.5, 0.9}, {"Next", 1.0, 1.3}}, 42, 4.0)),
              (V{"Hi. there.", "Next"}));
    // Pauses: more than 0.8 s splits, exactly 0.8 s does not.
    EXPECT_EQ(texts(Transcriber::cues({{"a", 0.0, 1.0}, {"b", 1.81, 2.0}}, 42, 4.0)), (V{"a", "b"}));
    EXPECT_EQ(texts(Transcriber::cues({{"a", 0.0, 1.0}, {"b", 1.8, 2.0}}, 42, 4.0)), (V{"a b"}));
    // Length: exactly the limit fits ("abcd efgh" is 9), one more does not.
    EXPECT_EQ(texts(Transcriber::cues({{"abcd", 0, 0.1}, {"efgh", 0.2, 0.3}}, 9, 4.0)), (V{"abcd efgh"}));
    EXPECT_EQ(texts(Transcriber::cues({{"abcd", 0, 0.1}, {"efghi", 0.2, 0.3}}, 9, 4.0)), (V{"abcd", "efghi"}));
    // Characters are user-perceived: "café" with a combining accent and an emoji flag count as 4 and 1.
    EXPECT_EQ(texts(Transcriber::cues({{"cafe\xcc\x81", 0, 0.1}, {"\xf0\x9f\x87\xab\xf0\x9f\x87\xb7", 0.2, 0.3}}, 6, 4.0)),
              (V{"cafe\xcc\x81 \xf0\x9f\x87\xab\xf0\x9f\x87\xb7"}));
    // A single word longer than the limit stands alone.
    EXPECT_EQ(texts(Transcriber::cues({{"a", 0, 0.1}, {"extraordinarily", 0.2, 0.3}, {"b", 0.4, 0.5}}, 5, 4.0)),
              (V{"a", "extraordinarily", "b"}));
    // Duration: exactly 4 s fits.
    EXPECT_EQ(texts(Transcriber::cues({{"a", 0, 3.4}, {"b", 3.5, 4.0}}, 42, 4.0)), (V{"a b"}));
    EXPECT_EQ(texts(Transcriber::cues({{"a", 0, 3.4}, {"b", 3.5, 4.01}}, 42, 4.0)), (V{"a", "b"}));
    EXPECT_TRUE(Transcriber::cues({}, 42, 4.0).empty());
}

TEST(Captions, Timestamps) {
    EXPECT_EQ(Transcriber::timestamp(3600 + 120 + 5.4567, ","), "01:02:05,457");
    EXPECT_EQ(Transcriber::timestamp(360000, ","), "100:00:00,000");
    EXPECT_EQ(Transcriber::timestamp(-2, "."), "00:00:00.000");
    EXPECT_EQ(Transcriber::timestamp(std::nan(""), "."), "00:00:00.000");
    EXPECT_EQ(Transcriber::timestamp(0.0005, "."), "00:00:00.001");
    EXPECT_EQ(Transcriber::timestamp(59.9996, ","), "00:01:00,000");
}

TEST(Captions, SrtAndVttFiles) {
    const std::vector<CaptionCue> cues{{{{"Hello", 0.0, 0.4}, {"world.", 0.5, 1.0}}}, {{{"Short", 12.0, 12.1}}}};
    EXPECT_EQ(Transcriber::srt(cues, 0),
              "1\n00:00:00,000 --> 00:00:01,000\nHello world.\n"
              "\n"
              "2\n00:00:12,000 --> 00:00:12,300\nShort\n");
    EXPECT_EQ(Transcriber::vtt(cues, 5),
              "WEBVTT\n\n"
              "00:00:05.000 --> 00:00:06.000\nHello world.\n"
              "\n"
              "00:00:17.000 --> 00:00:17.300\nShort\n");
    EXPECT_EQ(Transcriber::srt({}, 0), "");
    EXPECT_EQ(Transcriber::vtt({}, 0), "WEBVTT\n\n");
    // A cue without words shows from 0 to 0.3 s.
    EXPECT_EQ(Transcriber::srt({CaptionCue{}}, 0), "1\n00:00:00,000 --> 00:00:00,300\n\n");
}

TEST(Captions, PlainTextParagraphs) {
    EXPECT_EQ(Transcriber::plainText({}, 0), "\n");
    EXPECT_EQ(Transcriber::plainText({{"One", 1.0, 1.5}, {"two.", 1.6, 2.0}, {"Three", 4.0, 4.5}}, 0),
              "[00:01] One two.\n\n[00:04] Three\n");
    // 1.5 s exactly keeps the paragraph; an offset moves the marks; minutes do not wrap.
    EXPECT_EQ(Transcriber::plainText({{"a", 3720.0, 3721.0}, {"b", 3722.5, 3723}}, 5), "[62:05] a b\n");

    // A sentence end closes a paragraph once it holds 81 words.
    std::vector<CaptionWord> words;
    for (int i = 0; i < 85; ++i) words.push_back({i == 80 ? "end." : "w", i * 0.3, i * 0.3 + 0.2});
    const std::string text = Transcriber::plainText(words, 0);
    EXPECT_EQ(text.find("[00:24] w w w w\n"), text.size() - 16) << text;
    words[80].text = "w";
    words[79].text = "end.";
    EXPECT_EQ(Transcriber::plainText(words, 0).find("\n\n"), std::string::npos);
}

TEST(Captions, SplitMultiWordRuns) {
    const auto split = Transcriber::splitMultiWordRuns({{"New York", 10.0, 11.0}, {"New  York", 10.0, 11.0},
                                                       {"solo", 1, 2}, {" ", 3, 4}});
    const std::vector<CaptionWord> expected{{"New", 10.0, 10.5}, {"York", 10.5, 11.0}, {"New", 10.0, 10.5},
                                            {"York", 10.5, 11.0}, {"solo", 1, 2}, {" ", 3, 4}};
    EXPECT_EQ(split, expected);
}

namespace {
// Cue start and duration pairs as ffprobe reads a caption file; empty when ffprobe is missing.
std::vector<std::pair<double, double>> probeCues(const std::string& text, const std::string& extension) {
    const auto dir = std::filesystem::temp_directory_path();
    const auto file = dir / ("lw-captions-" + std::to_string(::getpid()) + extension);
    {
        std::ofstream out(file, std::ios::binary);
        out << text;
    }
    std::vector<std::pair<double, double>> cues;
    const std::string command =
        "ffprobe -v error -show_entries packet=pts_time,duration_time -of csv=p=0 '" + file.string() + "' 2>&1";
    if (FILE* pipe = popen(command.c_str(), "r")) {
        double start = 0, duration = 0;
        char line[256];
        while (std::fgets(line, sizeof line, pipe))
            if (std::sscanf(line, "%lf,%lf", &start, &duration) == 2) cues.emplace_back(start, duration);
        pclose(pipe);
    }
    std::filesystem::remove(file);
    return cues;
}
}  // namespace

// A real reader (FFmpeg's subtitle demuxers) finds every cue at its time.
TEST(Captions, FilesParseInARealReader) {
    if (std::system("ffprobe -version > /dev/null 2>&1") != 0) GTEST_SKIP() << "ffprobe not installed";
    std::vector<CaptionWord> words;
    for (int i = 0; i < 120; ++i) {
        const double t = i * 0.45 + (i / 10) * 1.0;
        words.push_back({i % 10 == 9 ? "caf\xc3\xa9." : "word", t, t + 0.35});
    }
    const auto cues = Transcriber::cues(words, 42, 4.0);
    ASSERT_GT(cues.size(), 10u);
    const std::string vtt = Transcriber::vtt(cues, 3.5);
    EXPECT_EQ(vtt.rfind("WEBVTT\n", 0), 0u);
    for (const auto& [text, extension] : {std::pair{Transcriber::srt(cues, 3.5), ".srt"}, std::pair{vtt, ".vtt"}}) {
        const auto read = probeCues(text, extension);
        ASSERT_EQ(read.size(), cues.size()) << extension;
        for (std::size_t i = 0; i < cues.size(); ++i) {
            EXPECT_NEAR(read[i].first, cues[i].start() + 3.5, 0.0011) << extension << " cue " << i;
            EXPECT_NEAR(read[i].second, std::max(cues[i].end(), cues[i].start() + 0.3) - cues[i].start(), 0.0021);
        }
    }
}
