#pragma once
// Checks that keep a write from harming files it must not touch: an item's own input (compared
// by device and inode, so "./a", "../x/a", links and hard links all count as the same file) and
// an existing destination that is not a regular file (a folder, a device such as /dev/full, a
// fifo), which a rename would replace.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Error.h"

namespace lw {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the file a path names (links followed); nothing when it does not exist.
std::optional<FileIdentity> fileIdentity(const std::filesystem::path& path);

// True when both paths name one existing file.
bool isSameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// What a file of this mode is, in words: "a folder", "a device", "a named pipe", "a socket", or
// "not a regular file".
std::string kindOfFile(mode_t mode);

// A destination that cannot be written. what() names the file and says why.
class DestinationError : public Error {
public:
    enum class Kind { replacesInput, notRegularFile, nameTooLong, cannotWrite };
    DestinationError(Kind kind, std::filesystem::path file, const std::string& message);
    Kind kind;
    std::filesystem::path file;

    static DestinationError replacesInput(const std::filesystem::path& destination);
    static DestinationError notRegularFile(const std::filesystem::path& destination);
    static DestinationError nameTooLong(const std::filesystem::path& destination);
    // "Could not write NAME in FOLDER: <reason>", the reason in words (name too long, disk full, ...).
    static DestinationError cannotWrite(const std::filesystem::path& destination, std::error_code code);
};

// Throws DestinationError when the destination's name is longer than its folder's file system
// allows, or when it exists and is not a regular file. A missing destination is fine.
void checkDestination(const std::filesystem::path& destination);

// Throws DestinationError (replacesInput) when `destination` is one of `inputs`.
void checkNotInput(const std::filesystem::path& destination, const std::vector<std::filesystem::path>& inputs);

// The reason of a failed write in words: "the file name is longer than the file system allows
// (300 bytes; at most 255)", "the disk is full", else the system's own text.
std::string writeFailureReason(const std::filesystem::path& destination, std::error_code code);

// The longest file name the destination's folder accepts, in bytes (255 on the common file systems).
std::size_t maxFileNameBytes(const std::filesystem::path& folder);

}  // namespace lw
