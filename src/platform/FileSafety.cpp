#include "platform/FileSafety.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace fs = std::filesystem;

namespace lw {

std::optional<FileIdentity> fileIdentity(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}

bool isSameFile(const fs::path& a, const fs::path& b) {
    const auto x = fileIdentity(a);
    return x && x == fileIdentity(b);
}

namespace {

std::string folderText(const fs::path& file) {
    const fs::path folder = file.parent_path();
    return folder.empty() ? std::string(".") : folder.string();
}

}  // namespace

std::string kindOfFile(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

DestinationError::DestinationError(Kind kind, fs::path file, const std::string& message)
    : Error(message), kind(kind), file(std::move(file)) {}

DestinationError DestinationError::replacesInput(const fs::path& destination) {
    return {Kind::replacesInput, destination,
            destination.filename().string() +
                " would replace its own source file; choose another output folder or naming pattern."};
}

DestinationError DestinationError::notRegularFile(const fs::path& destination) {
    struct stat st {};
    const std::string what = ::stat(destination.c_str(), &st) == 0 ? kindOfFile(st.st_mode) : "not a regular file";
    return {Kind::notRegularFile, destination,
            "Could not write " + destination.filename().string() + " in " + folderText(destination) +
                ": something that is not a regular file (" + what + ") has that name and is never replaced."};
}

DestinationError DestinationError::nameTooLong(const fs::path& destination) {
    return cannotWrite(destination, std::make_error_code(std::errc::filename_too_long));
}

DestinationError DestinationError::cannotWrite(const fs::path& destination, std::error_code code) {
    const Kind kind = code == std::errc::filename_too_long ? Kind::nameTooLong : Kind::cannotWrite;
    return {kind, destination,
            "Could not write " + destination.filename().string() + " in " + folderText(destination) + ": " +
                writeFailureReason(destination, code)};
}

std::size_t maxFileNameBytes(const fs::path& folder) {
    const fs::path where = folder.empty() ? fs::path(".") : folder;
    errno = 0;
    const long limit = ::pathconf(where.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

std::string writeFailureReason(const fs::path& destination, std::error_code code) {
    if (code == std::errc::filename_too_long) {
        const std::size_t bytes = destination.filename().native().size();
        const std::size_t limit = maxFileNameBytes(destination.parent_path());
        if (bytes > limit)
            return "the file name is longer than the file system allows (" + std::to_string(bytes) +
                   " bytes; at most " + std::to_string(limit) + ")";
        return "the path is longer than the file system allows";
    }
    if (code == std::errc::no_space_on_device) return "the disk is full";
    if (code == std::errc::permission_denied || code == std::errc::operation_not_permitted)
        return "permission denied";
    if (code == std::errc::read_only_file_system) return "the file system is read-only";
    if (code == std::errc::no_such_file_or_directory) return "the folder does not exist";
    return code.message();
}

void checkDestination(const fs::path& destination) {
    if (destination.filename().native().size() > maxFileNameBytes(destination.parent_path()))
        throw DestinationError::nameTooLong(destination);
    struct stat st {};
    if (::stat(destination.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) throw DestinationError::notRegularFile(destination);
    } else if (errno == ENAMETOOLONG) {
        throw DestinationError::nameTooLong(destination);
    }
}

void checkNotInput(const fs::path& destination, const std::vector<fs::path>& inputs) {
    const auto target = fileIdentity(destination);
    if (!target) return;
    for (const fs::path& input : inputs)
        if (fileIdentity(input) == target) throw DestinationError::replacesInput(destination);
}

}  // namespace lw
