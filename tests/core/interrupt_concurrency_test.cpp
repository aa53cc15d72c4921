// SIGTERM at random moments of a concurrent run: no temporary file is left, and every item's
// deliverables are all in place or none.
//
// The test starts this same executable again as the run (the Workload test, which does nothing
// unless LW_INTERRUPT_OUT is set): worker threads write items of ten files each through
// StagedOutputs, half of them by our own writer and half by opening the temporary name as a
// library would, and commit them. The parent stops it after a random delay and inspects the folder.
#include "core/StagedOutputs.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace lw;
namespace fs = std::filesystem;

namespace {

constexpr int filesPerItem = 10;

std::string itemName(int item, int file) {
    char name[64];
    std::snprintf(name, sizeof name, "item%05d_%d.bin", item, file);
    return name;
}

[[noreturn]] void runWorkload(const fs::path& out, int readyFd) {
    std::atomic<int> next{0};
    const std::string bytes(8192, 'x');
    const auto work = [&] {
        for (;;) {
            const int k = next.fetch_add(1);
            const BatchItem item(Uuid(), out / ("source" + std::to_string(k) + ".png"), std::nullopt,
                                 ProcessingStatus::pending, 0, std::nullopt, StringMap{});
            const ProcessingContext context{Uuid(), BatchConfiguration(out, false, "{name}", false, 8, false, false, {}),
                                            k + 1, 0, {}, {}, nullptr};
            try {
                StagedOutputs outputs(item, context, {item.sourceURL});
                for (int f = 0; f < filesPerItem; ++f) {
                    AtomicFile& file = outputs.add(out / itemName(k, f));
                    if (f % 2 == 0) {
                        StagedOutputs::writeFile(file, std::string_view(bytes));
                    } else {
                        std::ofstream(file.tempPath(), std::ios::binary) << bytes;  // as a library saves by name
                    }
                }
                outputs.commit();
            } catch (const std::exception&) {
                // a refused write ends this item only
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back(work);
    while (next.load() < 8) std::this_thread::yield();
    const char c = 1;
    (void)!::write(readyFd, &c, 1);
    for (auto& t : threads) t.join();
    std::_Exit(0);
}

TEST(InterruptedRun, Workload) {
    const char* out = std::getenv("LW_INTERRUPT_OUT");
    if (!out) GTEST_SKIP() << "started by InterruptedRun.LeavesNoTemporaryAndNoPartialSet";
    runWorkload(out, std::atoi(std::getenv("LW_INTERRUPT_READY")));
}

struct Finding {
    std::vector<std::string> temporaries;
    std::map<int, int> partialSets;  // item -> files in place
    int items = 0;
};

Finding inspect(const fs::path& out) {
    Finding finding;
    std::map<int, int> counts;
    for (const auto& entry : fs::directory_iterator(out)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".partial-") != std::string::npos) {
            finding.temporaries.push_back(name + " (" + std::to_string(fs::file_size(entry.path())) + " bytes)");
            continue;
        }
        int item = 0, file = 0;
        if (std::sscanf(name.c_str(), "item%d_%d.bin", &item, &file) == 2) ++counts[item];
    }
    for (const auto& [item, count] : counts)
        if (count != filesPerItem) finding.partialSets[item] = count;
    finding.items = static_cast<int>(counts.size());
    return finding;
}

TEST(InterruptedRun, LeavesNoTemporaryAndNoPartialSet) {
    const fs::path base = fs::temp_directory_path() / ("lw_interrupt_" + Uuid().toString());
    const fs::path self = fs::read_symlink("/proc/self/exe");
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delayMicroseconds(0, 40000);
    const auto start = std::chrono::steady_clock::now();
    int runs = 0, bad = 0;
    std::string firstFault;
    while (runs < 60 && std::chrono::steady_clock::now() - start < std::chrono::seconds(40)) {
        const fs::path out = base / std::to_string(runs);
        fs::create_directories(out);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            ::setenv("LW_INTERRUPT_OUT", out.c_str(), 1);
            ::setenv("LW_INTERRUPT_READY", std::to_string(ready[1]).c_str(), 1);
            ::execl(self.c_str(), self.c_str(), "--gtest_filter=InterruptedRun.Workload", static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ::close(ready[1]);
        char c = 0;
        const bool started = ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
        if (started) std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        ::kill(child, SIGTERM);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(started) << "the run did not start (status " << status << ")";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
        const Finding finding = inspect(out);
        ++runs;
        if (!finding.temporaries.empty() || !finding.partialSets.empty()) {
            ++bad;
            if (firstFault.empty()) {
                firstFault = "run " + std::to_string(runs) + " (" + std::to_string(finding.items) + " items):";
                for (const auto& t : finding.temporaries) firstFault += " left " + t + ";";
                for (const auto& [item, count] : finding.partialSets)
                    firstFault += " item " + std::to_string(item) + " has " + std::to_string(count) + " of " +
                                  std::to_string(filesPerItem) + " files;";
            }
        }
        fs::remove_all(out);
    }
    fs::remove_all(base);
    EXPECT_EQ(bad, 0) << bad << " of " << runs << " interrupted runs left temporaries or partial sets; first: "
                      << firstFault;
    std::printf("%d interrupted runs\n", runs);
}

}  // namespace
