#include <gtest/gtest.h>

#include <cmath>

#include "ImageTestSupport.h"
#include "image/ArchitecturalStraightener.h"

using lw::ArchitecturalStraightener;
using lw::Image;
using lw::ImageRect;
using lw::Raster;
using lw::Raster8;
using Params = ArchitecturalStraightener::StraightenParameters;

namespace {

constexpr double deg = M_PI / 180.0;

// A light facade with dark vertical members. Each member's column at row y (y down) is
// x + slope * (y - H/2), where slope = tan(roll) + gradient * (x - W/2): a roll of the
// camera leans every line alike, a vertical keystone leans them by their position.
Raster8 facade(int W, int H, double roll, double gradient, std::vector<double> xs = {}) {
    if (xs.empty())
        for (int i = 0; i < 8; ++i) xs.push_back(W * (0.08 + 0.12 * i));
    Raster8 r(W, H, 3, 210);
    for (double x : xs) {
        const double slope = std::tan(roll) + gradient * (x - W / 2.0);
        for (int y = 0; y < H; ++y) {
            const double centre = x + slope * (y - H / 2.0);
            for (int px = static_cast<int>(centre) - 6; px <= static_cast<int>(centre) + 6; ++px) {
                if (px < 0 || px >= W) continue;
                const double cover = std::clamp(4.0 - std::fabs(px + 0.5 - centre) + 0.5, 0.0, 1.0);
                for (int c = 0; c < 3; ++c)
                    r.at(px, y, c) = static_cast<std::uint8_t>(std::lround(210 - cover * 180));
            }
        }
    }
    return r;
}

// Two step edges (dark between them), leaning as in facade().
Raster8 twoEdges(int W, int H, double roll, double gradient, double x1, double x2) {
    Raster8 r(W, H, 3, 220);
    const double s1 = std::tan(roll) + gradient * (x1 - W / 2.0), s2 = std::tan(roll) + gradient * (x2 - W / 2.0);
    for (int y = 0; y < H; ++y) {
        const double a = x1 + s1 * (y - H / 2.0), b = x2 + s2 * (y - H / 2.0);
        for (int x = 0; x < W; ++x) {
            const double cover = std::clamp(x + 1 - a, 0.0, 1.0) * std::clamp(b - x, 0.0, 1.0);
            for (int c = 0; c < 3; ++c) r.at(x, y, c) = static_cast<std::uint8_t>(std::lround(220 - cover * 200));
        }
    }
    return r;
}

TEST(ArchitecturalStraightener, ParametersIdentity) {
    EXPECT_EQ(Params::identity(), (Params{0, 0, 0, true, 0}));
    EXPECT_TRUE(Params::identity().isIdentity());
    EXPECT_TRUE((Params{0.00005, 0.5, -0.00005, false, 3}).isIdentity());
    EXPECT_FALSE((Params{0.0002, 0, 0, true, 0}).isIdentity());
    EXPECT_FALSE((Params{0, 0, 0.0002, true, 0}).isIdentity());
}

TEST(ArchitecturalStraightener, GrayBitmapSizeAndLinearLuminance) {
    ArchitecturalStraightener s;
    auto big = s.grayscaleBitmap(Image::fromRaster(Raster8(3000, 2000, 3, 128)), 720);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->width, 720);
    EXPECT_EQ(big->height, 480);
    EXPECT_EQ(big->pixels.size(), 720u * 480u);
    // sRGB 128 is linear 0.2158: byte 55.
    EXPECT_EQ(big->at(360, 240), 55);

    Raster8 colours(500, 400, 3, 0);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 500; ++x) colours.at(x, y, y < 200 ? 0 : 1) = 255;  // red above, green below
    auto full = s.grayscaleBitmap(Image::fromRaster(colours), 720);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->width, 500);
    EXPECT_EQ(full->height, 400);
    EXPECT_EQ(full->at(10, 10), 54);    // 0.2126 * 255
    EXPECT_EQ(full->at(10, 390), 182);  // 0.7152 * 255

    for (auto [w, h] : {std::pair{31, 400}, std::pair{400, 31}, std::pair{1, 1}})
        EXPECT_FALSE(s.grayscaleBitmap(Image::fromRaster(Raster8(w, h, 3, 9)), 720)) << w << "x" << h;
    // 4000 x 100 scales to 720 x 18: too thin.
    EXPECT_FALSE(s.grayscaleBitmap(Image::fromRaster(Raster8(4000, 100, 3, 9)), 720));
}

TEST(ArchitecturalStraightener, LineDetection) {
    ArchitecturalStraightener s;
    auto bitmap = s.grayscaleBitmap(Image::fromRaster(facade(720, 480, 3 * deg, 0, {200, 500})), 720);
    ASSERT_TRUE(bitmap);
    auto lines = s.detectVerticalLines(*bitmap);
    ASSERT_GE(lines.size(), 2u);
    for (const auto& l : lines) {
        EXPECT_NEAR(std::atan(l.slope), 3 * deg, 0.3 * deg);
        EXPECT_GE(l.votes, static_cast<int>(0.22 * 480));
        EXPECT_TRUE(std::fabs(l.x0 - 200) < 8 || std::fabs(l.x0 - 500) < 8) << l.x0;
    }
    // A flat picture has no edges.
    ArchitecturalStraightener::GrayBitmap flat{100, 100, std::vector<std::uint8_t>(100 * 100, 90)};
    EXPECT_TRUE(s.detectVerticalLines(flat).empty());
}

TEST(ArchitecturalStraightener, AnalyzeEdgeCases) {
    ArchitecturalStraightener s;
    // Too small: no lines, no correction, and straighten leaves the image alone.
    Image tiny = Image::fromRaster(Raster8(20, 300, 3, 50));
    EXPECT_EQ(s.analyze(tiny), Params::identity());
    EXPECT_EQ(s.straighten(tiny, s.analyze(tiny)).pixels().get_image(), tiny.pixels().get_image());

    // One strong edge: fewer than 2 lines counts as none.
    Raster8 half(600, 400, 3, 230);
    for (int y = 0; y < 400; ++y)
        for (int x = 300; x < 600; ++x)
            for (int c = 0; c < 3; ++c) half.at(x, y, c) = 20;
    EXPECT_EQ(s.analyze(Image::fromRaster(half)).linesDetected, 0);

    // Two lines: keystone 0 (even though their slopes differ), roll from the mean slope.
    auto two = s.analyze(Image::fromRaster(twoEdges(720, 480, 2 * deg, 2 * 0.1 / 480, 150, 570)));
    EXPECT_EQ(two.linesDetected, 2);
    EXPECT_EQ(two.verticalKeystoneCorrection, 0);
    EXPECT_NEAR(two.rotationAngleRadians, -2 * deg, 0.2 * deg);

    // Lines clustered within 0.12 W: keystone 0 however their slopes differ.
    auto clustered = s.analyze(Image::fromRaster(facade(720, 480, 0, 2 * 0.15 / 480, {300, 340, 380, 420})));
    EXPECT_GE(clustered.linesDetected, 3);
    EXPECT_EQ(clustered.verticalKeystoneCorrection, 0);

    // Out of range: dropped, not clamped.
    auto rolled = s.analyze(Image::fromRaster(facade(720, 480, 7 * deg, 0)));
    EXPECT_GE(rolled.linesDetected, 2);
    EXPECT_EQ(rolled.rotationAngleRadians, 0);
    auto keystoned = s.analyze(Image::fromRaster(facade(720, 480, 0, 2 * 0.3 / 480)));
    EXPECT_GE(keystoned.linesDetected, 2);
    EXPECT_EQ(keystoned.verticalKeystoneCorrection, 0);

    // Dead zone: a keystone of 0.004 is left alone.
    auto slight = s.analyze(Image::fromRaster(facade(720, 480, 0, 2 * 0.004 / 480)));
    EXPECT_EQ(slight.rotationAngleRadians, 0);
    EXPECT_EQ(slight.verticalKeystoneCorrection, 0);
}

TEST(ArchitecturalStraightener, RecoversKnownRollAndKeystone) {
    struct Case {
        double roll;
        double keystone;
    };
    const Case cases[] = {{-3.0 * deg, 0.0}, {0.0, 0.08}, {1.5 * deg, -0.06}};
    ArchitecturalStraightener s;
    for (const auto& c : cases) {
        // At 1440 x 960 the analysis runs on a 720 x 480 bitmap.
        Image photo = Image::fromRaster(facade(1440, 960, c.roll, 2 * c.keystone / 960));
        auto p = s.analyze(photo);
        EXPECT_GE(p.linesDetected, 6) << c.roll << " " << c.keystone;
        EXPECT_NEAR(p.rotationAngleRadians, -c.roll, 0.15 * deg) << c.roll << " " << c.keystone;
        EXPECT_NEAR(p.verticalKeystoneCorrection, c.keystone, 0.015) << c.roll << " " << c.keystone;
        EXPECT_TRUE(p.autoCrop);
        EXPECT_EQ(p.horizontalKeystoneCorrection, 0);

        // After straightening the verticals stand within the dead zones.
        Image fixed = s.straighten(photo, p);
        EXPECT_EQ(fixed.extent().x, 0);
        EXPECT_EQ(fixed.extent().y, 0);
        auto again = s.analyze(fixed);
        EXPECT_GE(again.linesDetected, 4) << c.roll << " " << c.keystone;
        EXPECT_EQ(again.rotationAngleRadians, 0) << c.roll << " " << c.keystone;
        EXPECT_NEAR(again.verticalKeystoneCorrection, 0, 0.01) << c.roll << " " << c.keystone;
    }
}

TEST(ArchitecturalStraightener, StraightenGeometry) {
    ArchitecturalStraightener s;
    // Horizontal ramp: value = column / 3.
    Raster8 ramp(600, 400, 1);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 600; ++x) ramp.at(x, y) = static_cast<std::uint8_t>(x / 3);
    Image img = Image::fromRaster(ramp).translated(50, 20);

    EXPECT_EQ(s.straighten(img, Params::identity()).extent(), img.extent());  // untouched, not moved

    // Rotation only: same size, moved to the origin, the centre stays put.
    Image rotated = s.straighten(img, {0, 0, 3 * deg, true, 5});
    EXPECT_EQ(rotated.extent(), (ImageRect{0, 0, 600, 400}));
    auto rr = rotated.toRaster<std::uint8_t>();
    EXPECT_NEAR(rr.at(300, 200), 100, 1);
    EXPECT_EQ(rotated.properties(), img.properties());

    // Keystone k > 0: the top keeps the full width, the bottom narrows by (1-k)/(1+k).
    const double k = 0.1;
    Image wide = s.straighten(img, {k, 0, 0, false, 5});
    EXPECT_EQ(wide.extent(), (ImageRect{0, 0, 600, 400}));
    auto wr = wide.toRaster<std::uint8_t>();
    EXPECT_NEAR(wr.at(30, 0), 10, 1);     // top row as in the input
    EXPECT_NEAR(wr.at(570, 0), 190, 1);
    const double d = (1 - k) / (1 + k) * 300;  // bottom half-width
    const int left = static_cast<int>(std::ceil(300 - d)) + 3;
    EXPECT_NEAR(wr.at(left, 399), 1, 2);      // the bottom edge's left corner holds column ~0
    EXPECT_LT(wr.at(5, 399), 2);          // outside the quad the edge repeats
    Image cropped = s.straighten(img, {k, 0, 0, true, 5});
    EXPECT_EQ(cropped.extent(), (ImageRect{0, 0, static_cast<int>(std::floor(2 * d)), 400}));
    // Negative k narrows the top instead.
    Image neg = s.straighten(img, {-k, 0, 0, true, 5});
    EXPECT_EQ(neg.width(), static_cast<int>(std::floor(2 * d)));
    auto nr = neg.toRaster<std::uint8_t>();
    EXPECT_NEAR(nr.at(0, 399), (300 - d) / 3, 2);  // bottom keeps the full width, cropped
}

// A roll turns the picture about its centre and scales it by the fill factor; a small blob
// must land where that map sends it, to a fraction of a pixel, wherever it sits and whatever
// the image's origin and depth.
TEST(ArchitecturalStraightener, RollMovesContentWhereTheRotationSendsIt) {
    struct Case {
        double roll;
        double bx, by;  // blob centre, pixel coordinates, row 0 at the top
        int originX, originY;
        bool sixteenBits;
    };
    const Case cases[] = {
        {2 * deg, 150.0, 100.0, 0, 0, false},
        {-3 * deg, 430.0, 290.0, 0, 0, false},
        {4.5 * deg, 470.5, 120.0, 37, -12, false},
        {-1 * deg, 120.0, 300.5, 0, 0, true},
    };
    ArchitecturalStraightener s;
    const int W = 600, H = 400;
    for (const auto& c : cases) {
        Raster<float> blob(W, H, 1, 0.1f);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const double d2 = (x - c.bx) * (x - c.bx) + (y - c.by) * (y - c.by);
                blob.at(x, y) = static_cast<float>(0.1 + 0.8 * std::exp(-d2 / (2 * 3.0 * 3.0)));
            }
        Image img = Image::fromRaster(blob).withBitsPerSample(c.sixteenBits ? 16 : 8).translated(c.originX, c.originY);
        Image turned = s.straighten(img, {0, 0, c.roll, true, 5});
        ASSERT_EQ(turned.extent(), (ImageRect{0, 0, W, H}));
        const auto out = turned.toRaster<float>(1);

        // Expected: about the centre, by the roll (counter-clockwise on screen for a positive
        // roll, rows growing downwards), scaled by the fill factor.
        const double fill = std::cos(std::fabs(c.roll)) + 1.5 * std::sin(std::fabs(c.roll));
        const double cx = W / 2.0 - 0.5, cy = H / 2.0 - 0.5, dx = c.bx - cx, dy = c.by - cy;
        const double ex = cx + fill * (std::cos(c.roll) * dx + std::sin(c.roll) * dy);
        const double ey = cy + fill * (-std::sin(c.roll) * dx + std::cos(c.roll) * dy);

        double sum = 0, sx = 0, sy = 0;
        for (int y = static_cast<int>(ey) - 20; y <= static_cast<int>(ey) + 20; ++y)
            for (int x = static_cast<int>(ex) - 20; x <= static_cast<int>(ex) + 20; ++x) {
                ASSERT_TRUE(x >= 0 && x < W && y >= 0 && y < H) << c.roll;
                const double v = std::max(0.0, out.at(x, y) - 0.1);
                sum += v;
                sx += v * x;
                sy += v * y;
            }
        ASSERT_GT(sum, 0) << c.roll;
        EXPECT_NEAR(sx / sum, ex, 0.1) << c.roll << " blob " << c.bx << "," << c.by;
        EXPECT_NEAR(sy / sum, ey, 0.1) << c.roll << " blob " << c.bx << "," << c.by;
    }
}

TEST(ArchitecturalStraightener, AutoStraightenReturnsItsParameters) {
    ArchitecturalStraightener s;
    Image photo = Image::fromRaster(facade(720, 480, 2 * deg, 0));
    auto [fixed, params] = s.autoStraighten(photo);
    EXPECT_EQ(params, s.analyze(photo));
    EXPECT_EQ(fixed.extent(), (ImageRect{0, 0, 720, 480}));
}

// Strokes of `width` pixels whose left edge crosses the middle row at lefts[i], leaning by
// `roll` (the column grows by tan(roll) per row going down). Each pixel is shaded by the part
// of its span the stroke covers at the row's centre, so upright strokes on whole columns are
// crisp and leaning ones anti-aliased. Dark on light unless `lightOnDark`.
Raster8 strokes(int W, int H, double roll, double width, const std::vector<double>& lefts, bool lightOnDark = false) {
    const std::uint8_t ground = lightOnDark ? 0 : 255;
    Raster8 r(W, H, 3, ground);
    for (double left : lefts)
        for (int y = 0; y < H; ++y) {
            const double a = left + std::tan(roll) * (y + 0.5 - H / 2.0), b = a + width;
            const int from = std::max(0, static_cast<int>(std::floor(a)));
            const int to = std::min(W, static_cast<int>(std::ceil(b)));
            for (int px = from; px < to; ++px) {
                const double cover = std::clamp(std::min(px + 1.0, b) - std::max(px * 1.0, a), 0.0, 1.0);
                const double v = lightOnDark ? 255 * cover : 255 * (1 - cover);
                for (int c = 0; c < 3; ++c) r.at(px, y, c) = static_cast<std::uint8_t>(std::lround(v));
            }
        }
    return r;
}

std::vector<double> spaced(int count, double first, double step) {
    std::vector<double> v;
    for (int i = 0; i < count; ++i) v.push_back(first + i * step);
    return v;
}

// Softened by a Gaussian of `sigma` pixels, as a lens and demosaicing soften real edges.
Raster8 blurred(const Raster8& r, double sigma) {
    if (sigma <= 0) return r;
    Image img = Image::fromRaster(r);
    return img.withPixels(img.pixels().gaussblur(sigma)).toRaster<std::uint8_t>(3);
}

// How far the dark strokes of a picture lean, in radians (positive: they move right going
// down), measured from the pixels alone: every stroke crossing the middle row is followed
// up and down through 80% of the height by its darkness centroid, row by row, and a straight
// line is fitted to those centroids. Returns the mean over the strokes and how many there were.
std::pair<double, int> measuredLean(const Raster8& r) {
    const int W = r.width, H = r.height;
    auto dark = [&](int x, int y) { return (255.0 - r.at(x, y, 0)) / 255.0; };
    std::vector<std::pair<int, int>> runs;  // [begin, end) of the dark runs on the middle row
    for (int x = 0; x < W;) {
        if (dark(x, H / 2) <= 0.5) {
            ++x;
            continue;
        }
        int e = x;
        while (e < W && dark(e, H / 2) > 0.5) ++e;
        runs.emplace_back(x, e);
        x = e;
    }
    double slopes = 0;
    int strokes = 0;
    for (const auto& [b, e] : runs) {
        const int reach = (e - b) / 2 + 6;
        double sy = 0, sx = 0, syy = 0, sxy = 0;
        int n = 0;
        bool inside = true;
        for (int dir : {-1, 1}) {
            double at = (b + e - 1) / 2.0;
            for (int y = H / 2; inside && y >= H / 10 && y < H - H / 10; y += dir) {
                const int centre = static_cast<int>(std::lround(at));
                const int lo = centre - reach, hi = centre + reach;
                if (lo < 0 || hi >= W) {
                    inside = false;
                    break;
                }
                double m = 0, mx = 0;
                for (int x = lo; x <= hi; ++x) {
                    m += dark(x, y);
                    mx += dark(x, y) * x;
                }
                if (m <= 0) {
                    inside = false;
                    break;
                }
                at = mx / m;
                sy += y;
                sx += at;
                syy += 1.0 * y * y;
                sxy += at * y;
                ++n;
            }
        }
        if (!inside || n < 10) continue;
        slopes += (n * sxy - sx * sy) / (n * syy - sy * sy);
        ++strokes;
    }
    return {strokes ? std::atan(slopes / strokes) : 0.0, strokes};
}

// Upright strokes, crisp or resampled on the way into the analysis bitmap, of any width,
// count and place: no roll, no keystone, the picture left as it is.
TEST(ArchitecturalStraightener, ExactVerticalsAreLeftAlone) {
    struct Case {
        int W, H;
        double width;
        std::vector<double> lefts;
        bool lightOnDark = false;
        double blur = 0;
        // Of the vote-weighted lean of the lines found, degrees. A stroke whose two edges lie
        // 8 columns apart in the bitmap puts its second edge on the rim of the first's
        // suppression window; the part of it left outside reads one angle step off.
        double upright = 0.01;
    };
    const Case cases[] = {
        {1600, 1200, 1, spaced(10, 80, 160)},        {1600, 1200, 2, spaced(10, 80, 160)},
        {1600, 1200, 4, spaced(10, 80, 160)},        {1600, 1200, 8, spaced(10, 80, 160)},
        {1600, 1200, 12, spaced(10, 80, 160)},       {1600, 1200, 24, spaced(10, 80, 160)},
        {1600, 1200, 12, spaced(10, 97, 151)},       {1600, 1200, 5, spaced(7, 203, 187)},
        {1600, 1200, 12, {400, 1100}},               {1600, 1200, 8, spaced(10, 80, 160), true},
        {1600, 1200, 2, spaced(10, 80, 160), false, 1.5},
        {1600, 1200, 12, spaced(10, 80, 160), false, 4, 0.06},
        {1600, 1200, 16, spaced(10, 80, 160), false, 0, 0.06},
        {720, 480, 1, spaced(6, 60, 110)},           {720, 480, 3, spaced(6, 61, 110)},
        {720, 480, 12, spaced(6, 60, 110)},          {720, 480, 3, spaced(6, 61, 110), false, 1.5},
        {1000, 1500, 6, spaced(5, 90, 190)},         {3000, 2000, 16, spaced(4, 500, 650)},
        {3000, 2000, 3, spaced(12, 150, 230)},       {3000, 2000, 6, spaced(8, 300, 330), false, 4},
        {1440, 960, 2, spaced(8, 115, 173)},
    };
    ArchitecturalStraightener s;
    for (const auto& c : cases) {
        const std::string what = std::to_string(c.W) + "x" + std::to_string(c.H) + " width " +
                                 std::to_string(c.width) + " lines " + std::to_string(c.lefts.size()) + " first " +
                                 std::to_string(c.lefts[0]) + (c.lightOnDark ? " light" : "") + " blur " +
                                 std::to_string(c.blur);
        Image photo = Image::fromRaster(blurred(strokes(c.W, c.H, 0, c.width, c.lefts, c.lightOnDark), c.blur));
        auto p = s.analyze(photo);
        EXPECT_GE(p.linesDetected, 2) << what;
        EXPECT_EQ(p.rotationAngleRadians, 0) << what;
        EXPECT_EQ(p.verticalKeystoneCorrection, 0) << what;
        EXPECT_EQ(s.straighten(photo, p).extent(), photo.extent()) << what;

        // Not merely inside the dead zone: the lines found stand upright.
        auto bitmap = s.grayscaleBitmap(photo, 720);
        ASSERT_TRUE(bitmap) << what;
        double votes = 0, lean = 0;
        for (const auto& l : s.detectVerticalLines(*bitmap)) {
            votes += l.votes;
            lean += l.votes * l.slope;
        }
        ASSERT_GT(votes, 0) << what;
        EXPECT_NEAR(std::atan(lean / votes) / deg, 0, c.upright) << what;
    }
}

// A real roll is still found (to the 0.25-degree angle grid) and corrected: the strokes of
// the output, measured from its pixels, stand as upright as that grid allows.
TEST(ArchitecturalStraightener, RealRollsAreCorrected) {
    struct Case {
        double rollDegrees;
        int W, H;
        double width;
        double tolerance;  // of the estimate and of the output's lean, degrees
        double blur = 0;
    };
    const Case cases[] = {
        {0.5, 1600, 1200, 12, 0.05},   {-0.5, 1600, 1200, 4, 0.05}, {1, 1600, 1200, 8, 0.05},
        {-1, 720, 480, 3, 0.05},       {3, 1600, 1200, 12, 0.05},   {-3, 3000, 2000, 10, 0.05},
        {5, 1600, 1200, 6, 0.05},      {-5, 720, 480, 12, 0.05},    {0.5, 1600, 1200, 12, 0.05, 1.5},
        {-3, 1600, 1200, 12, 0.05, 4}, {5, 3000, 2000, 6, 0.05, 4}, {1.3, 1600, 1200, 8, 0.13},
        {-2.2, 1440, 960, 5, 0.13},    {-2.2, 720, 480, 3, 0.13},   {4.4, 3000, 2000, 6, 0.13, 4},
    };
    ArchitecturalStraightener s;
    for (const auto& c : cases) {
        const std::string what = std::to_string(c.rollDegrees) + " deg " + std::to_string(c.W) + "x" +
                                 std::to_string(c.H) + " width " + std::to_string(c.width) + " blur " +
                                 std::to_string(c.blur);
        const Raster8 drawn =
            blurred(strokes(c.W, c.H, c.rollDegrees * deg, c.width, spaced(8, c.W * 0.1, c.W * 0.11)), c.blur);
        const auto [leanIn, strokesIn] = measuredLean(drawn);
        ASSERT_GE(strokesIn, 6) << what;
        ASSERT_NEAR(leanIn / deg, c.rollDegrees, 0.02) << what;  // the measure itself

        Image photo = Image::fromRaster(drawn);
        auto p = s.analyze(photo);
        EXPECT_GE(p.linesDetected, 6) << what;
        EXPECT_NEAR(p.rotationAngleRadians / deg, -c.rollDegrees, c.tolerance) << what;
        EXPECT_EQ(p.verticalKeystoneCorrection, 0) << what;

        const auto [leanOut, strokesOut] = measuredLean(s.straighten(photo, p).toRaster<std::uint8_t>(3));
        EXPECT_GE(strokesOut, 6) << what;
        EXPECT_NEAR(leanOut / deg, 0, c.tolerance) << what;
    }
}

}  // namespace
