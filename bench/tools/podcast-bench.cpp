// podcast-bench [--minutes N] [--keep DIR] [--no-fillers]
//
// Times one whole podcast export with every deliverable on (clean-up, transcription, filler
// cuts, intro and outro music, master, automatic chapters, RSS MP3, 16 kHz reference,
// transcripts, captioned audiogram with cover art) on an episode of N minutes (default 60) made
// of the real speech of pocketsphinx-testdata, looped with pauses, at 44.1 kHz stereo. Prints the
// time of each stage (from one progress report or log line of the export to the next), the
// whole export against the episode's length, transcription speed against real time, peak
// memory, and the load average before and after (figures count only below 2).
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <cairo.h>

#include "CommandLine.h"
#include "audio/PCMStream.h"
#include "audio/WAVWriter.h"
#include "audio/podcast/AudioVideoPipeline.h"

namespace fs = std::filesystem;
using namespace lw;
using Clock = std::chrono::steady_clock;

namespace {

const fs::path kSpeech = "/usr/share/pocketsphinx/test/data";

std::vector<float> speechSamples() {
    std::vector<float> all;
    for (const auto& entry : fs::directory_iterator(kSpeech / "librivox")) {
        if (entry.path().extension() != ".wav") continue;
        PCMStream::read(entry.path(), 44100.0, 1, std::nullopt, [&](std::span<const float> s, std::size_t) {
            all.insert(all.end(), s.begin(), s.end());
        });
        all.insert(all.end(), 44100 * 6 / 10, 0.0f);  // a pause between sentences
    }
    return all;
}

void writeEpisode(const fs::path& path, double minutes) {
    const auto speech = speechSamples();
    if (speech.empty()) throw std::runtime_error("no speech found under " + kSpeech.string());
    WAVWriter writer(path, 44100, 2, 24);
    const auto total = static_cast<std::size_t>(minutes * 60 * 44100);
    std::vector<float> chunk;
    std::size_t written = 0, position = 0;
    unsigned noise = 12345;
    while (written < total) {
        const std::size_t n = std::min<std::size_t>(44100, total - written);
        chunk.resize(n * 2);
        for (std::size_t i = 0; i < n; ++i) {
            noise = noise * 1103515245u + 12345u;
            const float hiss = (static_cast<float>((noise >> 9) & 0xFFFF) / 65535.0f - 0.5f) * 0.002f;
            const float v = 0.6f * speech[position] + hiss;
            chunk[2 * i] = v;
            chunk[2 * i + 1] = v * 0.9f;
            position = (position + 1) % speech.size();
        }
        writer.write(chunk, n);
        written += n;
    }
    writer.close();
}

void writeMusic(const fs::path& path, double seconds, double root) {
    const auto frames = static_cast<std::size_t>(seconds * 44100);
    WAVWriter writer(path, 44100, 2, 24);
    std::vector<float> buffer(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / 44100;
        const double envelope = std::min(1.0, t / 0.5) * std::min(1.0, (seconds - t) / 1.5);
        const double v = envelope * 0.15 *
                         (std::sin(2 * M_PI * root * t) + std::sin(2 * M_PI * root * 1.25 * t) +
                          std::sin(2 * M_PI * root * 1.5 * t));
        buffer[2 * i] = buffer[2 * i + 1] = static_cast<float>(v);
    }
    writer.write(buffer, frames);
    writer.close();
}

void writeCover(const fs::path& path) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1400, 1400);
    cairo_t* cr = cairo_create(surface);
    cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, 1400, 1400);
    cairo_pattern_add_color_stop_rgb(gradient, 0, 0.1, 0.2, 0.4);
    cairo_pattern_add_color_stop_rgb(gradient, 1, 0.8, 0.4, 0.2);
    cairo_set_source(cr, gradient);
    cairo_paint(cr);
    cairo_pattern_destroy(gradient);
    cairo_destroy(cr);
    cairo_surface_write_to_png(surface, path.c_str());
    cairo_surface_destroy(surface);
}

std::string loadText() {
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) < 0) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 60;
    std::optional<fs::path> keep;
    bool fillers = true;
    const char* const usageText =
        "usage: podcast-bench [--minutes N] [--keep DIR] [--no-fillers]\n"
        "  --minutes N   length of the made episode in minutes, above 0 and at most 10000 (default 60)\n"
        "  --keep DIR    make the episode and the export in DIR and keep them\n"
        "  --no-fillers  leave filler removal off\n";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (bench::isHelp(a)) return bench::printHelp(usageText);
        if ((a == "--minutes" || a == "--keep") && i + 1 >= argc)
            return bench::refuse("podcast-bench", a + " needs a value", usageText);
        if (a == "--minutes") {
            const std::string value = argv[++i];
            const auto n = bench::finiteNumber(value);
            if (!n || !(*n > 0 && *n <= 10000))
                return bench::refuse("podcast-bench",
                                     "--minutes takes a number of minutes above 0 and at most 10000, not '" + value + "'",
                                     usageText);
            minutes = *n;
        } else if (a == "--keep") {
            keep = fs::path(argv[++i]);
        } else if (a == "--no-fillers") {
            fillers = false;
        } else {
            return bench::refuse("podcast-bench", "unknown argument '" + a + "'", usageText);
        }
    }

    const fs::path work = keep ? *keep : fs::temp_directory_path() / ("podcast-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    std::printf("making a %.1f-minute episode in %s ...\n", minutes, work.c_str());
    std::fflush(stdout);
    writeEpisode(work / "episode.wav", minutes);
    writeMusic(work / "intro.wav", 8, 220);
    writeMusic(work / "outro.wav", 10, 196);
    writeCover(work / "cover.png");

    ID3TagInjector::PodcastMetadata tags{.title = "Bench episode", .artist = "Bench", .podcastName = "Bench Show",
                                         .episodeNumber = 1, .seasonNumber = std::nullopt,
                                         .showNotes = "Bench run", .releaseYear = 2026,
                                         .artworkURL = work / "cover.png"};
    AudioVideoPipeline::MultiFormatExportRequest request(work / "episode.wav", work / "out", "Bench_01", tags, true,
                                                         true, true, true, {-16, -1, 11, false});
    request.cleanup = CleanupOptions{.rumbleFilter = true, .humRemoval = CleanupOptions::HumMode::autoDetect,
                                     .noiseGate = false, .leveler = true, .trimSilence = true,
                                     .maxPauseSeconds = 0, .roomToneSeconds = 0.3};
    request.introURL = work / "intro.wav";
    request.outroURL = work / "outro.wav";
    request.generateTranscripts = true;
    request.captionAudiogram = true;
    request.audiogramClip = AudioVideoPipeline::ClipChoice::automatic();
    request.removeFillers = fillers;
    request.chapters = AudioVideoPipeline::ChapterSetting::automatic();

    struct Mark {
        double seconds;
        std::string what;
    };
    std::mutex mutex;
    std::vector<Mark> marks;
    const auto start = Clock::now();
    const auto mark = [&](const std::string& what) {
        std::lock_guard lock(mutex);
        marks.push_back({std::chrono::duration<double>(Clock::now() - start).count(), what});
    };

    const std::string loadBefore = loadText();
    std::vector<fs::path> files;
    try {
        files = AudioVideoPipeline::shared().processMultiFormat(
            request, [&](double, const std::string& message) { mark(message); },
            [&](const std::string& line) {
                std::printf("  log: %s\n", line.c_str());
                std::fflush(stdout);
                mark(line.substr(0, 60));
            });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "export failed: %s\n", e.what());
        return 1;
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("\nstage times (from each report to the next):\n");
    double transcription = 0;
    for (std::size_t i = 0; i < marks.size(); ++i) {
        const double end = i + 1 < marks.size() ? marks[i + 1].seconds : total;
        std::printf("  %8.2f s  (at %7.2f s)  %s\n", end - marks[i].seconds, marks[i].seconds, marks[i].what.c_str());
        if (marks[i].what.rfind("Transcribing", 0) == 0) transcription = end - marks[i].seconds;
    }
    const double episodeSeconds = minutes * 60;
    std::printf("\ndeliverables: %zu\n", files.size());
    for (const auto& f : files) std::printf("  %s (%.1f MB)\n", f.filename().c_str(), fs::file_size(f) / 1e6);
    std::printf("episode %.0f s; export %.1f s = %.3f of the episode's length (goal under 0.1)\n", episodeSeconds, total,
                total / episodeSeconds);
    if (transcription > 0)
        std::printf("transcription %.1f s = %.1fx real time (goal at least 15x)\n", transcription,
                    episodeSeconds / transcription);
    std::printf("peak memory %.0f MB (goal under 1024 MB)\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    std::printf("load average before: %s, after: %s (figures count only below 2)\n", loadBefore.c_str(),
                loadText().c_str());
    if (!keep) fs::remove_all(work);
    return 0;
}
