#pragma once
// FFmpeg's own messages, routed into the log of the work that causes them instead of stderr.
//
//   av::LogSink sink([&](const std::string& line) { log("FFmpeg: " + line); });
//   av::ScopedLogSink routed(&sink);
//   ... FFmpeg calls on this thread ...
//
// FFmpeg's log callback is process-wide and called on any thread, with nothing saying which
// piece of work it serves, so each thread names its own sink: a piece of work sets one around
// its FFmpeg calls and hands it to the threads it starts. Errors (and worse) reach the sink as
// one line each, "[png] Invalid PNG signature ..."; warnings and chatter, and every message on a
// thread without a sink (FFmpeg's own worker threads, for one), are dropped. Nothing is printed.
#include <atomic>
#include <functional>
#include <string>

namespace lw::av {

// Installs the routing. Every FFmpeg user calls it before its first FFmpeg call; thread-safe.
void routeLibraryLog();

// Where one piece of work's FFmpeg messages go: at most kMaxLines of them, then one line saying
// that the rest were left out. `write` may be called on any thread that has the sink set and
// must be safe for that; what it throws is swallowed.
class LogSink {
public:
    static constexpr int kMaxLines = 20;

    explicit LogSink(std::function<void(const std::string& line)> write);
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    void write(const std::string& line);

private:
    std::function<void(const std::string&)> write_;
    std::atomic<int> lines_{0};
};

// While alive, FFmpeg's messages on the calling thread go to `sink` (null: they are dropped);
// the thread's previous sink comes back afterwards.
class ScopedLogSink {
public:
    explicit ScopedLogSink(LogSink* sink);
    ~ScopedLogSink();
    ScopedLogSink(const ScopedLogSink&) = delete;
    ScopedLogSink& operator=(const ScopedLogSink&) = delete;

    // The calling thread's sink, to hand to the threads it starts; null when it has none.
    static LogSink* current();

private:
    LogSink* previous_;
};

}  // namespace lw::av
