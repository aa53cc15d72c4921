#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "presets/GablewisePreset.h"
#include "presets/PresetSettingsCodec.h"

namespace lw {
namespace {

namespace codec = PresetSettingsCodec;
using codec::CodecError;
using Portal = GablewisePreset::Portal;
using WebAspect = GablewisePreset::WebAspect;

TEST(PhotoSettingsCodecTest, OptionTableInOrder) {
    const auto& table = codec::photoOptions();
    const std::vector<std::string> keys{"address", "straighten", "stripGPS", "web", "print", "portal",
                                        "aspect", "brackets", "webMaxPixels", "webMaxKB", "watermark",
                                        "watermarkOpacity"};
    ASSERT_EQ(table.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(table[i].first, keys[i]);
    EXPECT_EQ(table[0].second, "Property address used by the {address} token");
    EXPECT_EQ(table[5].second, "Web set for: mls | zillow | airbnb | custom (sets size, shape and file-size cap)");
    EXPECT_EQ(table[11].second, "Watermark opacity 0.1-1.0");
}

TEST(PhotoSettingsCodecTest, EncodesTheDefaultPreset) {
    const StringMap expected{{"address", "1042_Maple_Lane"}, {"straighten", "true"}, {"stripGPS", "true"},
                             {"web", "true"},    {"print", "true"},   {"portal", "mls"},
                             {"aspect", "original"}, {"brackets", "false"}, {"webMaxPixels", "2048"},
                             {"webMaxKB", "2000"},   {"watermark", ""},     {"watermarkOpacity", "0.85"}};
    GablewisePreset preset;
    EXPECT_EQ(codec::encode(preset), expected);
    EXPECT_EQ(codec::encode(static_cast<const BatchPreset&>(preset)), expected);
    EXPECT_EQ(codec::encode(preset).count(codec::namingPatternKey), 0u);
}

TEST(PhotoSettingsCodecTest, EncodesEveryField) {
    GablewisePreset p;
    p.setPortal(Portal::airbnb);
    p.webAspect = WebAspect::sixteenNine;
    p.maxWebDimension = 3000.7;
    p.mergeBrackets = true;
    p.watermarkURL = std::filesystem::path("/logos/my logo.png");
    p.watermarkOpacity = 1;
    const auto s = codec::encode(p);
    EXPECT_EQ(s.at("portal"), "airbnb");
    EXPECT_EQ(s.at("aspect"), "16:9");
    EXPECT_EQ(s.at("webMaxPixels"), "3000");
    EXPECT_EQ(s.at("brackets"), "true");
    EXPECT_EQ(s.at("watermark"), "/logos/my logo.png");
    EXPECT_EQ(s.at("watermarkOpacity"), "1.0");
}

TEST(PhotoSettingsCodecTest, EncodeThenApplyGivesTheSamePreset) {
    GablewisePreset p;
    p.setPortal(Portal::custom);
    p.propertyAddress = "7 Oak Rd., Unit 2";
    p.maxWebDimension = 1500;
    p.maxWebFileSizeKB = 800;
    p.webAspect = WebAspect::threeTwo;
    p.watermarkURL = std::filesystem::path("/tmp/logo.png");
    p.watermarkOpacity = 0.3;
    p.autoStraightenVerticals = false;
    GablewisePreset back;
    codec::apply(codec::encode(p), back, true);
    EXPECT_EQ(codec::encode(back), codec::encode(p));
    EXPECT_EQ(back.portal(), Portal::custom);
}

TEST(PhotoSettingsCodecTest, NumberTextForm) {
    const std::vector<std::pair<double, std::string>> rows{
        {0.85, "0.85"}, {2, "2.0"}, {-16, "-16.0"}, {45, "45.0"}, {0.05, "0.05"}, {0.1, "0.1"}, {-14.02, "-14.02"},
        {0, "0.0"}, {1e20, "1e+20"}};
    for (const auto& [value, text] : rows) EXPECT_EQ(codec::numberText(value), text) << value;
}

TEST(PhotoSettingsCodecTest, PortalIsAppliedFirstAndExplicitLimitsOverrideIt) {
    struct Case {
        StringMap values;
        Portal portal;
        double pixels;
        int kb;
        WebAspect aspect;
    };
    const Case cases[] = {
        {{{"portal", "zillow"}, {"webMaxKB", "20"}}, Portal::zillow, 2048, 10000, WebAspect::fourThree},
        {{{"portal", "nowhere"}, {"webMaxKB", "5000"}}, Portal::mls, 2048, 5000, WebAspect::original},
        {{{"webMaxKB", "5000"}}, Portal::custom, 2048, 5000, WebAspect::original},
        {{{"aspect", "16:9"}}, Portal::custom, 2048, 2000, WebAspect::sixteenNine},
        {{{"portal", "airbnb"}, {"webMaxPixels", "4000"}}, Portal::airbnb, 4000, 10000, WebAspect::threeTwo},
        {{{"portal", "ZILLOW"}}, Portal::zillow, 2048, 10000, WebAspect::fourThree},  // words are lower-cased
        {{{"portal", " mls"}, {"aspect", "3:2"}}, Portal::mls, 2048, 2000, WebAspect::threeTwo},  // not trimmed
        {{{"address", "x"}}, Portal::mls, 2048, 2000, WebAspect::original},
    };
    for (const auto& c : cases) {
        GablewisePreset p;
        codec::apply(c.values, p, false);
        EXPECT_EQ(p.portal(), c.portal);
        EXPECT_EQ(p.maxWebDimension, c.pixels);
        EXPECT_EQ(p.maxWebFileSizeKB, c.kb);
        EXPECT_EQ(p.webAspect, c.aspect);
    }
}

TEST(PhotoSettingsCodecTest, StrictModeRaisesTheFirstErrorInSortedOrder) {
    GablewisePreset p;
    try {
        // "straighten" sorts before "webMaxKB"; both are bad, the first is reported.
        codec::apply({{"webMaxKB", "10"}, {"straighten", "maybe"}, {"address", "A"}}, p, true);
        FAIL() << "no error";
    } catch (const CodecError& e) {
        EXPECT_EQ(e, CodecError::invalidValue("straighten", "maybe", "true or false"));
        EXPECT_STREQ(e.what(), "Invalid value 'maybe' for 'straighten' (expected true or false)");
    }
    EXPECT_EQ(p.propertyAddress, "A");  // applied before the error, stays applied
    EXPECT_EQ(p.maxWebFileSizeKB, 2000);

    try {
        codec::apply({{"colour", "red"}}, p, true);
        FAIL() << "no error";
    } catch (const CodecError& e) {
        EXPECT_EQ(e.kind, CodecError::Kind::unknownKey);
        EXPECT_STREQ(e.what(),
                     "Unknown option 'colour'. Options: address, straighten, stripGPS, web, print, portal, aspect, "
                     "brackets, webMaxPixels, webMaxKB, watermark, watermarkOpacity");
    }
    // Keys are case-sensitive; the naming pattern passes.
    EXPECT_THROW(codec::apply({{"Address", "x"}}, p, true), CodecError);
    EXPECT_NO_THROW(codec::apply({{codec::namingPatternKey, "{name}"}}, p, true));
}

TEST(PhotoSettingsCodecTest, InvalidValueTexts) {
    struct Case {
        std::string key, value, text;
    };
    const Case cases[] = {
        {"portal", " mls", "Invalid value ' mls' for 'portal' (expected mls, zillow, airbnb or custom)"},
        {"aspect", "4x3", "Invalid value '4x3' for 'aspect' (expected original, 4:3, 3:2 or 16:9)"},
        {"webMaxPixels", "255", "Invalid value '255' for 'webMaxPixels' (expected a whole number 256-16384)"},
        {"webMaxPixels", "512.0", "Invalid value '512.0' for 'webMaxPixels' (expected a whole number 256-16384)"},
        {"webMaxKB", "49", "Invalid value '49' for 'webMaxKB' (expected a whole number 50-100000)"},
        {"watermarkOpacity", "0", "Invalid value '0' for 'watermarkOpacity' (expected a number 0.05 to 1.0)"},
        {"watermarkOpacity", "nan", "Invalid value 'nan' for 'watermarkOpacity' (expected a number 0.05 to 1.0)"},
        {"brackets", "2", "Invalid value '2' for 'brackets' (expected true or false)"},
    };
    for (const auto& c : cases) {
        GablewisePreset p;
        try {
            codec::apply({{c.key, c.value}}, p, true);
            ADD_FAILURE() << c.key << "=" << c.value << " accepted";
        } catch (const CodecError& e) {
            EXPECT_EQ(e.what(), c.text);
            EXPECT_EQ(e.value, c.value);  // exactly as given
        }
    }
}

TEST(PhotoSettingsCodecTest, LenientModeDropsBadPairsAndKeepsTheRest) {
    GablewisePreset p;
    codec::apply({{"bogus", "1"}, {"print", "nope"}, {"web", " Off\t"}, {"webMaxPixels", " +512 "},
                  {"watermarkOpacity", "0.5"}},
                 p, false);
    EXPECT_TRUE(p.exportPrintPackage);
    EXPECT_FALSE(p.exportWebPackage);
    EXPECT_EQ(p.maxWebDimension, 512);
    EXPECT_EQ(p.watermarkOpacity, 0.5);
    EXPECT_EQ(p.portal(), Portal::custom);
}

TEST(PhotoSettingsCodecTest, BoolReader) {
    for (const char* t : {"true", "YES", " on ", "\t1", "True"}) EXPECT_TRUE(codec::boolValue("k", t)) << t;
    for (const char* t : {"false", "No", "OFF", "0 "}) EXPECT_FALSE(codec::boolValue("k", t)) << t;
    for (const char* t : {"", "2", "y", "\ntrue", "t rue"}) EXPECT_THROW(codec::boolValue("k", t), CodecError) << t;
}

TEST(PhotoSettingsCodecTest, IntReader) {
    EXPECT_EQ(codec::intValue("k", "+512", 0, 1000), 512);
    EXPECT_EQ(codec::intValue("k", " 512\t", 0, 1000), 512);
    EXPECT_EQ(codec::intValue("k", "-3", -5, 5), -3);
    EXPECT_EQ(codec::intValue("k", "0", 0, 0), 0);
    for (const char* t : {"512.0", "", "+", "-", "+-1", "1e3", "0x10", "12a", "99999999999999999999", "1001", "-1",
                          "\n5"})
        EXPECT_THROW(codec::intValue("k", t, 0, 1000), CodecError) << t;
}

TEST(PhotoSettingsCodecTest, DoubleReader) {
    EXPECT_EQ(codec::doubleValue("k", "0.5", 0, 1), 0.5);
    EXPECT_EQ(codec::doubleValue("k", " +1e-1 ", 0, 1), 0.1);
    EXPECT_EQ(codec::doubleValue("k", "0x1p-1", 0, 1), 0.5);
    EXPECT_EQ(codec::doubleValue("k", "1", 0, 1), 1.0);
    EXPECT_EQ(codec::doubleValue("k", "-inf", -INFINITY, 0), -INFINITY);
    for (const char* t : {"", ".", "0,5", "1.5", "-0.1", "nan", "0.5x", "\n0.5", "0.5\n"})
        EXPECT_THROW(codec::doubleValue("k", t, 0, 1), CodecError) << t;
    try {
        codec::doubleValue("lufs", "0", -40, -5);
        ADD_FAILURE() << "0 is outside -40...-5";
    } catch (const CodecError& e) {
        EXPECT_EQ(e.expected, "a number -40.0 to -5.0");
    }
}

TEST(PhotoSettingsCodecTest, WatermarkPaths) {
    GablewisePreset p;
    p.watermarkURL = std::filesystem::path("/a.png");
    codec::apply({{"watermark", "  \t "}}, p, true);
    EXPECT_FALSE(p.watermarkURL);
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    codec::apply({{"watermark", "~/logos/l.png"}}, p, true);
    EXPECT_EQ(p.watermarkURL, std::filesystem::path(std::string(home) + "/logos/l.png"));
    codec::apply({{"watermark", " /srv/logo.png "}}, p, true);
    EXPECT_EQ(p.watermarkURL, std::filesystem::path("/srv/logo.png"));
}

}  // namespace
}  // namespace lw
