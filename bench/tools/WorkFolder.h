#pragma once
// The folder a bench tool writes its inputs and results to. The tool removes afterwards only what
// it made: a fresh folder of its own under the temporary folder, or, in a folder the user names,
// the files it wrote there (such a folder must be new or empty).
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace lw::bench {

class WorkFolder {
public:
    // A new folder "<prefix>-XXXXXX" under the temporary folder. Throws filesystem_error.
    static WorkFolder fresh(const std::string& prefix) {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data()))
            throw std::filesystem::filesystem_error("cannot create a work folder", pattern,
                                                    std::error_code(errno, std::generic_category()));
        return WorkFolder(pattern, true);
    }

    // The folder the user named: made when missing, taken when empty. Anything else gets the
    // reason it is refused (a folder that holds files the tool did not make is never used).
    static WorkFolder named(const std::filesystem::path& path, std::string& refusal) {
        std::error_code ec;
        if (std::filesystem::create_directories(path, ec)) return WorkFolder(path, true);
        if (ec) {
            refusal = path.string() + " cannot be made: " + ec.message();
        } else if (!std::filesystem::is_directory(path, ec)) {
            refusal = path.string() + " is not a folder";
        } else if (!std::filesystem::is_empty(path, ec) || ec) {
            refusal = path.string() + " is not empty; give a new or empty folder (the files written there are removed "
                                      "afterwards)";
        } else {
            return WorkFolder(path, false);
        }
        return WorkFolder({}, false);
    }

    const std::filesystem::path& path() const { return path_; }

    // Removes what the tool wrote: the folder itself when the tool made it, else its contents
    // (the folder was empty when it was taken).
    void removeOwn() const {
        if (path_.empty()) return;
        std::error_code ec;
        if (made_) {
            std::filesystem::remove_all(path_, ec);
            return;
        }
        for (const auto& entry : std::filesystem::directory_iterator(path_, ec))
            std::filesystem::remove_all(entry.path(), ec);
    }

private:
    WorkFolder(std::filesystem::path path, bool made) : path_(std::move(path)), made_(made) {}
    std::filesystem::path path_;
    bool made_ = false;
};

}  // namespace lw::bench
