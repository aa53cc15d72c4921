// Settings text from arbitrary bytes: one key=value pair per line, applied strictly and
// leniently to every vertical. Nothing may crash, and whatever the encoder writes for the
// lenient result a strict rebuild accepts (it throws CodecError otherwise, which aborts here).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "presets/PresetSettingsCodec.h"
#include "presets/Vertical.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace codec = lw::PresetSettingsCodec;
    const std::string input(reinterpret_cast<const char*>(data), size);
    lw::StringMap values;
    std::size_t start = 0;
    while (start <= input.size() && values.size() < 64) {
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(start, end - start);
        if (const auto eq = line.find('='); eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
        start = end + 1;
    }
    for (lw::Vertical vertical : lw::allVerticals()) {
        try {
            (void)codec::makePreset(vertical, values, true);
        } catch (const codec::CodecError&) {
        }
        const auto lenient = codec::makePreset(vertical, values, false);
        const lw::StringMap encoded = codec::encode(*lenient);
        const auto rebuilt = codec::makePreset(vertical, encoded, true);
        if (codec::encode(*rebuilt).size() != encoded.size()) std::abort();
    }
    (void)codec::clip(input);
    (void)codec::humMode(input);
    return 0;
}
