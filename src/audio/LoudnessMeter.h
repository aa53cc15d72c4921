#pragma once
// Streaming loudness meter (ITU-R BS.1770-4, EBU Tech 3341/3342): integrated loudness with
// absolute and relative gating, loudness range, true peak (4x oversampling below 96 kHz, 2x
// below 192 kHz), sample peak, RMS level and noise floor, all from one pass over the samples.
//
//   LoudnessMeter meter(rate, channels);
//   meter.addFrames(samples, frames);   // any number of times, any chunk size
//   auto r = meter.result();            // may be called at any time; feeding may go on after
//
// Channels are filtered in parallel; full internal blocks are processed on a worker while the
// caller decodes the next one. Not safe for concurrent calls on one meter.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace lw {

class LoudnessMeter {
public:
    // Levels of one 100 ms stretch (the last one of a stream may be incomplete and is left out).
    struct SubBlock {
        double weightedPower = 0;  // channel-weighted mean square of the K-weighted signal
        double meanSquare = 0;     // mean square of the plain samples over all channels
    };

    struct Result {
        std::optional<double> integratedLUFS;  // absent when no 400 ms block passes the gates
        double loudnessRangeLU = 0;
        double truePeakDBTP = kFloorDB;
        double samplePeakDB = kFloorDB;
        double rmsDB = kFloorDB;         // RMS of every sample, dBFS
        double noiseFloorDB = kFloorDB;  // RMS of the quietest 500 ms, digital-silence gaps skipped
        double truePeak = 0;             // linear
        double samplePeak = 0;           // linear
        std::uint64_t frames = 0;
    };

    // Levels of exact digital silence are reported as this many dB instead of -infinity.
    static constexpr double kFloorDB = -120.0;

    // The lowest sample rate the meter measures at (the K-weighting's shelf sits at 1.7 kHz);
    // the constructor refuses lower ones.
    static constexpr double kMinSampleRate = 8000.0;

    LoudnessMeter(double sampleRate, int channels);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    void addFrames(const float* interleaved, std::size_t frames);
    Result result();

    // Measuring a long stream in stretches on several meters: warmUp() runs the filters over
    // the frames just before a stretch without counting them (call it before any addFrames),
    // so the stretch is measured as if the whole stream had been fed; append() then takes in
    // the meter of the stretch that follows this one. This meter must hold whole 100 ms
    // sub-blocks; the result is that of one meter fed both stretches, up to the settling of
    // the K-weighting filter over the warm-up (a quarter of a second is far more than enough).
    void warmUp(const float* interleaved, std::size_t frames);
    void append(LoudnessMeter& next);

    // Every complete 100 ms stretch so far (flushes pending samples first).
    const std::vector<SubBlock>& subBlocks();
    std::size_t framesPerSubBlock() const;
    double sampleRate() const;
    int channels() const;

    // Loudness in LUFS of a channel-weighted K-weighted mean square (-0.691 + 10 log10 p).
    static double loudnessOfPower(double power);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lw
