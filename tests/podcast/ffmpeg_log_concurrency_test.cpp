// FFmpeg's messages reach the sink of the thread that caused them, and no other.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "audio/FFmpegHandles.h"
#include "audio/FFmpegLog.h"

namespace lw {
namespace {

using Lines = std::vector<std::string>;

struct Collected {
    std::mutex mutex;
    Lines lines;
    av::LogSink sink{[this](const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    }};
};

// What the calling thread writes on stderr while `body` runs.
template <class Body>
std::string standardError(Body body) {
    std::fflush(stderr);
    FILE* capture = std::tmpfile();
    const int saved = ::dup(2);
    ::dup2(::fileno(capture), 2);
    body();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::string text;
    std::rewind(capture);
    for (int c; (c = std::fgetc(capture)) != EOF;) text += static_cast<char>(c);
    std::fclose(capture);
    return text;
}

TEST(FFmpegLog, ErrorsReachTheThreadsSinkAsLinesNamedByTheirComponent) {
    av::routeLibraryLog();
    const AVCodec* png = avcodec_find_decoder(AV_CODEC_ID_PNG);
    ASSERT_NE(png, nullptr);
    av::CodecPtr decoder(avcodec_alloc_context3(png));

    Collected collected;
    const std::string printed = standardError([&] {
        av_log(nullptr, AV_LOG_ERROR, "before any sink\n");
        {
            const av::ScopedLogSink routed(&collected.sink);
            av_log(decoder.get(), AV_LOG_ERROR, "Invalid PNG signature 0x%X.\n", 0x6E6F74);
            av_log(nullptr, AV_LOG_FATAL, "first line\nsecond line  \n\n");
            av_log(nullptr, AV_LOG_WARNING, "a warning is chatter\n");
            av_log(nullptr, AV_LOG_INFO, "so is information\n");
            {
                const av::ScopedLogSink dropped(nullptr);
                av_log(nullptr, AV_LOG_ERROR, "no sink here\n");
            }
            EXPECT_EQ(av::ScopedLogSink::current(), &collected.sink);
        }
        av_log(nullptr, AV_LOG_ERROR, "after the sink\n");
    });
    EXPECT_EQ(collected.lines, (Lines{"[png] Invalid PNG signature 0x6E6F74.", "first line", "second line"}));
    EXPECT_EQ(printed, "");
    EXPECT_EQ(av::ScopedLogSink::current(), nullptr);
}

// Items on several threads at once each get their own messages; a flood is cut short.
TEST(FFmpegLog, EachThreadKeepsToItsOwnSink) {
    av::routeLibraryLog();
    constexpr int kThreads = 6;
    constexpr int kMessages = av::LogSink::kMaxLines + 15;
    std::vector<Collected> collected(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&collected, t] {
            const av::ScopedLogSink routed(&collected[static_cast<std::size_t>(t)].sink);
            // A thread the item starts is handed the item's sink.
            std::thread helper([sink = av::ScopedLogSink::current(), t] {
                const av::ScopedLogSink routed(sink);
                av_log(nullptr, AV_LOG_ERROR, "helper of %d\n", t);
            });
            helper.join();
            for (int m = 1; m < kMessages; ++m) av_log(nullptr, AV_LOG_ERROR, "item %d\n", t);
        });
    for (auto& thread : threads) thread.join();

    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE(t);
        Lines expected{"helper of " + std::to_string(t)};
        expected.resize(av::LogSink::kMaxLines, "item " + std::to_string(t));
        expected.push_back("further messages left out");
        EXPECT_EQ(collected[static_cast<std::size_t>(t)].lines, expected);
    }
}

}  // namespace
}  // namespace lw
