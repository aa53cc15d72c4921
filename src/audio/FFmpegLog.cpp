#include "audio/FFmpegLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace lw::av {

namespace {

thread_local LogSink* threadSink = nullptr;
thread_local bool writing = false;  // a sink that makes FFmpeg log again is not called again

void route(void* object, int level, const char* format, va_list arguments) {
    if ((level & 0xff) > AV_LOG_ERROR) return;
    LogSink* sink = threadSink;
    if (!sink || writing) return;

    char text[1024];
    va_list copy;
    va_copy(copy, arguments);
    std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);

    writing = true;
    try {
        // The component's name without its address: "[png]" rather than "[png @ 0x...]".
        std::string prefix;
        if (object) {
            const AVClass* type = *static_cast<const AVClass* const*>(object);
            if (type && type->item_name) {
                const char* name = type->item_name(object);
                if (name && *name) prefix = std::string("[") + name + "] ";
            }
        }
        const std::string message(text);
        for (std::size_t begin = 0; begin < message.size();) {
            std::size_t end = message.find('\n', begin);
            if (end == std::string::npos) end = message.size();
            std::string line = message.substr(begin, end - begin);
            line.erase(line.find_last_not_of(" \t\r") + 1);
            if (!line.empty()) sink->write(prefix + line);
            begin = end + 1;
        }
    } catch (...) {
        // Out of memory while logging: the message is lost, FFmpeg carries on.
    }
    writing = false;
}

}  // namespace

void routeLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_ERROR);
        av_log_set_callback(route);
    });
}

LogSink::LogSink(std::function<void(const std::string& line)> write) : write_(std::move(write)) {}

void LogSink::write(const std::string& line) {
    if (!write_) return;
    const int count = lines_.fetch_add(1, std::memory_order_relaxed);
    if (count > kMaxLines) return;
    try {
        write_(count < kMaxLines ? line : "further messages left out");
    } catch (...) {
    }
}

ScopedLogSink::ScopedLogSink(LogSink* sink) : previous_(threadSink) { threadSink = sink; }

ScopedLogSink::~ScopedLogSink() { threadSink = previous_; }

LogSink* ScopedLogSink::current() { return threadSink; }

}  // namespace lw::av
