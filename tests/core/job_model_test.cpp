#include "core/JobModel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <thread>

using namespace lw;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() / ("lw_jobmodel_" + Uuid().toString());
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path write(const std::string& name, std::size_t bytes) const {
        fs::path p = path / name;
        std::ofstream(p, std::ios::binary) << std::string(bytes, 'x');
        return p;
    }
};

BatchItem makeItem(const fs::path& source) {
    return BatchItem(Uuid(), source, std::nullopt, ProcessingStatus::pending, 0, std::nullopt, {});
}

class FixedPreset : public BatchPreset {
public:
    explicit FixedPreset(std::set<std::string> exts) : exts_(std::move(exts)) {}
    std::string id() const override { return "com.example.fixed"; }
    std::string displayName() const override { return "Fixed"; }
    std::string verticalName() const override { return "Test"; }
    std::string description() const override { return ""; }
    std::string systemIconName() const override { return "gear"; }
    std::set<std::string> supportedExtensions() const override { return exts_; }
    std::string defaultNamingPattern() const override { return "{name}"; }
    std::vector<fs::path> process(const BatchItem&, const ProcessingContext&) const override { return {}; }

private:
    std::set<std::string> exts_;
};

int processors() { return static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN)); }

}  // namespace

TEST(ProcessingStatusTest, RawValuesAndTerminality) {
    struct Case {
        ProcessingStatus status;
        const char* raw;
        bool terminal;
    };
    const Case cases[] = {{ProcessingStatus::pending, "Pending", false},
                          {ProcessingStatus::processing, "Processing", false},
                          {ProcessingStatus::completed, "Completed", true},
                          {ProcessingStatus::failed, "Failed", true},
                          {ProcessingStatus::skipped, "Skipped", true},
                          {ProcessingStatus::cancelled, "Cancelled", true}};
    ASSERT_EQ(allProcessingStatuses().size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(allProcessingStatuses()[i], c.status);
        EXPECT_EQ(rawValue(c.status), c.raw);
        EXPECT_EQ(displayName(c.status), c.raw);
        EXPECT_EQ(isTerminal(c.status), c.terminal) << c.raw;
        EXPECT_EQ(processingStatusFromRawValue(c.raw), c.status);
    }
    for (const char* bad : {"pending", "PENDING", "", "Done", "Pending "})
        EXPECT_FALSE(processingStatusFromRawValue(bad).has_value()) << bad;
}

TEST(BatchItemTest, DerivesNameExtensionAndSize) {
    TempDir dir;
    struct Case {
        std::string file;
        std::string name;
        std::string ext;
    };
    const Case cases[] = {{"IMG_0001.JPG", "IMG_0001", "jpg"},
                          {"archive.tar.GZ", "archive.tar", "gz"},
                          {"README", "README", ""},
                          {"two words é.Png", "two words é", "png"}};
    for (const auto& c : cases) {
        auto path = dir.write(c.file, 1234);
        auto item = makeItem(path);
        EXPECT_EQ(item.originalFileName, c.name) << c.file;
        EXPECT_EQ(item.fileExtension, c.ext) << c.file;
        EXPECT_EQ(item.fileSize, 1234) << c.file;
        EXPECT_FALSE(item.completedAt.has_value());
        EXPECT_FALSE(item.destinationURL.has_value());
    }
}

TEST(BatchItemTest, MissingOrUnsizableSourceHasZeroSize) {
    TempDir dir;
    EXPECT_EQ(makeItem(dir.path / "missing.wav").fileSize, 0);
    auto item = makeItem(dir.path);  // a folder has no file size
    EXPECT_EQ(item.fileSize, 0);
}

TEST(BatchItemTest, EqualityCoversMutableFields) {
    TempDir dir;
    auto a = makeItem(dir.write("a.png", 1));
    auto b = a;
    EXPECT_EQ(a, b);
    b.metadata["k"] = "v";
    EXPECT_NE(a, b);
    b = a;
    b.progress = 0.5;
    EXPECT_NE(a, b);
}

TEST(BatchItemTest, FormattedFileSizeUsesDecimalUnits) {
    struct Case {
        std::int64_t bytes;
        const char* text;
    };
    const Case cases[] = {{0, "Zero KB"},        {1, "1 byte"},           {999, "999 bytes"},
                          {1000, "1 KB"},        {1499, "1 KB"},          {1500, "2 KB"},
                          {999'499, "999 KB"},   {999'999, "1 MB"},       {1'200'000, "1.2 MB"},
                          {1'000'000, "1 MB"},   {3'400'000'000, "3.4 GB"}, {3'456'000'000, "3.46 GB"},
                          {2'000'000'000'000, "2 TB"}};
    TempDir dir;
    auto item = makeItem(dir.path / "x");
    for (const auto& c : cases) {
        item.fileSize = c.bytes;
        EXPECT_EQ(item.formattedFileSize(), c.text) << c.bytes;
    }
}

TEST(BatchPresetTest, DefaultCanProcessMatchesLowerCasedExtension) {
    TempDir dir;
    FixedPreset photos({"jpg", "png"});
    EXPECT_TRUE(photos.canProcess(makeItem(dir.path / "a.JPG")));
    EXPECT_FALSE(photos.canProcess(makeItem(dir.path / "a.tif")));
    EXPECT_FALSE(photos.canProcess(makeItem(dir.path / "noext")));
    FixedPreset anything({""});
    EXPECT_TRUE(anything.canProcess(makeItem(dir.path / "noext")));
}

TEST(BatchConfigurationTest, ClampsConcurrency) {
    const int n = processors();
    struct Case {
        int requested;
        int stored;
    };
    const Case cases[] = {{0, 1}, {-5, 1}, {1, 1}, {n, n}, {2 * n, 2 * n}, {2 * n + 1, 2 * n}, {1 << 30, 2 * n}};
    for (const auto& c : cases) {
        BatchConfiguration config("/tmp/out", true, "{name}", false, c.requested, false, true, {});
        EXPECT_EQ(config.maxConcurrentTasks, c.stored) << c.requested;
    }
}

TEST(BatchConfigurationTest, DefaultsAreFreshEachCall) {
    auto config = BatchConfiguration::defaultConfiguration();
    EXPECT_EQ(config.outputDirectory.filename(), "BatchOutput");
    EXPECT_TRUE(config.createSubfolders);
    EXPECT_EQ(config.namingPattern, "{name}_{index:02}");
    EXPECT_FALSE(config.overwriteExisting);
    EXPECT_EQ(config.maxConcurrentTasks, std::max(1, processors()));
    EXPECT_FALSE(config.deleteSourceAfterSuccess);
    EXPECT_TRUE(config.notifyOnCompletion);
    EXPECT_TRUE(config.customSettings.empty());
    config.namingPattern = "changed";
    EXPECT_EQ(BatchConfiguration::defaultConfiguration().namingPattern, "{name}_{index:02}");
}

TEST(ProcessingJobTest, DerivedCountsAndProgress) {
    TempDir dir;
    auto config = BatchConfiguration::defaultConfiguration();
    ProcessingJob empty(Uuid(), "p", "P", {}, config);
    EXPECT_EQ(empty.totalItems(), 0u);
    EXPECT_EQ(empty.overallProgress(), 0.0);
    EXPECT_FALSE(empty.finishedAt.has_value());

    std::vector<BatchItem> items;
    for (int i = 0; i < 4; ++i) items.push_back(makeItem(dir.path / ("f" + std::to_string(i))));
    items[0].status = ProcessingStatus::completed;
    items[0].progress = 1;
    items[1].status = ProcessingStatus::failed;
    items[1].progress = 1;
    items[2].status = ProcessingStatus::skipped;
    items[2].progress = 0.5;
    ProcessingJob job(Uuid(), "p", "P", items, config);
    EXPECT_EQ(job.totalItems(), 4u);
    EXPECT_EQ(job.completedItemsCount(), 1u);
    EXPECT_EQ(job.failedItemsCount(), 1u);
    EXPECT_DOUBLE_EQ(job.overallProgress(), 2.5 / 4);
}

TEST(ExecutionReportTest, Throughput) {
    ExecutionReport report{Uuid(), "p", "P", 1, 1, 0, 0, 2 * 1048576, 0.0, std::chrono::system_clock::now(), {}, {}};
    EXPECT_EQ(report.throughputMegabytesPerSec(), 0.0);
    report.durationSeconds = 4;
    EXPECT_DOUBLE_EQ(report.throughputMegabytesPerSec(), 0.5);
}
