#include "image/WebEncoder.h"

#include <algorithm>
#include <cmath>

namespace lw {

WebEncodingError::WebEncodingError(Kind kind, std::size_t maxBytes)
    : Error(kind == Kind::encodingFailed ? std::string("JPEG encoding failed")
                                         : "Could not get the web image under " + std::to_string(maxBytes / 1024) +
                                               " KB"),
      kind(kind),
      maxBytes(maxBytes) {}

WebEncoder::Result WebEncoder::encodeUnderCap(const Encode& encode, std::size_t maxBytes, int longestSide) const {
    Result result;
    const auto run = [&](double scale, int percent) {
        ++result.encodes;
        auto bytes = encode(scale, percent / 100.0);
        if (!bytes || bytes->empty()) throw WebEncodingError(WebEncodingError::Kind::encodingFailed, maxBytes);
        return std::move(*bytes);
    };
    double scale = 1;
    for (;;) {
        // Usually the best quality already fits: one encode.
        auto top = run(scale, highestQuality);
        if (top.size() <= maxBytes) {
            result.bytes = std::move(top);
            result.quality = highestQuality / 100.0;
            result.scale = scale;
            return result;
        }
        auto bottom = run(scale, lowestQuality);
        if (bottom.size() <= maxBytes) {
            // Invariant: lo fits, hi does not.
            int lo = lowestQuality, hi = highestQuality;
            std::vector<std::uint8_t> best = std::move(bottom);
            while (hi - lo > 1) {
                const int mid = (lo + hi) / 2;
                auto bytes = run(scale, mid);
                if (bytes.size() <= maxBytes) {
                    lo = mid;
                    best = std::move(bytes);
                } else {
                    hi = mid;
                }
            }
            result.bytes = std::move(best);
            result.quality = lo / 100.0;
            result.scale = scale;
            return result;
        }
        // Even the lowest quality is too large: shrink by about the square root of the excess,
        // at least 10 % and at most half a side per step.
        const double excess = static_cast<double>(maxBytes) / static_cast<double>(bottom.size());
        const double step = std::clamp(std::sqrt(excess) * 0.95, 0.5, 0.9);
        const double next = scale * step;
        if (std::lround(longestSide * next) < smallestSide) throw WebEncodingError(WebEncodingError::Kind::cannotMeetSizeLimit, maxBytes);
        scale = next;
    }
}

}  // namespace lw
