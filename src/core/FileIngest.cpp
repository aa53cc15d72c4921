#include "platform/Paths.h"
#include "core/FileIngest.h"

#include <unicode/coll.h>
#include <unicode/locid.h>

#include <algorithm>
#include <iterator>
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


// Whether `path` is `folder` or lies below it; both already resolved.
bool isWithin(const fs::path& path, const fs::path& folder) {
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
        if (f->empty() && std::next(f) == folder.end()) break;  // "folder/"
        if (p == path.end() || *p != *f) return false;
    }
    return true;
}

// The path with its links resolved as far as it exists; empty when that fails.
fs::path resolved(const fs::path& path) {
    std::error_code ec;
    fs::path result = fs::weakly_canonical(path, ec);
    return ec ? fs::path() : result;
}

struct Collector {
    const std::set<std::string>& allowed;
    const OutputFolder* output = nullptr;
    fs::path outputFolder;  // resolved; empty when there is none
    std::vector<fs::path> found;
    std::unordered_set<std::string> seen;
    // Files left out as deliverables: their path and their path relative to the output folder.
    std::vector<std::pair<fs::path, fs::path>>* leftOut = nullptr;

    bool eligible(const fs::path& path) const {
        if (isHiddenName(path)) return false;
        std::error_code ec;
        if (!fs::is_regular_file(fs::status(path, ec))) return false;  // follows a link to a file
        return allowed.count(lowerExtension(path)) > 0;
    }

    void consider(const fs::path& path) {
        if (eligible(path) && seen.insert(path.string()).second) found.push_back(path);
    }

    // Folder by folder, so an error in one folder (a name too long to open, an entry that
    // vanished, a device error) skips that folder alone and the walk goes on. Links to folders
    // are not followed, so link loops end, and a folder's resolved path is its parent's plus its
    // name. The output folder is not entered, unless the walk started in it: then the files named
    // as deliverables are left out.
    void walk(const fs::path& root) {
        const fs::path resolvedRoot = outputFolder.empty() ? fs::path() : resolved(root);
        const bool inOutput = !resolvedRoot.empty() && isWithin(resolvedRoot, outputFolder);
        std::vector<std::pair<fs::path, fs::path>> folders{{root, resolvedRoot}};
        while (!folders.empty()) {
            auto [folder, resolvedFolder] = std::move(folders.back());
            folders.pop_back();
            std::error_code ec;
            fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
            for (; !ec && it != end; it.increment(ec)) {
                const fs::directory_entry& entry = *it;
                std::error_code typeError;
                if (isHiddenName(entry.path())) continue;
                const fs::path resolvedEntry = resolvedFolder.empty() ? fs::path() : resolvedFolder / entry.path().filename();
                if (entry.is_directory(typeError) && !entry.is_symlink(typeError)) {
                    if (!inOutput && !resolvedEntry.empty() && resolvedEntry == outputFolder) continue;
                    folders.emplace_back(entry.path(), resolvedEntry);
                } else {
                    if (inOutput && output->isDeliverable) {
                        const fs::path relative = resolvedEntry.lexically_relative(outputFolder);
                        if (output->isDeliverable(relative)) {
                            if (leftOut && eligible(entry.path()))
                                leftOut->emplace_back(entry.path().lexically_normal(), relative);
                            continue;
                        }
                    }
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
    return expand(urls, allowedExtensions, OutputFolder{});
}

std::vector<fs::path> expand(const std::vector<fs::path>& urls, const std::set<std::string>& allowedExtensions,
                             const OutputFolder& output, std::vector<fs::path>* leftOut) {
    std::vector<std::pair<fs::path, fs::path>> left;
    Collector collector{allowedExtensions, &output, {}, {}, {}, leftOut ? &left : nullptr};
    if (!output.path.empty()) {
        std::error_code ec;
        // A folder that is not there holds nothing to leave out.
        if (fs::is_directory(output.path, ec)) collector.outputFolder = resolved(fs::absolute(output.path, ec));
    }
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
    if (leftOut) {
        // A file also dropped by name was taken; one reached by two walks is told once.
        std::vector<fs::path> told;
        std::unordered_set<std::string> toldOnce;
        for (const auto& [path, relative] : left)
            if (!collector.seen.count(path.string()) && toldOnce.insert(relative.string()).second)
                told.push_back(relative);
        std::stable_sort(told.begin(), told.end(), localizedStandardLess);
        leftOut->insert(leftOut->end(), told.begin(), told.end());
    }
    return result;
}

std::string leftOutLine(const std::vector<fs::path>& files, const std::string& reason) {
    if (files.empty()) return {};
    constexpr std::size_t shown = 10;
    std::string line = "Left out " + std::to_string(files.size()) + (files.size() == 1 ? " file " : " files ") +
                       reason + ": ";
    for (std::size_t i = 0; i < files.size() && i < shown; ++i) line += (i ? ", " : "") + files[i].string();
    if (files.size() > shown) line += ", and " + std::to_string(files.size() - shown) + " more";
    return line + ".";
}

std::string deliverableNamesLine(const std::vector<fs::path>& leftOut) {
    const std::string line = leftOutLine(leftOut, "of the output folder, named like this preset's outputs");
    return line.empty() ? line : line + " Add such a file by itself to process it.";
}

}  // namespace FileIngest

}  // namespace lw
