#include "presets/GablewisePreset.h"

namespace lw {

std::vector<std::filesystem::path> GablewisePreset::process(const BatchItem& item, const ProcessingContext&) const {
    throw Error("Photo processing is not available in this build: " + item.sourceURL.filename().string());
}

}  // namespace lw
