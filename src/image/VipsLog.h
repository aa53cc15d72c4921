#pragma once
// libvips' own messages (its "VIPS" GLib log domain: warnings such as "error in tile 0 x 296"),
// routed into the log of the work that causes them instead of stderr.
//
//   VipsLogSink sink([&](const std::string& line) { log("libvips: " + line); });
//   ScopedVipsLogSink routed(&sink);
//   ... libvips calls on this thread ...
//
// The GLib log handler is process-wide and called on any thread, so each thread names its own
// sink: a piece of work sets one around its libvips calls and hands it to the threads it starts.
// Messages on a thread without a sink (libvips' own worker threads, for one) are dropped.
// Nothing is printed.
#include <atomic>
#include <functional>
#include <string>

namespace lw {

// Installs the routing; thread-safe, once. Called when libvips is started.
void routeVipsLog();

// Where one piece of work's libvips messages go: at most kMaxLines of them, then one line
// saying that the rest were left out. `write` may be called on any thread that has the sink
// set; what it throws is swallowed.
class VipsLogSink {
public:
    static constexpr int kMaxLines = 20;

    explicit VipsLogSink(std::function<void(const std::string& line)> write);
    VipsLogSink(const VipsLogSink&) = delete;
    VipsLogSink& operator=(const VipsLogSink&) = delete;

    void write(const std::string& line);

private:
    std::function<void(const std::string&)> write_;
    std::atomic<int> lines_{0};
};

// While alive, libvips' messages on the calling thread go to `sink` (null: they are dropped);
// the thread's previous sink comes back afterwards.
class ScopedVipsLogSink {
public:
    explicit ScopedVipsLogSink(VipsLogSink* sink);
    ~ScopedVipsLogSink();
    ScopedVipsLogSink(const ScopedVipsLogSink&) = delete;
    ScopedVipsLogSink& operator=(const ScopedVipsLogSink&) = delete;

    // The calling thread's sink, to hand to the threads it starts; null when it has none.
    static VipsLogSink* current();

private:
    VipsLogSink* previous_;
};

}  // namespace lw
