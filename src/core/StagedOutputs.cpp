#include "core/StagedOutputs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileSafety.h"
#include "platform/Paths.h"
#include "platform/TemporaryFiles.h"

namespace fs = std::filesystem;

namespace lw {

OutputError::OutputError(fs::path file, const std::string& message) : Error(message), file(std::move(file)) {}

// ---- the job's record

void DeliverableRecord::checkLocked(const std::string& key, const fs::path& destination, const BatchItem& item) const {
    const auto it = owners_.find(key);
    if (it == owners_.end() || it->second.item == item.id) return;
    throw OutputError(destination, destination.filename().string() + " was already written in this job from " +
                                       it->second.source.string() + "; " + item.sourceURL.filename().string() +
                                       " would replace it. Choose a naming pattern that gives every item its own "
                                       "name.");
}

void DeliverableRecord::check(const fs::path& destination, const BatchItem& item) const {
    std::lock_guard lock(mutex_);
    checkLocked(standardized(destination).string(), destination, item);
}

void DeliverableRecord::claim(const std::vector<fs::path>& destinations, const BatchItem& item) {
    std::vector<std::string> keys;
    keys.reserve(destinations.size());
    for (const fs::path& d : destinations) keys.push_back(standardized(d).string());
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < keys.size(); ++i) checkLocked(keys[i], destinations[i], item);
    for (const std::string& key : keys) owners_.insert_or_assign(key, Owner{item.id, item.sourceURL});
}

void DeliverableRecord::release(const std::vector<fs::path>& destinations, const BatchItem& item) {
    std::lock_guard lock(mutex_);
    for (const fs::path& d : destinations) {
        const auto it = owners_.find(standardized(d).string());
        if (it != owners_.end() && it->second.item == item.id) owners_.erase(it);
    }
}

// ---- one item's outputs

StagedOutputs::StagedOutputs(const BatchItem& item, const ProcessingContext& context, std::vector<fs::path> inputs)
    : item_(item)
    , outputDirectory_(context.configuration.outputDirectory)
    , record_(context.deliverables)
    , inputs_(std::move(inputs)) {}

void StagedOutputs::check(const fs::path& destination) const {
    checkDestination(destination);
    checkNotInput(destination, inputs_);
    if (record_) record_->check(destination, item_);
}

AtomicFile& StagedOutputs::add(const fs::path& destination) {
    checkDestination(destination);
    checkNotInput(destination, inputs_);
    for (const AtomicFile& file : files_)
        if (standardized(file.destination()) == standardized(destination))
            throw OutputError(destination, destination.filename().string() + " is written twice by " +
                                               item_.sourceURL.filename().string() + ".");
    if (record_) record_->check(destination, item_);
    const fs::path folder = destination.parent_path();
    if (!folder.empty()) {
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec || !fs::is_directory(folder))
            throw DestinationError(DestinationError::Kind::cannotWrite, destination,
                                   "Could not create the output folder " + folder.string() + ": " +
                                       (ec ? writeFailureReason(folder, ec) : std::string("a file is in the way")));
    }
    return files_.emplace_back(destination);
}

void StagedOutputs::writeFile(const AtomicFile& file, std::span<const std::uint8_t> bytes) {
    const auto fail = [&](int error) {
        return DestinationError::cannotWrite(file.destination(), std::error_code(error, std::generic_category()));
    };
    const int fd = ::open(file.tempPath().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) throw fail(errno);
    const std::uint8_t* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            throw fail(error);
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) throw fail(errno);
}

void StagedOutputs::writeFile(const AtomicFile& file, std::string_view text) {
    writeFile(file, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void StagedOutputs::write(const fs::path& destination, std::span<const std::uint8_t> bytes) {
    writeFile(add(destination), bytes);
}

void StagedOutputs::write(const fs::path& destination, std::string_view text) {
    write(destination, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

namespace {

// A hard link to a file about to be replaced, so a failed set can put it back.
struct Backup {
    fs::path destination;
    fs::path copy;
    TemporaryFiles::Registration registration;
};

}  // namespace

std::vector<fs::path> StagedOutputs::commit() {
    std::vector<fs::path> destinations;
    destinations.reserve(files_.size());
    for (const AtomicFile& file : files_) destinations.push_back(file.destination());
    if (record_) record_->claim(destinations, item_);

    std::vector<Backup> backups;
    std::vector<fs::path> placed;
    try {
        for (AtomicFile& file : files_) {
            checkNotInput(file.destination(), inputs_);
            std::error_code ec;
            if (fs::is_regular_file(file.destination(), ec)) {
                const fs::path copy = temporaryNameFor(file.destination(), maxFileNameBytes(file.destination().parent_path()));
                TemporaryFiles::Registration registration(copy);
                if (::link(file.destination().c_str(), copy.c_str()) == 0)
                    backups.push_back({file.destination(), copy, std::move(registration)});
            }
            file.commit();
            placed.push_back(file.destination());
        }
    } catch (...) {
        std::error_code ec;
        for (const fs::path& p : placed) fs::remove(p, ec);
        for (Backup& b : backups) fs::rename(b.copy, b.destination, ec);
        for (Backup& b : backups) fs::remove(b.copy, ec);
        for (AtomicFile& file : files_)
            if (!file.committed()) file.discard();
        if (record_) record_->release(destinations, item_);
        throw;
    }
    std::error_code ec;
    for (Backup& b : backups) fs::remove(b.copy, ec);
    return destinations;
}

}  // namespace lw
