#include "audio/podcast/AudioVideoPipeline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <system_error>
#include <unicode/locid.h>

#include "audio/FFmpegLog.h"
#include "audio/LoudnessProcessing.h"
#include "audio/PCMStream.h"
#include "audio/WAVWriter.h"
#include "audio/podcast/ChapterBuilder.h"
#include "audio/podcast/ClipPicker.h"
#include "audio/podcast/CoverArt.h"
#include "audio/podcast/FillerRemover.h"
#include "platform/AtomicFile.h"
#include "platform/Error.h"
#include "platform/FileSafety.h"
#include "platform/TemporaryFiles.h"
#include "platform/Uuid.h"

namespace fs = std::filesystem;

namespace lw {

namespace {

constexpr const char* kMP3Encoder = "libmp3lame";
constexpr const char* kChapterMetadataName = "chapters.ffmetadata";
constexpr int kMaxAACEncodes = 3;
constexpr double kAACPeakMarginDB = 0.1;
constexpr double kPeakReadingRate = 192000;

std::string printed(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string printed(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    if (size > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    return text;
}

std::string capitalised(std::string word) {
    if (!word.empty()) word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
    return word;
}

std::string currentLocaleIdentifier() {
    const char* name = icu::Locale::getDefault().getName();
    return name && *name ? name : "en_US";
}

// A private folder under the temporary folder, removed with everything in it when the object goes.
class ScratchFolder {
public:
    ScratchFolder() {
        fs::path base = fs::temp_directory_path();
        fs::create_directories(base);
        base = fs::absolute(base);
        path_ = base / ("Castloom-" + Uuid::random().toString());
        // Registered before it exists, so an interruption at any moment removes it.
        registration_ = TemporaryFiles::Registration(path_, TemporaryFiles::Registration::Kind::folder);
        if (::mkdir(path_.c_str(), 0700) != 0)
            throw fs::filesystem_error("cannot create the scratch folder", path_,
                                       std::error_code(errno, std::generic_category()));
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const fs::path& path() const { return path_; }
    // A file in the folder, on the process-wide list of temporary files so that an interrupted
    // process removes it too.
    fs::path operator/(const std::string& name) {
        fs::path file = path_ / name;
        registrations_.emplace_back(file);
        return file;
    }

private:
    fs::path path_;
    TemporaryFiles::Registration registration_;  // an interrupted process removes the folder too
    std::deque<TemporaryFiles::Registration> registrations_;
};

// Copies a file's bytes to `to`; a failed write says why, naming `named` (the deliverable).
void copyBytes(const fs::path& from, const fs::path& to, const fs::path& named) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw fs::filesystem_error("cannot read", from, std::error_code(errno, std::generic_category()));
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        throw DestinationError::cannotWrite(named, std::error_code(error, std::generic_category()));
    }
    std::vector<char> buffer(1 << 20);
    int error = 0;
    bool readFailed = false;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            readFailed = true;
            break;
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n && !error;) {
            const ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) error = errno;
            else done += w;
        }
        if (error) break;
    }
    ::close(in);
    if (!error && ::fsync(out) != 0) error = errno;
    if (::close(out) != 0 && !error) error = errno;
    if (readFailed) throw fs::filesystem_error("cannot read", from, std::error_code(error, std::generic_category()));
    if (error) throw DestinationError::cannotWrite(named, std::error_code(error, std::generic_category()));
}

// The true peak of a file in dBTP, as the sample peak of the file decoded at four times 48 kHz
// (twice its own rate when that is higher).
double oversampledPeakDB(const fs::path& file) {
    const PCMStream::Format format = PCMStream::format(file);
    float peak = 0;
    PCMStream::read(file, std::max(kPeakReadingRate, 2 * format.sampleRate), std::clamp(format.channels, 1, 2),
                    std::nullopt, [&](std::span<const float> samples, std::size_t) {
                        for (const float x : samples) peak = std::max(peak, std::abs(x));
                    });
    return 20 * std::log10(std::max(peak, 1e-9f));
}

}  // namespace

// ---- request

AudioVideoPipeline::MultiFormatExportRequest::MultiFormatExportRequest(
    fs::path sourceURL, fs::path destinationDirectory, std::string baseFileName, ID3TagInjector::PodcastMetadata metadata,
    bool generateMaster, bool generateRSSMaster, bool generateWhisperReference, bool generateAudiogram,
    LoudnessNormalizer::LoudnessTarget targetLUFS)
    : sourceURL(std::move(sourceURL)),
      destinationDirectory(std::move(destinationDirectory)),
      baseFileName(std::move(baseFileName)),
      metadata(std::move(metadata)),
      generateMaster(generateMaster),
      generateRSSMaster(generateRSSMaster),
      generateWhisperReference(generateWhisperReference),
      generateAudiogram(generateAudiogram),
      targetLUFS(targetLUFS),
      transcriptLocale(currentLocaleIdentifier()) {}

// ---- pipeline

AudioVideoPipeline::AudioVideoPipeline()
    : runner_(&FFmpegRunner::shared()),
      transcriber_(std::make_shared<Transcriber>()),
      installedRecogniser_(true),
      tagInjector_(FFmpegRunner::shared()) {}

AudioVideoPipeline::AudioVideoPipeline(const FFmpegRunner& runner, std::shared_ptr<const Transcriber> transcriber)
    : runner_(&runner), transcriber_(std::move(transcriber)), installedRecogniser_(false), tagInjector_(runner) {}

AudioVideoPipeline& AudioVideoPipeline::shared() {
    static AudioVideoPipeline pipeline;
    return pipeline;
}

bool AudioVideoPipeline::producesMP3() const { return runner_->isFFmpegAvailable(); }

bool AudioVideoPipeline::transcriptionAvailable() const {
    if (!transcriber_) return false;
    return !installedRecogniser_ || Transcriber::isSupported();
}

std::string AudioVideoPipeline::masterSuffix(const LoudnessNormalizer::LoudnessTarget& target) {
    if (target.acx) return "_Master_ACX.wav";
    return printed("_Master_%.0fLUFS.wav", target.integratedLUFS);
}

// The state one export carries from stage to stage.
struct AudioVideoPipeline::Run {
    Run(const AudioVideoPipeline& pipeline, const MultiFormatExportRequest& request, const ProgressHandler& onProgress,
        const LogHandler& onLog)
        : pipeline(pipeline), request(request), onProgress(onProgress), onLog(onLog), metadata(request.metadata) {}

    const AudioVideoPipeline& pipeline;
    const MultiFormatExportRequest& request;
    const ProgressHandler& onProgress;
    const LogHandler& onLog;

    fs::path destination;  // absolute
    ID3TagInjector::PodcastMetadata metadata;  // the request's, without a cover the RSS file cannot carry
    std::optional<fs::path> audiogramCover;    // the request's cover when the audiogram can draw it
    std::optional<ScratchFolder> scratch;
    LoudnessNormalizer::Result normalisation;
    fs::path episodeFile;
    fs::path workingFile;
    std::vector<CaptionWord> words;
    double introOffset = 0;
    bool hasOutro = false;
    double finalDuration = 0;
    double episodeDuration = 0;
    std::optional<fs::path> chapterMetadataFile;
    std::vector<fs::path> outputs;

    void progress(double fraction, const std::string& message) const {
        if (onProgress) onProgress(fraction, message);
    }
    // A line about this episode: several may share one log.
    void log(const std::string& line) const {
        if (onLog) onLog(request.sourceURL.filename().string() + ": " + line);
    }
    fs::path deliverable(const std::string& suffix) const { return destination / (request.baseFileName + suffix); }

    void checkNames() const;
    void checkCover();
    void normaliseEpisode();
    void transcribe();
    void removeFillers();
    void addMusic();
    void writeMaster();
    void writeACXCheck();
    void measureDurations();
    std::string pastTheEnd() const;
    static std::string namedChapters(const std::vector<Chapter>& chapters);
    void logLeftOutChapters(const ChapterBuilder::TidyNotes& notes) const;
    void writeChapters();
    void writeRSS();
    void writeM4A(const fs::path& rss);
    void writeReference();
    void writeTranscripts();
    void writeAudiogram();
};

// Refuses, before any work, a base name that cannot name a file, an output folder that cannot be
// written, and deliverables that would replace one of the export's own inputs.
void AudioVideoPipeline::Run::checkNames() const {
    const std::string& base = request.baseFileName;
    if (base.find('/') != std::string::npos || base.find('\0') != std::string::npos)
        throw Error("\"" + base + "\" cannot be used as an output file name.");
    if (::access(destination.c_str(), W_OK | X_OK) != 0)
        throw Error("Cannot write to the output folder " + destination.string() + ": " + std::strerror(errno) + ".");

    std::vector<fs::path> inputs{request.sourceURL};
    for (const auto& input : {request.introURL, request.outroURL, request.metadata.artworkURL})
        if (input) inputs.push_back(*input);
    for (const char* suffix : {"_ACX_Check.txt", "_Chapters.json", "_Chapters.txt", "_RSS_192k.mp3", "_RSS.m4a",
                               "_WhisperRef_16k.wav", "_Transcript.srt", "_Transcript.vtt", "_Transcript.txt",
                               "_Audiogram.mp4"}) {
        checkDestination(deliverable(suffix));
        checkNotInput(deliverable(suffix), inputs);
    }
    checkDestination(deliverable(masterSuffix(request.targetLUFS)));
    checkNotInput(deliverable(masterSuffix(request.targetLUFS)), inputs);
}

// A cover is left out of each deliverable that cannot carry it, before any work, with a line
// saying why; a cover the RSS file's writer could not take would fail the episode.
void AudioVideoPipeline::Run::checkCover() {
    if (!request.metadata.artworkURL) return;
    const CoverArt::Check cover =
        CoverArt::check(*request.metadata.artworkURL,
                        {request.generateRSSMaster, pipeline.producesMP3(), request.generateAudiogram});
    if (!cover.problem.empty()) log(cover.problem);
    if (cover.forAudiogram) audiogramCover = request.metadata.artworkURL;
    if (!cover.forRSS) metadata.artworkURL.reset();
}

void AudioVideoPipeline::Run::normaliseEpisode() {
    const CleanupOptions& cleanup = request.cleanup;
    progress(0.05, cleanup == CleanupOptions::none() ? "Measuring loudness (ITU-R BS.1770)..."
                                                     : "Analysing and cleaning up audio...");
    episodeFile = *scratch / "episode.wav";
    normalisation = LoudnessNormalizer::process(request.sourceURL, episodeFile, request.targetLUFS, cleanup);
    workingFile = episodeFile;
    if (!onLog) return;

    const std::string name = request.sourceURL.filename().string();
    const auto& in = normalisation.input;
    const auto& out = normalisation.output;
    // This line begins with the episode's name itself.
    const auto logNamed = [&](const std::string& line) { onLog(line); };
    if (request.targetLUFS.acx) {
        logNamed(printed("%s: RMS %.1f dB -> %.1f dB, sample peak %.1f dB, noise floor %.1f dB", name.c_str(), in.rmsDB,
                         out.rmsDB, out.samplePeakDB, out.noiseFloorDB));
    } else {
        const std::string limiter = normalisation.limiterReductionDB < -0.1
                                        ? printed(", limiter %.1f dB", normalisation.limiterReductionDB)
                                        : std::string();
        logNamed(printed("%s: %.1f LUFS -> %.1f LUFS (gain %+.1f dB, true peak %.1f dBTP%s)", name.c_str(),
                         in.integratedLUFS.value_or(-HUGE_VAL), out.integratedLUFS.value_or(-HUGE_VAL),
                         normalisation.gainDB, out.truePeakDBTP, limiter.c_str()));
    }
    if (const auto missed = missedTargetNote(normalisation, request.targetLUFS)) log(*missed);

    std::vector<std::string> entries;
    if (cleanup.rumbleFilter) entries.push_back("rumble filter");
    if (normalisation.humRemovedHz)
        entries.push_back(std::to_string(static_cast<long long>(*normalisation.humRemovedHz)) + " Hz hum removed");
    if (cleanup.noiseGate) entries.push_back(kNoiseGateLabel);
    if (normalisation.levelerRangeDB)
        entries.push_back(printed("leveler %+.1f to %+.1f dB", normalisation.levelerRangeDB->lowerBound,
                                  normalisation.levelerRangeDB->upperBound));
    if (normalisation.secondsRemoved >= 0.1) entries.push_back(printed("%.1f s of silence cut", normalisation.secondsRemoved));
    if (entries.empty()) return;
    std::string line = "Clean-up: ";
    for (std::size_t i = 0; i < entries.size(); ++i) line += (i ? ", " : "") + entries[i];
    log(line);
}

void AudioVideoPipeline::Run::transcribe() {
    const bool needed = request.generateTranscripts || request.removeFillers ||
                        request.chapters.kind == ChapterSetting::Kind::automatic ||
                        (request.generateAudiogram &&
                         (request.captionAudiogram || request.audiogramClip.kind == ClipChoice::Kind::automatic));
    if (needed) {
        if (pipeline.transcriptionAvailable()) {
            progress(0.25, "Transcribing on this computer...");
            try {
                words = pipeline.transcriber_->transcribe(episodeFile, request.transcriptLocale);
            } catch (const std::exception& e) {
                words.clear();
                log(std::string("Transcript skipped: ") + e.what());
            }
        } else {
            log("Transcript skipped: on-device transcription needs an on-device speech model.");
        }
    }

    if (onLog && std::getenv("LOTWRIGHT_DEBUG_WORDS")) {
        std::string line = "Words: ";
        for (std::size_t i = 0; i < words.size(); ++i)
            line += (i ? " " : "") + printed("%s[%.2f-%.2f]", words[i].text.c_str(), words[i].start, words[i].end);
        log(line);
    }
}

void AudioVideoPipeline::Run::removeFillers() {
    if (!request.removeFillers || words.empty()) return;
    const auto frames = LoudnessNormalizer::speechFrames(episodeFile);
    const auto hidden = FillerRemover::hiddenFillerCuts(words, frames);
    const FillerRemover::Plan plan = FillerRemover::plan(words, true, hidden);
    if (plan.cuts.empty()) {
        log("Filler words: none found");
        return;
    }
    progress(0.32, "Removing filler words...");
    const fs::path clean = *scratch / "episode_clean.wav";
    LoudnessNormalizer::cut(episodeFile, clean, plan.cuts);
    episodeFile = clean;
    workingFile = clean;
    words = plan.words;

    std::vector<std::pair<std::string, int>> removed(plan.removed.begin(), plan.removed.end());
    std::stable_sort(removed.begin(), removed.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string summary;
    for (std::size_t i = 0; i < removed.size(); ++i)
        summary += (i ? ", " : "") + std::to_string(removed[i].second) + " x " + removed[i].first;
    double total = 0;
    for (const auto& cut : plan.cuts) total += cut.upperBound - cut.lowerBound;
    log(printed("Filler words: removed %d (%s), %.1f s shorter", plan.count(), summary.c_str(), total));
}

void AudioVideoPipeline::Run::addMusic() {
    if (!request.introURL && !request.outroURL) return;
    progress(0.3, "Adding intro / outro music...");
    const PCMStream::Format format = PCMStream::format(episodeFile);

    LoudnessNormalizer::LoudnessTarget musicTarget = request.targetLUFS;
    if (request.targetLUFS.acx) musicTarget.integratedLUFS = -20.0;
    musicTarget.acx = false;

    std::vector<fs::path> parts;
    const std::pair<std::string, std::optional<fs::path>> entries[] = {{"intro", request.introURL},
                                                                      {kClosingEntryName, request.outroURL}};
    for (const auto& [name, url] : entries) {
        if (!url) continue;
        std::error_code ec;
        if (!fs::exists(*url, ec)) {
            log(capitalised(name) + " music not found: " + url->string());
            continue;
        }
        const fs::path processed = *scratch / (name + ".wav");
        // The music's own failure says which music it is: the episode's name comes from the caller.
        const auto music = [&](const Error& e) { return Error(capitalised(name) + " music: " + e.what()); };
        try {
            LoudnessNormalizer::process(*url, processed, musicTarget, CleanupOptions::none());
        } catch (const PCMStream::StreamError& e) {
            if (e.url() != *url) throw;
            throw music(e);
        } catch (const LoudnessNormalizer::NormalizerError& e) {
            if (e.url() != *url) throw;
            throw music(e);
        }
        if (name == "intro") {
            parts.push_back(processed);
            introOffset = PCMStream::format(processed).durationSeconds;
        } else {
            parts.push_back(episodeFile);
            parts.push_back(processed);
            hasOutro = true;
        }
    }
    if (std::find(parts.begin(), parts.end(), episodeFile) == parts.end()) parts.push_back(episodeFile);
    if (parts.size() >= 2) {
        workingFile = *scratch / "final.wav";
        LoudnessNormalizer::concatenate(parts, workingFile, format.sampleRate, format.channels);
    }
}

void AudioVideoPipeline::Run::writeMaster() {
    if (!request.generateMaster) return;
    const fs::path master = deliverable(masterSuffix(request.targetLUFS));
    AtomicFile out(master);
    copyBytes(workingFile, out.tempPath(), master);
    out.commit();
    outputs.push_back(master);
}

void AudioVideoPipeline::Run::writeACXCheck() {
    if (!normalisation.acxReport) return;
    // The check is of the programme as delivered (music included), channel by channel, and of
    // the file to upload: the MP3, which is encoded at 44.1 kHz for an ACX target.
    const auto measured = LoudnessNormalizer::measureChannels(workingFile);
    std::vector<LoudnessNormalizer::ACXReport::Channel> channels;
    for (const auto& m : measured) channels.push_back({m.rmsDB, m.truePeakDBTP, m.noiseFloorDB});
    const bool mp3 = request.generateRSSMaster && pipeline.producesMP3();
    const int masterRate = measured.empty() ? 0 : static_cast<int>(std::lround(measured.front().sampleRate));
    auto report = LoudnessNormalizer::ACXReport::ofChannels(channels, mp3 ? 44100 : masterRate);
    report.noiseGate = request.cleanup.noiseGate;
    if (!request.generateRSSMaster)
        report.noUploadMP3 = "no MP3 is made with the RSS master turned off";
    else if (!mp3)
        report.noUploadMP3 = "no MP3 is made without FFmpeg (sudo apt install ffmpeg); the RSS file is an M4A";
    normalisation.acxReport = report;

    const fs::path check = deliverable("_ACX_Check.txt");
    writeFileAtomically(check, normalisation.acxReport->text());
    outputs.push_back(check);
    if (normalisation.acxReport->passes())
        log("ACX check: passes");
    else
        log("ACX check: does not pass yet, see " + check.filename().string());
}

void AudioVideoPipeline::Run::measureDurations() {
    finalDuration = PCMStream::format(workingFile).durationSeconds;
    episodeDuration = PCMStream::format(episodeFile).durationSeconds;
}

std::string AudioVideoPipeline::Run::pastTheEnd() const {
    return "past the end of the episode (" + ChapterBuilder::clock(finalDuration, false) + ") or in its last second";
}

// "MM:SS Title" of each chapter, joined with "; " (a title of a list cannot hold ";").
std::string AudioVideoPipeline::Run::namedChapters(const std::vector<Chapter>& chapters) {
    std::string text;
    for (const auto& c : chapters) text += (text.empty() ? "" : "; ") + ChapterBuilder::clock(c.start, false) + " " + c.title;
    return text;
}

// The chapters of a manual list that tidying left out: a line for those starting outside the
// episode, one for those kept once because several start at the same time.
void AudioVideoPipeline::Run::logLeftOutChapters(const ChapterBuilder::TidyNotes& notes) const {
    std::vector<Chapter> late, early;
    for (const auto& chapter : notes.outside) (chapter.start < 0 ? early : late).push_back(chapter);
    if (!late.empty()) log("Chapters left out, starting " + pastTheEnd() + ": " + namedChapters(late));
    if (!early.empty()) {
        std::string titles;
        for (const auto& c : early) titles += (titles.empty() ? "" : "; ") + c.title;
        log("Chapters left out, starting before the beginning of the episode: " + titles);
    }
    if (!notes.merged.empty()) {
        std::string line = "Chapters with the same start kept once: ";
        for (std::size_t i = 0; i < notes.merged.size(); ++i) {
            const auto& [kept, leftOut] = notes.merged[i];
            line += (i ? "; " : "") + namedChapters({kept}) + " (left out: ";
            for (std::size_t j = 0; j < leftOut.size(); ++j) line += (j ? " · " : "") + leftOut[j].title;
            line += ")";
        }
        log(line);
    }
}

void AudioVideoPipeline::Run::writeChapters() {
    std::vector<Chapter> chapters;
    switch (request.chapters.kind) {
        case ChapterSetting::Kind::off: break;
        case ChapterSetting::Kind::manual: {
            const std::vector<Chapter> listed = ChapterBuilder::parse(request.chapters.text);
            ChapterBuilder::TidyNotes notes;
            chapters = ChapterBuilder::tidy(listed, finalDuration, &notes);
            if (listed.empty())
                log("Chapters skipped: couldn't read the chapter list (use lines like \"5:30 Interview\")");
            else if (chapters.empty() &&
                     std::all_of(listed.begin(), listed.end(), [](const Chapter& c) { return c.start >= 0; }))
                log("Chapters skipped: every chapter in the list starts " + pastTheEnd() + ": " +
                    namedChapters(notes.outside));
            else
                logLeftOutChapters(notes);
            break;
        }
        case ChapterSetting::Kind::automatic:
            if (words.empty()) {
                log("Chapters skipped: automatic chapters need the transcript");
                break;
            }
            chapters = ChapterBuilder::automatic(words, episodeDuration);
            for (auto& chapter : chapters) chapter.start += introOffset;
            if (introOffset > 0) {
                if (!chapters.empty()) chapters.front().start = introOffset;
                chapters.insert(chapters.begin(), Chapter{0, "Intro"});
            }
            if (hasOutro) chapters.push_back(Chapter{episodeDuration + introOffset, capitalised(kClosingEntryName)});
            chapters = ChapterBuilder::tidy(std::move(chapters), finalDuration);
            break;
    }
    if (chapters.empty()) return;

    const fs::path json = deliverable("_Chapters.json");
    const fs::path text = deliverable("_Chapters.txt");
    writeFileAtomically(json, ChapterBuilder::json(chapters));
    writeFileAtomically(text, ChapterBuilder::text(chapters));
    outputs.push_back(json);
    outputs.push_back(text);
    const fs::path metadata = *scratch / kChapterMetadataName;
    writeFileAtomically(metadata, ChapterBuilder::ffmetadata(chapters, finalDuration));
    chapterMetadataFile = metadata;

    std::string line = "Chapters: " + std::to_string(chapters.size()) + " (";
    for (std::size_t i = 0; i < chapters.size() && i < 4; ++i) line += (i ? " · " : "") + chapters[i].title;
    if (chapters.size() >= 5) line += " …";
    log(line + ")");
}

void AudioVideoPipeline::Run::writeRSS() {
    if (!request.generateRSSMaster) return;
    if (pipeline.runner_->isFFmpegAvailable()) {
        progress(0.45, "Encoding 192kbps MP3 RSS Master with ID3 tags...");
        const fs::path encoded = *scratch / "rss.mp3";
        std::vector<std::string> arguments{"-y", "-i", workingFile.string(), "-codec:a", kMP3Encoder, "-b:a", "192k"};
        // MP3 carries 192 kb/s only at 32 kHz and above: a slower master is encoded at 44.1 kHz.
        if (request.targetLUFS.acx || PCMStream::format(workingFile).sampleRate < 32000)
            arguments.insert(arguments.end(), {"-ar", "44100"});
        arguments.push_back(encoded.string());
        pipeline.runner_->execute(arguments);
        const fs::path rss = deliverable("_RSS_192k.mp3");
        pipeline.tagInjector_.inject(metadata, encoded, rss, chapterMetadataFile);
        outputs.push_back(rss);
    } else {
        progress(0.45, "Encoding AAC RSS Master with tags...");
        const fs::path rss = deliverable("_RSS.m4a");
        writeM4A(rss);
        outputs.push_back(rss);
        log("RSS master written as AAC (.m4a). Install FFmpeg (sudo apt install ffmpeg) to get MP3 instead.");
    }
}

// AAC overshoots the peaks of what it encodes: an encode whose true peak (read at 192 kHz) is
// over the target's ceiling is made again from the programme with the gain lowered by the
// overshoot and a little more, at most kMaxAACEncodes encodes in all. The file is delivered once
// the last encode is done.
void AudioVideoPipeline::Run::writeM4A(const fs::path& rss) {
    const double ceiling = request.targetLUFS.truePeakDB;
    const fs::path encoded = *scratch / "rss.m4a";
    fs::path source = workingFile;
    double gainDB = 0;
    double peak = 0;
    std::optional<PCMStream::Format> format;  // of the programme, read for the first lowering
    for (int encodes = 1;; ++encodes) {
        pipeline.tagInjector_.inject(metadata, source, encoded, std::nullopt);
        peak = oversampledPeakDB(encoded);
        if (peak <= ceiling || encodes == kMaxAACEncodes) break;
        gainDB -= peak - ceiling + kAACPeakMarginDB;
        if (source == workingFile) source = *scratch / "rss_source.wav";
        if (!format) format = PCMStream::format(workingFile);
        const auto gain = static_cast<float>(std::pow(10.0, gainDB / 20.0));
        WAVWriter writer(source, format->sampleRate, format->channels, 24);
        std::vector<float> lowered;
        PCMStream::read(workingFile, format->sampleRate, format->channels, std::nullopt,
                        [&](std::span<const float> samples, std::size_t frames) {
                            lowered.assign(samples.begin(), samples.end());
                            for (float& x : lowered) x *= gain;
                            writer.write(lowered, frames);
                        });
        writer.close();
    }
    if (peak > ceiling)
        log(printed("RSS file: the AAC true peak %.1f dBTP is over the %.1f dBTP ceiling after %d encodes", peak,
                    ceiling, kMaxAACEncodes));
    else if (gainDB < 0)
        log(printed("RSS file: AAC encoded %.1f dB lower to keep the %.1f dBTP true-peak ceiling", -gainDB, ceiling));
    AtomicFile out(rss);
    copyBytes(encoded, out.tempPath(), rss);
    out.commit();
}

void AudioVideoPipeline::Run::writeReference() {
    if (!request.generateWhisperReference) return;
    progress(0.6, "Generating 16kHz mono Whisper transcript reference...");
    const fs::path reference = deliverable("_WhisperRef_16k.wav");
    WAVWriter writer(reference, 16000, 1, 16);
    PCMStream::read(workingFile, 16000.0, 1, std::nullopt,
                    [&](std::span<const float> samples, std::size_t frames) { writer.write(samples, frames); });
    writer.close();
    outputs.push_back(reference);
}

void AudioVideoPipeline::Run::writeTranscripts() {
    if (!request.generateTranscripts || words.empty()) return;
    const auto cues = Transcriber::cues(words, 42, 4.0);
    const std::pair<std::string, std::string> files[] = {
        {"_Transcript.srt", Transcriber::srt(cues, introOffset)},
        {"_Transcript.vtt", Transcriber::vtt(cues, introOffset)},
        {"_Transcript.txt", Transcriber::plainText(words, introOffset)},
    };
    for (const auto& [suffix, text] : files) {
        const fs::path file = deliverable(suffix);
        writeFileAtomically(file, text);
        outputs.push_back(file);
    }
    log("Transcript: " + std::to_string(words.size()) + " words, " + std::to_string(cues.size()) + " captions");
}

void AudioVideoPipeline::Run::writeAudiogram() {
    if (!request.generateAudiogram) return;
    progress(0.85, "Rendering social audiogram video snippet...");
    const double length = std::min(episodeDuration, request.audiogramSeconds);

    double wanted = 0;
    switch (request.audiogramClip.kind) {
        case ClipChoice::Kind::at: wanted = request.audiogramClip.seconds; break;
        case ClipChoice::Kind::start: wanted = 0; break;
        case ClipChoice::Kind::automatic:
            if (!words.empty()) {
                wanted = ClipPicker::liveliestStart(words, episodeDuration, length);
            } else {
                const auto levels = LoudnessNormalizer::levels(episodeFile, 0.5);
                wanted = ClipPicker::loudestStart(levels, 0.5, length);
            }
            break;
    }
    double start = std::min(wanted, episodeDuration - length);
    if (!(start >= 0)) start = 0;  // negative or not a number

    std::vector<CaptionWord> captions = request.captionAudiogram ? words : std::vector<CaptionWord>{};
    fs::path audio = episodeFile;
    if (start > 0.05) {
        audio = *scratch / "clip.wav";
        LoudnessNormalizer::excerpt(episodeFile, audio, start, length);
        std::vector<CaptionWord> moved;
        for (const auto& word : captions) {
            if (word.end > start && word.start < start + length)
                moved.push_back({word.text, std::max(0.0, word.start - start), word.end - start});
        }
        captions = std::move(moved);
        log("Audiogram clip: " + ChapterBuilder::clock(start, false) + " to " +
            ChapterBuilder::clock(start + length, false));
    }

    AudiogramGenerator::AudiogramConfig config{
        .aspectRatio = request.audiogramAspect,
        .maxDurationSeconds = length,
        .waveformColor = "#3B82F6",
        .backgroundImageURL = audiogramCover,
        .framesPerSecond = 30,
        .captions = std::move(captions),
        .title = request.metadata.podcastName.empty() ? std::nullopt
                                                      : std::optional<std::string>(request.metadata.podcastName),
    };
    const fs::path video = deliverable("_Audiogram.mp4");
    pipeline.audiogramGenerator_.generate(audio, video, config);
    outputs.push_back(video);
}

std::vector<fs::path> AudioVideoPipeline::processMultiFormat(const MultiFormatExportRequest& request,
                                                             const ProgressHandler& onProgress,
                                                             const LogHandler& onLog) const {
    Run run(*this, request, onProgress, onLog);
    // FFmpeg's own messages are detail lines of this episode's log.
    av::LogSink ffmpegLog([&run](const std::string& line) { run.log("FFmpeg: " + line); });
    const av::ScopedLogSink routed(onLog ? &ffmpegLog : nullptr);
    av::routeLibraryLog();
    std::error_code created;
    fs::create_directories(request.destinationDirectory, created);
    if (created)
        throw Error("Could not create the output folder " + request.destinationDirectory.string() + ": " +
                    created.message() + ".");
    run.destination = fs::absolute(request.destinationDirectory);
    run.checkNames();
    run.scratch.emplace();
    run.checkCover();

    run.normaliseEpisode();
    run.transcribe();
    run.removeFillers();
    run.addMusic();
    run.writeMaster();
    run.writeACXCheck();
    run.measureDurations();

    run.writeChapters();
    run.writeRSS();
    run.writeReference();
    run.writeTranscripts();
    run.writeAudiogram();
    run.progress(1.0, "Export complete.");
    return std::move(run.outputs);
}

}  // namespace lw
