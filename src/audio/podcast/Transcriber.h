#pragma once
// On-device speech recognition into timed words, and the caption cues and transcript files
// made from those words.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Error.h"

namespace lw {

// One recognised word; times are seconds in the analysed file.
struct CaptionWord {
    std::string text;  // without surrounding white space
    double start = 0;
    double end = 0;
    bool operator==(const CaptionWord&) const = default;
};

// Words shown together on screen, in time order.
struct CaptionCue {
    std::vector<CaptionWord> words;

    double start() const { return words.empty() ? 0.0 : words.front().start; }
    double end() const { return words.empty() ? 0.0 : words.back().end; }
    std::string text() const;  // the words joined with one space
    bool operator==(const CaptionCue&) const = default;
};

// Turns one audio file into timed words. The default recogniser is pocketsphinx with the
// installed en-us model; another recogniser can stand behind the interface by overriding
// transcribe(). A Transcriber holds no state, so one object may serve several threads.
class Transcriber {
public:
    class TranscriberError : public Error {
    public:
        enum class Kind { unsupportedLanguage, unsupportedSystem, nothingRecognised };

        // "On-device transcription doesn't support the language " + locale + "."
        static TranscriberError unsupportedLanguage(const std::string& locale);
        // "Transcripts need an on-device speech model."
        static TranscriberError unsupportedSystem();
        // "No speech was recognised."
        static TranscriberError nothingRecognised();

        Kind kind() const { return kind_; }
        const std::string& locale() const { return locale_; }

    private:
        TranscriberError(Kind kind, std::string locale, const std::string& text);
        Kind kind_;
        std::string locale_;
    };

    struct Options {
        // Decoders working on one file at once (each about 100 MB); 0 means one per processor, at
        // most 4. All transcriptions in the process together run at most one decoder per processor.
        int decoders = 0;
        // A word followed by at least this long a pause ends a sentence.
        double sentencePause = 0.6;
        // Model folder (holding en-us/, en-us.lm.bin, cmudict-en-us.dict); empty means the
        // installed one.
        std::filesystem::path modelDirectory;
    };

    Transcriber() = default;
    explicit Transcriber(Options options) : options_(std::move(options)) {}
    virtual ~Transcriber() = default;

    // Recognised words of the file in time order, with sentence ends restored. `locale` is a
    // locale identifier such as "en_US" or "en-GB" (any English region is accepted).
    // Throws TranscriberError, or PCMStream::StreamError when the file cannot be read.
    virtual std::vector<CaptionWord> transcribe(const std::filesystem::path& url, const std::string& locale) const;

    // True when the recogniser's model files are installed.
    static bool isSupported();
    // True when the model files of this transcriber's model folder are there.
    bool isAvailable() const;

    // Splits a word whose text holds spaces into one word per piece, sharing its time evenly.
    static std::vector<CaptionWord> splitMultiWordRuns(const std::vector<CaptionWord>& words);

    // ---- Caption cues and transcript files (pure).
    static std::vector<CaptionCue> cues(const std::vector<CaptionWord>& from, int maxCharacters, double maxDuration);
    static std::string srt(const std::vector<CaptionCue>& cues, double offset);
    static std::string vtt(const std::vector<CaptionCue>& cues, double offset);
    static std::string plainText(const std::vector<CaptionWord>& words, double offset);
    // "%02d:%02d:%02d" + separator + "%03d" of the time rounded to milliseconds (negative or NaN: 0).
    static std::string timestamp(double seconds, const std::string& separator);

protected:
    Options options_;
};

// Restores sentence ends in recogniser output that has none: a word followed by a pause of at
// least `minimumPause` seconds, or ending an utterance (`utteranceEnd[i]` true), gets "." unless
// it already ends in ".", "?" or "!"; the first word of every sentence and the word "i" (with
// its contractions) are capitalised.
std::vector<CaptionWord> restoreSentences(std::vector<CaptionWord> words, const std::vector<bool>& utteranceEnd,
                                          double minimumPause);

// Number of user-perceived characters (extended grapheme clusters) of UTF-8 text.
std::size_t characterCount(const std::string& text);

}  // namespace lw
