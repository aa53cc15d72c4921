#pragma once
// Writes that never leave a half-written file under the final name.
//
//   AtomicFile out(destination);       // reserves a unique temporary name beside it
//   encoder.writeTo(out.tempPath());   // anything that writes by path
//   out.commit();                      // rename into place (atomic on one file system)
//
// The temporary name is hidden, keeps the destination's extension (so libraries that choose a
// format by suffix still see it) and stays within the file system's name limit however long the
// destination's name is. It is on the process-wide list of TemporaryFiles until it is renamed
// or removed, so an interrupted process removes it too. If commit() is never called the
// temporary file is removed when the object goes away.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "platform/TemporaryFiles.h"

namespace lw {

class AtomicFile {
public:
    explicit AtomicFile(std::filesystem::path destination);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    AtomicFile(AtomicFile&& other) noexcept;
    AtomicFile& operator=(AtomicFile&&) = delete;

    const std::filesystem::path& tempPath() const { return temp_; }
    const std::filesystem::path& destination() const { return destination_; }

    // Renames the temporary file over the destination. Throws DestinationError (which names the
    // file and says why) when the destination is not a regular file or the rename fails.
    void commit();
    // Removes the temporary file now.
    void discard() noexcept;
    bool committed() const { return committed_; }

private:
    std::filesystem::path destination_;
    std::filesystem::path temp_;
    bool committed_ = false;
    TemporaryFiles::Registration registration_;
};

// A hidden name beside `destination` for its temporary file: "." + the stem (shortened when
// needed) + ".partial-" + a random tag + the extension, at most `maxBytes` bytes long.
std::filesystem::path temporaryNameFor(const std::filesystem::path& destination, std::size_t maxBytes = 255);

// Writes bytes to a temporary name beside `destination`, flushes and renames into place.
// Throws DestinationError naming the file.
void writeFileAtomically(const std::filesystem::path& destination, std::span<const std::uint8_t> bytes);
void writeFileAtomically(const std::filesystem::path& destination, std::string_view text);

}  // namespace lw
