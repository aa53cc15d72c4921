// Transcribes one file through Transcriber and prints its words with times.
//
//   transcribe-bench [--decoders N] [--srt OUT] [--vtt OUT] [--txt OUT] FILE
//
// One line per word, "START END TEXT", then
// "words=N audio=SECONDS time=SECONDS rtf=FACTOR peak_mb=MB" (rtf is processing time divided by
// audio length). The options write the caption files from 42-character, 4-second cues.
// Errors go to stderr; exit 1 on a failed transcription, 2 on bad arguments.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "CommandLine.h"
#include "audio/PCMStream.h"
#include "audio/podcast/Transcriber.h"
#include "platform/AtomicFile.h"

namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& to, const std::string& text) {
    lw::AtomicFile out(to);
    {
        std::ofstream file(out.tempPath(), std::ios::binary);
        file << text;
        file.close();
        if (!file) throw lw::Error("Could not write " + to.filename().string());
    }
    out.commit();
}

const char* const kUsage =
    "usage: transcribe-bench [--decoders N] [--srt OUT] [--vtt OUT] [--txt OUT] FILE\n"
    "  --decoders N  decoders for the file, 1 to 1024 (default: one per processor, at most 4)\n"
    "  --srt OUT     also write the captions as SubRip to OUT\n"
    "  --vtt OUT     also write the captions as WebVTT to OUT\n"
    "  --txt OUT     also write the plain text to OUT\n";

int usage(const std::string& problem) { return lw::bench::refuse("transcribe-bench", problem, kUsage); }

}  // namespace

int main(int argc, char** argv) {
    lw::Transcriber::Options options;
    fs::path srt, vtt, txt, input;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (lw::bench::isHelp(a)) return lw::bench::printHelp(kUsage);
        if (a == "--decoders") {
            const char* v = value();
            if (!v) return usage("--decoders needs a number");
            const auto n = lw::bench::wholeNumber(v, 1, 1024);
            if (!n) return usage(std::string("--decoders takes a whole number from 1 to 1024, not '") + v + "'");
            options.decoders = static_cast<int>(*n);
        } else if (a == "--srt" || a == "--vtt" || a == "--txt") {
            const char* v = value();
            if (!v) return usage(a + " needs a file");
            (a == "--srt" ? srt : a == "--vtt" ? vtt : txt) = v;
        } else if (!a.empty() && a[0] == '-') {
            return usage("unknown option '" + a + "'");
        } else if (input.empty()) {
            input = a;
        } else {
            return usage("unexpected argument '" + a + "'; one FILE is transcribed");
        }
    }
    if (input.empty()) return usage("no FILE given");

    try {
        const auto started = std::chrono::steady_clock::now();
        const auto words = lw::Transcriber(options).transcribe(input, "en_US");
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        for (const auto& w : words) std::printf("%.3f %.3f %s\n", w.start, w.end, w.text.c_str());

        double audio = lw::PCMStream::format(input).durationSeconds;
        if (!(audio > 0) && !words.empty()) audio = words.back().end;
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("words=%zu audio=%.3f time=%.3f rtf=%.4f peak_mb=%.1f\n", words.size(), audio, elapsed,
                    audio > 0 ? elapsed / audio : 0.0, static_cast<double>(usage.ru_maxrss) / 1024.0);

        if (!srt.empty() || !vtt.empty() || !txt.empty()) {
            const auto cues = lw::Transcriber::cues(words, 42, 4.0);
            if (!srt.empty()) writeText(srt, lw::Transcriber::srt(cues, 0));
            if (!vtt.empty()) writeText(vtt, lw::Transcriber::vtt(cues, 0));
            if (!txt.empty()) writeText(txt, lw::Transcriber::plainText(words, 0));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
