#pragma once
// A library's own messages routed into the log of the work that causes them instead of stderr.
// A library's log hook is process-wide and called on any thread, with nothing saying which piece
// of work it serves, so each thread names its own sink: a piece of work sets one around its calls
// into the library and hands it to the threads it starts. Messages on a thread without a sink
// are dropped. Each library has its own thread slot (`ScopedLibraryLogSink<Library>`).
#include <atomic>
#include <functional>
#include <string>

namespace lw {

// Where one piece of work's messages of one library go: at most kMaxLines of them, then one line
// saying that the rest were left out. `write` may be called on any thread that has the sink set
// and must be safe for that; what it throws is swallowed.
class LibraryLogSink {
public:
    static constexpr int kMaxLines = 20;

    explicit LibraryLogSink(std::function<void(const std::string& line)> write);
    LibraryLogSink(const LibraryLogSink&) = delete;
    LibraryLogSink& operator=(const LibraryLogSink&) = delete;

    void write(const std::string& line);

private:
    std::function<void(const std::string&)> write_;
    std::atomic<int> lines_{0};
};

// Writes `message` to `sink` a line at a time, each line's trailing blanks cut, empty lines left
// out, every line after `prefix`.
void writeLines(LibraryLogSink& sink, const std::string& prefix, const std::string& message);

// While alive, `Library`'s messages on the calling thread go to `sink` (null: they are dropped);
// the thread's previous sink comes back afterwards.
template <class Library>
class ScopedLibraryLogSink {
public:
    explicit ScopedLibraryLogSink(LibraryLogSink* sink) : previous_(slot()) { slot() = sink; }
    ~ScopedLibraryLogSink() { slot() = previous_; }
    ScopedLibraryLogSink(const ScopedLibraryLogSink&) = delete;
    ScopedLibraryLogSink& operator=(const ScopedLibraryLogSink&) = delete;

    // The calling thread's sink, to hand to the threads it starts; null when it has none.
    static LibraryLogSink* current() { return slot(); }

    // Hands one message of the library to the calling thread's sink, every line after the text
    // `prefix` makes. `prefix` and `text` are called only when there is a sink; a sink whose own
    // writing makes the library log again is not called again. Never throws: a message that
    // cannot be written is lost.
    template <class MakePrefix, class MakeText>
    static void deliver(MakePrefix&& prefix, MakeText&& text) noexcept {
        LibraryLogSink* sink = slot();
        bool& writing = busy();
        if (!sink || writing) return;
        writing = true;
        try {
            writeLines(*sink, prefix(), text());
        } catch (...) {
        }
        writing = false;
    }

private:
    static LibraryLogSink*& slot() {
        thread_local LibraryLogSink* sink = nullptr;
        return sink;
    }
    static bool& busy() {
        thread_local bool writing = false;
        return writing;
    }

    LibraryLogSink* previous_;
};

}  // namespace lw
