#include "audio/podcast/ChapterBuilder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace lw::ChapterBuilder {

namespace {

bool endsSentence(const std::string& text) {
    return !text.empty() && (text.back() == '.' || text.back() == '?' || text.back() == '!');
}

// Code point at byte i (UTF-8) and its byte length; malformed bytes read as U+FFFD of length 1.
UChar32 codePointAt(const std::string& s, std::size_t i, std::size_t& length) {
    int32_t offset = static_cast<int32_t>(i);
    UChar32 c;
    U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), offset, static_cast<int32_t>(s.size()), c);
    length = static_cast<std::size_t>(offset) - i;
    return c < 0 ? 0xFFFD : c;
}

UChar32 codePointBefore(const std::string& s, std::size_t end, std::size_t& length) {
    int32_t offset = static_cast<int32_t>(end);
    UChar32 c;
    U8_PREV(reinterpret_cast<const uint8_t*>(s.data()), 0, offset, c);
    length = end - static_cast<std::size_t>(offset);
    return c < 0 ? 0xFFFD : c;
}

// Spaces, tabs and the other space separators; not line breaks.
bool isBlank(UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }
bool isDash(UChar32 c) { return c == '-' || c == 0x2013 || c == 0x2014; }

template <class Pred>
std::string stripped(const std::string& s, Pred strip) {
    std::size_t begin = 0, end = s.size(), n = 0;
    while (begin < end && strip(codePointAt(s, begin, n))) begin += n;
    while (end > begin && strip(codePointBefore(s, end, n))) end -= n;
    return s.substr(begin, end - begin);
}

// A plain decimal number: optional sign, digits with an optional fraction (or a fraction alone).
std::optional<double> decimal(const std::string& piece) {
    if (piece.empty()) return std::nullopt;
    std::size_t i = 0;
    if (piece[i] == '+' || piece[i] == '-') ++i;
    std::size_t digits = 0;
    while (i < piece.size() && std::isdigit(static_cast<unsigned char>(piece[i]))) ++i, ++digits;
    if (i < piece.size() && piece[i] == '.') {
        ++i;
        while (i < piece.size() && std::isdigit(static_cast<unsigned char>(piece[i]))) ++i, ++digits;
    }
    if (i != piece.size() || digits == 0) return std::nullopt;
    const double value = std::strtod(piece.c_str(), nullptr);
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

long long wholeSeconds(double seconds) {
    if (!(seconds > 0)) return 0;
    return static_cast<long long>(std::floor(std::min(seconds, 1e15)));
}

long long milliseconds(double seconds) {
    if (std::isnan(seconds)) return 0;
    return static_cast<long long>(std::trunc(std::clamp(seconds * 1000.0, -1e18, 1e18)));
}

// Malformed UTF-8 is written as U+FFFD so the document stays valid.
std::string jsonString(const std::string& text) {
    std::string s;
    for (std::size_t i = 0, n = 0; i < text.size(); i += n) {
        const UChar32 c = codePointAt(text, i, n);
        if (c == 0xFFFD && !(n == 3 && text.compare(i, 3, "\uFFFD") == 0)) {
            s += "\uFFFD";
        } else {
            s.append(text, i, n);
        }
    }
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// Seconds rounded to milliseconds, written as the shortest decimal that reads back the same;
// whole numbers without a decimal point.
std::string jsonSeconds(double seconds) {
    if (!std::isfinite(seconds)) seconds = 0;
    const double ms = std::round(std::clamp(seconds, -1e12, 1e12) * 1000.0);
    const double value = ms / 1000.0;
    if (value == std::trunc(value)) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.0f", value);
        return std::string(buffer) == "-0" ? "0" : buffer;
    }
    char buffer[32];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
        if (std::strtod(buffer, nullptr) == value) break;
    }
    return buffer;
}

}  // namespace

std::optional<double> seconds(const std::string& text) {
    std::vector<std::string> pieces;
    std::size_t i = 0;
    while (i <= text.size()) {
        const std::size_t j = std::min(text.find(':', i), text.size());
        if (j > i) pieces.push_back(text.substr(i, j - i));
        i = j + 1;
    }
    if (pieces.empty() || pieces.size() > 3) return std::nullopt;
    double value = 0;
    for (const auto& piece : pieces) {
        const auto number = decimal(piece);
        if (!number) return std::nullopt;
        value = value * 60 + *number;
    }
    return value;
}

std::vector<Chapter> parse(const std::string& text) {
    std::vector<Chapter> chapters;
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t j = text.find_first_of("\r\n;", i);
        if (j == std::string::npos) j = text.size();
        const std::string entry = stripped(text.substr(i, j - i), isBlank);
        i = j + 1;
        if (entry.empty()) continue;

        // The time runs up to the first space or tab.
        const std::size_t split = entry.find_first_of(" \t");
        if (split == std::string::npos) continue;
        const auto start = seconds(entry.substr(0, split));
        if (!start) continue;
        const std::string title =
            stripped(entry.substr(split), [](UChar32 c) { return isBlank(c) || isDash(c); });
        if (title.empty()) continue;
        chapters.push_back({*start, title});
    }
    std::stable_sort(chapters.begin(), chapters.end(),
                     [](const Chapter& a, const Chapter& b) { return a.start < b.start; });
    return chapters;
}

std::string clock(double seconds, bool alwaysHours) {
    const long long s = wholeSeconds(seconds);
    char buffer[64];
    if (s < 3600 && !alwaysHours)
        std::snprintf(buffer, sizeof buffer, "%02lld:%02lld", s / 60, s % 60);
    else
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
    return buffer;
}

std::vector<Chapter> tidy(std::vector<Chapter> chapters, double duration, TidyNotes* notes) {
    const auto outside = [&](const Chapter& c) { return !(c.start >= 0 && c.start < duration - 1.0); };
    if (notes)
        std::copy_if(chapters.begin(), chapters.end(), std::back_inserter(notes->outside), outside);
    std::erase_if(chapters, outside);
    std::stable_sort(chapters.begin(), chapters.end(),
                     [](const Chapter& a, const Chapter& b) { return a.start < b.start; });
    std::vector<Chapter> kept;
    for (auto& chapter : chapters) {
        // Less than a millisecond apart: the same start in every chapter file.
        if (!kept.empty() && chapter.start * 1000.0 - kept.back().start * 1000.0 < 1.0) {
            if (notes) {
                if (notes->merged.empty() || !(notes->merged.back().first == kept.back()))
                    notes->merged.push_back({kept.back(), {}});
                notes->merged.back().second.push_back(std::move(chapter));
            }
            continue;
        }
        kept.push_back(std::move(chapter));
    }
    if (kept.empty()) return kept;
    if (kept.front().start > 1.0)
        kept.insert(kept.begin(), Chapter{0, "Start"});
    else
        kept.front().start = 0;
    return kept;
}

std::string title(const std::vector<CaptionWord>& from, std::size_t at) {
    std::string joined;
    std::size_t taken = 0;
    bool stoppedAtSentence = false;
    for (std::size_t i = at; i < from.size() && taken < 7; ++i) {
        if (taken > 0) joined += ' ';
        joined += from[i].text;
        ++taken;
        if (endsSentence(from[i].text)) {
            stoppedAtSentence = true;
            break;
        }
    }
    std::string result = stripped(joined, [](UChar32 c) { return c == '.' || c == ',' || c == ';' || c == ':' || c == '!'; });
    if (taken == 7 && !stoppedAtSentence) result += "\u2026";
    return result.empty() ? "Chapter" : result;
}

std::vector<Chapter> automatic(const std::vector<CaptionWord>& words, double duration,
                               std::optional<double> minimumLength) {
    if (words.empty()) return {};
    const double minimum = minimumLength ? *minimumLength : std::max(duration / 12.0, 60.0);
    std::vector<Chapter> chapters{{0, title(words, 0)}};
    double lastStart = words.front().start;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const double gap = words[i].start - words[i - 1].end;
        const bool pause = gap >= 2.0 || (endsSentence(words[i - 1].text) && gap >= 1.2);
        if (pause && words[i].start - lastStart >= minimum && duration - words[i].start >= minimum / 2) {
            chapters.push_back({std::max(0.0, words[i].start - 0.3), title(words, i)});
            lastStart = words[i].start;
        }
    }
    return chapters;
}

std::vector<std::uint8_t> json(const std::vector<Chapter>& chapters) {
    std::string out = "{\n  \"chapters\" : [";
    for (std::size_t i = 0; i < chapters.size(); ++i) {
        out += i == 0 ? "\n" : ",\n";
        out += "    {\n      \"startTime\" : " + jsonSeconds(chapters[i].start) + ",\n";
        out += "      \"title\" : " + jsonString(chapters[i].title) + "\n    }";
    }
    out += chapters.empty() ? "],\n" : "\n  ],\n";
    out += "  \"version\" : \"1.2.0\"\n}";
    return {out.begin(), out.end()};
}

std::string text(const std::vector<Chapter>& chapters) {
    const bool hours = !chapters.empty() && chapters.back().start >= 3600;
    std::string out;
    for (std::size_t i = 0; i < chapters.size(); ++i) {
        if (i > 0) out += '\n';
        out += clock(chapters[i].start, hours) + " " + chapters[i].title;
    }
    return out + '\n';
}

std::string ffmetadata(const std::vector<Chapter>& chapters, double duration) {
    std::string out = ";FFMETADATA1\n";
    for (std::size_t i = 0; i < chapters.size(); ++i) {
        const double end = i + 1 < chapters.size() ? chapters[i + 1].start : duration;
        std::string title;
        for (char c : chapters[i].title) {
            switch (c) {
                case '\\': title += "\\\\"; break;
                case '=': title += "\\="; break;
                case ';': title += "\\;"; break;
                case '#': title += "\\#"; break;
                case '\n':
                case '\r': title += ' '; break;
                default: title += c;
            }
        }
        out += "[CHAPTER]\nTIMEBASE=1/1000\n";
        out += "START=" + std::to_string(milliseconds(chapters[i].start)) + "\n";
        out += "END=" + std::to_string(milliseconds(end)) + "\n";
        out += "title=" + title + "\n";
    }
    return out;
}

}  // namespace lw::ChapterBuilder
