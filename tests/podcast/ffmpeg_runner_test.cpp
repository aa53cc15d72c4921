// The runner against stand-in programs written here: exit codes, both output streams, invalid
// UTF-8, output written just before exit, a flood of output, signals, descriptors, arguments.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "../audio/AudioTestUtil.h"
#include "audio/podcast/FFmpegRunner.h"

namespace lw {
namespace {

namespace fs = std::filesystem;

class FFmpegRunnerTest : public ::testing::Test {
protected:
    void SetUp() override { dir = test::makeTempDir("runner"); }
    void TearDown() override { fs::remove_all(dir); }

    fs::path script(const std::string& name, const std::string& body, fs::perms perms = fs::perms::owner_all) {
        fs::path p = dir / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(p, perms);
        return p;
    }

    // Runs a stand-in with `body`; returns the error text ("" on success) and the logged text.
    std::pair<std::string, std::string> run(const std::string& body, int* exitCode = nullptr) {
        FFmpegRunner runner({script("ffmpeg", body)});
        std::string log;
        int logCalls = 0;
        try {
            runner.execute({"-i", "x"}, [&](const std::string& text) {
                log = text;
                ++logCalls;
            });
        } catch (const FFmpegRunner::FFmpegError& e) {
            EXPECT_EQ(e.kind(), FFmpegRunner::FFmpegError::Kind::executionFailed);
            EXPECT_LE(logCalls, 1);
            if (exitCode) *exitCode = e.exitCode();
            return {e.what(), log};
        }
        EXPECT_LE(logCalls, 1);
        return {"", log};
    }

    fs::path dir;
};

TEST_F(FFmpegRunnerTest, SearchTakesTheFirstExecutableFileInListOrder) {
    fs::path notExecutable = script("resources/ffmpeg", "exit 0", fs::perms::owner_read | fs::perms::owner_write);
    fs::path aFolder = dir / "folder/ffmpeg";
    fs::create_directories(aFolder);
    fs::path local = script("usr-local-bin/ffmpeg", "exit 0");
    fs::path system = script("usr-bin/ffmpeg", "exit 0");

    FFmpegRunner runner({dir / "missing/ffmpeg", notExecutable, aFolder, local, system});
    EXPECT_EQ(runner.locateFFmpegBinary(), local);
    EXPECT_TRUE(runner.isFFmpegAvailable());

    // Searched afresh on every call: a program installed later is found at once.
    fs::path later = dir / "later/ffmpeg";
    FFmpegRunner none({later, notExecutable});
    EXPECT_FALSE(none.isFFmpegAvailable());
    script("later/ffmpeg", "exit 0");
    EXPECT_EQ(none.locateFFmpegBinary(), later);
}

TEST_F(FFmpegRunnerTest, MissingProgramStartsNothing) {
    FFmpegRunner runner({dir / "nothing"});
    try {
        runner.execute({"-version"});
        FAIL() << "expected binaryNotFound";
    } catch (const FFmpegRunner::FFmpegError& e) {
        EXPECT_EQ(e.kind(), FFmpegRunner::FFmpegError::Kind::binaryNotFound);
        EXPECT_STREQ(e.what(),
                     "FFmpeg binary was not found. Please bundle it or install via 'sudo apt install ffmpeg'.");
    }
}

TEST_F(FFmpegRunnerTest, DefaultSearchIsTheDataFolderThenTheFixedPaths) {
    auto list = FFmpegRunner::defaultSearchList();
    ASSERT_EQ(list.size(), 5u);
    // In the build tree the data folder is the executable's own folder.
    EXPECT_EQ(list[0], fs::read_symlink("/proc/self/exe").parent_path() / "ffmpeg");
    EXPECT_EQ(list[1], "/opt/homebrew/bin/ffmpeg");
    EXPECT_EQ(list[2], "/usr/local/bin/ffmpeg");
    EXPECT_EQ(list[3], "/opt/local/bin/ffmpeg");
    EXPECT_EQ(list[4], "/usr/bin/ffmpeg");
    EXPECT_EQ(FFmpegRunner::shared().searchList(), list);
    EXPECT_EQ(&FFmpegRunner::shared(), &FFmpegRunner::shared());
}

TEST_F(FFmpegRunnerTest, ArgumentsFollowTheFixedPrefixUntouchedByAnyShell) {
    fs::path out = dir / "args.txt";
    FFmpegRunner runner({script("ffmpeg", "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" + out.string() + "'")});
    std::vector<std::string> args{"-y", "-i", "a file with 'quotes' and \"double\".wav", "-metadata",
                                  "comment=line one\nline=two; $(touch pwned) `id` *", "", "Ünïcode — 名前"};
    runner.execute(args);
    std::ifstream in(out, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::string> got;
    std::size_t start = 0;
    for (std::size_t nul; (nul = all.find('\0', start)) != std::string::npos; start = nul + 1)
        got.push_back(all.substr(start, nul - start));
    std::vector<std::string> expected{"-hide_banner", "-nostdin", "-loglevel", "error"};
    expected.insert(expected.end(), args.begin(), args.end());
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(fs::exists("pwned"));
}

TEST_F(FFmpegRunnerTest, ExitStatusAndOutputBecomeTheError) {
    struct Case {
        const char* name;
        std::string body;
        std::string error;  // "" for success
        std::string log;
        int exitCode = 0;
    };
    const std::vector<Case> cases = {
        {"silent success never logs", "exit 0", "", ""},
        {"output of a success is logged", "echo out; echo err >&2; exit 0", "", "out\nerr\n"},
        {"last three non-empty lines", "printf 'l1\\n\\nl2\\nl3\\n\\n\\nl4\\nl5\\n\\n'; exit 1",
         "FFmpeg failed (exit 1): l3 | l4 | l5", "l1\n\nl2\nl3\n\n\nl4\nl5\n\n", 1},
        {"fewer than three lines", "echo only >&2; exit 3", "FFmpeg failed (exit 3): only", "only\n", 3},
        {"no output", "exit 2", "FFmpeg failed (exit 2)", "", 2},
        {"both streams in one buffer", "echo a; echo b >&2; echo c; exit 255",
         "FFmpeg failed (exit 255): a | b | c", "a\nb\nc\n", 255},
        {"line without a final line feed", "printf 'x\\ny'; exit 1", "FFmpeg failed (exit 1): x | y", "x\ny", 1},
        {"invalid UTF-8 is replaced", "printf 'bad \\377\\376 \\303 ok\\n'; exit 1",
         "FFmpeg failed (exit 1): bad \xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD ok", "bad \xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD ok\n",
         1},
        {"killed by a signal", "echo before; kill -KILL $$",
         "FFmpeg failed (exit 137): before | killed by signal 9 (Killed)", "before\n", 137},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int code = 0;
        auto [error, log] = run(c.body, &code);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(log, c.log);
        EXPECT_EQ(code, c.exitCode);
    }
}

TEST_F(FFmpegRunnerTest, OutputWrittenJustBeforeExitIsKept) {
    // 300 kB is several pipe buffers; the last line is written as the program exits.
    auto [error, log] = run("head -c 300000 /dev/zero | tr '\\0' 'x'; printf '\\nfinal words\\n' >&2; exit 4");
    EXPECT_EQ(error, "FFmpeg failed (exit 4): " + std::string(300000, 'x') + " | final words");
    EXPECT_EQ(log.size(), 300000u + 13u);
}

TEST_F(FFmpegRunnerTest, FloodedOutputKeepsItsBeginningAndItsEnd) {
    auto [error, log] = run(
        "echo first line >&2; yes 'a line of noise' | head -c 100000000 >&2; "
        "printf 'error one\\nerror two\\nerror three\\n' >&2; exit 1");
    EXPECT_EQ(error, "FFmpeg failed (exit 1): error one | error two | error three");
    EXPECT_LE(log.size(), FFmpegRunner::kOutputHeadBytes + FFmpegRunner::kOutputTailBytes + 100);
    EXPECT_EQ(log.rfind("first line\na line of noise\n", 0), 0u);
    EXPECT_NE(log.find("bytes of output left out ...]\na line of noise\n"), std::string::npos);
}

TEST_F(FFmpegRunnerTest, ChildGetsNoOtherDescriptorOfOurs) {
    fs::path marker = dir / "open-without-cloexec";
    std::ofstream(marker) << "x";
    int fd = ::open(marker.c_str(), O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(fd, 0);
    auto [error, log] = run("for f in /proc/$$/fd/*; do readlink \"$f\"; done; exit 1");
    ::close(fd);
    EXPECT_EQ(log.find(marker.filename().string()), std::string::npos) << log;
    EXPECT_NE(log.find("pipe:"), std::string::npos) << log;
}

TEST_F(FFmpegRunnerTest, ProgramTheSystemRefusesToStartRaisesTheLaunchError) {
    fs::path p = dir / "ffmpeg";
    std::ofstream(p) << "not a program";
    fs::permissions(p, fs::perms::owner_all);
    FFmpegRunner runner({p});
    EXPECT_THROW(runner.execute({}), std::system_error);
}

TEST_F(FFmpegRunnerTest, OverlappingRunsKeepTheirOwnOutput) {
    FFmpegRunner runner({script("ffmpeg", "for i in 1 2 3 4 5; do echo \"$7 $i\"; sleep 0.01; done; exit 1")});
    std::vector<std::string> errors(6);
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            try {
                runner.execute({"-i", "in", "out" + std::to_string(t)});
            } catch (const std::exception& e) {
                errors[static_cast<std::size_t>(t)] = e.what();
            }
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < 6; ++t) {
        std::string o = "out" + std::to_string(t);
        EXPECT_EQ(errors[static_cast<std::size_t>(t)], "FFmpeg failed (exit 1): " + o + " 3 | " + o + " 4 | " + o + " 5");
    }
}

}  // namespace
}  // namespace lw
