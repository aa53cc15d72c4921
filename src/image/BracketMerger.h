#pragma once
// Finds the exposure bracket (a burst of one scene at different exposures) a photo belongs
// to among the images of its folder, from EXIF capture times and exposure settings.
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace lw {

class BracketMerger {
public:
    struct Shot {
        std::filesystem::path url;
        std::optional<std::chrono::system_clock::time_point> time;  // capture time
        std::optional<double> exposureValue;
        double exposureTime = 0;  // seconds; 0 when not recorded
        int width = 0;            // pixels as shown, the EXIF orientation applied: a shot turned
        int height = 0;           // the other way is no member of its neighbours' bracket
    };

    // The bracket holding `containing` (its folder's files with one of `extensions`,
    // lower-case, no dot), in capture order; a list of `containing` alone when it is in
    // none. Never fails. Groups are cached per folder until a file name, a modification
    // time or the set of files changes; safe to call from any thread.
    static std::vector<std::filesystem::path> brackets(const std::filesystem::path& containing,
                                                       const std::set<std::string>& extensions);

    // One file's capture time, exposure and size; nothing when it is not a readable image.
    static std::optional<Shot> shot(const std::filesystem::path& url);

    // The grouping rule: shots with time and exposure value, sorted by time (ties by file
    // name), split where an exposure repeats (within 0.3 EV), the gap exceeds the previous
    // exposure plus 3 s, the size changes or 9 shots are reached; groups of 2 or more
    // spanning at least 0.9 EV are brackets.
    static std::vector<std::vector<std::filesystem::path>> group(std::vector<Shot> shots);

    // Parses an EXIF date "yyyy:MM:dd HH:mm:ss" (read as UTC); nothing when it is not a
    // valid date.
    static std::optional<std::chrono::system_clock::time_point> parseExifDate(const std::string& text);

private:
    struct CacheEntry {
        std::string stamp;
        std::vector<std::vector<std::filesystem::path>> groups;
    };
    static std::mutex& cacheLock();
    static std::map<std::string, CacheEntry>& cache();  // only touched under cacheLock()
};

}  // namespace lw
