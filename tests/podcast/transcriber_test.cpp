#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "audio/PCMStream.h"
#include "audio/WAVWriter.h"
#include "audio/podcast/Transcriber.h"
#include "audio/podcast/UtteranceSplitter.h"

using namespace lw;
namespace fs = std::filesystem;

namespace {

const fs::path librivox = "/usr/share/pocketsphinx/test/data/librivox";

class TempDir {
public:
    TempDir() {
        path_ = fs::temp_directory_path() / ("lw-transcriber-" + std::to_string(::getpid()) + "-" +
                                            std::to_string(std::random_device{}()));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void writeWav(const fs::path& to, double rate, int channels, const std::vector<float>& mono) {
    WAVWriter writer(to, rate, channels, 16);
    std::vector<float> frames;
    frames.reserve(mono.size() * static_cast<std::size_t>(channels));
    for (float s : mono)
        for (int c = 0; c < channels; ++c) frames.push_back(s);
    writer.write(frames, mono.size());
    writer.close();
}

// Words of the reference transcripts, lower-case, without markers.
std::vector<std::string> referenceWords() {
    std::ifstream in(librivox / "transcription");
    std::vector<std::string> words;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        std::string w;
        while (s >> w)
            if (w[0] != '<' && w[0] != '(') words.push_back(w);
    }
    return words;
}

std::vector<std::string> plainWords(const std::vector<CaptionWord>& words) {
    std::vector<std::string> out;
    for (const auto& w : words) {
        std::string t;
        for (char c : w.text)
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
    return static_cast<double>(row[hyp.size()]) / static_cast<double>(ref.size());
}

}  // namespace

TEST(UtteranceSplitter, CutsInPausesAndSkipsSilence) {
    // 60 s at 16 kHz: 3 s of tone bursts separated by 0.5 s pauses, with 10 s of digital silence
    // in the middle. Utterances must be 4...20 s (the last one may be shorter), cut inside a
    // pause, contiguous except for the skipped silence.
    const double rate = 16000;
    std::vector<float> audio(static_cast<std::size_t>(60 * rate), 0.0f);
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0, 0.001f);
    auto inPause = [&](double t) { return std::fmod(t, 3.5) >= 3.0 || (t >= 25 && t < 35); };
    for (std::size_t k = 0; k < audio.size(); ++k) {
        const double t = static_cast<double>(k) / rate;
        if (t >= 25 && t < 35) continue;
        audio[k] = inPause(t) ? noise(random) : 0.3f * static_cast<float>(std::sin(2 * M_PI * 220 * t));
    }
    UtteranceSplitter splitter(rate);
    std::vector<UtteranceSplitter::Utterance> out;
    auto emit = [&](UtteranceSplitter::Utterance&& u) { out.push_back(std::move(u)); };
    for (std::size_t k = 0; k < audio.size(); k += 1234)
        splitter.push(std::span<const float>(audio).subspan(k, std::min<std::size_t>(1234, audio.size() - k)), emit);
    splitter.finish(emit);

    ASSERT_GE(out.size(), 3u);
    double covered = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double length = static_cast<double>(out[i].samples.size()) / rate;
        covered += length;
        EXPECT_LE(length, 20.0 + 1e-9);
        if (i + 1 < out.size()) {
            EXPECT_GE(length, 4.0);
            EXPECT_TRUE(out[i].endsAtPause);
            EXPECT_TRUE(inPause(out[i].offset + length)) << "cut at " << out[i].offset + length;
        }
        if (i > 0) {
            EXPECT_GT(out[i].index, out[i - 1].index);
        }
        // The samples are the stream's own at that offset.
        const auto at = static_cast<std::size_t>(std::lround(out[i].offset * rate));
        ASSERT_LT(at + 100, audio.size());
        EXPECT_TRUE(std::equal(out[i].samples.begin(), out[i].samples.begin() + 100, audio.begin() + at));
    }
    EXPECT_GE(covered, 60 - 10 - 0.01);
    EXPECT_LT(covered, 60 - 4);  // most of the silence was not emitted

    // Continuous sound without pauses is cut into pieces of 4...20 s, none marked as a pause.
    UtteranceSplitter steady(rate);
    std::vector<float> tone(static_cast<std::size_t>(45 * rate));
    for (std::size_t k = 0; k < tone.size(); ++k) tone[k] = 0.2f * static_cast<float>(std::sin(k * 0.1));
    out.clear();
    steady.push(tone, emit);
    steady.finish(emit);
    ASSERT_GE(out.size(), 3u);
    std::size_t total = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        total += out[i].samples.size();
        EXPECT_LE(out[i].samples.size(), static_cast<std::size_t>(20 * rate));
        if (i + 1 < out.size()) {
            EXPECT_FALSE(out[i].endsAtPause);
            EXPECT_GE(out[i].samples.size(), static_cast<std::size_t>(4 * rate));
        }
    }
    EXPECT_TRUE(out.back().endsAtPause);
    EXPECT_EQ(total, tone.size());
}

TEST(Transcriber, RestoresSentenceEnds) {
    struct Case {
        std::vector<CaptionWord> words;
        std::vector<bool> utteranceEnd;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases{
        // Pause of 0.6 s ends a sentence; 0.59 s does not; the last word always does.
        {{{"so", 0, 0.5}, {"i", 0.6, 0.8}, {"went", 1.5, 1.7}, {"home", 2.29, 2.5}}, {},
         {"So", "I.", "Went", "home."}},
        // An utterance end closes a sentence; contractions of i are capitalised.
        {{{"yes", 0, 0.3}, {"i'm", 0.35, 0.5}, {"here", 0.55, 0.8}, {"ok", 0.85, 1.0}}, {false, false, true, false},
         {"Yes", "I'm", "here.", "Ok."}},
        // Existing ends are kept, not doubled.
        {{{"what?", 0, 0.3}, {"now", 1.5, 1.8}}, {}, {"What?", "Now."}},
        {{}, {}, {}},
    };
    for (const auto& c : cases) {
        const auto out = restoreSentences(c.words, c.utteranceEnd, 0.6);
        std::vector<std::string> texts;
        for (const auto& w : out) texts.push_back(w.text);
        EXPECT_EQ(texts, c.expected);
    }
}

TEST(Transcriber, ErrorsAndAvailability) {
    EXPECT_EQ(Transcriber::TranscriberError::unsupportedLanguage("de_DE").what(),
              std::string("On-device transcription doesn't support the language de_DE."));
    EXPECT_EQ(Transcriber::TranscriberError::unsupportedSystem().what(),
              std::string("Transcripts need an on-device speech model."));
    EXPECT_EQ(Transcriber::TranscriberError::nothingRecognised().what(), std::string("No speech was recognised."));
    ASSERT_TRUE(Transcriber::isSupported());

    TempDir dir;
    const fs::path silence = dir.path() / "silence.wav";
    writeWav(silence, 16000, 1, std::vector<float>(16000 * 3, 0.0f));
    auto kindOf = [](auto&& call) {
        try {
            call();
        } catch (const Transcriber::TranscriberError& e) {
            return static_cast<int>(e.kind());
        }
        return -1;
    };
    using Kind = Transcriber::TranscriberError::Kind;
    EXPECT_EQ(kindOf([&] { Transcriber().transcribe(silence, "fr_FR"); }), int(Kind::unsupportedLanguage));
    EXPECT_EQ(kindOf([&] { Transcriber().transcribe(silence, "en_GB"); }), int(Kind::nothingRecognised));
    // A missing model is reported before the file is touched.
    Transcriber::Options noModel;
    noModel.modelDirectory = dir.path() / "no-model";
    EXPECT_EQ(kindOf([&] { Transcriber(noModel).transcribe(dir.path() / "absent.wav", "en-US"); }),
              int(Kind::unsupportedSystem));

    // Unreadable inputs name the file.
    EXPECT_THROW(Transcriber().transcribe(dir.path() / "absent.wav", "en"), PCMStream::StreamError);
    const fs::path text = dir.path() / "notes.wav";
    std::ofstream(text) << "not audio at all";
    try {
        Transcriber().transcribe(text, "en_US");
        FAIL() << "no error";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("notes.wav"), std::string::npos) << e.what();
    }
}

TEST(Transcriber, FilesWithoutUsableAudio) {
    TempDir dir;
    // A header cut short names the file, and so does a WAV cut inside its data (half the length its
    // header states); the whole silent file has nothing to say.
    const fs::path silence = dir.path() / "silence.wav";
    writeWav(silence, 16000, 1, std::vector<float>(16000 * 2, 0.0f));
    const fs::path header = dir.path() / "header.wav", data = dir.path() / "data.wav";
    fs::copy_file(silence, header);
    fs::resize_file(header, 20);
    fs::copy_file(silence, data);
    fs::resize_file(data, fs::file_size(silence) / 2);
    try {
        Transcriber().transcribe(header, "en_US");
        FAIL() << "no error";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("header.wav"), std::string::npos) << e.what();
    }
    try {
        Transcriber().transcribe(data, "en_US");
        FAIL() << "no error";
    } catch (const PCMStream::StreamError& e) {
        EXPECT_NE(std::string(e.what()).find("data.wav: the audio ends after 1.0 s of the 2.0 s"), std::string::npos)
            << e.what();
    }
    try {
        Transcriber().transcribe(silence, "en_US");
        FAIL() << "no error";
    } catch (const Transcriber::TranscriberError& e) {
        EXPECT_EQ(e.kind(), Transcriber::TranscriberError::Kind::nothingRecognised);
    }

    // A video without sound.
    const fs::path video = dir.path() / "picture.mp4";
    const std::string make = "ffmpeg -v error -f lavfi -i color=c=black:s=16x16:d=1 -c:v mpeg4 '" + video.string() + "'";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "ffmpeg not installed";
    try {
        Transcriber().transcribe(video, "en_US");
        FAIL() << "no error";
    } catch (const PCMStream::StreamError& e) {
        EXPECT_EQ(e.kind(), PCMStream::StreamError::Kind::noAudioTrack);
        EXPECT_EQ(std::string(e.what()), "picture.mp4 has no audio track.");
    }
}

TEST(Transcriber, NoiseGivesAnErrorOrValidWords) {
    TempDir dir;
    std::mt19937 random(3);
    std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
    std::vector<float> noise(static_cast<std::size_t>(8000 * 6));
    for (auto& s : noise) s = uniform(random);
    const fs::path file = dir.path() / "noise.wav";
    writeWav(file, 8000, 1, noise);
    try {
        const auto words = Transcriber().transcribe(file, "en_US");
        for (std::size_t i = 0; i < words.size(); ++i) {
            EXPECT_GE(words[i].start, i ? words[i - 1].end : 0.0);
            EXPECT_LE(words[i].end, 6.0 + 1e-9);
        }
    } catch (const Transcriber::TranscriberError& e) {
        EXPECT_EQ(e.kind(), Transcriber::TranscriberError::Kind::nothingRecognised);
    }
}

// Real read speech: the five LibriVox clips joined and resampled to 44.1 kHz stereo.
TEST(Transcriber, RecognisesReadSpeechWithWordTimes) {
    TempDir dir;
    std::vector<float> joined;
    std::vector<double> clipStarts;
    std::ifstream ids(librivox / "fileids");
    std::string id;
    while (ids >> id) {
        clipStarts.push_back(static_cast<double>(joined.size()) / 44100.0);
        PCMStream::read(librivox / (id + ".wav"), 44100.0, 1, std::nullopt,
                        [&](std::span<const float> s, std::size_t) { joined.insert(joined.end(), s.begin(), s.end()); });
    }
    ASSERT_EQ(clipStarts.size(), 5u);
    const fs::path file = dir.path() / "clips.wav";
    writeWav(file, 44100, 2, joined);
    const double duration = static_cast<double>(joined.size()) / 44100.0;

    const auto words = Transcriber().transcribe(file, "en_US");
    const double wer = wordErrorRate(referenceWords(), plainWords(words));
    std::printf("word error rate %.1f %% over %zu words\n", wer * 100, words.size());
    EXPECT_LE(wer, 0.30);

    // Times increase, do not overlap, stay inside the file, and every word lies on sound: the
    // quietest 100 ms inside a word is never far below the speech level.
    std::vector<float> level;
    for (std::size_t k = 0; k + 441 <= joined.size(); k += 441) {
        double sum = 0;
        for (std::size_t j = k; j < k + 441; ++j) sum += double(joined[j]) * joined[j];
        level.push_back(static_cast<float>(10 * std::log10(sum / 441 + 1e-10)));
    }
    std::vector<float> sorted = level;
    std::sort(sorted.begin(), sorted.end());
    const float speech = sorted[sorted.size() * 9 / 10];
    std::size_t onSound = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        EXPECT_LT(words[i].start, words[i].end) << words[i].text;
        if (i) {
            EXPECT_GE(words[i].start, words[i - 1].end);
        }
        EXPECT_GE(words[i].start, 0.0);
        EXPECT_LE(words[i].end, duration);
        const auto a = static_cast<std::size_t>(words[i].start * 100), b = static_cast<std::size_t>(words[i].end * 100);
        const float loudest = *std::max_element(level.begin() + a, level.begin() + std::max(a + 1, b));
        if (loudest > speech - 20) ++onSound;
    }
    EXPECT_EQ(onSound, words.size());
    // Each clip's first word starts within 0.3 s after the clip's speech begins.
    for (double clip : clipStarts) {
        std::size_t f = static_cast<std::size_t>(clip * 100);
        while (f < level.size() && level[f] < speech - 20) ++f;
        const double onset = f / 100.0;
        const auto first = std::find_if(words.begin(), words.end(), [&](const CaptionWord& w) { return w.end > clip; });
        ASSERT_NE(first, words.end());
        EXPECT_NEAR(first->start, onset, 0.3) << "clip at " << clip;
    }
    // Sentence ends restored: the last word ends one, the first is capitalised.
    EXPECT_EQ(words.back().text.back(), '.');
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(words.front().text[0])));
}
