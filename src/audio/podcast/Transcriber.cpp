#include "audio/podcast/Transcriber.h"

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

std::vector<CaptionWord> Transcriber::transcribe(const std::filesystem::path&, const std::string&) const {
    throw TranscriberError::unsupportedSystem();
}

bool Transcriber::isSupported() { return false; }

std::vector<CaptionWord> restoreSentences(std::vector<CaptionWord> words, const std::vector<bool>&, double) {
    return words;
}

}  // namespace lw
