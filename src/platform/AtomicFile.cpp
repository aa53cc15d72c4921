#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/Uuid.h"

namespace fs = std::filesystem;

namespace lw {

namespace {
fs::path temporaryNameFor(const fs::path& destination) {
    auto stem = destination.stem().string();
    auto ext = destination.extension().string();
    auto tag = Uuid::random().toString().substr(0, 8);
    return destination.parent_path() / ("." + stem + ".partial-" + tag + ext);
}

void writeAll(int fd, const std::uint8_t* data, std::size_t size, const fs::path& path) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw fs::filesystem_error("write failed", path, std::error_code(errno, std::generic_category()));
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}
}  // namespace

AtomicFile::AtomicFile(fs::path destination)
    : destination_(std::move(destination)), temp_(temporaryNameFor(destination_)) {}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : destination_(std::move(other.destination_)), temp_(std::move(other.temp_)), committed_(other.committed_) {
    other.committed_ = true;  // the moved-from object owns nothing
}

AtomicFile::~AtomicFile() {
    if (!committed_) discard();
}

void AtomicFile::commit() {
    fs::rename(temp_, destination_);
    committed_ = true;
}

void AtomicFile::discard() noexcept {
    std::error_code ec;
    fs::remove(temp_, ec);
}

void writeFileAtomically(const fs::path& destination, std::span<const std::uint8_t> bytes) {
    AtomicFile out(destination);
    int fd = ::open(out.tempPath().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        throw fs::filesystem_error("cannot create file", destination, std::error_code(errno, std::generic_category()));
    try {
        writeAll(fd, bytes.data(), bytes.size(), destination);
        if (::fsync(fd) != 0)
            throw fs::filesystem_error("cannot flush file", destination, std::error_code(errno, std::generic_category()));
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0)
        throw fs::filesystem_error("cannot close file", destination, std::error_code(errno, std::generic_category()));
    out.commit();
}

void writeFileAtomically(const fs::path& destination, std::string_view text) {
    writeFileAtomically(destination,
                        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace lw
