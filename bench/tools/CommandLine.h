#pragma once
// What the bench tools share on their command lines: "--help" (usage on standard output, exit
// 0), strict readers of numbers, and the refusal of a bad argument (the problem and the usage on
// standard error, exit 2).
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

namespace lw::bench {

inline bool isHelp(const std::string& argument) { return argument == "--help" || argument == "-h"; }

// Prints the usage on standard output; the exit status of a "--help" run.
inline int printHelp(const std::string& usage) {
    std::fputs(usage.c_str(), stdout);
    std::fflush(stdout);
    return 0;
}

// "tool: problem" and the usage on standard error; the exit status of a bad argument.
inline int refuse(const char* tool, const std::string& problem, const std::string& usage) {
    std::fprintf(stderr, "%s: %s\n%s", tool, problem.c_str(), usage.c_str());
    return 2;
}

// Digits only (no sign, blanks or suffix), from lo to hi.
inline std::optional<long long> wholeNumber(const std::string& text, long long lo, long long hi) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < lo || value > hi) return std::nullopt;
    return value;
}

// A positional whole number called `name` ("RUNS", "SIDE") from lo to hi; otherwise nothing,
// with the refusal in `problem` (an argument starting with "-" is an unknown option).
inline std::optional<long long> positionalNumber(const std::string& argument, const std::string& name, long long lo,
                                                 long long hi, std::string& problem) {
    const auto n = wholeNumber(argument, lo, hi);
    if (!n)
        problem = argument.rfind('-', 0) == 0 ? "unknown option '" + argument + "'"
                                              : name + " is a whole number from " + std::to_string(lo) + " to " +
                                                    std::to_string(hi) + ", not '" + argument + "'";
    return n;
}

// The whole text as a finite number ("5s", "nan", "inf" and "" are not numbers).
inline std::optional<double> finiteNumber(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace lw::bench
