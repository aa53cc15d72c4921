#include "core/BatchQueueManager.h"
#include "core/StagedOutputs.h"
#include "platform/FileSafety.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

using namespace lw;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path = fs::temp_directory_path() / ("lw_staged_" + Uuid().toString());
    TempDir() { fs::create_directories(path); }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void spit(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

std::vector<std::string> names(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) out.push_back(e.path().lexically_relative(dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

BatchItem itemFor(const fs::path& source) {
    return BatchItem(Uuid(), source, std::nullopt, ProcessingStatus::pending, 0, std::nullopt, StringMap{});
}

ProcessingContext contextFor(const fs::path& out, std::shared_ptr<DeliverableRecord> record) {
    BatchConfiguration config(out, true, "{name}", false, 2, false, false, {});
    ProcessingContext context{Uuid(), config, 1, 2, {}, {}, std::move(record)};
    return context;
}

TEST(StagedOutputs, NothingIsVisibleUntilCommitAndAFailedItemLeavesNothing) {
    TempDir dir;
    const fs::path out = dir.path / "out";
    const BatchItem item = itemFor(dir.path / "a.txt");
    const auto context = contextFor(out, nullptr);
    {
        StagedOutputs outputs(item, context, {item.sourceURL});
        outputs.write(out / "Print" / "a.jpg", std::string_view("print"));
        outputs.write(out / "Web" / "a.jpg", std::string_view("web"));
        EXPECT_FALSE(fs::exists(out / "Print" / "a.jpg"));
    }  // dropped without commit: the item failed
    EXPECT_EQ(names(out), (std::vector<std::string>{"Print", "Web"}));

    StagedOutputs outputs(item, context, {item.sourceURL});
    outputs.write(out / "Print" / "a.jpg", std::string_view("print"));
    EXPECT_EQ(outputs.commit(), (std::vector<fs::path>{out / "Print" / "a.jpg"}));
    EXPECT_EQ(slurp(out / "Print" / "a.jpg"), "print");
}

// A rename that fails half-way puts back the files the set had already replaced.
TEST(StagedOutputs, AHalfCommittedSetRestoresWhatItReplaced) {
    TempDir dir;
    const BatchItem item = itemFor(dir.path / "in.png");
    const auto context = contextFor(dir.path, std::make_shared<DeliverableRecord>());
    spit(dir.path / "one.png", "old one");
    StagedOutputs outputs(item, context, {item.sourceURL});
    outputs.write(dir.path / "one.png", std::string_view("new one"));
    outputs.write(dir.path / "two.png", std::string_view("new two"));
    fs::create_directories(dir.path / "two.png");  // in the way by the time of the rename
    EXPECT_THROW(outputs.commit(), DestinationError);
    EXPECT_EQ(slurp(dir.path / "one.png"), "old one");
    EXPECT_EQ(names(dir.path), (std::vector<std::string>{"one.png", "two.png"}));
    // The failed item's claim is given up: another item may write those names.
    const BatchItem other = itemFor(dir.path / "other.png");
    StagedOutputs again(other, context, {other.sourceURL});
    again.write(dir.path / "one.png", std::string_view("other"));
    again.commit();
    EXPECT_EQ(slurp(dir.path / "one.png"), "other");
}

TEST(StagedOutputs, RefusesTheItemsOwnInputWhateverTheSpelling) {
    TempDir dir;
    fs::create_directories(dir.path / "sub");
    spit(dir.path / "house.jpg", "input");
    fs::create_symlink(dir.path / "house.jpg", dir.path / "sub" / "link.jpg");
    const BatchItem item = itemFor(dir.path / "house.jpg");
    const auto context = contextFor(dir.path, nullptr);
    for (const fs::path& destination :
         {dir.path / "." / "house.jpg", dir.path / "sub" / ".." / "house.jpg", dir.path / "sub" / "link.jpg"}) {
        StagedOutputs outputs(item, context, {item.sourceURL});
        try {
            outputs.write(destination, std::string_view("output"));
            ADD_FAILURE() << destination << " accepted";
        } catch (const DestinationError& e) {
            EXPECT_EQ(e.kind, DestinationError::Kind::replacesInput);
        }
    }
    EXPECT_EQ(slurp(dir.path / "house.jpg"), "input");
    EXPECT_EQ(names(dir.path), (std::vector<std::string>{"house.jpg", "sub", "sub/link.jpg"}));
}

// A preset that writes "{stem}.out" (or a fixed name) for every item.
class NamingPreset : public BatchPreset {
public:
    explicit NamingPreset(std::string fixed = {}) : fixed_(std::move(fixed)) {}
    std::string id() const override { return "com.example.naming"; }
    std::string displayName() const override { return "Naming"; }
    std::string verticalName() const override { return "Test"; }
    std::string description() const override { return ""; }
    std::string systemIconName() const override { return "gear"; }
    std::set<std::string> supportedExtensions() const override { return {"txt"}; }
    std::string defaultNamingPattern() const override { return "{name}"; }
    std::vector<fs::path> process(const BatchItem& item, const ProcessingContext& context) const override {
        StagedOutputs outputs(item, context, {item.sourceURL});
        const std::string name = fixed_.empty() ? item.originalFileName + ".out" : fixed_;
        outputs.write(context.configuration.outputDirectory / name, slurp(item.sourceURL));
        return outputs.commit();
    }

private:
    std::string fixed_;
};

// Two items of one job never silently write the same deliverable; files from before the job are
// still replaced.
TEST(StagedOutputs, TwoItemsOfOneJobNeverWriteTheSameDeliverable) {
    TempDir dir;
    const fs::path out = dir.path / "out";
    fs::create_directories(dir.path / "a");
    fs::create_directories(dir.path / "b");
    fs::create_directories(out);
    spit(dir.path / "a" / "wall.txt", "from a");
    spit(dir.path / "b" / "wall.txt", "from b");
    spit(dir.path / "c.txt", "from c");
    spit(out / "c.out", "before the job");

    std::vector<BatchItem> items;
    for (const char* source : {"a/wall.txt", "b/wall.txt", "c.txt"}) items.push_back(itemFor(dir.path / source));
    BatchConfiguration config(out, true, "{name}", false, 1, false, false, {});
    BatchQueueManager queue;
    const Uuid jobID;
    const ExecutionReport report = queue.submitAndStart(
        ProcessingJob(jobID, "com.example.naming", "Naming", items, config), std::make_shared<NamingPreset>());
    EXPECT_EQ(report.successCount, 2);
    EXPECT_EQ(report.failureCount, 1);
    EXPECT_EQ(slurp(out / "wall.out"), "from a");
    EXPECT_EQ(slurp(out / "c.out"), "from c");
    EXPECT_EQ(names(out), (std::vector<std::string>{"c.out", "wall.out"}));
    const auto job = queue.activeJobs().at(jobID);
    const BatchItem& second = job.items[1];
    EXPECT_EQ(second.status, ProcessingStatus::failed);
    ASSERT_TRUE(second.errorMessage);
    EXPECT_THAT(*second.errorMessage, HasSubstr("wall.out was already written in this job from " +
                                                (dir.path / "a" / "wall.txt").string()));

    // A second job starts with a fresh record: it replaces the first job's files.
    spit(dir.path / "a" / "wall.txt", "again");
    const ExecutionReport again = queue.submitAndStart(
        ProcessingJob(Uuid(), "com.example.naming", "Naming", {itemFor(dir.path / "a" / "wall.txt")}, config),
        std::make_shared<NamingPreset>());
    EXPECT_EQ(again.successCount, 1);
    EXPECT_EQ(slurp(out / "wall.out"), "again");
}

}  // namespace
