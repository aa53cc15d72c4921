#pragma once
// The shared records of the batch core: items, statuses, configurations, jobs, contexts,
// reports, and the protocol every vertical preset implements.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Uuid.h"

namespace lw {

using Date = std::chrono::system_clock::time_point;
using StringMap = std::map<std::string, std::string>;

enum class ProcessingStatus { pending, processing, completed, failed, skipped, cancelled };

// "Pending", "Processing", ... (raw value and display text are the same).
std::string rawValue(ProcessingStatus status);
std::string displayName(ProcessingStatus status);
std::optional<ProcessingStatus> processingStatusFromRawValue(const std::string& raw);  // case-sensitive
const std::vector<ProcessingStatus>& allProcessingStatuses();
bool isTerminal(ProcessingStatus status);

// Thrown by a preset to mark an item skipped; the reason is shown to the user.
// Deliberately not an lw::Error: the queue tells the two apart.
class BatchSkip : public std::exception {
public:
    explicit BatchSkip(std::string reason) : reason(std::move(reason)) {}
    const char* what() const noexcept override { return reason.c_str(); }
    std::string reason;
};

struct BatchItem {
    BatchItem(Uuid id, std::filesystem::path sourceURL, std::optional<std::filesystem::path> destinationURL,
              ProcessingStatus status, double progress, std::optional<std::string> errorMessage, StringMap metadata);

    Uuid id;
    std::filesystem::path sourceURL;
    std::string originalFileName;  // last path component without its extension
    std::string fileExtension;     // lower-cased, without the dot; empty when none
    std::int64_t fileSize = 0;     // bytes at creation, 0 when unreadable
    std::optional<std::filesystem::path> destinationURL;
    ProcessingStatus status = ProcessingStatus::pending;
    double progress = 0;
    std::optional<std::string> errorMessage;
    StringMap metadata;
    Date queuedAt;
    std::optional<Date> completedAt;

    // Decimal units as a file manager shows them: "Zero KB", "1 KB", "1.2 MB", "3.4 GB".
    std::string formattedFileSize() const;

    friend bool operator==(const BatchItem&, const BatchItem&) = default;
};

struct BatchConfiguration {
    BatchConfiguration(std::filesystem::path outputDirectory, bool createSubfolders, std::string namingPattern,
                       bool overwriteExisting, int maxConcurrentTasks, bool deleteSourceAfterSuccess,
                       bool notifyOnCompletion, StringMap customSettings);

    // Fresh defaults on each call: ~/Downloads/BatchOutput (temp dir when there is no Downloads folder).
    static BatchConfiguration defaultConfiguration();
    // Clamp of the initialiser: at most twice the active processors, at least 1.
    static int clampConcurrency(int requested);

    std::filesystem::path outputDirectory;
    bool createSubfolders = true;
    std::string namingPattern = "{name}_{index:02}";
    bool overwriteExisting = false;
    int maxConcurrentTasks = 1;
    bool deleteSourceAfterSuccess = false;
    bool notifyOnCompletion = true;
    StringMap customSettings;

    friend bool operator==(const BatchConfiguration&, const BatchConfiguration&) = default;
};

struct ProcessingJob {
    ProcessingJob(Uuid id, std::string presetID, std::string presetName, std::vector<BatchItem> items,
                  BatchConfiguration configuration);

    Uuid id;
    std::string presetID;
    std::string presetName;
    std::vector<BatchItem> items;
    BatchConfiguration configuration;
    Date startedAt;
    std::optional<Date> finishedAt;
    // The number each item is named by ({index}; a podcast's episode follows it), by item id, and
    // the {total} beside it. An item not listed takes its 1-based position in `items`; a total of
    // 0 is the item count. A window numbers an item once for all its jobs.
    std::map<Uuid, int> itemNumbers;
    int numberedTotal = 0;

    std::size_t totalItems() const { return items.size(); }
    std::size_t completedItemsCount() const;
    std::size_t failedItemsCount() const;
    double overallProgress() const;  // mean of item progress, 0 without items
};

class DeliverableRecord;

struct ProcessingContext {
    Uuid jobID;
    BatchConfiguration configuration;
    int itemIndex = 1;  // the item's number: 1-based, its position in the job unless the job numbers it
    int totalItems = 0;
    // Both may be called from any thread.
    std::function<void(double fraction, const std::optional<std::string>& message)> onProgressUpdate;
    std::function<void(const std::string& line)> log;
    // The deliverables written so far by the jobs of the queue manager (one record per manager,
    // shared by the items of all its jobs); null when an item runs outside a job.
    std::shared_ptr<DeliverableRecord> deliverables;
};

struct ExecutionReport {
    Uuid id;
    std::string presetID;
    std::string presetName;
    int totalProcessed = 0;
    int successCount = 0;
    int failureCount = 0;
    int skippedCount = 0;
    std::int64_t bytesProcessed = 0;
    double durationSeconds = 0;
    Date timestamp;
    std::vector<std::string> outputFiles;
    std::vector<std::string> errors;

    double throughputMegabytesPerSec() const;
    friend bool operator==(const ExecutionReport&, const ExecutionReport&) = default;
};

struct SimulatedItemReport {
    Uuid id;
    std::filesystem::path sourceURL;
    std::vector<std::string> projectedFileNames;
    std::filesystem::path projectedDirectory;
    std::vector<std::string> warnings;
};

// The protocol of every vertical preset. A preset is an immutable value during a run:
// process() is called concurrently from several worker threads on one instance.
class BatchPreset {
public:
    virtual ~BatchPreset() = default;
    virtual std::string id() const = 0;
    virtual std::string displayName() const = 0;
    virtual std::string verticalName() const = 0;
    virtual std::string description() const = 0;
    virtual std::string systemIconName() const = 0;
    virtual std::set<std::string> supportedExtensions() const = 0;
    virtual std::string defaultNamingPattern() const = 0;
    // Default: the item's extension, lower-cased, is in supportedExtensions().
    virtual bool canProcess(const BatchItem& item) const;
    // Whether a file at `relative` (a path below the job's output folder) is named as one of the
    // files this preset writes into an output folder, so a walk of the output folder does not take
    // it as an input. Default: none is.
    virtual bool isOwnDeliverable(const std::filesystem::path& relative) const;
    // Returns the files written, in the order written. Throws BatchSkip to skip the item;
    // anything else fails it.
    virtual std::vector<std::filesystem::path> process(const BatchItem& item,
                                                       const ProcessingContext& context) const = 0;
};

}  // namespace lw
