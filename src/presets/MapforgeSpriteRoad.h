#pragma once
// The sprite-sheet road of the texture preset.
#include <filesystem>
#include <vector>

#include "core/JobModel.h"

namespace lw {

class MapforgePreset;

// Compiles the sprite sheet of the numbered sequence the item starts and writes its pages and
// data files; returns the files written.
std::vector<std::filesystem::path> processSpriteSheet(const MapforgePreset& preset, const BatchItem& item,
                                                      const ProcessingContext& context);

}  // namespace lw
