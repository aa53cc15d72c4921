// Naming patterns and variable values from arbitrary bytes: resolve must neither crash nor
// grow without bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/TokenRenamer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const lw::BatchItem item(lw::Uuid::fromBytes({}), "/in/IMG_0001.JPG", std::nullopt,
                                    lw::ProcessingStatus::pending, 0, std::nullopt, {{"size", "25"}});
    std::string input(reinterpret_cast<const char*>(data), size);
    // First line: the pattern; following lines: key=value variables.
    std::string pattern = input.substr(0, input.find('\n'));
    lw::StringMap vars;
    std::size_t pos = input.find('\n');
    while (pos != std::string::npos && vars.size() < 64) {
        std::size_t next = input.find('\n', pos + 1);
        std::string line = input.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1);
        auto eq = line.find('=');
        if (eq != std::string::npos) vars[line.substr(0, eq)] = line.substr(eq + 1);
        pos = next;
    }
    auto out = lw::TokenRenamer::resolve(pattern, item, static_cast<std::int64_t>(size), 99, vars);
    std::size_t varBytes = 0;
    for (const auto& [k, v] : vars) varBytes += k.size() + v.size();
    // Bounded by the input and the caps: padding can widen the capped text at most
    // kMaxWidth-fold, never more.
    const std::size_t bound = static_cast<std::size_t>(lw::TokenRenamer::kMaxWidth) *
                              (2 * lw::TokenRenamer::kMaxExpandedLength + 64 * (pattern.size() + varBytes) + 1024);
    if (out.size() > bound) std::abort();
    return 0;
}
