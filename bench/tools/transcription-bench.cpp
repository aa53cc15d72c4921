// Transcription bench: a 10-minute recording made from the LibriVox clips of
// pocketsphinx-testdata (44.1 kHz stereo, clips in a shuffled order with pauses between),
// transcribed by transcribe-bench with 1 and with 8 decoders; prints the real-time factor
// (processing time / audio length), speed-up over real time, peak memory and the word error rate.
// Then times the word-list operations (cues, caption files, filler plan, chapters, clip choice)
// once on a one-hour list of about 9000 words.
//
//   transcription-bench [--minutes N] [--decoders LIST] [--rate HZ] [--channels N] [--keep FILE]
//
// LIST is comma-separated (default 1,8); the recording is 44.1 kHz stereo unless --rate and
// --channels say otherwise. transcribe-bench must sit beside this program.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "CommandLine.h"
#include "audio/PCMStream.h"
#include "audio/WAVWriter.h"
#include "audio/podcast/ChapterBuilder.h"
#include "audio/podcast/ClipPicker.h"
#include "audio/podcast/FillerRemover.h"
#include "audio/podcast/Transcriber.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const fs::path librivox = "/usr/share/pocketsphinx/test/data/librivox";

struct Clip {
    std::vector<float> samples;  // mono 44.1 kHz
    std::vector<std::string> words;
};

std::vector<Clip> loadClips(double rate) {
    std::map<std::string, std::vector<std::string>> transcripts;
    std::ifstream t(librivox / "transcription");
    std::string line;
    while (std::getline(t, line)) {
        std::istringstream s(line);
        std::vector<std::string> words;
        std::string w, id;
        while (s >> w) {
            if (w[0] == '(') id = w.substr(1, w.size() - 2);
            else if (w[0] != '<') words.push_back(w);
        }
        transcripts[id] = words;
    }
    std::vector<Clip> clips;
    std::ifstream ids(librivox / "fileids");
    std::string id;
    while (ids >> id) {
        Clip c;
        c.words = transcripts[id];
        lw::PCMStream::read(librivox / (id + ".wav"), rate, 1, std::nullopt,
                            [&](std::span<const float> s, std::size_t) { c.samples.insert(c.samples.end(), s.begin(), s.end()); });
        clips.push_back(std::move(c));
    }
    return clips;
}

// Writes the recording; returns the reference words in order.
std::vector<std::string> makeRecording(const fs::path& to, double minutes, double rate, int channels) {
    const auto clips = loadClips(rate);
    std::mt19937 random(12);
    std::uniform_real_distribution<double> pause(0.3, 1.2);
    std::normal_distribution<float> room(0, 0.0005f);
    lw::WAVWriter writer(to, rate, channels, 16);
    std::vector<std::string> reference;
    std::vector<float> frames;
    double written = 0;
    std::vector<std::size_t> order(clips.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    while (written < minutes * 60) {
        std::shuffle(order.begin(), order.end(), random);
        for (std::size_t k : order) {
            frames.clear();
            const auto gap = static_cast<std::size_t>(pause(random) * rate);
            for (std::size_t i = 0; i < gap; ++i) {
                const float s = room(random);
                for (int c = 0; c < channels; ++c) frames.push_back(s);
            }
            for (float s : clips[k].samples)
                for (int c = 0; c < channels; ++c) frames.push_back(s);
            const std::size_t count = frames.size() / static_cast<std::size_t>(channels);
            writer.write(frames, count);
            written += static_cast<double>(count) / rate;
            reference.insert(reference.end(), clips[k].words.begin(), clips[k].words.end());
        }
    }
    writer.close();
    return reference;
}

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::vector<std::string> plain(const std::vector<std::string>& texts) {
    std::vector<std::string> out;
    for (const auto& w : texts) {
        std::string t;
        for (char c : w)
            if (std::isalpha(static_cast<unsigned char>(c)) || c == '\'') t += static_cast<char>(std::tolower(c));
        if (!t.empty()) out.push_back(t);
    }
    return out;
}

double wordErrorRate(const std::vector<std::string>& ref, const std::vector<std::string>& hyp) {
    std::vector<std::size_t> row(hyp.size() + 1), next(hyp.size() + 1);
    for (std::size_t j = 0; j <= hyp.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= ref.size(); ++i) {
        next[0] = i;
        for (std::size_t j = 1; j <= hyp.size(); ++j)
            next[j] = std::min({row[j] + 1, next[j - 1] + 1, row[j - 1] + (ref[i - 1] == hyp[j - 1] ? 0 : 1)});
        std::swap(row, next);
    }
    return ref.empty() ? 0.0 : static_cast<double>(row[hyp.size()]) / static_cast<double>(ref.size());
}

double ms(Clock::time_point since) { return std::chrono::duration<double, std::milli>(Clock::now() - since).count(); }

void timeWordOperations() {
    // One hour: 9000 words of 0.3 s at 0.4 s spacing in sentences of 12 with 1.3 s pauses, a
    // filler now and then, a question every 50 words.
    std::vector<lw::CaptionWord> words;
    double t = 0;
    for (int i = 0; i < 9000; ++i) {
        std::string text = i % 37 == 5 ? "um" : i % 53 == 7 ? "the" : "word";
        if (i % 12 == 11) text += i % 50 < 12 ? "?" : ".";
        words.push_back({text, t, t + 0.3});
        t += i % 12 == 11 ? 1.6 : 0.4;
    }
    const double duration = t;
    std::vector<lw::FillerRemover::SpeechFrame> frames(static_cast<std::size_t>(duration / 0.02));
    std::mt19937 random(5);
    std::normal_distribution<float> level(-25, 8);
    for (auto& f : frames) f = {level(random), level(random) + 10};
    std::vector<float> levels(static_cast<std::size_t>(duration / 0.5));
    for (auto& l : levels) l = std::fabs(level(random)) / 100;

    std::printf("word operations on %zu words (%.0f s):\n", words.size(), duration);
    auto started = Clock::now();
    const auto cues = lw::Transcriber::cues(words, 42, 4.0);
    std::printf("  cues              %8.2f ms (%zu cues)\n", ms(started), cues.size());
    started = Clock::now();
    const auto srt = lw::Transcriber::srt(cues, 5);
    const auto vtt = lw::Transcriber::vtt(cues, 5);
    const auto txt = lw::Transcriber::plainText(words, 5);
    std::printf("  srt+vtt+txt       %8.2f ms (%zu bytes)\n", ms(started), srt.size() + vtt.size() + txt.size());
    started = Clock::now();
    const auto hidden = lw::FillerRemover::hiddenFillerCuts(words, frames);
    std::printf("  hidden fillers    %8.2f ms (%zu frames, %zu cuts)\n", ms(started), frames.size(), hidden.size());
    started = Clock::now();
    const auto plan = lw::FillerRemover::plan(words, true, hidden);
    std::printf("  filler plan       %8.2f ms (%d removed)\n", ms(started), plan.count());
    started = Clock::now();
    const auto chapters = lw::ChapterBuilder::automatic(words, duration);
    const auto json = lw::ChapterBuilder::json(chapters);
    const auto meta = lw::ChapterBuilder::ffmetadata(chapters, duration);
    std::printf("  chapters          %8.2f ms (%zu chapters)\n", ms(started), chapters.size());
    started = Clock::now();
    const double lively = lw::ClipPicker::liveliestStart(words, duration, 45);
    const double loud = lw::ClipPicker::loudestStart(levels, 0.5, 45);
    std::printf("  clip choice       %8.2f ms (%.2f s, %.2f s)\n", ms(started), lively, loud);
    (void)json;
    (void)meta;
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 10, rate = 44100;
    int channels = 2;
    std::vector<int> decoders{1, 8};
    fs::path keep;
    const char* const usage =
        "usage: transcription-bench [--minutes N] [--decoders LIST] [--rate HZ] [--channels N] [--keep FILE]\n"
        "  --minutes N      length of the made recording in minutes, above 0 and at most 10000 (default 10)\n"
        "  --decoders LIST  decoder counts to run, comma-separated, each 1 to 1024 (default 1,8)\n"
        "  --rate HZ        sample rate of the recording, 8000 to 192000 (default 44100)\n"
        "  --channels N     channels of the recording, 1 to 8 (default 2)\n"
        "  --keep FILE      write the recording to FILE and keep it\n";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (lw::bench::isHelp(a)) return lw::bench::printHelp(usage);
        const bool known = a == "--minutes" || a == "--decoders" || a == "--rate" || a == "--channels" || a == "--keep";
        if (!known) return lw::bench::refuse("transcription-bench", "unknown argument '" + a + "'", usage);
        if (i + 1 >= argc) return lw::bench::refuse("transcription-bench", a + " needs a value", usage);
        const std::string value = argv[++i];
        const auto bad = [&](const std::string& allowed) {
            return lw::bench::refuse("transcription-bench", a + " takes " + allowed + ", not '" + value + "'", usage);
        };
        if (a == "--minutes") {
            const auto n = lw::bench::finiteNumber(value);
            if (!n || !(*n > 0 && *n <= 10000)) return bad("a number of minutes above 0 and at most 10000");
            minutes = *n;
        } else if (a == "--decoders") {
            decoders.clear();
            std::stringstream s(value);
            std::string n;
            while (std::getline(s, n, ',')) {
                const auto count = lw::bench::wholeNumber(n, 1, 1024);
                if (!count) return bad("decoder counts from 1 to 1024 separated by commas, such as 1,8");
                decoders.push_back(static_cast<int>(*count));
            }
            if (decoders.empty()) return bad("decoder counts from 1 to 1024 separated by commas, such as 1,8");
        } else if (a == "--rate") {
            const auto n = lw::bench::finiteNumber(value);
            if (!n || !(*n >= 8000 && *n <= 192000)) return bad("a sample rate from 8000 to 192000");
            rate = *n;
        } else if (a == "--channels") {
            const auto n = lw::bench::wholeNumber(value, 1, 8);
            if (!n) return bad("a whole number from 1 to 8");
            channels = static_cast<int>(*n);
        } else {
            keep = value;
        }
    }

    timeWordOperations();

    const fs::path file = keep.empty() ? fs::temp_directory_path() / ("transcription-bench-" + std::to_string(getpid()) + ".wav") : keep;
    const auto reference = makeRecording(file, minutes, rate, channels);
    const fs::path tool = fs::absolute(fs::path(argv[0])).parent_path() / "transcribe-bench";
    std::printf("recording: %.1f min at %.0f Hz, %d channels, %zu reference words\n", minutes, rate, channels,
                reference.size());

    for (int n : decoders) {
        const std::string command = quoted(tool.string()) + " --decoders " + std::to_string(n) + " " + quoted(file.string());
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) return 1;
        std::vector<std::string> hyp;
        std::string closing;
        char line[4096];
        while (std::fgets(line, sizeof line, pipe)) {
            std::string l = line;
            if (l.rfind("words=", 0) == 0) {
                closing = l;
                continue;
            }
            std::istringstream s(l);
            std::string a, b, w;
            if (s >> a >> b >> w) hyp.push_back(w);
        }
        const int status = pclose(pipe);
        double audio = 0, time = 0, peak = 0;
        std::sscanf(closing.c_str(), "words=%*d audio=%lf time=%lf rtf=%*f peak_mb=%lf", &audio, &time, &peak);
        std::printf("decoders=%d rtf=%.4f speed=%.1fx realtime time=%.1f s peak_mb=%.0f wer=%.1f%% status=%d\n", n,
                    audio > 0 ? time / audio : 0.0, time > 0 ? audio / time : 0.0, time, peak,
                    100 * wordErrorRate(plain(reference), plain(hyp)), status);
    }
    if (keep.empty()) fs::remove(file);
    return 0;
}
