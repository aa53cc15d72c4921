#include "audio/LoudnessProcessing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>
#include <unordered_map>

#include <tbb/parallel_pipeline.h>

#include "audio/CleanupChain.h"
#include "audio/FFmpegLog.h"
#include "audio/HumDetector.h"
#include "audio/LibraryErrors.h"
#include "audio/Limiter.h"
#include "audio/LoudnessMeter.h"
#include "audio/PCMStream.h"
#include "audio/WAVWriter.h"
#include "platform/FileSafety.h"

namespace fs = std::filesystem;

namespace lw {

// ---- Records ------------------------------------------------------------------------------

LoudnessNormalizer::ACXReport LoudnessNormalizer::ACXReport::ofChannels(const std::vector<Channel>& channels,
                                                                        int sampleRate) {
    ACXReport report;
    report.sampleRate = sampleRate;
    report.channels = channels;
    if (channels.empty()) return report;
    // How far a level is past the nearer end of the RMS range (negative inside it).
    const auto rmsMiss = [](double db) { return std::max(-23.0 - db, db - -18.0); };
    report.rmsDB = channels.front().rmsDB;
    report.peakDB = channels.front().peakDB;
    report.noiseFloorDB = channels.front().noiseFloorDB;
    for (const Channel& c : channels) {
        if (rmsMiss(c.rmsDB) > rmsMiss(report.rmsDB)) report.rmsDB = c.rmsDB;
        report.peakDB = std::max(report.peakDB, c.peakDB);
        report.noiseFloorDB = std::max(report.noiseFloorDB, c.noiseFloorDB);
    }
    return report;
}

std::string LoudnessNormalizer::ACXReport::text() const {
    auto line = [](bool ok, const char* format, double value) {
        char buffer[128];
        std::snprintf(buffer, sizeof buffer, format, value);
        return std::string(ok ? "PASS  " : "FAIL  ") + buffer;
    };
    // The figure of each channel of a two-channel file, after the worst one.
    auto perChannel = [this](double Channel::*figure) {
        if (channels.size() != 2) return std::string();
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "  (left %.1f, right %.1f)", channels[0].*figure, channels[1].*figure);
        return std::string(buffer);
    };
    std::string s = "Audible / ACX audio check\n==========================\n";
    s += line(rmsOK(), "RMS level      %6.1f dB   (needs -23 to -18 dB)", rmsDB) + perChannel(&Channel::rmsDB) + "\n";
    s += line(peakOK(), "True peak      %6.1f dBTP (needs -3 dB or lower)", peakDB) + perChannel(&Channel::peakDB) +
         "\n";
    s += line(noiseOK(), "Noise floor    %6.1f dB   (needs -60 dB or lower)", noiseFloorDB) +
         perChannel(&Channel::noiseFloorDB);
    s += std::string("\n") + (sampleRateOK() ? "" : "FAIL  ") + "Sample rate    " + std::to_string(sampleRate) + " Hz    (";
    s += noUploadMP3.empty() ? "ACX wants 44100 Hz; upload as 192 kbps CBR MP3"
                             : "ACX wants 44100 Hz in a 192 kbps CBR MP3; " + noUploadMP3;
    s += ")\n\nOverall: ";
    s += passes() ? "PASSES the ACX audio requirements." : "Does NOT pass yet. See the FAIL lines above.";
    s += "\n";
    if (!noiseOK())
        s += noiseGate ? "Tip: the noise gate is already on; record with less background noise."
                       : "Tip: turn on the noise gate, or record with less background noise.";
    return s;
}

LoudnessNormalizer::NormalizerError::NormalizerError(Kind kind, fs::path url, const std::string& text)
    : Error(text), kind_(kind), url_(std::move(url)) {}

LoudnessNormalizer::NormalizerError LoudnessNormalizer::NormalizerError::silentOrTooShort(const fs::path& url) {
    return NormalizerError(Kind::silentOrTooShort, url,
                           url.filename().string() + " is silent or too short to measure loudness.");
}

LoudnessNormalizer::NormalizerError LoudnessNormalizer::NormalizerError::cannotCreateExportSession() {
    return NormalizerError(Kind::cannotCreateExportSession, {},
                           "Failed to initialize the AAC exporter for audio normalization.");
}

LoudnessNormalizer::NormalizerError LoudnessNormalizer::NormalizerError::exportFailed() {
    return NormalizerError(Kind::exportFailed, {}, "Audio export session failed.");
}

LoudnessNormalizer::NormalizerError LoudnessNormalizer::NormalizerError::notANumber(const fs::path& url) {
    return NormalizerError(Kind::notANumber, url,
                           url.filename().string() +
                               " holds samples that are not numbers (NaN or infinite values); it cannot be measured.");
}

LoudnessNormalizer::NormalizerError LoudnessNormalizer::NormalizerError::invalidTarget(const fs::path& url,
                                                                                       const LoudnessTarget& target) {
    char values[96];
    std::snprintf(values, sizeof values, "%g LUFS, ceiling %g dBTP", target.integratedLUFS, target.truePeakDB);
    return NormalizerError(Kind::invalidTarget, url,
                           "Cannot normalise " + url.filename().string() + ": the loudness target (" + values +
                               ") is not a finite number.");
}

LoudnessNormalizer::NormalizerError LoudnessNormalizer::NormalizerError::failed(const fs::path& url,
                                                                                const std::string& reason) {
    return NormalizerError(Kind::failed, url, "Could not process " + url.filename().string() + ": " + reason + ".");
}

// ---- Analysis, plan, render -----------------------------------------------------------------

namespace {

constexpr double kCorrectionToleranceDB = 0.3;
constexpr double kMaxGainDB = 40.0;
constexpr double kMissedTargetDB = 0.5;   // a delivered level further off than this is reported
constexpr double kLimitingShownDB = 0.5;  // limiting deeper than this counts as holding the level back
constexpr int kMaxRenders = 3;
constexpr double kCrossfadeSeconds = 0.01;
constexpr double kGateAboveFloorDB = 10.0;
constexpr double kGateBelowSpeechDB = 20.0;

LoudnessNormalizer::Measurement measurementOf(LoudnessMeter& meter) {
    const LoudnessMeter::Result r = meter.result();
    LoudnessNormalizer::Measurement m;
    m.integratedLUFS = r.integratedLUFS;
    m.truePeakDBTP = r.truePeakDBTP;
    m.sampleRate = meter.sampleRate();
    m.channels = meter.channels();
    m.durationSeconds = static_cast<double>(r.frames) / meter.sampleRate();
    m.rmsDB = r.rmsDB;
    m.samplePeakDB = r.samplePeakDB;
    m.noiseFloorDB = r.noiseFloorDB;
    return m;
}

struct Analysis {
    double sampleRate = 0;
    int channels = 0;
    std::size_t frames = 0;
    LoudnessNormalizer::Measurement measurement;
    std::vector<float> blockLevelsDB;
    std::size_t blockFrames = 1;
    std::vector<double> weightedPower;  // K-weighted power of each 100 ms, from the meter
    std::size_t weightedFrames = 1;
    std::optional<double> humHz;  // detected mains hum, when looked for
    std::vector<double> dcOffset;  // mean of each channel
};

Analysis analyse(const fs::path& source, bool detectHum) {
    const PCMStream::Format format = PCMStream::format(source);
    Analysis a;
    a.sampleRate = format.sampleRate;
    a.channels = format.channels;
    LoudnessMeter meter(a.sampleRate, a.channels);
    BlockLevelMeter blocks(a.sampleRate, a.channels);
    std::optional<HumDetector> hum;
    if (detectHum) hum.emplace(a.sampleRate, a.channels);
    const std::size_t ch = static_cast<std::size_t>(a.channels);
    std::vector<double> sums(ch, 0.0);
    std::optional<DCBlocker> dcBlocker;
    std::vector<float> withoutDC;
    PCMStream::read(source, a.sampleRate, a.channels, std::nullopt,
                    [&](std::span<const float> samples, std::size_t frames) {
                        bool finite = true;
                        for (const float v : samples) finite &= std::isfinite(v);
                        if (!finite) throw LoudnessNormalizer::NormalizerError::notANumber(source);
                        for (std::size_t i = 0; i < frames; ++i)
                            for (std::size_t c = 0; c < ch; ++c) sums[c] += samples[i * ch + c];
                        meter.addFrames(samples.data(), frames);
                        // Speech detection and the hum detector hear the signal without its
                        // offset, as the render will.
                        if (!dcBlocker && frames > 0)
                            dcBlocker.emplace(a.sampleRate, std::vector<double>(samples.begin(), samples.begin() + ch));
                        withoutDC.assign(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(frames * ch));
                        if (dcBlocker) dcBlocker->process(withoutDC.data(), frames);
                        blocks.add(withoutDC.data(), frames);
                        if (hum) hum->add(withoutDC.data(), frames);
                        a.frames += frames;
                    });
    a.measurement = measurementOf(meter);
    for (double sum : sums) a.dcOffset.push_back(a.frames > 0 ? sum / static_cast<double>(a.frames) : 0.0);
    for (const auto& sub : meter.subBlocks()) a.weightedPower.push_back(sub.weightedPower);
    a.weightedFrames = std::max<std::size_t>(1, meter.framesPerSubBlock());
    a.blockLevelsDB = blocks.finish();
    a.blockFrames = blocks.blockFrames();
    if (hum) a.humHz = hum->finish().frequency;
    return a;
}

// Gated loudness (absolute -70 LUFS, relative -10 LU over 400 ms blocks with 75 % overlap) of
// the meter's 100 ms powers with a per-100 ms gain in dB applied.
std::optional<double> gatedLoudness(const Analysis& a, const std::vector<float>& gainDB) {
    const std::size_t n = a.weightedPower.size();
    if (n < 4) return std::nullopt;
    std::vector<double> sub(n);
    for (std::size_t i = 0; i < n; ++i) {
        double g = 1.0;
        if (!gainDB.empty()) {
            const std::size_t block = std::min(gainDB.size() - 1, i * a.weightedFrames / a.blockFrames);
            g = std::pow(10.0, gainDB[block] / 10.0);
        }
        sub[i] = a.weightedPower[i] * g;
    }
    std::vector<double> blocks;
    for (std::size_t j = 0; j + 4 <= n; ++j) {
        const double p = (sub[j] + sub[j + 1] + sub[j + 2] + sub[j + 3]) / 4.0;
        if (LoudnessMeter::loudnessOfPower(p) > -70.0) blocks.push_back(p);
    }
    if (blocks.empty()) return std::nullopt;
    double mean = 0;
    for (double p : blocks) mean += p;
    const double relative = LoudnessMeter::loudnessOfPower(mean / static_cast<double>(blocks.size())) - 10.0;
    double sum = 0;
    std::size_t count = 0;
    for (double p : blocks)
        if (LoudnessMeter::loudnessOfPower(p) > relative) {
            sum += p;
            ++count;
        }
    if (count == 0) return std::nullopt;
    return LoudnessMeter::loudnessOfPower(sum / static_cast<double>(count));
}

struct Plan {
    std::vector<BiquadCoefficients> filters;
    bool rumbleFilter = false;
    std::optional<double> humHz;
    std::vector<float> levelerDB;
    std::optional<LoudnessNormalizer::Result::Range> levelerRange;
    std::optional<double> gateThresholdDB;
    std::vector<FrameCut> cuts;
    std::size_t crossfadeFrames = 1;
};

Plan makePlan(const Analysis& a, const CleanupOptions& options) {
    Plan plan;
    plan.rumbleFilter = options.rumbleFilter;
    if (options.rumbleFilter) plan.filters = rumbleFilterSections(a.sampleRate);
    switch (options.humRemoval) {
        case CleanupOptions::HumMode::off: break;
        case CleanupOptions::HumMode::autoDetect: plan.humHz = a.humHz; break;
        case CleanupOptions::HumMode::hz50: plan.humHz = 50.0; break;
        case CleanupOptions::HumMode::hz60: plan.humHz = 60.0; break;
    }
    if (plan.humHz) {
        auto notches = humNotchSections(*plan.humHz, a.sampleRate);
        plan.filters.insert(plan.filters.end(), notches.begin(), notches.end());
    }

    const SpeechActivity activity = SpeechActivity::classify(a.blockLevelsDB);
    if (options.leveler) {
        LevelerCurve curve = LevelerCurve::plan(a.blockLevelsDB, activity, BlockLevelMeter::blockSeconds);
        // Shift the curve so that levelling alone leaves the integrated loudness where it was;
        // the static gain then lands the first render close to the target.
        const auto before = gatedLoudness(a, {}), after = gatedLoudness(a, curve.gainDB);
        if (before && after) {
            const double offset = *before - *after;
            for (float& g : curve.gainDB)
                g = static_cast<float>(std::clamp(g + offset, -LevelerCurve::rangeDB, LevelerCurve::rangeDB));
            curve.lowDB = *std::min_element(curve.gainDB.begin(), curve.gainDB.end());
            curve.highDB = *std::max_element(curve.gainDB.begin(), curve.gainDB.end());
        }
        plan.levelerRange = LoudnessNormalizer::Result::Range{curve.lowDB, curve.highDB};
        plan.levelerDB = std::move(curve.gainDB);
    }
    if (options.noiseGate && activity.any()) {
        // Just above the room tone, and well below speech.
        plan.gateThresholdDB =
            std::min(activity.noiseFloorDB + kGateAboveFloorDB, activity.speechDB - kGateBelowSpeechDB);
    }
    plan.crossfadeFrames = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(kCrossfadeSeconds * a.sampleRate)));
    if (options.trimSilence || options.maxPauseSeconds > 0) {
        const CutPlanSettings settings{options.trimSilence, std::max(0.0, options.maxPauseSeconds),
                                       options.roomToneSeconds};
        plan.cuts = planCuts(activity, a.blockFrames, a.frames, a.sampleRate, settings, plan.crossfadeFrames);
    }
    return plan;
}

// A short queue between a producer and a consumer thread, either of which may give up.
template <class T>
class BoundedQueue {
public:
    struct Aborted {};
    explicit BoundedQueue(std::size_t capacity) : capacity_(capacity) {}
    // False when the consumer gave up.
    bool push(T&& item) {
        std::unique_lock lock(mutex_);
        space_.wait(lock, [&] { return aborted_ || items_.size() < capacity_; });
        if (aborted_) return false;
        items_.push_back(std::move(item));
        ready_.notify_one();
        return true;
    }
    // False once closed and drained, or aborted.
    bool pop(T& item) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return aborted_ || closed_ || !items_.empty(); });
        if (aborted_ || items_.empty()) return false;
        item = std::move(items_.front());
        items_.pop_front();
        space_.notify_one();
        return true;
    }
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        ready_.notify_all();
    }
    void abort() {
        std::lock_guard lock(mutex_);
        aborted_ = true;
        space_.notify_all();
        ready_.notify_all();
    }

private:
    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable ready_, space_;
    std::deque<T> items_;
    bool closed_ = false;
    bool aborted_ = false;
};

// Chunks between the two render stages.
using ChunkQueue = BoundedQueue<std::vector<float>>;

// Everything before the limiter: DC blocker, filters, leveller, gate and static gain. The
// state is the filters' and the gate's; the gains are a function of the frame position.
class ChainFront {
public:
    ChainFront(const Analysis& a, const Plan& plan, const BlockGain& leveler, double gainDB)
        : channels_(static_cast<std::size_t>(a.channels)),
          dcBlocker_(a.sampleRate, a.dcOffset),
          filters_(plan.filters, a.channels),
          leveler_(leveler),
          staticGain_(static_cast<float>(std::pow(10.0, gainDB / 20.0))) {
        if (plan.gateThresholdDB) {
            gate_.emplace(a.sampleRate, a.channels, *plan.gateThresholdDB);
            // The gate listens above 80 Hz like the analysis that set its threshold, so rumble
            // that is left in does not hold it open.
            if (!plan.rumbleFilter) keyFilter_.emplace(rumbleFilterSections(a.sampleRate), a.channels);
        }
    }

    // Frames [position, position + frames) of the source, in place.
    void process(float* buffer, std::size_t frames, std::size_t position) {
        const std::size_t ch = channels_;
        dcBlocker_.process(buffer, frames);
        filters_.process(buffer, frames);
        gains_.resize(frames);
        leveler_.fill(position, frames, gains_.data());
        if (gate_) {
            gateGains_.resize(frames);
            const float* k = buffer;
            if (keyFilter_) {
                key_.assign(buffer, buffer + frames * ch);
                keyFilter_->process(key_.data(), frames);
                k = key_.data();
            }
            gate_->gains(k, frames, gateGains_.data());
            for (std::size_t i = 0; i < frames; ++i) gains_[i] *= gateGains_[i];
        }
        for (std::size_t i = 0; i < frames; ++i) {
            const float g = gains_[i] * staticGain_;
            for (std::size_t c = 0; c < ch; ++c) buffer[i * ch + c] *= g;
        }
    }

private:
    std::size_t channels_;
    DCBlocker dcBlocker_;
    BiquadCascade filters_;
    std::optional<NoiseGate> gate_;
    std::optional<BiquadCascade> keyFilter_;
    const BlockGain& leveler_;
    float staticGain_;
    std::vector<float> key_, gains_, gateGains_;
};

struct Render {
    std::unique_ptr<WAVWriter> writer;  // open: closing it puts the file in place
    LoudnessNormalizer::Measurement measurement;
    double limiterReductionDB = 0;
    std::size_t framesRemoved = 0;
};

Render render(const fs::path& source, const fs::path& destination, const Analysis& a, const Plan& plan,
              double gainDB, double ceilingDBTP) {
    const int channels = a.channels;
    const std::size_t ch = static_cast<std::size_t>(channels);
    Render out;
    out.writer = std::make_unique<WAVWriter>(destination, a.sampleRate, channels, 24);
    LoudnessMeter meter(a.sampleRate, channels);

    const BlockGain leveler(plan.levelerDB, a.blockFrames);
    ChainFront front(a, plan, leveler, gainDB);
    TruePeakLimiter limiter(a.sampleRate, channels, ceilingDBTP);
    CutJoiner joiner(channels, plan.cuts, a.frames, plan.crossfadeFrames);

    // Two stages on two threads: this one decodes, filters and applies the gains; the other
    // limits, cuts, writes and measures. Chunks pass through a short queue.
    ChunkQueue queue(8);
    std::exception_ptr failure;
    std::thread back([&] {
        try {
            std::vector<float> limited, joined;
            auto emit = [&](const std::vector<float>& frames) {
                joined.clear();
                joiner.push(frames.data(), frames.size() / ch, joined);
                const std::size_t n = joined.size() / ch;
                if (n == 0) return;
                out.writer->write(joined.data(), n);
                meter.addFrames(joined.data(), n);
            };
            std::vector<float> chunk;
            while (queue.pop(chunk)) {
                limited.clear();
                limiter.process(chunk.data(), chunk.size() / ch, limited);
                emit(limited);
            }
            limited.clear();
            limiter.flush(limited);
            emit(limited);
        } catch (...) {
            failure = std::current_exception();
            queue.abort();
        }
    });
    struct Joiner {
        ChunkQueue& queue;
        std::thread& thread;
        ~Joiner() {
            queue.close();
            if (thread.joinable()) thread.join();
        }
    };
    {
        Joiner joinBack{queue, back};
        std::size_t position = 0;
        try {
            PCMStream::read(source, a.sampleRate, channels, std::nullopt,
                            [&](std::span<const float> samples, std::size_t frames) {
                                std::vector<float> buffer(samples.begin(),
                                                          samples.begin() + static_cast<std::ptrdiff_t>(frames * ch));
                                front.process(buffer.data(), frames, position);
                                position += frames;
                                if (!queue.push(std::move(buffer))) throw ChunkQueue::Aborted{};
                            });
        } catch (const ChunkQueue::Aborted&) {
            // The back stage failed; its error is rethrown below.
        }
    }
    if (failure) std::rethrow_exception(failure);
    out.measurement = measurementOf(meter);
    out.limiterReductionDB = limiter.deepestReductionDB();
    out.framesRemoved = joiner.removedFrames();
    return out;
}

// ---- The passes in stretches -----------------------------------------------------------------
//
// The source is cut into stretches processed side by side. A stretch carries the frames before
// it (the warm-up) so that filters, gate and limiter reach the state a single stream would have
// left, and the frames after it that the limiter's look-ahead reads. Every recursive part forgets
// its start within the warm-up: over 2 s the gate's release (150 ms) decays by e^-13, a 50 Hz
// hum notch (2 Hz wide) by e^-12.6, the limiter's release (50 ms) by e^-40, the DC blocker
// (5 Hz) by e^-63 and the loudness meter's K-weighting filter far more. The limiter's held gain
// is a minimum over the look-ahead window and its output lags by the same window, both inside
// the warm-up. What differs at a join is below the 24-bit step; cuts are planned from the
// analysis, so they fall on the same frames.

// One stretch of the source: frames [first, first + data frames), delivering [begin, end).
struct StretchInput {
    std::size_t first = 0;
    std::size_t begin = 0, end = 0;
    bool reachesEnd = false;  // the data runs to the end of the source
    std::vector<float> data;
};

struct StretchSizes {
    std::size_t stretch = 1;  // frames a stretch delivers
    std::size_t warm = 0;     // frames before it
    std::size_t ahead = 0;    // frames after it
};

StretchSizes stretchSizes(const StretchLayout& layout, double rate, std::size_t ahead) {
    // Stretches start on whole 100 ms blocks (of the meter and the block levels) and on the
    // gate's 32-frame steps.
    const std::size_t block = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(rate * BlockLevelMeter::blockSeconds)));
    const std::size_t per100 = std::max<std::size_t>(1, (static_cast<std::size_t>(std::llround(rate)) + 5) / 10);
    const std::size_t unit = std::lcm(std::lcm(block, per100), std::size_t{32});
    auto units = [&](double seconds, std::size_t of) {
        const double n = std::ceil(std::max(0.0, seconds) * rate / static_cast<double>(of));
        return std::max<std::size_t>(1, static_cast<std::size_t>(n)) * of;
    };
    // A warm-up only has to keep the gate's steps where they fall in the whole stream.
    return {units(layout.stretchSeconds, unit), units(layout.warmUpSeconds, 32), ahead};
}

// Stretches between the reader and the workers.
using StretchQueue = BoundedQueue<std::unique_ptr<StretchInput>>;

// Decodes the source on a thread of its own into stretches, a few ahead of the pipeline.
class StretchReader {
public:
    StretchReader(const fs::path& source, double rate, int channels, const StretchSizes& sizes)
        : thread_([this, source, rate, channels, sizes, log = av::ScopedLogSink::current()] {
            const av::ScopedLogSink routed(log);  // the decoder's messages go where the caller's do
            run(source, rate, channels, sizes);
        }) {}
    ~StretchReader() {
        queue_.abort();
        thread_.join();
    }
    StretchReader(const StretchReader&) = delete;
    StretchReader& operator=(const StretchReader&) = delete;

    // The next stretch in file order, or null after the last; rethrows the reader's failure.
    std::unique_ptr<StretchInput> next() {
        std::unique_ptr<StretchInput> s;
        if (!queue_.pop(s) && failure_) std::rethrow_exception(failure_);
        return s;
    }

private:
    void run(const fs::path& source, double rate, int channels, const StretchSizes& sizes) {
        const std::size_t ch = static_cast<std::size_t>(channels);
        try {
            // Stretches whose data is being filled, in file order: each decoded chunk is copied
            // straight into every stretch it belongs to (the warm-ups overlap).
            std::deque<std::unique_ptr<StretchInput>> open;
            std::size_t nextBegin = 0, position = 0;
            auto filledTo = [&](const StretchInput& s) { return s.first + s.data.size() / ch; };
            PCMStream::read(source, rate, channels, std::nullopt, [&](std::span<const float> samples, std::size_t frames) {
                const std::size_t chunkEnd = position + frames;
                for (;;) {
                    const std::size_t first = nextBegin > sizes.warm ? nextBegin - sizes.warm : 0;
                    if (first >= chunkEnd) break;
                    auto s = std::make_unique<StretchInput>();
                    s->first = first;
                    s->begin = nextBegin;
                    s->end = nextBegin + sizes.stretch;
                    s->data.reserve((s->end + sizes.ahead - first) * ch);
                    open.push_back(std::move(s));
                    nextBegin += sizes.stretch;
                }
                for (auto& s : open) {
                    const std::size_t from = filledTo(*s), to = std::min(chunkEnd, s->end + sizes.ahead);
                    if (to > from)
                        s->data.insert(s->data.end(), samples.begin() + static_cast<std::ptrdiff_t>((from - position) * ch),
                                       samples.begin() + static_cast<std::ptrdiff_t>((to - position) * ch));
                }
                while (!open.empty() && filledTo(*open.front()) == open.front()->end + sizes.ahead) {
                    if (!queue_.push(std::move(open.front()))) throw StretchQueue::Aborted{};
                    open.pop_front();
                }
                position = chunkEnd;
            });
            // The rest runs to the end of the source.
            for (auto& s : open) {
                if (s->begin >= position) break;
                s->end = std::min(s->end, position);
                s->reachesEnd = true;
                if (!queue_.push(std::move(s))) throw StretchQueue::Aborted{};
            }
        } catch (const StretchQueue::Aborted&) {
        } catch (...) {
            failure_ = std::current_exception();
        }
        queue_.close();
    }

    StretchQueue queue_{3};
    std::exception_ptr failure_;
    std::thread thread_;  // last: starts once the rest is built
};

std::size_t stretchesInFlight() { return std::max(2u, std::thread::hardware_concurrency()) + 2; }

// Owns what travels between a pipeline's stages, which pass plain pointers: a pipeline cancelled
// by an exception drops the tokens it holds without destroying them, so whatever was in flight
// then is freed here instead of leaking.
template <class T>
class InFlight {
public:
    T* hold(std::unique_ptr<T> object) {
        T* raw = object.get();
        if (raw) {
            std::lock_guard lock(mutex_);
            held_.emplace(raw, std::move(object));
        }
        return raw;
    }
    void release(T* raw) {
        std::unique_ptr<T> object;  // freed outside the lock
        std::lock_guard lock(mutex_);
        if (const auto it = held_.find(raw); it != held_.end()) {
            object = std::move(it->second);
            held_.erase(it);
        }
    }

private:
    std::mutex mutex_;
    std::unordered_map<T*, std::unique_ptr<T>> held_;
};

// A pipeline's first stage: the reader's stretches in file order.
auto readStretches(StretchReader& reader, InFlight<StretchInput>& inputs) {
    return tbb::make_filter<void, StretchInput*>(tbb::filter_mode::serial_in_order,
                                                 [&reader, &inputs](tbb::flow_control& control) {
                                                     auto s = reader.next();
                                                     if (!s) control.stop();
                                                     return inputs.hold(std::move(s));
                                                 });
}

// Runs work() on the stretches of the source in parallel and consume() on the results in file
// order, with a bounded number of stretches in flight.
template <class Work, class Consume>
void forEachStretch(const fs::path& source, double rate, int channels, const StretchSizes& sizes, Work&& work,
                    Consume&& consume) {
    using Out = std::invoke_result_t<Work&, StretchInput&>;
    InFlight<StretchInput> inputs;
    InFlight<Out> outputs;
    StretchReader reader(source, rate, channels, sizes);
    tbb::parallel_pipeline(
        stretchesInFlight(),
        readStretches(reader, inputs) &
            tbb::make_filter<StretchInput*, Out*>(tbb::filter_mode::parallel,
                                                  [&](StretchInput* s) {
                                                      Out* r = outputs.hold(std::make_unique<Out>(work(*s)));
                                                      inputs.release(s);
                                                      return r;
                                                  }) &
            tbb::make_filter<Out*, void>(tbb::filter_mode::serial_in_order, [&](Out* r) {
                consume(*r);
                outputs.release(r);
            }));
}

constexpr double kMeterWarmUpSeconds = 0.25;
constexpr double kAnalysisWarmUpSeconds = 0.5;

struct AnalysedStretch {
    std::size_t frames = 0;
    std::vector<double> sums;
    std::unique_ptr<LoudnessMeter> meter;
    std::vector<float> levels;
    std::optional<HumDetector> hum;
};

Analysis analyseInStretches(const fs::path& source, bool detectHum, const StretchLayout& layout) {
    const PCMStream::Format format = PCMStream::format(source);
    Analysis a;
    a.sampleRate = format.sampleRate;
    a.channels = format.channels;
    const std::size_t ch = static_cast<std::size_t>(a.channels);
    // The analysis hears nothing slower than the DC blocker (5 Hz: e^-15 over half a second).
    StretchLayout analysisLayout = layout;
    analysisLayout.warmUpSeconds = std::min(layout.warmUpSeconds, kAnalysisWarmUpSeconds);
    const StretchSizes sizes = stretchSizes(analysisLayout, a.sampleRate, 0);
    const std::size_t meterWarm = static_cast<std::size_t>(std::lround(kMeterWarmUpSeconds * a.sampleRate));

    std::unique_ptr<LoudnessMeter> meter;
    std::optional<HumDetector> hum;
    std::vector<double> sums(ch, 0.0);
    std::size_t blockFrames = 1;

    forEachStretch(
        source, a.sampleRate, a.channels, sizes,
        [&](StretchInput& s) {
            AnalysedStretch r;
            const std::size_t lead = s.begin - s.first;
            r.frames = s.end - s.begin;
            const float* own = s.data.data() + lead * ch;
            bool finite = true;
            for (std::size_t i = 0; i < r.frames * ch; ++i) finite &= std::isfinite(own[i]);
            if (!finite) throw LoudnessNormalizer::NormalizerError::notANumber(source);
            r.sums.assign(ch, 0.0);
            for (std::size_t i = 0; i < r.frames; ++i)
                for (std::size_t c = 0; c < ch; ++c) r.sums[c] += own[i * ch + c];
            r.meter = std::make_unique<LoudnessMeter>(a.sampleRate, a.channels);
            const std::size_t warm = std::min(lead, meterWarm);
            r.meter->warmUp(own - warm * ch, warm);
            r.meter->addFrames(own, r.frames);
            r.meter->subBlocks();  // the work is done here, not in file order
            // Speech detection and the hum detector hear the signal without its offset, as the
            // render will; the blocker starts from the first sample it sees.
            DCBlocker dcBlocker(a.sampleRate, std::vector<double>(s.data.begin(), s.data.begin() + static_cast<std::ptrdiff_t>(ch)));
            dcBlocker.process(s.data.data(), lead + r.frames);
            BlockLevelMeter blocks(a.sampleRate, a.channels);
            blocks.warmUp(s.data.data(), lead);
            blocks.add(own, r.frames);
            r.levels = blocks.finish();
            if (detectHum) {
                r.hum.emplace(a.sampleRate, a.channels);
                r.hum->warmUp(s.data.data(), lead, s.begin);
                r.hum->add(own, r.frames);
            }
            return r;
        },
        [&](AnalysedStretch& r) {
            for (std::size_t c = 0; c < ch; ++c) sums[c] += r.sums[c];
            if (!meter) meter = std::move(r.meter);
            else meter->append(*r.meter);
            a.blockLevelsDB.insert(a.blockLevelsDB.end(), r.levels.begin(), r.levels.end());
            if (r.hum) {
                if (!hum) hum = std::move(r.hum);
                else hum->append(*r.hum);
            }
            a.frames += r.frames;
        });
    if (!meter) meter = std::make_unique<LoudnessMeter>(a.sampleRate, a.channels);
    blockFrames = BlockLevelMeter(a.sampleRate, a.channels).blockFrames();
    a.measurement = measurementOf(*meter);
    for (double sum : sums) a.dcOffset.push_back(a.frames > 0 ? sum / static_cast<double>(a.frames) : 0.0);
    for (const auto& sub : meter->subBlocks()) a.weightedPower.push_back(sub.weightedPower);
    a.weightedFrames = std::max<std::size_t>(1, meter->framesPerSubBlock());
    a.blockFrames = blockFrames;
    if (detectHum) a.humHz = hum ? hum->finish().frequency : HumDetector(a.sampleRate, a.channels).finish().frequency;
    return a;
}

struct RenderedStretch {
    std::vector<float> frames;
    double limiterReductionDB = 0;
    std::vector<unsigned char> encoded;
    std::size_t joinedFrames = 0;
};

Render renderInStretches(const fs::path& source, const fs::path& destination, const Analysis& a, const Plan& plan,
                         double gainDB, double ceilingDBTP, const StretchLayout& layout) {
    const int channels = a.channels;
    const std::size_t ch = static_cast<std::size_t>(channels);
    Render out;
    out.writer = std::make_unique<WAVWriter>(destination, a.sampleRate, channels, 24);
    LoudnessMeter meter(a.sampleRate, channels);
    const BlockGain leveler(plan.levelerDB, a.blockFrames);
    CutJoiner joiner(channels, plan.cuts, a.frames, plan.crossfadeFrames);
    const std::size_t latency = TruePeakLimiter(a.sampleRate, channels, ceilingDBTP).latency();
    const StretchSizes sizes = stretchSizes(layout, a.sampleRate, latency);
    InFlight<StretchInput> inputs;
    InFlight<RenderedStretch> rendered;
    StretchReader reader(source, a.sampleRate, channels, sizes);
    using Item = RenderedStretch*;

    // Read, render stretches side by side, join the cuts and measure in order, encode side by
    // side, write in order.
    tbb::parallel_pipeline(
        stretchesInFlight(),
        readStretches(reader, inputs) &
            tbb::make_filter<StretchInput*, Item>(
                tbb::filter_mode::parallel,
                [&](StretchInput* s) {
                    ChainFront front(a, plan, leveler, gainDB);
                    TruePeakLimiter limiter(a.sampleRate, channels, ceilingDBTP);
                    Item r = rendered.hold(std::make_unique<RenderedStretch>());
                    r->frames.reserve((s->end - s->begin) * ch);
                    // The limiter's output starts at s->first; the stretch keeps [begin, end).
                    std::size_t emitted = s->first;
                    std::vector<float> limited;
                    auto keep = [&] {
                        const std::size_t n = limited.size() / ch;
                        const std::size_t from = std::clamp(s->begin, emitted, emitted + n);
                        const std::size_t to = std::clamp(s->end, emitted, emitted + n);
                        r->frames.insert(r->frames.end(), limited.begin() + static_cast<std::ptrdiff_t>((from - emitted) * ch),
                                         limited.begin() + static_cast<std::ptrdiff_t>((to - emitted) * ch));
                        emitted += n;
                        limited.clear();
                    };
                    constexpr std::size_t kChunk = 8192;  // a multiple of the gate's step
                    const std::size_t frames = s->data.size() / ch;
                    // The warm-up's gain reductions are the stretch before's to report: the
                    // deepest one is counted from the limiter's first frame of this stretch.
                    const std::size_t counted = s->begin - s->first + latency;
                    if (counted == latency) limiter.forgetDeepestReduction();
                    for (std::size_t at = 0; at < frames; at += kChunk) {
                        const std::size_t n = std::min(kChunk, frames - at);
                        float* chunk = s->data.data() + at * ch;
                        front.process(chunk, n, s->first + at);
                        if (counted > at && counted < at + n) {
                            limiter.process(chunk, counted - at, limited);
                            limiter.forgetDeepestReduction();
                            limiter.process(chunk + (counted - at) * ch, at + n - counted, limited);
                        } else {
                            limiter.process(chunk, n, limited);
                            if (counted == at + n) limiter.forgetDeepestReduction();
                        }
                        keep();
                    }
                    if (s->reachesEnd) {
                        if (counted > frames) limiter.forgetDeepestReduction();  // a stretch shorter than the look-ahead
                        limiter.flush(limited);
                        keep();
                    }
                    if (r->frames.size() != (s->end - s->begin) * ch)
                        throw std::logic_error("renderInStretches: the limiter fell short of a stretch");
                    r->limiterReductionDB = limiter.deepestReductionDB();
                    inputs.release(s);
                    return r;
                }) &
            tbb::make_filter<Item, Item>(tbb::filter_mode::serial_in_order,
                                         [&](const Item& r) {
                                             std::vector<float> joined;
                                             joiner.push(r->frames.data(), r->frames.size() / ch, joined);
                                             r->frames = std::move(joined);
                                             r->joinedFrames = r->frames.size() / ch;
                                             out.limiterReductionDB = std::min(out.limiterReductionDB, r->limiterReductionDB);
                                             meter.addFrames(r->frames.data(), r->joinedFrames);
                                             return r;
                                         }) &
            tbb::make_filter<Item, Item>(tbb::filter_mode::parallel,
                                         [&](const Item& r) {
                                             r->encoded.resize(r->frames.size() * 3);
                                             WAVWriter::encode24(r->frames.data(), r->frames.size(), r->encoded.data());
                                             r->frames = {};
                                             return r;
                                         }) &
            tbb::make_filter<Item, void>(tbb::filter_mode::serial_in_order, [&](const Item& r) {
                out.writer->writeEncoded(r->encoded.data(), r->joinedFrames);
                rendered.release(r);
            }));
    out.measurement = measurementOf(meter);
    out.framesRemoved = joiner.removedFrames();
    return out;
}

// The first reading of a measurement that is not a finite number, as "the NAME (VALUE UNIT)".
std::optional<std::string> nonFiniteReading(const LoudnessNormalizer::Measurement& m) {
    const struct {
        const char* name;
        std::optional<double> value;
        const char* unit;
    } readings[] = {{"loudness", m.integratedLUFS, "LUFS"}, {"true peak", m.truePeakDBTP, "dBTP"},
                    {"RMS level", m.rmsDB, "dB"},           {"sample peak", m.samplePeakDB, "dB"},
                    {"noise floor", m.noiseFloorDB, "dB"}};
    for (const auto& r : readings) {
        if (r.value && !std::isfinite(*r.value)) {
            char text[96];
            std::snprintf(text, sizeof text, "%s (%g %s)", r.name, *r.value, r.unit);
            return text;
        }
    }
    return std::nullopt;
}

std::optional<double> matchedLevel(const LoudnessNormalizer::Measurement& m, bool acx) {
    if (acx) return m.rmsDB;
    return m.integratedLUFS;
}

}  // namespace

// ---- process / normalize --------------------------------------------------------------------

LoudnessNormalizer::Result LoudnessNormalizer::process(const fs::path& sourceURL, const fs::path& destinationURL,
                                                       const LoudnessTarget& target, const CleanupOptions& cleanup) {
    return processLoudness(sourceURL, destinationURL, target, cleanup, StretchLayout{});
}

LoudnessNormalizer::Result processLoudness(const fs::path& sourceURL, const fs::path& destinationURL,
                                           const LoudnessNormalizer::LoudnessTarget& target,
                                           const CleanupOptions& cleanup, const StretchLayout& layout) try {
    using NormalizerError = LoudnessNormalizer::NormalizerError;
    using Result = LoudnessNormalizer::Result;
    using ACXReport = LoudnessNormalizer::ACXReport;
    const bool inStretches = layout.stretchSeconds > 0;
    auto renderOnce = [&](const Analysis& analysis, const Plan& plan, double gain) {
        return inStretches ? renderInStretches(sourceURL, destinationURL, analysis, plan, gain, target.truePeakDB, layout)
                           : render(sourceURL, destinationURL, analysis, plan, gain, target.truePeakDB);
    };
    if (!std::isfinite(target.integratedLUFS) || !std::isfinite(target.truePeakDB))
        throw NormalizerError::invalidTarget(sourceURL, target);
    checkNotInput(destinationURL, {sourceURL});
    checkDestination(destinationURL);
    const bool detectHum = cleanup.humRemoval == CleanupOptions::HumMode::autoDetect;
    const Analysis analysis =
        inStretches ? analyseInStretches(sourceURL, detectHum, layout) : analyse(sourceURL, detectHum);
    if (!analysis.measurement.integratedLUFS || analysis.frames == 0) throw NormalizerError::silentOrTooShort(sourceURL);
    // A reading or a gain that is not a finite number would deliver silence or noise as a success.
    if (const auto bad = nonFiniteReading(analysis.measurement))
        throw NormalizerError::failed(sourceURL, "its measured " + *bad + " is not a finite number");
    const Plan plan = makePlan(analysis, cleanup);

    double gainDB = target.integratedLUFS - *matchedLevel(analysis.measurement, target.acx);
    if (!std::isfinite(gainDB))
        throw NormalizerError::failed(sourceURL, "the gain to the target (" + std::to_string(gainDB) + " dB) is not a finite number");
    Render last = renderOnce(analysis, plan, gainDB);
    if (const auto bad = nonFiniteReading(last.measurement))
        throw NormalizerError::failed(sourceURL, "the rendered audio's " + *bad + " is not a finite number");
    for (int renders = 1; renders < kMaxRenders; ++renders) {
        const std::optional<double> level = matchedLevel(last.measurement, target.acx);
        if (!level) break;  // nothing left above the gates: no level to correct toward
        const double error = target.integratedLUFS - *level;
        if (std::abs(error) <= kCorrectionToleranceDB) break;
        const double corrected = gainDB + error;
        if (corrected >= kMaxGainDB) break;
        // The missed render stays complete, under its temporary name, until the next one is:
        // a correction that fails (disk full, source gone) leaves the missed render to deliver.
        std::optional<Render> next;
        try {
            next.emplace(renderOnce(analysis, plan, corrected));
        } catch (const std::exception&) {
            break;
        }
        if (nonFiniteReading(next->measurement)) break;  // as a failed correction
        last = std::move(*next);
        gainDB = corrected;
    }
    last.writer->close();

    Result result;
    result.input = analysis.measurement;
    result.output = last.measurement;
    result.gainDB = gainDB;
    result.limiterReductionDB = last.limiterReductionDB;
    result.humRemovedHz = plan.humHz;
    result.secondsRemoved = static_cast<double>(last.framesRemoved) / analysis.sampleRate;
    result.levelerRangeDB = plan.levelerRange;
    if (target.acx) {
        result.acxReport = ACXReport{result.output.rmsDB, result.output.truePeakDBTP, result.output.noiseFloorDB,
                                     static_cast<int>(std::lround(result.output.sampleRate))};
        result.acxReport->noiseGate = cleanup.noiseGate;
    }
    return result;
} catch (...) {
    rethrowLibraryErrorsAs([&](const std::string& reason) { return LoudnessNormalizer::NormalizerError::failed(sourceURL, reason); });
}

std::optional<std::string> missedTargetNote(const LoudnessNormalizer::Result& result,
                                            const LoudnessNormalizer::LoudnessTarget& target) {
    const std::optional<double> level = matchedLevel(result.output, target.acx);
    if (!level) return std::nullopt;
    const double miss = target.integratedLUFS - *level;
    if (!(std::abs(miss) > kMissedTargetDB)) return std::nullopt;
    const char* unit = target.acx ? "dB" : "LUFS";
    char text[256];
    std::snprintf(text, sizeof text, "Loudness target not reached: %s%.1f %s delivered, target %.1f %s",
                  target.acx ? "RMS " : "", *level, unit, target.integratedLUFS, unit);
    std::string line = text;
    std::vector<std::string> causes;
    if (miss > 0 && result.limiterReductionDB < -kLimitingShownDB) {
        std::snprintf(text, sizeof text, "the %.1f dBTP true-peak ceiling (limiter %.1f dB)", target.truePeakDB,
                      result.limiterReductionDB);
        causes.push_back(text);
    }
    if (result.gainDB + miss >= kMaxGainDB) {
        std::snprintf(text, sizeof text, "the %.0f dB gain limit (%+.1f dB would be needed)", kMaxGainDB,
                      result.gainDB + miss);
        causes.push_back(text);
    }
    if (causes.empty()) return line + "; the correction renders did not reach it";
    line += ", held back by " + causes.front();
    if (causes.size() > 1) line += " and " + causes.back();
    return line;
}

LoudnessNormalizer::Result LoudnessNormalizer::normalize(const fs::path& sourceURL, const fs::path& destinationURL,
                                                         const LoudnessTarget& target) {
    return process(sourceURL, destinationURL, target, CleanupOptions::none());
}

}  // namespace lw
