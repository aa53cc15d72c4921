#pragma once
// loudness-bench --normalize TARGET_LUFS:CEILING_DBTP [--acx] [--cleanup none|all|KEY=VALUE,...] IN OUT
//
// Runs LoudnessNormalizer::process once and prints the Result fields one per line, the ACX
// report when there is one, the time and the peak memory. Clean-up keys: rumble, hum, gate,
// leveler, trimSilence (true/false; hum off|auto|50|60), maxPause and roomTone (seconds).
// With --compare-ffmpeg it also runs ffmpeg's loudnorm in two passes (measure, then normalise
// with the measured values) to the same target on the same input, measures both outputs with
// libebur128 and prints the time ratio.
#include <ebur128.h>
#include <sys/resource.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "audio/LoudnessNormalizer.h"
#include "audio/LoudnessProcessing.h"
#include "audio/PCMStream.h"
#include "MachineLoad.h"

namespace lw::bench {

// The whole text as a finite number ("-1abc", "nan", "inf" and "" are not numbers).
inline std::optional<double> parseNumber(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

inline std::optional<bool> parseBool(const std::string& v) {
    if (v == "true" || v == "1" || v == "on" || v == "yes") return true;
    if (v == "false" || v == "0" || v == "off" || v == "no") return false;
    return std::nullopt;
}

// "LUFS:DBTP", both finite numbers.
inline std::optional<std::pair<double, double>> parseTarget(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const auto lufs = parseNumber(text.substr(0, colon)), ceiling = parseNumber(text.substr(colon + 1));
    if (!lufs || !ceiling) return std::nullopt;
    return std::make_pair(*lufs, *ceiling);
}

inline std::optional<lw::CleanupOptions> parseCleanup(const std::string& spec) {
    lw::CleanupOptions o = lw::CleanupOptions::none();
    if (spec == "none") return o;
    if (spec == "all") {
        o.rumbleFilter = true;
        o.humRemoval = lw::CleanupOptions::HumMode::autoDetect;
        o.noiseGate = true;
        o.leveler = true;
        o.trimSilence = true;
        o.maxPauseSeconds = 1.5;
        return o;
    }
    std::stringstream ss(spec);
    std::string item;
    while (std::getline(ss, item, ',')) {
        const auto eq = item.find('=');
        if (eq == std::string::npos) return std::nullopt;
        const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        auto setBool = [&](bool& field) {
            const auto b = parseBool(value);
            if (b) field = *b;
            return b.has_value();
        };
        auto setNumber = [&](double& field) {
            const auto n = parseNumber(value);
            if (n) field = *n;
            return n.has_value();
        };
        bool ok = true;
        if (key == "rumble") ok = setBool(o.rumbleFilter);
        else if (key == "gate") ok = setBool(o.noiseGate);
        else if (key == "leveler") ok = setBool(o.leveler);
        else if (key == "trimSilence") ok = setBool(o.trimSilence);
        else if (key == "maxPause") ok = setNumber(o.maxPauseSeconds);
        else if (key == "roomTone") ok = setNumber(o.roomToneSeconds);
        else if (key == "hum") {
            auto mode = lw::humModeFromRawValue(value);
            if (!mode) return std::nullopt;
            o.humRemoval = *mode;
        } else return std::nullopt;
        if (!ok) return std::nullopt;
    }
    return o;
}

inline double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Reference {
    double integrated = 0, truePeak = 0;
};

// libebur128 reading of a file, decoded through our reader.
inline Reference reference(const std::filesystem::path& file) {
    const auto format = lw::PCMStream::format(file);
    ebur128_state* st = ebur128_init(static_cast<unsigned>(format.channels), static_cast<unsigned long>(format.sampleRate),
                                     EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    lw::PCMStream::read(file, format.sampleRate, format.channels, std::nullopt,
                        [&](std::span<const float> s, std::size_t frames) { ebur128_add_frames_float(st, s.data(), frames); });
    Reference r;
    ebur128_loudness_global(st, &r.integrated);
    double peak = 0;
    for (int c = 0; c < format.channels; ++c) {
        double p = 0;
        ebur128_true_peak(st, static_cast<unsigned>(c), &p);
        peak = std::max(peak, p);
    }
    r.truePeak = 20 * std::log10(std::max(peak, 1e-12));
    ebur128_destroy(&st);
    return r;
}

inline std::string capture(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

inline std::string jsonValue(const std::string& text, const std::string& key) {
    const auto k = text.find("\"" + key + "\"");
    if (k == std::string::npos) return "";
    const auto q1 = text.find('"', text.find(':', k) + 1);
    const auto q2 = text.find('"', q1 + 1);
    return text.substr(q1 + 1, q2 - q1 - 1);
}

inline void printMeasurement(const char* name, const lw::LoudnessNormalizer::Measurement& m) {
    std::printf("%s: I=%s TP=%.2f dBTP RMS=%.2f dB samplePeak=%.2f dB noiseFloor=%.2f dB rate=%.0f channels=%d duration=%.3f s\n",
                name, m.integratedLUFS ? std::to_string(*m.integratedLUFS).c_str() : "none", m.truePeakDBTP, m.rmsDB,
                m.samplePeakDB, m.noiseFloorDB, m.sampleRate, m.channels, m.durationSeconds);
}

inline constexpr const char* kCleanupSpecs =
    "none, all, or KEY=VALUE,... with rumble, gate, leveler, trimSilence true/false, hum off|auto|50|60, "
    "maxPause and roomTone in seconds";

inline constexpr const char* kNormalizeUsage =
    "usage: loudness-bench --normalize TARGET_LUFS:CEILING_DBTP [--acx] [--cleanup SPEC] [--compare-ffmpeg] IN OUT\n"
    "  TARGET_LUFS:CEILING_DBTP  two finite numbers, e.g. -16:-1.5\n"
    "  --acx                     ACX check and report\n"
    "  --cleanup SPEC            none, all, or KEY=VALUE,... (rumble, gate, leveler, trimSilence: true/false;\n"
    "                            hum: off|auto|50|60; maxPause, roomTone: seconds)\n"
    "  --compare-ffmpeg          also run ffmpeg loudnorm in two passes and compare\n";

// args[0] is "--normalize".
inline int runNormalizeMode(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") {
            std::fputs(kNormalizeUsage, stdout);
            return 0;
        }
    if (args.size() < 2) {
        std::fputs(kNormalizeUsage, stderr);
        return 2;
    }
    lw::LoudnessNormalizer::LoudnessTarget target;
    const auto parsedTarget = parseTarget(args[1]);
    if (!parsedTarget) {
        std::fprintf(stderr, "bad target %s (want LUFS:DBTP, two finite numbers, e.g. -16:-1.5)\n", args[1].c_str());
        return 2;
    }
    std::tie(target.integratedLUFS, target.truePeakDB) = *parsedTarget;
    lw::CleanupOptions cleanup = lw::CleanupOptions::none();
    bool compare = false;
    std::vector<std::string> files;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--acx") target.acx = true;
        else if (a == "--compare-ffmpeg") compare = true;
        else if (a == "--cleanup" && i + 1 < args.size()) {
            auto c = parseCleanup(args[++i]);
            if (!c) {
                std::fprintf(stderr, "bad clean-up spec %s (want %s)\n", args[i].c_str(), kCleanupSpecs);
                return 2;
            }
            cleanup = *c;
        } else if (a == "--cleanup") {
            std::fprintf(stderr, "--cleanup needs a spec: %s\n", kCleanupSpecs);
            return 2;
        } else if (a.starts_with("--")) {
            std::fprintf(stderr, "unknown option %s\n%s", a.c_str(), kNormalizeUsage);
            return 2;
        } else files.push_back(a);
    }
    if (files.size() != 2) {
        std::fprintf(stderr, "need IN and OUT\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    lw::LoudnessNormalizer::Result r;
    try {
        r = lw::LoudnessNormalizer::process(files[0], files[1], target, cleanup);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
    const double ours = seconds(start);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    printMeasurement("input", r.input);
    printMeasurement("output", r.output);
    std::printf("gainDB: %.2f\n", r.gainDB);
    std::printf("limiterReductionDB: %.2f\n", r.limiterReductionDB);
    std::printf("humRemovedHz: %s\n", r.humRemovedHz ? std::to_string(*r.humRemovedHz).c_str() : "none");
    std::printf("secondsRemoved: %.3f\n", r.secondsRemoved);
    if (r.levelerRangeDB)
        std::printf("levelerRangeDB: %.2f...%.2f\n", r.levelerRangeDB->lowerBound, r.levelerRangeDB->upperBound);
    else
        std::printf("levelerRangeDB: none\n");
    if (r.acxReport) std::printf("%s\n", r.acxReport->text().c_str());
    std::printf("time: %.2f s\npeak memory: %.1f MB\n", ours, usage.ru_maxrss / 1024.0);
    if (!compare) return 0;

    const Reference mine = reference(files[1]);
    std::printf("libebur128 on ours: I=%.2f LUFS (error %+.2f LU) TP=%.2f dBTP\n", mine.integrated,
                mine.integrated - target.integratedLUFS, mine.truePeak);
    char targetText[128];
    std::snprintf(targetText, sizeof targetText, "I=%.1f:TP=%.1f:LRA=%.1f", target.integratedLUFS, target.truePeakDB,
                  target.loudnessRangeLU);
    const std::string in = files[0];
    const std::string peerOut = files[1] + ".ffmpeg.wav";
    const auto t1 = std::chrono::steady_clock::now();
    const std::string measured = capture("ffmpeg -hide_banner -nostats -i '" + in + "' -af loudnorm=" + targetText +
                                         ":print_format=json -f null - 2>&1");
    const double pass1 = seconds(t1);
    const std::string second = std::string("loudnorm=") + targetText + ":measured_I=" + jsonValue(measured, "input_i") +
                               ":measured_TP=" + jsonValue(measured, "input_tp") + ":measured_LRA=" +
                               jsonValue(measured, "input_lra") + ":measured_thresh=" + jsonValue(measured, "input_thresh") +
                               ":offset=" + jsonValue(measured, "target_offset") + ":linear=true";
    const auto t2 = std::chrono::steady_clock::now();
    const int rc = std::system(("ffmpeg -hide_banner -nostats -loglevel error -y -i '" + in + "' -af " + second +
                                " -ar " + std::to_string(static_cast<int>(r.input.sampleRate)) + " -c:a pcm_s24le '" +
                                peerOut + "'")
                                   .c_str());
    const double pass2 = seconds(t2);
    if (rc != 0) {
        std::printf("ffmpeg failed (%d)\n", rc);
        return 0;
    }
    const Reference peer = reference(peerOut);
    std::printf("ffmpeg loudnorm two-pass: pass1=%.2f s pass2=%.2f s total=%.2f s; I=%.2f LUFS (error %+.2f LU) TP=%.2f dBTP\n",
                pass1, pass2, pass1 + pass2, peer.integrated, peer.integrated - target.integratedLUFS, peer.truePeak);
    std::printf("ratio (ffmpeg two passes / ours): %.2fx%s\n", (pass1 + pass2) / ours, busyNote());
    std::filesystem::remove(peerOut);
    return 0;
}

}  // namespace lw::bench
