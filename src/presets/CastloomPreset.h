#pragma once
// The podcast preset: every option of a podcast export, the loudness standards and chapter
// modes it offers, and the per-item road that hands one episode to the export pipeline.
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio/LoudnessNormalizer.h"
#include "audio/podcast/AudioVideoPipeline.h"
#include "core/JobModel.h"

namespace lw {

class CastloomPreset : public BatchPreset {
public:
    enum class LoudnessStandard { applePodcasts, spotify, youtube, ebuR128, atsc, acx, custom };
    enum class ChapterMode { off, automatic, manual };

    // The table's initial values.
    CastloomPreset();
    // The loudness standard is the one matching targetLUFS (custom when none does); targetLUFS
    // is stored as given.
    CastloomPreset(std::string showTitle, std::string hostName, int episodeNumber, double targetLUFS,
                   bool generateRSSMaster, bool generateWhisperReference, bool generateAudiogram,
                   std::optional<std::filesystem::path> artworkURL);

    std::string id() const override { return "com.tallymill.castloom"; }
    std::string displayName() const override { return "Castloom"; }
    std::string verticalName() const override { return "Podcasting & Video Editing"; }
    std::string description() const override;
    std::string systemIconName() const override { return "waveform.badge.mic"; }
    std::set<std::string> supportedExtensions() const override;
    std::string defaultNamingPattern() const override { return "{show}_{ep:02}_{title}"; }
    // The files this preset writes, known by the fixed parts of their names.
    bool isOwnDeliverable(const std::filesystem::path& relative) const override;

    // Names the episode, builds its tags and export request, and runs the export; returns the
    // deliverables in creation order. Failures of the export pass through unchanged.
    std::vector<std::filesystem::path> process(const BatchItem& item,
                                               const ProcessingContext& context) const override;

    // Assigning a standard with a fixed loudness also sets targetLUFS to it, on every
    // assignment; acx and custom leave targetLUFS alone. Assigning targetLUFS never changes the standard.
    LoudnessStandard loudnessStandard() const { return loudnessStandard_; }
    void setLoudnessStandard(LoudnessStandard standard);

    // acx: -20 LUFS / -3.5 dBTP with the ACX check; atsc: targetLUFS / -2 dBTP; otherwise
    // targetLUFS / -1 dBTP. Loudness range 11 LU throughout.
    LoudnessNormalizer::LoudnessTarget loudnessTarget() const;
    // cleanup, with one second of room tone for ACX.
    CleanupOptions effectiveCleanup() const;

    // The export request of one item: its base file name from the configuration's naming
    // pattern, its tags and every option of the preset.
    AudioVideoPipeline::MultiFormatExportRequest exportRequest(const BatchItem& item,
                                                               const ProcessingContext& context) const;

    // The per-item naming variables "show", "ep" and "title" of the item numbered itemIndex
    // (1-based). The episode number is episodeNumber for item 1, one more for each next number.
    StringMap namingVariables(const BatchItem& item, int itemIndex) const;

    static const std::vector<LoudnessStandard>& allLoudnessStandards();
    static std::optional<LoudnessStandard> loudnessStandardFromRawValue(const std::string& raw);  // case-sensitive
    // The first standard, in case order, whose fixed loudness is within 0.05 LU of lufs.
    static std::optional<LoudnessStandard> loudnessStandardMatching(double lufs);
    static const std::vector<ChapterMode>& allChapterModes();
    static std::optional<ChapterMode> chapterModeFromRawValue(const std::string& raw);  // case-sensitive

    std::string showTitle = "The Kitchen Table Hour";
    std::string hostName = "Studio Master";
    int episodeNumber = 1;
    double targetLUFS = -16.0;
    CleanupOptions cleanup{.rumbleFilter = true,
                           .humRemoval = CleanupOptions::HumMode::autoDetect,
                           .noiseGate = false,
                           .leveler = true,
                           .trimSilence = true,
                           .maxPauseSeconds = 0,
                           .roomToneSeconds = 0.3};
    std::optional<std::filesystem::path> introURL;
    std::optional<std::filesystem::path> outroURL;
    bool generateMaster = true;
    bool generateRSSMaster = true;
    bool generateWhisperReference = false;
    bool generateTranscripts = true;
    bool generateAudiogram = true;
    bool captionAudiogram = true;
    AudiogramGenerator::AspectRatio audiogramAspect = AudiogramGenerator::AspectRatio::square;
    AudioVideoPipeline::ClipChoice audiogramClip = AudioVideoPipeline::ClipChoice::automatic();
    double audiogramSeconds = 45.0;
    bool removeFillerWords = false;
    ChapterMode chapterMode = ChapterMode::off;
    std::string chapterList;
    std::optional<std::filesystem::path> artworkURL;

    // Every option field.
    friend bool operator==(const CastloomPreset& a, const CastloomPreset& b);

private:
    LoudnessStandard loudnessStandard_ = LoudnessStandard::applePodcasts;
};

// "apple", "spotify", "youtube", "ebu", "atsc", "acx", "custom".
std::string rawValue(CastloomPreset::LoudnessStandard standard);
// "Apple Podcasts (-16 LUFS)", ...
std::string displayName(CastloomPreset::LoudnessStandard standard);
// The standard's own integrated loudness; none for acx and custom.
std::optional<double> lufs(CastloomPreset::LoudnessStandard standard);
// The standard's true-peak ceiling, dBTP.
double truePeak(CastloomPreset::LoudnessStandard standard);

// "off", "auto", "manual".
std::string rawValue(CastloomPreset::ChapterMode mode);
// "Off", "Automatic (from pauses)", "My list".
std::string displayName(CastloomPreset::ChapterMode mode);

}  // namespace lw
