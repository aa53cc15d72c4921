#include "image/ArchitecturalStraightener.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <tbb/parallel_for.h>

namespace lw {

using vips::VImage;
using Params = ArchitecturalStraightener::StraightenParameters;

namespace {

constexpr int angleCount = 161;
constexpr double maxRoll = 0.10471975511965977;   // 6 degrees
constexpr double minRoll = 0.002617993877991494;  // 0.15 degrees

const std::array<float, 65536>& linearTable() {
    static const auto table = [] {
        std::array<float, 65536> t{};
        for (int i = 0; i < 65536; ++i) {
            double v = i / 65535.0;
            t[static_cast<std::size_t>(i)] =
                static_cast<float>(v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
        }
        return t;
    }();
    return table;
}

using Mat3 = std::array<double, 9>;

Mat3 mul(const Mat3& a, const Mat3& b) {
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i * 3 + j] += a[i * 3 + k] * b[k * 3 + j];
    return r;
}

// The projective map sending src[i] to dst[i] (four point pairs), as a 3x3 matrix.
Mat3 homography(const std::array<std::array<double, 2>, 4>& src, const std::array<std::array<double, 2>, 4>& dst) {
    double a[8][9] = {};
    for (int i = 0; i < 4; ++i) {
        const double x = src[i][0], y = src[i][1], u = dst[i][0], v = dst[i][1];
        double r1[9] = {x, y, 1, 0, 0, 0, -u * x, -u * y, u};
        double r2[9] = {0, 0, 0, x, y, 1, -v * x, -v * y, v};
        std::copy(r1, r1 + 9, a[2 * i]);
        std::copy(r2, r2 + 9, a[2 * i + 1]);
    }
    for (int c = 0; c < 8; ++c) {  // Gauss-Jordan with partial pivoting
        int p = c;
        for (int r = c + 1; r < 8; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        for (int k = 0; k < 9; ++k) std::swap(a[c][k], a[p][k]);
        const double d = a[c][c];
        if (std::fabs(d) < 1e-12) return {1, 0, 0, 0, 1, 0, 0, 0, 1};
        for (int k = 0; k < 9; ++k) a[c][k] /= d;
        for (int r = 0; r < 8; ++r)
            if (r != c && a[r][c] != 0) {
                const double f = a[r][c];
                for (int k = 0; k < 9; ++k) a[r][k] -= f * a[c][k];
            }
    }
    return {a[0][8], a[1][8], a[2][8], a[3][8], a[4][8], a[5][8], a[6][8], a[7][8], 1};
}

}  // namespace

bool Params::isIdentity() const {
    return std::fabs(verticalKeystoneCorrection) < 0.0001 && std::fabs(rotationAngleRadians) < 0.0001;
}

std::optional<ArchitecturalStraightener::GrayBitmap> ArchitecturalStraightener::grayscaleBitmap(const Image& of,
                                                                                              int maxDimension) const {
    if (of.empty()) return std::nullopt;
    const int w = of.width(), h = of.height();
    if (w < 32 || h < 32) return std::nullopt;
    const double s = std::min(static_cast<double>(maxDimension) / std::max(w, h), 1.0);
    const int W = static_cast<int>(std::floor(w * s)), H = static_cast<int>(std::floor(h * s));
    if (W < 32 || H < 32) return std::nullopt;
    try {
        Image small = of.movedToOrigin();
        if (W != w || H != h) {
            VImage px = small.pixels().resize(static_cast<double>(W) / w,
                                              VImage::option()->set("vscale", static_cast<double>(H) / h));
            if (px.width() != W || px.height() != H)
                px = px.embed(0, 0, W, H, VImage::option()->set("extend", VIPS_EXTEND_COPY));
            small = small.withPixels(px);
        }
        const Raster16 rgb = small.convertedToSRGB().toRaster<std::uint16_t>(3);
        if (rgb.width != W || rgb.height != H) return std::nullopt;
        GrayBitmap out{W, H, std::vector<std::uint8_t>(static_cast<std::size_t>(W) * static_cast<std::size_t>(H))};
        const auto& lin = linearTable();
        tbb::parallel_for(0, H, [&](int y) {
            const std::uint16_t* row = rgb.row(y);
            std::uint8_t* dst = out.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(W);
            for (int x = 0; x < W; ++x) {
                const double lum = 0.2126 * lin[row[3 * x]] + 0.7152 * lin[row[3 * x + 1]] + 0.0722 * lin[row[3 * x + 2]];
                dst[x] = static_cast<std::uint8_t>(std::clamp(std::lround(lum * 255.0), 0L, 255L));
            }
        });
        return out;
    } catch (const vips::VError&) {
        return std::nullopt;
    }
}

std::vector<ArchitecturalStraightener::DetectedLine> ArchitecturalStraightener::detectVerticalLines(
    const GrayBitmap& bitmap) const {
    const int W = bitmap.width, H = bitmap.height;
    if (W < 5 || H < 5 || bitmap.pixels.size() != static_cast<std::size_t>(W) * static_cast<std::size_t>(H)) return {};
    auto p = [&](int x, int y) { return static_cast<int>(bitmap.at(x, y)); };

    // An edge is kept only in the column where |gx| peaks along its row (the first of equal
    // neighbours). A blurred or resampled edge spans several columns above the threshold;
    // kept whole, such a band collects as many votes on a line leaning across it as on the
    // upright one, and the peak search then settles on a leaning angle.
    std::vector<std::pair<int, int>> points;
    points.reserve(static_cast<std::size_t>(W) * static_cast<std::size_t>(H) / 8);
    std::vector<int> gxRow(static_cast<std::size_t>(W), 0);
    for (int y = 2; y <= H - 3; ++y) {
        for (int x = 1; x <= W - 2; ++x)
            gxRow[static_cast<std::size_t>(x)] = p(x + 1, y - 1) + 2 * p(x + 1, y) + p(x + 1, y + 1) - p(x - 1, y - 1) -
                                                 2 * p(x - 1, y) - p(x - 1, y + 1);
        for (int x = 2; x <= W - 3; ++x) {
            const int gx = std::abs(gxRow[static_cast<std::size_t>(x)]);
            if (gx <= 120 || gx <= std::abs(gxRow[static_cast<std::size_t>(x) - 1]) ||
                gx < std::abs(gxRow[static_cast<std::size_t>(x) + 1]))
                continue;
            const int gy = p(x - 1, y + 1) + 2 * p(x, y + 1) + p(x + 1, y + 1) - p(x - 1, y - 1) - 2 * p(x, y - 1) -
                           p(x + 1, y - 1);
            if (5 * std::abs(gy) < 2 * gx) points.emplace_back(x, y);
        }
    }
    if (points.size() <= static_cast<std::size_t>(H / 2)) return {};

    std::array<double, angleCount> tans{};
    for (int i = 0; i < angleCount; ++i) tans[static_cast<std::size_t>(i)] = std::tan((i * 0.25 - 20.0) * M_PI / 180.0);

    const int half = W / 2;
    const int C = W + 2 * half;
    std::vector<std::uint32_t> acc(static_cast<std::size_t>(angleCount) * static_cast<std::size_t>(C), 0);
    tbb::parallel_for(0, angleCount, [&](int i) {
        const double t = tans[static_cast<std::size_t>(i)];
        std::uint32_t* row = acc.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(C);
        for (const auto& [x, y] : points) {
            const long x0 = std::lround(x - t * (y - 0.5 * H));
            const long col = x0 + half;
            if (col >= 0 && col < C) ++row[col];
        }
    });

    const auto T = static_cast<std::uint32_t>(static_cast<std::int32_t>(0.22 * H));
    std::vector<DetectedLine> found;
    while (found.size() < 40) {
        std::size_t best = 0;
        for (std::size_t k = 1; k < acc.size(); ++k)
            if (acc[k] > acc[best]) best = k;
        const std::uint32_t votes = acc[best];
        if (votes == 0 || votes < T) break;
        const int row = static_cast<int>(best / static_cast<std::size_t>(C));
        const int col = static_cast<int>(best % static_cast<std::size_t>(C));
        // A one-column edge whose offset falls between two whole columns splits its points
        // over those two counters; the line's votes are both.
        const std::uint32_t left = col > 0 ? acc[best - 1] : 0, right = col + 1 < C ? acc[best + 1] : 0;
        found.push_back({static_cast<double>(col - half), tans[static_cast<std::size_t>(row)],
                         static_cast<int>(votes + std::max(left, right))});
        for (int r = std::max(0, row - 12); r <= std::min(angleCount - 1, row + 12); ++r)
            for (int c = std::max(0, col - 8); c <= std::min(C - 1, col + 8); ++c)
                acc[static_cast<std::size_t>(r) * static_cast<std::size_t>(C) + static_cast<std::size_t>(c)] = 0;
    }
    std::vector<DetectedLine> lines;
    for (const auto& l : found)
        if (l.x0 >= 0 && l.x0 < W) lines.push_back(l);
    return lines;
}

Params ArchitecturalStraightener::analyze(const Image& image) const {
    const auto bitmap = grayscaleBitmap(image, 720);
    if (!bitmap) return Params::identity();
    const auto lines = detectVerticalLines(*bitmap);
    if (lines.size() < 2) return Params::identity();
    const double W = bitmap->width, H = bitmap->height;

    double S = 0, sw = 0, uw = 0, uuw = 0, usw = 0;
    for (const auto& l : lines) {
        const double w = l.votes, u = l.x0 - 0.5 * W, s = l.slope;
        S += w;
        sw += w * s;
        uw += w * u;
        uuw += w * u * u;
        usw += w * u * s;
    }
    const double meanSlope = sw / S;
    double a = meanSlope, b = 0;
    if (lines.size() != 2) {
        const double meanU = uw / S;
        const double v = uuw / S - meanU * meanU;
        if (v > 0 && std::sqrt(v) > 0.12 * W) {
            b = (usw / S - meanSlope * meanU) / v;
            a = meanSlope - meanU * b;
        }
    }
    double k = b * H * 0.5;
    const double phi = std::atan(a);
    if (std::fabs(k) > 0.25 || std::fabs(k) < 0.008) k = 0;
    double rotation = -phi;
    if (std::fabs(phi) > maxRoll || std::fabs(phi) < minRoll) rotation = 0;
    return {k, 0, rotation, true, static_cast<int>(lines.size())};
}

Image ArchitecturalStraightener::straighten(const Image& image, const StraightenParameters& parameters) const {
    const double k = parameters.verticalKeystoneCorrection;
    const double r = parameters.rotationAngleRadians;
    if (image.empty() || (std::fabs(k) < 0.0001 && std::fabs(r) < 0.0001)) return image;

    const ImageRect E = image.extent();
    const double cx = E.midX(), cy = E.midY();
    const double w = E.width, h = E.height;

    // Output-plane point -> rotated-plane point (inverse perspective), as a 3x3 matrix.
    Mat3 invPerspective{1, 0, 0, 0, 1, 0, 0, 0, 1};
    ImageRect out = E;
    if (std::fabs(k) > 0.0001) {
        const double m = std::min(1 + k, 1 - k);
        const double t = m * (w / 2) / (1 - k);
        const double d = m * (w / 2) / (1 + k);
        const std::array<std::array<double, 2>, 4> corners{
            {{E.minX() * 1.0, E.maxY() * 1.0}, {E.maxX() * 1.0, E.maxY() * 1.0}, {E.minX() * 1.0, E.minY() * 1.0},
             {E.maxX() * 1.0, E.minY() * 1.0}}};
        const std::array<std::array<double, 2>, 4> quad{
            {{cx - t, E.maxY() * 1.0}, {cx + t, E.maxY() * 1.0}, {cx - d, E.minY() * 1.0}, {cx + d, E.minY() * 1.0}}};
        invPerspective = homography(quad, corners);
        const double hw = parameters.autoCrop ? std::min(t, d) : std::max(t, d);
        out = {static_cast<int>(std::ceil(cx - hw)), E.minY(), static_cast<int>(std::floor(2 * hw)), E.height};
        if (out.width < 1) return image;
    }
    // Rotated-plane point -> source-plane point: rotate by -r about the centre, shrink by
    // the fill scale.
    Mat3 invRotation{1, 0, 0, 0, 1, 0, 0, 0, 1};
    if (std::fabs(r) > 0.0001) {
        const double c = std::cos(std::fabs(r)), s = std::sin(std::fabs(r));
        const double fill = c + std::max(w, h) / std::min(w, h) * s;
        const double cr = std::cos(-r) / fill, sr = std::sin(-r) / fill;
        invRotation = {cr, -sr, cx - cr * cx + sr * cy, sr, cr, cy - sr * cx - cr * cy, 0, 0, 1};
    }
    // Output pixel (col, row) -> output-plane point at the pixel centre.
    const Mat3 fromOutPixel{1, 0, out.x + 0.5, 0, -1, out.maxY() - 0.5, 0, 0, 1};
    // Source-plane point -> source pixel coordinates (centres at integers).
    const Mat3 toSrcPixel{1, 0, -E.x - 0.5, 0, -1, E.maxY() - 0.5, 0, 0, 1};
    const Mat3 M = mul(toSrcPixel, mul(invRotation, mul(invPerspective, fromOutPixel)));

    const auto bicubic = vips::VInterpolate::new_from_name("bicubic");
    VImage warped;
    if (M[6] == 0 && M[7] == 0) {
        // Roll alone: an affine map, resampled by libvips' own transform (the forward map of M).
        const double det = M[0] * M[4] - M[1] * M[3];
        const double a = M[4] / det, b = -M[1] / det, c = -M[3] / det, d = M[0] / det;
        warped = image.pixels().affine({a, b, c, d}, VImage::option()
                                                         ->set("interpolate", bicubic)
                                                         ->set("extend", VIPS_EXTEND_COPY)
                                                         ->set("oarea", std::vector<int>{0, 0, out.width, out.height})
                                                         ->set("odx", -(a * M[2] + b * M[5]))
                                                         ->set("ody", -(c * M[2] + d * M[5])));
    } else {
        constexpr int border = 3;  // room for the bicubic window at clamped edges
        VImage src = image.pixels().embed(border, border, E.width + 2 * border, E.height + 2 * border,
                                          VImage::option()->set("extend", VIPS_EXTEND_COPY));
        // Source coordinates of every output pixel: one matrix product on (x, y, 1), one division.
        VImage projected = VImage::xyz(out.width, out.height)
                               .bandjoin_const({1.0})
                               .recomb(VImage::new_matrixv(3, 3, M[0], M[1], M[2], M[3], M[4], M[5], M[6], M[7], M[8]));
        VImage st = projected.extract_band(0, VImage::option()->set("n", 2)) / projected.extract_band(2);
        const std::vector<double> zero{0.0, 0.0}, last{w - 1, h - 1};
        st = (st < zero).ifthenelse(zero, st);
        st = (st > last).ifthenelse(last, st);
        VImage index = st.linear({1.0, 1.0}, {static_cast<double>(border), static_cast<double>(border)})
                           .cast(VIPS_FORMAT_FLOAT);
        warped = src.mapim(index, VImage::option()->set("interpolate", bicubic)->set("extend", VIPS_EXTEND_COPY));
    }
    const int bits = image.bitsPerSample();
    if (warped.format() != image.pixels().format())
        warped = bits == 32 ? warped.cast(VIPS_FORMAT_FLOAT) : (warped + 0.5).cast(image.pixels().format());
    return Image(vipsx::toDepth(warped, bits), image.properties(), 0, 0);
}

std::pair<Image, Params> ArchitecturalStraightener::autoStraighten(const Image& image) const {
    Params p = analyze(image);
    return {straighten(image, p), p};
}

}  // namespace lw
