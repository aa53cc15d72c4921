#pragma once
// The deliverables of one item, written to hidden temporary names and renamed into place only
// when the whole item has succeeded; a failed item removes only its own temporary files.
//
//   StagedOutputs outputs(item, context, {item.sourceURL});
//   outputs.write(folder / "house.jpg", bytes);               // or add(path) and write its tempPath()
//   return outputs.commit();                                   // every file renamed into place
//
// A destination is refused, before anything is written, when its name is longer than the file
// system allows, when it exists and is not a regular file, when it is one of the item's inputs
// (by device and inode), or when another item has already written it (the DeliverableRecord of the
// queue manager, shared through the processing context): within one job any other item, in an
// earlier job an item from another source whose file is still there. Files the record does not
// hold (written before the queue manager was made) are replaced; if a rename fails half-way, the
// files already replaced get their old contents back.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/JobModel.h"
#include "platform/AtomicFile.h"
#include "platform/Error.h"

namespace lw {

// Two items writing the same deliverable.
class OutputError : public Error {
public:
    OutputError(std::filesystem::path file, const std::string& message);
    // A name another item already wrote: `collision` says which file and whose, `advice` how to
    // give the items names of their own.
    static OutputError nameTaken(std::filesystem::path file, std::string collision, const std::string& advice);
    std::filesystem::path file;
    std::string collision;  // set by nameTaken: the message without its advice
};

// The deliverables written so far by the jobs of one queue manager, keyed by their standardized
// path. Thread-safe.
class DeliverableRecord {
public:
    // Claims every destination for `item` of job `job`, or none: throws OutputError naming the
    // first file that is claimed by another item of the same job, or by an item of an earlier job
    // from another source while the file is still there, and that item's source. Claiming again
    // for the same item is fine, and so is a later job's item from the same source (a re-export
    // replaces its own earlier file). Returns the destinations the record held no claim on before
    // (a file already there under such a name is from before the queue manager's first job).
    std::vector<std::filesystem::path> claim(const std::vector<std::filesystem::path>& destinations,
                                             const BatchItem& item, const Uuid& job);
    // Throws like claim() without claiming anything.
    void check(const std::filesystem::path& destination, const BatchItem& item, const Uuid& job) const;
    // Gives up the claims of `item` of `job` on these destinations (its write failed); a claim it
    // took over from an earlier job of the same source goes back to that job.
    void release(const std::vector<std::filesystem::path>& destinations, const BatchItem& item, const Uuid& job);
    // Whether an item claimed this file (so the jobs of this record wrote it, or are writing it).
    bool holds(const std::filesystem::path& file) const;

private:
    struct Owner {
        Uuid job;
        Uuid item;
        std::filesystem::path source;
        // The earlier job's claim this one took over (same source), restored by release().
        std::optional<std::pair<Uuid, Uuid>> previous;
    };
    void checkLocked(const std::string& key, const std::filesystem::path& destination, const BatchItem& item,
                     const Uuid& job) const;
    mutable std::mutex mutex_;
    std::map<std::string, Owner> owners_;
};

// The log line of an item that replaced files which were there before this run (names relative to
// the output folder when inside it): "house.jpg: replaced Print/house.jpg, which was there before
// this run".
std::string replacedBeforeRunLine(const BatchItem& item, const std::vector<std::filesystem::path>& replaced,
                                  const std::filesystem::path& outputDirectory);

class StagedOutputs {
public:
    StagedOutputs(const BatchItem& item, const ProcessingContext& context, std::vector<std::filesystem::path> inputs);
    ~StagedOutputs() = default;
    StagedOutputs(const StagedOutputs&) = delete;
    StagedOutputs& operator=(const StagedOutputs&) = delete;

    // Throws like add() without staging anything (to refuse a destination before the work).
    void check(const std::filesystem::path& destination) const;
    // Checks the destination (see above), creates its folder and returns the temporary file to
    // write it through. Throws DestinationError or OutputError naming the file.
    AtomicFile& add(const std::filesystem::path& destination);
    // add() and write the bytes to its temporary name.
    void write(const std::filesystem::path& destination, std::span<const std::uint8_t> bytes);
    void write(const std::filesystem::path& destination, std::string_view text);
    // Writes the bytes to a staged file's temporary name; throws DestinationError with the reason.
    static void writeFile(const AtomicFile& file, std::span<const std::uint8_t> bytes);
    static void writeFile(const AtomicFile& file, std::string_view text);

    // Claims the destinations in the record and renames every temporary file into place; files
    // from before this run that the set replaced are named in one log line. Returns the
    // destinations in the order they were added. Throws DestinationError or OutputError; then
    // nothing of the item is left in place.
    std::vector<std::filesystem::path> commit();

    bool empty() const { return files_.empty(); }

private:
    const BatchItem& item_;
    Uuid jobID_;
    std::filesystem::path outputDirectory_;
    std::shared_ptr<DeliverableRecord> record_;
    std::function<void(const std::string&)> log_;
    std::vector<std::filesystem::path> inputs_;
    std::deque<AtomicFile> files_;  // stable references
};

}  // namespace lw
