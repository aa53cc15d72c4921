#include "core/TokenRenamer.h"

#include <unicode/calendar.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <charconv>
#include <chrono>
#include <memory>
#include <string_view>
#include <vector>

namespace lw {

namespace {

bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// Replaces every non-overlapping occurrence of `token`, left to right; inserted text is not rescanned.
void replaceAll(std::string& text, std::string_view token, std::string_view value, std::size_t limit) {
    if (token.empty()) return;
    std::size_t pos = text.find(token);
    if (pos == std::string::npos) return;
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    while (pos != std::string::npos) {
        out.append(text, from, pos - from);
        // Past the cap the remaining occurrences stay as written.
        if (out.size() + value.size() + (text.size() - pos - token.size()) > limit) {
            from = pos;
            break;
        }
        out.append(value);
        from = pos + token.size();
        pos = text.find(token, from);
    }
    out.append(text, from, std::string::npos);
    text = std::move(out);
}

// Reads a run of ASCII digits as a signed 64-bit value; nullopt when out of range.
std::optional<std::int64_t> parseWidth(std::string_view digits) {
    std::int64_t value = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || ptr != digits.data() + digits.size()) return std::nullopt;
    return value;
}

// An optional single sign followed by ASCII digits and nothing else, within 64 bits.
std::optional<std::int64_t> parseInteger(std::string_view text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (!isAsciiDigit(c)) return std::nullopt;
    if (negative) {
        std::int64_t value = 0;
        std::string withSign = "-" + std::string(digits);
        auto [ptr, ec] = std::from_chars(withSign.data(), withSign.data() + withSign.size(), value);
        if (ec != std::errc() || ptr != withSign.data() + withSign.size()) return std::nullopt;
        return value;
    }
    return parseWidth(digits);
}

// printf-style "%0Nd": zero padding after the sign, never truncating.
std::string zeroPadded(std::int64_t value, std::int64_t width) {
    std::string digits = std::to_string(value);
    bool negative = value < 0;
    if (negative) digits.erase(0, 1);
    std::size_t signWidth = negative ? 1 : 0;
    std::string out = negative ? "-" : "";
    if (width > 0 && static_cast<std::size_t>(width) > digits.size() + signWidth)
        out.append(static_cast<std::size_t>(width) - digits.size() - signWidth, '0');
    out += digits;
    return out;
}

struct Match {
    std::size_t begin;
    std::size_t end;  // one past the closing brace
    std::string replacement;
};

// Applies replacements found on one text, last to first.
void applyMatches(std::string& text, const std::vector<Match>& matches) {
    for (auto it = matches.rbegin(); it != matches.rend(); ++it)
        text.replace(it->begin, it->end - it->begin, it->replacement);
}

// \{index(?::(\d+))?\}
void expandIndex(std::string& text, std::int64_t index) {
    static constexpr std::string_view head = "{index";
    std::vector<Match> matches;
    std::size_t pos = text.find(head);
    while (pos != std::string::npos) {
        std::size_t cursor = pos + head.size();
        std::optional<std::int64_t> width;
        bool matched = false;
        std::size_t end = 0;
        if (cursor < text.size() && text[cursor] == '}') {
            matched = true;
            width = 1;
            end = cursor + 1;
        } else if (cursor < text.size() && text[cursor] == ':') {
            std::size_t digitsBegin = cursor + 1, d = digitsBegin;
            while (d < text.size() && isAsciiDigit(text[d])) ++d;
            if (d > digitsBegin && d < text.size() && text[d] == '}') {
                matched = true;
                end = d + 1;
                // A width beyond 64 bits counts as 1.
                width = parseWidth(std::string_view(text).substr(digitsBegin, d - digitsBegin)).value_or(1);
            }
        }
        if (matched) {
            if (*width <= TokenRenamer::kMaxWidth) matches.push_back({pos, end, zeroPadded(index, *width)});
            pos = text.find(head, end);
        } else {
            pos = text.find(head, pos + 1);
        }
    }
    applyMatches(text, matches);
}

// Formatters are costly to build; each thread keeps the last few, keyed by pattern, locale
// and time zone so a change of the user's locale or zone is seen at once.
icu::SimpleDateFormat* cachedFormatter(const std::string& pattern) {
    struct Entry {
        std::string key;
        std::unique_ptr<icu::SimpleDateFormat> formatter;
    };
    thread_local std::vector<Entry> cache;
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
    icu::UnicodeString zoneID;
    zone->getID(zoneID);
    std::string key;
    zoneID.toUTF8String(key);
    key += '\n';
    key += icu::Locale::getDefault().getName();
    key += '\n';
    key += pattern;
    for (auto& entry : cache)
        if (entry.key == key) return entry.formatter.get();
    UErrorCode status = U_ZERO_ERROR;
    auto formatter = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString::fromUTF8(pattern),
                                                             icu::Locale::getDefault(), status);
    if (U_FAILURE(status)) return nullptr;
    if (cache.size() >= 8) cache.erase(cache.begin());
    cache.push_back({std::move(key), std::move(formatter)});
    return cache.back().formatter.get();
}

std::optional<std::string> formatDate(const std::string& pattern, UDate instant) {
    icu::SimpleDateFormat* formatter = cachedFormatter(pattern);
    if (!formatter) return std::nullopt;
    icu::UnicodeString rendered;
    formatter->format(instant, rendered);
    std::string out;
    rendered.toUTF8String(out);
    return out;
}

// \{date(?::([^}]+))?\}
void expandDate(std::string& text) {
    static constexpr std::string_view head = "{date";
    std::size_t pos = text.find(head);
    if (pos == std::string::npos) return;
    const UDate instant = static_cast<UDate>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    std::vector<Match> matches;
    while (pos != std::string::npos) {
        std::size_t cursor = pos + head.size();
        std::optional<std::string> pattern;
        std::size_t end = 0;
        if (cursor < text.size() && text[cursor] == '}') {
            pattern = "yyyyMMdd";
            end = cursor + 1;
        } else if (cursor < text.size() && text[cursor] == ':') {
            std::size_t close = text.find('}', cursor + 1);
            if (close != std::string::npos && close > cursor + 1) {
                pattern = text.substr(cursor + 1, close - cursor - 1);
                end = close + 1;
            }
        }
        if (pattern) {
            // A pattern ICU refuses leaves the token as written.
            if (auto rendered = formatDate(*pattern, instant)) matches.push_back({pos, end, std::move(*rendered)});
            pos = text.find(head, end);
        } else {
            pos = text.find(head, pos + 1);
        }
    }
    applyMatches(text, matches);
}

// \w as ICU regular expressions define it.
bool isWordCodePoint(UChar32 c) {
    if (c == 0x200C || c == 0x200D) return true;
    if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
    switch (u_charType(c)) {
        case U_NON_SPACING_MARK:
        case U_ENCLOSING_MARK:
        case U_COMBINING_SPACING_MARK:
        case U_DECIMAL_DIGIT_NUMBER:
        case U_CONNECTOR_PUNCTUATION: return true;
        default: return false;
    }
}

// Length in bytes of the run of word characters starting at `from`.
std::size_t wordRun(const std::string& text, std::size_t from) {
    std::int32_t i = static_cast<std::int32_t>(from);
    const std::int32_t length = static_cast<std::int32_t>(text.size());
    while (i < length) {
        std::int32_t next = i;
        UChar32 c;
        U8_NEXT(text.data(), next, length, c);
        if (c < 0 || !isWordCodePoint(c)) break;
        i = next;
    }
    return static_cast<std::size_t>(i) - from;
}

// \{(\w+):(\d+)\}
void expandPaddedVariables(std::string& text, const StringMap& variables) {
    std::vector<Match> matches;
    std::size_t pos = text.find('{');
    while (pos != std::string::npos) {
        std::size_t keyBegin = pos + 1;
        std::size_t keyLength = wordRun(text, keyBegin);
        std::size_t colon = keyBegin + keyLength;
        bool matched = false;
        if (keyLength > 0 && colon < text.size() && text[colon] == ':') {
            std::size_t digitsBegin = colon + 1, d = digitsBegin;
            while (d < text.size() && isAsciiDigit(text[d])) ++d;
            if (d > digitsBegin && d < text.size() && text[d] == '}') {
                matched = true;
                auto found = variables.find(text.substr(keyBegin, keyLength));
                auto width = parseWidth(std::string_view(text).substr(digitsBegin, d - digitsBegin));
                if (found != variables.end() && width && *width <= TokenRenamer::kMaxWidth) {
                    if (auto value = parseInteger(found->second))
                        matches.push_back({pos, d + 1, zeroPadded(*value, *width)});
                }
                pos = text.find('{', d + 1);
            }
        }
        if (!matched) pos = text.find('{', pos + 1);
    }
    applyMatches(text, matches);
}

void sanitize(std::string& text) {
    for (auto& c : text) {
        switch (c) {
            case ':':
            case '/':
            case '\\':
            case '?':
            case '%':
            case '*':
            case '|':
            case '"':
            case '<':
            case '>':
            case '#': c = '_'; break;
            default: break;
        }
    }
}

}  // namespace

std::string TokenRenamer::resolve(const std::string& pattern, const BatchItem& item, std::int64_t index,
                                  std::int64_t total, const StringMap& contextVariables) {
    // Steps before the variables grow the text at most linearly; variable values may reference
    // further variables, so their growth is capped.
    constexpr std::size_t unlimited = std::string::npos;
    std::string text = pattern;

    auto name = contextVariables.find("name");
    replaceAll(text, "{name}", name != contextVariables.end() ? name->second : item.originalFileName, unlimited);
    auto ext = contextVariables.find("ext");
    replaceAll(text, "{ext}", ext != contextVariables.end() ? ext->second : item.fileExtension, unlimited);
    replaceAll(text, "{total}", std::to_string(total), unlimited);

    expandIndex(text, index);
    expandDate(text);

    const std::size_t limit = std::max(kMaxExpandedLength, text.size() * 2);
    StringMap variables = item.metadata;
    for (const auto& [key, value] : contextVariables) variables[key] = value;
    for (const auto& [key, value] : variables) {
        if (text.find('{') == std::string::npos) break;
        replaceAll(text, "{" + key + "}", value, limit);
    }

    expandPaddedVariables(text, variables);
    sanitize(text);
    return text;
}

std::string TokenRenamer::resolveStem(const std::string& pattern, const BatchItem& item, std::int64_t index,
                                      std::int64_t total, const StringMap& contextVariables) {
    const auto unnamed = [](const std::string& stem) { return stem.find_first_not_of('.') == std::string::npos; };
    std::string stem = resolve(pattern, item, index, total, contextVariables);
    if (!unnamed(stem)) return stem;
    const auto name = contextVariables.find("name");
    stem = name != contextVariables.end() ? name->second : item.originalFileName;
    sanitize(stem);
    return unnamed(stem) ? "_" : stem;
}

}  // namespace lw
