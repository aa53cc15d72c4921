#include "platform/AtomicFile.h"
#include "platform/FileSafety.h"
#include "platform/TemporaryFiles.h"
#include "platform/Uuid.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace fs = std::filesystem;
using ::testing::HasSubstr;

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

std::size_t entries(const fs::path& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(FileIdentity, SameFileWhateverTheSpelling) {
    auto dir = freshDir("identity");
    fs::create_directories(dir / "sub");
    std::ofstream(dir / "a.wav") << "a";
    std::ofstream(dir / "b.wav") << "a";
    fs::create_symlink(dir / "a.wav", dir / "link.wav");
    fs::create_hard_link(dir / "a.wav", dir / "hard.wav");
    const fs::path a = dir / "a.wav";
    const struct {
        fs::path other;
        bool same;
    } cases[] = {
        {dir / "." / "a.wav", true},           {dir / "sub" / ".." / "a.wav", true}, {dir / "link.wav", true},
        {dir / "hard.wav", true},              {dir / "b.wav", false},               {dir / "missing.wav", false},
    };
    for (const auto& c : cases) EXPECT_EQ(lw::isSameFile(a, c.other), c.same) << c.other;
    EXPECT_FALSE(lw::isSameFile(dir / "missing.wav", dir / "missing.wav"));

    try {
        lw::checkNotInput(dir / "sub" / ".." / "link.wav", {dir / "b.wav", a});
        ADD_FAILURE() << "an input was accepted as a destination";
    } catch (const lw::DestinationError& e) {
        EXPECT_EQ(e.kind, lw::DestinationError::Kind::replacesInput);
        EXPECT_THAT(e.what(), HasSubstr("link.wav would replace its own source file"));
    }
    EXPECT_NO_THROW(lw::checkNotInput(dir / "new.wav", {a}));
    EXPECT_NO_THROW(lw::checkNotInput(dir / "b.wav", {a}));
    fs::remove_all(dir);
}

TEST(FileSafety, DestinationsThatAreNotRegularFilesAreRefused) {
    auto dir = freshDir("nonregular");
    fs::create_directories(dir / "folder.png");
    ASSERT_EQ(::mkfifo((dir / "pipe.png").c_str(), 0600), 0);
    const struct {
        fs::path destination;
        const char* what;
    } cases[] = {{dir / "folder.png", "a folder"}, {dir / "pipe.png", "a named pipe"}, {"/dev/full", "a device"}};
    for (const auto& c : cases) {
        try {
            lw::checkDestination(c.destination);
            ADD_FAILURE() << c.destination << " accepted";
        } catch (const lw::DestinationError& e) {
            EXPECT_EQ(e.kind, lw::DestinationError::Kind::notRegularFile);
            EXPECT_THAT(e.what(), HasSubstr(c.destination.filename().string()));
            EXPECT_THAT(e.what(), HasSubstr(c.what));
        }
    }
    // The shared writers refuse them too, and leave nothing behind.
    EXPECT_THROW(lw::writeFileAtomically(dir / "pipe.png", std::string_view("x")), lw::DestinationError);
    {
        lw::AtomicFile out(dir / "folder.png");
        std::ofstream(out.tempPath()) << "x";
        EXPECT_THROW(out.commit(), lw::DestinationError);
    }
    EXPECT_TRUE(fs::is_directory(dir / "folder.png"));
    EXPECT_EQ(entries(dir), 2u);

    std::ofstream(dir / "plain.png") << "old";
    fs::create_symlink(dir / "plain.png", dir / "link.png");
    EXPECT_NO_THROW(lw::checkDestination(dir / "plain.png"));
    EXPECT_NO_THROW(lw::checkDestination(dir / "link.png"));
    EXPECT_NO_THROW(lw::checkDestination(dir / "new.png"));
    fs::remove_all(dir);
}

TEST(AtomicFile, LongNamesGetATemporaryNameWithinTheLimit) {
    auto dir = freshDir("longname");
    // Multi-byte characters so a shortened name must not split one.
    std::string street;
    while (street.size() < 240) street += "Stra\xC3\x9F" "e_";
    for (const std::string& name : {street.substr(0, 251) + ".jpg", std::string(255, 'a'),
                                    std::string(200, 'b') + "." + std::string(54, 'c'), std::string(".jpg")}) {
        ASSERT_LE(name.size(), 255u);
        const fs::path temp = lw::temporaryNameFor(dir / name);
        EXPECT_LE(temp.filename().native().size(), 255u) << name;
        EXPECT_EQ(temp.filename().native().front(), '.');
        if (name.ends_with(".jpg")) {
            EXPECT_EQ(temp.extension(), ".jpg") << temp;
        }
        lw::writeFileAtomically(dir / name, std::string_view("data"));
        EXPECT_EQ(slurp(dir / name), "data") << name;
    }
    EXPECT_EQ(entries(dir), 4u);
    fs::remove_all(dir);
}

TEST(AtomicFile, NameTooLongSaysWhy) {
    auto dir = freshDir("toolong");
    try {
        lw::writeFileAtomically(dir / (std::string(300, 'x') + ".jpg"), std::string_view("x"));
        ADD_FAILURE() << "a 304-byte name was written";
    } catch (const lw::DestinationError& e) {
        EXPECT_EQ(e.kind, lw::DestinationError::Kind::nameTooLong);
        EXPECT_THAT(e.what(), HasSubstr("in " + dir.string()));
        EXPECT_THAT(e.what(), HasSubstr("longer than the file system allows (304 bytes; at most 255)"));
    }
    EXPECT_TRUE(fs::is_empty(dir));
    fs::remove_all(dir);
}

// An interrupted process removes its open temporary files and its scratch folders (with the
// files registered in them), then ends by the signal.
TEST(TemporaryFiles, RemovedOnInterruption) {
    auto dir = freshDir("signal");
    for (int signo : {SIGINT, SIGTERM}) {
        const fs::path destination = dir / ("render" + std::to_string(signo) + ".wav");
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            lw::AtomicFile out(destination);
            std::ofstream(out.tempPath()) << "half a render";
            const fs::path scratch = dir / "scratch";
            fs::create_directory(scratch);
            lw::TemporaryFiles::Registration folder(scratch, lw::TemporaryFiles::Registration::Kind::folder);
            lw::TemporaryFiles::Registration file(scratch / "episode.wav");
            std::ofstream(scratch / "episode.wav") << "decoded episode";
            char c = 1;
            (void)!::write(ready[1], &c, 1);
            for (;;) ::pause();
        }
        char c = 0;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        ::close(ready[0]);
        ::close(ready[1]);
        ASSERT_FALSE(fs::is_empty(dir));
        ::kill(child, signo);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signo) << status;
        EXPECT_TRUE(fs::is_empty(dir)) << fs::directory_iterator(dir)->path();
    }
    fs::remove_all(dir);
}

lw::AtomicFile* unfinishedWriter = nullptr;  // reachable, so not a leak

// A process that exits while a file is still being written (a writer thread still running)
// removes its temporary file too.
TEST(TemporaryFiles, RemovedWhenTheProcessExitsMidWrite) {
    auto dir = freshDir("exit");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        unfinishedWriter = new lw::AtomicFile(dir / "render.wav");  // never committed nor destroyed
        std::ofstream(unfinishedWriter->tempPath()) << "half a render";
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_TRUE(fs::is_empty(dir));
    fs::remove_all(dir);
}

TEST(TemporaryFiles, ListFollowsTheWritersLifetime) {
    auto dir = freshDir("registry");
    const int before = lw::TemporaryFiles::count();
    {
        lw::AtomicFile a(dir / "a.png");
        lw::AtomicFile b(dir / "b.png");
        EXPECT_EQ(lw::TemporaryFiles::count(), before + 2);
        std::ofstream(a.tempPath()) << "a";
        a.commit();
        EXPECT_EQ(lw::TemporaryFiles::count(), before + 1);
        lw::AtomicFile moved(std::move(b));
        EXPECT_EQ(lw::TemporaryFiles::count(), before + 1);
        std::ofstream(moved.tempPath()) << "b";
        lw::TemporaryFiles::removeAll();
        EXPECT_FALSE(fs::exists(moved.tempPath()));
    }
    EXPECT_EQ(lw::TemporaryFiles::count(), before);
    EXPECT_EQ(slurp(dir / "a.png"), "a");
    EXPECT_EQ(entries(dir), 1u);
    fs::remove_all(dir);
}

}  // namespace
