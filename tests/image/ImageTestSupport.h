#pragma once
// Fixture helpers for the image suites: files made in the test, never committed.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <exiv2/exiv2.hpp>
#include <vips/vips8>

#include "image/Image.h"
#include "platform/Uuid.h"

namespace lw::testing {

inline std::filesystem::path freshDir(const std::string& name) {
    auto dir = std::filesystem::temp_directory_path() / ("lw-image-" + name + "-" + Uuid().toString());
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::vector<std::uint8_t> slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void spit(const std::filesystem::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A w x h RGB picture: grey 128 everywhere, pure red in the top-left quadrant.
inline Raster8 quadrantRaster(int w, int h) {
    Raster8 r(w, h, 3, 128);
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x) {
            r.at(x, y, 0) = 255;
            r.at(x, y, 1) = 0;
            r.at(x, y, 2) = 0;
        }
    return r;
}

inline void saveJpeg(const Raster8& r, const std::filesystem::path& p, int quality = 95) {
    ensureVipsStarted();
    Image::fromRaster(r).pixels().jpegsave(p.c_str(), vips::VImage::option()->set("Q", quality)->set("strip", true));
}

inline void savePng(const Raster8& r, const std::filesystem::path& p) {
    ensureVipsStarted();
    Image::fromRaster(r).pixels().pngsave(p.c_str());
}

// Sets EXIF tags (exiv2 keys -> text values) on a file.
inline void setExif(const std::filesystem::path& p, const std::vector<std::pair<std::string, std::string>>& tags) {
    auto image = Exiv2::ImageFactory::open(p.string());
    image->readMetadata();
    Exiv2::ExifData& exif = image->exifData();
    for (const auto& [key, value] : tags) {
        Exiv2::ExifKey k(key);
        auto v = Exiv2::Value::create(k.defaultTypeId());
        v->read(value);
        exif.add(k, v.get());
    }
    image->writeMetadata();
}

inline Exiv2::ExifData readExif(const std::filesystem::path& p) {
    auto image = Exiv2::ImageFactory::open(p.string());
    image->readMetadata();
    return image->exifData();
}

inline Exiv2::ExifData readExif(const std::vector<std::uint8_t>& bytes) {
    auto image = Exiv2::ImageFactory::open(bytes.data(), static_cast<long>(bytes.size()));
    image->readMetadata();
    return image->exifData();
}

}  // namespace lw::testing
