// Arbitrary bytes as a texture map or a sprite frame, read through our readers with the size
// limits on: a refusal is a TextureImageError or an AtlasError naming the file, never a crash
// or an allocation beyond the limits.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "image/SpriteSheetCompiler.h"
#include "image/TextureImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte picks the extension, so the readers that go by name are reached too.
    static const char* extensions[] = {"png", "jpg", "tga", "tif", "exr", "bmp", "psd", "webp"};
    if (size < 1) return 0;
    const std::string ext = extensions[data[0] % 8];
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("texture-fuzz-" + std::to_string(::getpid()) + "_Rock_Height." + ext);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    (void)lw::readTextureSize(path);
    try {
        (void)lw::loadDataMap(path, lw::TextureSize{16, 16});
    } catch (const lw::TextureImageError&) {
    }
    try {
        (void)lw::loadColorRaster(path, {true, true});
    } catch (const lw::TextureImageError&) {
    }
    try {
        lw::SpriteSheetCompiler::Options options;
        options.maxSheetSize = 1024;
        (void)lw::SpriteSheetCompiler().compileAtlas({path}, options, true);
    } catch (const lw::SpriteSheetCompiler::AtlasError&) {
    }
    return 0;
}
