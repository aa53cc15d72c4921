#pragma once
// Encodes a web image under a byte cap: the highest JPEG quality in a fixed range whose
// result fits (binary search, a handful of encodes); when even the lowest quality is too
// large, the image is scaled down in steps and the search runs again.
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/Error.h"

namespace lw {

class WebEncodingError : public Error {
public:
    enum class Kind { encodingFailed, cannotMeetSizeLimit };
    WebEncodingError(Kind kind, std::size_t maxBytes);
    Kind kind;
    std::size_t maxBytes;
};

class WebEncoder {
public:
    // Encodes the image at `scale` (1 = as given, smaller = a downscaled copy) and JPEG
    // `quality` (0...1), returning the complete file as it will be written (metadata
    // included). Returns nothing when encoding fails.
    using Encode = std::function<std::optional<std::vector<std::uint8_t>>(double scale, double quality)>;

    struct Result {
        std::vector<std::uint8_t> bytes;
        double quality = 0;
        double scale = 1;
        int encodes = 0;
    };

    // Quality range, in whole percent.
    int highestQuality = 90;
    int lowestQuality = 50;
    // Scaling stops once the longest side would fall below this many pixels.
    int smallestSide = 256;

    // `longestSide` is the image's longest side at scale 1. Throws WebEncodingError.
    Result encodeUnderCap(const Encode& encode, std::size_t maxBytes, int longestSide) const;
};

}  // namespace lw
