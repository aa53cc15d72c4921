// Chapter lists typed by the user: parsing, tidying and the three chapter writers.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "audio/podcast/ChapterBuilder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto chapters = lw::ChapterBuilder::parse(text);
    for (std::size_t i = 1; i < chapters.size(); ++i)
        if (chapters[i].start < chapters[i - 1].start || chapters[i].title.empty()) __builtin_trap();
    (void)lw::ChapterBuilder::seconds(text);
    const auto tidied = lw::ChapterBuilder::tidy(chapters, 3600);
    if (!tidied.empty() && tidied.front().start != 0) __builtin_trap();
    const auto json = lw::ChapterBuilder::json(tidied);
    if (!nlohmann::json::accept(json.begin(), json.end())) __builtin_trap();
    (void)lw::ChapterBuilder::text(tidied);
    const auto meta = lw::ChapterBuilder::ffmetadata(tidied, 3600);
    // Every title stays on its own line.
    std::size_t lines = 0;
    for (char c : meta) lines += c == '\n';
    if (lines != 1 + 5 * tidied.size()) __builtin_trap();
    return 0;
}
