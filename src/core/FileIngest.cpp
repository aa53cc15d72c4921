#include "platform/Paths.h"
#include "core/FileIngest.h"

#include <unicode/coll.h>
#include <unicode/locid.h>

#include <algorithm>
#include <memory>
#include <string>
#include <system_error>
#include <unordered_set>

namespace lw {

namespace FileIngest {

namespace {

namespace fs = std::filesystem;

std::unique_ptr<icu::Collator> makeCollator() {
    UErrorCode status = U_ZERO_ERROR;
    // The POSIX locale (LANG=C) tailors collation to byte order; a file manager still sorts
    // case-insensitively there, so it falls back to the root collation.
    icu::Locale locale = icu::Locale::getDefault();
    if (std::string(locale.getVariant()) == "POSIX") locale = icu::Locale::getRoot();
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !collator) return nullptr;
    collator->setStrength(icu::Collator::SECONDARY);  // case-insensitive, accents count
    collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    return collator;
}

bool isHiddenName(const fs::path& path) {
    auto name = path.filename().string();
    return !name.empty() && name.front() == '.';
}


struct Collector {
    const std::set<std::string>& allowed;
    std::vector<fs::path> found;
    std::unordered_set<std::string> seen;

    void consider(const fs::path& path) {
        if (isHiddenName(path)) return;
        std::error_code ec;
        if (!fs::is_regular_file(fs::status(path, ec))) return;  // follows a link to a file
        if (!allowed.count(lowerExtension(path))) return;
        if (seen.insert(path.string()).second) found.push_back(path);
    }

    // Folder by folder, so an error in one folder (a name too long to open, an entry that
    // vanished, a device error) skips that folder alone and the walk goes on. Links to folders
    // are not followed, so link loops end.
    void walk(const fs::path& root) {
        std::vector<fs::path> folders{root};
        while (!folders.empty()) {
            fs::path folder = std::move(folders.back());
            folders.pop_back();
            std::error_code ec;
            fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
            for (; !ec && it != end; it.increment(ec)) {
                const fs::directory_entry& entry = *it;
                std::error_code typeError;
                const bool hidden = isHiddenName(entry.path());
                if (entry.is_directory(typeError) && !entry.is_symlink(typeError)) {
                    if (!hidden) folders.push_back(entry.path());
                } else if (!hidden) {
                    consider(entry.path().lexically_normal());
                }
            }
        }
    }
};

}  // namespace

bool localizedStandardLess(const fs::path& a, const fs::path& b) {
    thread_local std::unique_ptr<icu::Collator> collator = makeCollator();
    const std::string sa = a.string(), sb = b.string();
    if (collator) {
        UErrorCode status = U_ZERO_ERROR;
        auto order = collator->compareUTF8(sa, sb, status);
        if (U_SUCCESS(status) && order != UCOL_EQUAL) return order == UCOL_LESS;
    }
    return sa < sb;
}

std::vector<fs::path> expand(const std::vector<fs::path>& urls, const std::set<std::string>& allowedExtensions) {
    Collector collector{allowedExtensions, {}, {}};
    for (const auto& url : urls) {
        if (url.empty()) continue;
        std::error_code ec;
        fs::path cleaned = fs::absolute(url, ec).lexically_normal();
        if (ec) continue;
        if (cleaned.filename().empty() && cleaned.has_parent_path() && cleaned != cleaned.root_path())
            cleaned = cleaned.parent_path();  // "folder/" -> "folder"
        auto status = fs::status(cleaned, ec);
        if (ec) continue;  // missing or unreadable: skipped
        if (fs::is_directory(status))
            collector.walk(cleaned);
        else
            collector.consider(cleaned);
    }
    auto result = std::move(collector.found);
    std::stable_sort(result.begin(), result.end(), localizedStandardLess);
    return result;
}

}  // namespace FileIngest

}  // namespace lw
