#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace lw {

std::string lowerExtension(const fs::path& path) {
    std::string ext = path.extension().string();
    if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
    for (auto& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

fs::path standardized(const fs::path& file) {
    std::error_code ec;
    fs::path absolute = fs::absolute(file, ec);
    if (ec) absolute = file;
    fs::path canonical = fs::weakly_canonical(absolute, ec);
    return ec ? absolute.lexically_normal() : canonical;
}

fs::path relativeWithin(const fs::path& file, const fs::path& folder) {
    const fs::path whole = standardized(file);
    if (folder.empty()) return whole;
    const fs::path relative = whole.lexically_relative(standardized(folder));
    return !relative.empty() && *relative.begin() != ".." ? relative : whole;
}

}  // namespace lw
