#include "core/ExportablePresetBundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/Coding.h"
#include "platform/AtomicFile.h"
#include "platform/FileSafety.h"

namespace lw {

nlohmann::json ExportablePresetBundle::toJson() const {
    return nlohmann::json{{"version", version},
                          {"presetID", presetID},
                          {"presetName", presetName},
                          {"verticalName", verticalName},
                          {"defaultNamingPattern", defaultNamingPattern},
                          {"configuration", configuration},
                          {"exportedAt", secondsSinceReferenceDate(exportedAt)}};
}

ExportablePresetBundle ExportablePresetBundle::fromJson(const nlohmann::json& json) {
    ExportablePresetBundle b;
    b.version = coding::string(json, "version");
    b.presetID = coding::string(json, "presetID");
    b.presetName = coding::string(json, "presetName");
    b.verticalName = coding::string(json, "verticalName");
    b.defaultNamingPattern = coding::string(json, "defaultNamingPattern");
    b.configuration = coding::stringMap(json, "configuration");
    b.exportedAt = coding::date(json, "exportedAt");
    return b;
}

void ExportablePresetBundle::write(const std::filesystem::path& file) const {
    try {
        writeFileAtomically(file, toJson().dump(2) + "\n");
    } catch (const std::exception& e) {
        throw BundleError(BundleError::Kind::unwritable, file,
                          "Could not write the preset bundle " + file.string() + ": " + e.what());
    }
}

namespace {

// Refuses anything but a regular file within the size limit.
void checkReadable(const std::filesystem::path& file, const struct stat& info) {
    if (S_ISDIR(info.st_mode))
        throw BundleError(BundleError::Kind::unreadable, file, "The preset bundle " + file.string() + " is a folder, not a file.");
    if (!S_ISREG(info.st_mode))
        throw BundleError(BundleError::Kind::unreadable, file,
                          "The preset bundle " + file.string() + " is " + kindOfFile(info.st_mode) + ", not a file.");
    if (static_cast<std::uintmax_t>(info.st_size) > ExportablePresetBundle::kMaxFileBytes)
        throw BundleError(BundleError::Kind::invalid, file, "The preset bundle " + file.string() + " is too large to be a preset.");
}

}  // namespace

ExportablePresetBundle ExportablePresetBundle::read(const std::filesystem::path& file) {
    const auto cannotOpen = [&](int err) {
        return BundleError(BundleError::Kind::unreadable, file,
                           "Could not open the preset bundle " + file.string() + ": " + std::strerror(err));
    };
    // The type and size are checked before opening (a fifo would block an open) and again on the
    // open descriptor, in case the name was replaced in between.
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) throw cannotOpen(errno);
    checkReadable(file, info);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) throw cannotOpen(errno);
    std::string text;
    int readError = 0;
    try {
        if (::fstat(fd, &info) != 0) throw cannotOpen(errno);
        checkReadable(file, info);
        // One byte past the limit tells a file that grew after the check.
        text.resize(static_cast<std::size_t>(info.st_size) + 1);
        std::size_t used = 0;
        while (used < text.size()) {
            const ssize_t n = ::read(fd, text.data() + used, text.size() - used);
            if (n < 0) {
                if (errno == EINTR) continue;
                readError = errno;
                break;
            }
            if (n == 0) break;
            used += static_cast<std::size_t>(n);
            if (used == text.size() && used <= kMaxFileBytes) text.resize(std::min<std::size_t>(used * 2, kMaxFileBytes + 1));
        }
        text.resize(used);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    if (readError != 0)
        throw BundleError(BundleError::Kind::unreadable, file,
                          "Could not read the preset bundle " + file.string() + ": " + std::strerror(readError));
    if (text.size() > kMaxFileBytes)
        throw BundleError(BundleError::Kind::invalid, file, "The preset bundle " + file.string() + " is too large to be a preset.");
    try {
        return fromJson(coding::parse(text));
    } catch (const DecodingError& e) {
        throw BundleError(BundleError::Kind::invalid, file, "The preset bundle " + file.string() + " is not valid: " + e.what());
    }
}

}  // namespace lw
