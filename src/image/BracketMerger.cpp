#include "platform/Paths.h"
#include "image/BracketMerger.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "image/ImageProperties.h"

namespace lw {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {


std::optional<double> number(const nlohmann::json& v) {
    if (v.is_number()) {
        double d = v.get<double>();
        if (std::isfinite(d)) return d;
        return std::nullopt;
    }
    if (v.is_array() && !v.empty()) return number(v.front());
    return std::nullopt;
}

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long daysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

std::mutex& BracketMerger::cacheLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, BracketMerger::CacheEntry>& BracketMerger::cache() {
    static std::map<std::string, CacheEntry> entries;
    return entries;
}

std::optional<Clock::time_point> BracketMerger::parseExifDate(const std::string& text) {
    // Exactly "dddd:dd:dd dd:dd:dd".
    static constexpr const char* pattern = "dddd:dd:dd dd:dd:dd";
    if (text.size() != 19) return std::nullopt;
    for (size_t i = 0; i < 19; ++i) {
        const char c = text[i];
        if (pattern[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : c != pattern[i]) return std::nullopt;
    }
    auto field = [&](size_t at, size_t n) { return std::atoi(text.substr(at, n).c_str()); };
    const int y = field(0, 4), mo = field(5, 2), d = field(8, 2), h = field(11, 2), mi = field(14, 2), s = field(17, 2);
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || mo < 1 || mo > 12 || d < 1) return std::nullopt;
    if (d > days[mo - 1] + (mo == 2 && isLeap(y) ? 1 : 0)) return std::nullopt;
    if (h > 23 || mi > 59 || s > 59) return std::nullopt;
    const long long secs = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400LL +
                           h * 3600LL + mi * 60LL + s;
    return Clock::time_point(std::chrono::seconds(secs));
}

std::optional<BracketMerger::Shot> BracketMerger::shot(const fs::path& url) {
    auto props = readImageProperties(url);
    if (!props) return std::nullopt;
    auto w = props->find("PixelWidth"), h = props->find("PixelHeight");
    if (w == props->end() || h == props->end() || !w->is_number_integer() || !h->is_number_integer())
        return std::nullopt;
    Shot s;
    s.url = url;
    s.width = w->get<int>();
    s.height = h->get<int>();
    // The stored size turned as the photo is shown (RAW sizes come turned already).
    if (auto o = props->find(ImageProperty::orientation);
        !isCameraRaw(url) && o != props->end() && o->is_number_integer() && o->get<int>() >= 5 && o->get<int>() <= 8)
        std::swap(s.width, s.height);
    nlohmann::json exif = nlohmann::json::object();
    if (auto it = props->find(ImageProperty::exifDictionary); it != props->end() && it->is_object()) exif = *it;

    if (auto it = exif.find(ImageProperty::exifDateTimeOriginal); it != exif.end() && it->is_string()) {
        s.time = parseExifDate(it->get<std::string>());
        if (s.time) {
            if (auto sub = exif.find(ImageProperty::exifSubsecTimeOriginal); sub != exif.end()) {
                std::string digits = sub->is_string() ? sub->get<std::string>()
                                     : sub->is_number_integer() ? std::to_string(sub->get<long long>())
                                                                : std::string();
                std::string text = "0." + digits;
                char* end = nullptr;
                double frac = std::strtod(text.c_str(), &end);
                if (!digits.empty() && end == text.c_str() + text.size() && std::isfinite(frac))
                    *s.time += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(frac));
            }
        }
    }
    if (auto it = exif.find(ImageProperty::exifExposureTime); it != exif.end()) s.exposureTime = number(*it).value_or(0);
    if (s.exposureTime > 0) {
        // A lens without contacts records f/0 and some files ISO 0: taken as not recorded.
        double n = 8;
        if (auto it = exif.find(ImageProperty::exifFNumber); it != exif.end())
            if (auto v = number(*it); v && *v > 0) n = *v;
        double iso = 100;
        if (auto it = exif.find(ImageProperty::exifISOSpeedRatings); it != exif.end())
            if (auto v = number(*it); v && *v > 0) iso = *v;
        const double ev = std::log2(n * n / s.exposureTime) - std::log2(iso / 100.0);
        if (std::isfinite(ev)) s.exposureValue = ev;
    }
    return s;
}

std::vector<std::vector<fs::path>> BracketMerger::group(std::vector<Shot> shots) {
    std::erase_if(shots, [](const Shot& s) { return !s.time || !s.exposureValue; });
    std::stable_sort(shots.begin(), shots.end(), [](const Shot& a, const Shot& b) {
        if (*a.time != *b.time) return *a.time < *b.time;
        return a.url.filename() < b.url.filename();
    });
    std::vector<std::vector<fs::path>> result;
    std::vector<const Shot*> current;
    auto close = [&] {
        if (current.size() >= 2) {
            auto [lo, hi] = std::minmax_element(current.begin(), current.end(), [](const Shot* a, const Shot* b) {
                return *a->exposureValue < *b->exposureValue;
            });
            if (*(*hi)->exposureValue - *(*lo)->exposureValue >= 0.9) {
                std::vector<fs::path> urls;
                for (const Shot* s : current) urls.push_back(s->url);
                result.push_back(std::move(urls));
            }
        }
        current.clear();
    };
    for (const Shot& shot : shots) {
        if (!current.empty()) {
            const Shot& last = *current.back();
            const bool repeated = std::any_of(current.begin(), current.end(), [&](const Shot* m) {
                return std::fabs(*m->exposureValue - *shot.exposureValue) < 0.3;
            });
            const double gap = std::chrono::duration<double>(*shot.time - *last.time).count();
            if (repeated || gap > last.exposureTime + 3.0 || shot.width != last.width || shot.height != last.height ||
                current.size() >= 9)
                close();
        }
        current.push_back(&shot);
    }
    close();
    return result;
}

std::vector<fs::path> BracketMerger::brackets(const fs::path& containing, const std::set<std::string>& extensions) {
    const fs::path folder = containing.lexically_normal().parent_path();
    std::vector<fs::path> kept;
    {
        std::error_code ec;
        fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            const fs::path& p = it->path();
            const std::string name = p.filename().string();
            if (name.empty() || name[0] == '.') continue;
            if (!extensions.count(lowerExtension(p))) continue;
            kept.push_back(folder.empty() ? p.filename() : p);
        }
        if (ec) kept.clear();
    }
    std::stable_sort(kept.begin(), kept.end());

    std::string stamp;
    for (const auto& p : kept) {
        std::error_code ec;
        double seconds = 0;
        auto t = fs::last_write_time(p, ec);
        if (!ec) {
            auto sys = std::chrono::file_clock::to_sys(t);
            seconds = std::chrono::duration<double>(sys.time_since_epoch()).count();
        }
        if (!stamp.empty()) stamp += '|';
        stamp += fmt::format("{}:{}", p.filename().string(), seconds);
    }

    const std::string key = folder.string();
    std::optional<std::vector<std::vector<fs::path>>> groups;
    {
        std::lock_guard lock(cacheLock());
        auto it = cache().find(key);
        if (it != cache().end() && it->second.stamp == stamp) groups = it->second.groups;
    }
    if (!groups) {
        std::vector<Shot> shots;
        for (const auto& p : kept)
            if (auto s = shot(p)) shots.push_back(std::move(*s));
        groups = group(std::move(shots));
        std::lock_guard lock(cacheLock());
        cache()[key] = CacheEntry{stamp, *groups};
    }

    const fs::path wanted = containing.lexically_normal();
    for (const auto& g : *groups)
        for (const auto& member : g)
            if (member.lexically_normal() == wanted) return g;
    return {containing};
}

}  // namespace lw
