#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "image/CoreImagePipeline.h"
#include "image/ExposureFusion.h"
#include "image/MergeGate.h"

namespace lw {
namespace {

// A scene in linear light: rectangles of many brightnesses in a room (0.05...0.3) and a
// window (2...4) in the upper right quarter.
std::vector<float> scene(int w, int h) {
    std::vector<float> s(static_cast<std::size_t>(w) * h, 0.12f);
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) / 16777216.f;
    };
    for (int i = 0; i < 60; ++i) {
        const int x0 = static_cast<int>(next() * w), y0 = static_cast<int>(next() * h);
        const int x1 = std::min(w, x0 + 4 + static_cast<int>(next() * w / 5));
        const int y1 = std::min(h, y0 + 4 + static_cast<int>(next() * h / 5));
        const float v = 0.05f + 0.25f * next();
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) s[static_cast<std::size_t>(y) * w + x] = v;
    }
    for (int y = 0; y < h / 2; ++y)
        for (int x = w / 2; x < w; ++x) {
            float& v = s[static_cast<std::size_t>(y) * w + x];
            v = 2.f + 8.f * (v - 0.05f);
        }
    return s;
}

// One exposure of the scene, shifted so that the shot's (x + dx, y + dy) shows the scene's (x, y).
Raster16 shoot(const std::vector<float>& s, int w, int h, float gain, int dx = 0, int dy = 0) {
    Raster16 r(w, h, 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int sx = std::clamp(x - dx, 0, w - 1), sy = std::clamp(y - dy, 0, h - 1);
            const float lin = std::min(1.f, s[static_cast<std::size_t>(sy) * w + sx] * gain);
            const float enc = std::pow(lin, 1 / 2.2f);
            for (int c = 0; c < 3; ++c)
                r.at(x, y, c) = static_cast<std::uint16_t>(std::clamp(enc * (0.9f + 0.05f * c), 0.f, 1.f) * 65535);
        }
    return r;
}

double clippedShare(const Raster16& r, int x0, int x1, int y0, int y1) {
    std::size_t clipped = 0, all = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x, ++all)
            if (r.at(x, y, 1) > 61000) ++clipped;  // green clips at 0.95
    return static_cast<double>(clipped) / static_cast<double>(all);
}

TEST(ExposureFusionTest, AlignmentRecoversTranslationsAcrossExposures) {
    const int w = 320, h = 240;
    const auto s = scene(w, h);
    const Raster8 reference = ExposureFusion::grey(shoot(s, w, h, 1.0f));
    struct Case {
        int dx, dy;
        float gain;
    };
    for (const Case& c : {Case{0, 0, 0.25f}, Case{5, 3, 0.25f}, Case{-7, 2, 3.0f}, Case{12, -9, 1.0f}}) {
        const Raster8 shot = ExposureFusion::grey(shoot(s, w, h, c.gain, c.dx, c.dy));
        EXPECT_EQ(ExposureFusion::alignment(reference, shot, 6), (ExposureFusion::Offset{c.dx, c.dy}))
            << c.dx << "," << c.dy << " gain " << c.gain;
    }
}

TEST(ExposureFusionTest, AlignmentSearchIsBounded) {
    const int w = 320, h = 240;
    const auto s = scene(w, h);
    const Raster8 reference = ExposureFusion::grey(shoot(s, w, h, 1.0f));
    const Raster8 shot = ExposureFusion::grey(shoot(s, w, h, 1.0f, 40, 0));
    const auto found = ExposureFusion::alignment(reference, shot, 3);  // at most 7 px each way
    EXPECT_LE(std::abs(found.dx), 7);
    EXPECT_LE(std::abs(found.dy), 7);
}

TEST(ExposureFusionTest, IdenticalShotsFuseToThemselves) {
    const int w = 97, h = 61;  // odd sizes exercise the pyramid edges
    const auto s = scene(w, h);
    const Raster16 shot = shoot(s, w, h, 0.8f);
    ExposureFusion fusion;
    const Raster16 out = fusion.fuse({shot, shot, shot});
    ASSERT_EQ(out.width, w);
    ASSERT_EQ(out.height, h);
    ASSERT_EQ(out.channels, 3);
    int worst = 0;
    for (std::size_t i = 0; i < out.pixels.size(); ++i)
        worst = std::max(worst, std::abs(int(out.pixels[i]) - int(shot.pixels[i])));
    EXPECT_LE(worst, 2);
}

TEST(ExposureFusionTest, FusionKeepsTheWindowAndTheRoom) {
    const int w = 256, h = 192;
    const auto s = scene(w, h);
    const Raster16 dark = shoot(s, w, h, 0.2f), mid = shoot(s, w, h, 1.0f, 4, -3), bright = shoot(s, w, h, 4.0f);
    ExposureFusion fusion;
    const Raster16 out = fusion.fuse({mid, dark, bright});
    // The fused window is far less clipped than the brighter shots' windows, and the room is
    // brighter than in the dark shot.
    const double windowMid = clippedShare(mid, w / 2 + 8, w - 8, 8, h / 2 - 8);
    const double windowOut = clippedShare(out, w / 2 + 8, w - 8, 8, h / 2 - 8);
    EXPECT_GT(windowMid, 0.9);
    EXPECT_LT(windowOut, 0.1);
    double roomDark = 0, roomOut = 0;
    for (int y = h / 2 + 8; y < h - 8; ++y)
        for (int x = 8; x < w / 2 - 8; ++x) {
            roomDark += dark.at(x, y, 1);
            roomOut += out.at(x, y, 1);
        }
    EXPECT_GT(roomOut, roomDark * 1.5);
    // Aligned to the first shot: the window's edge sits where it does in `mid`.
    const int edge = w / 2 + 4;
    EXPECT_LT(out.at(edge - 3, 40, 1) + 8000, out.at(edge + 3, 40, 1));
}

TEST(ExposureFusionTest, MembersOfAnotherSizeAreRefusedByName) {
    ExposureFusion fusion;
    Raster16 a(64, 48, 3, 1000), b(48, 64, 3, 1000);
    try {
        fusion.fuse({a, b}, std::vector<std::filesystem::path>{"/p/IMG_1.JPG", "/p/IMG_2.JPG"});
        FAIL() << "no error";
    } catch (const MergeError& e) {
        EXPECT_EQ(e.kind, MergeError::Kind::sizeMismatch);
        EXPECT_EQ(std::string(e.what()),
                  "Bracket member IMG_2.JPG is 48 x 64 pixels, but the first shot of its bracket is 64 x 48");
    }
    EXPECT_THROW(fusion.fuse(std::vector<Raster16>{}), MergeError);
    EXPECT_EQ(std::string(MergeError::cannotDecode("/a/b/IMG_3.CR2").what()),
              "Could not decode bracket member IMG_3.CR2");
}

// Members are decoded side by side: the result is that of the decoded shots, and of several
// members that do not decode the first in bracket order is named.
TEST(ExposureFusionTest, FilesFuseLikeTheirShotsAndTheFirstBadMemberIsNamed) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("lw-fusion-files-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const int w = 96, h = 64;
    const auto s = scene(w, h);
    std::vector<Raster16> shots{shoot(s, w, h, 0.5f), shoot(s, w, h, 2.f, 2, 1), shoot(s, w, h, 6.f)};
    std::vector<fs::path> files;
    for (std::size_t k = 0; k < shots.size(); ++k) {
        files.push_back(dir / ("IMG_" + std::to_string(k) + ".png"));
        CoreImagePipeline::shared().write(Image::fromRaster(shots[k]), files.back(), PixelFormat::RGBA16,
                                          ColorSpace::sRGB, 1.0, std::nullopt);
    }
    ExposureFusion fusion;
    const Image fused = fusion.fuseFiles(files);
    EXPECT_EQ(fused.toRaster<std::uint16_t>(3).pixels, fusion.fuse(shots, files).pixels);

    // The second member cut short, the third not a picture at all.
    fs::resize_file(files[1], fs::file_size(files[1]) / 2);
    std::ofstream(files[2], std::ios::trunc) << "not a picture";
    try {
        fusion.fuseFiles(files);
        ADD_FAILURE() << "no error";
    } catch (const MergeError& e) {
        EXPECT_EQ(e.kind, MergeError::Kind::cannotDecode);
        EXPECT_EQ(e.member, files[1]);
    }
    fs::remove_all(dir);
}

// 8-bit members are fused as they are, without a 16-bit copy: the result must be that of their
// 16-bit conversions, for a bracket of 8-bit files and for one that mixes depths.
TEST(ExposureFusionTest, EightBitMembersFuseLikeTheirSixteenBitConversions) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("lw-fusion-depths-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const int w = 90, h = 61;
    const auto s = scene(w, h);
    const std::vector<Raster16> shots{shoot(s, w, h, 0.5f), shoot(s, w, h, 2.f, 3, -2), shoot(s, w, h, 6.f, -1, 2)};
    struct Case {
        const char* name;
        std::vector<PixelFormat> formats;
    };
    const Case cases[] = {
        {"all 8-bit", {PixelFormat::RGBA8, PixelFormat::RGBA8, PixelFormat::RGBA8}},
        {"mixed depths", {PixelFormat::RGBA8, PixelFormat::RGBA16, PixelFormat::RGBA8}},
    };
    ExposureFusion fusion;
    for (const Case& c : cases) {
        std::vector<fs::path> files;
        std::vector<Raster16> widened;
        for (std::size_t k = 0; k < shots.size(); ++k) {
            files.push_back(dir / ("IMG_" + std::to_string(k) + ".png"));
            CoreImagePipeline::shared().write(Image::fromRaster(shots[k]), files.back(), c.formats[k], ColorSpace::sRGB,
                                              1.0, std::nullopt);
            widened.push_back(CoreImagePipeline::shared().loadImage(files.back())->toRaster<std::uint16_t>(3));
        }
        const Raster16 expected = fusion.fuse(widened, files);
        const Raster16 fused = fusion.fuseFiles(files).toRaster<std::uint16_t>(3);
        EXPECT_EQ(fused.width, w) << c.name;
        EXPECT_EQ(fused.height, h) << c.name;
        EXPECT_EQ(fused.pixels, expected.pixels) << c.name;
    }
    fs::remove_all(dir);
}

Raster16 transposed(const Raster16& r) {
    Raster16 t(r.height, r.width, r.channels);
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x)
            for (int c = 0; c < r.channels; ++c) t.at(y, x, c) = r.at(x, y, c);
    return t;
}

// Rows and columns go through separate code in the pyramid kernels and at the clamped edges,
// but the method is the same both ways: fusing the transposed shots must give the transposed
// result, to within float rounding, for odd and narrow sizes.
TEST(ExposureFusionTest, FusionCommutesWithTransposition) {
    struct Case {
        int width, height;
    };
    const Case cases[] = {{97, 41}, {19, 130}, {301, 17}, {33, 33}, {16, 45}};
    ExposureFusion fusion;
    const std::vector<ExposureFusion::Offset> unmoved;
    for (const Case& c : cases) {
        const auto s = scene(c.width, c.height);
        const std::vector<Raster16> shots{shoot(s, c.width, c.height, 0.4f), shoot(s, c.width, c.height, 1.5f),
                                          shoot(s, c.width, c.height, 5.f)};
        std::vector<Raster16> flipped;
        for (const Raster16& shot : shots) flipped.push_back(transposed(shot));
        const Raster16 out = fusion.fuse(shots, unmoved);
        const Raster16 back = transposed(fusion.fuse(flipped, unmoved));
        ASSERT_EQ(back.pixels.size(), out.pixels.size()) << c.width << " x " << c.height;
        int worst = 0;
        for (std::size_t i = 0; i < out.pixels.size(); ++i) worst = std::max(worst, std::abs(out.pixels[i] - back.pixels[i]));
        EXPECT_LE(worst, 2) << c.width << " x " << c.height;
    }
}

TEST(ExposureFusionTest, TinyAndGreyImages) {
    ExposureFusion fusion;
    Raster16 one(1, 1, 3, 30000);
    EXPECT_EQ(fusion.fuse({one, one}).pixels, one.pixels);
    Raster16 grey(20, 10, 1, 12345);  // one channel is read as grey RGB
    const Raster16 out = fusion.fuse({grey});
    EXPECT_EQ(out.channels, 3);
    EXPECT_NEAR(out.at(5, 5, 2), 12345, 2);
}

TEST(MergeGateConcurrencyTest, OneFusionAtATimeAndNobodyFails) {
    MergeGate gate;
    std::atomic<int> inside{0}, most{0}, done{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            gate.run([&] {
                const int now = ++inside;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                --inside;
                ++done;
                return 0;
            });
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(done.load(), 8);
    EXPECT_EQ(gate.running(), 0u);
    EXPECT_EQ(gate.waiting(), 0u);
}

TEST(MergeGateConcurrencyTest, AThrowingFusionOpensTheGate) {
    MergeGate& gate = MergeGate::shared();
    EXPECT_THROW(gate.run([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    EXPECT_EQ(gate.run([] { return 7; }), 7);
}

}  // namespace
}  // namespace lw
