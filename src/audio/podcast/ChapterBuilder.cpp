#include "audio/podcast/ChapterBuilder.h"

namespace lw::ChapterBuilder {

std::vector<Chapter> parse(const std::string&) { return {}; }
std::optional<double> seconds(const std::string&) { return std::nullopt; }
std::string clock(double, bool) { return "00:00"; }
std::vector<Chapter> tidy(std::vector<Chapter> chapters, double) { return chapters; }
std::vector<Chapter> automatic(const std::vector<CaptionWord>&, double, std::optional<double>) { return {}; }
std::string title(const std::vector<CaptionWord>&, std::size_t) { return "Chapter"; }
std::vector<std::uint8_t> json(const std::vector<Chapter>&) { return {}; }
std::string text(const std::vector<Chapter>&) { return "\n"; }
std::string ffmetadata(const std::vector<Chapter>&, double) { return ";FFMETADATA1\n"; }

}  // namespace lw::ChapterBuilder
