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
#include "platform/LibraryLog.h"

namespace lw {

// Installs the routing; thread-safe, once. Called when libvips is started.
void routeVipsLog();

struct VipsLibrary;
using VipsLogSink = LibraryLogSink;
using ScopedVipsLogSink = ScopedLibraryLogSink<VipsLibrary>;

}  // namespace lw
