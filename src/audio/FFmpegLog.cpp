#include "audio/FFmpegLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace lw::av {

namespace {

void route(void* object, int level, const char* format, va_list arguments) {
    if ((level & 0xff) > AV_LOG_ERROR) return;
    if (!ScopedLogSink::current()) return;
    char text[1024];
    va_list copy;
    va_copy(copy, arguments);
    std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    // The component's name without its address: "[png]" rather than "[png @ 0x...]".
    const char* name = nullptr;
    if (object) {
        const AVClass* type = *static_cast<const AVClass* const*>(object);
        if (type && type->item_name) name = type->item_name(object);
    }
    ScopedLogSink::deliver([&] { return name && *name ? std::string("[") + name + "] " : std::string(); },
                           [&] { return std::string(text); });
}

}  // namespace

void routeLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_ERROR);
        av_log_set_callback(route);
    });
}

}  // namespace lw::av
