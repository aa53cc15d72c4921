#include <gtest/gtest.h>

#include <tuple>

#include <cmath>
#include <thread>

#include "ImageTestSupport.h"
#include "image/BracketMerger.h"

namespace fs = std::filesystem;
using lw::BracketMerger;
using namespace lw::testing;
using Shot = BracketMerger::Shot;
using namespace std::chrono_literals;

namespace {

const auto t0 = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));

Shot at(const std::string& name, double seconds, double ev, double exposure = 0.01, int w = 100, int h = 80) {
    Shot s;
    s.url = name;
    s.time = t0 + std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(seconds));
    s.exposureValue = ev;
    s.exposureTime = exposure;
    s.width = w;
    s.height = h;
    return s;
}

using Groups = std::vector<std::vector<fs::path>>;

TEST(BracketMergerGroup, Rules) {
    struct Case {
        const char* what;
        std::vector<Shot> shots;
        Groups expected;
    };
    std::vector<Shot> ten;
    for (int i = 0; i < 10; ++i) ten.push_back(at("s" + std::to_string(i), i * 0.5, i * 1.0));
    Shot noTime = at("c", 1, 4);
    noTime.time.reset();
    Shot noEv = at("d", 1.5, 6);
    noEv.exposureValue.reset();
    const Case cases[] = {
        {"three-shot bracket", {at("a", 0, 10), at("b", 0.5, 12), at("c", 1, 8)}, {{"a", "b", "c"}}},
        {"0.2 EV apart never share a group", {at("a", 0, 10), at("b", 0.5, 10.2)}, {}},
        {"span under 0.9 EV is no bracket", {at("a", 0, 10), at("b", 0.5, 10.4), at("c", 1, 10.8)}, {}},
        {"span of exactly 0.9 EV", {at("a", 0, 10), at("b", 0.5, 10.9)}, {{"a", "b"}}},
        {"repeat splits, both halves brackets",
         {at("a", 0, 10), at("b", 0.5, 12), at("c", 1, 10.1), at("d", 1.5, 8)},
         {{"a", "b"}, {"c", "d"}}},
        {"tenth shot starts a new group", ten,
         {{"s0", "s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8"}}},
        {"2 s exposure then 4.5 s stays", {at("a", 0, 10, 2.0), at("b", 4.5, 12)}, {{"a", "b"}}},
        {"gap over exposure + 3 s splits", {at("a", 0, 10, 0.5), at("b", 3.6, 12)}, {}},
        {"size change splits", {at("a", 0, 10), at("b", 0.5, 12, 0.01, 80, 100)}, {}},
        {"no time or no exposure value never grouped", {at("a", 0, 10), noTime, noEv}, {}},
        {"sorted by time, ties by name", {at("z", 1, 12), at("b", 0, 8), at("a", 0, 10)}, {{"a", "b", "z"}}},
    };
    for (const auto& c : cases) EXPECT_EQ(BracketMerger::group(c.shots), c.expected) << c.what;
}

TEST(BracketMergerDates, ParsesOnlyValidExifDates) {
    auto t = BracketMerger::parseExifDate("2024:02:29 23:59:58");
    ASSERT_TRUE(t);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(t->time_since_epoch()).count(), 1709251198);
    for (const char* bad : {"", "0000:00:00 00:00:00", "2023:02:29 10:00:00", "2024:13:01 10:00:00",
                            "2024:01:01 24:00:00", "2024-01-01 10:00:00", "2024:01:01 10:00", "garbage",
                            "2024:01:01 10:00:00 extra"})
        EXPECT_FALSE(BracketMerger::parseExifDate(bad)) << bad;
}

// A small JPEG with the given EXIF tags.
fs::path photo(const fs::path& dir, const std::string& name, std::vector<std::pair<std::string, std::string>> tags,
               int w = 24, int h = 16) {
    fs::path p = dir / name;
    saveJpeg(quadrantRaster(w, h), p);
    if (!tags.empty()) setExif(p, tags);
    return p;
}

std::vector<std::pair<std::string, std::string>> exposure(const std::string& time, const std::string& exposureTime,
                                                          const std::string& sub = "") {
    std::vector<std::pair<std::string, std::string>> tags{{"Exif.Photo.DateTimeOriginal", time},
                                                          {"Exif.Photo.ExposureTime", exposureTime},
                                                          {"Exif.Photo.FNumber", "8/1"},
                                                          {"Exif.Photo.ISOSpeedRatings", "100"}};
    if (!sub.empty()) tags.push_back({"Exif.Photo.SubSecTimeOriginal", sub});
    return tags;
}

TEST(BracketMergerShot, ReadsExifAndCopesWithAbsurdValues) {
    auto dir = freshDir("shot");
    auto full = BracketMerger::shot(photo(dir, "a.jpg",
                                          {{"Exif.Photo.DateTimeOriginal", "2024:05:01 10:00:00"},
                                           {"Exif.Photo.SubSecTimeOriginal", "25"},
                                           {"Exif.Photo.ExposureTime", "1/125"},
                                           {"Exif.Photo.FNumber", "11/1"},
                                           {"Exif.Photo.ISOSpeedRatings", "400"}}));
    ASSERT_TRUE(full);
    EXPECT_EQ(full->width, 24);
    EXPECT_EQ(full->height, 16);
    ASSERT_TRUE(full->time);
    EXPECT_EQ(*full->time, *BracketMerger::parseExifDate("2024:05:01 10:00:00") + 250ms);
    EXPECT_DOUBLE_EQ(full->exposureTime, 0.008);
    ASSERT_TRUE(full->exposureValue);
    EXPECT_NEAR(*full->exposureValue, std::log2(121 / 0.008) - 2.0, 1e-9);

    // The size is the photo's as shown: a shot turned by a quarter is 16 x 24, and so is no member
    // of its 24 x 16 neighbours' bracket.
    for (const auto& [orientation, w, h] : std::vector<std::tuple<const char*, int, int>>{{"6", 16, 24}, {"8", 16, 24},
                                                                                           {"3", 24, 16}}) {
        auto turned = BracketMerger::shot(photo(dir, "turned.jpg", {{"Exif.Image.Orientation", orientation}}));
        ASSERT_TRUE(turned) << orientation;
        EXPECT_EQ(turned->width, w) << orientation;
        EXPECT_EQ(turned->height, h) << orientation;
    }

    // Defaults: f/8 and ISO 100 when absent; also when recorded as 0.
    for (const auto& [name, extra] : std::vector<std::pair<std::string, std::string>>{{"b.jpg", ""}, {"c.jpg", "0/1"}}) {
        std::vector<std::pair<std::string, std::string>> tags{{"Exif.Photo.ExposureTime", "1/64"}};
        if (!extra.empty()) {
            tags.push_back({"Exif.Photo.FNumber", extra});
            tags.push_back({"Exif.Photo.ISOSpeedRatings", "0"});
        }
        auto s = BracketMerger::shot(photo(dir, name, tags));
        ASSERT_TRUE(s) << name;
        ASSERT_TRUE(s->exposureValue) << name;
        EXPECT_NEAR(*s->exposureValue, 12.0, 1e-9) << name;  // log2(64 * 64)
        EXPECT_FALSE(s->time) << name;
    }
    // Exposure 0 (or 0/0): no exposure value. Unparsable date or sub-seconds.
    auto zero = BracketMerger::shot(photo(dir, "d.jpg", exposure("2024:05:01 10:00:00", "0/1", "xx")));
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->exposureTime, 0);
    EXPECT_FALSE(zero->exposureValue);
    EXPECT_EQ(*zero->time, *BracketMerger::parseExifDate("2024:05:01 10:00:00"));
    auto undefinedRatio = BracketMerger::shot(photo(dir, "e.jpg", exposure("not a date", "0/0")));
    ASSERT_TRUE(undefinedRatio);
    EXPECT_FALSE(undefinedRatio->exposureValue);
    EXPECT_FALSE(undefinedRatio->time);
    // No EXIF at all still gives a shot (never grouped); not an image gives none.
    auto bare = BracketMerger::shot(photo(dir, "f.jpg", {}));
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->time);
    spit(dir / "g.jpg", {'n', 'o'});
    EXPECT_FALSE(BracketMerger::shot(dir / "g.jpg"));
    EXPECT_FALSE(BracketMerger::shot(dir / "missing.jpg"));
    fs::remove_all(dir);
}

TEST(BracketMergerFolder, FindsBracketsAndFollowsChanges) {
    auto dir = freshDir("folder");
    const std::set<std::string> exts{"jpg", "jpeg"};
    auto a = photo(dir, "IMG_1.jpg", exposure("2024:05:01 10:00:00", "1/100", "10"));
    auto b = photo(dir, "IMG_2.JPG", exposure("2024:05:01 10:00:00", "1/25", "60"));
    auto c = photo(dir, "IMG_3.jpg", exposure("2024:05:01 10:00:01", "1/400"));
    auto lone = photo(dir, "IMG_9.jpg", exposure("2024:05:01 11:00:00", "1/100"));
    photo(dir, ".hidden.jpg", exposure("2024:05:01 10:00:01", "1/1600"));
    photo(dir, "other.png", exposure("2024:05:01 10:00:01", "1/1600"));

    const std::vector<fs::path> expected{a, b, c};
    for (const auto& member : expected) EXPECT_EQ(BracketMerger::brackets(member, exts), expected);
    EXPECT_EQ(BracketMerger::brackets(dir / "." / "IMG_2.JPG", exts), expected);
    EXPECT_EQ(BracketMerger::brackets(lone, exts), std::vector<fs::path>{lone});

    // A changed file is read again: IMG_3 now repeats IMG_1's exposure.
    photo(dir, "IMG_3.jpg", exposure("2024:05:01 10:00:01", "1/100"));
    fs::last_write_time(c, fs::last_write_time(c) + 5s);
    EXPECT_EQ(BracketMerger::brackets(a, exts), (std::vector<fs::path>{a, b}));
    EXPECT_EQ(BracketMerger::brackets(c, exts), std::vector<fs::path>{c});

    // Unlistable (here: missing) folder.
    auto gone = dir / "nowhere" / "x.jpg";
    EXPECT_EQ(BracketMerger::brackets(gone, exts), std::vector<fs::path>{gone});
    fs::remove_all(dir);
}

TEST(BracketMergerFolder, ConcurrentCallersAgree) {
    auto dir = freshDir("parallel");
    const std::set<std::string> exts{"jpg"};
    std::vector<fs::path> expected;
    for (int i = 0; i < 3; ++i)
        expected.push_back(
            photo(dir, "p" + std::to_string(i) + ".jpg", exposure("2024:05:01 10:00:00", i == 0 ? "1/10" : i == 1 ? "1/40" : "1/160")));
    std::vector<std::vector<fs::path>> results(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] { results[t] = BracketMerger::brackets(expected[t % 3], exts); });
    for (auto& th : threads) th.join();
    for (const auto& r : results) EXPECT_EQ(r, expected);
    fs::remove_all(dir);
}

}  // namespace
