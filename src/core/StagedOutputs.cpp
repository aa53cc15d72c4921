#include "core/StagedOutputs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <tuple>

#include "platform/FileSafety.h"
#include "platform/Paths.h"
#include "platform/TemporaryFiles.h"

namespace fs = std::filesystem;

namespace lw {

OutputError::OutputError(fs::path file, const std::string& message) : Error(message), file(std::move(file)) {}

OutputError OutputError::nameTaken(fs::path file, std::string collision, const std::string& advice) {
    OutputError error(std::move(file), collision + " " + advice);
    error.collision = std::move(collision);
    return error;
}

// ---- the record of the queue manager's jobs

namespace {

std::string keyOf(const fs::path& destination) { return standardized(destination).string(); }

}  // namespace

void DeliverableRecord::checkLocked(const std::string& key, const fs::path& destination, const BatchItem& item,
                                    const Uuid& job) const {
    const auto it = owners_.find(key);
    if (it == owners_.end()) return;
    const Owner& owner = it->second;
    if (owner.job == job) {
        if (owner.item == item.id) return;
    } else {
        // An earlier job's file: its own source may write it again, and one that is gone is free.
        if (standardized(owner.source) == standardized(item.sourceURL)) return;
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(destination, ec))) return;
    }
    throw OutputError::nameTaken(destination,
                                 destination.filename().string() + " was already written in " +
                                     (owner.job == job ? "this job" : "an earlier job") + " from " +
                                     owner.source.string() + "; " + item.sourceURL.filename().string() +
                                     " would replace it.",
                                 "Choose a naming pattern that gives every item its own name.");
}

void DeliverableRecord::check(const fs::path& destination, const BatchItem& item, const Uuid& job) const {
    std::lock_guard lock(mutex_);
    checkLocked(keyOf(destination), destination, item, job);
}

std::vector<fs::path> DeliverableRecord::claim(const std::vector<fs::path>& destinations, const BatchItem& item,
                                               const Uuid& job) {
    std::vector<std::string> keys;
    keys.reserve(destinations.size());
    for (const fs::path& d : destinations) keys.push_back(keyOf(d));
    std::vector<fs::path> unrecorded;
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < keys.size(); ++i) checkLocked(keys[i], destinations[i], item, job);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::string& key = keys[i];
        Owner owner{job, item.id, item.sourceURL, std::nullopt};
        const auto it = owners_.find(key);
        if (it == owners_.end()) {
            unrecorded.push_back(destinations[i]);
        } else {
            if (it->second.job == job) continue;  // this item's own claim
            if (standardized(it->second.source) == standardized(item.sourceURL))
                owner.previous = std::pair(it->second.job, it->second.item);
        }
        owners_.insert_or_assign(key, std::move(owner));
    }
    return unrecorded;
}

void DeliverableRecord::release(const std::vector<fs::path>& destinations, const BatchItem& item, const Uuid& job) {
    std::lock_guard lock(mutex_);
    for (const fs::path& d : destinations) {
        const auto it = owners_.find(keyOf(d));
        if (it == owners_.end() || it->second.job != job || it->second.item != item.id) continue;
        if (it->second.previous) {
            std::tie(it->second.job, it->second.item) = *it->second.previous;
            it->second.previous.reset();
        } else {
            owners_.erase(it);
        }
    }
}

bool DeliverableRecord::holds(const fs::path& file) const {
    const std::string key = keyOf(file);
    std::lock_guard lock(mutex_);
    return owners_.count(key) > 0;
}

std::string replacedBeforeRunLine(const BatchItem& item, const std::vector<fs::path>& replaced,
                                  const fs::path& outputDirectory) {
    std::string names;
    for (std::size_t i = 0; i < replaced.size(); ++i) {
        if (i > 0) names += i + 1 == replaced.size() ? " and " : ", ";
        names += relativeWithin(replaced[i], outputDirectory).string();
    }
    return item.sourceURL.filename().string() + ": replaced " + names + ", which " +
           (replaced.size() == 1 ? "was" : "were") + " there before this run";
}

// ---- one item's outputs

StagedOutputs::StagedOutputs(const BatchItem& item, const ProcessingContext& context, std::vector<fs::path> inputs)
    : item_(item)
    , jobID_(context.jobID)
    , outputDirectory_(context.configuration.outputDirectory)
    , record_(context.deliverables)
    , log_(context.log)
    , inputs_(std::move(inputs)) {}

void StagedOutputs::check(const fs::path& destination) const {
    checkDestination(destination);
    checkNotInput(destination, inputs_);
    if (record_) record_->check(destination, item_, jobID_);
}

AtomicFile& StagedOutputs::add(const fs::path& destination) {
    checkDestination(destination);
    checkNotInput(destination, inputs_);
    for (const AtomicFile& file : files_)
        if (standardized(file.destination()) == standardized(destination))
            throw OutputError(destination, destination.filename().string() + " is written twice by " +
                                               item_.sourceURL.filename().string() + ".");
    if (record_) record_->check(destination, item_, jobID_);
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
    // From here until the set is in place or put back, an interruption waits.
    std::optional<TemporaryFiles::SetRename> renaming(std::in_place);
    // A file the record holds no claim on was there before this run (without a record: any file).
    const std::vector<fs::path> unrecorded = record_ ? record_->claim(destinations, item_, jobID_) : destinations;
    const auto beforeRun = [&](const fs::path& destination) {
        for (const fs::path& d : unrecorded)
            if (d == destination) return true;
        return false;
    };

    std::vector<Backup> backups;
    std::vector<fs::path> placed;
    std::vector<fs::path> replacedBeforeRun;
    try {
        for (AtomicFile& file : files_) {
            checkNotInput(file.destination(), inputs_);
            std::error_code ec;
            if (fs::is_regular_file(file.destination(), ec)) {
                if (beforeRun(file.destination())) replacedBeforeRun.push_back(file.destination());
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
        if (record_) record_->release(destinations, item_, jobID_);
        throw;
    }
    std::error_code ec;
    for (Backup& b : backups) fs::remove(b.copy, ec);
    renaming.reset();
    if (!replacedBeforeRun.empty() && log_) log_(replacedBeforeRunLine(item_, replacedBeforeRun, outputDirectory_));
    return destinations;
}

}  // namespace lw
