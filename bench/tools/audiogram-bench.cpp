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

#include "audio/LoudnessNormalizer.h"
#include "audio/podcast/AudiogramGenerator.h"
#include "audio/podcast/Transcriber.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

int usage() {
    std::fprintf(stderr,
                 "usage: audiogram-bench [--aspect square|vertical|wide] [--seconds N] [--start S] [--title T]\n"
                 "                       [--show T] [--art IMAGE] [--captions] AUDIO OUT.mp4\n");
    return 2;
}

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
        try {
            if (a == "--aspect") {
                auto v = value();
                auto r = v ? lw::AudiogramGenerator::aspectRatioFromKey(*v) : std::nullopt;
                if (!r) return usage();
                config.aspectRatio = *r;
            } else if (a == "--seconds") {
                auto v = value();
                if (!v) return usage();
                seconds = std::stod(*v);
            } else if (a == "--start") {
                auto v = value();
                if (!v) return usage();
                start = std::stod(*v);
            } else if (a == "--title") {
                if (!(title = value())) return usage();
            } else if (a == "--show") {
                if (!(show = value())) return usage();
            } else if (a == "--art") {
                auto v = value();
                if (!v) return usage();
                config.backgroundImageURL = fs::path(*v);
            } else if (a == "--captions") {
                captions = true;
            } else if (a.rfind("--", 0) == 0) {
                return usage();
            } else {
                positional.push_back(a);
            }
        } catch (const std::exception&) {
            return usage();
        }
    }
    if (positional.size() != 2 || !(seconds > 0) || start < 0) return usage();
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
