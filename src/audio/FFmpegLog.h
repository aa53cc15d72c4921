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
#include "platform/LibraryLog.h"

namespace lw::av {

// Installs the routing. Every FFmpeg user calls it before its first FFmpeg call; thread-safe.
void routeLibraryLog();

struct FFmpegLibrary;
using LogSink = LibraryLogSink;
using ScopedLogSink = ScopedLibraryLogSink<FFmpegLibrary>;

}  // namespace lw::av
