#include "core/BatchQueueManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sys/resource.h>
#include <thread>

using namespace lw;
using ::testing::Contains;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path = fs::temp_directory_path() / ("lw_queue_" + Uuid().toString());
    TempDir() { fs::create_directories(path); }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// A preset whose behaviour per item is a callback.
class ScriptedPreset : public BatchPreset {
public:
    using Script = std::function<std::vector<fs::path>(const BatchItem&, const ProcessingContext&)>;
    explicit ScriptedPreset(Script script) : script_(std::move(script)) {}
    std::string id() const override { return "com.example.scripted"; }
    std::string displayName() const override { return "Scripted"; }
    std::string verticalName() const override { return "Test"; }
    std::string description() const override { return ""; }
    std::string systemIconName() const override { return "gear"; }
    std::set<std::string> supportedExtensions() const override { return {"txt"}; }
    std::string defaultNamingPattern() const override { return "{name}"; }
    std::vector<fs::path> process(const BatchItem& item, const ProcessingContext& context) const override {
        return script_(item, context);
    }

private:
    Script script_;
};

ProcessingJob makeJob(const fs::path& out, const std::vector<std::string>& names, int concurrency) {
    std::vector<BatchItem> items;
    for (const auto& n : names)
        items.emplace_back(Uuid(), out.parent_path() / n, std::nullopt, ProcessingStatus::completed, 0.7,
                           std::string("stale"), StringMap{});
    BatchConfiguration config(out, true, "{name}", false, concurrency, false, true, {});
    return ProcessingJob(Uuid(), "com.example.scripted", "Scripted", std::move(items), config);
}

struct StatusEvent {
    Uuid job, item;
    ProcessingStatus status;
    double progress;
    std::optional<std::string> error;
};

// Records everything the listeners receive and checks that calls never overlap.
struct Recorder {
    std::mutex mutex;
    std::vector<StatusEvent> statuses;
    std::vector<std::string> lines;
    std::vector<std::pair<Uuid, std::vector<fs::path>>> outputs;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};

    void enter() {
        if (inside.fetch_add(1) != 0) overlapped = true;
    }
    void leave() { inside.fetch_sub(1); }

    void attach(BatchQueueManager& queue) {
        queue.addStatusListener([this](const Uuid& j, const Uuid& i, ProcessingStatus s, double p,
                                       const std::optional<std::string>& e) {
            enter();
            {
                std::lock_guard lock(mutex);
                statuses.push_back({j, i, s, p, e});
            }
            leave();
        });
        queue.addLogListener([this](const std::string& line) {
            enter();
            {
                std::lock_guard lock(mutex);
                lines.push_back(line);
            }
            leave();
        });
        queue.addOutputListener([this](const Uuid&, const Uuid& i, const std::vector<fs::path>& urls) {
            enter();
            {
                std::lock_guard lock(mutex);
                outputs.emplace_back(i, urls);
            }
            leave();
        });
    }
    // Log lines without their "[HH:mm:ss] " prefix.
    std::vector<std::string> messages() {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const auto& l : lines) out.push_back(l.size() > 11 ? l.substr(11) : l);
        return out;
    }
};

bool hasTimePrefix(const std::string& line) {
    if (line.size() < 11 || line[0] != '[' || line[3] != ':' || line[6] != ':' || line[9] != ']' || line[10] != ' ')
        return false;
    for (int i : {1, 2, 4, 5, 7, 8})
        if (!std::isdigit(static_cast<unsigned char>(line[i]))) return false;
    return true;
}

// Lets a test hold items inside process() until it opens the gate.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int waiting = 0;
    void pass() {
        std::unique_lock lock(mutex);
        ++waiting;
        cv.notify_all();
        cv.wait(lock, [&] { return open; });
    }
    bool awaitWaiting(int n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return waiting >= n; });
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        cv.notify_all();
    }
};

}  // namespace

TEST(BatchQueueTest, EmptyJobLogsAndReportsZero) {
    TempDir dir;
    BatchQueueManager queue;
    Recorder rec;
    rec.attach(queue);
    auto out = dir.path / "nested" / "out";
    auto job = makeJob(out, {}, 3);
    auto report = queue.submitAndStart(job, std::make_shared<ScriptedPreset>([](auto&, auto&) {
        return std::vector<fs::path>{};
    }));
    EXPECT_TRUE(fs::is_directory(out));
    EXPECT_EQ(report.totalProcessed, 0);
    EXPECT_EQ(report.successCount + report.failureCount + report.skippedCount, 0);
    EXPECT_EQ(report.presetID, "com.example.scripted");
    EXPECT_EQ(report.presetName, "Scripted");
    auto messages = rec.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "Starting batch job [" + job.id.toString().substr(0, 8) + "] for preset: Scripted");
    EXPECT_EQ(messages[1], "Discovered 0 items. Max concurrency: " + std::to_string(job.configuration.maxConcurrentTasks));
    EXPECT_THAT(messages[2], HasSubstr("Successes: 0, Failures: 0, Skipped: 0. Throughput: 0.00 MB/s"));
    EXPECT_EQ(messages[2].rfind("Batch complete in ", 0), 0u);
    for (const auto& l : rec.lines) EXPECT_TRUE(hasTimePrefix(l)) << l;
    EXPECT_FALSE(queue.isProcessing());
    EXPECT_EQ(queue.completedReports().size(), 1u);
}

TEST(BatchQueueTest, OutcomesAreToldApart) {
    TempDir dir;
    {
        std::ofstream(dir.path / "ok.txt") << "12345";
    }
    BatchQueueManager queue;
    Recorder rec;
    rec.attach(queue);
    auto job = makeJob(dir.path / "out", {"ok.txt", "skip.txt", "lw.txt", "std.txt", "int.txt"}, 2);
    auto preset = std::make_shared<ScriptedPreset>([](const BatchItem& item, const ProcessingContext& ctx) {
        const auto& n = item.originalFileName;
        if (n == "skip") throw BatchSkip("covered by ok.txt");
        if (n == "lw") throw Error("The file lw.txt is damaged.");
        if (n == "std") throw std::out_of_range("vector index\n  at frame 3");
        if (n == "int") throw 42;
        return std::vector<fs::path>{ctx.configuration.outputDirectory / "ok_1.jpg",
                                     ctx.configuration.outputDirectory / "ok_2.jpg"};
    });
    auto report = queue.submitAndStart(job, preset);

    EXPECT_EQ(report.totalProcessed, 5);
    EXPECT_EQ(report.successCount, 1);
    EXPECT_EQ(report.skippedCount, 1);
    EXPECT_EQ(report.failureCount, 3);
    EXPECT_EQ(report.bytesProcessed, 5);
    EXPECT_EQ(report.outputFiles,
              (std::vector<std::string>{(dir.path / "out" / "ok_1.jpg").string(), (dir.path / "out" / "ok_2.jpg").string()}));
    ASSERT_EQ(report.errors.size(), 3u);
    EXPECT_EQ(report.errors[0], "The file lw.txt is damaged.");
    // One line without the type's mangled name; the whole text and the type go to the log.
    EXPECT_EQ(report.errors[1], "Unexpected error: vector index");
    EXPECT_THAT(report.errors[2], HasSubstr("Unexpected error"));

    auto finished = queue.activeJobs().at(job.id);
    ASSERT_TRUE(finished.finishedAt.has_value());
    struct Expect {
        ProcessingStatus status;
        std::optional<std::string> message;
    };
    const Expect expected[] = {{ProcessingStatus::completed, std::nullopt},
                               {ProcessingStatus::skipped, "covered by ok.txt"},
                               {ProcessingStatus::failed, "The file lw.txt is damaged."},
                               {ProcessingStatus::failed, report.errors[1]},
                               {ProcessingStatus::failed, report.errors[2]}};
    for (std::size_t i = 0; i < 5; ++i) {
        const auto& item = finished.items[i];
        EXPECT_EQ(item.status, expected[i].status) << i;
        EXPECT_EQ(item.errorMessage, expected[i].message) << i;
        EXPECT_EQ(item.progress, 1.0);
        EXPECT_TRUE(item.completedAt.has_value());
    }

    auto messages = rec.messages();
    EXPECT_THAT(messages, Contains("Skipped item skip.txt: covered by ok.txt"));
    EXPECT_THAT(messages, Contains("Error processing item lw.txt: The file lw.txt is damaged."));
    EXPECT_THAT(messages, Contains("Details of the error in std.txt (std::out_of_range): vector index\n  at frame 3"));
    EXPECT_THAT(messages.back(), HasSubstr("Successes: 1, Failures: 3, Skipped: 1."));

    // Each item: processing at 0.1, then its terminal status with the error text.
    for (std::size_t i = 0; i < 5; ++i) {
        std::vector<StatusEvent> mine;
        for (const auto& e : rec.statuses)
            if (e.item == job.items[i].id) mine.push_back(e);
        ASSERT_EQ(mine.size(), 2u) << i;
        EXPECT_EQ(mine[0].job, job.id);
        EXPECT_EQ(mine[0].status, ProcessingStatus::processing);
        EXPECT_DOUBLE_EQ(mine[0].progress, 0.1);
        EXPECT_EQ(mine[1].status, expected[i].status);
        EXPECT_EQ(mine[1].error, expected[i].message);
    }
    ASSERT_EQ(rec.outputs.size(), 1u);
    EXPECT_EQ(rec.outputs[0].first, job.items[0].id);
    EXPECT_EQ(rec.outputs[0].second.size(), 2u);
    EXPECT_FALSE(rec.overlapped);
}

TEST(BatchQueueTest, ContextCarriesIndexTotalAndProgress) {
    TempDir dir;
    BatchQueueManager queue;
    Recorder rec;
    rec.attach(queue);
    auto job = makeJob(dir.path / "out", {"a.txt", "b.txt", "c.txt"}, 1);
    std::mutex m;
    std::vector<std::pair<int, int>> seen;
    std::function<void(double, const std::optional<std::string>&)> leaked;
    auto preset = std::make_shared<ScriptedPreset>([&](const BatchItem&, const ProcessingContext& ctx) {
        EXPECT_EQ(ctx.jobID, job.id);
        EXPECT_EQ(ctx.configuration, job.configuration);
        {
            std::lock_guard lock(m);
            seen.emplace_back(ctx.itemIndex, ctx.totalItems);
            leaked = ctx.onProgressUpdate;
        }
        ctx.onProgressUpdate(0.5, std::string("half"));
        ctx.onProgressUpdate(7.0, std::nullopt);  // clamped
        ctx.log("from preset");
        return std::vector<fs::path>{};
    });
    queue.submitAndStart(job, preset);
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, 3}, {2, 3}, {3, 3}}));
    std::vector<double> progress;
    for (const auto& e : rec.statuses)
        if (e.item == job.items[0].id) progress.push_back(e.progress);
    EXPECT_EQ(progress, (std::vector<double>{0.1, 0.5, 1.0, 1.0}));
    EXPECT_THAT(rec.messages(), Contains("from preset"));

    // A late progress report from a finished item changes nothing.
    auto before = rec.statuses.size();
    leaked(0.3, std::nullopt);
    EXPECT_EQ(rec.statuses.size(), before);
    EXPECT_EQ(queue.activeJobs().at(job.id).items[2].status, ProcessingStatus::completed);
}

TEST(BatchQueueTest, ConcurrencyIsBoundedAndFilled) {
    struct Case {
        int items;
        int maxConcurrent;
        int expectedPeak;
    };
    const Case cases[] = {{12, 3, 3}, {4, 8, 4}, {5, 1, 1}};
    for (const auto& c : cases) {
        TempDir dir;
        BatchQueueManager queue;
        std::vector<std::string> names;
        for (int i = 0; i < c.items; ++i) names.push_back(std::to_string(i) + ".txt");
        auto job = makeJob(dir.path / "out", names, c.maxConcurrent);
        std::mutex m;
        std::condition_variable cv;
        int inside = 0, peak = 0;
        auto preset = std::make_shared<ScriptedPreset>([&](const BatchItem&, const ProcessingContext&) {
            std::unique_lock lock(m);
            peak = std::max(peak, ++inside);
            cv.notify_all();
            // Hold each item until the expected number run together (or a timeout).
            cv.wait_for(lock, std::chrono::seconds(30), [&] { return peak >= c.expectedPeak; });
            --inside;
            return std::vector<fs::path>{};
        });
        auto report = queue.submitAndStart(job, preset);
        EXPECT_EQ(peak, c.expectedPeak) << c.items << "/" << c.maxConcurrent;
        EXPECT_EQ(report.successCount, c.items);
    }
}

TEST(BatchQueueTest, CancelLetsRunningItemsFinishAndLeavesTheRestPending) {
    TempDir dir;
    BatchQueueManager queue;
    Recorder rec;
    rec.attach(queue);
    auto job = makeJob(dir.path / "out", {"1.txt", "2.txt", "3.txt", "4.txt", "5.txt", "6.txt"}, 2);
    Gate gate;
    auto preset = std::make_shared<ScriptedPreset>([&](const BatchItem& item, const ProcessingContext&) {
        gate.pass();
        if (item.originalFileName == "2") throw BatchSkip("duplicate");
        return std::vector<fs::path>{};
    });
    ExecutionReport report;
    std::thread runner([&] { report = queue.submitAndStart(job, preset); });
    ASSERT_TRUE(gate.awaitWaiting(2));
    EXPECT_TRUE(queue.isProcessing());
    queue.cancel();
    gate.release();
    runner.join();

    EXPECT_EQ(report.totalProcessed, 2);
    EXPECT_EQ(report.successCount, 1);
    EXPECT_EQ(report.skippedCount, 1);
    auto finished = queue.activeJobs().at(job.id);
    EXPECT_EQ(finished.items[0].status, ProcessingStatus::completed);
    EXPECT_EQ(finished.items[1].status, ProcessingStatus::skipped);
    for (std::size_t i = 2; i < 6; ++i) {
        EXPECT_EQ(finished.items[i].status, ProcessingStatus::pending) << i;
        EXPECT_EQ(finished.items[i].progress, 0.0);
        EXPECT_FALSE(finished.items[i].errorMessage.has_value());  // reset at submission
    }
    auto messages = rec.messages();
    EXPECT_THAT(messages, Contains("Cancellation requested."));
    EXPECT_THAT(messages, Contains("Batch cancelled by user. Waiting for running items to finish."));

    // The next job starts with the flag cleared.
    auto again = queue.submitAndStart(makeJob(dir.path / "out", {"a.txt", "b.txt", "c.txt"}, 1),
                                      std::make_shared<ScriptedPreset>([](auto&, auto&) { return std::vector<fs::path>{}; }));
    EXPECT_EQ(again.successCount, 3);
    EXPECT_EQ(queue.completedReports().size(), 2u);
}

TEST(BatchQueueTest, AJobCancelledByIdBeforeItIsSubmittedStartsNoItem) {
    TempDir dir;
    BatchQueueManager queue;
    const auto preset = std::make_shared<ScriptedPreset>([](auto&, auto&) { return std::vector<fs::path>{}; });
    const auto cancelled = makeJob(dir.path / "out", {"1.txt", "2.txt"}, 1);
    queue.cancel(cancelled.id);
    const auto none = queue.submitAndStart(cancelled, preset);
    EXPECT_EQ(none.totalProcessed, 0);
    const auto jobs = queue.activeJobs();
    for (const auto& item : jobs.at(cancelled.id).items) EXPECT_EQ(item.status, ProcessingStatus::pending);

    // Only that job: another job, and the same items submitted again under a new id, run.
    const auto other = queue.submitAndStart(makeJob(dir.path / "out", {"1.txt", "2.txt"}, 1), preset);
    EXPECT_EQ(other.successCount, 2);
}

TEST(BatchQueueTest, ListenersMayCallBackAndMayThrow) {
    TempDir dir;
    BatchQueueManager queue;
    Recorder rec;
    std::atomic<int> callbacks{0};
    queue.addStatusListener([&](const Uuid& jobID, const Uuid&, ProcessingStatus s, double, auto&) {
        // Re-entering the manager from a listener must not deadlock.
        (void)queue.activeJobs().count(jobID);
        if (s == ProcessingStatus::completed && callbacks++ == 0) queue.log("listener saw a completion");
        throw std::runtime_error("status listener broke");
    });
    queue.addLogListener([](const std::string&) { throw 7; });
    queue.addOutputListener([](auto&, auto&, auto&) { throw std::runtime_error("output listener broke"); });
    rec.attach(queue);  // registered after the throwing ones: still called

    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) names.push_back(std::to_string(i) + ".txt");
    auto job = makeJob(dir.path / "out", names, 8);
    auto preset = std::make_shared<ScriptedPreset>([](const BatchItem&, const ProcessingContext& ctx) {
        for (int i = 1; i <= 5; ++i) ctx.onProgressUpdate(i / 5.0, std::nullopt);
        ctx.log("working");
        return std::vector<fs::path>{"x"};
    });
    auto report = queue.submitAndStart(job, preset);
    EXPECT_EQ(report.successCount, 40);
    EXPECT_EQ(rec.outputs.size(), 40u);
    EXPECT_FALSE(rec.overlapped);
    auto messages = rec.messages();
    EXPECT_THAT(messages, Contains("listener saw a completion"));
    EXPECT_THAT(messages, Contains("The status listener failed: status listener broke"));
    EXPECT_THAT(messages, Contains("The output listener failed: output listener broke"));
    EXPECT_THAT(messages, Contains("The log listener failed with an unknown error."));
    // The summary still reaches the listeners that work (followed by the log listener's failure).
    EXPECT_THAT(messages, Contains(HasSubstr("Batch complete in ")));
}

TEST(BatchQueueTest, UnwritableOutputFolderIsLoggedAndItemsStillRun) {
    TempDir dir;
    {
        std::ofstream(dir.path / "file") << "x";
    }
    BatchQueueManager queue;
    Recorder rec;
    rec.attach(queue);
    auto report = queue.submitAndStart(makeJob(dir.path / "file" / "out", {"a.txt"}, 1),
                                       std::make_shared<ScriptedPreset>([](auto&, auto&) { return std::vector<fs::path>{}; }));
    EXPECT_EQ(report.successCount, 1);
    bool logged = false;
    for (const auto& m : rec.messages()) logged |= m.rfind("Could not create the output folder", 0) == 0;
    EXPECT_TRUE(logged);
}

TEST(BatchQueueTest, UpdateItemStatusIgnoresUnknownIds) {
    BatchQueueManager queue;
    Recorder rec;
    rec.attach(queue);
    queue.updateItemStatus(Uuid(), Uuid(), ProcessingStatus::completed, 1.0);
    EXPECT_TRUE(rec.statuses.empty());
}

TEST(BatchQueueTest, NoItemStartsAfterCancelReturns) {
    // A listener cancels as soon as the first item starts; every processing status must come
    // before the cancellation line. Repeated, since the fault depends on thread timing.
    for (int round = 0; round < 20; ++round) {
        TempDir dir;
        BatchQueueManager queue;
        std::mutex m;
        std::vector<std::string> order;
        bool cancelled = false;
        queue.addStatusListener([&](const Uuid&, const Uuid&, ProcessingStatus s, double, auto&) {
            if (s != ProcessingStatus::processing) return;
            bool first;
            {
                std::lock_guard lock(m);
                order.push_back("start");
                first = !cancelled;
                cancelled = true;
            }
            if (first) queue.cancel();
        });
        queue.addLogListener([&](const std::string& line) {
            std::lock_guard lock(m);
            if (line.find("Cancellation requested.") != std::string::npos) order.push_back("cancel");
        });
        std::vector<std::string> names;
        for (int i = 0; i < 16; ++i) names.push_back(std::to_string(i) + ".txt");
        auto report = queue.submitAndStart(
            makeJob(dir.path / "out", names, BatchConfiguration::clampConcurrency(16)),
            std::make_shared<ScriptedPreset>([](auto&, auto&) { return std::vector<fs::path>{}; }));
        auto at = std::find(order.begin(), order.end(), "cancel");
        ASSERT_NE(at, order.end());
        EXPECT_EQ(std::count(at, order.end(), "start"), 0) << "round " << round;
        EXPECT_EQ(report.totalProcessed, std::count(order.begin(), order.end(), "start"));
    }
}

TEST(BatchQueueTest, DecodedConcurrencyAboveTheClampRunsAtMostTheClamp) {
    TempDir dir;
    const int limit = BatchConfiguration::clampConcurrency(1 << 20);
    std::vector<std::string> names;
    for (int i = 0; i < limit + 4; ++i) names.push_back(std::to_string(i) + ".txt");
    auto job = makeJob(dir.path / "out", names, 1);
    job.configuration.maxConcurrentTasks = 10000;  // as a decoded bundle may hold it
    std::mutex m;
    std::condition_variable cv;
    int inside = 0, peak = 0;
    auto preset = std::make_shared<ScriptedPreset>([&](const BatchItem&, const ProcessingContext&) {
        std::unique_lock lock(m);
        peak = std::max(peak, ++inside);
        cv.notify_all();
        // Hold every slot until the clamp has been reached (or passed), however slowly the
        // threads start; an underfilled queue fails on the peak after the timeout.
        cv.wait_for(lock, std::chrono::seconds(30), [&] { return peak >= limit; });
        --inside;
        return std::vector<fs::path>{};
    });
    BatchQueueManager queue;
    Recorder rec;
    rec.attach(queue);
    auto report = queue.submitAndStart(job, preset);
    EXPECT_EQ(report.successCount, limit + 4);
    EXPECT_EQ(peak, limit);
    EXPECT_THAT(rec.messages(), Contains("Discovered " + std::to_string(limit + 4) + " items. Max concurrency: 10000"));
    EXPECT_EQ(queue.activeJobs().at(job.id).configuration.maxConcurrentTasks, 10000);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LW_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LW_SANITIZED 1
#endif
#endif

TEST(BatchQueueDeathTest, ThreadsThatCannotStartLeaveTheQueueRunnable) {
#ifdef LW_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a child whose address space leaves room for only a few thread stacks, a job asking for
    // many threads still runs every item and leaves the manager idle.
    EXPECT_EXIT(
        {
            TempDir dir;
            BatchQueueManager queue;
            std::vector<std::string> names;
            const int limit = BatchConfiguration::clampConcurrency(1 << 20);
            for (int i = 0; i < limit; ++i) names.push_back(std::to_string(i) + ".txt");
            auto job = makeJob(dir.path / "out", names, limit);
            auto preset = std::make_shared<ScriptedPreset>([](auto&, auto&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return std::vector<fs::path>{};
            });
            long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            rlimit limitAs{};
            limitAs.rlim_cur = limitAs.rlim_max = static_cast<rlim_t>(pages) * 4096 + (24u << 20);
            if (setrlimit(RLIMIT_AS, &limitAs) != 0) std::_Exit(3);
            ExecutionReport report = queue.submitAndStart(job, preset);
            std::_Exit(report.successCount == limit && !queue.isProcessing() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
#endif
}
