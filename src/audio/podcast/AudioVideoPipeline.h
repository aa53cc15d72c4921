#pragma once
// One podcast episode in, every deliverable out: the multi-format export and the option
// values that choose its chapters and audiogram clip.
//
//   AudioVideoPipeline::MultiFormatExportRequest request(episode, outFolder, "Show_01_Pilot", tags,
//                                                        true, true, false, true, target);
//   request.generateTranscripts = true;
//   auto files = AudioVideoPipeline::shared().processMultiFormat(request, onProgress, onLog);
//
// The export runs its stages strictly in order in the calling thread: loudness processing and
// clean-up, transcription, filler cuts, intro and outro music, master and ACX check, chapters,
// RSS file, 16 kHz reference, transcripts, audiogram. Scratch files live in a private folder
// under the temporary folder that is removed however the call ends; every deliverable is
// written under a temporary name in the destination folder and renamed into place when
// complete, so a failing stage leaves the deliverables finished before it and nothing half-written.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/LoudnessNormalizer.h"
#include "audio/podcast/AudiogramGenerator.h"
#include "audio/podcast/FFmpegRunner.h"
#include "audio/podcast/ID3TagInjector.h"
#include "audio/podcast/Transcriber.h"

namespace lw {

class AudioVideoPipeline {
public:
    // Where the audiogram clip starts.
    struct ClipChoice {
        enum class Kind { at, start, automatic };
        Kind kind = Kind::start;
        double seconds = 0;  // at: the clip's first second on the episode's time line

        static ClipChoice at(double seconds) { return {Kind::at, seconds}; }
        static ClipChoice start() { return {Kind::start, 0}; }
        static ClipChoice automatic() { return {Kind::automatic, 0}; }
        bool operator==(const ClipChoice&) const = default;
    };

    // How chapters are made: from a chapter list text, not at all, or from the transcript.
    struct ChapterSetting {
        enum class Kind { manual, off, automatic };
        Kind kind = Kind::off;
        std::string text;  // manual: the chapter list as typed

        static ChapterSetting manual(std::string text) { return {Kind::manual, std::move(text)}; }
        static ChapterSetting off() { return {Kind::off, {}}; }
        static ChapterSetting automatic() { return {Kind::automatic, {}}; }
        bool operator==(const ChapterSetting&) const = default;
    };

    struct MultiFormatExportRequest {
        MultiFormatExportRequest(std::filesystem::path sourceURL, std::filesystem::path destinationDirectory,
                                 std::string baseFileName, ID3TagInjector::PodcastMetadata metadata,
                                 bool generateMaster, bool generateRSSMaster, bool generateWhisperReference,
                                 bool generateAudiogram, LoudnessNormalizer::LoudnessTarget targetLUFS);

        std::filesystem::path sourceURL;             // any audio or video file the engine reads
        std::filesystem::path destinationDirectory;  // created when missing
        std::string baseFileName;                    // stem of every deliverable's name
        ID3TagInjector::PodcastMetadata metadata;
        bool generateMaster;
        bool generateRSSMaster;
        bool generateWhisperReference;
        bool generateAudiogram;
        LoudnessNormalizer::LoudnessTarget targetLUFS;
        CleanupOptions cleanup = CleanupOptions::none();
        std::optional<std::filesystem::path> introURL;
        std::optional<std::filesystem::path> outroURL;
        bool generateTranscripts = false;
        bool captionAudiogram = false;
        AudiogramGenerator::AspectRatio audiogramAspect = AudiogramGenerator::AspectRatio::square;
        double audiogramSeconds = 45;
        ClipChoice audiogramClip = ClipChoice::start();
        bool removeFillers = false;
        ChapterSetting chapters = ChapterSetting::off();
        std::string transcriptLocale;  // locale identifier; the user's locale when the request is made
    };

    using ProgressHandler = std::function<void(double fraction, const std::string& message)>;
    using LogHandler = std::function<void(const std::string& line)>;

    // The label of the noise gate in the clean-up line, and the name of the closing music entry
    // (its scratch file, its "not found" line and its chapter title).
    static constexpr const char* kNoiseGateLabel = "noise gate";
    static constexpr const char* kClosingEntryName = "outro";

    // Engines of the process: the shared `ffmpeg` runner and the installed speech recogniser.
    AudioVideoPipeline();
    // Engines of a caller's choice; `transcriber` null means no transcription is available.
    AudioVideoPipeline(const FFmpegRunner& runner, std::shared_ptr<const Transcriber> transcriber);

    // The process-wide pipeline. It keeps no per-run state, so any number of exports may run on it at once.
    static AudioVideoPipeline& shared();

    // Whether the RSS file will be an MP3 (an `ffmpeg` program can be found now) rather than an M4A.
    bool producesMP3() const;

    // "_Master_ACX.wav" for an ACX target, otherwise "_Master_-16LUFS.wav" and the like.
    static std::string masterSuffix(const LoudnessNormalizer::LoudnessTarget& target);

    // Writes every deliverable the request asks for into its destination folder and returns them
    // in creation order. Either callback may be empty; both may be called from any thread.
    // Throws the failing stage's error unchanged.
    std::vector<std::filesystem::path> processMultiFormat(const MultiFormatExportRequest& request,
                                                          const ProgressHandler& onProgress = {},
                                                          const LogHandler& onLog = {}) const;

    const ID3TagInjector& tagInjector() const { return tagInjector_; }
    const AudiogramGenerator& audiogramGenerator() const { return audiogramGenerator_; }

private:
    struct Run;
    bool transcriptionAvailable() const;

    const FFmpegRunner* runner_;
    std::shared_ptr<const Transcriber> transcriber_;
    bool installedRecogniser_;  // transcriber_ is the default recogniser: ask for its model on each run
    ID3TagInjector tagInjector_;
    AudiogramGenerator audiogramGenerator_;
};

}  // namespace lw
