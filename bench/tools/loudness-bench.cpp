// Loudness meter bench: our streaming meter against libebur128 and ffmpeg's ebur128 filter.
//
//   loudness-bench [--decode] FILE...      one line per file (and a decode-only line with --decode)
//   loudness-bench --make-episode OUT.wav [--minutes N]
//                                          writes an N-minute (default 60) 48 kHz stereo 16-bit
//                                          recording made of speech with room noise and pauses
//   loudness-bench --normalize ...         the normalisation bench (see LoudnessNormalizeMode.h)
#include <ebur128.h>
#include <fmt/core.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "audio/LoudnessMeter.h"
#include "audio/PCMStream.h"
#include "audio/WAVWriter.h"
#include "CommandLine.h"
#include "MachineLoad.h"

#if __has_include("LoudnessNormalizeMode.h")
#include "LoudnessNormalizeMode.h"
#define LW_HAVE_NORMALIZE_MODE 1
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::string number(std::optional<double> v, int decimals = 2) {
    if (!v || !std::isfinite(*v)) return "none";
    return fmt::format("{:.{}f}", *v, decimals);
}

std::string shellQuoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct Reading {
    std::optional<double> integrated, range, truePeak;
    double time = 0;
};

Reading ours(const fs::path& file) {
    auto start = Clock::now();
    auto format = lw::PCMStream::format(file);
    lw::LoudnessMeter meter(format.sampleRate, format.channels);
    lw::PCMStream::read(file, format.sampleRate, format.channels, std::nullopt,
                        [&](std::span<const float> s, std::size_t frames) { meter.addFrames(s.data(), frames); });
    auto r = meter.result();
    return {r.integratedLUFS, r.loudnessRangeLU, r.truePeakDBTP, seconds(start)};
}

Reading reference(const fs::path& file) {
    auto start = Clock::now();
    auto format = lw::PCMStream::format(file);
    ebur128_state* st = ebur128_init(static_cast<unsigned>(format.channels), static_cast<unsigned long>(format.sampleRate),
                                     EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    lw::PCMStream::read(file, format.sampleRate, format.channels, std::nullopt,
                        [&](std::span<const float> s, std::size_t frames) { ebur128_add_frames_float(st, s.data(), frames); });
    Reading r;
    double v = 0;
    if (ebur128_loudness_global(st, &v) == EBUR128_SUCCESS && std::isfinite(v)) r.integrated = v;
    if (ebur128_loudness_range(st, &v) == EBUR128_SUCCESS) r.range = v;
    double peak = 0;
    for (int c = 0; c < format.channels; ++c)
        if (ebur128_true_peak(st, static_cast<unsigned>(c), &v) == EBUR128_SUCCESS) peak = std::max(peak, v);
    r.truePeak = peak > 0 ? 20 * std::log10(peak) : -120.0;
    ebur128_destroy(&st);
    r.time = seconds(start);
    return r;
}

// Runs a command, returning its standard error and output together, and the time it took.
std::optional<std::pair<std::string, double>> runTimed(const std::string& command) {
    auto start = Clock::now();
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string out;
    char buf[4096];
    while (std::size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
    int rc = pclose(pipe);
    if (rc != 0) return std::nullopt;
    return std::make_pair(out, seconds(start));
}

// The value after the last "key" in ffmpeg's ebur128 summary.
std::optional<double> summaryValue(const std::string& text, const std::string& key) {
    auto pos = text.rfind(key);
    if (pos == std::string::npos) return std::nullopt;
    try {
        return std::stod(text.substr(pos + key.size()));
    } catch (...) {
        return std::nullopt;
    }
}

void benchFile(const fs::path& file, bool decode) {
    Reading a = ours(file);
    Reading b = reference(file);
    std::string line = fmt::format("{} ours: I={} LRA={} TP={} t={:.2f} | libebur128: I={} LRA={} TP={} t={:.2f} | ratio={:.2f}",
                                   file.string(), number(a.integrated), number(a.range), number(a.truePeak), a.time,
                                   number(b.integrated), number(b.range), number(b.truePeak), b.time, b.time / a.time);
    line += lw::bench::busyNote();
    if (auto ff = runTimed("ffmpeg -nostats -hide_banner -i " + shellQuoted(file.string()) +
                           " -af ebur128=peak=true -f null -")) {
        const std::string& text = ff->first;
        auto summary = text.rfind("Summary:");
        std::string tail = summary == std::string::npos ? text : text.substr(summary);
        line += fmt::format(" | ffmpeg ebur128: I={} LRA={} TP={} t={:.2f} | ratio={:.2f}", number(summaryValue(tail, "I:"), 1),
                            number(summaryValue(tail, "LRA:"), 1), number(summaryValue(tail, "Peak:"), 1), ff->second,
                            ff->second / a.time);
        line += lw::bench::busyNote();
    } else {
        line += " | ffmpeg ebur128: unavailable";
    }
    fmt::print("{}\n", line);
    if (decode) {
        auto start = Clock::now();
        std::size_t frames = 0;
        lw::PCMStream::read(file, std::nullopt, std::nullopt, std::nullopt,
                            [&](std::span<const float>, std::size_t n) { frames += n; });
        double ourDecode = seconds(start);
        std::string peer = "unavailable";
        if (auto ff = runTimed("ffmpeg -nostats -hide_banner -i " + shellQuoted(file.string()) + " -f null -"))
            peer = fmt::format("t={:.2f} | ratio={:.2f}{}", ff->second, ff->second / ourDecode, lw::bench::busyNote());
        fmt::print("{} decode: ours t={:.2f} ({} frames) | ffmpeg -f null: {}\n", file.string(), ourDecode, frames, peer);
    }
    std::fflush(stdout);
}

// Speech clips at 48 kHz stereo: the pocketsphinx test recordings and espeak-ng sentences.
std::vector<std::vector<float>> speechClips(const fs::path& scratch) {
    std::vector<fs::path> files;
    for (const char* dir : {"/usr/share/pocketsphinx/test/data/librivox", "/usr/share/pocketsphinx/test/data/cards"}) {
        std::error_code ec;
        for (auto& e : fs::directory_iterator(dir, ec))
            if (e.path().extension() == ".wav") files.push_back(e.path());
    }
    const char* sentences[] = {
        "Welcome back to the show. Today we are talking about how to record a podcast at home.",
        "The most important thing is a quiet room, and a microphone close to your mouth.",
        "Our guest has been building studios for twenty years, and she has strong opinions.",
        "Let us take a short break, and when we come back we will answer your questions.",
    };
    int k = 0;
    for (const char* s : sentences) {
        for (const char* voice : {"en-us", "en"}) {
            fs::path out = scratch / fmt::format("espeak-{}.wav", k++);
            std::string cmd = fmt::format("espeak-ng -v {} -s 160 -w {} {} >/dev/null 2>&1", voice,
                                          shellQuoted(out.string()), shellQuoted(s));
            if (std::system(cmd.c_str()) == 0) files.push_back(out);
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<std::vector<float>> clips;
    for (const auto& f : files) {
        std::vector<float> clip;
        lw::PCMStream::read(f, 48000.0, 2, std::nullopt,
                            [&](std::span<const float> s, std::size_t) { clip.insert(clip.end(), s.begin(), s.end()); });
        if (!clip.empty()) clips.push_back(std::move(clip));
    }
    return clips;
}

int makeEpisode(const fs::path& out, double minutes) {
    fs::path scratch = fs::temp_directory_path() / fmt::format("loudness-bench-{}", ::getpid());
    fs::create_directories(scratch);
    auto clips = speechClips(scratch);
    fs::remove_all(scratch);
    if (clips.empty()) {
        fmt::print(stderr, "no speech found (install pocketsphinx-testdata or espeak-ng)\n");
        return 1;
    }
    std::mt19937 rng(2024);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const double rate = 48000;
    const auto total = static_cast<std::size_t>(minutes * 60 * rate);
    lw::WAVWriter writer(out, rate, 2, 16);
    std::vector<float> buf;
    double pinkL = 0, pinkR = 0;
    const double noiseLevel = std::pow(10.0, -58.0 / 20);
    std::size_t written = 0, clipIndex = 0;
    auto addNoise = [&](std::vector<float>& b) {
        for (std::size_t i = 0; i < b.size(); i += 2) {
            pinkL = 0.97 * pinkL + 0.03 * gauss(rng);  // a darkened room noise
            pinkR = 0.97 * pinkR + 0.03 * gauss(rng);
            b[i] += static_cast<float>(noiseLevel * 4 * pinkL);
            b[i + 1] += static_cast<float>(noiseLevel * 4 * pinkR);
        }
    };
    while (written < total) {
        const auto& clip = clips[clipIndex++ % clips.size()];
        const double gain = std::pow(10.0, (unit(rng) * 8 - 4 - 3) / 20);  // a speaker moving about
        const double pan = unit(rng) * 0.3 - 0.15;
        buf.assign(clip.begin(), clip.end());
        for (std::size_t i = 0; i < buf.size(); i += 2) {
            buf[i] = static_cast<float>(buf[i] * gain * (1 - pan));
            buf[i + 1] = static_cast<float>(buf[i + 1] * gain * (1 + pan));
        }
        const auto pause = static_cast<std::size_t>((0.2 + unit(rng) * 1.3) * rate);
        buf.resize(buf.size() + pause * 2, 0.0f);
        addNoise(buf);
        std::size_t frames = std::min(buf.size() / 2, total - written);
        writer.write(buf, frames);
        written += frames;
    }
    writer.close();
    fmt::print("{}: {:.1f} minutes, 48000 Hz, 2 channels, 16-bit\n", out.string(), static_cast<double>(written) / rate / 60);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const char* const usage =
        "usage: loudness-bench [--decode] FILE...\n"
        "       loudness-bench --make-episode OUT.wav [--minutes N]\n"
        "       loudness-bench --normalize TARGET_LUFS:CEILING_DBTP [--acx] [--cleanup SPEC] [--compare-ffmpeg] IN OUT\n"
        "  --decode        also time decoding alone, after each file\n"
        "  --make-episode  write an N-minute (default 60, at most 10000) speech recording to OUT.wav\n"
        "  --normalize     normalise IN to OUT once (loudness-bench --normalize --help for its options)\n";
    if (args.empty()) {
        fmt::print(stderr, "{}", usage);
        return 2;
    }
    if (lw::bench::isHelp(args[0])) return lw::bench::printHelp(usage);
    if (args[0] != "--normalize" && args[0] != "--make-episode")
        for (const auto& a : args)
            if (a.rfind("--", 0) == 0 && a != "--decode") {
                fmt::print(stderr, "loudness-bench: unknown option '{}'\n{}", a, usage);
                return 2;
            }
    const bool help = std::any_of(args.begin(), args.end(), lw::bench::isHelp);
    if (args[0] != "--make-episode" && !help) lw::bench::printMachineLoad("loudness-bench");
    if (args[0] == "--normalize") {
#ifdef LW_HAVE_NORMALIZE_MODE
        return lw::bench::runNormalizeMode(args);
#else
        fmt::print(stderr, "--normalize is not built into this version\n");
        return 2;
#endif
    }
    try {
        if (args[0] == "--make-episode") {
            double minutes = 60;
            if (args.size() == 4 && args[2] == "--minutes") {
                const std::string& text = args[3];
                const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), minutes);
                if (ec != std::errc() || end != text.data() + text.size() || !(minutes > 0 && minutes <= 10000)) {
                    fmt::print(stderr, "loudness-bench: --minutes takes a number of minutes above 0 and at most 10000, "
                                       "not '{}'\n",
                               text);
                    return 2;
                }
            } else if (args.size() != 2) {
                const std::string problem =
                    args.size() == 1 ? "--make-episode needs OUT.wav" : "unexpected argument '" + args[2] + "'";
                fmt::print(stderr, "loudness-bench: {}\nusage: loudness-bench --make-episode OUT.wav [--minutes N]\n",
                           problem);
                return 2;
            }
            return makeEpisode(args[1], minutes);
        }
        bool decode = false;
        for (const auto& a : args) {
            if (a == "--decode") {
                decode = true;
                continue;
            }
            benchFile(a, decode);
        }
    } catch (const std::exception& e) {
        fmt::print(stderr, "{}\n", e.what());
        return 1;
    }
    return 0;
}
