// Audiogram bench: renders the audiogram of a clip and reports drawing and encoding speed.
//
//   audiogram-bench [--aspect square|vertical|wide] [--seconds N] [--start S] [--title T]
//                   [--show T] [--art IMAGE] [--captions] AUDIO OUT.mp4
//
// The clip of N seconds (default 45) from S (default 0) is cut from AUDIO first; --captions
// transcribes the clip for burned-in captions (time reported on its own line). The last line is
//   frames=N draw_fps=F encode_fps=F time=SECONDS peak_mb=MB
// where time is the whole generate call and peak_mb the process's peak resident memory.
#include <fmt/core.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "CommandLine.h"
#include "audio/LoudnessNormalizer.h"
#include "audio/podcast/AudiogramGenerator.h"
#include "audio/podcast/Transcriber.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

const char* const kUsage =
    "usage: audiogram-bench [--aspect square|vertical|wide] [--seconds N] [--start S] [--title T]\n"
    "                       [--show T] [--art IMAGE] [--captions] AUDIO OUT.mp4\n"
    "  --aspect A   square (1080x1080, default), vertical (1080x1920) or wide (1920x1080)\n"
    "  --seconds N  length of the clip in seconds, above 0 (default 45)\n"
    "  --start S    start of the clip in AUDIO in seconds, 0 or more (default 0)\n"
    "  --title T    title drawn on the frames (--show T stands in for it)\n"
    "  --art IMAGE  cover drawn under the frames\n"
    "  --captions   transcribe the clip and burn in its captions\n";

int usage(const std::string& problem) { return lw::bench::refuse("audiogram-bench", problem, kUsage); }

}  // namespace

int main(int argc, char** argv) {
    lw::AudiogramGenerator::AudiogramConfig config;
    config.waveformColor = "#3B82F6";
    config.framesPerSecond = 30;
    double seconds = 45, start = 0;
    bool captions = false;
    std::optional<std::string> title, show;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        if (lw::bench::isHelp(a)) return lw::bench::printHelp(kUsage);
        const auto needs = [&](const char* what) { return usage(a + " needs " + what); };
        if (a == "--aspect") {
            auto v = value();
            if (!v) return needs("square, vertical or wide");
            auto r = lw::AudiogramGenerator::aspectRatioFromKey(*v);
            if (!r) return usage("--aspect takes square, vertical or wide, not '" + *v + "'");
            config.aspectRatio = *r;
        } else if (a == "--seconds") {
            auto v = value();
            if (!v) return needs("a number of seconds");
            const auto n = lw::bench::finiteNumber(*v);
            if (!n || !(*n > 0)) return usage("--seconds takes a number of seconds above 0, not '" + *v + "'");
            seconds = *n;
        } else if (a == "--start") {
            auto v = value();
            if (!v) return needs("a number of seconds");
            const auto n = lw::bench::finiteNumber(*v);
            if (!n || *n < 0) return usage("--start takes a number of seconds, 0 or more, not '" + *v + "'");
            start = *n;
        } else if (a == "--title") {
            if (!(title = value())) return needs("a title");
        } else if (a == "--show") {
            if (!(show = value())) return needs("a name");
        } else if (a == "--art") {
            auto v = value();
            if (!v) return needs("an image file");
            config.backgroundImageURL = fs::path(*v);
        } else if (a == "--captions") {
            captions = true;
        } else if (a.rfind("--", 0) == 0) {
            return usage("unknown option '" + a + "'");
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2)
        return usage(positional.size() < 2 ? "AUDIO and OUT.mp4 are needed"
                                           : "unexpected argument '" + positional[2] + "'");
    // The episode's title wins; the show's name stands in for it.
    config.title = title ? title : show;
    const fs::path audio = positional[0], output = positional[1];

    try {
        fs::path scratch = fs::temp_directory_path() / fmt::format("audiogram-bench-{}", ::getpid());
        fs::create_directories(scratch);
        fs::path clip = scratch / "clip.wav";
        auto t0 = Clock::now();
        lw::LoudnessNormalizer::excerpt(audio, clip, start, seconds);
        std::printf("clip: %.1f s from %.1f s cut in %.2f s\n", seconds, start, secondsSince(t0));
        config.maxDurationSeconds = seconds;
        if (captions) {
            auto t1 = Clock::now();
            config.captions = lw::Transcriber().transcribe(clip, "en_US");
            std::printf("captions: %zu words transcribed in %.2f s\n", config.captions.size(), secondsSince(t1));
        }
        lw::AudiogramGenerator::Statistics stats;
        auto t2 = Clock::now();
        lw::AudiogramGenerator().generate(clip, output, config, &stats);
        double total = secondsSince(t2);
        fs::remove_all(scratch);
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("frames=%d draw_fps=%.1f encode_fps=%.1f time=%.2f peak_mb=%.1f\n", stats.frames,
                    stats.drawSeconds > 0 ? stats.frames / stats.drawSeconds : 0.0,
                    stats.encodeSeconds > 0 ? stats.frames / stats.encodeSeconds : 0.0, total,
                    double(usage.ru_maxrss) / 1024.0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "audiogram-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
