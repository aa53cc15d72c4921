// Library and standard-library exceptions at the audio engine's boundaries become the
// operation's own one-line error naming the file; ours and the caller's pass unchanged.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "AudioTestUtil.h"
#include "audio/LibraryErrors.h"
#include "audio/LoudnessProcessing.h"
#include "audio/PCMStream.h"

namespace lw {
namespace {

using namespace lw::test;

TEST(LibraryErrors, BecomeTheOperationsOwnErrorInOneLine) {
    using E = LoudnessNormalizer::NormalizerError;
    const fs::path file = "/podcasts/episode 4.wav";
    struct Case {
        const char* name;
        std::function<void()> raise;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"out of memory", [] { throw std::bad_alloc(); }, "Could not process episode 4.wav: there is not enough memory."},
        {"too large a buffer", [] { std::vector<int>().reserve(std::vector<int>().max_size() + 1); },
         "Could not process episode 4.wav: there is not enough memory."},
        {"file system",
         [] {
             throw std::filesystem::filesystem_error("rename", "/a", "/b",
                                                     std::make_error_code(std::errc::no_space_on_device));
         },
         "Could not process episode 4.wav: " + std::make_error_code(std::errc::no_space_on_device).message() + "."},
        {"thread", [] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); },
         "Could not process episode 4.wav: " +
             std::make_error_code(std::errc::resource_unavailable_try_again).message() + "."},
        {"a library's text over several lines", [] { throw std::runtime_error("decoder failed\nat frame 12\n"); },
         "Could not process episode 4.wav: decoder failed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            withLibraryErrorsAs(c.raise, [&](const std::string& reason) { return E::failed(file, reason); });
            ADD_FAILURE() << "no error";
        } catch (const E& e) {
            EXPECT_EQ(e.kind(), E::Kind::failed);
            EXPECT_EQ(std::string(e.what()), c.text);
        }
    }
    // Our own errors pass unchanged.
    EXPECT_THROW(withLibraryErrorsAs([&] { throw PCMStream::StreamError::noAudioTrack(file); },
                                     [&](const std::string& reason) { return E::failed(file, reason); }),
                 PCMStream::StreamError);
}

TEST(LibraryErrors, TheReadersChunkHandlerErrorsPassUnchanged) {
    const fs::path dir = makeTempDir("library-errors");
    const fs::path file = dir / "tone.wav";
    writeWav(file, 8000, 1, 8000, [](std::size_t, int) { return 0.1f; });
    EXPECT_THROW(PCMStream::read(file, std::nullopt, std::nullopt, std::nullopt,
                                 [](std::span<const float>, std::size_t) { throw std::bad_alloc(); }),
                 std::bad_alloc);
    EXPECT_THROW(PCMStream::read(file, std::nullopt, std::nullopt, std::nullopt,
                                 [](std::span<const float>, std::size_t) { throw std::runtime_error("mine"); }),
                 std::runtime_error);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace lw
