#pragma once
// Runs one ProcessingJob through one BatchPreset with bounded concurrency and reports item
// statuses, log lines and written outputs to listeners.
//
// All state sits behind one mutex. Listener calls are serialised, made in the order the events
// happened and never while that mutex is held, so a listener may call back into the manager
// (log, activeJobs, cancel, ...). A listener that throws is logged and the batch goes on.
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/JobModel.h"

namespace lw {

class BatchQueueManager {
public:
    using StatusListener = std::function<void(const Uuid& jobID, const Uuid& itemID, ProcessingStatus status,
                                              double progress, const std::optional<std::string>& errorMessage)>;
    using LogListener = std::function<void(const std::string& line)>;
    using OutputListener =
        std::function<void(const Uuid& jobID, const Uuid& itemID, const std::vector<std::filesystem::path>& urls)>;

    BatchQueueManager();
    ~BatchQueueManager();
    BatchQueueManager(const BatchQueueManager&) = delete;
    BatchQueueManager& operator=(const BatchQueueManager&) = delete;

    void addStatusListener(StatusListener listener);
    void addLogListener(LogListener listener);
    void addOutputListener(OutputListener listener);

    // Sends "[HH:mm:ss] " + message (local time) to every log listener.
    void log(const std::string& message);

    // Runs the job and blocks until it ends; never throws for an item's failure. Items run on at
    // most configuration.maxConcurrentTasks worker threads. The preset is shared by all workers
    // for the whole job: pass a copy that nobody edits meanwhile.
    ExecutionReport submitAndStart(ProcessingJob job, std::shared_ptr<const BatchPreset> preset);

    // Stops starting new items; running items finish, unstarted ones stay pending.
    void cancel();
    // Cancels the job with this id, also when it has not been submitted yet: a job handed over
    // after its cancel starts no item.
    void cancel(const Uuid& jobID);

    // Sets an item's status and progress (and, at its first terminal status, its completion
    // time) and tells the status listeners. Unknown jobs or items are ignored.
    void updateItemStatus(const Uuid& jobID, const Uuid& itemID, ProcessingStatus status, double progress);

    // Jobs submitted to this manager, with their items' current state (finished jobs stay,
    // with finishedAt set, until a job with the same id is submitted again).
    std::map<Uuid, ProcessingJob> activeJobs() const;
    std::vector<ExecutionReport> completedReports() const;
    // Whether a job of this manager wrote this file as a deliverable (or is writing it).
    bool hasWritten(const std::filesystem::path& file) const;
    bool isProcessing() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace lw
