#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>

#include <nlohmann/json.hpp>
#include <vips/vips8>

#include "../audio/AudioTestUtil.h"
#include "audio/FFmpegHandles.h"
#include "audio/podcast/AudioVideoPipeline.h"
#include "audio/podcast/ChapterBuilder.h"
#include "audio/LoudnessProcessing.h"
#include "audio/podcast/FillerRemover.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using test::writeWav;
using Request = AudioVideoPipeline::MultiFormatExportRequest;
using Clip = AudioVideoPipeline::ClipChoice;
using Chapters = AudioVideoPipeline::ChapterSetting;

constexpr double kRate = 44100;

// Tone bursts with short gaps: 0.4 s of tone, 0.2 s of near silence.
void writeSpeechLike(const fs::path& path, double seconds, double frequency = 220, float amplitude = 0.2f,
                     int channels = 1) {
    const auto frames = static_cast<std::size_t>(seconds * kRate);
    writeWav(path, kRate, channels, frames, [&](std::size_t i, int) {
        const double t = static_cast<double>(i) / kRate;
        const bool on = std::fmod(t, 0.6) < 0.4;
        return static_cast<float>((on ? amplitude : 0.001f) * std::sin(2 * M_PI * frequency * t));
    });
}

class FakeTranscriber : public Transcriber {
public:
    explicit FakeTranscriber(std::vector<CaptionWord> words, bool fail = false) : words_(std::move(words)), fail_(fail) {}
    std::vector<CaptionWord> transcribe(const fs::path&, const std::string&) const override {
        if (fail_) throw TranscriberError::nothingRecognised();
        return words_;
    }

private:
    std::vector<CaptionWord> words_;
    bool fail_;
};

const std::vector<CaptionWord> kWords{{"Hello.", 0.5, 0.9}, {"This", 1.0, 1.2}, {"is", 1.3, 1.4},
                                      {"a", 1.5, 1.6},      {"test.", 1.7, 2.0}};

// The header of a 25000 x 25000 grey PNG whose pixel data stops after the first rows: readers
// of headers take it, nothing would decode it.
const std::string kHugePNG(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x61\xa8\x00\x00\x61\xa8\x08\x00"
    "\x00\x00\x00\xed\xbb\xf4\xc1\x00\x00\x00\x0c\x49\x44\x41\x54\x78\x9c\x63\x60\xa0\x3d\x00\x00\x00\x64"
    "\x00\x01\x86\x64\x3c\x35\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82",
    69);

// The codec of the file's attached picture, "" when it has none.
std::string attachedPicture(const fs::path& file) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return "unreadable";
    const av::InputPtr input(raw);
    for (unsigned i = 0; i < raw->nb_streams; ++i)
        if (raw->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC)
            return avcodec_get_name(raw->streams[i]->codecpar->codec_id);
    return "";
}

nlohmann::json probe(const fs::path& file, const std::string& what) {
    const auto doc = nlohmann::json::parse(test::capture("ffprobe -v error " + what + " -of json " + test::quoted(file)),
                                           nullptr, false);
    return doc.is_discarded() ? nlohmann::json::object() : doc;
}

// A log line about the test's episode: every line of an export names it.
std::string named(const std::string& line) { return "episode.wav: " + line; }

struct Reports {
    std::mutex mutex;
    std::vector<std::pair<double, std::string>> progress;
    std::vector<std::string> log;

    AudioVideoPipeline::ProgressHandler onProgress() {
        return [this](double f, const std::string& m) {
            std::lock_guard lock(mutex);
            progress.emplace_back(f, m);
        };
    }
    AudioVideoPipeline::LogHandler onLog() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex);
            log.push_back(line);
        };
    }
    bool logged(const std::string& line) const { return std::find(log.begin(), log.end(), line) != log.end(); }
    bool loggedStart(const std::string& prefix) const {
        return std::any_of(log.begin(), log.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; });
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& p : progress) out.push_back(p.second);
        return out;
    }
};

class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        dir = test::makeTempDir("pipeline-" + name);
        scratchRoot = dir / "tmp";
        fs::create_directories(scratchRoot);
        const char* old = std::getenv("TMPDIR");
        if (old) savedTmp = old;
        ::setenv("TMPDIR", scratchRoot.c_str(), 1);
        out = dir / "out";
        episode = dir / "episode.wav";
        writeSpeechLike(episode, 4.0);
    }
    void TearDown() override {
        if (savedTmp)
            ::setenv("TMPDIR", savedTmp->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
        fs::remove_all(dir);
    }

    Request request(bool master = true, bool rss = false, bool reference = false, bool audiogram = false) const {
        ID3TagInjector::PodcastMetadata tags{.title = "Pilot", .artist = "Host", .podcastName = "Show",
                                             .episodeNumber = 1, .seasonNumber = std::nullopt,
                                             .showNotes = "Notes", .releaseYear = 2026, .artworkURL = std::nullopt};
        return Request(episode, out, "Show_01_Pilot", tags, master, rss, reference, audiogram,
                       {-16, -1, 11, false});
    }

    // Files in the output folder (hidden temporaries included) and scratch folders left behind.
    std::set<std::string> outputNames() const {
        std::set<std::string> names;
        if (fs::exists(out))
            for (const auto& e : fs::directory_iterator(out)) names.insert(e.path().filename().string());
        return names;
    }
    std::size_t scratchFoldersLeft() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(scratchRoot), fs::directory_iterator()));
    }

    static std::vector<std::string> fileNames(const std::vector<fs::path>& files) {
        std::vector<std::string> names;
        for (const auto& f : files) names.push_back(f.filename().string());
        return names;
    }

    fs::path dir, scratchRoot, out, episode;
    std::optional<std::string> savedTmp;
    FFmpegRunner noFFmpeg{std::vector<fs::path>{}};
};

TEST_F(PipelineTest, FullRunWithMusicChaptersTranscriptsAndAACFile) {
    const fs::path intro = dir / "intro.wav", outro = dir / "outro.wav";
    writeSpeechLike(intro, 2.0, 660, 0.3f);
    writeSpeechLike(outro, 1.5, 330, 0.3f);
    AudioVideoPipeline pipeline(noFFmpeg, std::make_shared<FakeTranscriber>(kWords));
    Request r = request(true, true, true, true);
    r.introURL = intro;
    r.outroURL = outro;
    r.generateTranscripts = true;
    r.captionAudiogram = true;
    r.chapters = Chapters::automatic();
    r.audiogramSeconds = 1;
    Reports reports;
    const auto files = pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());

    EXPECT_EQ(fileNames(files),
              (std::vector<std::string>{"Show_01_Pilot_Master_-16LUFS.wav", "Show_01_Pilot_Chapters.json",
                                        "Show_01_Pilot_Chapters.txt", "Show_01_Pilot_RSS.m4a",
                                        "Show_01_Pilot_WhisperRef_16k.wav", "Show_01_Pilot_Transcript.srt",
                                        "Show_01_Pilot_Transcript.vtt", "Show_01_Pilot_Transcript.txt",
                                        "Show_01_Pilot_Audiogram.mp4"}));
    for (const auto& f : files) EXPECT_EQ(f.parent_path(), fs::absolute(out));
    const auto names = fileNames(files);
    EXPECT_EQ(outputNames(), std::set<std::string>(names.begin(), names.end()));
    EXPECT_EQ(scratchFoldersLeft(), 0u);

    EXPECT_EQ(reports.messages(),
              (std::vector<std::string>{"Measuring loudness (ITU-R BS.1770)...", "Transcribing on this computer...",
                                        "Adding intro / outro music...", "Encoding AAC RSS Master with tags...",
                                        "Generating 16kHz mono Whisper transcript reference...",
                                        "Rendering social audiogram video snippet...", "Export complete."}));
    const std::vector<double> fractions{0.05, 0.25, 0.3, 0.45, 0.6, 0.85, 1.0};
    for (std::size_t i = 0; i < fractions.size() && i < reports.progress.size(); ++i)
        EXPECT_EQ(reports.progress[i].first, fractions[i]);

    // Several episodes may share one log: every line names its episode.
    ASSERT_FALSE(reports.log.empty());
    for (const auto& line : reports.log) EXPECT_EQ(line.rfind("episode.wav: ", 0), 0u) << line;
    // The first content chapter starts right after the intro; the closing music has its own.
    EXPECT_TRUE(reports.loggedStart(named("Chapters: 3 (Intro · ")));
    EXPECT_TRUE(reports.logged(named("Transcript: 5 words, 1 captions")));
    EXPECT_TRUE(reports.logged(
        named("RSS master written as AAC (.m4a). Install FFmpeg (sudo apt install ffmpeg) to get MP3 instead.")));

    // The master is intro, episode and outro; the reference is the same programme at 16 kHz mono.
    const auto master = PCMStream::format(files[0]);
    EXPECT_NEAR(master.durationSeconds, 7.5, 0.01);
    const auto reference = PCMStream::format(files[4]);
    EXPECT_EQ(reference.sampleRate, 16000);
    EXPECT_EQ(reference.channels, 1);
    EXPECT_NEAR(reference.durationSeconds, master.durationSeconds, 0.01);

    // Chapters and transcripts are on the programme's time line: shifted by the intro.
    std::ifstream chapters(files[2]);
    std::string text((std::istreambuf_iterator<char>(chapters)), {});
    EXPECT_EQ(text.rfind("00:00 Intro\n", 0), 0u) << text;
    EXPECT_NE(text.find("00:02 "), std::string::npos) << text;
    EXPECT_NE(text.find("00:06 Outro\n"), std::string::npos) << text;
    std::ifstream srt(files[5]);
    std::string captions((std::istreambuf_iterator<char>(srt)), {});
    EXPECT_EQ(captions.rfind("1\n" + Transcriber::timestamp(2.5, ",") + " --> ", 0), 0u) << captions;
}

TEST_F(PipelineTest, ACXCheckWithoutMasterIsTheFirstDeliverable) {
    AudioVideoPipeline pipeline(noFFmpeg, nullptr);
    Request r = request(false);
    r.targetLUFS = {-20, -3.5, 11, true};
    r.cleanup.roomToneSeconds = 1.0;  // not the all-off value
    Reports reports;
    const auto files = pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
    EXPECT_EQ(fileNames(files), std::vector<std::string>{"Show_01_Pilot_ACX_Check.txt"});
    ASSERT_FALSE(reports.progress.empty());
    EXPECT_EQ(reports.progress[0].second, "Analysing and cleaning up audio...");
    EXPECT_TRUE(reports.logged(named("ACX check: passes")) ||
                reports.logged(named("ACX check: does not pass yet, see Show_01_Pilot_ACX_Check.txt")));
    EXPECT_TRUE(reports.loggedStart("episode.wav: RMS "));
    EXPECT_EQ(AudioVideoPipeline::masterSuffix(r.targetLUFS), "_Master_ACX.wav");
}

// Per-channel levels of a decoded file, by plain arithmetic over its samples.
struct ChannelLevels {
    double rmsDB = 0;
    double samplePeakDB = 0;
};
std::vector<ChannelLevels> channelLevels(const fs::path& file) {
    PCMStream::Format format;
    const auto samples = test::readAll(file, std::nullopt, std::nullopt, &format);
    const auto channels = static_cast<std::size_t>(format.channels);
    std::vector<ChannelLevels> out(channels);
    for (std::size_t c = 0; c < channels; ++c) {
        double sum = 0, peak = 0;
        std::size_t n = 0;
        for (std::size_t i = c; i < samples.size(); i += channels, ++n) {
            sum += double(samples[i]) * samples[i];
            peak = std::max(peak, double(std::abs(samples[i])));
        }
        out[c] = {10 * std::log10(sum / double(n)), 20 * std::log10(peak)};
    }
    return out;
}

// A figure of the summary of `ffmpeg -af ebur128=peak=true` ("I:" integrated, "Peak:" true peak).
double ebur128Figure(const fs::path& file, const std::string& label) {
    const std::string command =
        "ffmpeg -hide_banner -nostats -i " + test::quoted(file) + " -af ebur128=peak=true -f null - 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return NAN;
    std::string text;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
    ::pclose(pipe);
    const std::size_t summary = text.rfind("Summary:");
    const std::size_t at = text.find(label, summary == std::string::npos ? 0 : summary);
    return at == std::string::npos ? NAN : std::strtod(text.c_str() + at + label.size(), nullptr);
}

std::string fileText(const fs::path& file) {
    std::ifstream in(file);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The "%6.1f" figure after `label` on the report's line.
double reportFigure(const std::string& report, const std::string& label) {
    const std::size_t at = report.find(label);
    return at == std::string::npos ? NAN : std::strtod(report.c_str() + at + label.size(), nullptr);
}

// The ACX check is of the file delivered: the master with its music, each channel on its own,
// and the MP3 to upload, which only exists with FFmpeg and the RSS master on.
TEST_F(PipelineTest, ACXCheckIsOfTheDeliveredFile) {
    if (!test::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    const fs::path plucks = dir / "plucks.wav";  // a short pluck every two seconds, silence between
    writeWav(plucks, kRate, 1, static_cast<std::size_t>(10 * kRate), [](std::size_t i, int) {
        const double t = std::fmod(static_cast<double>(i) / kRate, 2.0);
        return static_cast<float>(0.5 * std::exp(-t * 40) * std::sin(2 * M_PI * 880 * t));
    });
    // Phrases of a second with pauses long enough to show the noise floor between them.
    const auto narration = [&](const std::string& name, double rate, std::vector<double> amplitudes,
                               double pause = 0.002) {
        const fs::path file = dir / name;
        writeWav(file, rate, static_cast<int>(amplitudes.size()), static_cast<std::size_t>(6 * rate),
                 [&](std::size_t i, int c) {
                     const double t = static_cast<double>(i) / rate;
                     const double on = std::fmod(t, 1.8) < 1.0 ? 1.0 : pause;
                     return static_cast<float>(amplitudes[c] * on * std::sin(2 * M_PI * 220 * t));
                 });
        return file;
    };
    const fs::path speech = narration("speech.wav", kRate, {0.2});
    const fs::path unequal = narration("unequal.wav", kRate, {0.3, 0.06});  // right channel 14 dB down
    const fs::path rate96k = narration("rate96k.wav", 96000, {0.2});
    const fs::path noisy = narration("noisy.wav", kRate, {0.2}, 0.1);  // pauses 20 dB under the phrases

    struct Case {
        const char* name;
        fs::path source;
        std::optional<fs::path> intro;
        bool rss, mp3;
        const char* fails;  // the one failing line, "" for none
        std::string rateLine;
        bool gate = false;
    };
    const std::string upload = "Sample rate    44100 Hz    (ACX wants 44100 Hz; upload as 192 kbps CBR MP3)";
    const Case cases[] = {
        {"narration alone", speech, std::nullopt, true, true, "", upload},
        {"quiet intro", speech, plucks, true, true, "RMS level", upload},
        {"unequal channels", unequal, std::nullopt, true, true, "RMS level", upload},
        {"96 kHz master, 44.1 kHz MP3", rate96k, std::nullopt, true, true, "", upload},
        {"96 kHz without the RSS master", rate96k, std::nullopt, false, true, "Sample rate",
         "FAIL  Sample rate    96000 Hz    (ACX wants 44100 Hz in a 192 kbps CBR MP3; no MP3 is made with the RSS "
         "master turned off)"},
        {"M4A without FFmpeg", speech, std::nullopt, true, false, "Sample rate",
         "FAIL  Sample rate    44100 Hz    (ACX wants 44100 Hz in a 192 kbps CBR MP3; no MP3 is made without FFmpeg "
         "(sudo apt install ffmpeg); the RSS file is an M4A)"},
        {"noise with the gate on", noisy, std::nullopt, true, true, "Noise floor", upload, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out);
        AudioVideoPipeline pipeline(c.mp3 ? FFmpegRunner::shared() : noFFmpeg, nullptr);
        Request r = request(true, c.rss);
        r.sourceURL = c.source;
        r.introURL = c.intro;
        r.targetLUFS = LoudnessNormalizer::LoudnessTarget::audibleACX();
        r.cleanup.noiseGate = c.gate;
        Reports reports;
        const auto files = pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
        ASSERT_GE(files.size(), 2u);
        const fs::path master = files[0];
        const std::string report = fileText(files[1]);
        const auto levels = channelLevels(master);

        // RMS: the channel furthest from the range decides; both channels of a stereo file are listed.
        const auto miss = [](double db) { return std::max(-23.0 - db, db + 18.0); };
        double worst = levels[0].rmsDB;
        for (const auto& l : levels)
            if (miss(l.rmsDB) > miss(worst)) worst = l.rmsDB;
        EXPECT_NEAR(reportFigure(report, "RMS level      "), worst, 0.06) << report;
        if (levels.size() == 2) {
            char listed[64];
            std::snprintf(listed, sizeof listed, "(left %.1f, right %.1f)", levels[0].rmsDB, levels[1].rmsDB);
            EXPECT_NE(report.find(listed), std::string::npos) << report;
        }
        // The report's peak is the master's true peak; the log's is the sample peak of the episode
        // (here, without music, the master).
        EXPECT_NEAR(reportFigure(report, "True peak      "), ebur128Figure(master, "Peak:"), 0.2) << report;
        if (!c.intro) {
            double samplePeak = -200;
            for (const auto& l : levels) samplePeak = std::max(samplePeak, l.samplePeakDB);
            char peakText[64];
            std::snprintf(peakText, sizeof peakText, ", sample peak %.1f dB, ", samplePeak);
            EXPECT_TRUE(std::any_of(reports.log.begin(), reports.log.end(), [&](const std::string& l) {
                return l.rfind(c.source.filename().string() + ": RMS ", 0) == 0 && l.find(peakText) != std::string::npos;
            })) << ::testing::PrintToString(reports.log) << peakText;
        }
        EXPECT_NE(report.find("\n" + c.rateLine + "\n"), std::string::npos) << report;
        const bool passes = !*c.fails;
        EXPECT_EQ(report.find("PASSES") != std::string::npos, passes) << report;
        EXPECT_EQ(report.find("FAIL  ") == std::string::npos, passes) << report;
        if (!passes) EXPECT_NE(report.find(std::string("\nFAIL  ") + c.fails), std::string::npos) << report;
        EXPECT_EQ(reports.logged(c.source.filename().string() + ": ACX check: passes"), passes);
        // The tip fits the clean-up that was asked for.
        if (std::string(c.fails) == "Noise floor")
            EXPECT_NE(report.find(c.gate ? "Tip: the noise gate is already on" : "Tip: turn on the noise gate"),
                      std::string::npos)
                << report;
        if (c.rss && c.mp3) {
            const auto mp3 = PCMStream::format(files.back());
            EXPECT_EQ(mp3.sampleRate, 44100);
        }
    }
}

// AAC overshoots the peaks it is given: the M4A keeps the target's true-peak ceiling all the same.
TEST_F(PipelineTest, M4AKeepsTheTruePeakCeiling) {
    if (!test::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    const double rate = 48000;
    struct Case {
        const char* name;
        LoudnessNormalizer::LoudnessTarget target;
        double frequency;
    };
    const Case cases[] = {
        {"Spotify", {-14, -1, 11, false}, 180},
        {"Apple", {-16, -1, 11, false}, 250},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out);
        // A quiet tone under sharp clicks, the channels apart: the limiter holds the clicks at the
        // ceiling and the encoder rings over them.
        const fs::path source = dir / (std::string(c.name) + ".wav");
        writeWav(source, rate, 2, static_cast<std::size_t>(3 * rate), [&](std::size_t i, int ch) {
            const double t = static_cast<double>(i) / rate;
            const double tone = 0.05 * std::sin(2 * M_PI * c.frequency * (ch ? 1.5 : 1.0) * t);
            const std::size_t inClick = (i + (ch ? 1200 : 0)) % 2400;  // a 1 ms click every 50 ms
            const double click = inClick < 48 ? 0.9 * ((inClick * 7919 + ch) % 3 == 0 ? -1.0 : 1.0) : 0.0;
            return static_cast<float>(tone + click);
        });
        AudioVideoPipeline pipeline(noFFmpeg, nullptr);
        Request r = request(true, true);
        r.sourceURL = source;
        r.targetLUFS = c.target;
        Reports reports;
        const auto files = pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
        ASSERT_EQ(fileNames(files), (std::vector<std::string>{"Show_01_Pilot_Master_" +
                                                                  std::to_string(int(c.target.integratedLUFS)) +
                                                                  "LUFS.wav",
                                                              "Show_01_Pilot_RSS.m4a"}));
        const double master = ebur128Figure(files[0], "Peak:");
        const double m4a = ebur128Figure(files[1], "Peak:");
        EXPECT_LE(master, c.target.truePeakDB + 0.05);
        EXPECT_LE(m4a, c.target.truePeakDB) << ::testing::PrintToString(reports.log);
        // Lowered by about the overshoot, not far more.
        EXPECT_GE(m4a, c.target.truePeakDB - 1.0) << ::testing::PrintToString(reports.log);
        EXPECT_TRUE(reports.loggedStart(source.filename().string() + ": RSS file: AAC encoded "));
    }
}

// A level that misses the target by more than 0.5 dB is said so, with both figures and the cause.
TEST_F(PipelineTest, MissedTargetIsSaidWithItsCause) {
    if (!test::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    const auto phrases = [](double amplitude, double gap) {
        return [=](std::size_t i, int) {
            const double t = static_cast<double>(i) / kRate;
            return static_cast<float>((std::fmod(t, 0.6) < 0.4 ? amplitude : gap) * std::sin(2 * M_PI * 220 * t));
        };
    };
    const auto clicks = [](std::size_t i, int) {  // a quiet tone under a 1 ms click every 50 ms
        const std::size_t inClick = i % 2205;
        const double click = inClick < 44 ? (inClick % 3 == 0 ? -0.9 : 0.9) : 0.0;
        return static_cast<float>(0.05 * std::sin(2 * M_PI * 220 * static_cast<double>(i) / kRate) + click);
    };
    struct Case {
        const char* name;
        std::function<float(std::size_t, int)> source;
        double targetLUFS;
        std::string cause;  // "" when the target is reached
    };
    const Case cases[] = {
        {"speech", phrases(0.2, 0.001), -16, ""},
        {"clicks", clicks, -14, ", held back by the -1.0 dBTP true-peak ceiling (limiter -"},
        {"very quiet", phrases(0.0005, 0), -16, ", held back by the 40 dB gain limit (+"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out);
        const fs::path source = dir / (std::string(c.name) + ".wav");
        writeWav(source, kRate, 1, static_cast<std::size_t>(4 * kRate), c.source);
        AudioVideoPipeline pipeline(noFFmpeg, nullptr);
        Request r = request(true);
        r.sourceURL = source;
        r.targetLUFS = {c.targetLUFS, -1, 11, false};
        Reports reports;
        const auto files = pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
        const double delivered = ebur128Figure(files[0], "I:");
        const std::string head = source.filename().string() + ": Loudness target not reached: ";
        std::vector<std::string> lines;
        for (const auto& line : reports.log)
            if (line.rfind(head, 0) == 0) lines.push_back(line);
        if (c.cause.empty()) {
            EXPECT_NEAR(delivered, c.targetLUFS, 0.5);
            EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
            continue;
        }
        EXPECT_LT(delivered, c.targetLUFS - 0.5);
        ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(reports.log);
        EXPECT_NEAR(std::strtod(lines[0].c_str() + head.size(), nullptr), delivered, 0.15) << lines[0];
        char target[64];
        std::snprintf(target, sizeof target, " LUFS delivered, target %.1f LUFS", c.targetLUFS);
        EXPECT_NE(lines[0].find(target + c.cause), std::string::npos) << lines[0];
    }
}

TEST_F(PipelineTest, TranscriptionOutcomes) {
    struct Case {
        const char* name;
        std::shared_ptr<const Transcriber> transcriber;
        std::string skippedLine;  // empty: words arrive
    };
    const Case cases[] = {
        {"unavailable", nullptr, "Transcript skipped: on-device transcription needs an on-device speech model."},
        {"failing", std::make_shared<FakeTranscriber>(kWords, true), "Transcript skipped: No speech was recognised."},
        {"words", std::make_shared<FakeTranscriber>(kWords), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out);
        AudioVideoPipeline pipeline(noFFmpeg, c.transcriber);
        Request r = request(false);
        r.generateTranscripts = true;
        r.removeFillers = true;
        Reports reports;
        const auto files = pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
        if (!c.skippedLine.empty()) {
            EXPECT_TRUE(reports.logged(named(c.skippedLine)));
            EXPECT_TRUE(files.empty());
            EXPECT_FALSE(reports.loggedStart(named("Filler words")));
            EXPECT_FALSE(reports.loggedStart(named("Transcript: ")));
        } else {
            EXPECT_EQ(files.size(), 3u);
            EXPECT_FALSE(reports.loggedStart(named("Transcript skipped")));
        }
    }
    // Nothing asks for words: no transcription at all.
    AudioVideoPipeline pipeline(noFFmpeg, std::make_shared<FakeTranscriber>(kWords, true));
    Reports reports;
    pipeline.processMultiFormat(request(), reports.onProgress(), reports.onLog());
    EXPECT_FALSE(reports.loggedStart(named("Transcript skipped")));
    EXPECT_EQ(reports.messages(), (std::vector<std::string>{"Measuring loudness (ITU-R BS.1770)...", "Export complete."}));
}

TEST_F(PipelineTest, MissingIntroIsLoggedAndTheMasterIsTheEpisode) {
    AudioVideoPipeline pipeline(noFFmpeg, nullptr);
    Request r = request();
    r.introURL = dir / "nowhere.wav";
    Reports reports;
    const auto files = pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
    EXPECT_TRUE(reports.logged(named("Intro music not found: " + (dir / "nowhere.wav").string())));
    EXPECT_EQ(reports.messages()[1], "Adding intro / outro music...");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NEAR(PCMStream::format(files[0]).durationSeconds, 4.0, 0.01);
}

TEST_F(PipelineTest, DebugWordsLineWithAnEmptyValue) {
    ::setenv("LOTWRIGHT_DEBUG_WORDS", "", 1);
    AudioVideoPipeline pipeline(noFFmpeg, std::make_shared<FakeTranscriber>(
                                              std::vector<CaptionWord>{{"Hi", 0.5, 0.75}, {"there.", 0.8, 1.1}}));
    Request r = request(false);
    r.generateTranscripts = true;
    Reports reports;
    pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
    ::unsetenv("LOTWRIGHT_DEBUG_WORDS");
    EXPECT_TRUE(reports.logged(named("Words: Hi[0.50-0.75] there.[0.80-1.10]")));
}

TEST_F(PipelineTest, ManualChaptersAreNotShiftedByTheIntro) {
    const fs::path intro = dir / "intro.wav";
    writeSpeechLike(intro, 2.0, 660, 0.3f);
    AudioVideoPipeline pipeline(noFFmpeg, nullptr);
    Request r = request(false);
    r.introURL = intro;
    r.chapters = Chapters::manual("0:00 Start; 0:03 Middle");
    Reports reports;
    const auto files = pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
    ASSERT_EQ(fileNames(files),
              (std::vector<std::string>{"Show_01_Pilot_Chapters.json", "Show_01_Pilot_Chapters.txt"}));
    EXPECT_TRUE(reports.logged(named("Chapters: 2 (Start · Middle)")));
    std::ifstream in(files[1]);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("00:03"), std::string::npos) << text;

    r.chapters = Chapters::manual("no times here");
    Reports unreadable;
    EXPECT_TRUE(pipeline.processMultiFormat(r, unreadable.onProgress(), unreadable.onLog()).empty());
    EXPECT_TRUE(unreadable.logged(
        named("Chapters skipped: couldn't read the chapter list (use lines like \"5:30 Interview\")")));

    r.chapters = Chapters::automatic();
    Reports automatic;
    pipeline.processMultiFormat(r, automatic.onProgress(), automatic.onLog());
    EXPECT_TRUE(
        automatic.logged(named("Transcript skipped: on-device transcription needs an on-device speech model.")));
    EXPECT_TRUE(automatic.logged(named("Chapters skipped: automatic chapters need the transcript")));
}

// A manual list is kept to one chapter per start time and to the episode's length, and the log
// says which chapters it left out; the MP3's chapters (read back by ffprobe) and the JSON agree.
TEST_F(PipelineTest, ManualChapterListLeftOutsAreLoggedAndNoChapterIsEmpty) {
    if (!test::haveTool("ffprobe") || !FFmpegRunner::shared().isFFmpegAvailable()) GTEST_SKIP() << "no ffmpeg";
    writeSpeechLike(episode, 30.0);
    AudioVideoPipeline pipeline(FFmpegRunner::shared(), nullptr);
    Request r = request(false, true);
    r.chapters = Chapters::manual("0:00 Start; 0:10 Interview; 0:05 Earlier; 0:05 Dup; 0:20 Late; 9:00 Past");
    Reports reports;
    const auto files = pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
    ASSERT_EQ(fileNames(files), (std::vector<std::string>{"Show_01_Pilot_Chapters.json", "Show_01_Pilot_Chapters.txt",
                                                          "Show_01_Pilot_RSS_192k.mp3"}));
    EXPECT_TRUE(reports.logged(named("Chapters: 4 (Start · Earlier · Interview · Late)")));
    EXPECT_TRUE(reports.logged(named("Chapters with the same start kept once: 00:05 Earlier (left out: Dup)")));
    EXPECT_TRUE(reports.logged(
        named("Chapters left out, starting past the end of the episode (00:30) or in its last second: 09:00 Past")));

    std::ifstream in(files[0]);
    const auto json = nlohmann::json::parse(in);
    std::vector<std::pair<double, std::string>> listed;
    for (const auto& c : json["chapters"]) listed.emplace_back(c["startTime"].get<double>(), c["title"]);
    const std::vector<std::pair<double, std::string>> expected{{0, "Start"}, {5, "Earlier"}, {10, "Interview"}, {20, "Late"}};
    EXPECT_EQ(listed, expected);

    const auto chapters = probe(files[2], "-show_chapters")["chapters"];
    ASSERT_EQ(chapters.size(), expected.size()) << chapters.dump();
    for (std::size_t i = 0; i < chapters.size(); ++i) {
        SCOPED_TRACE(i);
        const double start = std::stod(chapters[i]["start_time"].get<std::string>());
        const double end = std::stod(chapters[i]["end_time"].get<std::string>());
        EXPECT_NEAR(start, expected[i].first, 1e-3);
        EXPECT_GT(end, start);
        EXPECT_EQ(chapters[i]["tags"]["title"], expected[i].second);
    }

    // A list of chapters that all lie past the end says so instead of calling the list unreadable.
    r.generateRSSMaster = false;
    r.chapters = Chapters::manual("1:00 Later; 0:29.5 Too late");
    Reports late;
    EXPECT_TRUE(pipeline.processMultiFormat(r, late.onProgress(), late.onLog()).empty());
    EXPECT_TRUE(late.logged(named("Chapters skipped: every chapter in the list starts past the end of the episode "
                                  "(00:30) or in its last second: 00:29 Too late; 01:00 Later")))
        << ::testing::PrintToString(late.log);
}

// The "_RSS_192k.mp3" file is 192 kb/s whatever the source's rate: MP3 carries that rate only at
// 32 kHz and above, so slower masters are encoded at 44.1 kHz. The master keeps its rate.
TEST_F(PipelineTest, TheRSSFileIs192kWhateverTheSourceRate) {
    if (!test::haveTool("ffprobe") || !FFmpegRunner::shared().isFFmpegAvailable()) GTEST_SKIP() << "no ffmpeg";
    AudioVideoPipeline pipeline(FFmpegRunner::shared(), nullptr);
    const std::pair<int, int> rates[] = {{8000, 44100},  {11025, 44100}, {16000, 44100},
                                         {22050, 44100}, {32000, 32000}, {48000, 48000}};
    for (const auto& [source, rss] : rates) {
        SCOPED_TRACE(source);
        writeWav(episode, source, 1, static_cast<std::size_t>(source) * 3, [&](std::size_t i, int) {
            return static_cast<float>(0.2 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / source));
        });
        fs::remove_all(out);
        const auto files = pipeline.processMultiFormat(request(true, true));
        ASSERT_EQ(files.size(), 2u);
        const auto master = probe(files[0], "-show_streams")["streams"][0];
        EXPECT_EQ(master["sample_rate"], std::to_string(source));
        const auto mp3 = probe(files[1], "-show_streams")["streams"][0];
        EXPECT_EQ(mp3["codec_name"], "mp3");
        EXPECT_EQ(mp3["sample_rate"], std::to_string(rss));
        EXPECT_EQ(mp3["bit_rate"], "192000");
    }
}

// Cutting fillers shortens the master by exactly the plan's cuts and moves the words onto the cut file.
TEST_F(PipelineTest, FillerCutsShortenTheMasterByThePlan) {
    const std::vector<CaptionWord> words{{"So", 0.5, 0.9}, {"um", 1.2, 1.55}, {"we", 1.8, 2.0}, {"go.", 2.1, 2.4}};
    AudioVideoPipeline pipeline(noFFmpeg, std::make_shared<FakeTranscriber>(words));
    Request r = request();
    r.generateTranscripts = true;
    const auto plain = pipeline.processMultiFormat(r);
    const auto plainFrames = test::readAll(plain[0]).size();

    r.removeFillers = true;
    r.baseFileName = "cut";
    Reports reports;
    const auto cut = pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
    ASSERT_TRUE(reports.loggedStart(named("Filler words: removed 1 (1 x "))) << (reports.log.size() > 1 ? reports.log[1] : "");
    const auto messages = reports.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Removing filler words..."), messages.end());

    // The plan the export followed, made again from the same processed episode.
    const fs::path processed = dir / "processed.wav";
    LoudnessNormalizer::process(episode, processed, r.targetLUFS, r.cleanup);
    const auto plan = FillerRemover::plan(
        words, true, FillerRemover::hiddenFillerCuts(words, LoudnessNormalizer::speechFrames(processed)));
    ASSERT_FALSE(plan.cuts.empty());
    double seconds = 0;
    for (const auto& range : plan.cuts) seconds += range.upperBound - range.lowerBound;
    const auto cutFrames = test::readAll(cut[0]).size();
    EXPECT_NEAR(static_cast<double>(plainFrames - cutFrames), seconds * kRate, static_cast<double>(plan.cuts.size()));

    // The transcript follows the cut episode.
    std::ifstream srt(cut[1]);
    std::string captions((std::istreambuf_iterator<char>(srt)), {});
    EXPECT_EQ(captions.find("um"), std::string::npos) << captions;
    EXPECT_NE(captions.find(Transcriber::timestamp(plan.words.back().end, ",")), std::string::npos) << captions;
}

// A cover goes into each deliverable that can carry it; where it cannot, one line says why, and
// the episode goes on. The audiogram draws any picture; an MP3's tags take PNG and JPEG only.
TEST_F(PipelineTest, CoverArtGoesWhereItCanAndSaysWhyNot) {
    if (!test::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    ASSERT_EQ(VIPS_INIT("audio_video_pipeline_test"), 0);
    const auto picture = [&](const std::string& name) {
        const fs::path file = dir / name;  // blue, so that it shows under the veil
        vips::VImage::black(32, 32)
            .new_from_image(std::vector<double>{0, 0, 255})
            .cast(VIPS_FORMAT_UCHAR)
            .write_to_file(file.c_str());
        return file;
    };
    const auto text = [&](const std::string& name) {
        std::ofstream(dir / name) << "not a picture";
        return dir / name;
    };
    const auto huge = [&](const std::string& name) {
        std::ofstream(dir / name, std::ios::binary) << kHugePNG;
        return dir / name;
    };
    struct Case {
        const char* name;
        fs::path cover;
        bool mp3;
        std::string line;  // "": no cover line
        std::string rssCover;  // codec of the RSS file's attached picture, "" for none
        bool audiogramCover;
    };
    const Case cases[] = {
        {"missing", dir / "nowhere.png", false, named("Cover art not found: nowhere.png"), "", false},
        {"not a picture", text("cover.jpg"), false, named("Cover art left out: cover.jpg is not a picture"), "",
         false},
        {"too large", huge("huge.png"), true,
         named("Cover art left out: huge.png is too large (25000 x 25000 pixels; at most 400 megapixels)"), "", false},
        {"WebP in an M4A: converted", picture("cover.webp"), false, "", "mjpeg", true},
        {"WebP beside an MP3", picture("cover.webp"), true,
         named("Cover art left out of the RSS file: cover.webp is not a PNG or JPEG picture"), "", true},
        {"PNG", picture("cover.png"), true, "", "png", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out);
        AudioVideoPipeline pipeline(c.mp3 ? FFmpegRunner::shared() : noFFmpeg, nullptr);
        Request r = request(false, true, false, true);
        r.audiogramSeconds = 1;
        r.metadata.artworkURL = c.cover;
        Reports reports;
        const auto files = pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
        ASSERT_EQ(files.size(), 2u);

        std::vector<std::string> coverLines;
        for (const auto& line : reports.log)
            if (line.find("Cover art") != std::string::npos) coverLines.push_back(line);
        EXPECT_EQ(coverLines, c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
        EXPECT_EQ(attachedPicture(files[0]), c.rssCover);

        // The frame's corner: the dark background, or the blue cover under the veil.
        const fs::path frame = dir / (std::string(c.name) + ".png");  // libvips caches by name
        ASSERT_TRUE(
            test::run("ffmpeg -y -v error -i " + test::quoted(files[1]) + " -frames:v 1 " + test::quoted(frame)));
        const auto corner = vips::VImage::new_from_file(frame.c_str()).getpoint(4, 4);
        EXPECT_EQ(corner[2] > 100, c.audiogramCover) << corner[0] << " " << corner[1] << " " << corner[2];
    }
}

// A PNG whose header reads and whose pixel data is damaged: FFmpeg complains when it decodes it.
fs::path damagedPNG(const fs::path& file) {
    if (VIPS_INIT("audio_video_pipeline_test") != 0) return file;
    void* bytes = nullptr;
    std::size_t size = 0;
    vips::VImage::gaussnoise(64, 64).cast(VIPS_FORMAT_UCHAR).write_to_buffer(".png", &bytes, &size);
    std::string png(static_cast<const char*>(bytes), size);
    g_free(bytes);
    const std::size_t data = png.find("IDAT");
    for (std::size_t i = data + 14; i < data + 44 && i < png.size(); ++i) png[i] = static_cast<char>(png[i] ^ 0x5a);
    std::ofstream(file, std::ios::binary) << png;
    return file;
}

// FFmpeg's own messages are detail lines of the episode they came from.
TEST_F(PipelineTest, FFmpegMessagesGoToTheEpisodesLog) {
    AudioVideoPipeline pipeline(noFFmpeg, nullptr);
    Request r = request(false, true);
    r.metadata.artworkURL = damagedPNG(dir / "cover.png");
    Reports reports;
    pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
    EXPECT_TRUE(reports.loggedStart(named("FFmpeg: [png] "))) << ::testing::PrintToString(reports.log);
}

// The libraries print nothing of their own on stderr, also where FFmpeg is first used (so in a
// fresh process) and with text that is not UTF-8 in the audiogram's title and captions.
TEST_F(PipelineTest, LibrariesPrintNothingOnStandardError) {
    if (!test::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto run = [&] {
        std::ofstream(dir / "cover.png") << "not a picture";
        AudioVideoPipeline pipeline(FFmpegRunner::shared(),
                                    std::make_shared<FakeTranscriber>(std::vector<CaptionWord>{
                                        {"Caf\xe9", 0.5, 0.9}, {"cr\xc3me", 1.0, 1.5}}));
        Request r = request(false, true, false, true);
        r.metadata.artworkURL = dir / "cover.png";
        r.metadata.podcastName = "Caf\xe9 Show";
        r.captionAudiogram = true;
        r.audiogramSeconds = 2;
        pipeline.processMultiFormat(r, {}, [](const std::string&) {});
    };
    using ::testing::HasSubstr;
    using ::testing::Not;
    EXPECT_EXIT(
        {
            run();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), ::testing::AllOf(Not(HasSubstr(" @ 0x")), Not(HasSubstr("Pango"))));
}

// Each bad input fails the export with an error naming the file, before anything is written,
// and leaves no scratch folder.
TEST_F(PipelineTest, BadInputFailsCleanly) {
    struct Case {
        const char* name;
        std::function<void(Request&)> setUp;
        std::string mention;  // expected in the error text
        std::string begins{};  // how the error text begins
    };
    const Case cases[] = {
        {"missing episode", [&](Request& r) { r.sourceURL = dir / "gone.wav"; }, "gone.wav"},
        {"episode is text",
         [&](Request& r) {
             std::ofstream(dir / "notes.wav") << "not audio at all";
             r.sourceURL = dir / "notes.wav";
         },
         "notes.wav"},
        {"silent episode",
         [&](Request& r) {
             writeWav(dir / "silence.wav", kRate, 1, 44100 * 2, [](std::size_t, int) { return 0.0f; });
             r.sourceURL = dir / "silence.wav";
         },
         "silence.wav"},
        {"intro is not audio",
         [&](Request& r) {
             std::ofstream(dir / "intro.mp3") << "garbage";
             r.introURL = dir / "intro.mp3";
         },
         "intro.mp3", "Intro music: "},
        {"outro is a picture",
         [&](Request& r) {
             ASSERT_EQ(VIPS_INIT("audio_video_pipeline_test"), 0);
             vips::VImage::black(8, 8).write_to_file((dir / "cover.png").c_str());
             r.outroURL = dir / "cover.png";
         },
         "cover.png has no audio track.", "Outro music: "},
        {"base name with a slash", [&](Request& r) { r.baseFileName = "a/b"; }, "a/b"},
        {"master would replace the episode",
         [&](Request& r) {
             fs::create_directories(out);
             fs::copy_file(episode, out / "x_Master_-16LUFS.wav");
             r.sourceURL = out / "x_Master_-16LUFS.wav";
             r.baseFileName = "x";
         },
         "x_Master_-16LUFS.wav"},
        {"output folder is a file",
         [&](Request& r) {
             std::ofstream(dir / "file") << "x";
             r.destinationDirectory = dir / "file" / "out";
         },
         "file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out);
        AudioVideoPipeline pipeline(noFFmpeg, nullptr);
        Request r = request(true, true, true, true);
        c.setUp(r);
        const auto before = outputNames();
        try {
            pipeline.processMultiFormat(r);
            ADD_FAILURE() << "no error";
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.mention), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind(c.begins, 0), 0u) << e.what();
        }
        EXPECT_EQ(outputNames(), before);
        EXPECT_EQ(scratchFoldersLeft(), 0u);
    }
}

// A failing later stage keeps the deliverables finished before it and leaves nothing half-written.
TEST_F(PipelineTest, BrokenFFmpegFailsTheExportAfterTheMaster) {
    const fs::path fake = dir / "ffmpeg";
    std::ofstream(fake) << "#!/bin/sh\necho 'Unknown encoder' >&2\nexit 1\n";
    fs::permissions(fake, fs::perms::owner_all);
    FFmpegRunner broken({fake});
    AudioVideoPipeline pipeline(broken, nullptr);
    try {
        pipeline.processMultiFormat(request(true, true, true, false));
        ADD_FAILURE() << "no error";
    } catch (const FFmpegRunner::FFmpegError& e) {
        EXPECT_EQ(e.kind(), FFmpegRunner::FFmpegError::Kind::executionFailed);
    }
    EXPECT_EQ(outputNames(), std::set<std::string>{"Show_01_Pilot_Master_-16LUFS.wav"});
    EXPECT_EQ(scratchFoldersLeft(), 0u);
}

// Files stop growing at a size limit the way they stop on a full disk: the export fails and
// leaves neither a partial deliverable nor its scratch folder.
TEST_F(PipelineTest, WriteFailureLeavesNothingBehind) {
    const fs::path intro = dir / "intro.wav";
    writeSpeechLike(intro, 3.0, 660, 0.3f);
    AudioVideoPipeline pipeline(noFFmpeg, nullptr);
    Request r = request();
    r.introURL = intro;

    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 600 * 1024;  // the processed episode fits, the joined programme does not
    ::setrlimit(RLIMIT_FSIZE, &small);
    std::string error;
    try {
        pipeline.processMultiFormat(r);
    } catch (const std::exception& e) {
        error = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(outputNames().empty());
    EXPECT_EQ(scratchFoldersLeft(), 0u);
}

TEST_F(PipelineTest, AudiogramClipStartAndCaptions) {
    AudioVideoPipeline pipeline(noFFmpeg, std::make_shared<FakeTranscriber>(kWords));
    struct Case {
        Clip clip;
        double seconds;
        std::string clipLine;  // empty: no clip file
    };
    writeSpeechLike(episode, 3.0);
    const Case cases[] = {
        {Clip::at(600), 1.0, "Audiogram clip: 00:02 to 00:03"},  // limited to the episode's end
        {Clip::at(0.04), 1.0, ""},
        {Clip::start(), 45.0, ""},  // longer than the episode: the whole episode
        {Clip::at(1.0), 1.0, "Audiogram clip: 00:01 to 00:02"},
    };
    for (const auto& c : cases) {
        fs::remove_all(out);
        Request r = request(false, false, false, true);
        r.audiogramClip = c.clip;
        r.audiogramSeconds = c.seconds;
        r.captionAudiogram = true;
        Reports reports;
        const auto files = pipeline.processMultiFormat(r, reports.onProgress(), reports.onLog());
        ASSERT_EQ(fileNames(files), std::vector<std::string>{"Show_01_Pilot_Audiogram.mp4"});
        EXPECT_NEAR(PCMStream::format(files[0]).durationSeconds, std::min(3.0, c.seconds), 0.1);
        if (c.clipLine.empty())
            EXPECT_FALSE(reports.loggedStart(named("Audiogram clip: ")));
        else
            EXPECT_TRUE(reports.logged(named(c.clipLine))) << c.clipLine;
    }
}

}  // namespace
}  // namespace lw
