#pragma once
// Splits a stream of 16 kHz mono samples into utterances of bounded length for the recogniser,
// cutting in the middle of the longest pause after a minimum length. Memory stays bounded by the
// longest utterance whatever the stream's length.
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace lw {

class UtteranceSplitter {
public:
    struct Utterance {
        std::size_t index = 0;  // 0, 1, 2, ... in stream order, silent stretches included
        double offset = 0;      // seconds from the stream's start
        std::vector<float> samples;
        bool endsAtPause = false;  // cut at a pause or at the stream's end, not mid-sound
    };
    using Emit = std::function<void(Utterance&&)>;

    explicit UtteranceSplitter(double sampleRate = 16000, double minSeconds = 4, double maxSeconds = 20);

    // Feeds samples; calls `emit` for every utterance that is complete. Stretches that are
    // silent throughout (every 10 ms frame under -60 dBFS) are not emitted.
    void push(std::span<const float> samples, const Emit& emit);
    // Emits what is left.
    void finish(const Emit& emit);

    static constexpr double pauseSeconds = 0.25;  // shortest stretch that counts as a pause

private:
    void cut(std::size_t frame, bool atPause, const Emit& emit);
    void cutOnce(const Emit& emit);

    std::size_t frameLength_;  // samples per 10 ms frame
    std::size_t minFrames_, maxFrames_;
    std::vector<float> buffer_;          // samples from bufferStart_
    std::vector<float> frameDB_;         // level of each whole frame in buffer_
    std::int64_t bufferStart_ = 0;       // in samples
    double sampleRate_;
    std::size_t nextIndex_ = 0;
};

}  // namespace lw
