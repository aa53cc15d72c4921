#pragma once
// Finds the external `ffmpeg` program and runs it as a child process with a fixed argument
// prefix, collecting everything it writes on its standard output and standard error.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace lw {

class FFmpegRunner {
public:
    class FFmpegError : public Error {
    public:
        enum class Kind { executionFailed, binaryNotFound };

        // "FFmpeg failed (exit N)", followed by ": " and the message when there is one.
        static FFmpegError executionFailed(std::int32_t exitCode, const std::string& message);
        static FFmpegError binaryNotFound();

        Kind kind() const { return kind_; }
        std::int32_t exitCode() const { return exitCode_; }
        const std::string& message() const { return message_; }

    private:
        FFmpegError(Kind kind, std::int32_t exitCode, std::string message, const std::string& text);
        Kind kind_;
        std::int32_t exitCode_;
        std::string message_;
    };

    using LogHandler = std::function<void(const std::string&)>;

    // The one process-wide runner, searching defaultSearchList().
    static FFmpegRunner& shared();

    // A runner that searches `searchList` in order (the first executable regular file wins).
    explicit FFmpegRunner(std::vector<std::filesystem::path> searchList);

    // The program's own data folder's "ffmpeg" (see dataFolder()), then the fixed system paths
    // "/opt/homebrew/bin/ffmpeg", "/usr/local/bin/ffmpeg", "/opt/local/bin/ffmpeg",
    // "/usr/bin/ffmpeg". PATH is not consulted.
    static std::vector<std::filesystem::path> defaultSearchList();

    // `<prefix>/share/lotwright` when the running executable lives in `<prefix>/bin` and that
    // folder exists; otherwise the executable's own folder (the build tree).
    static std::filesystem::path dataFolder();

    const std::vector<std::filesystem::path>& searchList() const { return searchList_; }

    // Searched afresh on every call; nothing is cached.
    std::optional<std::filesystem::path> locateFFmpegBinary() const;
    bool isFFmpegAvailable() const { return locateFFmpegBinary().has_value(); }

    // Runs `ffmpeg -hide_banner -nostdin -loglevel error <arguments...>` to completion. The
    // child's standard output and error share one pipe; its whole output is passed to `onLog`
    // once after it ends (when not empty). A non-zero exit throws executionFailed carrying the
    // last three non-empty output lines joined by " | ". Throws binaryNotFound when there is no
    // executable, and std::system_error when the child cannot be started.
    //
    // Output beyond kOutputHeadBytes + kOutputTailBytes is not kept: the first and the last
    // parts stay, joined by a line that says how many bytes were left out.
    void execute(const std::vector<std::string>& arguments, const LogHandler& onLog = {}) const;

    static constexpr std::size_t kOutputHeadBytes = 1u << 20;
    static constexpr std::size_t kOutputTailBytes = 3u << 20;

private:
    std::vector<std::filesystem::path> searchList_;
};

}  // namespace lw
