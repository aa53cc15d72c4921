#include "presets/MapforgeSpriteRoad.h"

#include "presets/MapforgePreset.h"

namespace lw {

class SpriteRoadError : public Error {
public:
    using Error::Error;
};

std::vector<std::filesystem::path> processSpriteSheet(const MapforgePreset&, const BatchItem& item,
                                                      const ProcessingContext&) {
    throw SpriteRoadError(item.sourceURL.filename().string() +
                          ": sprite sheets are not available yet in this version.");
}

}  // namespace lw
