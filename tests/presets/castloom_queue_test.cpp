#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <set>

#include "../audio/AudioTestUtil.h"
#include "core/BatchQueueManager.h"
#include "presets/CastloomPreset.h"

namespace lw {
namespace {

namespace fs = std::filesystem;

void writeEpisode(const fs::path& path, double seconds, double frequency) {
    const double rate = 22050;
    test::writeWav(path, rate, 1, static_cast<std::size_t>(seconds * rate), [&](std::size_t i, int) {
        const double t = static_cast<double>(i) / rate;
        return static_cast<float>((std::fmod(t, 0.6) < 0.4 ? 0.2 : 0.001) * std::sin(2 * M_PI * frequency * t));
    });
}

// Episodes through the queue, two at once: progress and log lines of the export reach the
// listeners, one bad file fails alone, and an item whose name another item of the job already
// used fails instead of overwriting that item's master.
TEST(CastloomQueueConcurrencyTest, BatchOfEpisodes) {
    const fs::path root = test::makeTempDir("castloom-queue");
    fs::create_directories(root / "a");
    fs::create_directories(root / "b");
    writeEpisode(root / "a" / "ep.wav", 3, 220);
    writeEpisode(root / "b" / "ep.wav", 3, 330);
    writeEpisode(root / "a" / "other.wav", 3, 440);
    std::ofstream(root / "a" / "broken.mp3") << "not audio";

    auto preset = std::make_shared<CastloomPreset>();
    preset->generateRSSMaster = false;
    preset->generateTranscripts = false;
    preset->generateAudiogram = false;
    preset->cleanup = CleanupOptions::none();

    std::vector<BatchItem> items;
    for (const char* name : {"a/ep.wav", "b/ep.wav", "a/other.wav", "a/broken.mp3"})
        items.emplace_back(Uuid::random(), root / name, std::nullopt, ProcessingStatus::pending, 0.0, std::nullopt,
                           StringMap{});
    BatchConfiguration configuration(root / "out", true, "{title}", false, 2, false, false, {});
    ProcessingJob job(Uuid::random(), preset->id(), preset->displayName(), items, configuration);

    std::mutex mutex;
    std::vector<std::string> log;
    std::map<Uuid, std::string> errors;
    std::map<Uuid, std::vector<fs::path>> outputs;
    std::set<std::string> messages;
    BatchQueueManager manager;
    manager.addLogListener([&](const std::string& line) {
        std::lock_guard lock(mutex);
        log.push_back(line);
    });
    manager.addStatusListener([&](const Uuid&, const Uuid& item, ProcessingStatus status, double,
                                  const std::optional<std::string>& error) {
        std::lock_guard lock(mutex);
        if (status == ProcessingStatus::failed && error) errors[item] = *error;
    });
    manager.addOutputListener([&](const Uuid&, const Uuid& item, const std::vector<fs::path>& files) {
        std::lock_guard lock(mutex);
        outputs[item] = files;
    });
    const ExecutionReport report = manager.submitAndStart(std::move(job), preset);

    EXPECT_EQ(report.successCount, 2);
    EXPECT_EQ(report.failureCount, 2);
    ASSERT_TRUE(errors.count(items[3].id));
    EXPECT_NE(errors[items[3].id].find("broken.mp3"), std::string::npos) << errors[items[3].id];
    // Exactly one of the two "ep" episodes wrote ep_Master; the other was refused.
    const bool firstWon = outputs.count(items[0].id) > 0;
    EXPECT_NE(firstWon, outputs.count(items[1].id) > 0);
    const auto& refused = errors[items[firstWon ? 1 : 0].id];
    EXPECT_NE(refused.find("ep_Master_-16LUFS.wav was already written in this job"), std::string::npos) << refused;
    EXPECT_EQ(outputs[items[2].id], std::vector<fs::path>{fs::absolute(root / "out" / "other_Master_-16LUFS.wav")});

    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(root / "out")) names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"ep_Master_-16LUFS.wav", "other_Master_-16LUFS.wav"}));
    const bool exportLogged = std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.find("] other.wav: ") != std::string::npos && line.find(" LUFS -> -16.0 LUFS") != std::string::npos;
    });
    EXPECT_TRUE(exportLogged);
    fs::remove_all(root);
}

// An episode's master replacing a file from before the queue manager's first job says so in the
// log; exporting the same episode again in a later job of that manager does not.
TEST(CastloomQueueConcurrencyTest, ReplacingAFileFromBeforeTheRunIsLogged) {
    const fs::path root = test::makeTempDir("castloom-replace");
    writeEpisode(root / "other.wav", 2, 440);
    fs::create_directories(root / "out");
    const fs::path master = root / "out" / "other_Master_-16LUFS.wav";
    std::ofstream(master) << "an older export";

    auto preset = std::make_shared<CastloomPreset>();
    preset->generateRSSMaster = false;
    preset->generateTranscripts = false;
    preset->generateAudiogram = false;
    preset->cleanup = CleanupOptions::none();
    const auto replacedLines = [&](BatchQueueManager& manager) {
        std::mutex mutex;
        std::vector<std::string> lines;
        manager.addLogListener([&](const std::string& line) {
            std::lock_guard lock(mutex);
            if (line.find("replaced") != std::string::npos) lines.push_back(line.substr(line.find("] ") + 2));
        });
        BatchConfiguration configuration(root / "out", true, "{title}", false, 2, false, false, {});
        const std::vector<BatchItem> items{BatchItem(Uuid::random(), root / "other.wav", std::nullopt,
                                                     ProcessingStatus::pending, 0.0, std::nullopt, StringMap{})};
        const auto report =
            manager.submitAndStart(ProcessingJob(Uuid::random(), preset->id(), preset->displayName(), items, configuration), preset);
        EXPECT_EQ(report.successCount, 1);
        std::ifstream in(master, std::ios::binary);
        char riff[4] = {};
        in.read(riff, 4);
        EXPECT_EQ(std::string(riff, 4), "RIFF");
        return lines;
    };
    const std::vector<std::string> once{"other.wav: replaced other_Master_-16LUFS.wav, which was there before this run"};
    {
        BatchQueueManager manager;
        EXPECT_EQ(replacedLines(manager), once);
        EXPECT_EQ(replacedLines(manager), std::vector<std::string>{});  // its own file from the first job
    }
    BatchQueueManager restarted;  // a new window: the file is from before its run
    EXPECT_EQ(replacedLines(restarted), once);
    fs::remove_all(root);
}

}  // namespace
}  // namespace lw
