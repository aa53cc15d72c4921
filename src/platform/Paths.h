#pragma once
#include <filesystem>
#include <string>

namespace lw {

// The extension without its dot, ASCII lower-cased; empty when there is none.
std::string lowerExtension(const std::filesystem::path& path);

// Absolute, with "." and ".." and symbolic links resolved where the path exists, so two
// spellings of one file compare equal.
std::filesystem::path standardized(const std::filesystem::path& file);

// `file` relative to `folder` when it lies inside it, else the whole path (both standardized):
// how a message names a file of the output folder.
std::filesystem::path relativeWithin(const std::filesystem::path& file, const std::filesystem::path& folder);

}  // namespace lw
