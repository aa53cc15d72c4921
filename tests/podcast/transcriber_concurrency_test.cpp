#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "audio/podcast/Transcriber.h"

using namespace lw;

// Several transcriptions at once (the queue runs several episodes) each get their own decoders
// and the same words as a transcription alone.
TEST(TranscriberConcurrency, ParallelTranscriptionsMatchASingleOne) {
    const std::filesystem::path clip =
        "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0880.wav";
    const auto alone = Transcriber().transcribe(clip, "en_US");
    ASSERT_FALSE(alone.empty());

    std::vector<std::vector<CaptionWord>> results(3);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            Transcriber::Options options;
            options.decoders = static_cast<int>(i) + 1;
            results[i] = Transcriber(options).transcribe(clip, "en-US");
        });
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, alone);
}
