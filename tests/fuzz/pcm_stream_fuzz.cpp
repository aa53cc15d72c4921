// Feeds arbitrary bytes as a media file to the decoder and the meter.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "audio/LoudnessMeter.h"
#include "audio/PCMStream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("pcm-fuzz-" + std::to_string(::getpid()) + ".bin");
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    try {
        auto format = lw::PCMStream::format(path);
        lw::LoudnessMeter meter(format.sampleRate, format.channels);
        std::size_t total = 0;
        lw::PCMStream::read(path, std::nullopt, std::nullopt, 30.0, [&](std::span<const float> s, std::size_t frames) {
            meter.addFrames(s.data(), frames);
            total += s.size();
        });
        (void)meter.result();
    } catch (const lw::PCMStream::StreamError&) {
    }
    return 0;
}
