#include "platform/Paths.h"
#include "image/ChannelPacker.h"

#include <tbb/parallel_for.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <exception>

namespace lw {

namespace fs = std::filesystem;
using Channel = ChannelPacker::Channel;
using EngineProfile = ChannelPacker::EngineProfile;
using NormalConvention = ChannelPacker::NormalConvention;
using ChannelRecipe = ChannelPacker::ChannelRecipe;

namespace {

std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool sameIgnoringCase(const std::string& a, const std::string& b) {
    return icu::UnicodeString::fromUTF8(a).caseCompare(icu::UnicodeString::fromUTF8(b), U_FOLD_CASE_DEFAULT) == 0;
}


std::string baseName(const fs::path& file) { return file.stem().string(); }


struct Candidate {
    Channel channel;
    std::string suffix;
};

const std::vector<Candidate>& candidates() {
    static const std::vector<Candidate> list = [] {
        std::vector<Candidate> all;
        for (Channel channel : allChannels())
            for (const auto& suffix : suffixes(channel)) all.push_back({channel, suffix});
        std::stable_sort(all.begin(), all.end(),
                         [](const Candidate& a, const Candidate& b) { return a.suffix.size() > b.suffix.size(); });
        return all;
    }();
    return list;
}

std::uint8_t defaultValue(Channel channel) {
    switch (channel) {
        case Channel::ambientOcclusion: return 255;
        case Channel::metallic: return 0;
        case Channel::roughness:
        case Channel::smoothness:
        case Channel::height: return 128;
        case Channel::detailMask: return 255;
    }
    return 0;
}

template <class T>
Raster<T> halvedImpl(const Raster<T>& image) {
    if (image.empty()) return image;
    const int w = std::max(1, image.width / 2), h = std::max(1, image.height / 2);
    const int channels = image.channels;
    const bool alpha = channels == 2 || channels == 4;
    const int colour = alpha ? channels - 1 : channels;
    Raster<T> out(w, h, channels);
    tbb::parallel_for(0, h, [&](int oy) {
        const int y0 = static_cast<int>(static_cast<std::int64_t>(oy) * image.height / h);
        const int y1 = static_cast<int>(static_cast<std::int64_t>(oy + 1) * image.height / h);
        for (int ox = 0; ox < w; ++ox) {
            const int x0 = static_cast<int>(static_cast<std::int64_t>(ox) * image.width / w);
            const int x1 = static_cast<int>(static_cast<std::int64_t>(ox + 1) * image.width / w);
            double sums[4] = {0, 0, 0, 0}, weighted[4] = {0, 0, 0, 0};
            double alphaSum = 0;
            int count = 0;
            for (int y = y0; y < y1; ++y) {
                const T* p = image.row(y) + static_cast<std::size_t>(x0) * channels;
                for (int x = x0; x < x1; ++x, p += channels) {
                    const double a = alpha ? p[channels - 1] : 1.0;
                    for (int c = 0; c < colour; ++c) {
                        sums[c] += p[c];
                        weighted[c] += p[c] * a;
                    }
                    alphaSum += a;
                    ++count;
                }
            }
            T* o = out.row(oy) + static_cast<std::size_t>(ox) * channels;
            for (int c = 0; c < colour; ++c) {
                const double v = (alpha && alphaSum > 0) ? weighted[c] / alphaSum : sums[c] / count;
                o[c] = static_cast<T>(std::lround(v));
            }
            if (alpha) o[channels - 1] = static_cast<T>(std::lround(alphaSum / count));
        }
    });
    return out;
}

}  // namespace

// ---- enumerations

int rawValue(Channel channel) { return static_cast<int>(channel); }

std::optional<Channel> channelFromRawValue(int raw) {
    if (raw < 0 || raw > 5) return std::nullopt;
    return static_cast<Channel>(raw);
}

const std::vector<Channel>& allChannels() {
    static const std::vector<Channel> all = {Channel::ambientOcclusion, Channel::roughness, Channel::smoothness,
                                             Channel::metallic,         Channel::height,    Channel::detailMask};
    return all;
}

std::string displayName(Channel channel) {
    switch (channel) {
        case Channel::ambientOcclusion: return "AO";
        case Channel::roughness: return "Roughness";
        case Channel::smoothness: return "Smoothness";
        case Channel::metallic: return "Metallic";
        case Channel::height: return "Height";
        case Channel::detailMask: return "Detail Mask";
    }
    return {};
}

const std::vector<std::string>& suffixes(Channel channel) {
    static const std::map<Channel, std::vector<std::string>> table = {
        {Channel::ambientOcclusion, {"_AmbientOcclusion", "_Occlusion", "_AO", "_Occ"}},
        {Channel::roughness, {"_Roughness", "_Rough", "_Rgh"}},
        {Channel::smoothness, {"_Smoothness", "_Glossiness", "_Smooth", "_Gloss"}},
        {Channel::metallic, {"_Metallic", "_Metalness", "_Metal", "_Met"}},
        {Channel::height, {"_Displacement", "_Height", "_Disp"}},
        {Channel::detailMask, {"_DetailMask", "_Detail_Mask"}},
    };
    return table.at(channel);
}

std::string rawValue(EngineProfile profile) {
    switch (profile) {
        case EngineProfile::unrealORM: return "unreal";
        case EngineProfile::gltfORM: return "gltf";
        case EngineProfile::unityHDRPMaskMap: return "hdrp";
        case EngineProfile::unityMetallicSmoothness: return "urp";
    }
    return {};
}

std::optional<EngineProfile> engineProfileFromRawValue(const std::string& raw) {
    for (EngineProfile profile : allEngineProfiles())
        if (rawValue(profile) == raw) return profile;
    return std::nullopt;
}

const std::vector<EngineProfile>& allEngineProfiles() {
    static const std::vector<EngineProfile> all = {EngineProfile::unrealORM, EngineProfile::gltfORM,
                                                   EngineProfile::unityHDRPMaskMap,
                                                   EngineProfile::unityMetallicSmoothness};
    return all;
}

std::string displayName(EngineProfile profile) {
    switch (profile) {
        case EngineProfile::unrealORM: return "Unreal Engine (ORM)";
        case EngineProfile::gltfORM: return "glTF / Godot (ORM)";
        case EngineProfile::unityHDRPMaskMap: return "Unity HDRP Mask Map";
        case EngineProfile::unityMetallicSmoothness: return "Unity URP / Built-in (Metallic)";
    }
    return {};
}

std::string fileTag(EngineProfile profile) {
    switch (profile) {
        case EngineProfile::unrealORM:
        case EngineProfile::gltfORM: return "ORM";
        case EngineProfile::unityHDRPMaskMap: return "MaskMap";
        case EngineProfile::unityMetallicSmoothness: return "MetallicSmoothness";
    }
    return {};
}

const std::vector<ChannelRecipe>& layout(EngineProfile profile) {
    using R = ChannelRecipe;
    static const std::map<EngineProfile, std::vector<ChannelRecipe>> table = {
        {EngineProfile::unrealORM,
         {R::source(Channel::ambientOcclusion), R::source(Channel::roughness), R::source(Channel::metallic),
          R::source(Channel::height)}},
        {EngineProfile::gltfORM,
         {R::source(Channel::ambientOcclusion), R::source(Channel::roughness), R::source(Channel::metallic),
          R::constant(255)}},
        {EngineProfile::unityHDRPMaskMap,
         {R::source(Channel::metallic), R::source(Channel::ambientOcclusion), R::source(Channel::detailMask),
          R::source(Channel::smoothness)}},
        {EngineProfile::unityMetallicSmoothness,
         {R::source(Channel::metallic), R::source(Channel::metallic), R::source(Channel::metallic),
          R::source(Channel::smoothness)}},
    };
    return table.at(profile);
}

std::string layoutDescription(EngineProfile profile) {
    static const char* letters[] = {"R", "G", "B", "A"};
    std::string text;
    const auto& recipes = layout(profile);
    for (std::size_t i = 0; i < recipes.size(); ++i) {
        if (i) text += " \u00B7 ";
        const auto& r = recipes[i];
        std::string word = r.kind == ChannelRecipe::Kind::source ? displayName(r.channel)
                           : r.value == 0                         ? "Black"
                           : r.value == 255                       ? "White"
                                                                  : std::to_string(r.value);
        text += std::string(letters[i]) + ": " + word;
    }
    return text;
}

const std::vector<NormalConvention>& allNormalConventions() {
    static const std::vector<NormalConvention> all = {NormalConvention::openGL, NormalConvention::directX};
    return all;
}

std::string displayName(NormalConvention convention) {
    return convention == NormalConvention::openGL ? "OpenGL (Y+) \u00B7 Unity, Blender, Godot"
                                                  : "DirectX (Y\u2212) \u00B7 Unreal, 3ds Max";
}

std::string fileTag(NormalConvention convention) { return convention == NormalConvention::openGL ? "GL" : "DX"; }

// ---- sources

std::vector<fs::path> ChannelPacker::ChannelSources::all() const {
    std::vector<fs::path> list;
    for (Channel channel : allChannels()) {
        auto it = maps.find(channel);
        if (it != maps.end()) list.push_back(it->second);
    }
    return list;
}

std::optional<fs::path> ChannelPacker::ChannelSources::primaryURL() const {
    auto list = all();
    if (list.empty()) return std::nullopt;
    return list.front();
}

std::vector<std::string> ChannelPacker::ChannelSources::missingInputs(EngineProfile profile) const {
    std::vector<std::string> missing;
    for (const auto& recipe : layout(profile)) {
        if (recipe.kind != ChannelRecipe::Kind::source) continue;
        const Channel c = recipe.channel;
        bool absent = !has(c);
        if (c == Channel::roughness) absent = absent && !has(Channel::smoothness);
        if (c == Channel::smoothness) absent = absent && !has(Channel::roughness);
        if (!absent) continue;
        const std::string name = displayName(c);
        if (std::find(missing.begin(), missing.end(), name) == missing.end()) missing.push_back(name);
    }
    return missing;
}

// ---- errors

ChannelPacker::PackingError::PackingError(Kind kind, fs::path file, const std::string& message)
    : Error(message), kind(kind), file(std::move(file)) {}

ChannelPacker::PackingError ChannelPacker::PackingError::cannotRead(const fs::path& file, const std::string& reason) {
    return PackingError(Kind::cannotRead, file,
                        "Could not read texture map " + file.filename().string() + "." + (reason.empty() ? "" : " " + reason));
}

ChannelPacker::PackingError ChannelPacker::PackingError::noSourceImagesFound() {
    return PackingError(Kind::noSourceImagesFound, {}, "No valid source texture maps found for channel packing.");
}

ChannelPacker::PackingError ChannelPacker::PackingError::compositionFailed() {
    return PackingError(Kind::compositionFailed, {}, "Failed to composite RGBA channels.");
}

// ---- discovery

const std::set<std::string>& ChannelPacker::imageExtensions() {
    static const std::set<std::string> extensions = {"png", "tga", "tif", "tiff", "jpg", "jpeg", "exr", "bmp", "psd"};
    return extensions;
}

std::optional<std::pair<std::string, Channel>> ChannelPacker::identify(const fs::path& file) const {
    const std::string base = baseName(file);
    const std::string lower = asciiLower(base);
    for (const auto& candidate : candidates()) {
        if (!endsWith(lower, asciiLower(candidate.suffix))) continue;
        std::string stem = base.substr(0, base.size() - candidate.suffix.size());
        if (!stem.empty()) return std::make_pair(stem, candidate.channel);
    }
    return std::nullopt;
}

std::optional<std::pair<std::string, std::optional<NormalConvention>>> ChannelPacker::identifyNormal(
    const fs::path& file) const {
    struct NormalSuffix {
        const char* suffix;
        std::optional<NormalConvention> convention;
    };
    // Longest first.
    static const NormalSuffix list[] = {{"_normaldx", NormalConvention::directX},
                                        {"_normalgl", NormalConvention::openGL},
                                        {"_normal", std::nullopt},
                                        {"_nrm", std::nullopt}};
    const std::string base = baseName(file);
    const std::string lower = asciiLower(base);
    for (const auto& entry : list) {
        const std::string suffix = entry.suffix;
        if (!endsWith(lower, suffix)) continue;
        std::string stem = base.substr(0, base.size() - suffix.size());
        if (!stem.empty()) return std::make_pair(stem, entry.convention);
    }
    return std::nullopt;
}

std::optional<ChannelPacker::ChannelSources> ChannelPacker::discoverChannels(const fs::path& file) const {
    const auto own = identify(file);
    if (!own) return std::nullopt;
    std::vector<fs::path> listing;
    std::error_code ec;
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    fs::directory_iterator it(folder, ec), end;
    if (ec) {
        listing.push_back(file);
    } else {
        for (; it != end; it.increment(ec)) {
            if (ec) break;
            const std::string name = it->path().filename().string();
            if (name.empty() || name[0] == '.') continue;
            listing.push_back(file.parent_path() / it->path().filename());
        }
        if (ec) listing = {file};
    }
    std::sort(listing.begin(), listing.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });
    const fs::path self = standardized(file);
    ChannelSources sources;
    for (const auto& candidate : listing) {
        if (!imageExtensions().count(lowerExtension(candidate))) continue;
        const auto id = identify(candidate);
        if (!id || !sameIgnoringCase(id->first, own->first)) continue;
        if (!sources.has(id->second) || standardized(candidate) == self) sources.maps[id->second] = candidate;
    }
    return sources;
}

std::optional<TextureSize> ChannelPacker::pixelSize(const fs::path& file) { return readTextureSize(file); }

TextureSize ChannelPacker::sourceSize(const ChannelSources& sources) const {
    const auto primary = sources.primaryURL();
    if (!primary) throw PackingError::noSourceImagesFound();
    const auto size = pixelSize(*primary);
    if (!size) throw PackingError::noSourceImagesFound();
    return *size;
}

// ---- packing

Raster8 ChannelPacker::pack(const ChannelSources& sources, EngineProfile profile, TextureSize size) const {
    if (sources.maps.empty()) throw PackingError::noSourceImagesFound();
    if (size.width < 1 || size.height < 1 ||
        static_cast<std::int64_t>(size.width) * size.height > maxTexturePixels)
        throw PackingError::compositionFailed();

    // Which source (and whether inverted) or constant feeds each of R, G, B, A; a source used
    // by several channels is read once.
    struct Feed {
        std::optional<Channel> source;
        bool invert = false;
        std::uint8_t constant = 0;
        std::vector<int> outputs;
    };
    std::vector<Feed> feeds;
    auto addFeed = [&](std::optional<Channel> source, bool invert, std::uint8_t constant, int output) {
        for (auto& f : feeds) {
            if (f.source == source && f.invert == invert && (source || f.constant == constant)) {
                f.outputs.push_back(output);
                return;
            }
        }
        feeds.push_back({source, invert, constant, {output}});
    };
    const auto& recipes = layout(profile);
    for (int c = 0; c < 4; ++c) {
        const auto& r = recipes[static_cast<std::size_t>(c)];
        if (r.kind == ChannelRecipe::Kind::constant) {
            addFeed(std::nullopt, false, r.value, c);
        } else if (sources.has(r.channel)) {
            addFeed(r.channel, false, 0, c);
        } else if (r.channel == Channel::roughness && sources.has(Channel::smoothness)) {
            addFeed(Channel::smoothness, true, 0, c);
        } else if (r.channel == Channel::smoothness && sources.has(Channel::roughness)) {
            addFeed(Channel::roughness, true, 0, c);
        } else {
            addFeed(std::nullopt, false, defaultValue(r.channel), c);
        }
    }

    Raster8 out;
    try {
        out = Raster8(size.width, size.height, 4);
    } catch (const std::bad_alloc&) {
        throw PackingError::compositionFailed();
    }
    // Maps are decoded concurrently (decoders are mostly single-threaded); each feed writes only
    // its own output channels, so at most one plane per feed is held at a time.
    std::vector<std::exception_ptr> errors(feeds.size());
    tbb::parallel_for(std::size_t(0), feeds.size(), [&](std::size_t f) {
        const Feed& feed = feeds[f];
        if (!feed.source) {
            tbb::parallel_for(0, size.height, [&](int y) {
                std::uint8_t* row = out.row(y);
                for (int x = 0; x < size.width; ++x)
                    for (int c : feed.outputs) row[4 * x + c] = feed.constant;
            });
            return;
        }
        const fs::path& file = sources.maps.at(*feed.source);
        try {
            RasterF plane;
            try {
                plane = loadDataMap(file, size);
            } catch (const TextureImageError& e) {
                throw PackingError::cannotRead(file, e.reason);
            } catch (const std::bad_alloc&) {
                throw PackingError::cannotRead(file, "There is not enough memory to decode it.");
            }
            if (plane.width != size.width || plane.height != size.height) throw PackingError::compositionFailed();
            const bool invert = feed.invert;
            tbb::parallel_for(0, size.height, [&](int y) {
                const float* in = plane.row(y);
                std::uint8_t* row = out.row(y);
                for (int x = 0; x < size.width; ++x) {
                    const float v = invert ? 1.0f - in[x] : in[x];
                    const auto byte = static_cast<std::uint8_t>(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f);
                    for (int c : feed.outputs) row[4 * x + c] = byte;
                }
            });
        } catch (...) {
            errors[f] = std::current_exception();
        }
    });
    // The first failing map in layout order is reported.
    for (const auto& error : errors)
        if (error) std::rethrow_exception(error);
    return out;
}

Raster8 ChannelPacker::halved(const Raster8& image) { return halvedImpl(image); }
Raster16 ChannelPacker::halved(const Raster16& image) { return halvedImpl(image); }

}  // namespace lw
