// Caption cues and the SRT, WebVTT and plain-text transcript files.
#include <cmath>
#include <cstdio>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include "audio/podcast/Transcriber.h"

namespace lw {

namespace {

bool endsSentence(const std::string& text) {
    return !text.empty() && (text.back() == '.' || text.back() == '?' || text.back() == '!');
}

std::string joined(const std::vector<CaptionWord>& words) {
    std::string out;
    for (const auto& w : words) {
        if (!out.empty()) out += ' ';
        out += w.text;
    }
    return out;
}

// The cue's last word's end, but at least 0.3 s after its start.
double displayedEnd(const CaptionCue& cue) { return std::max(cue.end(), cue.start() + 0.3); }

std::string paragraphMark(double seconds) {
    if (!(seconds > 0)) seconds = 0;
    // Far beyond any recording; keeps the conversion defined.
    const auto whole = static_cast<long long>(std::min(std::trunc(seconds), 1e15));
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "[%02lld:%02lld] ", whole / 60, whole % 60);
    return buffer;
}

}  // namespace

std::size_t characterCount(const std::string& text) {
    bool ascii = true;
    for (unsigned char c : text)
        if (c >= 0x80 || c == '\r') {
            ascii = false;
            break;
        }
    if (ascii) return text.size();

    const icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) return static_cast<std::size_t>(u.countChar32());
    it->setText(u);
    std::size_t count = 0;
    it->first();
    while (it->next() != icu::BreakIterator::DONE) ++count;
    return count;
}

std::string CaptionCue::text() const { return joined(words); }

std::vector<CaptionCue> Transcriber::cues(const std::vector<CaptionWord>& from, int maxCharacters,
                                          double maxDuration) {
    std::vector<CaptionCue> result;
    CaptionCue current;
    std::size_t length = 0;  // sum over the cue's words of (characters + 1)
    for (const auto& w : from) {
        const std::size_t wordLength = characterCount(w.text);
        if (!current.words.empty()) {
            const auto& last = current.words.back();
            const bool tooLong = static_cast<double>(length + wordLength) > static_cast<double>(maxCharacters);
            const bool tooSlow = w.end - current.words.front().start > maxDuration;
            const bool pause = w.start - last.end > 0.8;
            const bool sentence = endsSentence(last.text) && current.words.size() >= 2;
            if (tooLong || tooSlow || pause || sentence) {
                result.push_back(std::move(current));
                current = CaptionCue{};
                length = 0;
            }
        }
        current.words.push_back(w);
        length += wordLength + 1;
    }
    if (!current.words.empty()) result.push_back(std::move(current));
    return result;
}

std::string Transcriber::timestamp(double seconds, const std::string& separator) {
    if (!(seconds > 0)) seconds = 0;
    // Clamp far beyond any recording (about 31 700 years) so the conversion stays defined.
    const double rounded = std::round(std::min(seconds * 1000.0, 1e15));
    const auto ms = static_cast<long long>(rounded);
    char head[64];
    std::snprintf(head, sizeof head, "%02lld:%02lld:%02lld", ms / 3600000, (ms / 60000) % 60, (ms / 1000) % 60);
    char tail[8];
    std::snprintf(tail, sizeof tail, "%03lld", ms % 1000);
    return std::string(head) + separator + tail;
}

std::string Transcriber::srt(const std::vector<CaptionCue>& cues, double offset) {
    std::string out;
    for (std::size_t i = 0; i < cues.size(); ++i) {
        if (i > 0) out += '\n';
        out += std::to_string(i + 1) + '\n';
        out += timestamp(cues[i].start() + offset, ",") + " --> " + timestamp(displayedEnd(cues[i]) + offset, ",") + '\n';
        out += cues[i].text() + '\n';
    }
    return out;
}

std::string Transcriber::vtt(const std::vector<CaptionCue>& cues, double offset) {
    std::string out = "WEBVTT\n\n";
    for (std::size_t i = 0; i < cues.size(); ++i) {
        if (i > 0) out += '\n';
        out += timestamp(cues[i].start() + offset, ".") + " --> " + timestamp(displayedEnd(cues[i]) + offset, ".") + '\n';
        out += cues[i].text() + '\n';
    }
    return out;
}

std::string Transcriber::plainText(const std::vector<CaptionWord>& words, double offset) {
    std::vector<std::string> lines;
    std::vector<CaptionWord> paragraph;
    double paragraphStart = words.empty() ? 0.0 : words.front().start;
    auto close = [&] {
        lines.push_back(paragraphMark(paragraphStart + offset) + joined(paragraph));
        paragraph.clear();
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        const auto& w = words[i];
        if (!paragraph.empty()) {
            const bool pause = w.start - words[i - 1].end > 1.5;
            const bool longSentence = endsSentence(paragraph.back().text) && paragraph.size() > 80;
            if (pause || longSentence) {
                close();
                paragraphStart = w.start;
            }
        }
        paragraph.push_back(w);
    }
    if (!paragraph.empty()) close();

    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) out += "\n\n";
        out += lines[i];
    }
    return out + '\n';
}

std::vector<CaptionWord> Transcriber::splitMultiWordRuns(const std::vector<CaptionWord>& words) {
    std::vector<CaptionWord> out;
    out.reserve(words.size());
    for (const auto& w : words) {
        std::vector<std::string> pieces;
        std::size_t i = 0;
        while (i < w.text.size()) {
            while (i < w.text.size() && w.text[i] == ' ') ++i;
            std::size_t j = i;
            while (j < w.text.size() && w.text[j] != ' ') ++j;
            if (j > i) pieces.push_back(w.text.substr(i, j - i));
            i = j;
        }
        if (pieces.size() < 2) {
            out.push_back(w);
            continue;
        }
        const double d = (w.end - w.start) / static_cast<double>(pieces.size());
        for (std::size_t k = 0; k < pieces.size(); ++k)
            out.push_back({pieces[k], w.start + static_cast<double>(k) * d, w.start + static_cast<double>(k + 1) * d});
    }
    return out;
}

}  // namespace lw
