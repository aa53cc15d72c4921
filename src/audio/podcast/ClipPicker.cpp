#include "audio/podcast/ClipPicker.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string>

namespace lw::ClipPicker {

namespace {
bool endsWithAny(const std::string& text, const char* marks) {
    return !text.empty() && std::char_traits<char>::find(marks, std::char_traits<char>::length(marks), text.back());
}
}  // namespace

double liveliestStart(const std::vector<CaptionWord>& words, double duration, double length) {
    if (!(duration > length + 1.0) || words.size() < 9) return 0.0;

    std::vector<double> candidates;
    candidates.push_back(words.front().start);
    for (std::size_t i = 0; i + 1 < words.size(); ++i)
        if (endsWithAny(words[i].text, ".?!")) candidates.push_back(words[i + 1].start);

    std::optional<double> best;
    double bestScore = -1;
    std::size_t j = 0, e = 0;
    for (double m : candidates) {
        if (!(duration >= m + length)) continue;
        while (j < words.size() && words[j].start < m) ++j;
        e = std::max(e, j);
        while (e < words.size() && words[e].end <= m + length) ++e;
        double score = 0;
        for (std::size_t k = j; k < e; ++k) score += endsWithAny(words[k].text, "?!") ? 3.0 : 1.0;
        if (score > bestScore + 0.5) {
            bestScore = score;
            best = m;
        }
    }
    return best ? std::max(0.0, *best - 0.25) : 0.0;
}

double loudestStart(const std::vector<float>& levels, double step, double length) {
    if (!(step > 0) || !std::isfinite(length / step)) return 0.0;
    const double blocks = std::trunc(length / step);
    if (!(blocks > 0) || blocks >= static_cast<double>(levels.size())) return 0.0;
    const auto w = static_cast<std::size_t>(blocks);

    float sum = 0;
    for (std::size_t k = 0; k < w; ++k) sum += levels[k];
    float bestSum = sum;
    std::size_t bestIndex = 0;
    for (std::size_t first = 1; first + w <= levels.size(); ++first) {
        sum += levels[first + w - 1];
        sum -= levels[first - 1];
        if (sum > bestSum + 0.000001f) {
            bestSum = sum;
            bestIndex = first;
        }
    }
    return static_cast<double>(bestIndex) * step;
}

}  // namespace lw::ClipPicker
