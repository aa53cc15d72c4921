#include "audio/podcast/UtteranceSplitter.h"

#include <algorithm>
#include <cmath>

namespace lw {

namespace {
constexpr float silentDB = -60.0f;

float percentile(std::vector<float> values, double p) {
    if (values.empty()) return -100.0f;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}
}  // namespace

UtteranceSplitter::UtteranceSplitter(double sampleRate, double minSeconds, double maxSeconds)
    : frameLength_(std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(sampleRate / 100.0)))),
      minFrames_(static_cast<std::size_t>(minSeconds * 100.0)),
      maxFrames_(std::max<std::size_t>(static_cast<std::size_t>(maxSeconds * 100.0), minFrames_ + 20)),
      sampleRate_(sampleRate) {}

void UtteranceSplitter::push(std::span<const float> samples, const Emit& emit) {
    std::size_t used = 0;
    while (used < samples.size()) {
        // Fill up to the next whole frame, or to the longest utterance.
        const std::size_t room = maxFrames_ * frameLength_ - buffer_.size();
        const std::size_t take = std::min(room, samples.size() - used);
        const std::size_t before = buffer_.size();
        buffer_.insert(buffer_.end(), samples.begin() + static_cast<std::ptrdiff_t>(used),
                       samples.begin() + static_cast<std::ptrdiff_t>(used + take));
        used += take;
        for (std::size_t f = before / frameLength_; (f + 1) * frameLength_ <= buffer_.size(); ++f) {
            if (f < frameDB_.size()) continue;
            double sum = 0;
            for (std::size_t k = f * frameLength_; k < (f + 1) * frameLength_; ++k) sum += double(buffer_[k]) * buffer_[k];
            frameDB_.push_back(static_cast<float>(10.0 * std::log10(sum / double(frameLength_) + 1e-10)));
        }
        if (buffer_.size() >= maxFrames_ * frameLength_) cutOnce(emit);
    }
}

void UtteranceSplitter::finish(const Emit& emit) {
    if (buffer_.empty()) return;
    cut(frameDB_.size() + 1, true, emit);  // everything
}

void UtteranceSplitter::cutOnce(const Emit& emit) {
    const std::size_t frames = frameDB_.size();
    const float loud = percentile(frameDB_, 0.9);
    const float quiet = percentile(frameDB_, 0.1);
    // A pause frame is well under the speech level of this stretch.
    const float threshold = quiet + std::max(3.0f, 0.3f * (loud - quiet));
    const auto minRun = static_cast<std::size_t>(pauseSeconds * 100.0);

    std::size_t bestMiddle = 0, bestLength = 0;
    std::size_t run = 0;
    for (std::size_t f = 0; f <= frames; ++f) {
        if (f < frames && frameDB_[f] < threshold) {
            ++run;
            continue;
        }
        if (run >= minRun) {
            const std::size_t middle = f - run / 2 - run % 2;  // middle frame of the run [f - run, f)
            // Prefer the longest pause; a later one of equal length keeps utterances long.
            if (middle >= minFrames_ && run >= bestLength) {
                bestLength = run;
                bestMiddle = middle;
            }
        }
        run = 0;
    }
    if (bestLength > 0 && loud - quiet >= 6.0f) {
        cut(bestMiddle, true, emit);
        return;
    }
    // No pause: cut at the quietest 100 ms after the minimum length.
    std::size_t best = frames - 5;
    double bestSum = INFINITY;
    for (std::size_t f = minFrames_; f + 10 <= frames; ++f) {
        double sum = 0;
        for (std::size_t k = f; k < f + 10; ++k) sum += frameDB_[k];
        if (sum < bestSum) {
            bestSum = sum;
            best = f + 5;
        }
    }
    cut(best, false, emit);
}

void UtteranceSplitter::cut(std::size_t frame, bool atPause, const Emit& emit) {
    const std::size_t end = std::min(buffer_.size(), frame * frameLength_);
    const std::size_t frames = std::min(frameDB_.size(), frame);
    const bool silent = std::all_of(frameDB_.begin(), frameDB_.begin() + static_cast<std::ptrdiff_t>(frames),
                                    [](float db) { return db < silentDB; }) &&
                        std::all_of(buffer_.begin() + static_cast<std::ptrdiff_t>(frames * frameLength_),
                                    buffer_.begin() + static_cast<std::ptrdiff_t>(end),
                                    [](float s) { return std::fabs(s) < 0.001f; });
    Utterance u;
    u.index = nextIndex_++;
    u.offset = static_cast<double>(bufferStart_) / sampleRate_;
    u.endsAtPause = atPause;
    if (!silent) u.samples.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(end));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(end));
    frameDB_.erase(frameDB_.begin(), frameDB_.begin() + static_cast<std::ptrdiff_t>(frames));
    bufferStart_ += static_cast<std::int64_t>(end);
    if (!silent) emit(std::move(u));
}

}  // namespace lw
