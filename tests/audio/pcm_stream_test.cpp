#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstring>
#include <fstream>
#include <limits>

#include "AudioTestUtil.h"
#include "audio/PCMStream.h"
#include "audio/WAVWriter.h"

namespace lw {
namespace {

using namespace lw::test;
using ::testing::HasSubstr;

class PCMStreamTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dir_ = makeTempDir("pcm"); }
    static void TearDownTestSuite() { fs::remove_all(dir_); }
    static fs::path dir_;
};
fs::path PCMStreamTest::dir_;

float ramp(std::size_t i, int c) { return static_cast<float>(((i * 7 + static_cast<std::size_t>(c) * 13) % 2001) / 1000.0 - 1.0) * 0.9f; }

TEST_F(PCMStreamTest, WavRoundTripKeepsSamplesAndReportsFrameCounts) {
    auto path = dir_ / "ramp.wav";
    const std::size_t frames = 48000;
    writeWav(path, 48000, 2, frames, ramp);

    auto format = PCMStream::format(path);
    EXPECT_EQ(format.sampleRate, 48000);
    EXPECT_EQ(format.channels, 2);
    EXPECT_NEAR(format.durationSeconds, 1.0, 1e-3);

    std::vector<float> all;
    std::size_t frameTotal = 0;
    auto used = PCMStream::read(path, std::nullopt, std::nullopt, std::nullopt,
                                [&](std::span<const float> s, std::size_t n) {
                                    EXPECT_EQ(s.size(), n * 2);  // frames = samples / channels
                                    frameTotal += n;
                                    all.insert(all.end(), s.begin(), s.end());
                                });
    EXPECT_EQ(used.sampleRate, 48000);
    EXPECT_EQ(used.channels, 2);
    ASSERT_EQ(frameTotal, frames);
    for (std::size_t i = 0; i < frames; ++i)
        for (int c = 0; c < 2; ++c) ASSERT_NEAR(all[i * 2 + static_cast<std::size_t>(c)], ramp(i, c), 1.0 / (1 << 22)) << i;
}

TEST_F(PCMStreamTest, WriterSaturatesOversAndWritesPlainRiffForSmallFiles) {
    auto path = dir_ / "overs.wav";
    writeWav(path, 44100, 1, 100, [](std::size_t i, int) { return i % 2 ? 1.7f : -1.7f; }, 16);
    auto s = readAll(path);
    ASSERT_EQ(s.size(), 100u);
    EXPECT_NEAR(s[0], -1.0f, 1e-4);
    EXPECT_NEAR(s[1], 1.0f, 1e-4);  // clipped, not wrapped to a negative value
    std::ifstream in(path, std::ios::binary);
    char magic[4];
    in.read(magic, 4);
    EXPECT_EQ(std::string(magic, 4), "RIFF");
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
    sf_close(f);
}

TEST_F(PCMStreamTest, EncodedFramesMatchTheWritersOwnBytes) {
    // Exact steps, halfway cases, the largest values below full scale, overs of both signs.
    const std::vector<float> values = {0.0f, 1.0f / (1 << 23), -1.0f / (1 << 23), 0.5f / (1 << 23), 1.5f / (1 << 23),
                                       -0.5f / (1 << 23), 0.123456789f, -0.987654321f, 0.99999994f, -0.99999994f,
                                       1.0f, -1.0f, 1.5f, -2.0f, 1e-30f, -1e-30f};
    const auto plain = dir_ / "plain24.wav", encoded = dir_ / "encoded24.wav";
    {
        WAVWriter a(plain, 48000, 2, 24);
        a.write(values, values.size() / 2);
        a.close();
        std::vector<unsigned char> bytes(values.size() * 3);
        WAVWriter::encode24(values.data(), values.size(), bytes.data());
        WAVWriter b(encoded, 48000, 2, 24);
        b.writeEncoded(bytes.data(), values.size() / 2);
        EXPECT_EQ(b.framesWritten(), values.size() / 2);
        b.close();
    }
    auto bytesOf = [](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    EXPECT_EQ(bytesOf(encoded), bytesOf(plain));
    WAVWriter sixteen(dir_ / "sixteen.wav", 48000, 1, 16);
    const unsigned char three[3] = {};
    EXPECT_THROW(sixteen.writeEncoded(three, 1), std::logic_error);
}

TEST_F(PCMStreamTest, WriterIgnoresEmptyAndLateWritesAndLeavesNothingWhenDropped) {
    auto path = dir_ / "late.wav";
    {
        WAVWriter w(path, 48000, 2, 24);
        std::vector<float> none;
        w.write(none, 0);
        w.close();
        float two[4] = {0.1f, 0.2f, 0.3f, 0.4f};
        w.write(two, 2);  // after close: ignored
        w.close();
    }
    EXPECT_TRUE(readAll(path).empty());

    auto kept = dir_ / "kept.wav";
    writeWav(kept, 48000, 1, 10, [](std::size_t, int) { return 0.5f; });
    {
        WAVWriter w(kept, 48000, 1, 24);
        float one[1] = {0.1f};
        w.write(one, 1);
        // destroyed without close, as when rendering fails half-way
    }
    EXPECT_EQ(readAll(kept).size(), 10u);  // the earlier file stands
    for (auto& e : fs::directory_iterator(dir_))
        EXPECT_THAT(e.path().filename().string(), ::testing::Not(HasSubstr(".partial-")));
}

TEST_F(PCMStreamTest, WriterRejectsUnwritableDestinationNamingTheFile) {
    try {
        WAVWriter w(dir_ / "no-such-folder" / "out.wav", 48000, 2, 24);
        FAIL() << "expected an error";
    } catch (const WAVWriter::WriteError& e) {
        EXPECT_THAT(e.what(), HasSubstr("out.wav"));
    }
    EXPECT_THROW(WAVWriter(dir_ / "odd.wav", 48000, 2, 12), WAVWriter::WriteError);
}

TEST_F(PCMStreamTest, ResamplesAndRemixes) {
    auto path = dir_ / "tone.wav";
    writeWav(path, 48000, 2, 48000, [](std::size_t i, int) {
        return static_cast<float>(0.5 * std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / 48000));
    });
    PCMStream::Format f;
    auto s = readAll(path, 16000.0, 1, &f);
    EXPECT_EQ(f.sampleRate, 16000);
    EXPECT_EQ(f.channels, 1);
    EXPECT_NEAR(static_cast<double>(s.size()), 16000, 40);
    double sq = 0;
    for (std::size_t i = 1000; i < 15000; ++i) sq += s[i] * s[i];
    EXPECT_NEAR(std::sqrt(sq / 14000), 0.5 / std::sqrt(2.0), 0.01);  // identical channels mix to the same level
}

TEST_F(PCMStreamTest, MaxDurationStopsSamplesButNotTheReportedDuration) {
    auto path = dir_ / "two-seconds.wav";
    writeWav(path, 44100, 1, 88200, [](std::size_t, int) { return 0.25f; });
    PCMStream::Format f;
    EXPECT_EQ(readAll(path, std::nullopt, std::nullopt, &f, 0.5).size(), 22050u);
    EXPECT_NEAR(f.durationSeconds, 2.0, 1e-3);
    EXPECT_EQ(readAll(path, std::nullopt, std::nullopt, &f, 10.0).size(), 88200u);
    EXPECT_EQ(readAll(path, 16000.0, std::nullopt, &f, 1.0).size(), 16000u);
    // A limit too large to count in frames, or infinite, reads to the end.
    for (double limit : {1e15, 1e300, std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(limit);
        EXPECT_EQ(readAll(path, std::nullopt, std::nullopt, &f, limit).size(), 88200u);
    }
}

TEST_F(PCMStreamTest, CallbackErrorsEndTheReadUnchanged) {
    auto path = dir_ / "abort.wav";
    writeWav(path, 48000, 1, 48000, [](std::size_t, int) { return 0.1f; });
    int calls = 0;
    struct Stop {};
    EXPECT_THROW(PCMStream::read(path, std::nullopt, std::nullopt, std::nullopt,
                                 [&](std::span<const float>, std::size_t) {
                                     ++calls;
                                     throw Stop{};
                                 }),
                 Stop);
    EXPECT_EQ(calls, 1);
}

// Odd inputs, each made in the test: (name, maker, expected format or expected error text).
struct OddInput {
    std::string name;
    std::function<bool(const fs::path&)> make;
    std::string error;  // empty: must read; else a substring of the error text
    double rate = 0;    // with an error: 0 when format() fails too, else the format it reports
    int channels = 0;
};


TEST_F(PCMStreamTest, OddAndBadInputsGiveClearResults) {
    const bool ff = haveTool("ffmpeg");
    auto ffmpeg = [](const std::string& args) {
        return [args](const fs::path& p) { return run("ffmpeg -nostdin -y -loglevel error " + args + " " + quoted(p)); };
    };
    std::vector<OddInput> cases = {
        {"missing.wav", [](const fs::path&) { return true; }, "Could not read audio from missing.wav: ", 0, 0},
        {"notes.wav",
         [](const fs::path& p) {
             std::ofstream(p) << "These are my notes, not audio.\n";
             return true;
         },
         "notes.wav has no audio track.", 0, 0},
        {"empty.wav",
         [](const fs::path& p) {
             std::ofstream(p, std::ios::binary).flush();
             return true;
         },
         "empty.wav has no audio track.", 0, 0},
        {"header-only.wav",
         [](const fs::path& p) {
             WAVWriter w(p, 48000, 2, 16);
             w.close();
             return true;
         },
         "", 48000, 2},
        {"notaudio.mp3",
         [](const fs::path& p) {
             std::ofstream(p) << "These are my notes, not audio.\n";
             return true;
         },
         "Could not read audio from notaudio.mp3: it is not an audio file that can be read", 0, 0},
        // The FLAC demuxer is chosen by the name alone and finds a stream it cannot describe.
        {"notaudio.flac",
         [](const fs::path& p) {
             std::ofstream(p) << "These are my notes, not audio.\n";
             return true;
         },
         "Could not read audio from notaudio.flac: it is not an audio file that can be read", 0, 0},
        {"phone.wav", [](const fs::path& p) { writeWav(p, 8000, 1, 8000, ramp); return true; }, "", 8000, 1},
        // A header that says 1 Hz (48000 frames would be 13 hours) or just under telephone rate.
        {"one-hertz.wav", [](const fs::path& p) { writeWav(p, 8000, 1, 48000, ramp); return setWavRate(p, 1); },
         "Could not read audio from one-hertz.wav: its sample rate of 1 Hz is outside the rates recordings use", 0, 0},
        {"7999.wav", [](const fs::path& p) { writeWav(p, 8000, 1, 8000, ramp); return setWavRate(p, 7999); },
         "Could not read audio from 7999.wav: its sample rate of 7999 Hz", 0, 0},
        {"hires.wav", [](const fs::path& p) { writeWav(p, 192000, 2, 19200, ramp); return true; }, "", 192000, 2},
        // A header that claims about six hours of 48 kHz stereo followed by 64 bytes of data: the
        // file is cut short.
        {"liar.wav",
         [](const fs::path& p) {
             writeWav(p, 48000, 2, 16, ramp, 16);
             std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
             std::string bytes((std::istreambuf_iterator<char>(f)), {});
             auto pos = bytes.find("data");
             if (pos == std::string::npos) return false;
             std::uint32_t huge = 0xF0000000u;
             f.seekp(static_cast<std::streamoff>(pos + 4));
             f.write(reinterpret_cast<const char*>(&huge), 4);
             return true;
         },
         "Could not read audio from liar.wav: the audio ends after 0.0 s of the 20971.5 s the file states", 48000, 2},
    };
    if (ff) {
        cases.push_back({"six.wav", ffmpeg("-f lavfi -i sine=f=440:d=0.5 -filter_complex \"[0]asplit=6[a][b][c][d][e][f];[a][b][c][d][e][f]amerge=inputs=6\" -ac 6"), "", 44100, 2});
        cases.push_back({"video.mp4", ffmpeg("-f lavfi -i color=c=blue:s=64x64:d=1 -an -c:v mpeg4"), "video.mp4 has no audio track.", 0, 0});
        // The encoder's header states 3 s; half the file decodes to about 1.5 s.
        cases.push_back({"truncated.mp3",
                         [&](const fs::path& p) {
                             if (!ffmpeg("-f lavfi -i sine=f=440:d=3 -c:a libmp3lame -b:a 64k")(p)) return false;
                             fs::resize_file(p, fs::file_size(p) / 2);
                             return true;
                         },
                         "Could not read audio from truncated.mp3: the audio ends after 1.", 44100, 1});
        // Without that header the length is only estimated from the file size: nothing to hold
        // the decode to.
        cases.push_back({"truncated-headerless.mp3",
                         [&](const fs::path& p) {
                             if (!ffmpeg("-f lavfi -i sine=f=440:d=3 -c:a libmp3lame -b:a 64k -write_xing 0")(p))
                                 return false;
                             fs::resize_file(p, fs::file_size(p) / 2);
                             return true;
                         },
                         "", 44100, 1});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto path = dir_ / c.name;
        ASSERT_TRUE(c.make(path));
        if (!c.error.empty()) {
            try {
                readAll(path);
                FAIL() << "expected an error";
            } catch (const PCMStream::StreamError& e) {
                EXPECT_THAT(e.what(), HasSubstr(c.error));
            }
            if (c.rate == 0) {
                EXPECT_THROW(PCMStream::format(path), PCMStream::StreamError);
            } else {
                EXPECT_EQ(PCMStream::format(path).sampleRate, c.rate);
            }
            continue;
        }
        auto f = PCMStream::format(path);
        EXPECT_EQ(f.sampleRate, c.rate);
        EXPECT_EQ(f.channels, c.channels);
        PCMStream::Format used;
        auto s = readAll(path, std::nullopt, std::nullopt, &used);
        EXPECT_EQ(used.channels, c.channels);
        EXPECT_EQ(s.size() % static_cast<std::size_t>(c.channels), 0u);
    }
}

// Reading the whole of `path` fails as a file cut short of the 10 s it states, having read
// `seconds` (a pattern for the whole seconds).
void expectCutShort(const fs::path& path, const std::string& name, const std::string& seconds) {
    try {
        readAll(path);
        ADD_FAILURE() << "expected an error";
    } catch (const PCMStream::StreamError& e) {
        EXPECT_THAT(e.what(), ::testing::MatchesRegex("Could not read audio from " + name + ": the audio ends after " +
                                                      seconds + "\\.[0-9] s of the 10\\.0 s the file states; it is "
                                                      "cut short or damaged"));
    }
}

// A file whose container states its length (the MP3 encoder's frame count, FLAC's sample count)
// and whose data ends far before it is cut off: the read fails naming both lengths rather than
// passing on a shorter recording. Padding-sized shortfalls, and reads that stop before the cut,
// are fine.
TEST_F(PCMStreamTest, AReadEndingFarShortOfTheStatedLengthFails) {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    struct Cut {
        std::string name, codec;
        double kept;  // fraction of the file's bytes left
        bool fails;
    };
    const std::vector<Cut> cuts = {
        {"half.mp3", "-c:a libmp3lame -b:a 32k", 0.5, true},
        {"half.flac", "-c:a flac", 0.5, true},
        {"last-half-second.mp3", "-c:a libmp3lame -b:a 32k", 0.95, false},
    };
    for (const auto& c : cuts) {
        SCOPED_TRACE(c.name);
        const auto path = dir_ / c.name;
        ASSERT_TRUE(run("ffmpeg -nostdin -y -loglevel error -f lavfi -i sine=f=440:d=10 " + c.codec + " " + quoted(path)));
        fs::resize_file(path, static_cast<std::uintmax_t>(static_cast<double>(fs::file_size(path)) * c.kept));
        EXPECT_NEAR(PCMStream::format(path).durationSeconds, 10.0, 0.1);
        // Three seconds are there: a read limited to them is whole.
        EXPECT_EQ(readAll(path, std::nullopt, std::nullopt, nullptr, 3.0).size(), 3u * 44100u);
        if (!c.fails) {
            EXPECT_GT(readAll(path).size(), 9u * 44100u);
            continue;
        }
        expectCutShort(path, c.name, "[4-6]");
    }
}

// WAV and CAF headers state the data's length, and FFmpeg shortens it to what the file holds: a
// file cut short fails as the other containers do. Sizes written while streaming (0, 0xFFFFFFFF,
// CAF's -1) state nothing, so such a file reads as far as it goes, and short whole files are whole.
TEST_F(PCMStreamTest, AWavOrCafCutShortOfItsHeaderFails) {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    const auto patch32 = [](const fs::path& p, std::size_t at, std::uint32_t value) {
        std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(at));
        const unsigned char le[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                     static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
        f.write(reinterpret_cast<const char*>(le), 4);
    };
    const auto dataChunk = [](const fs::path& p) {
        std::ifstream f(p, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(f)), {});
        return bytes.find("data");
    };
    struct Case {
        std::string name;
        std::string output;  // ffmpeg's output options
        double seconds;
        double kept;             // fraction of the file's bytes left
        std::optional<std::uint32_t> sizes = {};  // the RIFF and data sizes written over
        double reads = 0;        // seconds read; 0: the read fails
    };
    const std::vector<Case> cases = {
        {"cut.wav", "-c:a pcm_s16le", 10, 0.5},
        {"cut-24.wav", "-c:a pcm_s24le -ac 2", 10, 0.5},
        {"cut-rf64.wav", "-c:a pcm_s16le -rf64 always", 10, 0.5},
        {"cut.caf", "-c:a pcm_s16le", 10, 0.5},
        {"cut-float.caf", "-c:a pcm_f32be -ac 2", 10, 0.5},
        {"nearly-whole.wav", "-c:a pcm_s16le", 10, 0.97, {}, 9.7},
        {"streamed.wav", "-c:a pcm_s16le -f wav -", 10, 1, 0xFFFFFFFF, 10},
        {"streamed-cut.wav", "-c:a pcm_s16le", 10, 0.5, 0xFFFFFFFF, 5},
        {"zero-sizes-cut.wav", "-c:a pcm_s16le", 10, 0.5, 0, 5},
        {"zero-sizes.wav", "-c:a pcm_s16le", 10, 1, 0, 10},
        {"streamed-cut.caf", "-c:a pcm_s16le -f caf -", 10, 0.5, {}, 5},
        {"short.wav", "-c:a pcm_s16le", 0.3, 1, {}, 0.3},
        {"short-rf64.wav", "-c:a pcm_s16le -rf64 always", 0.3, 1, {}, 0.3},
        {"short.caf", "-c:a pcm_s16le", 0.3, 1, {}, 0.3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir_ / c.name;
        const bool piped = c.output.ends_with(" -");
        const std::string ffmpeg = "ffmpeg -nostdin -y -loglevel error -f lavfi -i sine=f=440:d=" +
                                   std::to_string(c.seconds) + " " + c.output;
        ASSERT_TRUE(run(piped ? "(" + ffmpeg + " > " + quoted(path) + ")" : ffmpeg + " " + quoted(path)));
        if (c.sizes) {
            patch32(path, 4, *c.sizes);
            patch32(path, dataChunk(path) + 4, *c.sizes);
        }
        fs::resize_file(path, static_cast<std::uintmax_t>(static_cast<double>(fs::file_size(path)) * c.kept));
        if (c.reads > 0) {
            const auto samples = readAll(path);
            const double channels = c.output.find("-ac 2") != std::string::npos ? 2 : 1;
            EXPECT_NEAR(static_cast<double>(samples.size()) / channels / 44100, c.reads, 0.01);
            continue;
        }
        expectCutShort(path, c.name, "[45]");
    }
}

// An MP4 or M4A whose index (moov) comes after the audio and is cut off: the error says the file is
// cut short rather than that it has no audio.
TEST_F(PCMStreamTest, AnMP4CutBeforeItsIndexSaysItIsCutShort) {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    struct Case {
        std::string name;
        double kept;  // fraction of the file's bytes left
    };
    const std::vector<Case> cases = {{"moov-last.m4a", 0.5}, {"moov-last.mp4", 0.9}, {"only-ftyp.m4a", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir_ / c.name;
        ASSERT_TRUE(run("ffmpeg -nostdin -y -loglevel error -f lavfi -i sine=f=440:d=10 -c:a aac " + quoted(path)));
        const auto size = static_cast<double>(fs::file_size(path));
        fs::resize_file(path, c.kept > 0 ? static_cast<std::uintmax_t>(size * c.kept) : 28);  // ffmpeg's ftyp box
        const std::string expected = "Could not read audio from " + c.name +
                                     ": its index (the moov box) is missing or incomplete; it is cut short or damaged";
        for (const bool reading : {false, true}) {
            try {
                if (reading)
                    readAll(path);
                else
                    PCMStream::format(path);
                ADD_FAILURE() << "expected an error";
            } catch (const PCMStream::StreamError& e) {
                EXPECT_EQ(e.what(), expected);
            }
        }
    }
}

TEST_F(PCMStreamTest, DecodesThePodcastInputFormats) {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    const std::vector<std::pair<std::string, std::string>> formats = {
        {"wav", "-c:a pcm_s16le"}, {"aif", "-c:a pcm_s16be -f aiff"}, {"aiff", "-c:a pcm_s24be"},
        {"mp3", "-c:a libmp3lame"}, {"m4a", "-c:a aac"},        {"flac", "-c:a flac"},
        {"mov", "-c:a aac"},        {"mp4", "-c:a aac"},         {"caf", "-c:a pcm_s16le"},
    };
    for (const auto& [ext, codec] : formats) {
        SCOPED_TRACE(ext);
        auto path = dir_ / ("tone." + ext);
        ASSERT_TRUE(run("ffmpeg -nostdin -y -loglevel error -f lavfi -i sine=f=500:d=2:sample_rate=44100 -ac 2 " +
                        codec + " " + quoted(path)));
        auto f = PCMStream::format(path);
        EXPECT_EQ(f.sampleRate, 44100);
        EXPECT_EQ(f.channels, 2);
        EXPECT_NEAR(f.durationSeconds, 2.0, 0.1);
        auto s = readAll(path);
        EXPECT_NEAR(static_cast<double>(s.size()) / 2, 88200, 3000);  // encoder padding aside
        float peak = 0;
        for (float v : s) peak = std::max(peak, std::fabs(v));
        EXPECT_NEAR(peak, 0.0884, 0.01);  // the sine source (1/8) spread over two channels by -ac 2
    }
}

}  // namespace
}  // namespace lw
