#pragma once
#include <filesystem>
#include <string>

namespace lw {

// The extension without its dot, ASCII lower-cased; empty when there is none.
std::string lowerExtension(const std::filesystem::path& path);

// Absolute, with "." and ".." and symbolic links resolved where the path exists, so two
// spellings of one file compare equal.
std::filesystem::path standardized(const std::filesystem::path& file);

}  // namespace lw
