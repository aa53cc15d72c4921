#include "audio/podcast/FillerRemover.h"

#include <algorithm>
#include <cmath>

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace lw::FillerRemover {

namespace {

bool endsWithAny(const std::string& text, std::string_view marks) {
    return !text.empty() && marks.find(text.back()) != std::string_view::npos;
}
bool endsSentence(const std::string& text) { return endsWithAny(text, ".?!"); }

// Runs of equal characters, for the filler grammar.
struct Run {
    char c;
    std::size_t n;
};

std::vector<Run> runs(const std::string& s) {
    std::vector<Run> out;
    for (char c : s) {
        if (!out.empty() && out.back().c == c)
            ++out.back().n;
        else
            out.push_back({c, 1});
    }
    return out;
}

// Capitalises the first code point.
std::string capitalised(const std::string& text) {
    int32_t offset = 0;
    UChar32 c;
    U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), offset, static_cast<int32_t>(text.size()), c);
    if (c < 0) return text;
    const UChar32 upper = u_toupper(c);
    if (upper == c) return text;
    std::string out;
    icu::UnicodeString(upper).toUTF8String(out);
    return out + text.substr(static_cast<std::size_t>(offset));
}

// Seconds of the cuts that lie before t. `cuts` ascending and disjoint; `prefix[k]` is the total
// length of cuts[0..k).
double removedBefore(double t, const std::vector<TimeRange>& cuts, const std::vector<double>& prefix) {
    // First cut that ends after t: every cut before it lies wholly before t.
    const auto it = std::upper_bound(cuts.begin(), cuts.end(), t,
                                     [](double value, const TimeRange& r) { return value < r.upperBound; });
    const auto k = static_cast<std::size_t>(it - cuts.begin());
    double total = prefix[k];
    if (it != cuts.end()) total += std::max(0.0, std::min(t, it->upperBound) - it->lowerBound);
    return total;
}

// Appends `cut`, merging it into the last one when it starts at most 0.02 s after that one's end.
void appendMerging(std::vector<TimeRange>& cuts, const TimeRange& cut) {
    if (!cuts.empty() && cut.lowerBound <= cuts.back().upperBound + 0.02)
        cuts.back().upperBound = std::max(cuts.back().upperBound, cut.upperBound);
    else
        cuts.push_back(cut);
}

double steadiness(const std::vector<SpeechFrame>& frames, std::size_t a, std::size_t b) {
    if (b - a < 4) return 0;
    float lo = frames[a + 1].levelDB, hi = lo;
    for (std::size_t m = a + 1; m <= b - 2; ++m) {
        lo = std::min(lo, frames[m].levelDB);
        hi = std::max(hi, frames[m].levelDB);
    }
    if (hi - lo > 9.0f) return 0;
    std::size_t steady = 0;
    for (std::size_t m = a + 1; m + 1 <= b - 2; ++m) {
        if (std::fabs(frames[m + 1].levelDB - frames[m].levelDB) < 3.0f &&
            std::fabs(frames[m + 1].brightnessDB - frames[m].brightnessDB) < 3.0f)
            ++steady;
    }
    return static_cast<double>(steady) / static_cast<double>(b - a - 3);
}

}  // namespace

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
    static const std::set<std::string> words{"i",  "we",  "the", "a",    "an", "to",   "and", "it",    "of",
                                             "in", "you", "he",  "she",  "they", "my", "this", "but",  "if",
                                             "is", "it's", "i'm", "we're", "on", "for", "with"};
    return words;
}

std::string normalised(const std::string& text) {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
    u.toLower(icu::Locale::getRoot());
    auto strip = [](UChar32 c) { return u_ispunct(c) || c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; };
    int32_t begin = 0, end = u.length();
    while (begin < end && strip(u.char32At(begin))) begin = u.moveIndex32(begin, 1);
    while (end > begin) {
        const int32_t previous = u.moveIndex32(end, -1);
        if (!strip(u.char32At(previous))) break;
        end = previous;
    }
    icu::UnicodeString core = u.tempSubStringBetween(begin, end);
    core.findAndReplace(icu::UnicodeString(static_cast<UChar32>(0x2019)), icu::UnicodeString(u'\''));
    std::string out;
    core.toUTF8String(out);
    return out;
}

bool isFiller(const std::string& word) {
    const auto r = runs(word);
    auto is = [&](std::size_t i, char c) { return i < r.size() && r[i].c == c; };
    switch (r.size()) {
        case 1: return is(0, 'm') && r[0].n >= 2;                                     // m{2,}
        case 2:
            return (is(0, 'u') && (is(1, 'm') || is(1, 'h'))) ||                      // u+m+, u+h+
                   (is(0, 'a') && is(1, 'h')) || (is(0, 'e') && is(1, 'r')) ||        // a+h+, e+r+
                   (is(0, 'h') && is(1, 'm'));                                        // h+m+
        case 3: return (is(0, 'u') && is(1, 'h') && is(2, 'm')) ||                    // u+h+m+
                       (is(0, 'e') && is(1, 'r') && is(2, 'm'));                      // e+r+m+
        default: return false;
    }
}

Plan plan(const std::vector<CaptionWord>& words, bool removeRepeats, const std::vector<TimeRange>& hiddenFillers) {
    const std::size_t n = words.size();
    Plan result;
    std::vector<std::string> norm(n);
    for (std::size_t i = 0; i < n; ++i) norm[i] = normalised(words[i].text);

    // 1. Mark fillers and the first of each stutter pair.
    std::vector<bool> marked(n, false);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& w = norm[i];
        if (isFiller(w)) {
            marked[i] = true;
            const bool uaStart = w[0] == 'u' || w[0] == 'a';
            const std::string category = uaStart ? (w.find('m') != std::string::npos ? "um" : "uh") : w;
            ++result.removed[category];
        } else if (removeRepeats && i + 1 < n && w == norm[i + 1] && stutterWords().count(w) &&
                   words[i + 1].start - words[i].end < 0.6 && !endsWithAny(words[i].text, ".?!,;:")) {
            marked[i] = true;
            ++result.removed["repeated words"];
        }
    }

    // 2. Cuts from marked words, running into the next word when it follows closely.
    for (std::size_t i = 0; i < n; ++i) {
        if (!marked[i]) continue;
        double end = words[i].end;
        if (i + 1 < n && words[i + 1].start - words[i].end < 0.35) end = words[i + 1].start;
        const TimeRange cut{words[i].start, end};
        if (!(cut.upperBound > cut.lowerBound)) continue;
        appendMerging(result.cuts, cut);
    }

    // 3. Fillers the recogniser did not write.
    if (!hiddenFillers.empty()) {
        result.removed["unspoken um/uh"] += static_cast<int>(hiddenFillers.size());
        std::vector<TimeRange> all = result.cuts;
        for (const auto& r : hiddenFillers)
            if (r.upperBound > r.lowerBound) all.push_back(r);
        std::stable_sort(all.begin(), all.end(),
                         [](const TimeRange& a, const TimeRange& b) { return a.lowerBound < b.lowerBound; });
        result.cuts.clear();
        for (const auto& r : all) appendMerging(result.cuts, r);
    }

    // 4. Kept words with sentence ends mended and times moved.
    std::vector<double> prefix(result.cuts.size() + 1, 0.0);
    for (std::size_t k = 0; k < result.cuts.size(); ++k) prefix[k + 1] = prefix[k] + result.cuts[k].length();
    bool capitalise = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (marked[i]) {
            if (i == 0 || endsSentence(words[i - 1].text)) capitalise = true;
            if (endsSentence(words[i].text) && !result.words.empty()) {
                std::string& last = result.words.back().text;
                if (endsWithAny(last, ",;:")) last.pop_back();
                if (!endsSentence(last)) last += words[i].text.back();
                capitalise = true;
            }
            continue;
        }
        CaptionWord w = words[i];
        if (capitalise && !w.text.empty()) {
            w.text = capitalised(w.text);
            capitalise = false;
        }
        const double start = w.start - removedBefore(w.start, result.cuts, prefix);
        const double end = w.end - removedBefore(w.end, result.cuts, prefix);
        w.start = start;
        w.end = std::max(end, start + 0.02);
        result.words.push_back(std::move(w));
    }
    return result;
}

std::vector<TimeRange> hiddenFillerCuts(const std::vector<CaptionWord>& words, const std::vector<SpeechFrame>& frames) {
    if (frames.size() < 51) return {};
    std::vector<float> levels;
    levels.reserve(frames.size());
    for (const auto& f : frames)
        if (f.levelDB > -60.0f) levels.push_back(f.levelDB);
    if (levels.empty()) return {};
    std::sort(levels.begin(), levels.end());
    const float threshold = levels[3 * levels.size() / 4] - 20.0f;
    if (words.empty()) return {};

    const double frameCount = static_cast<double>(frames.size());
    std::vector<TimeRange> out;
    for (const auto& word : words) {
        const std::string norm = normalised(word.text);
        if (norm.empty() || isFiller(norm)) continue;
        const double expected = std::min(0.11 + 0.075 * static_cast<double>(characterCount(norm)), 0.9);
        if (!(word.end - word.start - expected >= 0.2)) continue;

        const double firstFrame = std::clamp(std::trunc(word.start / frameSeconds), 0.0, frameCount);
        const double lastFrame = std::clamp(std::ceil(word.end / frameSeconds), 0.0, frameCount);
        if (!(lastFrame - firstFrame >= 12)) continue;
        const auto first = static_cast<std::size_t>(firstFrame), last = static_cast<std::size_t>(lastFrame);

        struct Span {
            std::size_t a, b;
        };
        std::vector<Span> voiced;
        std::size_t runStart = first;
        bool inRun = false;
        for (std::size_t m = first; m <= last; ++m) {
            const bool v = m < last && frames[m].levelDB > threshold;
            if (v && !inRun) {
                inRun = true;
                runStart = m;
            } else if (!v && inRun) {
                inRun = false;
                if (m - runStart >= 3) voiced.push_back({runStart, m});
            }
        }
        if (voiced.size() < 2) continue;

        std::size_t candidate = voiced.size(), candidates = 0;
        for (std::size_t k = 0; k < voiced.size(); ++k) {
            const std::size_t length = voiced[k].b - voiced[k].a;  // 8...50 frames is 0.16...1.0 s
            if (length >= 8 && length <= 50 && steadiness(frames, voiced[k].a, voiced[k].b) >= 0.8) {
                candidate = k;
                ++candidates;
            }
        }
        if (candidates != 1) continue;
        bool otherVoiced = false;
        for (std::size_t k = 0; k < voiced.size(); ++k)
            if (k != candidate && voiced[k].b - voiced[k].a >= 4) otherVoiced = true;
        if (!otherVoiced) continue;

        const std::size_t a = voiced[candidate].a, b = voiced[candidate].b;
        const std::size_t s = candidate == 0 ? first : voiced[candidate - 1].b;
        const std::size_t e = candidate + 1 == voiced.size() ? last : voiced[candidate + 1].a;
        const std::size_t g1 = s + (a - s) / 2, g2 = b + (e - b) / 2;
        const double start = std::max(static_cast<double>(g1) * frameSeconds, word.start);
        const double end = std::min(static_cast<double>(g2) * frameSeconds, word.end);
        if (end - start >= 0.12) out.push_back({start, end});
    }
    return out;
}

}  // namespace lw::FillerRemover
