#include "core/FileIngest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include <fstream>

#include "platform/Uuid.h"

using namespace lw;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path = fs::temp_directory_path() / ("lw_ingest_" + Uuid().toString());
    TempDir() { fs::create_directories(path); }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path / "locked", fs::perms::owner_all, ec);
        fs::remove_all(path, ec);
    }
    fs::path touch(const fs::path& relative) const {
        auto p = path / relative;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << "x";
        return p;
    }
};

std::vector<std::string> relativeNames(const std::vector<fs::path>& paths, const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& p : paths) out.push_back(p.lexically_relative(root).string());
    return out;
}

}  // namespace

TEST(FileIngestTest, WalksFoldersAndFiltersCandidates) {
    TempDir dir;
    for (const char* name : {"shoot/IMG10.JPG", "shoot/img2.jpg", "shoot/img1.png", "shoot/notes.txt", "shoot/.hidden.jpg",
                             "shoot/.cache/inner.jpg", "shoot/deep/er/a b.jpg", "shoot/deep/ünï.jpg",
                             "shoot/line\nbreak.jpg", "shoot/noext", "Another.jpg"})
        dir.touch(name);
    fs::create_directories(dir.path / "shoot" / "folder.jpg");  // a folder named like a photo
    fs::create_symlink(dir.path / "shoot", dir.path / "shoot" / "deep" / "loop");  // link loop
    fs::create_symlink(dir.path / "Another.jpg", dir.path / "shoot" / "link.jpg");
    fs::create_symlink(dir.path / "gone.jpg", dir.path / "shoot" / "dangling.jpg");

    auto found = FileIngest::expand({dir.path / "shoot", dir.path / "Another.jpg", dir.path / "missing",
                                     dir.path / "shoot" / "img2.jpg", dir.path / "shoot" / "." / "deep" / ".." / "img2.jpg"},
                                    {"jpg", "png"});
    EXPECT_EQ(relativeNames(found, dir.path),
              (std::vector<std::string>{"Another.jpg", "shoot/deep/er/a b.jpg", "shoot/deep/ünï.jpg", "shoot/img1.png",
                                        "shoot/img2.jpg", "shoot/IMG10.JPG", "shoot/line\nbreak.jpg", "shoot/link.jpg"}));
}

TEST(FileIngestTest, DirectInputsFollowTheSameRules) {
    TempDir dir;
    auto hidden = dir.touch(".secret.jpg");
    auto text = dir.touch("a.txt");
    auto ok = dir.touch("sub/B.JPEG");
    EXPECT_TRUE(FileIngest::expand({hidden, text, dir.path / "nope.jpg"}, {"jpg", "txt"}).size() == 1);
    EXPECT_EQ(FileIngest::expand({ok}, {"jpeg"}), std::vector<fs::path>{ok});
    EXPECT_TRUE(FileIngest::expand({ok}, {"JPEG"}).empty());  // allowed extensions are lower-case
    EXPECT_TRUE(FileIngest::expand({}, {"jpg"}).empty());
    EXPECT_EQ(FileIngest::expand({dir.path / "sub/"}, {"jpeg"}), std::vector<fs::path>{ok});
}

TEST(FileIngestTest, UnlistableFoldersAreSkipped) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    TempDir dir;
    dir.touch("locked/a.jpg");
    auto visible = dir.touch("open/b.jpg");
    fs::permissions(dir.path / "locked", fs::perms::none);
    EXPECT_EQ(FileIngest::expand({dir.path}, {"jpg"}), std::vector<fs::path>{visible});
}

TEST(FileIngestTest, AFolderThatCannotBeOpenedIsSkippedAndTheWalkGoesOn) {
    // With few file descriptors left, the deep folders cannot all be opened at once: a walk
    // that holds one open per level fails part-way and must still go on with the rest.
    TempDir dir;
    std::vector<std::string> expected;
    for (int i = 0; i < 6; ++i) {
        const std::string folder = "f" + std::to_string(i);
        expected.push_back(folder + "/a/b/c/d/e/f/g/h/p.jpg");
        dir.touch(expected.back());
        expected.push_back(folder + "/q.jpg");
        dir.touch(expected.back());
    }
    std::sort(expected.begin(), expected.end());
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    int open = 0;
    for ([[maybe_unused]] const auto& fd : fs::directory_iterator("/proc/self/fd")) ++open;
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(open + 3);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    auto found = FileIngest::expand({dir.path}, {"jpg"});
    ::setrlimit(RLIMIT_NOFILE, &saved);
    auto names = relativeNames(found, dir.path);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, expected);
}

TEST(FileIngestTest, FileManagerOrder) {
    struct Case {
        const char* a;
        const char* b;
    };
    const Case ordered[] = {{"/x/img2.jpg", "/x/img10.jpg"}, {"/x/a.jpg", "/x/B.jpg"}, {"/x/b.jpg", "/x/C.jpg"},
                            {"/x/Shot 9", "/x/shot 10"},     {"/a/z.jpg", "/b/a.jpg"}};
    for (const auto& c : ordered) {
        EXPECT_TRUE(FileIngest::localizedStandardLess(c.a, c.b)) << c.a << " < " << c.b;
        EXPECT_FALSE(FileIngest::localizedStandardLess(c.b, c.a)) << c.b << " < " << c.a;
    }
    // Names equal but for case still order one way, never both.
    EXPECT_NE(FileIngest::localizedStandardLess("/x/a.jpg", "/x/A.jpg"), FileIngest::localizedStandardLess("/x/A.jpg", "/x/a.jpg"));
}

// The job's output folder is no source of inputs: a walk does not enter it, however it is
// spelled; walking the output folder itself (or a folder in it) leaves out the files named as
// deliverables, and tells which; a file dropped by name is taken all the same.
TEST(FileIngestTest, TheOutputFolderIsNotTakenAsInput) {
    TempDir dir;
    for (const char* name : {"shoot/a.jpg", "shoot/b.jpg", "shoot/Out/a_Web.jpg", "shoot/Out/keep.jpg",
                             "shoot/Out/Web/b_Web.jpg", "shoot/Outside/c.jpg"})
        dir.touch(name);
    fs::create_symlink(dir.path / "shoot" / "Out", dir.path / "linkToOut");
    std::vector<fs::path> asked;
    const auto deliverable = [&](const fs::path& relative) {
        asked.push_back(relative);
        const std::string name = relative.filename().string();
        return name.size() > 8 && name.compare(name.size() - 8, 8, "_Web.jpg") == 0;
    };
    struct Case {
        std::vector<fs::path> dropped;  // relative to dir
        fs::path output;
        std::vector<std::string> expected;
        std::vector<fs::path> leftOut;  // relative to the output folder
    };
    const std::vector<Case> cases{
        {{"shoot"}, dir.path / "shoot" / "Out", {"shoot/a.jpg", "shoot/b.jpg", "shoot/Outside/c.jpg"}, {}},
        {{"shoot"}, dir.path / "shoot" / "." / "Out" / "", {"shoot/a.jpg", "shoot/b.jpg", "shoot/Outside/c.jpg"}, {}},
        {{"shoot"}, dir.path / "linkToOut", {"shoot/a.jpg", "shoot/b.jpg", "shoot/Outside/c.jpg"}, {}},
        {{"shoot/Out"}, dir.path / "shoot" / "Out", {"shoot/Out/keep.jpg"}, {"a_Web.jpg", "Web/b_Web.jpg"}},
        {{"linkToOut"}, dir.path / "shoot" / "Out", {"linkToOut/keep.jpg"}, {"a_Web.jpg", "Web/b_Web.jpg"}},
        {{"shoot/Out", "linkToOut"}, dir.path / "shoot" / "Out", {"linkToOut/keep.jpg", "shoot/Out/keep.jpg"},
         {"a_Web.jpg", "Web/b_Web.jpg"}},
        {{"shoot/Out/Web"}, dir.path / "shoot" / "Out", {}, {"Web/b_Web.jpg"}},
        {{"shoot/Out/a_Web.jpg"}, dir.path / "shoot" / "Out", {"shoot/Out/a_Web.jpg"}, {}},
        {{"shoot/Out", "shoot/Out/a_Web.jpg"}, dir.path / "shoot" / "Out", {"shoot/Out/a_Web.jpg", "shoot/Out/keep.jpg"},
         {"Web/b_Web.jpg"}},
        {{"shoot/Out"}, dir.path / "elsewhere", {"shoot/Out/a_Web.jpg", "shoot/Out/keep.jpg", "shoot/Out/Web/b_Web.jpg"},
         {}},
    };
    for (const auto& c : cases) {
        std::vector<fs::path> dropped;
        for (const auto& d : c.dropped) dropped.push_back(dir.path / d);
        std::vector<fs::path> leftOut;
        const auto found = FileIngest::expand(dropped, {"jpg"}, {c.output, deliverable}, &leftOut);
        EXPECT_EQ(relativeNames(found, dir.path), c.expected) << c.dropped.front() << " into " << c.output;
        EXPECT_EQ(leftOut, c.leftOut) << c.dropped.front() << " into " << c.output;
    }
    // What was left out is told in one line, the names after the first ten counted.
    EXPECT_EQ(FileIngest::deliverableNamesLine({"a_Web.jpg", "Web/b_Web.jpg"}),
              "Left out 2 files of the output folder, named like this preset's outputs: a_Web.jpg, Web/b_Web.jpg. "
              "Add such a file by itself to process it.");
    EXPECT_EQ(FileIngest::deliverableNamesLine({}), "");
    std::vector<fs::path> many;
    for (int i = 1; i <= 12; ++i) many.push_back("m" + std::to_string(i) + ".png");
    EXPECT_EQ(FileIngest::leftOutLine(many, "this window has written"),
              "Left out 12 files this window has written: m1.png, m2.png, m3.png, m4.png, m5.png, m6.png, m7.png, "
              "m8.png, m9.png, m10.png, and 2 more.");
    // The deliverable names are asked relative to the output folder.
    asked.clear();
    FileIngest::expand({dir.path / "shoot" / "Out"}, {"jpg"}, {dir.path / "shoot" / "Out", deliverable});
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<fs::path>{"Web/b_Web.jpg", "a_Web.jpg", "keep.jpg"}));
}
