#include "platform/TemporaryFiles.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace lw {

namespace {

// Slot states: free, being filled or emptied by its owner, and live (the handler may unlink it).
enum : int { slotFree = 0, slotBusy = 1, slotLive = 2 };

constexpr int slotCount = 1024;

struct Slot {
    std::atomic<int> state{slotFree};
    bool folder;
    char path[PATH_MAX];
};

// Zero-initialised static storage: untouched slots cost no memory.
std::array<Slot, slotCount> slots;
std::atomic<int> liveCount{0};

struct sigaction previousInt, previousTerm;

void unlinkAll() noexcept {
    for (Slot& slot : slots)
        if (slot.state.load(std::memory_order_acquire) == slotLive && !slot.folder) ::unlink(slot.path);
    // Folders after their files; later registrations are usually nested deeper, so go backwards.
    for (auto it = slots.rbegin(); it != slots.rend(); ++it)
        if (it->state.load(std::memory_order_acquire) == slotLive && it->folder) ::rmdir(it->path);
}

// Runs the disposition the signal had before ours; the default one ends the process by it.
void runPrevious(int signo) {
    const struct sigaction& previous = signo == SIGINT ? previousInt : previousTerm;
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) previous.sa_sigaction(signo, nullptr, nullptr);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler) {
        previous.sa_handler(signo);
    } else {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        ::sigaction(signo, &dfl, nullptr);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, signo);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        ::raise(signo);
    }
}

// ---- the interruption, handled on a thread of its own
//
// The signal handler only writes the signal's number to a pipe. The interrupter thread then
// refuses new set renames and waits for those under way (so no item is left half in place),
// stops every other thread of the process in a handler of its own (so none creates or renames
// a file any more, whether through our writers or a library opening a registered name), removes
// every registered file and ends the process by the signal.

std::atomic<pid_t> interrupterPid{0};  // the process whose interrupter thread is running
std::atomic<int> wakeFd{-1};
int wakeReadFd = -1;

std::mutex gateMutex;
std::condition_variable gateChanged;
bool stopping = false;
int renaming = 0;

std::atomic<int> parkedCount{0};
std::atomic<bool> parkedRelease{false};

// A real-time signal that neither the C library nor the libraries we use take.
int parkSignal() { return SIGRTMAX - 2; }

void onPark(int) {
    const int savedErrno = errno;
    parkedCount.fetch_add(1, std::memory_order_acq_rel);
    while (!parkedRelease.load(std::memory_order_acquire)) {
        struct timespec pause {0, 1000000};
        ::nanosleep(&pause, nullptr);
    }
    errno = savedErrno;
}

// Below, other threads may be stopped anywhere (inside malloc too): only system calls and stack
// memory from here on.

long nowMilliseconds() {
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// "/proc/self/task/<tid>/status" into `path` (room for 64 bytes).
void statusPath(pid_t tid, char* path) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + tid % 10);
        tid /= 10;
    } while (tid > 0);
    const char prefix[] = "/proc/self/task/";
    std::memcpy(path, prefix, sizeof prefix - 1);
    char* p = path + sizeof prefix - 1;
    while (n > 0) *p++ = digits[--n];
    std::memcpy(p, "/status", 8);
}

// Whether thread `tid` blocks `signo` (so it cannot be stopped by it now).
bool blocks(pid_t tid, int signo) {
    char path[64];
    statusPath(tid, path);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;  // gone
    char text[4096];
    std::size_t size = 0;
    for (ssize_t n; size < sizeof text - 1 && (n = ::read(fd, text + size, sizeof text - 1 - size)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        size += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text[size] = 0;
    const char* line = std::strstr(text, "SigBlk:");
    if (!line) return false;
    const unsigned long long mask = std::strtoull(line + 7, nullptr, 16);
    return (mask >> (signo - 1)) & 1;
}

constexpr int maxThreads = 4096;
pid_t signalled[maxThreads];

// Stops every other thread in onPark(); returns when all that can be stopped are (or after a
// second at most, for one that ends instead or keeps the signal blocked).
void stopOtherThreads() {
    struct sigaction park {};
    park.sa_handler = onPark;
    sigfillset(&park.sa_mask);
    park.sa_flags = SA_RESTART;
    ::sigaction(parkSignal(), &park, nullptr);
    parkedRelease.store(false, std::memory_order_release);
    parkedCount.store(0, std::memory_order_release);

    const pid_t pid = ::getpid();
    const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
    int count = 0, expected = 0;
    const long deadline = nowMilliseconds() + 1000;
    for (bool found = true; found && count < maxThreads;) {
        found = false;
        const int tasks = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (tasks < 0) break;
        alignas(8) char buffer[8192];
        for (long n; (n = ::syscall(SYS_getdents64, tasks, buffer, sizeof buffer)) > 0;) {
            for (long offset = 0; offset < n;) {
                struct Entry {
                    ino64_t inode;
                    off64_t next;
                    unsigned short length;
                    unsigned char type;
                    char name[1];
                };
                const auto* entry = reinterpret_cast<const Entry*>(buffer + offset);
                offset += entry->length;
                const pid_t tid = static_cast<pid_t>(std::atoi(entry->name));
                if (tid <= 0 || tid == self) continue;
                bool seen = false;
                for (int i = 0; i < count && !seen; ++i) seen = signalled[i] == tid;
                if (seen || count == maxThreads) continue;
                const bool blocked = blocks(tid, parkSignal());
                if (::syscall(SYS_tgkill, pid, tid, parkSignal()) != 0) continue;
                signalled[count++] = tid;
                if (!blocked) ++expected;  // a thread that blocks it stops when it unblocks it
                found = true;  // it may have started another thread before it stopped
            }
        }
        ::close(tasks);
        while (parkedCount.load(std::memory_order_acquire) < expected && nowMilliseconds() < deadline) {
            struct timespec pause {0, 200000};
            ::nanosleep(&pause, nullptr);
        }
    }
}

void* runInterrupter(void*) {
    for (;;) {
        unsigned char signo = 0;
        const ssize_t n = ::read(wakeReadFd, &signo, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1) return nullptr;
        {
            std::unique_lock lock(gateMutex);
            stopping = true;
            gateChanged.wait(lock, [] { return renaming == 0; });
        }
        stopOtherThreads();
        unlinkAll();
        runPrevious(signo);
        // A handler of the program's own that lets it go on: everything resumes.
        parkedRelease.store(true, std::memory_order_release);
        std::lock_guard lock(gateMutex);
        stopping = false;
    }
}

// Starts the interrupter thread, once per process. A child forked after that has none (threads
// after a fork of a threaded process are not to be relied on): its handler removes the files
// itself.
void startInterrupter() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);  // the handler never waits (a full pipe has woken us already)
    wakeReadFd = fds[0];
    // The thread takes no signal but its own raise(); created with everything blocked.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, runInterrupter, nullptr) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!started) {
        ::close(fds[0]);
        ::close(fds[1]);
        wakeReadFd = -1;
        return;
    }
    wakeFd.store(fds[1], std::memory_order_release);
    interrupterPid.store(::getpid(), std::memory_order_release);
}

void onSignal(int signo) {
    const int savedErrno = errno;
    const int fd = wakeFd.load(std::memory_order_acquire);
    if (interrupterPid.load(std::memory_order_acquire) == ::getpid() && fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signo);
        while (::write(fd, &byte, 1) < 0 && errno == EINTR) {
        }
    } else {
        // No interrupter thread in this process (a forked child).
        unlinkAll();
        runPrevious(signo);
    }
    errno = savedErrno;
}

// Whether our handler is in place for the signal afterwards.
bool install(int signo, struct sigaction& previous) {
    struct sigaction current {};
    if (::sigaction(signo, nullptr, &current) != 0) return false;
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN) return false;  // e.g. nohup
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == onSignal) return true;
    previous = current;
    struct sigaction ours {};
    ours.sa_handler = onSignal;
    sigemptyset(&ours.sa_mask);
    sigaddset(&ours.sa_mask, SIGINT);
    sigaddset(&ours.sa_mask, SIGTERM);
    ours.sa_flags = SA_RESTART;
    return ::sigaction(signo, &ours, nullptr) == 0;
}

}  // namespace

TemporaryFiles::Registration::Registration(const std::filesystem::path& path, Kind kind) {
    installSignalHandlers();
    const std::string& text = path.native();
    if (text.size() >= PATH_MAX) return;  // not tracked; its owner still removes it
    for (int i = 0; i < slotCount; ++i) {
        int expected = slotFree;
        if (!slots[i].state.compare_exchange_strong(expected, slotBusy, std::memory_order_acquire)) continue;
        std::memcpy(slots[i].path, text.c_str(), text.size() + 1);
        slots[i].folder = kind == Kind::folder;
        slots[i].state.store(slotLive, std::memory_order_release);
        liveCount.fetch_add(1, std::memory_order_relaxed);
        slot_ = i;
        return;
    }
}

TemporaryFiles::Registration::~Registration() { release(); }

TemporaryFiles::Registration::Registration(Registration&& other) noexcept : slot_(other.slot_) { other.slot_ = -1; }

TemporaryFiles::Registration& TemporaryFiles::Registration::operator=(Registration&& other) noexcept {
    if (this != &other) {
        release();
        slot_ = other.slot_;
        other.slot_ = -1;
    }
    return *this;
}

void TemporaryFiles::Registration::release() noexcept {
    if (slot_ < 0) return;
    slots[slot_].state.store(slotFree, std::memory_order_release);
    liveCount.fetch_sub(1, std::memory_order_relaxed);
    slot_ = -1;
}

TemporaryFiles::SetRename::SetRename() {
    installSignalHandlers();
    std::lock_guard lock(gateMutex);
    if (stopping) throw Interrupted("The run was interrupted before its files were put in place.");
    ++renaming;
}

TemporaryFiles::SetRename::~SetRename() {
    std::lock_guard lock(gateMutex);
    if (--renaming == 0) gateChanged.notify_all();
}

void TemporaryFiles::removeAll() noexcept { unlinkAll(); }

void TemporaryFiles::installSignalHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        const bool interrupt = install(SIGINT, previousInt);
        const bool terminate = install(SIGTERM, previousTerm);
        // A process that ends while items are still being written (the window closed during a
        // cancelled run) leaves none of their temporary files either.
        std::atexit([] { unlinkAll(); });
        if (interrupt || terminate) startInterrupter();
    });
}

int TemporaryFiles::count() noexcept { return liveCount.load(std::memory_order_relaxed); }

}  // namespace lw
