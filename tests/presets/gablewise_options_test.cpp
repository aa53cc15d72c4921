#include <gtest/gtest.h>

#include "presets/GablewisePreset.h"

namespace lw {
namespace {

using Portal = GablewisePreset::Portal;
using WebAspect = GablewisePreset::WebAspect;
using PresetError = GablewisePreset::PresetError;

TEST(GablewisePresetTest, FreshPresetHasTheTableValues) {
    GablewisePreset p;
    EXPECT_EQ(p.id(), "com.tallymill.eavesmark");
    EXPECT_EQ(p.displayName(), "Eavesmark");
    EXPECT_EQ(p.verticalName(), "Real Estate & Architecture");
    EXPECT_EQ(p.systemIconName(), "building.2.crop.circle");
    EXPECT_EQ(p.defaultNamingPattern(), "{address}_{index:02}_{size}");
    EXPECT_EQ(p.supportedExtensions(), (std::set<std::string>{"jpg", "jpeg", "png", "heic", "tiff", "tif", "cr2",
                                                               "cr3", "nef", "arw", "dng"}));
    EXPECT_EQ(p.propertyAddress, "1042_Maple_Lane");
    EXPECT_EQ(p.portal(), Portal::mls);
    EXPECT_EQ(p.webAspect, WebAspect::original);
    EXPECT_FALSE(p.mergeBrackets);
    EXPECT_TRUE(p.autoStraightenVerticals && p.stripGPSMetadata && p.exportWebPackage && p.exportPrintPackage);
    EXPECT_EQ(p.maxWebDimension, 2048);
    EXPECT_EQ(p.maxWebFileSizeKB, 2000);
    EXPECT_FALSE(p.watermarkURL);
    EXPECT_DOUBLE_EQ(p.watermarkOpacity, 0.85);
    // The fresh options equal the MLS spec without the portal rule having run.
    auto mls = spec(Portal::mls);
    ASSERT_TRUE(mls);
    EXPECT_EQ(mls->maxDimension, p.maxWebDimension);
    EXPECT_EQ(mls->maxKB, p.maxWebFileSizeKB);
    EXPECT_EQ(mls->aspect, p.webAspect);
}

TEST(GablewisePresetTest, InitialiserStoresItsArgumentsAndNotThePortalFields) {
    GablewisePreset p("12 Elm St.", false, false, true, false, 1600.5, 750, std::filesystem::path("/logos/a.png"),
                      0.4);
    EXPECT_EQ(p.propertyAddress, "12 Elm St.");
    EXPECT_FALSE(p.autoStraightenVerticals);
    EXPECT_FALSE(p.stripGPSMetadata);
    EXPECT_TRUE(p.exportWebPackage);
    EXPECT_FALSE(p.exportPrintPackage);
    EXPECT_EQ(p.maxWebDimension, 1600.5);  // the initialiser does not run the portal rule
    EXPECT_EQ(p.maxWebFileSizeKB, 750);
    EXPECT_EQ(p.watermarkURL, std::filesystem::path("/logos/a.png"));
    EXPECT_EQ(p.watermarkOpacity, 0.4);
    EXPECT_EQ(p.portal(), Portal::mls);
    EXPECT_EQ(p.webAspect, WebAspect::original);
    EXPECT_FALSE(p.mergeBrackets);
}

TEST(GablewisePresetTest, PortalRuleOverwritesTheLimitsOnEveryAssignment) {
    GablewisePreset p;
    p.maxWebFileSizeKB = 500;
    p.setPortal(Portal::zillow);
    EXPECT_EQ(p.maxWebFileSizeKB, 10000);
    EXPECT_EQ(p.webAspect, WebAspect::fourThree);
    EXPECT_EQ(p.maxWebDimension, 2048);

    p.maxWebFileSizeKB = 500;  // set after the portal: kept
    EXPECT_EQ(p.maxWebFileSizeKB, 500);
    p.setPortal(Portal::zillow);  // the same portal again still runs the rule
    EXPECT_EQ(p.maxWebFileSizeKB, 10000);

    p.setPortal(Portal::custom);  // custom keeps whatever is there
    EXPECT_EQ(p.portal(), Portal::custom);
    EXPECT_EQ(p.maxWebDimension, 2048);
    EXPECT_EQ(p.maxWebFileSizeKB, 10000);
    EXPECT_EQ(p.webAspect, WebAspect::fourThree);

    p.setPortal(Portal::airbnb);
    EXPECT_EQ(p.maxWebDimension, 3000);
    EXPECT_EQ(p.maxWebFileSizeKB, 10000);
    EXPECT_EQ(p.webAspect, WebAspect::threeTwo);
    p.setPortal(Portal::mls);
    EXPECT_EQ(p.maxWebDimension, 2048);
    EXPECT_EQ(p.maxWebFileSizeKB, 2000);
    EXPECT_EQ(p.webAspect, WebAspect::original);
}

TEST(GablewisePresetTest, PortalTable) {
    struct Row {
        Portal portal;
        const char* raw;
        const char* name;
        const char* folder;
    };
    const Row rows[] = {{Portal::mls, "mls", nullptr, "MLS_Web_Package"},
                        {Portal::zillow, "zillow", "Zillow", "Zillow_Package"},
                        {Portal::airbnb, "airbnb", "Airbnb / Vrbo", "Airbnb_Package"},
                        {Portal::custom, "custom", "Custom", "MLS_Web_Package"}};
    ASSERT_EQ(GablewisePreset::allPortals().size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        const Row& r = rows[i];
        EXPECT_EQ(GablewisePreset::allPortals()[i], r.portal);
        EXPECT_EQ(rawValue(r.portal), r.raw);
        EXPECT_EQ(GablewisePreset::portalFromRawValue(r.raw), r.portal);
        if (r.name) {
            EXPECT_EQ(displayName(r.portal), r.name);
        }
        EXPECT_EQ(folderName(r.portal), r.folder);
    }
    EXPECT_EQ(displayName(Portal::mls).rfind("MLS / ", 0), 0u);
    EXPECT_EQ(note(Portal::mls).rfind("2048 px longest side, under 2 MB: accepted by most MLS boards", 0), 0u);
    EXPECT_NE(note(Portal::mls).find(", which feed "), std::string::npos);
    EXPECT_EQ(note(Portal::zillow), "2048 px, cropped to 4:3 (the shape Zillow shows), under 10 MB.");
    EXPECT_EQ(note(Portal::airbnb),
              "3000 px, cropped to 3:2 landscape (Airbnb's gallery shape; minimum is 1024 x 683).");
    EXPECT_EQ(note(Portal::custom), "Set your own size and file-size cap.");
    EXPECT_FALSE(spec(Portal::custom));
    EXPECT_EQ(spec(Portal::airbnb), (GablewisePreset::PortalSpec{3000, 10000, WebAspect::threeTwo}));
}

TEST(GablewisePresetTest, WebAspectTable) {
    const std::vector<std::pair<WebAspect, std::string>> rows{{WebAspect::original, "original"},
                                                              {WebAspect::fourThree, "4:3"},
                                                              {WebAspect::threeTwo, "3:2"},
                                                              {WebAspect::sixteenNine, "16:9"}};
    ASSERT_EQ(GablewisePreset::allWebAspects().size(), 4u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(GablewisePreset::allWebAspects()[i], rows[i].first);
        EXPECT_EQ(rawValue(rows[i].first), rows[i].second);
        EXPECT_EQ(GablewisePreset::webAspectFromRawValue(rows[i].second), rows[i].first);
    }
    EXPECT_EQ(displayName(WebAspect::original), "As shot");
    EXPECT_EQ(displayName(WebAspect::sixteenNine), "16:9");
    EXPECT_FALSE(ratio(WebAspect::original));
    EXPECT_DOUBLE_EQ(*ratio(WebAspect::threeTwo), 1.5);
    EXPECT_DOUBLE_EQ(*ratio(WebAspect::fourThree), 4.0 / 3.0);
    EXPECT_DOUBLE_EQ(*ratio(WebAspect::sixteenNine), 16.0 / 9.0);
}

TEST(GablewisePresetTest, RawValuesAreExactAndCaseSensitive) {
    for (const char* text : {"Zillow", "MLS", "Mls", " mls", "", "Custom"})
        EXPECT_FALSE(GablewisePreset::portalFromRawValue(text)) << text;
    for (const char* text : {"As shot", "Original", "4/3", " 4:3", "16:10"})
        EXPECT_FALSE(GablewisePreset::webAspectFromRawValue(text)) << text;
}

TEST(GablewisePresetTest, ErrorTexts) {
    EXPECT_STREQ(PresetError::cannotMeetSizeLimit(2000).what(), "Could not get the web image under 2000 KB");
    EXPECT_STREQ(PresetError::cannotDecodeImage("/photos/house.cr2").what(),
                 "Could not decode architectural image at house.cr2");
    EXPECT_STREQ(PresetError::cannotDecodeWatermark("/logos/logo.png").what(),
                 "Could not read watermark image logo.png");
    EXPECT_STREQ(PresetError::encodingFailed().what(), "JPEG encoding failed");
    EXPECT_EQ(PresetError::cannotMeetSizeLimit(50).kind, PresetError::Kind::cannotMeetSizeLimit);
    EXPECT_EQ(PresetError::cannotMeetSizeLimit(50).kilobytes, 50);
}

}  // namespace
}  // namespace lw
