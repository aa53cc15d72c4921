#include "platform/AtomicFile.h"
#include "platform/FileSafety.h"
#include "platform/Uuid.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace {

fs::path freshDir(const char* name) {
    auto dir = fs::temp_directory_path() / ("lw-test-" + std::string(name) + "-" + lw::Uuid().toString());
    fs::create_directories(dir);
    return dir;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(AtomicFile, UncommittedWriteLeavesNothingBehind) {
    auto dir = freshDir("atomic");
    {
        lw::AtomicFile out(dir / "photo.jpg");
        EXPECT_EQ(out.tempPath().extension(), ".jpg");
        std::ofstream(out.tempPath()) << "half";
    }
    EXPECT_TRUE(fs::is_empty(dir));
    fs::remove_all(dir);
}

TEST(AtomicFile, CommitReplacesExistingFile) {
    auto dir = freshDir("atomic");
    std::ofstream(dir / "a.txt") << "old";
    lw::writeFileAtomically(dir / "a.txt", std::string_view("new"));
    EXPECT_EQ(slurp(dir / "a.txt"), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    fs::remove_all(dir);
}

TEST(AtomicFile, MissingFolderThrowsAndWritesNothing) {
    auto dir = freshDir("atomic");
    EXPECT_THROW(lw::writeFileAtomically(dir / "no" / "a.txt", std::string_view("x")), lw::DestinationError);
    EXPECT_TRUE(fs::is_empty(dir));
    fs::remove_all(dir);
}

TEST(Uuid, TextFormRoundTripsAndIsVersion4) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        lw::Uuid u;
        auto s = u.toString();
        ASSERT_EQ(s.size(), 36u);
        EXPECT_EQ(s[14], '4');
        EXPECT_NE(std::string("89AB").find(s[19]), std::string::npos);
        EXPECT_EQ(s, [&] { std::string t = s; for (auto& c : t) c = static_cast<char>(toupper(c)); return t; }());
        EXPECT_EQ(lw::Uuid::fromString(s), u);
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_FALSE(lw::Uuid::fromString("not-a-uuid"));
    EXPECT_FALSE(lw::Uuid::fromString("ZZZZZZZZ-0000-4000-8000-000000000000"));
}

}  // namespace
