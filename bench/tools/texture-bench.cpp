// Texture kernels on 4096x4096 maps made here, against ImageMagick on the same files:
//   packing four maps into ORM        vs  convert AO R M H -channel RGBA -combine
//   a full mip chain of the packed map vs  convert packed -resize 50% -write ... (chain of resizes)
//   normal map from height            megapixels per second
//   PNG zlib level                    encode time and size per level, and libvips' default writer
// Usage: texture-bench [side]   (default 4096; --help). Prints times and ratios; asserts nothing.
#include <tbb/parallel_for.h>
#include <vips/vips8>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "CommandLine.h"
#include "image/ChannelPacker.h"
#include "image/NormalMapGenerator.h"
#include "image/PowerOfTwoScaler.h"
#include "image/TextureImage.h"
#include "WorkFolder.h"

namespace fs = std::filesystem;
using namespace lw;

namespace {

double seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double best(int runs, const std::function<void()>& work) {
    double t = 1e30;
    for (int i = 0; i < runs; ++i) t = std::min(t, seconds(work));
    return t;
}

// Smooth value noise plus fine grain: compresses like a real material map, not like a flat fill.
Raster8 makeMap(int side, unsigned seed, double cell) {
    std::mt19937 rng(seed);
    const int grid = static_cast<int>(side / cell) + 2;
    std::vector<float> lattice(static_cast<std::size_t>(grid) * grid);
    for (auto& v : lattice) v = std::uniform_real_distribution<float>(0, 1)(rng);
    Raster8 map(side, side, 1);
    tbb::parallel_for(0, side, [&](int y) {
        std::minstd_rand grain(seed * 7919u + static_cast<unsigned>(y));
        for (int x = 0; x < side; ++x) {
            const double gx = x / cell, gy = y / cell;
            const int ix = static_cast<int>(gx), iy = static_cast<int>(gy);
            const double fx = gx - ix, fy = gy - iy;
            auto at = [&](int a, int b) { return lattice[static_cast<std::size_t>(b) * grid + a]; };
            const double v = (at(ix, iy) * (1 - fx) + at(ix + 1, iy) * fx) * (1 - fy) +
                             (at(ix, iy + 1) * (1 - fx) + at(ix + 1, iy + 1) * fx) * fy;
            const double g = (static_cast<int>(grain() % 9) - 4) / 255.0;
            map.at(x, y) = static_cast<std::uint8_t>(std::clamp(std::lround((v + g) * 255.0), 0L, 255L));
        }
    });
    return map;
}

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

}  // namespace

int main(int argc, char** argv) {
    const char* const usage =
        "usage: texture-bench [SIDE]\n"
        "  SIDE  side of the square maps in pixels, 16 to 16384 (default 4096)\n";
    if (argc > 1 && bench::isHelp(argv[1])) return bench::printHelp(usage);
    int side = 4096;
    if (argc > 1) {
        std::string problem;
        const auto n = bench::positionalNumber(argv[1], "SIDE", 16, 16384, problem);
        if (!n) return bench::refuse("texture-bench", problem, usage);
        side = static_cast<int>(*n);
    }
    if (argc > 2) return bench::refuse("texture-bench", std::string("unexpected argument '") + argv[2] + "'", usage);
    if (VIPS_INIT(argv[0])) return 1;
    const lw::bench::WorkFolder work = lw::bench::WorkFolder::fresh("lw-texture-bench");
    const fs::path dir = work.path();
    const bool haveMagick = run("command -v convert");
    std::printf("texture-bench: %dx%d maps in %s, %u threads%s\n", side, side, dir.c_str(),
                std::thread::hardware_concurrency(), haveMagick ? "" : " (ImageMagick not found: no peer figures)");

    const char* names[] = {"Mat_AO.png", "Mat_Roughness.png", "Mat_Metallic.png", "Mat_Height.png"};
    for (int i = 0; i < 4; ++i) writePng(makeMap(side, 11u + i, 8.0 + 24.0 * i), dir / names[i], {6});

    // ---- packing
    ChannelPacker packer;
    const auto sources = *packer.discoverChannels(dir / names[0]);
    Raster8 packed;
    const double packOnly = best(2, [&] { packed = packer.pack(sources, ChannelPacker::EngineProfile::unrealORM, {side, side}); });
    const double oursPack = best(2, [&] {
        Raster8 image = packer.pack(sources, ChannelPacker::EngineProfile::unrealORM, {side, side});
        writePng(image, dir / "ours_ORM.png");
    });
    std::printf("\npacking 4 maps into ORM (decode + pack + PNG level 1)\n");
    std::printf("  ours            %8.3f s   (decode+pack %.3f s, PNG %.3f s)\n", oursPack, packOnly, oursPack - packOnly);
    if (haveMagick) {
        const std::string inputs = q(dir / names[0]) + " " + q(dir / names[1]) + " " + q(dir / names[2]) + " " + q(dir / names[3]);
        const double im = best(1, [&] { run("convert " + inputs + " -channel RGBA -combine " + q(dir / "im_ORM.png")); });
        const double imFast = best(1, [&] {
            run("convert " + inputs + " -channel RGBA -combine -define png:compression-level=1 " + q(dir / "im_ORM_l1.png"));
        });
        std::printf("  ImageMagick     %8.3f s   ratio %.1fx (default PNG level)\n", im, im / oursPack);
        std::printf("  ImageMagick L1  %8.3f s   ratio %.1fx (same zlib level as ours)\n", imFast, imFast / oursPack);
        std::printf("  sizes: ours %.1f MB, ImageMagick %.1f MB\n", fs::file_size(dir / "ours_ORM.png") / 1e6,
                    fs::file_size(dir / "im_ORM.png") / 1e6);
    }

    // ---- mip chain from the packed file
    writePng(packed, dir / "packed.png", {6});
    int levels = 0;
    const double oursMip = best(2, [&] {
        const ColorRaster image = loadColorRaster(dir / "packed.png");
        Raster8 level = std::get<Raster8>(image);
        levels = 0;
        while (level.width > 1 || level.height > 1) {
            level = ChannelPacker::halved(level);
            ++levels;
            writePng(level, dir / ("ours_mip" + std::to_string(levels) + ".png"));
        }
    });
    std::printf("\nfull mip chain of the packed map (%d levels, decode + halve + PNG)\n", levels);
    std::printf("  ours            %8.3f s\n", oursMip);
    if (haveMagick) {
        std::string chain = "convert " + q(dir / "packed.png");
        for (int i = 1; i <= levels; ++i) chain += " -resize 50% -write " + q(dir / ("im_mip" + std::to_string(i) + ".png"));
        chain += " null:";
        const double im = best(1, [&] { run(chain); });
        std::printf("  ImageMagick     %8.3f s   ratio %.1fx (one convert, -resize 50%% -write per level)\n", im, im / oursMip);
    }

    // ---- normal from height
    const RasterF height = loadDataMap(dir / names[3]);
    const double kernel = best(5, [&] {
        auto n = NormalMapGenerator::fromHeight(height, 2.0, ChannelPacker::NormalConvention::openGL, true);
        (void)n;
    });
    const double endToEnd = best(3, [&] {
        auto n = NormalMapGenerator::fromHeight(dir / names[3], 2.0, ChannelPacker::NormalConvention::openGL, true);
        writePng(n, dir / "ours_Normal.png");
    });
    const double mp = static_cast<double>(side) * side / 1e6;
    std::printf("\nnormal map from height\n");
    std::printf("  kernel          %8.1f MP/s  (%.3f s)\n", mp / kernel, kernel);
    std::printf("  file to file    %8.1f MP/s  (%.3f s, decode + kernel + PNG)\n", mp / endToEnd, endToEnd);

    // ---- PNG level
    std::printf("\nPNG encoding of the packed %dx%d RGBA map (%.0f MB raw)\n", side, side, packed.pixels.size() / 1e6);
    for (int level : {0, 1, 2, 3, 6, 9}) {
        std::size_t size = 0;
        const double t = best(2, [&] { size = encodePng(packed, {level}).size(); });
        std::printf("  ours level %d    %8.3f s   %7.1f MB%s\n", level, t, size / 1e6, level == 1 ? "   <- used" : "");
    }
    vips::VImage image = vips::VImage::new_from_memory(packed.pixels.data(), packed.pixels.size(), side, side, 4,
                                                       VIPS_FORMAT_UCHAR);
    for (int level : {1, 6}) {
        size_t size = 0;
        const double t = best(2, [&] {
            void* buf = nullptr;
            image.write_to_buffer(".png", &buf, &size, vips::VImage::option()->set("compression", level));
            g_free(buf);
        });
        std::printf("  libvips level %d %8.3f s   %7.1f MB   (single-threaded libpng)\n", level, t, size / 1e6);
    }
    work.removeOwn();
    return 0;
}
