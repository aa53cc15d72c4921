#pragma once
// Which stretches of an episode to cut to remove spoken fillers, stutter repeats and fillers the
// recogniser did not write, and the word list of the shortened episode. Pure functions.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "audio/LoudnessNormalizer.h"  // TimeRange, FillerRemover::SpeechFrame
#include "audio/podcast/Transcriber.h"

namespace lw::FillerRemover {

inline constexpr double frameSeconds = 0.02;

struct Plan {
    std::vector<TimeRange> cuts;            // ascending, non-overlapping
    std::vector<CaptionWord> words;         // kept words with moved times
    std::map<std::string, int> removed;     // category -> count

    double secondsRemoved() const;
    int count() const;
    bool operator==(const Plan&) const = default;
};

// The 25 short words that count as a stutter when doubled.
const std::set<std::string>& stutterWords();

// Lower-cased, punctuation and white space stripped at both ends, U+2019 made an apostrophe.
std::string normalised(const std::string& text);
// Whether a normalised word is a filler (um, uh, ah, er, erm, hmm, mm, ...).
bool isFiller(const std::string& normalisedWord);

Plan plan(const std::vector<CaptionWord>& words, bool removeRepeats, const std::vector<TimeRange>& hiddenFillers);
std::vector<TimeRange> hiddenFillerCuts(const std::vector<CaptionWord>& words, const std::vector<SpeechFrame>& frames);

}  // namespace lw::FillerRemover
