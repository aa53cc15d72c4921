#include "image/MetadataStripper.h"

#include <exiv2/exiv2.hpp>

#include "image/ImageProperties.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

namespace lw {

MetadataError::MetadataError(const std::string& name, const std::string& reason)
    : Error("Could not remove private metadata from " + name + ": " + reason) {}

namespace {

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Tag part of a key: "Xmp.exif.GPSLatitude" -> "GPSLatitude".
std::string tagOf(const std::string& key) {
    const auto dot = key.rfind('.');
    return dot == std::string::npos ? key : key.substr(dot + 1);
}

bool containsAny(const std::string& haystack, std::initializer_list<const char*> needles) {
    for (const char* n : needles)
        if (haystack.find(n) != std::string::npos) return true;
    return false;
}

template <class Data>
std::size_t eraseMatching(Data& data, bool (*rule)(const std::string&)) {
    std::size_t removed = 0;
    for (auto it = data.begin(); it != data.end();) {
        if (rule(it->key())) {
            it = data.erase(it);
            ++removed;
        } else {
            ++it;
        }
    }
    return removed;
}

void stripImage(Exiv2::Image& image) {
    image.readMetadata();
    Exiv2::ExifData& exif = image.exifData();
    {
        Exiv2::ExifThumb thumb(exif);
        thumb.erase();
    }
    eraseMatching(exif, &MetadataStripper::isPrivateKey);
    eraseMatching(image.xmpData(), &MetadataStripper::isPrivateKey);
    eraseMatching(image.iptcData(), &MetadataStripper::isPrivateKey);
    // Our own rewrite of the XMP packet, so no stale copy of the removed fields survives.
    if (image.xmpData().empty()) image.clearXmpPacket();
    image.writeMetadata();
}

template <class Data>
bool anyMatching(const Data& data, bool (*rule)(const std::string&)) {
    return std::any_of(data.begin(), data.end(), [rule](const auto& d) { return rule(d.key()); });
}

bool imageHas(Exiv2::Image& image, bool (*rule)(const std::string&), bool countThumbnail) {
    image.readMetadata();
    if (anyMatching(image.exifData(), rule) || anyMatching(image.xmpData(), rule) ||
        anyMatching(image.iptcData(), rule))
        return true;
    if (countThumbnail) {
        Exiv2::ExifThumbC thumb(image.exifData());
        if (thumb.copy().size_ > 0) return true;
    }
    // An XMP packet that exiv2 could not parse may still hold coordinates.
    const std::string packet = lower(image.xmpPacket());
    return containsAny(packet, {"gpslatitude", "gpslongitude"});
}

}  // namespace

bool MetadataStripper::isLocationKey(const std::string& key) {
    if (startsWith(key, "Exif.GPSInfo.") || key == "Exif.Image.GPSTag") return true;
    const std::string tag = lower(tagOf(key));
    if (startsWith(key, "Xmp.") || startsWith(key, "Exif.")) {
        if (containsAny(tag, {"gps", "latitude", "longitude", "altitude", "location"})) return true;
        if (startsWith(key, "Xmp.") && (tag == "city" || tag == "state" || tag == "country" ||
                                         tag == "countrycode" || tag == "sublocation" ||
                                         tag == "provincestate" || tag == "countryname"))
            return true;
        if (startsWith(key, "Xmp.iptcExt.Location")) return true;
    }
    if (startsWith(key, "Iptc.")) {
        static const std::array<const char*, 7> iptc{"city", "sublocation", "provincestate", "countrycode",
                                                    "countryname", "locationcode", "locationname"};
        for (const char* t : iptc)
            if (tag == t) return true;
    }
    return false;
}

bool MetadataStripper::isPrivateKey(const std::string& key) {
    if (isLocationKey(key)) return true;
    const std::string tag = lower(tagOf(key));
    if (containsAny(tag, {"serialnumber", "ownername"})) return true;
    if (key == "Exif.Photo.MakerNote" || startsWith(key, "Exif.MakerNote.")) return true;
    if (startsWith(key, "Exif.Thumbnail.")) return true;
    if (startsWith(key, "Exif.")) {
        // Maker-note groups (Exif.Canon..., Exif.Nikon3..., ...), sub-images and extra IFDs that
        // may hold previews.
        const auto second = key.find('.', 5);
        const std::string group = second == std::string::npos ? std::string() : key.substr(5, second - 5);
        if (!group.empty() && Exiv2::ExifTags::isMakerGroup(group)) return true;
        if (startsWith(group, "SubImage") || startsWith(group, "SubThumb") || group == "Image2" ||
            group == "Image3")
            return true;
    }
    return false;
}

void MetadataStripper::stripPrivate(std::vector<std::uint8_t>& encoded, const std::string& name) {
    prepareMetadataLibrary();
    try {
        auto image = Exiv2::ImageFactory::open(encoded.data(), static_cast<long>(encoded.size()));
        if (!image.get()) throw MetadataError(name, "not an image");
        stripImage(*image);
        Exiv2::BasicIo& io = image->io();
        io.seek(0, Exiv2::BasicIo::beg);
        const long size = io.size();
        Exiv2::DataBuf buffer = io.read(size);
        if (buffer.size_ != size) throw MetadataError(name, "the rewritten image could not be read back");
        encoded.assign(buffer.pData_, buffer.pData_ + buffer.size_);
    } catch (const Exiv2::AnyError& e) {
        throw MetadataError(name, e.what());
    }
}

void MetadataStripper::stripPrivate(const std::filesystem::path& file) {
    prepareMetadataLibrary();
    const std::string name = file.filename().string();
    try {
        auto image = Exiv2::ImageFactory::open(file.string());
        if (!image.get()) throw MetadataError(name, "not an image");
        stripImage(*image);
    } catch (const Exiv2::AnyError& e) {
        throw MetadataError(name, e.what());
    }
}

bool MetadataStripper::hasLocation(const std::vector<std::uint8_t>& encoded) {
    prepareMetadataLibrary();
    try {
        auto image = Exiv2::ImageFactory::open(encoded.data(), static_cast<long>(encoded.size()));
        return image.get() && imageHas(*image, &isLocationKey, false);
    } catch (const Exiv2::AnyError&) {
        return false;
    }
}

bool MetadataStripper::hasLocation(const std::filesystem::path& file) {
    prepareMetadataLibrary();
    try {
        auto image = Exiv2::ImageFactory::open(file.string());
        return image.get() && imageHas(*image, &isLocationKey, false);
    } catch (const Exiv2::AnyError&) {
        return false;
    }
}

bool MetadataStripper::hasPrivateData(const std::filesystem::path& file) {
    prepareMetadataLibrary();
    try {
        auto image = Exiv2::ImageFactory::open(file.string());
        return image.get() && imageHas(*image, &isPrivateKey, true);
    } catch (const Exiv2::AnyError&) {
        return false;
    }
}

}  // namespace lw
