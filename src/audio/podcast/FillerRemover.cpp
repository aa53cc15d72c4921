#include "audio/podcast/FillerRemover.h"

namespace lw::FillerRemover {

double Plan::secondsRemoved() const {
    double total = 0;
    for (const auto& cut : cuts) total += cut.upperBound - cut.lowerBound;
    return total;
}

int Plan::count() const {
    int total = 0;
    for (const auto& [category, n] : removed) total += n;
    return total;
}

const std::set<std::string>& stutterWords() {
    static const std::set<std::string> words{"i",    "we", "the", "a",   "an", "to",  "and",  "it",    "of",
                                             "in",   "you", "he", "she", "they", "my", "this", "but",   "if",
                                             "is",   "it's", "i'm", "we're", "on", "for", "with"};
    return words;
}

std::string normalised(const std::string& text) { return text; }
bool isFiller(const std::string&) { return false; }

Plan plan(const std::vector<CaptionWord>& words, bool, const std::vector<TimeRange>&) { return {{}, words, {}}; }
std::vector<TimeRange> hiddenFillerCuts(const std::vector<CaptionWord>&, const std::vector<SpeechFrame>&) { return {}; }

}  // namespace lw::FillerRemover
