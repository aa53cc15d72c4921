#include "platform/TemporaryFiles.h"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <climits>
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

void onSignal(int signo) {
    const int savedErrno = errno;
    unlinkAll();
    const struct sigaction& previous = signo == SIGINT ? previousInt : previousTerm;
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) previous.sa_sigaction(signo, nullptr, nullptr);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler) {
        previous.sa_handler(signo);
    } else {
        // Default: end the process by the same signal.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        ::sigaction(signo, &dfl, nullptr);
        ::raise(signo);
    }
    errno = savedErrno;
}

void install(int signo, struct sigaction& previous) {
    struct sigaction current {};
    if (::sigaction(signo, nullptr, &current) != 0) return;
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN) return;  // e.g. nohup
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == onSignal) return;
    previous = current;
    struct sigaction ours {};
    ours.sa_handler = onSignal;
    sigemptyset(&ours.sa_mask);
    sigaddset(&ours.sa_mask, SIGINT);
    sigaddset(&ours.sa_mask, SIGTERM);
    ours.sa_flags = SA_RESTART;
    ::sigaction(signo, &ours, nullptr);
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

void TemporaryFiles::removeAll() noexcept { unlinkAll(); }

void TemporaryFiles::installSignalHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        install(SIGINT, previousInt);
        install(SIGTERM, previousTerm);
        // A process that ends while items are still being written (the window closed during a
        // cancelled run) leaves none of their temporary files either.
        std::atexit([] { unlinkAll(); });
    });
}

int TemporaryFiles::count() noexcept { return liveCount.load(std::memory_order_relaxed); }

}  // namespace lw
