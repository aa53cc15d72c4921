#include "core/TokenRenamer.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <ctime>

using namespace lw;

namespace {

BatchItem itemFor(const std::string& path, StringMap metadata = {}) {
    return BatchItem(Uuid(), path, std::nullopt, ProcessingStatus::pending, 0, std::nullopt, std::move(metadata));
}

std::string localToday() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
    return buf;
}

// Digits shown as 9, everything else kept.
std::string shape(std::string text) {
    for (auto& c : text)
        if (c >= '0' && c <= '9') c = '9';
    return text;
}

// Sets ICU's default locale and zone for one test, restoring them afterwards.
struct IcuDefaults {
    icu::Locale locale = icu::Locale::getDefault();
    std::unique_ptr<icu::TimeZone> zone{icu::TimeZone::createDefault()};
    IcuDefaults(const char* localeName, const char* zoneName) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale(localeName), status);
        icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zoneName)));
    }
    ~IcuDefaults() {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(locale, status);
        icu::TimeZone::setDefault(*zone);
    }
};

}  // namespace

TEST(TokenRenamerTest, ExpandsTokens) {
    struct Case {
        std::string pattern;
        std::string source;
        std::int64_t index;
        std::int64_t total;
        StringMap metadata;
        StringMap variables;
        std::string expected;
    };
    const std::string street = "12 Elm St. Apt 4";
    const Case cases[] = {
        {"{name}_{index:02}", "/in/IMG_0001.JPG", 3, 10, {}, {}, "IMG_0001_03"},
        {"{index:02}", "/in/a.png", 123, 1, {}, {}, "123"},
        {"{index:0}-{index}", "/in/a.png", 7, 1, {}, {}, "7-7"},
        {"{index:003}", "/in/a.png", 7, 1, {}, {}, "007"},
        {"{index:5}", "/in/a.png", -7, 1, {}, {}, "-0007"},
        {"{total}", "/in/a.png", 1, 12, {}, {}, "12"},
        {"{total:3}", "/in/a.png", 1, 12, {}, {}, "{total_3}"},
        {"{total:3}", "/in/a.png", 1, 12, {}, {{"total", "5"}}, "005"},
        {"{name}.{ext}", "/in/Photo.TIFF", 1, 1, {}, {}, "Photo.tiff"},
        {"{name}.{ext}", "/in/Photo.TIFF", 1, 1, {}, {{"name", "x"}, {"ext", "png"}}, "x.png"},
        {"{name}", "/in/Photo.jpg", 1, 1, {{"name", "meta"}}, {}, "Photo"},
        {"{address}", "/in/a.jpg", 1, 1, {}, {{"address", street}}, street},
        {"{address}", "/in/a.jpg", 1, 1, {}, {{"address", "a/b"}}, "a_b"},
        {"{size:4}", "/in/a.jpg", 1, 1, {}, {{"size", "25"}}, "0025"},
        {"{size:4}", "/in/a.jpg", 1, 1, {}, {{"size", "25px"}}, "{size_4}"},
        {"{n:3}|{p:3}", "/in/a.jpg", 1, 1, {}, {{"n", "-7"}, {"p", "+7"}}, "-07_007"},
        {"{n:3}", "/in/a.jpg", 1, 1, {}, {{"n", " 7"}}, "{n_3}"},
        {"{n:3}", "/in/a.jpg", 1, 1, {}, {{"n", "+-7"}}, "{n_3}"},
        {"{n:3}", "/in/a.jpg", 1, 1, {}, {{"n", "99999999999999999999"}}, "{n_3}"},
        {"{k}-{k:3}", "/in/a.jpg", 1, 1, {{"k", "1"}}, {{"k", "2"}}, "2-002"},
        {"{k}", "/in/a.jpg", 1, 1, {{"k", "from-metadata"}}, {}, "from-metadata"},
        {"{Name}-{INDEX}", "/in/a.jpg", 1, 1, {}, {}, "{Name}-{INDEX}"},
        {"a:b%c/d/e#f", "/in/a.jpg", 1, 1, {}, {}, "a_b_c_d_e_f"},
        {"x::y", "/in/a.jpg", 1, 1, {}, {}, "x__y"},
        {R"(\?*|"<>)", "/in/a.jpg", 1, 1, {}, {}, "_______"},
        {" plain . name ", "/in/a.jpg", 1, 1, {}, {}, " plain . name "},
        {"", "/in/a.jpg", 1, 1, {}, {}, ""},
        // Leftovers stay as written (then sanitised).
        {"{foo}{index:}{index:abc}{index:-1}{date:}{name", "/in/a.jpg", 4, 1, {}, {},
         "{foo}{index_}{index_abc}{index_-1}{date_}{name"},
        // A file name that carries a token is expanded by the later steps.
        {"{name}", "/in/shot_{index:03}.jpg", 9, 1, {}, {}, "shot_009"},
        // Word characters beyond ASCII form keys.
        {"{größe:3}", "/in/a.jpg", 1, 1, {}, {{"größe", "4"}}, "004"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TokenRenamer::resolve(c.pattern, itemFor(c.source, c.metadata), c.index, c.total, c.variables),
                  c.expected)
            << c.pattern;
    }
}

TEST(TokenRenamerTest, WidthsBeyondTheLimitStayAsWritten) {
    auto item = itemFor("/in/a.jpg");
    const std::string atLimit = "{index:" + std::to_string(TokenRenamer::kMaxWidth) + "}";
    auto padded = TokenRenamer().resolve(atLimit, item, 7, 1, {});
    EXPECT_EQ(padded.size(), static_cast<std::size_t>(TokenRenamer::kMaxWidth));
    EXPECT_EQ(padded.back(), '7');

    const std::string over = std::to_string(TokenRenamer::kMaxWidth + 1);
    EXPECT_EQ(TokenRenamer::resolve("{index:" + over + "}", item, 7, 1, {}), "{index_" + over + "}");
    EXPECT_EQ(TokenRenamer::resolve("{n:" + over + "}", item, 7, 1, {{"n", "1"}}), "{n_" + over + "}");
    EXPECT_EQ(TokenRenamer::resolve("{n:999999999999999999999999}", item, 7, 1, {{"n", "1"}}),
              "{n_999999999999999999999999}");
    // A width too large for 64 bits counts as 1.
    EXPECT_EQ(TokenRenamer::resolve("{index:99999999999999999999999}", item, 7, 1, {}), "7");
}

TEST(TokenRenamerTest, SelfReferencingVariablesCannotGrowWithoutBound) {
    // Each value doubles the references to the next key: 2^26 copies unless capped.
    StringMap vars;
    for (char c = 'a'; c < 'z'; ++c) vars[std::string(1, c)] = std::string("{") + char(c + 1) + "}{" + char(c + 1) + "}";
    vars["z"] = "zz";
    auto out = TokenRenamer::resolve("{a}", itemFor("/in/a.jpg"), 1, 1, vars);
    EXPECT_LE(out.size(), 2 * TokenRenamer::kMaxExpandedLength);
    EXPECT_GT(out.size(), 1000u);
}

TEST(TokenRenamerTest, DateTokensUseOneLocalInstant) {
    std::string before = localToday();
    auto out = TokenRenamer::resolve("{date}", itemFor("/in/a.jpg"), 1, 1, {});
    std::string after = localToday();
    EXPECT_TRUE(out == before || out == after) << out;

    auto twice = TokenRenamer::resolve("{date:HH:mm:ss.SSS}={date:HH:mm:ss.SSS}", itemFor("/in/a.jpg"), 1, 1, {});
    ASSERT_EQ(twice.size(), 25u) << twice;
    EXPECT_EQ(twice.substr(0, 12), twice.substr(13)) << twice;
    EXPECT_EQ(shape(twice.substr(0, 12)), "99_99_99.999") << twice;

    auto quoted = TokenRenamer::resolve("{date:'Day' dd}", itemFor("/in/a.jpg"), 1, 1, {});
    EXPECT_EQ(shape(quoted), "Day 99") << quoted;
}

TEST(TokenRenamerTest, DateFollowsTheUserLocaleAndZone) {
    IcuDefaults defaults("de_DE", "Pacific/Kiritimati");
    EXPECT_EQ(TokenRenamer::resolve("{date:ZZZZZ}", itemFor("/in/a.jpg"), 1, 1, {}), "+14_00");
    auto weekday = TokenRenamer::resolve("{date:EEEE}", itemFor("/in/a.jpg"), 1, 1, {});
    const std::set<std::string> german{"Montag", "Dienstag", "Mittwoch", "Donnerstag", "Freitag", "Samstag", "Sonntag"};
    EXPECT_TRUE(german.count(weekday)) << weekday;
}

TEST(TokenRenamerTest, OddInputNeverFails) {
    auto item = itemFor("/in/a.jpg", {{"", "empty-key"}, {"{", "brace"}});
    const std::string patterns[] = {"{", "}", "{{}}", "{index:", "{date:", "{:3}", "{date:'unterminated}",
                                    std::string("a\0b", 3), "\xff\xfe{name}", "{date:\xff}"};
    for (const auto& p : patterns) {
        auto out = TokenRenamer::resolve(p, item, 1, 1, {});
        EXPECT_LE(out.size(), p.size() + 64) << p;
    }
    EXPECT_EQ(TokenRenamer::resolve("{}", item, 1, 1, {}), "empty-key");
}

TEST(TokenRenamerTest, StemsThatNameNothingTakeTheItemsName) {
    struct Case {
        std::string pattern;
        std::string source;
        StringMap variables;
        std::string expected;
    };
    const Case cases[] = {
        {"{name}_{index:02}", "/in/IMG_1.jpg", {}, "IMG_1_01"},
        {"", "/in/IMG_1.jpg", {}, "IMG_1"},
        {".", "/in/IMG_1.jpg", {}, "IMG_1"},
        {"...", "/in/IMG_1.jpg", {}, "IMG_1"},
        {"{title}", "/in/IMG_1.jpg", {{"title", ""}}, "IMG_1"},
        {"{title}", "/in/IMG_1.jpg", {{"title", ".."}}, "IMG_1"},
        {"", "/in/IMG_1.jpg", {{"name", "Wall_Normal:GL"}}, "Wall_Normal_GL"},
        {"", "/in/..jpg", {}, "_"},
        {" ", "/in/IMG_1.jpg", {}, " "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TokenRenamer::resolveStem(c.pattern, itemFor(c.source), 1, 1, c.variables), c.expected)
            << "'" << c.pattern << "' " << c.source;
}
