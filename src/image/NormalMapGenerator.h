#pragma once
// Normal maps: made from height maps, converted between the OpenGL and DirectX conventions,
// and recognised by name.
#include <filesystem>
#include <string>
#include <utility>

#include "image/ChannelPacker.h"
#include "image/Raster.h"
#include "image/TextureImage.h"

namespace lw {

class NormalMapGenerator {
public:
    // An 8-bit RGB normal map from a height plane (0...1): central differences (wrapping at the
    // edges when `wrap`, clamped otherwise), scaled by `strength`, normalised, green pointing
    // up for OpenGL and down for DirectX.
    static Raster8 fromHeight(const RasterF& height, double strength, ChannelPacker::NormalConvention convention,
                              bool wrap);
    // Reads the height map (single-channel data) and makes its normal map. Throws TextureImageError.
    static Raster8 fromHeight(const std::filesystem::path& heightMap, double strength,
                              ChannelPacker::NormalConvention convention, bool wrap);

    // Flips the green channel in place (channel 1 of an image with at least 3 channels),
    // converting between the conventions. Other channels, alpha included, are kept.
    static void flipGreen(Raster8& image);
    static void flipGreen(Raster16& image);
    static void flipGreen(ColorRaster& image);

    // Whether the folder holds an image named like a normal map of this stem (letter case ignored).
    static bool hasNormalMap(const std::string& stem, const std::filesystem::path& folder);

    // The file's name without extension and without a height suffix ("_Height", "_Disp",
    // "_Displacement", "_Bump", letter case ignored), and whether it had one.
    static std::pair<std::string, bool> stem(const std::filesystem::path& file);
};

}  // namespace lw
