#include "audio/LoudnessProcessing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "audio/CleanupChain.h"
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

std::string LoudnessNormalizer::ACXReport::text() const {
    auto line = [](bool ok, const char* format, double value) {
        char buffer[128];
        std::snprintf(buffer, sizeof buffer, format, value);
        return std::string(ok ? "PASS  " : "FAIL  ") + buffer;
    };
    std::string s = "Audible / ACX audio check\n==========================\n";
    s += line(rmsOK(), "RMS level      %6.1f dB   (needs -23 to -18 dB)", rmsDB) + "\n";
    s += line(peakOK(), "Peak level     %6.1f dB   (needs -3 dB or lower)", peakDB) + "\n";
    s += line(noiseOK(), "Noise floor    %6.1f dB   (needs -60 dB or lower)", noiseFloorDB);
    s += "\nSample rate    " + std::to_string(sampleRate) +
         " Hz    (ACX wants 44100 Hz; upload as 192 kbps CBR MP3)\n\nOverall: ";
    s += passes() ? "PASSES the ACX audio requirements." : "Does NOT pass yet. See the FAIL lines above.";
    s += "\n";
    if (!noiseOK()) s += "Tip: turn on the noise gate, or record with less background noise.";
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

// A short queue of chunks between the two render stages.
class ChunkQueue {
public:
    struct Aborted {};
    // False when the consumer gave up.
    bool push(std::vector<float>&& chunk) {
        std::unique_lock lock(mutex_);
        space_.wait(lock, [&] { return aborted_ || chunks_.size() < capacity; });
        if (aborted_) return false;
        chunks_.push_back(std::move(chunk));
        ready_.notify_one();
        return true;
    }
    // False once closed and drained, or aborted.
    bool pop(std::vector<float>& chunk) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return aborted_ || closed_ || !chunks_.empty(); });
        if (aborted_ || chunks_.empty()) return false;
        chunk = std::move(chunks_.front());
        chunks_.pop_front();
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
    static constexpr std::size_t capacity = 8;
    std::mutex mutex_;
    std::condition_variable ready_, space_;
    std::deque<std::vector<float>> chunks_;
    bool closed_ = false;
    bool aborted_ = false;
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

    DCBlocker dcBlocker(a.sampleRate, a.dcOffset);
    BiquadCascade filters(plan.filters, channels);
    std::optional<NoiseGate> gate;
    // The gate listens above 80 Hz like the analysis that set its threshold, so rumble that
    // is left in does not hold it open.
    std::optional<BiquadCascade> keyFilter;
    if (plan.gateThresholdDB) {
        gate.emplace(a.sampleRate, channels, *plan.gateThresholdDB);
        if (!plan.rumbleFilter) keyFilter.emplace(rumbleFilterSections(a.sampleRate), channels);
    }
    const BlockGain leveler(plan.levelerDB, a.blockFrames);
    TruePeakLimiter limiter(a.sampleRate, channels, ceilingDBTP);
    CutJoiner joiner(channels, plan.cuts, a.frames, plan.crossfadeFrames);
    const float staticGain = static_cast<float>(std::pow(10.0, gainDB / 20.0));

    // Two stages on two threads: this one decodes, filters and applies the gains; the other
    // limits, cuts, writes and measures. Chunks pass through a short queue.
    ChunkQueue queue;
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
        std::vector<float> key, gains, gateGains;
        std::size_t position = 0;
        try {
            PCMStream::read(source, a.sampleRate, channels, std::nullopt,
                            [&](std::span<const float> samples, std::size_t frames) {
                                std::vector<float> buffer(samples.begin(),
                                                          samples.begin() + static_cast<std::ptrdiff_t>(frames * ch));
                                dcBlocker.process(buffer.data(), frames);
                                filters.process(buffer.data(), frames);
                                gains.resize(frames);
                                leveler.fill(position, frames, gains.data());
                                if (gate) {
                                    gateGains.resize(frames);
                                    const float* k = buffer.data();
                                    if (keyFilter) {
                                        key.assign(buffer.begin(), buffer.end());
                                        keyFilter->process(key.data(), frames);
                                        k = key.data();
                                    }
                                    gate->gains(k, frames, gateGains.data());
                                    for (std::size_t i = 0; i < frames; ++i) gains[i] *= gateGains[i];
                                }
                                for (std::size_t i = 0; i < frames; ++i) {
                                    const float g = gains[i] * staticGain;
                                    for (std::size_t c = 0; c < ch; ++c) buffer[i * ch + c] *= g;
                                }
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

std::optional<double> matchedLevel(const LoudnessNormalizer::Measurement& m, bool acx) {
    if (acx) return m.rmsDB;
    return m.integratedLUFS;
}

}  // namespace

// ---- process / normalize --------------------------------------------------------------------

LoudnessNormalizer::Result LoudnessNormalizer::process(const fs::path& sourceURL, const fs::path& destinationURL,
                                                       const LoudnessTarget& target, const CleanupOptions& cleanup) try {
    if (!std::isfinite(target.integratedLUFS) || !std::isfinite(target.truePeakDB))
        throw NormalizerError::invalidTarget(sourceURL, target);
    checkNotInput(destinationURL, {sourceURL});
    checkDestination(destinationURL);
    const Analysis analysis = analyse(sourceURL, cleanup.humRemoval == CleanupOptions::HumMode::autoDetect);
    if (!analysis.measurement.integratedLUFS || analysis.frames == 0) throw NormalizerError::silentOrTooShort(sourceURL);
    const Plan plan = makePlan(analysis, cleanup);

    double gainDB = target.integratedLUFS - *matchedLevel(analysis.measurement, target.acx);
    Render last = render(sourceURL, destinationURL, analysis, plan, gainDB, target.truePeakDB);
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
            next.emplace(render(sourceURL, destinationURL, analysis, plan, corrected, target.truePeakDB));
        } catch (const std::exception&) {
            break;
        }
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
    }
    return result;
} catch (...) {
    rethrowLibraryErrorsAs([&](const std::string& reason) { return NormalizerError::failed(sourceURL, reason); });
}

LoudnessNormalizer::Result LoudnessNormalizer::normalize(const fs::path& sourceURL, const fs::path& destinationURL,
                                                         const LoudnessTarget& target) {
    return process(sourceURL, destinationURL, target, CleanupOptions::none());
}

}  // namespace lw
