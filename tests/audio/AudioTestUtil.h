#pragma once
// Helpers shared by the audio suites: temporary folders, generated WAV files, ffmpeg fixtures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "audio/PCMStream.h"
#include "audio/WAVWriter.h"

namespace lw::test {

namespace fs = std::filesystem;

inline fs::path makeTempDir(const std::string& name) {
    fs::path dir = fs::temp_directory_path() / ("lw-audio-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// Writes `frames` frames from gen(frame, channel) as a WAV file.
inline void writeWav(const fs::path& path, double rate, int channels, std::size_t frames,
                     const std::function<float(std::size_t, int)>& gen, int bitDepth = 24) {
    WAVWriter writer(path, rate, channels, bitDepth);
    std::vector<float> buf;
    const std::size_t chunk = 4096;
    for (std::size_t start = 0; start < frames; start += chunk) {
        std::size_t n = std::min(chunk, frames - start);
        buf.resize(n * static_cast<std::size_t>(channels));
        for (std::size_t i = 0; i < n; ++i)
            for (int c = 0; c < channels; ++c)
                buf[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = gen(start + i, c);
        writer.write(buf, n);
    }
    writer.close();
}

// Sets the sample rate (and the byte rate that follows it) in the fmt chunk of a WAV file.
inline bool setWavRate(const fs::path& p, std::uint32_t rate) {
    std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), {});
    const auto pos = bytes.find("fmt ");
    if (pos == std::string::npos || pos + 24 > bytes.size()) return false;
    std::uint16_t blockAlign = 0;
    std::memcpy(&blockAlign, bytes.data() + pos + 20, 2);
    const std::uint32_t byteRate = rate * blockAlign;
    f.seekp(static_cast<std::streamoff>(pos + 12));
    f.write(reinterpret_cast<const char*>(&rate), 4);
    f.write(reinterpret_cast<const char*>(&byteRate), 4);
    return static_cast<bool>(f);
}

// Reads a whole file into interleaved samples.
inline std::vector<float> readAll(const fs::path& path, std::optional<double> rate = std::nullopt,
                                  std::optional<int> channels = std::nullopt, PCMStream::Format* format = nullptr,
                                  std::optional<double> maxDuration = std::nullopt) {
    std::vector<float> out;
    auto f = PCMStream::read(path, rate, channels, maxDuration, [&](std::span<const float> s, std::size_t) {
        out.insert(out.end(), s.begin(), s.end());
    });
    if (format) *format = f;
    return out;
}

inline bool haveTool(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command quietly; true on success.
inline bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// What a shell command prints on standard output.
inline std::string capture(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
    return out;
}

}  // namespace lw::test
