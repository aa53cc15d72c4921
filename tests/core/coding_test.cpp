#include "core/Coding.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "core/ExportablePresetBundle.h"

using namespace lw;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path = fs::temp_directory_path() / ("lw_coding_" + Uuid().toString());
    TempDir() { fs::create_directories(path); }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Every key of `json` removed in turn must fail with keyNotFound naming it.
template <typename Decode>
void expectEveryKeyRequired(const nlohmann::json& json, Decode decode) {
    for (auto it = json.begin(); it != json.end(); ++it) {
        auto copy = json;
        copy.erase(it.key());
        try {
            decode(copy);
            ADD_FAILURE() << "decoded without " << it.key();
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind, DecodingError::Kind::keyNotFound) << it.key();
            EXPECT_EQ(e.key, it.key());
            EXPECT_NE(std::string(e.what()).find(it.key()), std::string::npos);
        }
    }
}

ExportablePresetBundle sampleBundle() {
    return {"1.0", "com.example.photo", "Listing set", "Real Estate", "{address}_{index:02}",
            {{"portal", "zillow"}, {"namingPattern", "{name}"}, {"note", "ünïcode \"quoted\"\nline"}},
            dateFromSecondsSinceReferenceDate(789012345.5)};
}

}  // namespace

TEST(CodingTest, DatesCountFromTheReferenceDate) {
    EXPECT_DOUBLE_EQ(secondsSinceReferenceDate(Date(std::chrono::seconds(978307200))), 0.0);
    auto d = dateFromSecondsSinceReferenceDate(-12.25);
    EXPECT_DOUBLE_EQ(secondsSinceReferenceDate(d), -12.25);
}

TEST(CodingTest, ConfigurationRoundTripsWithoutTheClamp) {
    BatchConfiguration config("/tmp/out dir/é", false, "{name}-{date}", true, 1, true, false, {{"k", "v"}});
    config.maxConcurrentTasks = 10000;  // as a decoded file may hold
    auto json = encode(config);
    EXPECT_EQ(json["outputDirectory"], "file:///tmp/out%20dir/%C3%A9/");
    EXPECT_EQ(json.size(), 8u);
    auto back = decodeBatchConfiguration(nlohmann::json::parse(json.dump()));
    EXPECT_EQ(back, config);
    EXPECT_EQ(back.maxConcurrentTasks, 10000);
    expectEveryKeyRequired(json, decodeBatchConfiguration);

    auto zero = json;
    zero["maxConcurrentTasks"] = 0;
    EXPECT_EQ(decodeBatchConfiguration(zero).maxConcurrentTasks, 0);

    // A relative folder is the one under the current folder, not one under the root.
    for (const char* relative : {"out", "./exports/web", "../sibling"}) {
        config.outputDirectory = relative;
        auto decoded = decodeBatchConfiguration(encode(config)).outputDirectory;
        EXPECT_EQ(std::filesystem::weakly_canonical(decoded),
                  std::filesystem::weakly_canonical(std::filesystem::current_path() / relative))
            << relative << " -> " << decoded;
    }
}

TEST(CodingTest, ReportRoundTrips) {
    ExecutionReport report{Uuid(), "p.id", "P", 3, 1, 1, 1, 5'000'000'000, 2.5,
                           dateFromSecondsSinceReferenceDate(700000000.25), {"/o/a.jpg"}, {"bad file"}};
    auto json = encode(report);
    EXPECT_EQ(json["id"], report.id.toString());
    EXPECT_DOUBLE_EQ(json["timestamp"].get<double>(), 700000000.25);
    EXPECT_EQ(decodeExecutionReport(nlohmann::json::parse(json.dump())), report);
    expectEveryKeyRequired(json, decodeExecutionReport);
}

TEST(CodingTest, WrongTypesAreRefused) {
    auto config = encode(BatchConfiguration::defaultConfiguration());
    auto report = encode(ExecutionReport{Uuid(), "p", "P", 0, 0, 0, 0, 0, 0, Date{}, {}, {}});
    struct Case {
        const char* key;
        nlohmann::json value;
        bool isReport;
    };
    const Case cases[] = {{"createSubfolders", "true", false},
                          {"maxConcurrentTasks", 1.5, false},
                          {"maxConcurrentTasks", 1e12, false},
                          {"customSettings", nlohmann::json{{"a", 1}}, false},
                          {"outputDirectory", "https://example.com/", false},
                          {"outputDirectory", "relative/dir", false},
                          {"id", "not-a-uuid", true},
                          {"timestamp", "2024-01-01", true},
                          {"timestamp", 1e300, true},
                          {"outputFiles", nlohmann::json{1, 2}, true},
                          {"bytesProcessed", 18446744073709551615ull, true}};
    for (const auto& c : cases) {
        auto json = c.isReport ? report : config;
        json[c.key] = c.value;
        try {
            if (c.isReport)
                decodeExecutionReport(json);
            else
                decodeBatchConfiguration(json);
            ADD_FAILURE() << c.key << " = " << c.value.dump();
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind, DecodingError::Kind::typeMismatch) << c.key;
            EXPECT_EQ(e.key.rfind(c.key, 0), 0u) << e.key;  // "customSettings.a" names the entry
        }
    }
    EXPECT_THROW(decodeBatchConfiguration(nlohmann::json::array()), DecodingError);
}

TEST(PresetBundleTest, WritesPrettyJsonAndReadsItBack) {
    TempDir dir;
    auto file = dir.path / "Listing set.lwpreset";
    auto bundle = sampleBundle();
    bundle.write(file);
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\n  \"presetID\": \"com.example.photo\""), std::string::npos) << text;
    EXPECT_EQ(ExportablePresetBundle::read(file), bundle);
    // Nothing but the bundle is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
    expectEveryKeyRequired(bundle.toJson(), ExportablePresetBundle::fromJson);
}

TEST(PresetBundleTest, BadFilesGiveErrorsNamingTheFile) {
    TempDir dir;
    auto good = sampleBundle().toJson().dump(2);
    auto missingKey = sampleBundle().toJson();
    missingKey.erase("verticalName");
    struct Case {
        const char* name;
        std::optional<std::string> content;  // none: do not create
        BundleError::Kind kind;
        const char* detail;
    };
    const Case cases[] = {
        {"missing.json", std::nullopt, BundleError::Kind::unreadable, "No such file"},
        {"truncated.json", good.substr(0, good.size() / 2), BundleError::Kind::invalid, "not valid JSON"},
        {"text.json", std::string("hello"), BundleError::Kind::invalid, "not valid JSON"},
        {"empty.json", std::string(""), BundleError::Kind::invalid, "not valid JSON"},
        {"nokey.json", missingKey.dump(), BundleError::Kind::invalid, "verticalName"},
        {"array.json", std::string("[]"), BundleError::Kind::invalid, "object"},
    };
    for (const auto& c : cases) {
        auto file = dir.path / c.name;
        if (c.content) std::ofstream(file, std::ios::binary) << *c.content;
        try {
            ExportablePresetBundle::read(file);
            ADD_FAILURE() << c.name;
        } catch (const BundleError& e) {
            EXPECT_EQ(e.kind, c.kind) << c.name;
            EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.detail), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(ExportablePresetBundle::read(dir.path), BundleError);
}

// What is not a regular file, or is over the limit, is refused before a byte is read: a device
// would be read for ever and a pipe would block the open.
TEST(PresetBundleTest, RefusesWhatIsNotARegularFileAndOversizeFiles) {
    TempDir dir;
    const fs::path fifo = dir.path / "pipe.lwpreset";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path large = dir.path / "large.lwpreset";
    std::ofstream(large, std::ios::binary) << sampleBundle().toJson().dump(2);
    fs::resize_file(large, ExportablePresetBundle::kMaxFileBytes + 1);
    const fs::path linkToDevice = dir.path / "zero.lwpreset";
    fs::create_symlink("/dev/zero", linkToDevice);
    struct Case {
        fs::path file;
        BundleError::Kind kind;
        const char* detail;
    };
    const Case cases[] = {
        {"/dev/zero", BundleError::Kind::unreadable, "is a device, not a file"},
        {linkToDevice, BundleError::Kind::unreadable, "is a device, not a file"},
        {fifo, BundleError::Kind::unreadable, "is a named pipe, not a file"},
        {dir.path, BundleError::Kind::unreadable, "is a folder, not a file"},
        {large, BundleError::Kind::invalid, "too large to be a preset"},
    };
    for (const auto& c : cases) {
        try {
            ExportablePresetBundle::read(c.file);
            ADD_FAILURE() << c.file;
        } catch (const BundleError& e) {
            EXPECT_EQ(e.kind, c.kind) << c.file;
            EXPECT_EQ(e.file, c.file);
            EXPECT_NE(std::string(e.what()).find(c.file.string() + " "), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.detail), std::string::npos) << e.what();
        }
    }
}

TEST(PresetBundleTest, FailedWriteLeavesTheOldFile) {
    TempDir dir;
    auto file = dir.path / "keep.json";
    sampleBundle().write(file);
    auto blocked = dir.path / "no such folder" / "x.json";
    EXPECT_THROW(sampleBundle().write(blocked), BundleError);
    EXPECT_EQ(ExportablePresetBundle::read(file), sampleBundle());
}
