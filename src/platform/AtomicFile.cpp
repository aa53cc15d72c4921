#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/FileSafety.h"
#include "platform/Uuid.h"

namespace fs = std::filesystem;

namespace lw {

namespace {

// The longest prefix of `text` of at most `bytes` bytes that does not split a UTF-8 sequence.
std::string utf8Prefix(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

void writeAll(int fd, const std::uint8_t* data, std::size_t size, const fs::path& path) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw DestinationError::cannotWrite(path, std::error_code(errno, std::generic_category()));
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

fs::path temporaryNameFor(const fs::path& destination, std::size_t maxBytes) {
    const std::string tag = ".partial-" + Uuid::random().toString().substr(0, 8);
    std::string ext = destination.extension().string();
    const std::string name = destination.filename().string();
    if (ext.empty() && name.size() > 1 && name.front() == '.' && name.find('.', 1) == std::string::npos)
        ext = name;  // ".jpg": an empty stem
    if (ext.size() > 16) ext.clear();  // an "extension" this long is part of the name, not a format
    std::string stem = name.substr(0, name.size() - ext.size());
    const std::size_t fixed = 1 + tag.size() + ext.size();
    stem = utf8Prefix(stem, maxBytes > fixed ? maxBytes - fixed : 0);
    return destination.parent_path() / ("." + stem + tag + ext);
}

AtomicFile::AtomicFile(fs::path destination)
    : destination_(std::move(destination))
    , temp_(temporaryNameFor(destination_, maxFileNameBytes(destination_.parent_path())))
    , registration_(temp_) {}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : destination_(std::move(other.destination_))
    , temp_(std::move(other.temp_))
    , committed_(other.committed_)
    , registration_(std::move(other.registration_)) {
    other.committed_ = true;  // the moved-from object owns nothing
}

AtomicFile::~AtomicFile() {
    if (!committed_) discard();
}

void AtomicFile::commit() {
    checkDestination(destination_);
    std::error_code ec;
    fs::rename(temp_, destination_, ec);
    if (ec) throw DestinationError::cannotWrite(destination_, ec);
    committed_ = true;
    registration_.release();
}

void AtomicFile::discard() noexcept {
    std::error_code ec;
    fs::remove(temp_, ec);
    registration_.release();
}

void writeFileAtomically(const fs::path& destination, std::span<const std::uint8_t> bytes) {
    checkDestination(destination);
    AtomicFile out(destination);
    int fd = ::open(out.tempPath().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) throw DestinationError::cannotWrite(destination, std::error_code(errno, std::generic_category()));
    try {
        writeAll(fd, bytes.data(), bytes.size(), destination);
        if (::fsync(fd) != 0)
            throw DestinationError::cannotWrite(destination, std::error_code(errno, std::generic_category()));
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0)
        throw DestinationError::cannotWrite(destination, std::error_code(errno, std::generic_category()));
    out.commit();
}

void writeFileAtomically(const fs::path& destination, std::string_view text) {
    writeFileAtomically(destination,
                        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace lw
