#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>
#include <vips/vips8>

#include <fstream>
#include <mutex>
#include <set>

#include "core/BatchQueueManager.h"
#include "image/MetadataStripper.h"
#include "presets/GablewisePreset.h"

namespace lw {
namespace {

namespace fs = std::filesystem;

// Many photos at once through the queue: plain photos, one corrupt file and three shots of a bracket.
// Every item ends completed, skipped or failed; the batch goes on; no output keeps GPS.
TEST(GablewiseQueueConcurrencyTest, MixedBatchAtHighConcurrency) {
    ASSERT_EQ(VIPS_INIT("gablewise_queue_test"), 0);
    const fs::path root = fs::temp_directory_path() / ("lw_photo_queue_" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "in");
    const auto write = [&](const std::string& name, double gain, const std::string& time, int denominator) {
        vips::VImage noise = vips::VImage::gaussnoise(320, 240, vips::VImage::option()->set("sigma", 30.0));
        vips::VImage rgb = (noise.bandjoin({noise, noise}) * gain);
        rgb = (rgb < 0).ifthenelse(0, (rgb > 255).ifthenelse(255, rgb)).cast(VIPS_FORMAT_UCHAR);
        const fs::path file = root / "in" / name;
        rgb.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)).jpegsave(file.c_str());
        auto image = Exiv2::ImageFactory::open(file.string());
        image->readMetadata();
        image->exifData()["Exif.Photo.DateTimeOriginal"] = time;
        image->exifData()["Exif.Photo.ExposureTime"] = Exiv2::URational(1, denominator);
        image->exifData()["Exif.GPSInfo.GPSLatitudeRef"] = "N";
        image->exifData()["Exif.GPSInfo.GPSLatitude"] = "47/1 36/1 0/1";
        image->writeMetadata();
        return file;
    };
    std::vector<fs::path> sources;
    for (int i = 0; i < 12; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d.jpg", i);
        // Twelve shots an hour apart: no brackets among them.
        sources.push_back(write(name, 1.0, "2024:05:01 " + std::to_string(10 + i % 10) + ":0" + std::to_string(i / 10) + ":00", 125));
    }
    for (int k = 0; k < 3; ++k)
        sources.push_back(write("BRK_" + std::to_string(k) + ".jpg", 0.5 + 0.6 * k,
                                "2024:06:01 09:00:0" + std::to_string(k), k == 0 ? 500 : (k == 1 ? 125 : 30)));
    const fs::path corrupt = root / "in" / "broken.jpg";
    std::ofstream(corrupt) << "\xFF\xD8\xFF garbage";
    sources.push_back(corrupt);

    std::vector<BatchItem> items;
    for (const auto& s : sources)
        items.emplace_back(Uuid::random(), s, std::nullopt, ProcessingStatus::pending, 0.0, std::nullopt, StringMap{});
    auto preset = std::make_shared<GablewisePreset>();
    preset->mergeBrackets = true;
    preset->autoStraightenVerticals = false;
    BatchConfiguration configuration(root / "out", true, preset->defaultNamingPattern(), false, 16, false, false, {});
    ProcessingJob job(Uuid::random(), preset->id(), preset->displayName(), items, configuration);

    BatchQueueManager manager;
    std::mutex mutex;
    std::vector<fs::path> outputs;
    manager.addOutputListener([&](const Uuid&, const Uuid&, const std::vector<fs::path>& urls) {
        std::lock_guard lock(mutex);
        outputs.insert(outputs.end(), urls.begin(), urls.end());
    });
    const ExecutionReport report = manager.submitAndStart(std::move(job), preset);
    EXPECT_EQ(report.totalProcessed, 16);
    EXPECT_EQ(report.successCount, 13);  // 12 photos and the bracket's first member
    EXPECT_EQ(report.skippedCount, 2);
    EXPECT_EQ(report.failureCount, 1);
    ASSERT_EQ(report.errors.size(), 1u);
    EXPECT_NE(report.errors[0].find("broken.jpg"), std::string::npos) << report.errors[0];
    EXPECT_EQ(outputs.size(), 26u);
    std::set<fs::path> unique(outputs.begin(), outputs.end());
    EXPECT_EQ(unique.size(), outputs.size());  // every item has its own names
    for (const auto& f : outputs) EXPECT_FALSE(MetadataStripper::hasLocation(f)) << f;
    fs::remove_all(root);
}

}  // namespace
}  // namespace lw
