#include "presets/CastloomPreset.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <regex>

#include "core/StagedOutputs.h"
#include "core/TokenRenamer.h"
#include "platform/Paths.h"

namespace lw {

using LoudnessStandard = CastloomPreset::LoudnessStandard;
using ChapterMode = CastloomPreset::ChapterMode;

namespace {
// The year of today's date in the local time zone.
int currentYear() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
}
// Every file the export of `request` may write.
std::vector<std::filesystem::path> possibleDeliverables(const AudioVideoPipeline::MultiFormatExportRequest& request) {
    std::vector<std::string> suffixes;
    if (request.generateMaster) suffixes.push_back(AudioVideoPipeline::masterSuffix(request.targetLUFS));
    if (request.targetLUFS.acx) suffixes.push_back("_ACX_Check.txt");
    if (request.chapters.kind != AudioVideoPipeline::ChapterSetting::Kind::off)
        suffixes.insert(suffixes.end(), {"_Chapters.json", "_Chapters.txt"});
    if (request.generateRSSMaster) suffixes.insert(suffixes.end(), {"_RSS_192k.mp3", "_RSS.m4a"});
    if (request.generateWhisperReference) suffixes.push_back("_WhisperRef_16k.wav");
    if (request.generateTranscripts)
        suffixes.insert(suffixes.end(), {"_Transcript.srt", "_Transcript.vtt", "_Transcript.txt"});
    if (request.generateAudiogram) suffixes.push_back("_Audiogram.mp4");
    std::vector<std::filesystem::path> files;
    for (const auto& suffix : suffixes) files.push_back(request.destinationDirectory / (request.baseFileName + suffix));
    return files;
}
}  // namespace

CastloomPreset::CastloomPreset() = default;

CastloomPreset::CastloomPreset(std::string showTitle, std::string hostName, int episodeNumber, double targetLUFS,
                               bool generateRSSMaster, bool generateWhisperReference, bool generateAudiogram,
                               std::optional<std::filesystem::path> artworkURL)
    : showTitle(std::move(showTitle)),
      hostName(std::move(hostName)),
      episodeNumber(episodeNumber),
      targetLUFS(targetLUFS),
      generateRSSMaster(generateRSSMaster),
      generateWhisperReference(generateWhisperReference),
      generateAudiogram(generateAudiogram),
      artworkURL(std::move(artworkURL)),
      loudnessStandard_(loudnessStandardMatching(targetLUFS).value_or(LoudnessStandard::custom)) {}

// A file whose name ends as a master (of any loudness), RSS file, Whisper reference or audiogram
// does, whatever the switches were when it was written.
bool CastloomPreset::isOwnDeliverable(const std::filesystem::path& relative) const {
    static const std::regex deliverable(
        R"(.+_(Master_ACX\.wav|Master_-?[0-9]+LUFS\.wav|RSS_192k\.mp3|RSS\.m4a|WhisperRef_16k\.wav|Audiogram\.mp4))");
    return std::regex_match(relative.filename().string(), deliverable);
}

std::string CastloomPreset::description() const {
    return "Cleans up and loudness-matches episodes for Apple, Spotify, YouTube, broadcast or Audible (ACX), adds "
           "intro/outro music, tags the RSS file, and makes on-device transcripts and captioned audiograms.";
}

std::set<std::string> CastloomPreset::supportedExtensions() const {
    return {"wav", "aif", "aiff", "mp3", "m4a", "flac", "mov", "mp4", "caf"};
}

void CastloomPreset::setLoudnessStandard(LoudnessStandard standard) {
    loudnessStandard_ = standard;
    if (auto level = lufs(standard)) targetLUFS = *level;
}

LoudnessNormalizer::LoudnessTarget CastloomPreset::loudnessTarget() const {
    switch (loudnessStandard_) {
        case LoudnessStandard::acx: return {-20.0, -3.5, 11.0, true};
        case LoudnessStandard::atsc: return {targetLUFS, -2.0, 11.0, false};
        default: return {targetLUFS, -1.0, 11.0, false};
    }
}

CleanupOptions CastloomPreset::effectiveCleanup() const {
    CleanupOptions options = cleanup;
    if (loudnessStandard_ == LoudnessStandard::acx) options.roomToneSeconds = 1.0;
    return options;
}

StringMap CastloomPreset::namingVariables(const BatchItem& item, int itemIndex) const {
    return {{"show", showTitle},
            {"ep", std::to_string(static_cast<long long>(episodeNumber) + itemIndex - 1)},
            {"title", item.originalFileName}};
}

AudioVideoPipeline::MultiFormatExportRequest CastloomPreset::exportRequest(const BatchItem& item,
                                                                           const ProcessingContext& context) const {
    const int episode = static_cast<int>(static_cast<long long>(episodeNumber) + context.itemIndex - 1);
    const std::string baseFileName =
        TokenRenamer::resolveStem(context.configuration.namingPattern, item, context.itemIndex, context.totalItems,
                                  namingVariables(item, context.itemIndex));
    const LoudnessNormalizer::LoudnessTarget target = loudnessTarget();

    std::string title = item.originalFileName;
    std::replace(title.begin(), title.end(), '_', ' ');
    std::string notes = "Exported with Castloom for Audible / ACX.";
    if (loudnessStandard_ != LoudnessStandard::acx) {
        char text[128];
        std::snprintf(text, sizeof text, "Exported with Castloom. Loudness normalized to %.0f LUFS.",
                      target.integratedLUFS);
        notes = text;
    }

    ID3TagInjector::PodcastMetadata metadata{
        .title = title,
        .artist = hostName,
        .podcastName = showTitle,
        .episodeNumber = episode,
        .seasonNumber = std::nullopt,
        .showNotes = notes,
        .releaseYear = currentYear(),
        .artworkURL = artworkURL,
    };

    AudioVideoPipeline::MultiFormatExportRequest request(item.sourceURL, context.configuration.outputDirectory,
                                                         baseFileName, std::move(metadata), generateMaster,
                                                         generateRSSMaster, generateWhisperReference,
                                                         generateAudiogram, target);
    request.cleanup = effectiveCleanup();
    request.introURL = introURL;
    request.outroURL = outroURL;
    request.generateTranscripts = generateTranscripts;
    request.captionAudiogram = captionAudiogram;
    request.audiogramAspect = audiogramAspect;
    request.audiogramClip = audiogramClip;
    request.audiogramSeconds = audiogramSeconds;
    request.removeFillers = removeFillerWords;
    switch (chapterMode) {
        case ChapterMode::off: request.chapters = AudioVideoPipeline::ChapterSetting::off(); break;
        case ChapterMode::automatic: request.chapters = AudioVideoPipeline::ChapterSetting::automatic(); break;
        case ChapterMode::manual: request.chapters = AudioVideoPipeline::ChapterSetting::manual(chapterList); break;
    }
    return request;
}

std::vector<std::filesystem::path> CastloomPreset::process(const BatchItem& item,
                                                           const ProcessingContext& context) const {
    const AudioVideoPipeline& pipeline = AudioVideoPipeline::shared();
    const auto request = exportRequest(item, context);
    // Two items that resolve to the same base name would overwrite each other's deliverables.
    const auto possible = possibleDeliverables(request);
    const auto unrecorded = context.deliverables ? context.deliverables->claim(possible, item, context.jobID) : possible;
    // Files there before this run that the episode's deliverables replace.
    std::vector<std::filesystem::path> beforeRun;
    for (const auto& file : unrecorded) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(file, ec)) beforeRun.push_back(file);
    }
    const auto onProgress = context.onProgressUpdate;
    const auto onLog = context.log;
    auto written = pipeline.processMultiFormat(
        request,
        [onProgress](double fraction, const std::string& message) {
            if (onProgress) onProgress(fraction, message);
        },
        [onLog](const std::string& line) {
            if (onLog) onLog(line);
        });
    std::vector<std::filesystem::path> replaced;
    for (const auto& file : beforeRun)
        if (std::any_of(written.begin(), written.end(),
                        [&](const std::filesystem::path& w) { return standardized(w) == standardized(file); }))
            replaced.push_back(file);
    if (!replaced.empty() && onLog) onLog(replacedBeforeRunLine(item, replaced, context.configuration.outputDirectory));
    return written;
}

bool operator==(const CastloomPreset& a, const CastloomPreset& b) {
    return a.showTitle == b.showTitle && a.hostName == b.hostName && a.episodeNumber == b.episodeNumber &&
           a.loudnessStandard_ == b.loudnessStandard_ && a.targetLUFS == b.targetLUFS && a.cleanup == b.cleanup &&
           a.introURL == b.introURL && a.outroURL == b.outroURL && a.generateMaster == b.generateMaster &&
           a.generateRSSMaster == b.generateRSSMaster && a.generateWhisperReference == b.generateWhisperReference &&
           a.generateTranscripts == b.generateTranscripts && a.generateAudiogram == b.generateAudiogram &&
           a.captionAudiogram == b.captionAudiogram && a.audiogramAspect == b.audiogramAspect &&
           a.audiogramClip == b.audiogramClip &&
           a.audiogramSeconds == b.audiogramSeconds && a.removeFillerWords == b.removeFillerWords &&
           a.chapterMode == b.chapterMode && a.chapterList == b.chapterList && a.artworkURL == b.artworkURL;
}

const std::vector<LoudnessStandard>& CastloomPreset::allLoudnessStandards() {
    static const std::vector<LoudnessStandard> all{LoudnessStandard::applePodcasts, LoudnessStandard::spotify,
                                                   LoudnessStandard::youtube,       LoudnessStandard::ebuR128,
                                                   LoudnessStandard::atsc,          LoudnessStandard::acx,
                                                   LoudnessStandard::custom};
    return all;
}

std::optional<LoudnessStandard> CastloomPreset::loudnessStandardFromRawValue(const std::string& raw) {
    for (LoudnessStandard s : allLoudnessStandards())
        if (rawValue(s) == raw) return s;
    return std::nullopt;
}

std::optional<LoudnessStandard> CastloomPreset::loudnessStandardMatching(double level) {
    for (LoudnessStandard s : allLoudnessStandards())
        if (auto own = lufs(s); own && std::abs(*own - level) < 0.05) return s;
    return std::nullopt;
}

const std::vector<ChapterMode>& CastloomPreset::allChapterModes() {
    static const std::vector<ChapterMode> all{ChapterMode::off, ChapterMode::automatic, ChapterMode::manual};
    return all;
}

std::optional<ChapterMode> CastloomPreset::chapterModeFromRawValue(const std::string& raw) {
    for (ChapterMode m : allChapterModes())
        if (rawValue(m) == raw) return m;
    return std::nullopt;
}

std::string rawValue(LoudnessStandard standard) {
    switch (standard) {
        case LoudnessStandard::applePodcasts: return "apple";
        case LoudnessStandard::spotify: return "spotify";
        case LoudnessStandard::youtube: return "youtube";
        case LoudnessStandard::ebuR128: return "ebu";
        case LoudnessStandard::atsc: return "atsc";
        case LoudnessStandard::acx: return "acx";
        case LoudnessStandard::custom: return "custom";
    }
    return "custom";
}

std::string displayName(LoudnessStandard standard) {
    switch (standard) {
        case LoudnessStandard::applePodcasts: return "Apple Podcasts (-16 LUFS)";
        case LoudnessStandard::spotify: return "Spotify (-14 LUFS)";
        case LoudnessStandard::youtube: return "YouTube (-14 LUFS)";
        case LoudnessStandard::ebuR128: return "Broadcast EBU R128 (-23 LUFS)";
        case LoudnessStandard::atsc: return "Broadcast ATSC A/85 (-24 LKFS)";
        case LoudnessStandard::acx: return "Audible / ACX audiobook";
        case LoudnessStandard::custom: return "Custom";
    }
    return "Custom";
}

std::optional<double> lufs(LoudnessStandard standard) {
    switch (standard) {
        case LoudnessStandard::applePodcasts: return -16.0;
        case LoudnessStandard::spotify: return -14.0;
        case LoudnessStandard::youtube: return -14.0;
        case LoudnessStandard::ebuR128: return -23.0;
        case LoudnessStandard::atsc: return -24.0;
        case LoudnessStandard::acx:
        case LoudnessStandard::custom: return std::nullopt;
    }
    return std::nullopt;
}

double truePeak(LoudnessStandard standard) {
    switch (standard) {
        case LoudnessStandard::atsc: return -2.0;
        case LoudnessStandard::acx: return -3.5;
        default: return -1.0;
    }
}

std::string rawValue(ChapterMode mode) {
    switch (mode) {
        case ChapterMode::off: return "off";
        case ChapterMode::automatic: return "auto";
        case ChapterMode::manual: return "manual";
    }
    return "off";
}

std::string displayName(ChapterMode mode) {
    switch (mode) {
        case ChapterMode::off: return "Off";
        case ChapterMode::automatic: return "Automatic (from pauses)";
        case ChapterMode::manual: return "My list";
    }
    return "Off";
}

}  // namespace lw
