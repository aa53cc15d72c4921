#include "audio/podcast/FFmpegRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>

extern char** environ;

namespace fs = std::filesystem;

namespace lw {

FFmpegRunner::FFmpegError::FFmpegError(Kind kind, std::int32_t exitCode, std::string message, const std::string& text)
    : Error(text), kind_(kind), exitCode_(exitCode), message_(std::move(message)) {}

FFmpegRunner::FFmpegError FFmpegRunner::FFmpegError::executionFailed(std::int32_t exitCode, const std::string& message) {
    std::string text = "FFmpeg failed (exit " + std::to_string(exitCode) + ")";
    if (!message.empty()) text += ": " + message;
    return FFmpegError(Kind::executionFailed, exitCode, message, text);
}

FFmpegRunner::FFmpegError FFmpegRunner::FFmpegError::binaryNotFound() {
    return FFmpegError(Kind::binaryNotFound, 0, {},
                       "FFmpeg binary was not found. Please bundle it or install via 'sudo apt install ffmpeg'.");
}

FFmpegRunner& FFmpegRunner::shared() {
    static FFmpegRunner runner(defaultSearchList());
    return runner;
}

FFmpegRunner::FFmpegRunner(std::vector<fs::path> searchList) : searchList_(std::move(searchList)) {}

fs::path FFmpegRunner::dataFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    fs::path folder = exe.parent_path();
    if (folder.filename() == "bin") {
        fs::path installed = folder.parent_path() / "share" / "lotwright";
        if (fs::is_directory(installed, ec)) return installed;
    }
    return folder;
}

std::vector<fs::path> FFmpegRunner::defaultSearchList() {
    std::vector<fs::path> list;
    fs::path data = dataFolder();
    if (!data.empty()) list.push_back(data / "ffmpeg");
    for (const char* p : {"/opt/homebrew/bin/ffmpeg", "/usr/local/bin/ffmpeg", "/opt/local/bin/ffmpeg", "/usr/bin/ffmpeg"})
        list.emplace_back(p);
    return list;
}

namespace {

bool isExecutableFile(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return ::access(path.c_str(), X_OK) == 0;
}

// Keeps the first and the last bytes of a stream that may be far larger than memory should hold.
class OutputCollector {
public:
    void append(const char* bytes, std::size_t n) {
        if (head_.size() < FFmpegRunner::kOutputHeadBytes) {
            std::size_t take = std::min(n, FFmpegRunner::kOutputHeadBytes - head_.size());
            head_.append(bytes, take);
            bytes += take;
            n -= take;
        }
        if (n == 0) return;
        tail_.append(bytes, n);
        if (tail_.size() > 2 * FFmpegRunner::kOutputTailBytes) {
            std::size_t drop = tail_.size() - FFmpegRunner::kOutputTailBytes;
            tail_.erase(0, drop);
            dropped_ += drop;
        }
    }

    // UTF-8 with invalid sequences replaced by U+FFFD.
    std::string text() const {
        std::string raw = head_;
        std::string_view tail = tail_;
        std::size_t dropped = dropped_;
        if (tail.size() > FFmpegRunner::kOutputTailBytes) {
            dropped += tail.size() - FFmpegRunner::kOutputTailBytes;
            tail.remove_prefix(tail.size() - FFmpegRunner::kOutputTailBytes);
        }
        if (dropped > 0) {
            // Restart the tail at a line start so the gap never splits a line or a character.
            auto nl = tail.find('\n');
            if (nl != std::string_view::npos && nl + 1 < tail.size()) {
                dropped += nl + 1;
                tail.remove_prefix(nl + 1);
            }
            if (!raw.empty() && raw.back() != '\n') raw += '\n';
            raw += "[... " + std::to_string(dropped) + " bytes of output left out ...]\n";
        }
        raw.append(tail);
        return repairUtf8(raw);
    }

private:
    static std::string repairUtf8(const std::string& in) {
        static constexpr char kReplacement[] = "\xEF\xBF\xBD";
        std::string out;
        out.reserve(in.size());
        const auto* s = reinterpret_cast<const unsigned char*>(in.data());
        std::size_t n = in.size(), i = 0;
        while (i < n) {
            unsigned char c = s[i];
            if (c < 0x80) {
                out += static_cast<char>(c);
                ++i;
                continue;
            }
            std::size_t len = 0;
            std::uint32_t cp = 0, min = 0;
            if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F, min = 0x80;
            else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F, min = 0x800;
            else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07, min = 0x10000;
            bool ok = len != 0 && i + len <= n;
            for (std::size_t k = 1; ok && k < len; ++k) {
                if ((s[i + k] & 0xC0) != 0x80) ok = false;
                else cp = (cp << 6) | (s[i + k] & 0x3F);
            }
            if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
            if (ok) {
                out.append(in, i, len);
                i += len;
            } else {
                out += kReplacement;
                // Skip the lead byte and any continuation bytes that belonged to it.
                ++i;
                while (i < n && (s[i] & 0xC0) == 0x80 && len > 1) ++i, --len;
            }
        }
        return out;
    }

    std::string head_;
    std::string tail_;
    std::size_t dropped_ = 0;
};

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

[[noreturn]] void throwErrno(int code, const std::string& what) {
    throw std::system_error(code, std::generic_category(), what);
}

std::string lastLines(const std::string& text, std::size_t count, std::vector<std::string> extra = {}) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) pieces.emplace_back(text, start, end - start);
        start = end + 1;
    }
    for (auto& e : extra) pieces.push_back(std::move(e));
    std::string joined;
    std::size_t first = pieces.size() > count ? pieces.size() - count : 0;
    for (std::size_t i = first; i < pieces.size(); ++i) {
        if (!joined.empty()) joined += " | ";
        joined += pieces[i];
    }
    return joined;
}

// Reads what the pipe holds now; returns false at end of file.
bool drainAvailable(int fd, OutputCollector& collector, bool& eof) {
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            collector.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) {
            eof = true;
            return false;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        throwErrno(errno, "reading ffmpeg output");
    }
}

}  // namespace

std::optional<fs::path> FFmpegRunner::locateFFmpegBinary() const {
    for (const auto& candidate : searchList_)
        if (isExecutableFile(candidate)) return candidate;
    return std::nullopt;
}

void FFmpegRunner::execute(const std::vector<std::string>& arguments, const LogHandler& onLog) const {
    auto binary = locateFFmpegBinary();
    if (!binary) throw FFmpegError::binaryNotFound();

    std::vector<std::string> args{binary->string(), "-hide_banner", "-nostdin", "-loglevel", "error"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throwErrno(errno, "creating a pipe for ffmpeg");
    Fd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, STDERR_FILENO);
    // Descriptors some library opened without close-on-exec must not reach the child either.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The child starts with default signal dispositions and an empty mask, whatever ours are.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    int spawnError = ::posix_spawn(&pid, binary->c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawnError != 0) throwErrno(spawnError, "starting " + binary->string());
    writeEnd.reset();

    // Poll the pipe and the child's exit together, so a grandchild that keeps the pipe open
    // cannot hold the run past the child's end.
    Fd exitFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    ::fcntl(readEnd.fd, F_SETFL, ::fcntl(readEnd.fd, F_GETFL) | O_NONBLOCK);

    OutputCollector collector;
    int status = 0;
    bool eof = false, exited = false;
    try {
        while (!eof && !exited) {
            pollfd fds[2] = {{readEnd.fd, POLLIN, 0}, {exitFd.fd, POLLIN, 0}};
            int count = exitFd.fd >= 0 ? 2 : 1;
            int r = ::poll(fds, count, -1);
            if (r < 0) {
                if (errno == EINTR) continue;
                throwErrno(errno, "waiting for ffmpeg");
            }
            if (fds[0].revents) drainAvailable(readEnd.fd, collector, eof);
            if (count == 2 && fds[1].revents) exited = true;
        }
    } catch (...) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        throw;
    }
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throwErrno(errno, "waiting for ffmpeg");
    }
    // Whatever the child wrote just before it ended is still in the pipe.
    if (!eof) drainAvailable(readEnd.fd, collector, eof);

    std::string text = collector.text();
    if (!text.empty() && onLog) onLog(text);

    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        const char* name = ::strsignal(sig);
        std::string note = "killed by signal " + std::to_string(sig) + (name ? std::string(" (") + name + ")" : "");
        throw FFmpegError::executionFailed(128 + sig, lastLines(text, 3, {note}));
    }
    throw FFmpegError::executionFailed(WEXITSTATUS(status), lastLines(text, 3));
}

}  // namespace lw
