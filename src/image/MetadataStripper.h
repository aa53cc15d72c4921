#pragma once
// Removes location and private metadata from encoded images with exiv2: the GPS IFD, XMP and
// IPTC location fields, the camera owner, body and lens serial numbers, the maker note and
// embedded thumbnails. Capture date, exposure data, make, model, artist and copyright stay.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace lw {

class MetadataError : public Error {
public:
    // `name` is the file (or the deliverable) the metadata belongs to.
    MetadataError(const std::string& name, const std::string& reason);
};

class MetadataStripper {
public:
    // Strips an encoded image held in memory; `name` only serves the error.
    static void stripPrivate(std::vector<std::uint8_t>& encoded, const std::string& name);
    // Strips a file in place. Call it on a temporary file before it is renamed into place.
    static void stripPrivate(const std::filesystem::path& file);

    // True when the image carries any GPS or location field that stripPrivate removes.
    static bool hasLocation(const std::vector<std::uint8_t>& encoded);
    static bool hasLocation(const std::filesystem::path& file);
    // True when any private field (location, owner, serial numbers, maker note, thumbnail) is present.
    static bool hasPrivateData(const std::filesystem::path& file);

    // The rules, on exiv2 keys ("Exif.GPSInfo.GPSLatitude", "Xmp.exif.GPSLatitude", ...).
    static bool isLocationKey(const std::string& key);
    static bool isPrivateKey(const std::string& key);
};

}  // namespace lw
