#pragma once
// Image metadata as a string-keyed dictionary, keyed by the ImageIO property names:
//
//   {
//     "PixelWidth": 6000, "PixelHeight": 4000,   // stored size (before orientation)
//     "Orientation": 6,                          // EXIF orientation 1...8, when the file has one
//     "{TIFF}": { "Make": "...", "Model": "...", "Orientation": 6, "DateTime": "..." },
//     "{Exif}": { "DateTimeOriginal": "2024:05:01 10:00:00", "SubsecTimeOriginal": "25",
//                 "ExposureTime": 0.008, "FNumber": 8.0, "ISOSpeedRatings": [100], ... },
//     "{GPS}":  { "Latitude": 51.5, "LatitudeRef": "N", "Longitude": 0.12, ... }
//   }
//
// Rationals become doubles, integer tags ints (arrays when the tag holds several values),
// text tags strings. GPS latitude/longitude are decimal degrees with their Ref letters, as
// ImageIO gives them. Tags without a sensible plain value (maker notes, undefined blobs)
// are not carried.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

namespace lw {

using ImageProperties = nlohmann::json;

namespace ImageProperty {
inline constexpr const char* pixelWidth = "PixelWidth";
inline constexpr const char* pixelHeight = "PixelHeight";
inline constexpr const char* orientation = "Orientation";
inline constexpr const char* tiffDictionary = "{TIFF}";
inline constexpr const char* exifDictionary = "{Exif}";
inline constexpr const char* gpsDictionary = "{GPS}";
// Keys inside the dictionaries.
inline constexpr const char* tiffOrientation = "Orientation";
inline constexpr const char* exifDateTimeOriginal = "DateTimeOriginal";
inline constexpr const char* exifSubsecTimeOriginal = "SubsecTimeOriginal";
inline constexpr const char* exifExposureTime = "ExposureTime";
inline constexpr const char* exifFNumber = "FNumber";
inline constexpr const char* exifISOSpeedRatings = "ISOSpeedRatings";
inline constexpr const char* exifPixelXDimension = "PixelXDimension";
inline constexpr const char* exifPixelYDimension = "PixelYDimension";
}  // namespace ImageProperty

// Whether the file's extension is one of the camera RAW formats read through libraw (cr2, cr3,
// nef, arw, dng; any letter case).
bool isCameraRaw(const std::filesystem::path& file);

// Sets up exiv2 once for the process (XMP toolkit with its lock, messages muted, BMFF files
// such as HEIF read); every reader and writer of metadata calls it first.
void prepareMetadataLibrary();

// The properties of the first image in a file, like ImageIO's image-source properties:
// stored pixel size plus the EXIF-derived dictionaries. Reads headers only (no decoding).
// Absent when the file cannot be read or is not an image.
std::optional<ImageProperties> readImageProperties(const std::filesystem::path& file);

// The TIFF, EXIF and GPS dictionaries (and the top-level Orientation) of a file, without
// the pixel size. Empty object when the file has no readable EXIF.
ImageProperties readExifProperties(const std::filesystem::path& file);

// Writes `properties` as the EXIF block of an encoded file (JPEG, PNG or TIFF), replacing
// what it held. `width`/`height` are the encoded image's size, recorded as
// PixelXDimension/PixelYDimension when an EXIF dictionary is written. Throws std::runtime_error
// with the library's message.
void embedExifProperties(const std::filesystem::path& file, const ImageProperties& properties, int width, int height);
void embedExifProperties(std::vector<std::uint8_t>& encoded, const ImageProperties& properties, int width, int height);

// The raw EXIF block ("Exif\0\0" + TIFF structure) for `properties`, for encoders that take
// the block itself.
std::vector<std::uint8_t> encodeExifBlock(const ImageProperties& properties, int width, int height);

}  // namespace lw
