#pragma once
// Turns dropped files and folders into the list of eligible input files.
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace lw {

namespace FileIngest {

// Folders are walked recursively without following symbolic links to folders (so link loops
// end); folders that cannot be listed are skipped. A candidate must exist, be a regular file
// (a link to one counts), not start with "." and have a lower-cased extension in
// `allowedExtensions`. Paths are made lexically normal, duplicates dropped, and the result is
// sorted as a file manager sorts (case-insensitive, digit runs by value). Never throws for
// missing or unreadable input.
std::vector<std::filesystem::path> expand(const std::vector<std::filesystem::path>& urls,
                                          const std::set<std::string>& allowedExtensions);

// The output folder of the job the files are for, so its deliverables are not taken as inputs.
struct OutputFolder {
    std::filesystem::path path;
    // Whether a file, given by its path relative to the output folder, is named as one of the
    // preset's own deliverables. Empty: none is.
    std::function<bool(const std::filesystem::path& relative)> isDeliverable;
};

// The same, except that a folder walk does not enter the output folder (compared after resolving
// links); a dropped folder that is the output folder or lies inside it is walked, leaving out the
// files that output.isDeliverable names (added to `leftOut`, when given, relative to the output
// folder and in file-manager order). A file dropped by name is taken all the same.
std::vector<std::filesystem::path> expand(const std::vector<std::filesystem::path>& urls,
                                          const std::set<std::string>& allowedExtensions, const OutputFolder& output,
                                          std::vector<std::filesystem::path>* leftOut = nullptr);

// The log line telling which files were left out and why: `reason` follows the count ("named
// like this preset's outputs"), then the first ten names and how many more; empty without files.
std::string leftOutLine(const std::vector<std::filesystem::path>& files, const std::string& reason);
// The reason and the way round it for the files expand() leaves out of the output folder.
std::string deliverableNamesLine(const std::vector<std::filesystem::path>& leftOut);

// The file-manager order of two paths.
bool localizedStandardLess(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace FileIngest

}  // namespace lw
