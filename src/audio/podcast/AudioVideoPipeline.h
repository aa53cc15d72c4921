#pragma once
// One podcast episode in, every deliverable out: the multi-format export and the option
// values that choose its chapters and audiogram clip.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "audio/LoudnessNormalizer.h"

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

    struct MultiFormatExportRequest;

    using ProgressHandler = std::function<void(double fraction, const std::string& message)>;
    using LogHandler = std::function<void(const std::string& line)>;

    // The process-wide pipeline. It keeps no per-run state, so any number of exports may run on it at once.
    static AudioVideoPipeline& shared();

    // "_Master_ACX.wav" for an ACX target, otherwise "_Master_-16LUFS.wav" and the like.
    static std::string masterSuffix(const LoudnessNormalizer::LoudnessTarget& target);

    // Writes every deliverable the request asks for into its destination folder and returns them
    // in creation order. Either callback may be empty; both may be called from any thread.
    std::vector<std::filesystem::path> processMultiFormat(const MultiFormatExportRequest& request,
                                                          const ProgressHandler& onProgress = {},
                                                          const LogHandler& onLog = {}) const;
};

}  // namespace lw
