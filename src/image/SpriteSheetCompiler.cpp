#include "image/SpriteSheetCompiler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string_view>
#include <unordered_map>

#include <tbb/parallel_for.h>
#include <vips/vips8>

#include "image/Image.h"
#include "image/JpegEndMarker.h"
#include "image/TextureImage.h"
#include "image/VipsLog.h"

namespace lw {

namespace {

using Rect = SpriteSheetCompiler::Rect;
using DataFormat = SpriteSheetCompiler::DataFormat;

constexpr double kMaxDecodePixels = 400e6;

void ensureVips() {
    static const bool ready = [] {
        if (VIPS_INIT("lotwright") != 0) return false;
        routeVipsLog();
        return true;
    }();
    if (!ready) throw Error("The image library could not be initialised.");
}

int roundedSide(int side, double scale) {
    const double v = std::round(static_cast<double>(side) * scale);  // halves away from zero
    if (!(v >= 1.0)) return 1;
    if (v > 1e9) return 1000000000;
    return static_cast<int>(v);
}

std::uint8_t premultiplyByte(std::uint8_t c, std::uint8_t a) {
    return static_cast<std::uint8_t>((static_cast<unsigned>(c) * a + 127) / 255);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// RGBAImage

std::optional<RGBAImage> RGBAImage::load(const std::filesystem::path& file, double scale) {
    if (!(scale > 0) || !std::isfinite(scale)) return std::nullopt;
    try {
        ensureVips();
        vips::VImage img = vips::VImage::new_from_file(
            file.c_str(),
            vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)->set("fail_on", VIPS_FAIL_ON_ERROR));
        if (static_cast<double>(img.width()) * img.height() > kMaxDecodePixels) return std::nullopt;
        // Decoded here, on this thread, so a frame cut short fails rather than giving rows that
        // were never decoded; a JPEG missing only its end marker is decoded with it put back.
        const std::optional<vips::VImage> completed = decodedWithEndMarker(file);
        img = shownUpright(completed ? *completed : vipsx::decoded(img));
        const int targetW = roundedSide(img.width(), scale);
        const int targetH = roundedSide(img.height(), scale);
        if (static_cast<double>(targetW) * targetH > kMaxDecodePixels) return std::nullopt;

        if (img.interpretation() != VIPS_INTERPRETATION_sRGB || img.format() != VIPS_FORMAT_UCHAR)
            img = img.colourspace(VIPS_INTERPRETATION_sRGB);
        if (img.bands() == 1) img = vips::VImage::bandjoin({img, img, img});
        if (img.bands() == 2) {
            const vips::VImage grey = img.extract_band(0);
            img = vips::VImage::bandjoin({grey, grey, grey, img.extract_band(1)});
        }
        if (img.bands() == 3) img = img.bandjoin_const({255});
        if (img.bands() > 4) img = img.extract_band(0, vips::VImage::option()->set("n", 4));
        if (img.format() != VIPS_FORMAT_UCHAR) img = img.cast(VIPS_FORMAT_UCHAR);

        const bool resize = targetW != img.width() || targetH != img.height();
        if (resize) {
            // Scale in premultiplied space so transparent pixels don't bleed their colour.
            vips::VImage pre = img.premultiply();
            pre = pre.resize(static_cast<double>(targetW) / img.width(),
                             vips::VImage::option()->set("vscale", static_cast<double>(targetH) / img.height()));
            if (pre.width() != targetW || pre.height() != targetH) {
                pre = pre.embed(0, 0, targetW, targetH, vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
            }
            img = (pre + 0.5).cast(VIPS_FORMAT_UCHAR);
        }

        size_t size = 0;
        void* mem = img.write_to_memory(&size);
        RGBAImage out(img.width(), img.height());
        if (size != out.pixels.size()) {
            g_free(mem);
            return std::nullopt;
        }
        std::memcpy(out.pixels.data(), mem, size);
        g_free(mem);
        std::uint8_t* p = out.pixels.data();
        for (std::size_t i = 0; i < size; i += 4) {
            const std::uint8_t a = p[i + 3];
            if (resize) {  // ringing of the resampling kernel can push colour above alpha
                p[i] = std::min(p[i], a);
                p[i + 1] = std::min(p[i + 1], a);
                p[i + 2] = std::min(p[i + 2], a);
            } else if (a != 255) {
                p[i] = premultiplyByte(p[i], a);
                p[i + 1] = premultiplyByte(p[i + 1], a);
                p[i + 2] = premultiplyByte(p[i + 2], a);
            }
        }
        return out;
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<RGBAImage::Bounds> RGBAImage::opaqueBounds() const {
    int minX = width, minY = height, maxX = -1, maxY = -1;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* r = row(y);
        int first = -1, last = -1;
        for (int x = 0; x < width; ++x) {
            if (r[x * 4 + 3] != 0) {
                first = x;
                break;
            }
        }
        if (first < 0) continue;
        for (int x = width - 1; x >= first; --x) {
            if (r[x * 4 + 3] != 0) {
                last = x;
                break;
            }
        }
        minX = std::min(minX, first);
        maxX = std::max(maxX, last);
        minY = std::min(minY, y);
        maxY = y;
    }
    if (maxX < 0) return std::nullopt;
    return Bounds{minX, minY, maxX - minX + 1, maxY - minY + 1};
}

RGBAImage RGBAImage::cropped(const Bounds& rect) const {
    const int x0 = std::clamp(rect.x, 0, width);
    const int y0 = std::clamp(rect.y, 0, height);
    const int w = std::clamp(rect.width, 0, width - x0);
    const int h = std::clamp(rect.height, 0, height - y0);
    RGBAImage out(w, h);
    for (int y = 0; y < h; ++y)
        std::memcpy(out.row(y), row(y0 + y) + static_cast<std::size_t>(x0) * 4, static_cast<std::size_t>(w) * 4);
    return out;
}

RGBAImage RGBAImage::rotatedClockwise() const {
    RGBAImage out(height, width);
    // Source (x, y) lands at (height - 1 - y, x).
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = row(y);
        const int dx = height - 1 - y;
        for (int x = 0; x < width; ++x) std::memcpy(&out.at(dx, x), src + static_cast<std::size_t>(x) * 4, 4);
    }
    return out;
}

std::vector<std::uint8_t> RGBAImage::unpremultipliedPixels() const {
    std::vector<std::uint8_t> out(pixels);
    for (std::size_t i = 0; i < out.size(); i += 4) {
        const unsigned a = out[i + 3];
        if (a == 255) continue;
        if (a == 0) {
            out[i] = out[i + 1] = out[i + 2] = 0;
            continue;
        }
        for (int c = 0; c < 3; ++c)
            out[i + c] = static_cast<std::uint8_t>(std::min(255u, (out[i + c] * 255u + a / 2) / a));
    }
    return out;
}

void RGBAImage::writePNG(const std::filesystem::path& file) const {
    ensureVips();
    const std::vector<std::uint8_t> straight = unpremultipliedPixels();
    try {
        vips::VImage img = vips::VImage::new_from_memory(const_cast<std::uint8_t*>(straight.data()), straight.size(),
                                                         width, height, 4, VIPS_FORMAT_UCHAR);
        img = img.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
        img.pngsave(file.c_str(), vips::VImage::option()->set("compression", 6)->set("strip", true));
    } catch (const vips::VError& e) {
        vips_error_clear();
        throw Error("Could not write " + file.filename().string() + ": " + e.what());
    }
}

// ---------------------------------------------------------------------------------------------
// Errors and formats

namespace {
std::string atlasMessage(SpriteSheetCompiler::AtlasError::Kind kind, const std::string& name, int n) {
    using K = SpriteSheetCompiler::AtlasError::Kind;
    const std::string size = std::to_string(n) + "x" + std::to_string(n);
    switch (kind) {
        case K::sheetTooLarge: return "The frames don't fit on a " + size + " sheet. Split the sequence or scale it down.";
        case K::frameTooLarge: return name + " is larger than the " + size + " sheet limit.";
        case K::emptyFrameList: return "No animation frames provided for sprite-sheet compilation.";
        case K::failedToLoadFrames: return "Failed to decode frame images from provided URLs.";
        case K::failedToCreateContext: return "Unable to create graphics bitmap context for atlas.";
        case K::failedToCreateImage: return "Failed to render final sprite sheet image.";
    }
    return {};
}
}  // namespace

SpriteSheetCompiler::AtlasError::AtlasError(Kind kind, std::string frameName, int limit)
    : Error(atlasMessage(kind, frameName, limit)), kind(kind), frameName(std::move(frameName)), limit(limit) {}

std::string rawValue(DataFormat format) {
    switch (format) {
        case DataFormat::jsonHash: return "json";
        case DataFormat::jsonArray: return "json-array";
        case DataFormat::cocos: return "cocos";
        case DataFormat::godot: return "godot";
        case DataFormat::unity: return "unity";
    }
    return {};
}

std::optional<DataFormat> dataFormatFromRawValue(std::string_view raw) {
    for (DataFormat f : allDataFormats())
        if (rawValue(f) == raw) return f;
    return std::nullopt;
}

std::string displayName(DataFormat format) {
    switch (format) {
        case DataFormat::jsonHash: return "JSON Hash (Phaser, PixiJS)";
        case DataFormat::jsonArray: return "JSON Array (Phaser, generic)";
        case DataFormat::cocos: return "Cocos2d (.plist)";
        case DataFormat::godot: return "Godot 4 SpriteFrames (.tres)";
        case DataFormat::unity: return "Unity sliced sprite (.png.meta)";
    }
    return {};
}

bool supportsRotation(DataFormat format) {
    return format == DataFormat::jsonHash || format == DataFormat::jsonArray || format == DataFormat::cocos;
}

const std::vector<DataFormat>& allDataFormats() {
    static const std::vector<DataFormat> all{DataFormat::jsonHash, DataFormat::jsonArray, DataFormat::cocos,
                                             DataFormat::godot, DataFormat::unity};
    return all;
}

int SpriteSheetCompiler::Atlas::frameCount() const {
    int n = 0;
    for (const auto& p : pages) n += static_cast<int>(p.frames.size());
    return n;
}

int SpriteSheetCompiler::Atlas::duplicateCount() const {
    int n = 0;
    for (const auto& p : pages) n += p.duplicateCount;
    return n;
}

int SpriteSheetCompiler::Atlas::rotatedCount() const {
    int n = 0;
    for (const auto& p : pages)
        for (const auto& f : p.frames) n += (f.rotated && !f.isDuplicate) ? 1 : 0;
    return n;
}

// ---------------------------------------------------------------------------------------------
// Packing

namespace {

struct Prepared {
    std::string name;
    RGBAImage pixels;  // trimmed
    SpriteSheetCompiler::Size sourceSize;
    Rect trimRect;
    std::size_t hash = 0;  // of the kept size and pixels
    std::optional<std::size_t> duplicateOf;
};

struct Placement {
    int page = 0;
    Rect rect;  // the slot (padding and extrude included), upright or turned
    bool rotated = false;
};

bool intersects(const Rect& a, const Rect& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

bool contains(const Rect& outer, const Rect& inner) {
    return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.width <= outer.x + outer.width &&
           inner.y + inner.height <= outer.y + outer.height;
}

// Maximal rectangles, best short side fit (ties: best long side fit, then upright, then first found).
class MaxRectsPacker {
public:
    MaxRectsPacker(int width, int height) : free_{{0, 0, width, height}} {}

    std::optional<std::pair<Rect, bool>> insert(int w, int h, bool allowRotation) {
        long bestShort = -1, bestLong = -1;
        Rect best{};
        bool bestRotated = false;
        auto consider = [&](const Rect& fr, int sw, int sh, bool rotated) {
            if (sw > fr.width || sh > fr.height) return;
            const long dx = fr.width - sw, dy = fr.height - sh;
            const long s = std::min(dx, dy), l = std::max(dx, dy);
            if (bestShort < 0 || s < bestShort || (s == bestShort && l < bestLong)) {
                bestShort = s;
                bestLong = l;
                best = {fr.x, fr.y, sw, sh};
                bestRotated = rotated;
            }
        };
        for (const Rect& fr : free_) {
            consider(fr, w, h, false);
            if (allowRotation && w != h) consider(fr, h, w, true);
        }
        if (bestShort < 0) return std::nullopt;
        place(best);
        return std::make_pair(best, bestRotated);
    }

private:
    void place(const Rect& used) {
        std::vector<Rect> kept;
        std::vector<Rect> pieces;
        kept.reserve(free_.size());
        for (const Rect& fr : free_) {
            if (!intersects(fr, used)) {
                kept.push_back(fr);
                continue;
            }
            if (used.x > fr.x) pieces.push_back({fr.x, fr.y, used.x - fr.x, fr.height});
            if (used.x + used.width < fr.x + fr.width)
                pieces.push_back({used.x + used.width, fr.y, fr.x + fr.width - used.x - used.width, fr.height});
            if (used.y > fr.y) pieces.push_back({fr.x, fr.y, fr.width, used.y - fr.y});
            if (used.y + used.height < fr.y + fr.height)
                pieces.push_back({fr.x, used.y + used.height, fr.width, fr.y + fr.height - used.y - used.height});
        }
        // Rectangles that were kept were already maximal among themselves, and none of them can
        // lie inside a piece (a piece lies inside a rectangle that was there before), so only the
        // new pieces need pruning.
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            bool redundant = false;
            for (const Rect& k : kept) {
                if (contains(k, pieces[i])) {
                    redundant = true;
                    break;
                }
            }
            for (std::size_t j = 0; j < pieces.size() && !redundant; ++j) {
                if (i == j) continue;
                // Of two equal pieces keep the first.
                if (contains(pieces[j], pieces[i]) && (!(pieces[i] == pieces[j]) || j < i)) redundant = true;
            }
            if (!redundant) kept.push_back(pieces[i]);
        }
        free_ = std::move(kept);
    }

    std::vector<Rect> free_;
};

int powerOfTwoAtLeast(double v) {
    long long p = 1;
    while (static_cast<double>(p) < v && p < (1LL << 30)) p <<= 1;
    return static_cast<int>(p);
}

void blitExtruded(RGBAImage& page, const RGBAImage& src, int ox, int oy, int extrude) {
    const int w = src.width, h = src.height;
    for (int dy = -extrude; dy < h + extrude; ++dy) {
        const int sy = std::clamp(dy, 0, h - 1);
        const std::uint8_t* srow = src.row(sy);
        std::uint8_t* drow = page.row(oy + dy);
        std::memcpy(drow + static_cast<std::size_t>(ox) * 4, srow, static_cast<std::size_t>(w) * 4);
        for (int e = 1; e <= extrude; ++e) {
            std::memcpy(drow + static_cast<std::size_t>(ox - e) * 4, srow, 4);
            std::memcpy(drow + static_cast<std::size_t>(ox + w - 1 + e) * 4, srow + static_cast<std::size_t>(w - 1) * 4, 4);
        }
    }
}

}  // namespace

namespace {

SpriteSheetCompiler::Atlas pack(std::vector<Prepared> prepared, const SpriteSheetCompiler::Options& options,
                                bool allowMultiplePages);

// Trims one decoded frame and hashes the kept pixels.
Prepared prepareFrame(std::string name, RGBAImage image, bool trim) {
    Prepared p;
    p.name = std::move(name);
    p.sourceSize = {image.width, image.height};
    if (trim) {
        const RGBAImage::Bounds b = image.opaqueBounds().value_or(RGBAImage::Bounds{0, 0, 1, 1});
        p.trimRect = {b.x, b.y, b.width, b.height};
        p.pixels = (b.width == image.width && b.height == image.height) ? std::move(image) : image.cropped(b);
    } else {
        p.trimRect = {0, 0, image.width, image.height};
        p.pixels = std::move(image);
    }
    std::size_t h = std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(p.pixels.pixels.data()), p.pixels.pixels.size()));
    h ^= (static_cast<std::size_t>(p.pixels.width) * 0x9E3779B97F4A7C15ull) +
         (static_cast<std::size_t>(p.pixels.height) << 1);
    p.hash = h;
    return p;
}

}  // namespace

SpriteSheetCompiler::Atlas SpriteSheetCompiler::compileAtlas(const std::vector<std::filesystem::path>& frameURLs,
                                                             const Options& options, bool allowMultiplePages) const {
    if (frameURLs.empty()) throw AtlasError(AtlasError::Kind::emptyFrameList);
    // Decode and trim in parallel; only the kept pixels stay in memory.
    std::vector<std::optional<Prepared>> decoded(frameURLs.size());
    VipsLogSink* const vipsLog = ScopedVipsLogSink::current();  // the caller's, on every worker
    tbb::parallel_for(std::size_t{0}, frameURLs.size(), [&](std::size_t i) {
        const ScopedVipsLogSink routed(vipsLog);
        std::optional<RGBAImage> image = RGBAImage::load(frameURLs[i], options.scale);
        if (image) decoded[i] = prepareFrame(frameURLs[i].filename().string(), std::move(*image), options.trim);
    });
    std::vector<Prepared> prepared;
    std::vector<std::filesystem::path> unreadable;
    for (std::size_t i = 0; i < frameURLs.size(); ++i) {
        if (decoded[i]) prepared.push_back(std::move(*decoded[i]));
        else unreadable.push_back(frameURLs[i]);
    }
    decoded.clear();
    if (prepared.empty()) throw AtlasError(AtlasError::Kind::failedToLoadFrames);
    Atlas atlas = pack(std::move(prepared), options, allowMultiplePages);
    atlas.unreadableFrames = std::move(unreadable);
    return atlas;
}

SpriteSheetCompiler::AtlasResult SpriteSheetCompiler::compile(const std::vector<std::filesystem::path>& frameURLs,
                                                              const Options& options) const {
    Atlas atlas = compileAtlas(frameURLs, options, false);
    return std::move(atlas.pages.front());
}

SpriteSheetCompiler::Atlas SpriteSheetCompiler::compileAtlas(const std::vector<std::string>& names,
                                                             std::vector<RGBAImage> images, const Options& options,
                                                             bool allowMultiplePages) const {
    if (images.empty()) throw AtlasError(AtlasError::Kind::emptyFrameList);
    std::vector<Prepared> prepared;
    prepared.reserve(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        prepared.push_back(prepareFrame(i < names.size() ? names[i] : std::string(), std::move(images[i]), options.trim));
        images[i] = RGBAImage();
    }
    return pack(std::move(prepared), options, allowMultiplePages);
}

namespace {

SpriteSheetCompiler::Atlas pack(std::vector<Prepared> prepared, const SpriteSheetCompiler::Options& options,
                                bool allowMultiplePages) {
    using AtlasError = SpriteSheetCompiler::AtlasError;
    using Atlas = SpriteSheetCompiler::Atlas;
    using AtlasResult = SpriteSheetCompiler::AtlasResult;
    using Frame = SpriteSheetCompiler::Frame;
    const int padding = std::max(0, options.padding);
    const int extrude = std::max(0, options.extrude);
    const int maxSide = options.maxSheetSize;

    // Identical frames: equal hash, then equal size and pixels.
    std::unordered_multimap<std::size_t, std::size_t> byHash;
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        Prepared& p = prepared[i];
        auto [lo, hi] = byHash.equal_range(p.hash);
        for (auto it = lo; it != hi; ++it) {
            const Prepared& earlier = prepared[it->second];
            if (earlier.pixels.width == p.pixels.width && earlier.pixels.height == p.pixels.height &&
                earlier.pixels.pixels == p.pixels.pixels) {
                p.duplicateOf = it->second;
                break;
            }
        }
        if (p.duplicateOf) p.pixels = RGBAImage();  // the earlier frame's pixels are drawn
        else byHash.emplace(p.hash, i);
    }

    // Unique frames, longest kept side first (stable), each within the limit.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < prepared.size(); ++i)
        if (!prepared[i].duplicateOf) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::max(prepared[a].pixels.width, prepared[a].pixels.height) >
               std::max(prepared[b].pixels.width, prepared[b].pixels.height);
    });
    for (std::size_t i : order) {
        const RGBAImage& px = prepared[i].pixels;
        if (static_cast<long long>(px.width) + 2LL * extrude > maxSide ||
            static_cast<long long>(px.height) + 2LL * extrude > maxSide)
            throw AtlasError(AtlasError::Kind::frameTooLarge, prepared[i].name, maxSide);
    }

    const int border = padding + 2 * extrude;
    auto slotW = [&](std::size_t i) { return prepared[i].pixels.width + border; };
    auto slotH = [&](std::size_t i) { return prepared[i].pixels.height + border; };

    std::vector<std::optional<Placement>> placements(prepared.size());
    std::vector<std::pair<int, int>> pageSizes;
    std::size_t next = 0;  // first frame of `order` still to place
    while (next < order.size()) {
        double area = 0;
        int widest = 0, tallest = 0;
        for (std::size_t k = next; k < order.size(); ++k) {
            area += static_cast<double>(slotW(order[k])) * slotH(order[k]);
            widest = std::max(widest, slotW(order[k]));
            tallest = std::max(tallest, slotH(order[k]));
        }
        int width = std::min(powerOfTwoAtLeast(std::max(std::sqrt(area), static_cast<double>(widest))), maxSide);
        int height = powerOfTwoAtLeast(width / 2.0);
        if (!options.allowRotation) height = std::max(height, powerOfTwoAtLeast(tallest));
        if (options.allowRotation && width < 2) height = 1;
        height = std::min(height, maxSide);

        const int pageIndex = static_cast<int>(pageSizes.size());
        std::size_t placedUntil = next;
        for (;;) {
            // The padding after a slot is only needed between neighbours, so a slot may overhang
            // the page's right and bottom edge by the padding: the packer's area is that much larger.
            MaxRectsPacker packer(width + padding, height + padding);
            std::size_t k = next;
            for (; k < order.size(); ++k) {
                const std::size_t i = order[k];
                auto spot = packer.insert(slotW(i), slotH(i), options.allowRotation);
                if (!spot) break;
                placements[i] = Placement{pageIndex, spot->first, spot->second};
            }
            if (k == order.size()) {
                placedUntil = k;
                break;
            }
            if (width < maxSide || height < maxSide) {
                if (height < width) height = static_cast<int>(std::min(2LL * height, static_cast<long long>(maxSide)));
                else width = static_cast<int>(std::min(2LL * width, static_cast<long long>(maxSide)));
                continue;
            }
            if (!allowMultiplePages || k == next) throw AtlasError(AtlasError::Kind::sheetTooLarge, {}, maxSide);
            for (std::size_t r = k; r < order.size(); ++r) placements[order[r]].reset();
            placedUntil = k;
            break;
        }
        pageSizes.emplace_back(width, height);
        next = placedUntil;
    }

    // Render the pages and report their frames in input order.
    Atlas atlas;
    atlas.pages.resize(pageSizes.size());
    for (std::size_t p = 0; p < pageSizes.size(); ++p) {
        AtlasResult& page = atlas.pages[p];
        page.sheetWidth = pageSizes[p].first;
        page.sheetHeight = pageSizes[p].second;
        try {
            page.image = RGBAImage(page.sheetWidth, page.sheetHeight);
        } catch (const std::bad_alloc&) {
            throw AtlasError(AtlasError::Kind::failedToCreateContext);
        } catch (const std::length_error&) {
            throw AtlasError(AtlasError::Kind::failedToCreateContext);
        }
    }
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        if (prepared[i].duplicateOf) continue;
        const Placement& pl = *placements[i];
        RGBAImage& pageImage = atlas.pages[static_cast<std::size_t>(pl.page)].image;
        if (pl.rotated) blitExtruded(pageImage, prepared[i].pixels.rotatedClockwise(), pl.rect.x + extrude, pl.rect.y + extrude, extrude);
        else blitExtruded(pageImage, prepared[i].pixels, pl.rect.x + extrude, pl.rect.y + extrude, extrude);
    }
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        const Prepared& p = prepared[i];
        const std::size_t owner = p.duplicateOf.value_or(i);
        const Placement& pl = *placements[owner];
        const RGBAImage& kept = prepared[owner].pixels;
        Frame f;
        f.name = p.name;
        f.rotated = pl.rotated;
        f.frame = {pl.rect.x + extrude, pl.rect.y + extrude, pl.rotated ? kept.height : kept.width,
                   pl.rotated ? kept.width : kept.height};
        f.spriteSourceSize = p.trimRect;
        f.sourceSize = p.sourceSize;
        f.trimmed = options.trim && (p.trimRect.width < p.sourceSize.width || p.trimRect.height < p.sourceSize.height);
        f.isDuplicate = p.duplicateOf.has_value();
        f.sequenceIndex = static_cast<int>(i);
        AtlasResult& page = atlas.pages[static_cast<std::size_t>(pl.page)];
        if (f.isDuplicate) ++page.duplicateCount;
        page.frames.push_back(std::move(f));
    }
    return atlas;
}

}  // namespace

}  // namespace lw
