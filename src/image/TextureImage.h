#pragma once
// Reading and writing of texture maps as plain pixel memory for the texture kernels.
// Maps are data, not colours: no gamma or colour-space conversion is applied.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

#include "image/Raster.h"
#include "platform/Error.h"

namespace vips {
class VImage;
}

namespace lw {

struct TextureSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const TextureSize&, const TextureSize&) = default;
};

// A texture file that cannot be decoded, or that is too large to decode.
class TextureImageError : public Error {
public:
    enum class Kind { unreadable, tooLarge, unwritable };
    TextureImageError(Kind kind, std::filesystem::path file, const std::string& detail = {});
    Kind kind;
    std::filesystem::path file;
    // The cause as a sentence, for errors that name the file in their own words: "It is larger
    // than 400 megapixels.", "It is not an image that can be read, or it is damaged.", ...
    std::string reason;
};

// Images above this many pixels are refused before decoding.
inline constexpr std::int64_t maxTexturePixels = 400'000'000;

// The pixels as an image viewer shows them: the stored orientation applied (EXIF or TIFF
// orientation, the origin corner of a TGA). Every texture and sprite loader reads through this.
vips::VImage shownUpright(const vips::VImage& image);

// The size of the image as shown (shownUpright), from the file's header; nothing when it cannot
// be read. No pixels are decoded.
std::optional<TextureSize> readTextureSize(const std::filesystem::path& file);

// Both loaders give the image as shown (shownUpright).
// One channel of data in 0...1: the first channel of a grey image, Rec. 709 luma of the stored
// values of a colour image (alpha ignored). 8 and 16 bits are scaled by their maximum, float is
// clamped. With a target size the map is resized to it (Lanczos). Throws TextureImageError.
RasterF loadDataMap(const std::filesystem::path& file, std::optional<TextureSize> target = std::nullopt);

// Colour pixels as stored: RGB or RGBA (grey is expanded, palettes resolved), 8 bits, or 16
// bits when the file holds more than 8 bits per sample (float is clamped to 0...1 and stored as
// 16 bits). Throws TextureImageError.
// With `linearToSRGB`, float samples (EXR and float TIFF, which hold linear light) are encoded with
// the sRGB transfer curve before they are stored as 16 bits; alpha stays linear. Leave it off
// for data maps (normals, roughness, height...), whose values are not light.
struct ColorLoadOptions {
    bool linearToSRGB = false;
};
using ColorRaster = std::variant<Raster8, Raster16>;
ColorRaster loadColorRaster(const std::filesystem::path& file, ColorLoadOptions options = {});

// The image resized to exactly the given size (Lanczos 3; colour weighted by alpha when the image
// has an alpha channel). Throws TextureImageError (kind tooLarge) for an empty or oversized target.
Raster8 resizeRaster(const Raster8& image, TextureSize size);
Raster16 resizeRaster(const Raster16& image, TextureSize size);

// PNG encoder settings. Level 1 with the "sub" filter is about four times faster than the zlib
// default at a size within a few percent of it on texture data.
struct PngOptions {
    int compression = 1;  // zlib level 0...9
};

// Writes 1 to 4 channel pixels as a PNG through a temporary file renamed into place.
// Throws TextureImageError (kind unwritable) naming the destination when encoding fails.
void writePng(const Raster8& image, const std::filesystem::path& destination, PngOptions options = {});
void writePng(const Raster16& image, const std::filesystem::path& destination, PngOptions options = {});

// Encodes in memory.
std::vector<std::uint8_t> encodePng(const Raster8& image, PngOptions options = {});
std::vector<std::uint8_t> encodePng(const Raster16& image, PngOptions options = {});

}  // namespace lw
