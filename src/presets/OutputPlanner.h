#pragma once
// Dry run of a batch: per item, the file names a preset would write, the folder they land in,
// and the warnings a user should see before running it (skipped inputs, missing maps, names
// that collide, files that would be replaced). Reads file names, image headers and the
// existence of files; writes nothing. Stateless; runs on the caller's thread.
#include <filesystem>
#include <optional>
#include <vector>

#include "core/JobModel.h"
#include "image/TextureImage.h"

namespace lw::OutputPlanner {

// One report per item, in item order. Never fails. Names are relative to the configuration's
// output folder (possibly with one sub-folder); the pattern is the configuration's namingPattern.
std::vector<SimulatedItemReport> plan(const BatchPreset& preset, const std::vector<BatchItem>& items,
                                      const BatchConfiguration& configuration, bool checkExistingFiles);

// What a podcast plan depends on besides its files: whether the RSS file will be an MP3 (an
// `ffmpeg` program can be found) and whether on-device speech (recogniser and model) is installed.
struct Environment {
    bool producesMP3 = false;
    bool speechAvailable = false;
    static Environment current();
};

// The same, with the machine's programs as given rather than as found.
std::vector<SimulatedItemReport> plan(const BatchPreset& preset, const std::vector<BatchItem>& items,
                                      const BatchConfiguration& configuration, bool checkExistingFiles,
                                      const Environment& environment);

// True when some report warns that one of its names "is also written by" another item.
bool hasCollisions(const std::vector<SimulatedItemReport>& reports);

// Width and height from the file's header; nothing when unreadable. No pixels are decoded.
std::optional<TextureSize> pixelSize(const std::filesystem::path& file);

}  // namespace lw::OutputPlanner
