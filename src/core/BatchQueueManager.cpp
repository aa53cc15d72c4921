#include "core/BatchQueueManager.h"
#include "core/StagedOutputs.h"

#include <cxxabi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdint>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <typeinfo>

#include <fmt/format.h>

namespace lw {

namespace {

std::string timeOfDay() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
    return buf;
}

struct Event {
    enum class Kind { status, log, output };
    Kind kind = Kind::log;
    Uuid jobID = Uuid::fromBytes({});
    Uuid itemID = Uuid::fromBytes({});
    ProcessingStatus status = ProcessingStatus::pending;
    double progress = 0;
    std::optional<std::string> errorMessage;
    std::vector<std::filesystem::path> urls;
    std::string line;
    // A log line reporting a failed log listener does not report its own failure again.
    bool reportFailure = true;
};

// Whether this thread is delivering events right now (a listener calling back in).
thread_local bool deliveringOnThisThread = false;

struct ItemOutcome {
    ProcessingStatus status = ProcessingStatus::pending;
    std::vector<std::filesystem::path> outputs;
    std::optional<std::string> error;
};

// The first non-empty line of a message, trimmed; a placeholder when there is none.
std::string firstLine(const char* text) {
    std::string_view rest = text ? text : "";
    while (!rest.empty()) {
        std::size_t end = rest.find_first_of("\r\n");
        std::string_view line = rest.substr(0, end);
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front()))) line.remove_prefix(1);
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.remove_suffix(1);
        if (!line.empty()) return std::string(line);
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return "no description was given.";
}

std::string typeName(const std::exception& e) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status),
                                                     std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(typeid(e).name());
}

}  // namespace

struct BatchQueueManager::Impl : std::enable_shared_from_this<Impl> {
    mutable std::mutex mutex;
    std::condition_variable deliveryIdle;

    std::map<Uuid, ProcessingJob> activeJobs;
    std::vector<ExecutionReport> completedReports;
    int runningJobs = 0;
    bool isCancelled = false;
    std::set<Uuid> cancelledBeforeSubmission;

    std::vector<StatusListener> statusListeners;
    std::vector<LogListener> logListeners;
    std::vector<OutputListener> outputListeners;

    std::deque<Event> pending;
    bool delivering = false;

    // What the manager's jobs have written, so a later job does not replace an earlier job's
    // deliverable from another source.
    const std::shared_ptr<DeliverableRecord> deliverables = std::make_shared<DeliverableRecord>();

    // Queues an event; the caller holds `mutex`.
    void enqueueLocked(Event event) { pending.push_back(std::move(event)); }

    void enqueueLogLocked(const std::string& message, bool reportFailure = true) {
        Event event;
        event.line = "[" + timeOfDay() + "] " + message;
        event.reportFailure = reportFailure;
        enqueueLocked(std::move(event));
    }

    // Delivers queued events unless another thread already is; called without `mutex` held.
    void deliver() {
        std::unique_lock lock(mutex);
        if (delivering) return;
        delivering = true;
        deliveringOnThisThread = true;
        while (!pending.empty()) {
            Event event = std::move(pending.front());
            pending.pop_front();
            auto statusCopy = statusListeners;
            auto logCopy = logListeners;
            auto outputCopy = outputListeners;
            lock.unlock();
            std::vector<std::pair<std::string, bool>> failures;
            auto guarded = [&](auto&& call, const char* what) {
                try {
                    call();
                } catch (const std::exception& e) {
                    failures.emplace_back(fmt::format("The {} listener failed: {}", what, e.what()),
                                          event.kind != Event::Kind::log || event.reportFailure);
                } catch (...) {
                    failures.emplace_back(fmt::format("The {} listener failed with an unknown error.", what),
                                          event.kind != Event::Kind::log || event.reportFailure);
                }
            };
            switch (event.kind) {
                case Event::Kind::status:
                    for (auto& l : statusCopy)
                        guarded([&] { l(event.jobID, event.itemID, event.status, event.progress, event.errorMessage); },
                                "status");
                    break;
                case Event::Kind::log:
                    for (auto& l : logCopy) guarded([&] { l(event.line); }, "log");
                    break;
                case Event::Kind::output:
                    for (auto& l : outputCopy) guarded([&] { l(event.jobID, event.itemID, event.urls); }, "output");
                    break;
            }
            lock.lock();
            for (auto& [text, report] : failures)
                if (report) enqueueLogLocked(text, event.kind != Event::Kind::log);
        }
        delivering = false;
        deliveringOnThisThread = false;
        lock.unlock();
        deliveryIdle.notify_all();
    }

    // Waits until every queued event has reached the listeners (unless called from a listener).
    void drain() {
        deliver();
        if (deliveringOnThisThread) return;
        std::unique_lock lock(mutex);
        deliveryIdle.wait(lock, [&] { return !delivering && pending.empty(); });
    }

    // Sets status and progress; the caller holds `mutex`. Returns false for an unknown item.
    // The item of a job; `hint` is its expected position (checked), so workers avoid a search.
    BatchItem* findLocked(const Uuid& jobID, const Uuid& itemID, std::size_t hint) {
        auto job = activeJobs.find(jobID);
        if (job == activeJobs.end()) return nullptr;
        auto& items = job->second.items;
        if (hint < items.size() && items[hint].id == itemID) return &items[hint];
        auto item = std::find_if(items.begin(), items.end(), [&](const BatchItem& i) { return i.id == itemID; });
        return item == items.end() ? nullptr : &*item;
    }

    bool updateLocked(const Uuid& jobID, const Uuid& itemID, ProcessingStatus status, double progress,
                      const std::optional<std::optional<std::string>>& errorMessage = std::nullopt,
                      std::size_t hint = SIZE_MAX) {
        BatchItem* item = findLocked(jobID, itemID, hint);
        if (!item) return false;
        item->status = status;
        item->progress = std::clamp(progress, 0.0, 1.0);
        if (errorMessage) item->errorMessage = *errorMessage;
        if (isTerminal(status) && !item->completedAt) item->completedAt = std::chrono::system_clock::now();
        Event event;
        event.kind = Event::Kind::status;
        event.jobID = jobID;
        event.itemID = itemID;
        event.status = status;
        event.progress = item->progress;
        event.errorMessage = item->errorMessage;
        enqueueLocked(std::move(event));
        return true;
    }

    // A preset's progress report: ignored once the item has reached a terminal status.
    void progressFromPreset(const Uuid& jobID, const Uuid& itemID, std::size_t position, double fraction) {
        {
            std::lock_guard lock(mutex);
            BatchItem* item = findLocked(jobID, itemID, position);
            if (!item || item->status != ProcessingStatus::processing) return;
            if (!(fraction == fraction)) return;  // NaN
            updateLocked(jobID, itemID, ProcessingStatus::processing, fraction, std::nullopt, position);
        }
        deliver();
    }

    void logMessage(const std::string& message) {
        {
            std::lock_guard lock(mutex);
            enqueueLogLocked(message);
        }
        deliver();
    }

    // `position` is the item's place in the job, `number` and `total` what its name counts with.
    ItemOutcome runItem(const Uuid& jobID, const BatchItem& item, std::size_t position, int number, int total,
                        const BatchConfiguration& configuration, const BatchPreset& preset,
                        const std::shared_ptr<DeliverableRecord>& deliverables) {
        deliver();  // the processing status, set by the worker as it took the item

        std::weak_ptr<Impl> weak = weak_from_this();
        const Uuid itemID = item.id;
        ProcessingContext context{
            jobID,
            configuration,
            number,
            total,
            [weak, jobID, itemID, position](double fraction, const std::optional<std::string>&) {
                if (auto self = weak.lock()) self->progressFromPreset(jobID, itemID, position, fraction);
            },
            [weak](const std::string& line) {
                if (auto self = weak.lock()) self->logMessage(line);
            },
            deliverables,
        };

        const std::string fileName = item.sourceURL.filename().string();
        ItemOutcome outcome;
        std::optional<std::string> failure;
        std::optional<std::string> detail;
        try {
            outcome.outputs = preset.process(item, context);
            outcome.status = ProcessingStatus::completed;
        } catch (const BatchSkip& skip) {
            std::lock_guard lock(mutex);
            updateLocked(jobID, itemID, ProcessingStatus::skipped, 1.0, std::optional<std::string>(skip.reason), position);
            enqueueLogLocked("Skipped item " + fileName + ": " + skip.reason);
            outcome.status = ProcessingStatus::skipped;
        } catch (const Error& e) {
            failure = e.what();
        } catch (const std::exception& e) {
            // A library's text can run over many lines: the item shows the first one, the log
            // keeps the whole text and the exception's type.
            failure = "Unexpected error: " + firstLine(e.what());
            detail = fmt::format("Details of the error in {} ({}): {}", fileName, typeName(e), e.what());
        } catch (...) {
            failure = std::string("Unexpected error of an unknown kind.");
        }

        if (outcome.status == ProcessingStatus::completed) {
            std::lock_guard lock(mutex);
            updateLocked(jobID, itemID, ProcessingStatus::completed, 1.0, std::nullopt, position);
            Event event;
            event.kind = Event::Kind::output;
            event.jobID = jobID;
            event.itemID = itemID;
            event.urls = outcome.outputs;
            enqueueLocked(std::move(event));
        } else if (failure) {
            std::lock_guard lock(mutex);
            updateLocked(jobID, itemID, ProcessingStatus::failed, 1.0, failure, position);
            enqueueLogLocked("Error processing item " + fileName + ": " + *failure);
            if (detail) enqueueLogLocked(*detail);
            outcome.status = ProcessingStatus::failed;
            outcome.error = failure;
        }
        deliver();
        return outcome;
    }
};

BatchQueueManager::BatchQueueManager() : impl_(std::make_shared<Impl>()) {}

BatchQueueManager::~BatchQueueManager() = default;

void BatchQueueManager::addStatusListener(StatusListener listener) {
    std::lock_guard lock(impl_->mutex);
    impl_->statusListeners.push_back(std::move(listener));
}

void BatchQueueManager::addLogListener(LogListener listener) {
    std::lock_guard lock(impl_->mutex);
    impl_->logListeners.push_back(std::move(listener));
}

void BatchQueueManager::addOutputListener(OutputListener listener) {
    std::lock_guard lock(impl_->mutex);
    impl_->outputListeners.push_back(std::move(listener));
}

void BatchQueueManager::log(const std::string& message) { impl_->logMessage(message); }

void BatchQueueManager::cancel() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->isCancelled = true;
        impl_->enqueueLogLocked("Cancellation requested.");
    }
    impl_->deliver();
}

void BatchQueueManager::cancel(const Uuid& jobID) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->activeJobs.count(jobID)) impl_->isCancelled = true;
        else impl_->cancelledBeforeSubmission.insert(jobID);
        impl_->enqueueLogLocked("Cancellation requested.");
    }
    impl_->deliver();
}

void BatchQueueManager::updateItemStatus(const Uuid& jobID, const Uuid& itemID, ProcessingStatus status,
                                         double progress) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->updateLocked(jobID, itemID, status, progress);
    }
    impl_->deliver();
}

std::map<Uuid, ProcessingJob> BatchQueueManager::activeJobs() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->activeJobs;
}

std::vector<ExecutionReport> BatchQueueManager::completedReports() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->completedReports;
}

bool BatchQueueManager::hasWritten(const std::filesystem::path& file) const { return impl_->deliverables->holds(file); }

bool BatchQueueManager::isProcessing() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->runningJobs > 0;
}

ExecutionReport BatchQueueManager::submitAndStart(ProcessingJob job, std::shared_ptr<const BatchPreset> preset) {
    Impl& impl = *impl_;
    const auto started = std::chrono::steady_clock::now();
    const std::string presetName = preset ? preset->displayName() : std::string();
    for (auto& item : job.items) {
        item.status = ProcessingStatus::pending;
        item.progress = 0;
        item.errorMessage.reset();
        item.completedAt.reset();
    }
    const Uuid jobID = job.id;
    const BatchConfiguration configuration = job.configuration;
    const std::vector<BatchItem> items = job.items;
    const std::size_t total = items.size();
    std::vector<int> numbers(total);
    for (std::size_t i = 0; i < total; ++i) {
        const auto it = job.itemNumbers.find(items[i].id);
        numbers[i] = it != job.itemNumbers.end() ? it->second : static_cast<int>(i + 1);
    }
    const int numberedTotal = job.numberedTotal > 0 ? job.numberedTotal : static_cast<int>(total);
    // A decoded configuration keeps whatever value it held; the threads are bounded all the same.
    const std::size_t concurrency = std::min<std::size_t>(
        total, static_cast<std::size_t>(BatchConfiguration::clampConcurrency(configuration.maxConcurrentTasks)));
    {
        std::lock_guard lock(impl.mutex);
        impl.isCancelled = impl.cancelledBeforeSubmission.erase(jobID) > 0;
        impl.activeJobs.insert_or_assign(jobID, std::move(job));
        ++impl.runningJobs;
        impl.enqueueLogLocked("Starting batch job [" + jobID.toString().substr(0, 8) + "] for preset: " + presetName);
    }
    impl.deliver();

    std::error_code ec;
    std::filesystem::create_directories(configuration.outputDirectory, ec);
    if (ec)
        impl.logMessage("Could not create the output folder " + configuration.outputDirectory.string() + ": " +
                        ec.message());
    impl.logMessage(fmt::format("Discovered {} items. Max concurrency: {}", total, configuration.maxConcurrentTasks));

    std::vector<ItemOutcome> outcomes(total);
    const std::shared_ptr<DeliverableRecord> deliverables = impl.deliverables;
    std::size_t next = 0;  // guarded by impl.mutex
    bool cancelLogged = false;
    auto worker = [&] {
        for (;;) {
            std::size_t index;
            {
                // Taking an item and marking it processing happen under the lock that cancel()
                // takes, so no item starts once cancel() has returned.
                std::lock_guard lock(impl.mutex);
                if (next >= total) return;
                if (impl.isCancelled) {
                    if (!cancelLogged) {
                        cancelLogged = true;
                        impl.enqueueLogLocked("Batch cancelled by user. Waiting for running items to finish.");
                    }
                    break;
                }
                index = next++;
                if (preset)
                    impl.updateLocked(jobID, items[index].id, ProcessingStatus::processing, 0.1, std::nullopt, index);
            }
            if (preset) {
                outcomes[index] = impl.runItem(jobID, items[index], index, numbers[index], numberedTotal,
                                               configuration, *preset, deliverables);
            } else {
                std::lock_guard lock(impl.mutex);
                const std::string message = "No preset was given for this job.";
                impl.updateLocked(jobID, items[index].id, ProcessingStatus::failed, 1.0, message, index);
                outcomes[index] = {ProcessingStatus::failed, {}, message};
            }
        }
        impl.deliver();
    };
    {
        std::vector<std::jthread> workers;
        workers.reserve(concurrency > 0 ? concurrency - 1 : 0);
        for (std::size_t i = 1; i < concurrency; ++i) {
            try {
                workers.emplace_back(worker);
            } catch (const std::system_error& e) {
                // The calling thread is a worker too: run on the threads there are.
                impl.logMessage(fmt::format("Could not start more than {} worker threads: {}", i, e.what()));
                break;
            }
        }
        if (concurrency > 0) worker();
    }

    ExecutionReport report;
    report.id = Uuid();
    report.presetName = presetName;
    for (std::size_t i = 0; i < total; ++i) {
        const auto& outcome = outcomes[i];
        switch (outcome.status) {
            case ProcessingStatus::completed:
                ++report.successCount;
                report.bytesProcessed += items[i].fileSize;
                for (const auto& url : outcome.outputs) report.outputFiles.push_back(url.string());
                break;
            case ProcessingStatus::failed:
                ++report.failureCount;
                if (outcome.error) report.errors.push_back(*outcome.error);
                break;
            case ProcessingStatus::skipped: ++report.skippedCount; break;
            default: continue;
        }
        ++report.totalProcessed;
    }
    report.durationSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    report.timestamp = std::chrono::system_clock::now();
    {
        std::lock_guard lock(impl.mutex);
        if (auto it = impl.activeJobs.find(jobID); it != impl.activeJobs.end()) {
            report.presetID = it->second.presetID;
            it->second.finishedAt = report.timestamp;
        }
        impl.completedReports.push_back(report);
        --impl.runningJobs;
        impl.enqueueLogLocked(fmt::format(
            "Batch complete in {:.2f}s. Successes: {}, Failures: {}, Skipped: {}. Throughput: {:.2f} MB/s",
            report.durationSeconds, report.successCount, report.failureCount, report.skippedCount,
            report.throughputMegabytesPerSec()));
    }
    impl.drain();
    return report;
}

}  // namespace lw
