#include <gtest/gtest.h>

#include <thread>

#include "../audio/AudioTestUtil.h"
#include "audio/podcast/AudioVideoPipeline.h"

namespace lw {
namespace {

namespace fs = std::filesystem;

// Two exports of one source at once on one pipeline: each has its own scratch folder and run
// state, both succeed with their own deliverables, and no scratch folder is left.
TEST(AudioVideoPipelineConcurrency, TwoExportsOfOneSourceAtOnce) {
    const fs::path dir = test::makeTempDir("pipeline-concurrency");
    const fs::path scratch = dir / "tmp";
    fs::create_directories(scratch);
    ::setenv("TMPDIR", scratch.c_str(), 1);
    const fs::path episode = dir / "episode.wav";
    test::writeWav(episode, 22050, 1, 22050 * 3, [](std::size_t i, int) {
        const double t = static_cast<double>(i) / 22050;
        return static_cast<float>((std::fmod(t, 0.6) < 0.4 ? 0.2 : 0.001) * std::sin(2 * M_PI * 220 * t));
    });
    const FFmpegRunner noFFmpeg(std::vector<fs::path>{});
    const AudioVideoPipeline pipeline(noFFmpeg, nullptr);

    std::vector<std::vector<fs::path>> results(2);
    std::vector<std::string> errors(2);
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            AudioVideoPipeline::MultiFormatExportRequest request(
                episode, dir / "out", "run" + std::to_string(i), {}, true, true, true, false, {-16, -1, 11, false});
            request.introURL = episode;
            try {
                results[static_cast<std::size_t>(i)] = pipeline.processMultiFormat(request, {}, [](const std::string&) {});
            } catch (const std::exception& e) {
                errors[static_cast<std::size_t>(i)] = e.what();
            }
        });
    }
    for (auto& t : threads) t.join();
    ::unsetenv("TMPDIR");

    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(errors[static_cast<std::size_t>(i)], "");
        const auto& files = results[static_cast<std::size_t>(i)];
        ASSERT_EQ(files.size(), 3u);
        EXPECT_EQ(files[0].filename(), "run" + std::to_string(i) + "_Master_-16LUFS.wav");
        EXPECT_NEAR(PCMStream::format(files[0]).durationSeconds, 6.0, 0.01);  // intro + episode
    }
    EXPECT_TRUE(fs::is_empty(scratch));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace lw
