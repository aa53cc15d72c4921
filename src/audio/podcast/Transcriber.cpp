#include "audio/podcast/Transcriber.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <unordered_set>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <sphinxbase/ngram_model.h>
#include <sys/mman.h>
#include <unistd.h>

#include "audio/PCMStream.h"
#include "audio/podcast/UtteranceSplitter.h"

#ifndef LW_SPEECH_MODEL_DIR
#define LW_SPEECH_MODEL_DIR "/usr/share/pocketsphinx/model/en-us"
#endif

namespace lw {

Transcriber::TranscriberError::TranscriberError(Kind kind, std::string locale, const std::string& text)
    : Error(text), kind_(kind), locale_(std::move(locale)) {}

Transcriber::TranscriberError Transcriber::TranscriberError::unsupportedLanguage(const std::string& locale) {
    return {Kind::unsupportedLanguage, locale, "On-device transcription doesn't support the language " + locale + "."};
}
Transcriber::TranscriberError Transcriber::TranscriberError::unsupportedSystem() {
    return {Kind::unsupportedSystem, {}, "Transcripts need an on-device speech model."};
}
Transcriber::TranscriberError Transcriber::TranscriberError::nothingRecognised() {
    return {Kind::nothingRecognised, {}, "No speech was recognised."};
}

namespace {

constexpr double recogniserRate = 16000;
constexpr unsigned defaultDecoderLimit = 4;
constexpr double maximumWordSeconds = 3.0;

std::filesystem::path modelFolder(const std::filesystem::path& chosen) {
    return chosen.empty() ? std::filesystem::path(LW_SPEECH_MODEL_DIR) : chosen;
}

bool modelInstalled(const std::filesystem::path& folder) {
    std::error_code ec;
    return std::filesystem::is_regular_file(folder / "en-us" / "mdef", ec) &&
           std::filesystem::is_regular_file(folder / "en-us.lm.bin", ec) &&
           std::filesystem::is_regular_file(folder / "cmudict-en-us.dict", ec);
}

// English in any region; "C" and "POSIX" (no locale set) read as English too.
bool englishLocale(const std::string& locale) {
    const std::size_t end = locale.find_first_of("-_.@");
    std::string language = locale.substr(0, end);
    std::transform(language.begin(), language.end(), language.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return language == "en" || language == "eng" || language.empty() || language == "c" || language == "posix";
}

// Process-wide limit on decoders working at once: one per processor, shared by every
// transcription in the process.
class DecoderSlots {
public:
    static DecoderSlots& shared() {
        static DecoderSlots slots(std::max(1u, std::thread::hardware_concurrency()));
        return slots;
    }
    void acquire() {
        std::unique_lock lock(mutex_);
        freed_.wait(lock, [&] { return free_ > 0; });
        --free_;
    }
    bool tryAcquire() {
        std::lock_guard lock(mutex_);
        if (free_ == 0) return false;
        --free_;
        return true;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            ++free_;
        }
        freed_.notify_one();
    }

private:
    explicit DecoderSlots(unsigned count) : free_(count) {}
    std::mutex mutex_;
    std::condition_variable freed_;
    unsigned free_;
};

// The pronunciation dictionary cut down to the words the language model knows (about 80 000 of
// 135 000 entries; the rest can never be recognised): each decoder then loads faster and holds
// about 12 MB less. Made once per model folder, in an anonymous memory file that goes away with
// the process. Empty when it cannot be made; the full dictionary is used then.
std::string languageModelDictionary(const std::filesystem::path& model) {
    static std::mutex mutex;
    static std::map<std::filesystem::path, std::string> made;
    std::lock_guard lock(mutex);
    if (const auto it = made.find(model); it != made.end()) return it->second;
    std::string& path = made[model];

    std::unordered_set<std::string> vocabulary;
    {
        cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, nullptr);
        logmath_t* logmath = logmath_init(1.0001, 0, 0);
        if (ngram_model_t* lm = config && logmath ? ngram_model_read(config, (model / "en-us.lm.bin").c_str(),
                                                                      NGRAM_AUTO, logmath)
                                                  : nullptr) {
            const uint32* counts = ngram_model_get_counts(lm);
            for (uint32 i = 0; counts && i < counts[0]; ++i)
                if (const char* word = ngram_word(lm, static_cast<int32>(i))) vocabulary.insert(word);
            ngram_model_free(lm);
        }
        if (logmath) logmath_free(logmath);
        if (config) cmd_ln_free_r(config);
    }
    if (vocabulary.size() < 1000) return path;

    std::ifstream in(model / "cmudict-en-us.dict");
    std::string text, line;
    while (std::getline(in, line)) {
        const std::size_t end = line.find_first_of(" (\t");
        if (end != std::string::npos && vocabulary.count(line.substr(0, end))) (text += line) += '\n';
    }
    if (!in.eof() || text.empty()) return path;
    const int fd = memfd_create("lotwright-dictionary", MFD_CLOEXEC);
    if (fd < 0) return path;
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n <= 0) {
            ::close(fd);
            return path;
        }
        written += static_cast<std::size_t>(n);
    }
    path = "/proc/self/fd/" + std::to_string(fd);  // kept open for the process's life
    return path;
}

// One pocketsphinx decoder, used by one thread only.
class Decoder {
public:
    explicit Decoder(const std::filesystem::path& model) {
        static std::once_flag quiet;
        std::call_once(quiet, [] { err_set_logfp(nullptr); });
        const std::string hmm = (model / "en-us").string(), lm = (model / "en-us.lm.bin").string();
        std::string dict = languageModelDictionary(model);
        if (dict.empty()) dict = (model / "cmudict-en-us.dict").string();
        // The single tree pass with at most 3000 active HMMs and 10 word exits per frame: about
        // half the work of the default three passes, and on read speech no less accurate. The
        // front end's own silence removal stays off: utterances are already cut at pauses, and
        // its state carried from one utterance to the next made the words depend on which decoder
        // had decoded what before.
        std::vector<std::string> args{"-hmm",      hmm,    "-lm",     lm,   "-dict",          dict,
                                      "-fwdflat",  "no",   "-bestpath", "no", "-maxhmmpf",    "3000",
                                      "-maxwpf",   "10",   "-remove_silence", "no"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        cmd_ln_t* config = cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
        if (!config) throw Transcriber::TranscriberError::unsupportedSystem();
        decoder_ = ps_init(config);
        cmd_ln_free_r(config);  // the decoder keeps its own reference
        if (!decoder_) throw Transcriber::TranscriberError::unsupportedSystem();
        frameRate_ = static_cast<double>(cmd_ln_int32_r(ps_get_config(decoder_), "-frate"));
        if (!(frameRate_ > 0)) frameRate_ = 100;
    }
    ~Decoder() { ps_free(decoder_); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    std::vector<CaptionWord> decode(const UtteranceSplitter::Utterance& u) {
        pcm_.resize(u.samples.size());
        for (std::size_t k = 0; k < u.samples.size(); ++k)
            pcm_[k] = static_cast<int16>(std::lround(std::clamp(u.samples[k], -1.0f, 1.0f) * 32767.0f));
        std::vector<CaptionWord> words;
        if (ps_start_utt(decoder_) < 0) return words;
        ps_process_raw(decoder_, pcm_.data(), pcm_.size(), FALSE, TRUE);
        if (ps_end_utt(decoder_) < 0) return words;
        for (ps_seg_t* seg = ps_seg_iter(decoder_); seg; seg = ps_seg_next(seg)) {
            std::string text = ps_seg_word(seg);
            if (text.empty() || text[0] == '<' || text[0] == '[' || text[0] == '+') continue;
            if (const auto paren = text.find('('); paren != std::string::npos && paren > 0) text.erase(paren);
            // Abbreviations such as "dr." would read as sentence ends.
            while (text.size() > 1 && text.back() == '.') text.pop_back();
            int sf = 0, ef = 0;
            ps_seg_frames(seg, &sf, &ef);
            // A "word" over 3 s long is the recogniser stretching a word over noise or music.
            if ((ef + 1 - sf) / frameRate_ > maximumWordSeconds) continue;
            words.push_back({text, u.offset + sf / frameRate_, u.offset + (ef + 1) / frameRate_});
        }
        return words;
    }

private:
    ps_decoder_t* decoder_ = nullptr;
    double frameRate_ = 100;
    std::vector<int16> pcm_;
};

struct UtteranceWords {
    std::vector<CaptionWord> words;
    bool endsAtPause = false;
};

// Utterances flow from the reading thread to the decoder threads through a short queue, so
// memory stays bounded whatever the file's length.
class Pipeline {
public:
    Pipeline(std::filesystem::path model, unsigned wanted) : model_(std::move(model)), wanted_(wanted) {}

    // Unfinished work is dropped when the reading fails.
    ~Pipeline() {
        {
            std::lock_guard lock(mutex_);
            queue_.clear();
        }
        close();
    }

    // Blocks while the queue is full. Returns false once a decoder has failed. The first
    // utterance starts one decoder; more join while utterances wait (a short file needs one).
    bool push(UtteranceSplitter::Utterance&& u) {
        if (workers_.empty()) {
            DecoderSlots::shared().acquire();
            spawn();
        }
        std::unique_lock lock(mutex_);
        space_.wait(lock, [&] { return queue_.size() < 2 * workers_.size() || failure_; });
        if (failure_) return false;
        queue_.push_back(std::move(u));
        const bool backlog = queue_.size() > idle_;
        lock.unlock();
        work_.notify_one();
        // Take a decoder slot that another transcription has freed meanwhile.
        if (backlog && workers_.size() < wanted_ && DecoderSlots::shared().tryAcquire()) spawn();
        return true;
    }

    // Waits for every decoder; rethrows a decoder's failure.
    std::map<std::size_t, UtteranceWords> finish() {
        close();
        if (failure_) std::rethrow_exception(failure_);
        return std::move(results_);
    }

private:
    // Called with a decoder slot taken; gives it back when no thread can be started.
    void spawn() {
        std::lock_guard lock(mutex_);
        try {
            workers_.emplace_back([this] { work(); });
        } catch (...) {
            DecoderSlots::shared().release();
            throw;
        }
        ++idle_;
    }

    void close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        work_.notify_all();
        // Workers are only added by this object's caller thread, so the list is stable here.
        for (auto& t : workers_)
            if (t.joinable()) t.join();
    }

    void work() {
        try {
            Decoder decoder(model_);
            for (;;) {
                UtteranceSplitter::Utterance u;
                {
                    std::unique_lock lock(mutex_);
                    work_.wait(lock, [&] { return !queue_.empty() || closed_ || failure_; });
                    if (failure_ || queue_.empty()) break;
                    u = std::move(queue_.front());
                    queue_.pop_front();
                    --idle_;
                }
                space_.notify_one();
                auto words = decoder.decode(u);
                std::lock_guard lock(mutex_);
                results_[u.index] = {std::move(words), u.endsAtPause};
                ++idle_;
            }
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!failure_) failure_ = std::current_exception();
            queue_.clear();
        }
        space_.notify_all();
        work_.notify_all();
        DecoderSlots::shared().release();
    }

    std::filesystem::path model_;
    unsigned wanted_;
    std::mutex mutex_;
    std::condition_variable work_, space_;
    std::deque<UtteranceSplitter::Utterance> queue_;
    std::vector<std::thread> workers_;
    std::map<std::size_t, UtteranceWords> results_;
    std::exception_ptr failure_;
    std::size_t idle_ = 0;  // decoders starting or waiting for work
    bool closed_ = false;
};

bool endsSentence(const std::string& text) {
    return !text.empty() && (text.back() == '.' || text.back() == '?' || text.back() == '!');
}

}  // namespace

bool Transcriber::isSupported() { return modelInstalled(modelFolder({})); }

bool Transcriber::isAvailable() const { return modelInstalled(modelFolder(options_.modelDirectory)); }

std::vector<CaptionWord> Transcriber::transcribe(const std::filesystem::path& url, const std::string& locale) const {
    const auto model = modelFolder(options_.modelDirectory);
    if (!modelInstalled(model)) throw TranscriberError::unsupportedSystem();
    if (!englishLocale(locale)) throw TranscriberError::unsupportedLanguage(locale);

    // A decoder holds about 100 MB (its own language model), so by default at most four work on
    // one file: well over ten times real time on four cores, under 500 MB.
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    const unsigned wanted =
        options_.decoders > 0 ? static_cast<unsigned>(options_.decoders) : std::min(processors, defaultDecoderLimit);

    Pipeline pipeline(model, wanted);
    UtteranceSplitter splitter(recogniserRate);
    bool failed = false;
    const UtteranceSplitter::Emit emit = [&](UtteranceSplitter::Utterance&& u) {
        if (!failed && !pipeline.push(std::move(u))) failed = true;
    };
    double duration = 0;
    try {
        PCMStream::read(url, recogniserRate, 1, std::nullopt, [&](std::span<const float> samples, std::size_t frames) {
            duration += static_cast<double>(frames) / recogniserRate;
            splitter.push(samples, emit);
            if (failed) throw TranscriberError::unsupportedSystem();  // a decoder failed; finish() says why
        });
        splitter.finish(emit);
    } catch (const TranscriberError&) {
        if (!failed) throw;
    }
    auto results = pipeline.finish();  // rethrows a decoder's failure

    std::vector<CaptionWord> words;
    std::vector<bool> utteranceEnd;
    for (auto& [index, result] : results) {
        for (auto& w : result.words) {
            // Inside the file, increasing and not overlapping.
            w.start = std::clamp(w.start, words.empty() ? 0.0 : words.back().end, duration);
            w.end = std::clamp(w.end, w.start, duration);
            words.push_back(std::move(w));
            utteranceEnd.push_back(false);
        }
        if (!result.words.empty() && result.endsAtPause) utteranceEnd.back() = true;
    }
    if (words.empty()) throw TranscriberError::nothingRecognised();
    return splitMultiWordRuns(restoreSentences(std::move(words), utteranceEnd, options_.sentencePause));
}

std::vector<CaptionWord> restoreSentences(std::vector<CaptionWord> words, const std::vector<bool>& utteranceEnd,
                                          double minimumPause) {
    bool sentenceStart = true;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string& text = words[i].text;
        if (text.empty()) continue;
        const std::string lower = [&] {
            std::string s = text;
            for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return s;
        }();
        if (lower == "i" || lower.rfind("i'", 0) == 0) text[0] = 'I';
        if (sentenceStart && static_cast<unsigned char>(text[0]) < 0x80)
            text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        const bool last = i + 1 == words.size();
        const bool atPause = !last && words[i + 1].start - words[i].end >= minimumPause;
        const bool atUtteranceEnd = i < utteranceEnd.size() && utteranceEnd[i];
        if (last || atPause || atUtteranceEnd) {
            if (!endsSentence(text)) text += '.';
            sentenceStart = true;
        } else {
            sentenceStart = endsSentence(text);
        }
    }
    return words;
}

}  // namespace lw
