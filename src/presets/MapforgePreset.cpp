#include "platform/Paths.h"
#include "presets/MapforgePreset.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <regex>

#include <vips/vips8>

#include "core/StagedOutputs.h"
#include "platform/FileSafety.h"
#include "core/TokenRenamer.h"
#include "image/NormalMapGenerator.h"
#include "image/VipsLog.h"
#include "image/TilingChecker.h"
#include "presets/MapforgeSpriteRoad.h"

namespace lw {

namespace fs = std::filesystem;
using Mode = MapforgePreset::OperationalMode;

// ---- modes and errors

std::string rawValue(Mode mode) {
    switch (mode) {
        case Mode::channelPackingORM: return "Channel Packing (ORM / MaskMap)";
        case Mode::normalMapConvert: return "Normal Map: DirectX \u21C4 OpenGL";
        case Mode::normalFromHeight: return "Normal Map from Height Map";
        case Mode::powerOfTwoEnforce: return "Enforce Power-of-Two (POT)";
        case Mode::spriteSheetAtlas: return "2D Sprite Sheet Compilation";
        case Mode::tilingCheck: return "Seamless Tiling Check";
    }
    return {};
}

std::string displayName(Mode mode) { return rawValue(mode); }

std::optional<Mode> operationalModeFromRawValue(const std::string& raw) {
    for (Mode mode : allOperationalModes())
        if (rawValue(mode) == raw) return mode;
    return std::nullopt;
}

const std::vector<Mode>& allOperationalModes() {
    static const std::vector<Mode> all = {Mode::channelPackingORM, Mode::normalMapConvert, Mode::normalFromHeight,
                                          Mode::powerOfTwoEnforce, Mode::spriteSheetAtlas, Mode::tilingCheck};
    return all;
}

MapforgePreset::TextureError::TextureError(Kind kind, fs::path file, std::string text, const std::string& message)
    : Error(message), kind(kind), file(std::move(file)), text(std::move(text)) {}

MapforgePreset::TextureError MapforgePreset::TextureError::cannotOpenImage(const fs::path& file,
                                                                         const std::string& reason) {
    return TextureError(Kind::cannotOpenImage, file, {},
                        "Failed to open texture image at " + file.filename().string() +
                            (reason.empty() ? "" : ". " + reason));
}

MapforgePreset::TextureError MapforgePreset::TextureError::notSeamless(const std::string& text) {
    return TextureError(Kind::notSeamless, {}, text, text);
}

// ---- preset

MapforgePreset::MapforgePreset(OperationalMode operationalMode, ChannelPacker::EngineProfile engineProfile,
                               bool enforcePOT, PowerOfTwoScaler::ScaleMode potScaleMode, bool forceSquare,
                               std::int64_t maxTextureSize, bool generateMipmaps)
    : operationalMode(operationalMode)
    , engineProfile(engineProfile)
    , enforcePOT(enforcePOT)
    , potScaleMode(potScaleMode)
    , forceSquare(forceSquare)
    , maxTextureSize(maxTextureSize)
    , generateMipmaps(generateMipmaps) {}

std::string MapforgePreset::description() const {
    return "Packs PBR maps for Unreal, Unity and Godot, converts DirectX/OpenGL normal maps, enforces power-of-two "
           "sizes, and builds trimmed sprite sheets for Phaser, PixiJS and Godot.";
}

// A PNG named as a mipmap level, tiling preview, sprite sheet page, normal map in the current
// target convention, or a packed or resized map under the default pattern ("_ORM_1024x1024").
bool MapforgePreset::isOwnDeliverable(const std::filesystem::path& relative) const {
    static const std::regex fixed(
        R"(.+(_mip[0-9]+_[0-9]+|_Tiled2x2|_Atlas(-[0-9]+)?(@1x)?|_(ORM|MaskMap|MetallicSmoothness|POT)_[0-9]+x[0-9]+)\.png)");
    const std::string name = relative.filename().string();
    const std::string normal = "_Normal" + fileTag(normalTarget) + ".png";
    return std::regex_match(name, fixed) ||
           (name.size() > normal.size() && name.compare(name.size() - normal.size(), normal.size(), normal) == 0);
}

std::set<std::string> MapforgePreset::supportedExtensions() const {
    return {"png", "tga", "tiff", "tif", "jpg", "jpeg", "exr"};
}

TextureSize MapforgePreset::targetSize(std::int64_t width, std::int64_t height) const {
    std::int64_t w = width, h = height;
    if (enforcePOT) {
        const std::int64_t pw = PowerOfTwoScaler::computePOTDimension(width, potScaleMode);
        const std::int64_t ph = PowerOfTwoScaler::computePOTDimension(height, potScaleMode);
        if (forceSquare) {
            w = h = std::max(pw, ph);
        } else {
            w = pw;
            h = ph;
        }
    }
    // With power-of-two sizes the limit is the largest power of two within it, so that halving
    // keeps them powers of two.
    std::int64_t limit = maxTextureSize;
    if (enforcePOT && limit > 0)
        limit = PowerOfTwoScaler::computePOTDimension(limit, PowerOfTwoScaler::ScaleMode::roundDownPowerOfTwo());
    const std::int64_t longer = std::max(w, h);
    if (limit > 0 && longer > limit) {
        const double ratio = static_cast<double>(limit) / static_cast<double>(longer);
        w = std::max<std::int64_t>(1, std::llround(static_cast<double>(w) * ratio));
        h = std::max<std::int64_t>(1, std::llround(static_cast<double>(h) * ratio));
    }
    constexpr std::int64_t intMax = std::numeric_limits<int>::max();
    return {static_cast<int>(std::clamp<std::int64_t>(w, 0, intMax)),
            static_cast<int>(std::clamp<std::int64_t>(h, 0, intMax))};
}

// ---- the road

namespace {

class TextureOutputError : public Error {
public:
    using Error::Error;
};


std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? separator : "") + parts[i];
    return text;
}

std::string sizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

// The files one item writes, staged under hidden temporary names and renamed into place only
// when the item succeeds; a failed item removes only its own temporary files, never a file that
// another item wrote under the same name.
class OutputSet {
public:
    OutputSet(const BatchItem& item, const ProcessingContext& context, std::vector<fs::path> inputs)
        : folder_(context.configuration.outputDirectory), staged_(item, context, std::move(inputs)) {}

    // The destination of a file name, refused when it would replace one of the item's inputs,
    // a file another item of the job wrote, or something that is not a regular file.
    fs::path destination(const std::string& name) const {
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
            throw TextureOutputError("The naming pattern gives the unusable file name \"" + name + "\".");
        return folder_ / name;
    }
    // A temporary file for the destination of `name`, for writers that take a path.
    fs::path stage(const std::string& name) { return staged_.add(destination(name)).tempPath(); }
    void write(const Raster8& image, const std::string& name) { staged_.write(destination(name), encodePng(image)); }
    void write(const Raster16& image, const std::string& name) { staged_.write(destination(name), encodePng(image)); }
    void writeColor(const ColorRaster& image, const std::string& name) {
        std::visit([&](const auto& raster) { write(raster, name); }, image);
    }
    std::vector<fs::path> commit() { return staged_.commit(); }

private:
    fs::path folder_;
    StagedOutputs staged_;
};

struct Road {
    const MapforgePreset& preset;
    const BatchItem& item;
    const ProcessingContext& context;

    std::string fileName() const { return item.sourceURL.filename().string(); }
    void progress(double fraction, const std::string& message) const {
        if (context.onProgressUpdate) context.onProgressUpdate(fraction, message);
    }
    void log(const std::string& line) const {
        if (context.log) context.log(line);
    }
    std::string resolve(const StringMap& variables) const {
        return TokenRenamer::resolveStem(context.configuration.namingPattern, item, context.itemIndex,
                                         context.totalItems, variables);
    }
    bool usesDefaultPattern() const { return context.configuration.namingPattern == preset.defaultNamingPattern(); }
    fs::path outputFolder() const { return context.configuration.outputDirectory; }

    // stem + "_Normal" + "GL"/"DX" + ".png" with the default pattern; the resolved pattern otherwise.
    std::string normalMapName(const std::string& stem) const {
        const std::string tag = fileTag(preset.normalTarget);
        if (usesDefaultPattern()) return stem + "_Normal" + tag + ".png";
        return resolve({{"name", stem + "_Normal" + tag}, {"profile", tag}, {"pot", "?"}}) + ".png";
    }

    template <class Image>
    void writeMipChain(const Image& base, const std::string& baseName, OutputSet& outputs) const {
        const Image* previous = &base;
        Image level;
        for (int index = 1; previous->width > 1 || previous->height > 1; ++index) {
            level = ChannelPacker::halved(*previous);
            outputs.write(level, baseName + "_mip" + std::to_string(index) + "_" +
                                     std::to_string(std::max(level.width, level.height)) + ".png");
            previous = &level;
        }
    }

    std::vector<fs::path> finish(OutputSet& outputs) const {
        log("Texture processing finished.");
        return outputs.commit();
    }

    std::vector<fs::path> channelPacking() const {
        ChannelPacker packer;
        progress(0.2, "Discovering texture channels...");
        const auto sources = packer.discoverChannels(item.sourceURL);
        const auto own = packer.identify(item.sourceURL);
        if (!sources || !own) throw BatchSkip(fileName() + " isn't an AO / Roughness / Smoothness / Metallic / Height map");
        const auto primary = sources->primaryURL();
        if (!primary || standardized(*primary) != standardized(item.sourceURL))
            throw BatchSkip(fileName() + " is packed together with " +
                            (primary ? primary->filename().string() : std::string("its set")));
        const auto profile = preset.engineProfile;
        const auto missing = sources->missingInputs(profile);
        if (!missing.empty())
            log("Packing " + displayName(profile) + ": no " + joined(missing, "/") + " map, using engine defaults");

        if (!ChannelPacker::pixelSize(*primary))
            throw ChannelPacker::PackingError::cannotRead(
                *primary, TextureImageError(TextureImageError::Kind::unreadable, *primary).reason);
        const TextureSize source = packer.sourceSize(*sources);
        if (static_cast<std::int64_t>(source.width) * source.height > maxTexturePixels)
            throw TextureImageError(TextureImageError::Kind::tooLarge, *primary);
        const TextureSize target = preset.targetSize(source.width, source.height);

        OutputSet outputs(item, context, sources->all());
        progress(0.5, "Compositing " + displayName(profile));
        Raster8 packed = packer.pack(*sources, profile, target);
        const std::string base =
            resolve({{"name", own->first}, {"pot", sizeText(target.width, target.height)}, {"profile", fileTag(profile)}});
        outputs.write(packed, base + ".png");
        if (preset.generateMipmaps) {
            progress(0.85, "Generating mipmap chain...");
            writeMipChain(packed, base, outputs);
        }
        packed = Raster8();

        if (preset.generateMissingNormal && sources->has(ChannelPacker::Channel::height) &&
            !NormalMapGenerator::hasNormalMap(own->first, item.sourceURL.parent_path())) {
            progress(0.9, "Making normal map from height...");
            const fs::path heightMap = sources->maps.at(ChannelPacker::Channel::height);
            RasterF height;
            try {
                height = loadDataMap(heightMap, target);
            } catch (const TextureImageError& e) {
                throw ChannelPacker::PackingError::cannotRead(heightMap, e.reason);
            }
            const Raster8 normal = NormalMapGenerator::fromHeight(height, preset.normalStrength, preset.normalTarget, true);
            const std::string name = own->first + "_Normal" + fileTag(preset.normalTarget) + ".png";
            outputs.write(normal, name);
            log(fileName() + ": no normal map found, made " + name + " from the height map");
        }
        return finish(outputs);
    }

    std::vector<fs::path> normalConvert() const {
        ChannelPacker packer;
        const auto id = packer.identifyNormal(item.sourceURL);
        if (!id) throw BatchSkip(fileName() + " isn't named like a normal map (_Normal, _NormalDX, _NormalGL, _Nrm)");
        if (id->second && *id->second == preset.normalTarget)
            throw BatchSkip(fileName() + " is already an " +
                            std::string(preset.normalTarget == ChannelPacker::NormalConvention::openGL ? "OpenGL"
                                                                                                       : "DirectX") +
                            " normal map");
        progress(0.4, "Flipping green channel...");
        ColorRaster image;
        try {
            image = loadColorRaster(item.sourceURL);
        } catch (const TextureImageError& e) {
            throw MapforgePreset::TextureError::cannotOpenImage(item.sourceURL, e.reason);
        }
        NormalMapGenerator::flipGreen(image);
        OutputSet outputs(item, context, {item.sourceURL});
        outputs.writeColor(image, normalMapName(id->first));
        return finish(outputs);
    }

    std::vector<fs::path> normalFromHeight() const {
        const auto [stem, namedLikeHeight] = NormalMapGenerator::stem(item.sourceURL);
        if (!namedLikeHeight)
            log(fileName() + ": not named like a height map (_Height, _Disp, _Bump); treated as one");
        progress(0.4, "Building normal map...");
        RasterF height;
        try {
            height = loadDataMap(item.sourceURL);
        } catch (const TextureImageError& e) {
            throw MapforgePreset::TextureError::cannotOpenImage(item.sourceURL, e.reason);
        }
        const Raster8 normal = NormalMapGenerator::fromHeight(height, preset.normalStrength, preset.normalTarget, true);
        height = RasterF();
        OutputSet outputs(item, context, {item.sourceURL});
        outputs.write(normal, normalMapName(stem));
        return finish(outputs);
    }

    std::vector<fs::path> powerOfTwo() const {
        progress(0.3, "Rescaling to Power-of-Two...");
        ColorRaster image;
        try {
            // Linear float colour is stored sRGB-encoded, data maps (material channels, normals)
            // keep their values.
            const ChannelPacker packer;
            const bool dataMap = packer.identify(item.sourceURL) || packer.identifyNormal(item.sourceURL);
            image = loadColorRaster(item.sourceURL, {.linearToSRGB = !dataMap});
        } catch (const TextureImageError& e) {
            throw MapforgePreset::TextureError::cannotOpenImage(item.sourceURL, e.reason);
        }
        const TextureSize source = std::visit([](const auto& r) { return TextureSize{r.width, r.height}; }, image);
        const TextureSize target = preset.targetSize(source.width, source.height);
        if (target.width < 1 || target.height < 1 ||
            static_cast<std::int64_t>(target.width) * target.height > maxTexturePixels)
            throw TextureImageError(TextureImageError::Kind::tooLarge, item.sourceURL);
        if (!(target == source)) image = PowerOfTwoScaler::scale(image, target);
        OutputSet outputs(item, context, {item.sourceURL});
        const std::string base = resolve({{"pot", sizeText(target.width, target.height)}, {"profile", "POT"}});
        outputs.writeColor(image, base + ".png");
        if (preset.generateMipmaps) std::visit([&](const auto& r) { writeMipChain(r, base, outputs); }, image);
        return finish(outputs);
    }

    std::vector<fs::path> tilingCheck() const {
        progress(0.4, "Comparing edges...");
        TilingChecker::Result result;
        try {
            result = TilingChecker::check(item.sourceURL);
        } catch (const TextureImageError& e) {
            throw MapforgePreset::TextureError::cannotOpenImage(item.sourceURL, e.reason);
        }
        OutputSet outputs(item, context, {item.sourceURL});
        if (result.isSeamless()) {
            log(fileName() + ": tiles seamlessly");
            return finish(outputs);
        }
        const std::string previewName = item.originalFileName + "_Tiled2x2.png";
        const fs::path preview = outputs.stage(previewName);
        try {
            TilingChecker::writePreview(item.sourceURL, preview);
        } catch (const TextureImageError& e) {
            if (e.kind == TextureImageError::Kind::unwritable)
                throw TextureImageError(e.kind, outputs.destination(previewName));
            throw MapforgePreset::TextureError::cannotOpenImage(item.sourceURL, e.reason);
        }
        outputs.commit();  // the preview stays for the user to look at
        throw MapforgePreset::TextureError::notSeamless(result.summary() + ". Preview: " + previewName);
    }
};

}  // namespace

std::vector<fs::path> MapforgePreset::process(const BatchItem& item, const ProcessingContext& context) const {
    Road road{*this, item, context};
    const auto log = [&](const std::string& line) {
        if (context.log) context.log(line);
    };
    const std::string name = item.sourceURL.filename().string();
    // libvips' warnings about this item go to its log.
    VipsLogSink vipsLog([&](const std::string& line) { log(name + ": libvips: " + line); });
    const ScopedVipsLogSink routed(&vipsLog);
    std::string reason;
    try {
        switch (operationalMode) {
            case Mode::channelPackingORM: return road.channelPacking();
            case Mode::normalMapConvert: return road.normalConvert();
            case Mode::normalFromHeight: return road.normalFromHeight();
            case Mode::powerOfTwoEnforce: return road.powerOfTwo();
            case Mode::spriteSheetAtlas: return processSpriteSheet(*this, item, context);
            case Mode::tilingCheck: return road.tilingCheck();
        }
        return {};
    } catch (const Error&) {
        throw;
    } catch (const BatchSkip&) {
        throw;
    } catch (const vips::VError& e) {
        // A library's exception becomes one line naming the file; its detail goes to the log.
        const std::string detail = e.what();
        log(name + ": libvips: " + detail.substr(0, detail.find('\n')));
        reason = "the image library failed";
    } catch (const std::bad_alloc&) {
        reason = "there is not enough memory";
    } catch (const fs::filesystem_error& e) {
        log(name + ": " + e.what());
        reason = e.path1().filename().string() + ": " + writeFailureReason(e.path1(), e.code());
    } catch (const std::exception& e) {
        const std::string detail = e.what();
        log(name + ": " + detail.substr(0, detail.find('\n')));
        reason = "an unexpected error occurred";
    }
    throw Error("Could not process " + name + " (" + rawValue(operationalMode) + "): " + reason + ".");
}

}  // namespace lw
