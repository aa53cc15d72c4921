#pragma once
// Chapter marks: the user's chapter list, automatic chapters from the transcript, tidying, and
// the JSON, text and ffmpeg chapter files. Also the one way times are shown and read as clock text.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/podcast/Transcriber.h"

namespace lw {

struct Chapter {
    double start = 0;  // seconds from the beginning of the episode
    std::string title;
    bool operator==(const Chapter&) const = default;
};

namespace ChapterBuilder {

// Entries separated by line feeds and ";", each "TIME TITLE"; unreadable entries are ignored.
// Sorted by start (stable).
std::vector<Chapter> parse(const std::string& text);
// "90", "1:30", "1:02:03", "2:30.5"; nothing when the text is not a time.
std::optional<double> seconds(const std::string& text);
// "MM:SS" below an hour unless alwaysHours, else "H:MM:SS".
std::string clock(double seconds, bool alwaysHours);
// What tidying left out, for the caller to report.
struct TidyNotes {
    std::vector<Chapter> outside;  // starting before 0, or less than a second before the end or later
    // Chapters starting less than a millisecond apart are kept once, as the first in the list:
    // each kept chapter with the ones left out for it.
    std::vector<std::pair<Chapter, std::vector<Chapter>>> merged;
};
// Drops chapters outside [0, duration - 1), sorts, keeps one chapter per start time (the chapter
// files count in milliseconds, so no chapter has zero length), and makes the first start at 0.
std::vector<Chapter> tidy(std::vector<Chapter> chapters, double duration, TidyNotes* notes = nullptr);
// Chapters at long pauses and sentence ends, at least `minimumLength` apart (default
// max(duration / 12, 60 s)).
std::vector<Chapter> automatic(const std::vector<CaptionWord>& words, double duration,
                               std::optional<double> minimumLength = std::nullopt);
// Up to 7 words from `index`, stopping after a sentence end; "Chapter" when empty.
std::string title(const std::vector<CaptionWord>& from, std::size_t at);
// Podcasting 2.0 chapters document.
std::vector<std::uint8_t> json(const std::vector<Chapter>& chapters);
std::string text(const std::vector<Chapter>& chapters);
// ";FFMETADATA1" chapter file for ffmpeg.
std::string ffmetadata(const std::vector<Chapter>& chapters, double duration);

}  // namespace ChapterBuilder
}  // namespace lw
