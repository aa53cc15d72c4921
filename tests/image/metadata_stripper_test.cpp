#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>
#include <vips/vips8>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "image/MetadataStripper.h"
#include "platform/AtomicFile.h"

namespace lw {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> plainJpeg(int w, int h) {
    if (VIPS_INIT("metadata_stripper_test")) throw std::runtime_error("vips init");
    vips::VImage img = vips::VImage::black(w, h, vips::VImage::option()->set("bands", 3)) + 90;
    img = img.cast(VIPS_FORMAT_UCHAR);
    void* buf = nullptr;
    size_t size = 0;
    img.write_to_buffer(".jpg", &buf, &size, vips::VImage::option()->set("strip", true));
    std::vector<std::uint8_t> out(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + size);
    g_free(buf);
    return out;
}

// A JPEG carrying everything a camera and a phone put in: location, owner, serials, a maker
// note, a thumbnail, and the fields that must stay.
std::vector<std::uint8_t> cameraJpeg() {
    auto bytes = plainJpeg(64, 48);
    auto image = Exiv2::ImageFactory::open(bytes.data(), static_cast<long>(bytes.size()));
    image->readMetadata();
    Exiv2::ExifData& exif = image->exifData();
    exif["Exif.Image.Make"] = "Acme";
    exif["Exif.Image.Model"] = "X100";
    exif["Exif.Image.Artist"] = "Jo Photographer";
    exif["Exif.Image.Copyright"] = "(c) Jo";
    exif["Exif.Photo.DateTimeOriginal"] = "2024:05:01 10:11:12";
    exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 125);
    exif["Exif.Photo.FNumber"] = Exiv2::URational(8, 1);
    exif["Exif.Photo.ISOSpeedRatings"] = uint16_t(200);
    exif["Exif.Photo.CameraOwnerName"] = "Seller Name";
    exif["Exif.Photo.BodySerialNumber"] = "BODY123";
    exif["Exif.Photo.LensSerialNumber"] = "LENS456";
    exif["Exif.GPSInfo.GPSVersionID"] = "2 2 0 0";
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
    exif["Exif.GPSInfo.GPSLatitude"] = "47/1 36/1 0/1";
    exif["Exif.GPSInfo.GPSLongitudeRef"] = "W";
    exif["Exif.GPSInfo.GPSLongitude"] = "122/1 19/1 0/1";
    Exiv2::DataValue note(Exiv2::undefined);
    note.read("1 2 3 4 5 6 7 8");
    exif.add(Exiv2::ExifKey("Exif.Photo.MakerNote"), &note);
    const auto thumb = plainJpeg(16, 12);
    Exiv2::ExifThumb(exif).setJpegThumbnail(thumb.data(), static_cast<long>(thumb.size()));
    Exiv2::XmpData& xmp = image->xmpData();
    xmp["Xmp.exif.GPSLatitude"] = "47,36.0N";
    xmp["Xmp.photoshop.City"] = "Seattle";
    xmp["Xmp.aux.SerialNumber"] = "BODY123";
    xmp["Xmp.dc.rights"] = "(c) Jo";
    Exiv2::IptcData& iptc = image->iptcData();
    iptc["Iptc.Application2.City"] = "Seattle";
    iptc["Iptc.Application2.CountryName"] = "USA";
    iptc["Iptc.Application2.Byline"] = "Jo Photographer";
    image->writeMetadata();
    auto& io = image->io();
    io.seek(0, Exiv2::BasicIo::beg);
    Exiv2::DataBuf buf = io.read(io.size());
    return {buf.pData_, buf.pData_ + buf.size_};
}

struct Read {
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
    Exiv2::IptcData iptc;
    bool thumbnail = false;
};

Read readBack(const std::vector<std::uint8_t>& bytes) {
    auto image = Exiv2::ImageFactory::open(bytes.data(), static_cast<long>(bytes.size()));
    image->readMetadata();
    Read r{image->exifData(), image->xmpData(), image->iptcData(), false};
    r.thumbnail = Exiv2::ExifThumbC(r.exif).copy().size_ > 0;
    return r;
}

TEST(MetadataStripperTest, RemovesLocationAndPrivateDataAndKeepsTheRest) {
    auto bytes = cameraJpeg();
    {
        const Read before = readBack(bytes);
        ASSERT_NE(before.exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLatitude")), before.exif.end());
        ASSERT_TRUE(before.thumbnail);
        ASSERT_TRUE(MetadataStripper::hasLocation(bytes));
    }
    MetadataStripper::stripPrivate(bytes, "house.jpg");
    const Read after = readBack(bytes);
    for (const auto& d : after.exif) {
        EXPECT_NE(d.groupName(), "GPSInfo") << d.key();
        EXPECT_NE(d.groupName(), "Thumbnail") << d.key();
    }
    for (const char* gone : {"Exif.Image.GPSTag", "Exif.Photo.CameraOwnerName", "Exif.Photo.BodySerialNumber",
                             "Exif.Photo.LensSerialNumber", "Exif.Photo.MakerNote"})
        EXPECT_EQ(after.exif.findKey(Exiv2::ExifKey(gone)), after.exif.end()) << gone;
    for (const char* kept : {"Exif.Image.Make", "Exif.Image.Model", "Exif.Image.Artist", "Exif.Image.Copyright",
                             "Exif.Photo.DateTimeOriginal", "Exif.Photo.ExposureTime", "Exif.Photo.FNumber",
                             "Exif.Photo.ISOSpeedRatings"})
        EXPECT_NE(after.exif.findKey(Exiv2::ExifKey(kept)), after.exif.end()) << kept;
    EXPECT_FALSE(after.thumbnail);
    for (const char* gone : {"Xmp.exif.GPSLatitude", "Xmp.photoshop.City", "Xmp.aux.SerialNumber"})
        EXPECT_EQ(after.xmp.findKey(Exiv2::XmpKey(gone)), after.xmp.end()) << gone;
    EXPECT_NE(after.xmp.findKey(Exiv2::XmpKey("Xmp.dc.rights")), after.xmp.end());
    EXPECT_EQ(after.iptc.findKey(Exiv2::IptcKey("Iptc.Application2.City")), after.iptc.end());
    EXPECT_EQ(after.iptc.findKey(Exiv2::IptcKey("Iptc.Application2.CountryName")), after.iptc.end());
    EXPECT_NE(after.iptc.findKey(Exiv2::IptcKey("Iptc.Application2.Byline")), after.iptc.end());
    EXPECT_FALSE(MetadataStripper::hasLocation(bytes));
}

TEST(MetadataStripperTest, StripsAFileInPlaceAndExiftoolFindsNoLocation) {
    const fs::path dir = fs::temp_directory_path() / ("lw_strip_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / "house.jpg";
    writeFileAtomically(file, cameraJpeg());
    EXPECT_TRUE(MetadataStripper::hasLocation(file));
    EXPECT_TRUE(MetadataStripper::hasPrivateData(file));
    MetadataStripper::stripPrivate(file);
    EXPECT_FALSE(MetadataStripper::hasLocation(file));
    EXPECT_FALSE(MetadataStripper::hasPrivateData(file));
    if (std::system("command -v exiftool >/dev/null 2>&1") == 0) {
        const std::string cmd = "exiftool -s -G -a -gps:all -xmp:all -iptc:all -makernotes:all -SerialNumber "
                                "-OwnerName -ThumbnailImage '" + file.string() + "'";
        std::string output;
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char line[512];
            while (fgets(line, sizeof line, p)) output += line;
            pclose(p);
        }
        for (const char* word : {"GPS", "Latitude", "Longitude", "City", "Serial", "Owner", "Thumbnail", "MakerNote"})
            EXPECT_EQ(output.find(word), std::string::npos) << word << " in:\n" << output;
        EXPECT_NE(output.find("Rights"), std::string::npos) << output;  // copyright in XMP stays
    }
    fs::remove_all(dir);
}

TEST(MetadataStripperTest, BadInputNamesTheFile) {
    std::vector<std::uint8_t> junk{'n', 'o', 't', ' ', 'j', 'p', 'g'};
    try {
        MetadataStripper::stripPrivate(junk, "web.jpg");
        FAIL() << "no error";
    } catch (const MetadataError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Could not remove private metadata from web.jpg: ", 0), 0u) << e.what();
    }
    EXPECT_THROW(MetadataStripper::stripPrivate(fs::path("/nonexistent/dir/x.jpg")), MetadataError);
    auto plain = plainJpeg(8, 8);  // nothing to strip: still a valid image
    MetadataStripper::stripPrivate(plain, "plain.jpg");
    EXPECT_FALSE(MetadataStripper::hasLocation(plain));
    EXPECT_EQ(plain[0], 0xFF);
    EXPECT_EQ(plain[1], 0xD8);
}

TEST(MetadataStripperTest, KeyRules) {
    for (const char* k : {"Exif.GPSInfo.GPSAltitude", "Xmp.exif.GPSLongitude", "Xmp.iptcExt.LocationCreated",
                          "Xmp.iptc.Location", "Iptc.Application2.SubLocation", "Xmp.drone-dji.GpsLatitude"})
        EXPECT_TRUE(MetadataStripper::isLocationKey(k)) << k;
    for (const char* k : {"Exif.Canon.SerialNumber", "Exif.Nikon3.ShutterCount", "Exif.Thumbnail.JPEGInterchangeFormat",
                          "Xmp.exifEX.CameraOwnerName", "Exif.Image.CameraSerialNumber"})
        EXPECT_TRUE(MetadataStripper::isPrivateKey(k)) << k;
    for (const char* k : {"Exif.Image.Make", "Exif.Photo.DateTimeOriginal", "Exif.Photo.ExposureBiasValue",
                          "Exif.Image.Artist", "Xmp.dc.creator", "Iptc.Application2.Copyright", "Exif.Image.Orientation"})
        EXPECT_FALSE(MetadataStripper::isPrivateKey(k)) << k;
}

}  // namespace
}  // namespace lw
