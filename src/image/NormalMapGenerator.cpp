#include "image/NormalMapGenerator.h"

#include <tbb/parallel_for.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>

namespace lw {

namespace fs = std::filesystem;

namespace {

std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::uint8_t encode(float v) {
    return static_cast<std::uint8_t>(std::clamp((v * 0.5f + 0.5f) * 255.0f, 0.0f, 255.0f) + 0.5f);
}

template <class T>
void flip(Raster<T>& image, T max) {
    if (image.channels < 3) return;
    tbb::parallel_for(0, image.height, [&](int y) {
        T* p = image.row(y) + 1;
        for (int x = 0; x < image.width; ++x, p += image.channels) *p = static_cast<T>(max - *p);
    });
}

}  // namespace

Raster8 NormalMapGenerator::fromHeight(const RasterF& height, double strength,
                                       ChannelPacker::NormalConvention convention, bool wrap) {
    const int w = height.width, h = height.height;
    Raster8 out(w, h, 3);
    if (w < 1 || h < 1) return out;
    // Rows grow downwards; OpenGL's green points up, so its Y component follows +dh/drow.
    const double ySign = convention == ChannelPacker::NormalConvention::openGL ? 1.0 : -1.0;
    const int stride = height.channels;
    tbb::parallel_for(0, h, [&](int y) {
        const int up = wrap ? (y - 1 + h) % h : std::max(y - 1, 0);
        const int down = wrap ? (y + 1) % h : std::min(y + 1, h - 1);
        const float* rowUp = height.row(up);
        const float* rowDown = height.row(down);
        const float* row = height.row(y);
        std::uint8_t* o = out.row(y);
        const float sx = static_cast<float>(-0.5 * strength);
        const float sy = static_cast<float>(0.5 * strength * ySign);
        for (int x = 0; x < w; ++x) {
            const int left = x > 0 ? x - 1 : (wrap ? w - 1 : 0);
            const int right = x + 1 < w ? x + 1 : (wrap ? 0 : w - 1);
            const float nx = (row[right * stride] - row[left * stride]) * sx;
            const float ny = (rowDown[x * stride] - rowUp[x * stride]) * sy;
            const float inverse = 1.0f / std::sqrt(nx * nx + ny * ny + 1.0f);
            o[3 * x] = encode(nx * inverse);
            o[3 * x + 1] = encode(ny * inverse);
            o[3 * x + 2] = encode(inverse);
        }
    });
    return out;
}

Raster8 NormalMapGenerator::fromHeight(const fs::path& heightMap, double strength,
                                       ChannelPacker::NormalConvention convention, bool wrap) {
    return fromHeight(loadDataMap(heightMap), strength, convention, wrap);
}

void NormalMapGenerator::flipGreen(Raster8& image) { flip<std::uint8_t>(image, 255); }
void NormalMapGenerator::flipGreen(Raster16& image) { flip<std::uint16_t>(image, 65535); }
void NormalMapGenerator::flipGreen(ColorRaster& image) {
    std::visit([](auto& r) { flipGreen(r); }, image);
}

bool NormalMapGenerator::hasNormalMap(const std::string& stem, const fs::path& folder) {
    const ChannelPacker packer;
    const auto wanted = icu::UnicodeString::fromUTF8(stem);
    std::error_code ec;
    fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, ec), end;
    if (ec) return false;
    for (; it != end; it.increment(ec)) {
        if (ec) return false;
        const fs::path name = it->path().filename();
        const std::string text = name.string();
        if (text.empty() || text[0] == '.') continue;
        std::string ext = asciiLower(name.extension().string());
        if (!ext.empty()) ext.erase(0, 1);
        if (!ChannelPacker::imageExtensions().count(ext)) continue;
        const auto id = packer.identifyNormal(name);
        if (id && icu::UnicodeString::fromUTF8(id->first).caseCompare(wanted, U_FOLD_CASE_DEFAULT) == 0) return true;
    }
    return false;
}

std::pair<std::string, bool> NormalMapGenerator::stem(const fs::path& file) {
    static const char* suffixes[] = {"_displacement", "_height", "_bump", "_disp"};  // longest first
    const std::string base = file.stem().string();
    const std::string lower = asciiLower(base);
    for (const char* s : suffixes) {
        const std::string suffix = s;
        if (lower.size() > suffix.size() && lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0)
            return {base.substr(0, base.size() - suffix.size()), true};
    }
    return {base, false};
}

}  // namespace lw
