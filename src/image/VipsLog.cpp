#include "image/VipsLog.h"

#include <glib.h>

#include <mutex>

namespace lw {

namespace {

void route(const gchar*, GLogLevelFlags, const gchar* message, gpointer) {
    if (!message) return;
    ScopedVipsLogSink::deliver([] { return std::string(); }, [&] { return std::string(message); });
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

}  // namespace lw
