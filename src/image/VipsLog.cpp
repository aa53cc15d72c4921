#include "image/VipsLog.h"

#include <glib.h>

#include <mutex>

namespace lw {

namespace {

thread_local VipsLogSink* threadSink = nullptr;
thread_local bool writing = false;  // a sink that makes libvips log again is not called again

void route(const gchar*, GLogLevelFlags, const gchar* message, gpointer) {
    VipsLogSink* sink = threadSink;
    if (!sink || writing || !message) return;
    writing = true;
    try {
        const std::string text(message);
        for (std::size_t begin = 0; begin < text.size();) {
            std::size_t end = text.find('\n', begin);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(begin, end - begin);
            line.erase(line.find_last_not_of(" \t\r") + 1);
            if (!line.empty()) sink->write(line);
            begin = end + 1;
        }
    } catch (...) {
        // Out of memory while logging: the message is lost, libvips carries on.
    }
    writing = false;
}

}  // namespace

void routeVipsLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The levels GLib prints by default; information and debugging stay GLib's.
        g_log_set_handler("VIPS",
                          static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE),
                          route, nullptr);
    });
}

VipsLogSink::VipsLogSink(std::function<void(const std::string& line)> write) : write_(std::move(write)) {}

void VipsLogSink::write(const std::string& line) {
    if (!write_) return;
    const int count = lines_.fetch_add(1, std::memory_order_relaxed);
    if (count > kMaxLines) return;
    try {
        write_(count < kMaxLines ? line : "further messages left out");
    } catch (...) {
    }
}

ScopedVipsLogSink::ScopedVipsLogSink(VipsLogSink* sink) : previous_(threadSink) { threadSink = sink; }

ScopedVipsLogSink::~ScopedVipsLogSink() { threadSink = previous_; }

VipsLogSink* ScopedVipsLogSink::current() { return threadSink; }

}  // namespace lw
