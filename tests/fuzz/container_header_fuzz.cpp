// Feeds arbitrary bytes to the WAV/CAF and MP4 header readers, as a file of that size and as a
// file whose bytes run on past the data given (a header cut short).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "audio/ContainerHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lw::ContainerHeader::ReadAt read = [&](std::uint64_t offset, void* into, std::size_t n) -> std::size_t {
        if (offset >= size) return 0;
        const std::size_t got = std::min<std::uint64_t>(n, size - offset);
        std::memcpy(into, data + offset, got);
        return got;
    };
    for (const std::uint64_t fileSize : {std::uint64_t{size}, std::uint64_t{size} * 7 + 1, ~std::uint64_t{0}}) {
        if (const auto stated = lw::ContainerHeader::statedData(read, fileSize)) (void)stated->seconds();
        (void)lw::ContainerHeader::isoMediaWithoutIndex(read, fileSize);
    }
    return 0;
}
