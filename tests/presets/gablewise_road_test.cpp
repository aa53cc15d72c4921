#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>
#include <vips/vips8>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <cstring>
#include <set>

#include "core/BatchQueueManager.h"
#include "image/ArchitecturalStraightener.h"
#include "image/CoreImagePipeline.h"
#include "image/MetadataStripper.h"
#include "presets/GablewisePreset.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using Portal = GablewisePreset::Portal;
using PresetError = GablewisePreset::PresetError;

class GablewiseRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(VIPS_INIT("gablewise_road_test"), 0);
        root = fs::temp_directory_path() /
               ("lw_road_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "in");
        out = root / "out";
    }
    void TearDown() override { fs::remove_all(root); }

    // A noisy photo with camera metadata, a GPS position and a serial number.
    fs::path photo(const std::string& name, int w, int h, double gain = 1.0, const std::string& time = "",
                   int exposureDenominator = 125) {
        vips::VImage xy = vips::VImage::xyz(w, h);
        vips::VImage base = ((xy[0] % 97) < 12).ifthenelse(70, 160) + xy[1] / h * 40;
        vips::VImage noise = vips::VImage::gaussnoise(w, h, vips::VImage::option()->set("sigma", 25.0));
        vips::VImage rgb = ((base + noise - 128) * std::vector<double>{1.0, 0.9, 0.8}) * gain;
        rgb = (rgb < 0).ifthenelse(0, (rgb > 255).ifthenelse(255, rgb)).cast(VIPS_FORMAT_UCHAR);
        const fs::path file = root / "in" / name;
        rgb.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
            .jpegsave(file.c_str(), vips::VImage::option()->set("Q", 90));
        auto image = Exiv2::ImageFactory::open(file.string());
        image->readMetadata();
        Exiv2::ExifData& exif = image->exifData();
        exif["Exif.Image.Make"] = "Acme";
        exif["Exif.Image.Model"] = "X100";
        exif["Exif.Photo.BodySerialNumber"] = "BODY123";
        exif["Exif.Photo.DateTimeOriginal"] = time.empty() ? "2024:05:01 10:00:00" : time;
        exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, exposureDenominator);
        exif["Exif.Photo.FNumber"] = Exiv2::URational(8, 1);
        exif["Exif.Photo.ISOSpeedRatings"] = uint16_t(100);
        exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
        exif["Exif.GPSInfo.GPSLatitude"] = "47/1 36/1 0/1";
        exif["Exif.GPSInfo.GPSLongitudeRef"] = "W";
        exif["Exif.GPSInfo.GPSLongitude"] = "122/1 19/1 0/1";
        image->writeMetadata();
        return file;
    }

    fs::path logo(bool alpha) {
        vips::VImage rgb = vips::VImage::black(120, 40, vips::VImage::option()->set("bands", 3)) + 255;
        if (alpha) rgb = rgb.bandjoin(vips::VImage::black(120, 40) + 255);
        const fs::path file = root / (alpha ? "logo_alpha.png" : "logo.jpg");
        rgb = rgb.cast(VIPS_FORMAT_UCHAR);
        if (alpha)
            rgb.pngsave(file.c_str());
        else
            rgb.jpegsave(file.c_str());
        return file;
    }

    BatchItem item(const fs::path& source) {
        return BatchItem(Uuid::random(), source, std::nullopt, ProcessingStatus::pending, 0, std::nullopt, {});
    }

    ProcessingContext context(int index = 3, int total = 12) {
        BatchConfiguration configuration(out, true, "{address}_{index:02}_{size}", false, 1, false, false, {});
        ProcessingContext c{Uuid::random(), configuration, index, total, {}, {}, {}};
        c.log = [this](const std::string& line) {
            std::lock_guard lock(logMutex);
            logLines.push_back(line);
        };
        return c;
    }

    static GablewisePreset plainPreset() {
        GablewisePreset p;
        p.autoStraightenVerticals = false;
        return p;
    }

    std::set<fs::path> filesUnder(const fs::path& dir) {
        std::set<fs::path> files;
        std::error_code ec;
        if (!fs::exists(dir)) return files;
        for (auto& e : fs::recursive_directory_iterator(dir, ec))
            if (e.is_regular_file()) files.insert(fs::relative(e.path(), dir));
        return files;
    }

    static vips::VImage open(const fs::path& file) {
        return vips::VImage::new_from_file(file.c_str(), vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    }

    fs::path root, out;
    std::mutex logMutex;
    std::vector<std::string> logLines;
};

TEST_F(GablewiseRoadTest, WritesPrintThenWebWithNamesSizesAndNoGPS) {
    const fs::path source = photo("IMG_0001.JPG", 3000, 2000);
    GablewisePreset preset = plainPreset();
    const auto written = preset.process(item(source), context());
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], out / "Print_Package" / "1042_Maple_Lane_03_Print.jpg");
    EXPECT_EQ(written[1], out / "MLS_Web_Package" / "1042_Maple_Lane_03_Web.jpg");
    EXPECT_EQ(filesUnder(out), (std::set<fs::path>{"Print_Package/1042_Maple_Lane_03_Print.jpg",
                                                   "MLS_Web_Package/1042_Maple_Lane_03_Web.jpg"}));
    const vips::VImage print = open(written[0]), web = open(written[1]);
    EXPECT_EQ(print.width(), 3000);
    EXPECT_EQ(print.height(), 2000);
    EXPECT_EQ(web.width(), 2048);
    EXPECT_EQ(web.height(), 1365);
    EXPECT_LE(fs::file_size(written[1]), 2000u * 1024);
    for (const auto& f : written) {
        EXPECT_FALSE(MetadataStripper::hasLocation(f)) << f;
        EXPECT_FALSE(MetadataStripper::hasPrivateData(f)) << f;
        auto image = Exiv2::ImageFactory::open(f.string());
        image->readMetadata();
        const auto make = image->exifData().findKey(Exiv2::ExifKey("Exif.Image.Make"));
        ASSERT_NE(make, image->exifData().end()) << f;
        EXPECT_EQ(make->toString(), "Acme");
    }
    if (std::system("command -v exiftool >/dev/null 2>&1") == 0) {
        for (const auto& f : written) {
            std::string output;
            if (FILE* p = popen(("exiftool -s -gps:all '" + f.string() + "'").c_str(), "r")) {
                char line[512];
                while (fgets(line, sizeof line, p)) output += line;
                pclose(p);
            }
            EXPECT_EQ(output.find("GPS"), std::string::npos) << output;
        }
    }
    EXPECT_EQ(std::count_if(logLines.begin(), logLines.end(),
                            [](const std::string& l) { return l.rfind("Wrote ", 0) == 0; }),
              2);
    // The source is never written.
    EXPECT_TRUE(MetadataStripper::hasLocation(source));
}

TEST_F(GablewiseRoadTest, PortalShapesAndSwitches) {
    const fs::path source = photo("wide.jpg", 1600, 800);
    struct Case {
        Portal portal;
        bool print, web;
        const char* folder;
        int webWidth, webHeight;
    };
    const Case cases[] = {
        {Portal::zillow, false, true, "Zillow_Package", 1067, 800},    // 4:3, never enlarged
        {Portal::airbnb, true, true, "Airbnb_Package", 1200, 800},     // 3:2
        {Portal::custom, true, false, nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        fs::remove_all(out);
        GablewisePreset preset = plainPreset();
        preset.setPortal(c.portal);
        preset.exportPrintPackage = c.print;
        preset.exportWebPackage = c.web;
        const auto written = preset.process(item(source), context(1, 1));
        ASSERT_EQ(written.size(), std::size_t(c.print) + std::size_t(c.web));
        if (c.print) {
            EXPECT_EQ(written[0].parent_path().filename(), "Print_Package");
        }
        if (c.web) {
            EXPECT_EQ(written.back().parent_path().filename(), c.folder);
            const vips::VImage web = open(written.back());
            EXPECT_EQ(web.width(), c.webWidth);
            EXPECT_EQ(web.height(), c.webHeight);
        }
    }
}

// A web image below Airbnb's minimum is delivered with one line naming the photo and both sizes.
TEST_F(GablewiseRoadTest, AirbnbWebImageBelowTheMinimumIsLogged) {
    struct Case {
        int width, height;
        Portal portal;
        const char* line;  // expected, or none
    };
    const Case cases[] = {
        {800, 500, Portal::airbnb, "small.jpg: the web image is 750 x 500 pixels, below Airbnb's minimum of 1024 x 683"},
        {1600, 1000, Portal::airbnb, nullptr},  // 1500 x 1000
        {800, 500, Portal::zillow, nullptr},
    };
    for (const Case& c : cases) {
        fs::remove_all(out);
        logLines.clear();
        const fs::path source = photo("small.jpg", c.width, c.height);
        GablewisePreset preset = plainPreset();
        preset.setPortal(c.portal);
        const auto written = preset.process(item(source), context(1, 1));
        ASSERT_EQ(written.size(), 2u);
        const vips::VImage web = open(written.back());
        const auto below = std::count_if(logLines.begin(), logLines.end(), [](const std::string& l) {
            return l.find("minimum") != std::string::npos;
        });
        if (c.line) {
            EXPECT_EQ(web.width(), 750);
            EXPECT_EQ(web.height(), 500);
            EXPECT_EQ(below, 1) << ::testing::PrintToString(logLines);
            EXPECT_NE(std::find(logLines.begin(), logLines.end(), c.line), logLines.end())
                << ::testing::PrintToString(logLines);
        } else {
            EXPECT_EQ(below, 0) << ::testing::PrintToString(logLines);
        }
    }
}

TEST_F(GablewiseRoadTest, WebCapIsMetOrReported) {
    const fs::path source = photo("big.jpg", 4000, 3000);
    GablewisePreset preset = plainPreset();
    preset.exportPrintPackage = false;
    preset.maxWebFileSizeKB = 50;
    preset.stripGPSMetadata = false;  // the carried metadata counts toward the cap too
    const auto written = preset.process(item(source), context());
    ASSERT_EQ(written.size(), 1u);
    EXPECT_LE(fs::file_size(written[0]), 50u * 1024);
    EXPECT_TRUE(MetadataStripper::hasLocation(written[0]));  // switch off: metadata carried

    EXPECT_STREQ(PresetError::cannotMeetSizeLimit(50).what(), "Could not get the web image under 50 KB");
}

TEST_F(GablewiseRoadTest, StraighteningLevelsARolledFacade) {
    // A light facade with dark vertical members, shot with the camera rolled by 3 degrees.
    const int W = 1440, H = 960;
    const double roll = 3.0 * M_PI / 180.0;
    std::vector<std::uint8_t> px(static_cast<std::size_t>(W) * H * 3, 210);
    for (int i = 0; i < 8; ++i) {
        const double x = W * (0.08 + 0.12 * i);
        for (int y = 0; y < H; ++y) {
            const double centre = x + std::tan(roll) * (y - H / 2.0);
            for (int col = static_cast<int>(centre) - 6; col <= static_cast<int>(centre) + 6; ++col) {
                if (col < 0 || col >= W) continue;
                const double cover = std::clamp(4.5 - std::fabs(col + 0.5 - centre), 0.0, 1.0);
                for (int c = 0; c < 3; ++c)
                    px[(static_cast<std::size_t>(y) * W + col) * 3 + c] = static_cast<std::uint8_t>(std::lround(210 - cover * 180));
            }
        }
    }
    const fs::path source = root / "in" / "facade.jpg";
    vips::VImage::new_from_memory(px.data(), px.size(), W, H, 3, VIPS_FORMAT_UCHAR)
        .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
        .jpegsave(source.c_str(), vips::VImage::option()->set("Q", 95));

    GablewisePreset preset = plainPreset();
    preset.autoStraightenVerticals = true;
    preset.exportWebPackage = false;
    const auto written = preset.process(item(source), context());
    ASSERT_EQ(written.size(), 1u);
    EXPECT_TRUE(std::any_of(logLines.begin(), logLines.end(), [](const std::string& l) {
        return l.rfind("Straightened facade.jpg: roll -3.", 0) == 0 || l.rfind("Straightened facade.jpg: roll -2.9", 0) == 0;
    })) << ::testing::PrintToString(logLines);
    // The written print stands upright.
    auto print = CoreImagePipeline::shared().loadImage(written[0]);
    ASSERT_TRUE(print);
    const auto again = ArchitecturalStraightener().analyze(*print);
    EXPECT_GE(again.linesDetected, 4);
    EXPECT_EQ(again.rotationAngleRadians, 0);
}

TEST_F(GablewiseRoadTest, WebEncoderFailuresReachTheItemAsTheirOwnErrors) {
    // A cap no 256-pixel JPEG meets, and an image wider than JPEG allows (66000 pixels, kept
    // whole by a custom portal's limit): each fails the item with its own kind, writing nothing.
    const fs::path small = photo("small.jpg", 800, 600);
    const fs::path wide = root / "in" / "wide.png";
    (vips::VImage::black(66000, 8, vips::VImage::option()->set("bands", 3)) + 90)
        .cast(VIPS_FORMAT_UCHAR)
        .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
        .pngsave(wide.c_str());
    struct Case {
        fs::path source;
        int capKB;
        double maxSide;
        PresetError::Kind kind;
    };
    const Case cases[] = {{small, 1, 2048, PresetError::Kind::cannotMeetSizeLimit},
                          {wide, 100000, 100000, PresetError::Kind::encodingFailed}};
    for (const auto& c : cases) {
        GablewisePreset preset = plainPreset();
        preset.setPortal(Portal::custom);
        preset.exportPrintPackage = false;
        preset.maxWebFileSizeKB = c.capKB;
        preset.maxWebDimension = c.maxSide;
        try {
            preset.process(item(c.source), context());
            ADD_FAILURE() << c.source.filename() << " accepted";
        } catch (const PresetError& e) {
            EXPECT_EQ(e.kind, c.kind) << c.source.filename() << ": " << e.what();
        }
    }
    EXPECT_TRUE(filesUnder(out).empty());
}

// Photos a few pixels high (or wide) go through every step, the watermark and straightening
// included: the web set keeps their short side at 1 pixel or more.
TEST_F(GablewiseRoadTest, ThinPhotosAreDelivered) {
    struct Case {
        int width, height;
        double maxSide;
        int webWidth, webHeight;
        bool watermark;
    };
    const Case cases[] = {
        {9000, 1, 2048, 2048, 1, false},  {1, 9000, 2048, 1, 2048, false}, {20000, 3, 2048, 2048, 1, false},
        {30000, 2, 2048, 2048, 1, false}, {5000, 5, 256, 256, 1, false},   {5000, 5, 256, 256, 1, true},
        {3000, 40, 256, 256, 3, true},
    };
    const fs::path mark = logo(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        fs::remove_all(out);
        const fs::path source = root / "in" / "thin.jpg";
        (vips::VImage::gaussnoise(c.width, c.height) * std::vector<double>{1.0, 0.9, 0.8})
            .cast(VIPS_FORMAT_UCHAR)
            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
            .jpegsave(source.c_str());
        GablewisePreset preset;  // straightening on
        preset.setPortal(Portal::custom);
        preset.maxWebDimension = c.maxSide;
        if (c.watermark) preset.watermarkURL = mark;
        const auto written = preset.process(item(source), context(1, 1));
        ASSERT_EQ(written.size(), 2u);
        const vips::VImage print = open(written[0]), web = open(written[1]);
        EXPECT_EQ(print.width(), c.width);
        EXPECT_EQ(print.height(), c.height);
        EXPECT_EQ(web.width(), c.webWidth);
        EXPECT_EQ(web.height(), c.webHeight);
    }
}

TEST_F(GablewiseRoadTest, PhotoCutShortFailsEveryTime) {
    // A baseline JPEG missing its last percent decodes with its last rows black unless the
    // decoding error reaches the road; the outcome must not depend on thread timing.
    const fs::path good = photo("good.jpg", 1600, 1200);
    const fs::path cut = root / "in" / "cut.jpg";
    {
        std::ifstream in(good, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        bytes.resize(bytes.size() * 99 / 100);
        std::ofstream(cut, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    GablewisePreset preset = plainPreset();
    for (int round = 0; round < 12; ++round) {
        try {
            preset.process(item(cut), context());
            ADD_FAILURE() << "round " << round << ": the cut photo was accepted";
        } catch (const PresetError& e) {
            EXPECT_EQ(e.kind, PresetError::Kind::cannotDecodeImage) << e.what();
        }
    }
    EXPECT_TRUE(filesUnder(out).empty());
    // libvips' own words about the damage are in the photo's log.
    EXPECT_TRUE(std::any_of(logLines.begin(), logLines.end(),
                            [](const std::string& l) { return l.rfind("cut.jpg: libvips: ", 0) == 0; }))
        << ::testing::PrintToString(logLines);

    // Missing only its end marker, the photo has all its pixels and is delivered.
    const fs::path unended = root / "in" / "unended.jpg";
    {
        std::ifstream in(good, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        bytes.resize(bytes.size() - 2);
        std::ofstream(unended, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    const auto written = preset.process(item(unended), context());
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(open(written[0]).width(), 1600);
    EXPECT_EQ(open(written[0]).height(), 1200);
}

TEST_F(GablewiseRoadTest, BadInputFailsByNameAndWritesNothing) {
    const fs::path good = photo("good.jpg", 800, 600);
    // Truncated JPEG.
    const fs::path truncated = root / "in" / "truncated.jpg";
    {
        std::ifstream in(good, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        bytes.resize(bytes.size() / 3);
        std::ofstream(truncated, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    const fs::path empty = root / "in" / "empty.jpg";
    std::ofstream(empty).close();
    const fs::path text = root / "in" / "notes.png";
    std::ofstream(text) << "not an image";

    GablewisePreset preset = plainPreset();
    for (const fs::path& bad : {truncated, empty, text}) {
        try {
            preset.process(item(bad), context());
            ADD_FAILURE() << bad << " accepted";
        } catch (const PresetError& e) {
            EXPECT_EQ(e.kind, PresetError::Kind::cannotDecodeImage);
            EXPECT_NE(std::string(e.what()).find(bad.filename().string()), std::string::npos) << e.what();
        }
    }
    // A logo that is not an image.
    preset.watermarkURL = text;
    try {
        preset.process(item(good), context());
        ADD_FAILURE() << "bad logo accepted";
    } catch (const PresetError& e) {
        EXPECT_STREQ(e.what(), "Could not read watermark image notes.png");
    }
    EXPECT_TRUE(filesUnder(out).empty());

    // An output folder that cannot be created (a file is in the way).
    std::ofstream(root / "blocker").close();
    GablewisePreset ok = plainPreset();
    BatchConfiguration blocked(root / "blocker" / "out", true, "{name}", false, 1, false, false, {});
    ProcessingContext c{Uuid::random(), blocked, 1, 1, {}, {}, {}};
    try {
        ok.process(item(good), c);
        ADD_FAILURE() << "wrote under a file";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("blocker"), std::string::npos) << e.what();
    }
    for (const auto& e : fs::directory_iterator(root)) EXPECT_NE(e.path().filename(), "out");
}

// An output never replaces the item's own input, however the output folder is spelled.
TEST_F(GablewiseRoadTest, AnOutputNeverReplacesItsOwnInput) {
    fs::create_directories(root / "in" / "MLS_Web_Package");
    fs::create_directories(root / "in" / "sub");
    const fs::path source = root / "in" / "MLS_Web_Package" / "house.jpg";
    fs::rename(photo("house.jpg", 600, 400), source);
    fs::create_symlink(root / "in", root / "link");
    const auto before = fs::file_size(source);
    const auto beforeTime = fs::last_write_time(source);
    GablewisePreset preset = plainPreset();
    preset.exportPrintPackage = false;
    for (const fs::path& folder : {root / "in", root / "in" / ".", root / "in" / "sub" / "..", root / "link"}) {
        BatchConfiguration configuration(folder, true, "{name}", false, 1, false, false, {});
        ProcessingContext c{Uuid::random(), configuration, 1, 1, {}, {}, {}};
        try {
            preset.process(item(source), c);
            ADD_FAILURE() << "re-encoded its own input through " << folder;
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), "house.jpg would replace its own source file; choose another output folder or "
                                   "naming pattern.");
        }
    }
    EXPECT_EQ(fs::file_size(source), before);
    EXPECT_EQ(fs::last_write_time(source), beforeTime);
    EXPECT_EQ(filesUnder(root / "in").size(), 1u);
}

// A name longer than the file system allows says so; a long name within the limit is written.
TEST_F(GablewiseRoadTest, LongAddressesAreWrittenOrRefusedWithTheReason) {
    const fs::path source = photo("house.jpg", 600, 400);
    GablewisePreset preset = plainPreset();
    preset.exportWebPackage = false;
    preset.propertyAddress = std::string(240, 'A');  // + "_03_Print.jpg": 253 bytes
    const auto written = preset.process(item(source), context());
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].filename().string().size(), 253u);
    EXPECT_TRUE(fs::exists(written[0]));

    preset.propertyAddress = std::string(300, 'B');
    try {
        preset.process(item(source), context());
        ADD_FAILURE() << "a 313-byte name was accepted";
    } catch (const Error& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("Could not write " + std::string(300, 'B') + "_03_Print.jpg in " +
                                    (out / "Print_Package").string() + ": ",
                                0),
                  0u)
            << message;
        EXPECT_NE(message.find("longer than the file system allows (313 bytes; at most 255)"), std::string::npos);
    }
    EXPECT_EQ(filesUnder(out).size(), 1u);
}

// Two items of one job whose deliverables would share a name: the later one fails naming the
// file and the earlier item, and the earlier deliverable stays; files from before the job are
// still replaced.
TEST_F(GablewiseRoadTest, TwoItemsOfOneJobNeverWriteTheSameDeliverable) {
    fs::create_directories(root / "in" / "a");
    fs::create_directories(root / "in" / "b");
    fs::rename(photo("house.jpg", 600, 400), root / "in" / "a" / "house.jpg");
    fs::rename(photo("house.jpg", 500, 400), root / "in" / "b" / "house.jpg");
    fs::create_directories(out / "Print_Package");
    std::ofstream(out / "Print_Package" / "house_Print.jpg") << "from an earlier run";

    auto preset = std::make_shared<GablewisePreset>(plainPreset());
    preset->exportWebPackage = false;
    std::vector<BatchItem> items{item(root / "in" / "a" / "house.jpg"), item(root / "in" / "b" / "house.jpg")};
    BatchConfiguration configuration(out, true, "{name}_{size}", false, 1, false, false, {});
    BatchQueueManager queue;
    const Uuid jobID = Uuid::random();
    const ExecutionReport report =
        queue.submitAndStart(ProcessingJob(jobID, preset->id(), preset->displayName(), items, configuration), preset);
    EXPECT_EQ(report.successCount, 1);
    EXPECT_EQ(report.failureCount, 1);
    const auto job = queue.activeJobs().at(jobID);
    EXPECT_EQ(job.items[1].status, ProcessingStatus::failed);
    EXPECT_EQ(job.items[1].errorMessage.value_or(""),
              "house_Print.jpg was already written in this job from " + (root / "in" / "a" / "house.jpg").string() +
                  "; house.jpg would replace it. Choose a naming pattern that gives every item its own name.");
    EXPECT_EQ(filesUnder(out), (std::set<fs::path>{"Print_Package/house_Print.jpg"}));
    EXPECT_EQ(open(out / "Print_Package" / "house_Print.jpg").width(), 600);
}

// A destination that is not a regular file is never replaced.
TEST_F(GablewiseRoadTest, DestinationsThatAreNotRegularFilesAreRefused) {
    const fs::path source = photo("house.jpg", 600, 400);
    fs::create_directories(out / "Print_Package" / "house_Print.jpg");
    GablewisePreset preset = plainPreset();
    BatchConfiguration configuration(out, true, "{name}_{size}", false, 1, false, false, {});
    ProcessingContext c{Uuid::random(), configuration, 1, 1, {}, {}, {}};
    try {
        preset.process(item(source), c);
        ADD_FAILURE() << "replaced a folder";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("(a folder)"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(fs::is_directory(out / "Print_Package" / "house_Print.jpg"));
    EXPECT_TRUE(filesUnder(out).empty());
}

TEST_F(GablewiseRoadTest, WatermarkWithAndWithoutAlpha) {
    const fs::path source = photo("room.jpg", 1200, 900, 0.3);
    for (bool alpha : {true, false}) {
        fs::remove_all(out);
        GablewisePreset preset = plainPreset();
        preset.exportWebPackage = false;
        preset.watermarkURL = logo(alpha);
        preset.watermarkOpacity = 1.0;
        const auto written = preset.process(item(source), context());
        ASSERT_EQ(written.size(), 1u);
        const vips::VImage print = vips::VImage::new_from_file(written[0].c_str());
        // The bottom-right corner is white where the logo sits; the top-left is the dark room.
        const double cornerMean = print.extract_area(1200 - 27 - 80, 900 - 27 - 20, 40, 10).avg();
        EXPECT_GT(cornerMean, 240) << alpha;
        EXPECT_LT(print.extract_area(10, 10, 40, 40).avg(), 120) << alpha;
    }

    // Logos in any band layout: grey, grey with alpha, palette, 16-bit grey with alpha.
    struct Layout {
        const char* name;
        int bands;
        bool sixteen;
        bool palette;
    };
    const Layout layouts[] = {{"grey.png", 1, false, false},
                              {"grey_alpha.png", 2, false, false},
                              {"palette.png", 3, false, true},
                              {"palette_alpha.png", 4, false, true},
                              {"grey16_alpha.png", 2, true, false}};
    for (const auto& l : layouts) {
        fs::remove_all(out);
        const double white = l.sixteen ? 65535 : 255;
        vips::VImage px = vips::VImage::black(120, 40, vips::VImage::option()->set("bands", l.bands)) + white;
        px = px.cast(l.sixteen ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR)
                 .copy(vips::VImage::option()->set(
                     "interpretation", l.bands <= 2 ? (l.sixteen ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_B_W)
                                                    : VIPS_INTERPRETATION_sRGB));
        const fs::path file = root / l.name;
        px.pngsave(file.c_str(), vips::VImage::option()->set("palette", l.palette));
        GablewisePreset preset = plainPreset();
        preset.exportWebPackage = false;
        preset.watermarkURL = file;
        preset.watermarkOpacity = 1.0;
        std::vector<fs::path> written;
        try {
            written = preset.process(item(source), context());
        } catch (const std::exception& e) {
            ADD_FAILURE() << l.name << ": " << e.what();
            continue;
        }
        ASSERT_EQ(written.size(), 1u) << l.name;
        const vips::VImage print = vips::VImage::new_from_file(written[0].c_str());
        EXPECT_EQ(print.bands(), 3) << l.name;
        EXPECT_GT(print.extract_area(1200 - 27 - 80, 900 - 27 - 20, 40, 10).avg(), 240) << l.name;
        EXPECT_LT(print.extract_area(10, 10, 40, 40).avg(), 120) << l.name;
    }
}

TEST_F(GablewiseRoadTest, BracketIsFusedByItsFirstMemberAndTheOthersAreSkipped) {
    const fs::path a = photo("IMG_0101.JPG", 640, 480, 0.4, "2024:05:01 10:00:00", 500);
    const fs::path b = photo("IMG_0102.JPG", 640, 480, 1.0, "2024:05:01 10:00:01", 125);
    const fs::path c = photo("IMG_0103.JPG", 640, 480, 1.8, "2024:05:01 10:00:02", 30);
    GablewisePreset preset = plainPreset();
    preset.mergeBrackets = true;
    const auto written = preset.process(item(a), context(1, 3));
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(std::any_of(logLines.begin(), logLines.end(),
                            [](const std::string& l) { return l.find("Merged 3 exposures") != std::string::npos; }));
    for (const fs::path& other : {b, c}) {
        try {
            preset.process(item(other), context(2, 3));
            ADD_FAILURE() << other << " not skipped";
        } catch (const BatchSkip& skip) {
            EXPECT_EQ(skip.reason, other.filename().string() + " is merged into IMG_0101.JPG's bracket");
        }
    }
    // Without merging every member is its own photo.
    preset.mergeBrackets = false;
    EXPECT_EQ(preset.process(item(b), context(2, 3)).size(), 2u);
}


// One bad member of a bracket loses only itself: one cut short fails alone and the others are
// fused without it (by the first one that decodes), one turned the other way is a photo of its own.
TEST_F(GablewiseRoadTest, ABadBracketMemberFailsAloneAndTheRestAreDelivered) {
    enum class Bad { cutShort, turned };
    struct Case {
        int bad;  // 0-based member
        Bad how;
        const char* outcomes;  // per member: F fused output, S skipped, X failed, P photo of its own
    };
    const Case cases[] = {
        {1, Bad::cutShort, "FXS"},
        {0, Bad::cutShort, "XFS"},
        {2, Bad::cutShort, "FSX"},
        {1, Bad::turned, "PPP"},
        {2, Bad::turned, "FSP"},
    };
    const double gains[] = {0.4, 1.0, 1.8};
    const int denominators[] = {500, 125, 30};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.how == Bad::cutShort ? "cut short " : "turned ") + std::to_string(c.bad));
        fs::remove_all(root / "in");
        fs::remove_all(out);
        fs::create_directories(root / "in");
        std::vector<fs::path> shots;
        for (int k = 0; k < 3; ++k)
            shots.push_back(photo("B" + std::to_string(k + 1) + ".jpg", 480, 320, gains[k],
                                  "2024:05:01 10:00:0" + std::to_string(k), denominators[k]));
        const fs::path& bad = shots[static_cast<std::size_t>(c.bad)];
        if (c.how == Bad::cutShort) {
            std::ifstream in(bad, std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
            in.close();
            bytes.resize(bytes.size() / 2);
            std::ofstream(bad, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        } else {
            auto image = Exiv2::ImageFactory::open(bad.string());
            image->readMetadata();
            image->exifData()["Exif.Image.Orientation"] = uint16_t(6);
            image->writeMetadata();
        }
        GablewisePreset preset = plainPreset();
        preset.mergeBrackets = true;
        preset.exportWebPackage = false;
        std::string outcomes;
        std::vector<fs::path> fused;
        for (int k = 0; k < 3; ++k) {
            try {
                const auto written = preset.process(item(shots[static_cast<std::size_t>(k)]), context(k + 1, 3));
                ASSERT_EQ(written.size(), 1u);
                const vips::VImage print = open(written[0]);
                const bool alone = c.outcomes[k] == 'P';
                EXPECT_EQ(print.width(), k == c.bad && c.how == Bad::turned ? 320 : 480);
                if (!alone) fused.push_back(written[0]);
                outcomes += alone ? 'P' : 'F';
            } catch (const BatchSkip&) {
                outcomes += 'S';
            } catch (const PresetError& e) {
                EXPECT_STREQ(e.what(), ("Could not decode architectural image at " + bad.filename().string()).c_str());
                outcomes += 'X';
            }
        }
        EXPECT_EQ(outcomes, c.outcomes);
        // The fused print is brighter than its darkest member and darker than its brightest.
        for (const fs::path& print : fused) {
            const double mean = open(print).avg();
            EXPECT_GT(mean, open(shots[c.bad == 0 ? 1 : 0]).avg() + 3) << print;
            EXPECT_LT(mean, open(shots[c.bad == 2 ? 1 : 2]).avg() - 3) << print;
        }
    }
}

// The HEIF file of a JPEG, its EXIF block carried by libheif. With `absoluteOffsets`, the item
// locations are rewritten the way phones write them (each extent at its offset in the file, no
// base offsets); libheif itself places items by base offsets.
fs::path heicOf(const fs::path& jpeg, bool absoluteOffsets) {
    fs::path heic = jpeg;
    heic.replace_extension(".heic");
    vips::VImage::new_from_file(jpeg.c_str()).heifsave(heic.c_str());
    fs::remove(jpeg);
    if (!absoluteOffsets) return heic;
    std::ifstream in(heic, std::ios::binary);
    std::vector<std::uint8_t> d((std::istreambuf_iterator<char>(in)), {});
    in.close();
    const auto u32 = [&](std::size_t at) {
        return std::uint32_t(d[at]) << 24 | std::uint32_t(d[at + 1]) << 16 | std::uint32_t(d[at + 2]) << 8 | d[at + 3];
    };
    const auto u16 = [&](std::size_t at) { return std::uint16_t(d[at] << 8 | d[at + 1]); };
    const auto uN = [&](std::size_t at, int n) {
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i) v = v << 8 | d[at + i];
        return v;
    };
    const auto put32 = [](std::vector<std::uint8_t>& b, std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
    };
    const auto find = [&](std::size_t from, std::size_t end, const char* type) {
        for (std::size_t at = from; at + 8 <= end; at += u32(at))
            if (std::memcmp(&d[at + 4], type, 4) == 0) return at;
        return std::size_t(0);
    };
    const std::size_t meta = find(0, d.size(), "meta");
    const std::size_t iloc = find(meta + 12, meta + u32(meta), "iloc");
    EXPECT_NE(iloc, 0u);
    const int version = d[iloc + 8], offsetSize = d[iloc + 12] >> 4, lengthSize = d[iloc + 12] & 15,
              baseSize = d[iloc + 13] >> 4;
    EXPECT_LE(version, 1);
    const std::size_t methodSize = version == 1 ? 2 : 0;
    struct Extent {
        std::uint64_t offset, length;
    };
    struct Item {
        std::uint16_t id, method;
        std::uint64_t base;
        std::vector<Extent> extents;
    };
    std::vector<Item> items(u16(iloc + 14));
    std::size_t at = iloc + 16;
    for (Item& item : items) {
        item.id = u16(at);
        item.method = methodSize ? u16(at + 2) : 0;
        at += 4 + methodSize;
        item.base = uN(at, baseSize);
        at += baseSize;
        item.extents.resize(u16(at));
        at += 2;
        for (Extent& e : item.extents) {
            e.offset = uN(at, offsetSize);
            e.length = uN(at + offsetSize, lengthSize);
            at += offsetSize + lengthSize;
        }
    }
    std::size_t boxSize = 16;
    for (const Item& item : items) boxSize += 6 + methodSize + 8 * item.extents.size();
    const std::int64_t shift = static_cast<std::int64_t>(boxSize) - static_cast<std::int64_t>(u32(iloc));
    std::vector<std::uint8_t> box;
    put32(box, static_cast<std::uint32_t>(boxSize));
    box.insert(box.end(), {'i', 'l', 'o', 'c', static_cast<std::uint8_t>(version), 0, 0, 0, 0x44, 0x00, static_cast<std::uint8_t>(items.size() >> 8),
                           static_cast<std::uint8_t>(items.size())});
    for (const Item& item : items) {
        box.insert(box.end(), {static_cast<std::uint8_t>(item.id >> 8), static_cast<std::uint8_t>(item.id)});
        if (methodSize) box.insert(box.end(), {0, static_cast<std::uint8_t>(item.method)});
        box.insert(box.end(), {0, 0, 0, static_cast<std::uint8_t>(item.extents.size())});
        for (const Extent& e : item.extents) {
            // Items in the file (method 0) lie after the box that changes size; items in 'idat'
            // keep their offsets inside it.
            put32(box, static_cast<std::uint32_t>(item.method == 0 ? item.base + e.offset + shift : item.base + e.offset));
            put32(box, static_cast<std::uint32_t>(e.length));
        }
    }
    std::vector<std::uint8_t> outBytes(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(iloc));
    outBytes.insert(outBytes.end(), box.begin(), box.end());
    outBytes.insert(outBytes.end(), d.begin() + static_cast<std::ptrdiff_t>(iloc + u32(iloc)), d.end());
    const std::uint32_t metaSize = static_cast<std::uint32_t>(u32(meta) + shift);
    for (int i = 0; i < 4; ++i) outBytes[meta + i] = static_cast<std::uint8_t>(metaSize >> (24 - 8 * i));
    std::ofstream(heic, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(outBytes.data()), static_cast<std::streamsize>(outBytes.size()));
    return heic;
}

// One tag of a file as exiftool prints it (value only).
std::string exiftoolTag(const fs::path& file, const std::string& tag) {
    std::string output;
    if (FILE* p = popen(("exiftool -s -s -s -" + tag + " '" + file.string() + "' 2>/dev/null").c_str(), "r")) {
        char line[512];
        while (fgets(line, sizeof line, p)) output += line;
        pclose(p);
    }
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    return output;
}

// HEIC photos keep their capture date, camera and artist (and their position with stripping
// off) in both sets, and their brackets merge, whichever way the file places its EXIF item.
TEST_F(GablewiseRoadTest, HeicPhotosKeepTheirMetadataAndMergeTheirBrackets) {
    if (std::system("command -v exiftool >/dev/null 2>&1") != 0) GTEST_SKIP() << "exiftool is not installed";
    for (const bool phoneLayout : {false, true}) {
        SCOPED_TRACE(phoneLayout ? "extents at absolute offsets" : "items placed by base offsets");
        fs::remove_all(root / "in");
        fs::remove_all(out);
        fs::create_directories(root / "in");
        logLines.clear();
        std::vector<fs::path> shots;
        const double gains[] = {0.4, 1.0, 1.8};
        const int denominators[] = {500, 125, 30};
        for (int k = 0; k < 3; ++k) {
            const fs::path jpeg = photo("IMG_020" + std::to_string(k + 1) + ".jpg", 320, 240, gains[k],
                                        "2024:05:01 10:00:0" + std::to_string(k), denominators[k]);
            auto image = Exiv2::ImageFactory::open(jpeg.string());
            image->readMetadata();
            image->exifData()["Exif.Image.Artist"] = "Jo Doe";
            image->writeMetadata();
            shots.push_back(heicOf(jpeg, phoneLayout));
        }
        ASSERT_EQ(exiftoolTag(shots[0], "Make"), "Acme");
        if (phoneLayout) {
            // exiv2 reads this layout itself (its own tool says so), once BMFF files are enabled.
            ASSERT_EQ(std::system(("exiv2 -q -g Exif.Image.Make -Pv '" + shots[0].string() + "' | grep -qx Acme").c_str()), 0);
            EXPECT_TRUE(MetadataStripper::hasLocation(shots[0]));
        }
        for (const bool strip : {true, false}) {
            fs::remove_all(out);
            GablewisePreset preset = plainPreset();
            preset.stripGPSMetadata = strip;
            const auto written = preset.process(item(shots[1]), context(2, 3));
            ASSERT_EQ(written.size(), 2u);
            for (const fs::path& f : written) {
                EXPECT_EQ(exiftoolTag(f, "DateTimeOriginal"), "2024:05:01 10:00:01") << f;
                EXPECT_EQ(exiftoolTag(f, "Make"), "Acme") << f;
                EXPECT_EQ(exiftoolTag(f, "Model"), "X100") << f;
                EXPECT_EQ(exiftoolTag(f, "Artist"), "Jo Doe") << f;
                EXPECT_EQ(exiftoolTag(f, "GPSLatitudeRef").empty(), strip) << f;
            }
        }
        GablewisePreset preset = plainPreset();
        preset.mergeBrackets = true;
        EXPECT_EQ(preset.process(item(shots[0]), context(1, 3)).size(), 2u);
        EXPECT_TRUE(std::any_of(logLines.begin(), logLines.end(), [](const std::string& l) {
            return l.find("Merged 3 exposures into IMG_0201.heic") != std::string::npos;
        })) << ::testing::PrintToString(logLines);
        for (int k = 1; k < 3; ++k)
            EXPECT_THROW(preset.process(item(shots[k]), context(k + 1, 3)), BatchSkip) << shots[k];
    }
}

}  // namespace
}  // namespace lw
