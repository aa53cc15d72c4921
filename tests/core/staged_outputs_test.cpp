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

// Two items of one job never silently write the same deliverable; files from before the queue
// manager's first job are still replaced.
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

    // A later job of the same queue manager re-exports the same source over its own earlier file.
    spit(dir.path / "a" / "wall.txt", "again");
    const ExecutionReport again = queue.submitAndStart(
        ProcessingJob(Uuid(), "com.example.naming", "Naming", {itemFor(dir.path / "a" / "wall.txt")}, config),
        std::make_shared<NamingPreset>());
    EXPECT_EQ(again.successCount, 1);
    EXPECT_EQ(slurp(out / "wall.out"), "again");
}

// Numbers every deliverable by the item's place in its job, as "{index:02}" does.
class IndexPreset : public NamingPreset {
public:
    std::vector<fs::path> process(const BatchItem& item, const ProcessingContext& context) const override {
        StagedOutputs outputs(item, context, {item.sourceURL});
        const std::string name = "Listing_0" + std::to_string(context.itemIndex) + ".out";
        outputs.write(context.configuration.outputDirectory / name, slurp(item.sourceURL));
        return outputs.commit();
    }
};

// Numbering starts again in every job, so a second batch (or the rest of a cancelled one) meets
// the names of the first: it never replaces the first job's files from other sources. The same
// source may write its own file again, and a file the user has removed is free.
TEST(StagedOutputs, ALaterJobNeverReplacesAnEarlierJobsDeliverableFromAnotherSource) {
    TempDir dir;
    const fs::path out = dir.path / "out";
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) spit(dir.path / name, name);
    BatchConfiguration config(out, true, "{name}", false, 1, false, false, {});
    BatchQueueManager queue;
    const auto run = [&](const std::vector<const char*>& sources) {
        std::vector<BatchItem> items;
        for (const char* source : sources) items.push_back(itemFor(dir.path / source));
        const Uuid jobID;
        queue.submitAndStart(ProcessingJob(jobID, "com.example.naming", "Naming", items, config),
                             std::make_shared<IndexPreset>());
        return queue.activeJobs().at(jobID).items;
    };

    run({"a.txt", "b.txt"});
    const auto second = run({"c.txt", "a.txt"});
    // c.txt would take Listing_01 from a.txt; a.txt as the second item writes Listing_02, which
    // b.txt wrote.
    for (const BatchItem& item : second) {
        EXPECT_EQ(item.status, ProcessingStatus::failed) << item.sourceURL;
        ASSERT_TRUE(item.errorMessage);
    }
    EXPECT_THAT(*second[0].errorMessage,
                HasSubstr("Listing_01.out was already written in an earlier job from " + (dir.path / "a.txt").string() +
                          "; c.txt would replace it."));
    EXPECT_THAT(*second[1].errorMessage, HasSubstr("from " + (dir.path / "b.txt").string()));
    EXPECT_EQ(slurp(out / "Listing_01.out"), "a.txt");
    EXPECT_EQ(slurp(out / "Listing_02.out"), "b.txt");

    // The same source again: it replaces its own file, and keeps it from other sources.
    spit(dir.path / "a.txt", "a again");
    EXPECT_EQ(run({"a.txt"})[0].status, ProcessingStatus::completed);
    EXPECT_EQ(slurp(out / "Listing_01.out"), "a again");
    EXPECT_EQ(run({"d.txt"})[0].status, ProcessingStatus::failed);

    // A file removed since is no one's any more.
    fs::remove(out / "Listing_01.out");
    EXPECT_EQ(run({"d.txt"})[0].status, ProcessingStatus::completed);
    EXPECT_EQ(slurp(out / "Listing_01.out"), "d.txt");
    EXPECT_EQ(names(out), (std::vector<std::string>{"Listing_01.out", "Listing_02.out"}));

    // A re-export that fails gives the file back to the earlier job of its source.
    DeliverableRecord record;
    const BatchItem a = itemFor(dir.path / "a.txt"), again = itemFor(dir.path / "a.txt"), d = itemFor(dir.path / "d.txt");
    const fs::path file = out / "Listing_02.out";
    const Uuid firstJob, secondJob, thirdJob;
    record.claim({file}, a, firstJob);
    record.claim({file}, again, secondJob);
    record.release({file}, again, secondJob);
    EXPECT_THROW(record.claim({file}, d, thirdJob), OutputError);
    EXPECT_NO_THROW(record.check(file, again, thirdJob));
}

// Replacing a file that was there before the queue manager's first job is logged, one line per
// item naming what it replaced; a re-export of the same source's own file is not.
TEST(StagedOutputs, ReplacingAFileFromBeforeTheRunIsLogged) {
    struct Case {
        const char* name;
        std::vector<std::string> before;  // files there before the run
        bool record;                       // a queue manager's record (else an item outside a job)
        std::vector<std::string> expected; // log lines of the last export
    };
    const std::vector<Case> cases{
        {"nothing there", {}, true, {}},
        {"one file there", {"Print/house.jpg"}, true, {"house.png: replaced Print/house.jpg, which was there before this run"}},
        {"both files there",
         {"Print/house.jpg", "Web/house.jpg"},
         true,
         {"house.png: replaced Print/house.jpg and Web/house.jpg, which were there before this run"}},
        {"outside a job", {"Web/house.jpg"}, false, {"house.png: replaced Web/house.jpg, which was there before this run"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path out = dir.path / "out";
        fs::create_directories(out / "Print");
        fs::create_directories(out / "Web");
        for (const auto& name : c.before) spit(out / name, "first shoot");
        const BatchItem item = itemFor(dir.path / "house.png");
        auto context = contextFor(out, c.record ? std::make_shared<DeliverableRecord>() : nullptr);
        std::vector<std::string> lines;
        context.log = [&](const std::string& line) { lines.push_back(line); };
        StagedOutputs outputs(item, context, {item.sourceURL});
        outputs.write(out / "Print" / "house.jpg", std::string_view("second shoot print"));
        outputs.write(out / "Web" / "house.jpg", std::string_view("second shoot web"));
        outputs.commit();
        EXPECT_EQ(lines, c.expected);
        EXPECT_EQ(slurp(out / "Print" / "house.jpg"), "second shoot print");
        EXPECT_EQ(slurp(out / "Web" / "house.jpg"), "second shoot web");

        if (!c.record) continue;
        // The same source exported again in a later job of the same manager replaces its own file.
        lines.clear();
        auto later = contextFor(out, context.deliverables);
        later.log = context.log;
        StagedOutputs again(item, later, {item.sourceURL});
        again.write(out / "Print" / "house.jpg", std::string_view("third"));
        again.commit();
        EXPECT_TRUE(lines.empty()) << lines.front();
        EXPECT_EQ(slurp(out / "Print" / "house.jpg"), "third");
    }
}

}  // namespace
