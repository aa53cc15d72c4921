#pragma once
// Material channel discovery and packing: recognises which material channel a file holds from
// its name, gathers the sibling maps of one material, and packs them into one RGBA texture in
// an engine's channel layout.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "image/Raster.h"
#include "image/TextureImage.h"
#include "platform/Error.h"

namespace lw {

class ChannelPacker {
public:
    enum class Channel { ambientOcclusion = 0, roughness = 1, smoothness = 2, metallic = 3, height = 4, detailMask = 5 };

    // What fills one output channel: a fixed byte or one of the source channels.
    struct ChannelRecipe {
        enum class Kind { constant, source };
        Kind kind = Kind::constant;
        std::uint8_t value = 0;                        // constant
        Channel channel = Channel::ambientOcclusion;  // source

        static ChannelRecipe constant(std::uint8_t value) { return {Kind::constant, value, Channel::ambientOcclusion}; }
        static ChannelRecipe source(Channel channel) { return {Kind::source, 0, channel}; }
        friend bool operator==(const ChannelRecipe& a, const ChannelRecipe& b) {
            return a.kind == b.kind && (a.kind == Kind::constant ? a.value == b.value : a.channel == b.channel);
        }
    };

    enum class EngineProfile { unrealORM, gltfORM, unityHDRPMaskMap, unityMetallicSmoothness };

    enum class NormalConvention { openGL, directX };

    struct ChannelSources {
        std::map<Channel, std::filesystem::path> maps;

        // Present maps in channel order.
        std::vector<std::filesystem::path> all() const;
        // The first of all(); names the packed output.
        std::optional<std::filesystem::path> primaryURL() const;
        // Display names of the channels the profile needs and the set lacks, in first-use order.
        // Roughness and smoothness stand in for each other.
        std::vector<std::string> missingInputs(EngineProfile profile) const;
        bool has(Channel channel) const { return maps.count(channel) != 0; }
    };

    class PackingError : public Error {
    public:
        enum class Kind { cannotRead, noSourceImagesFound, compositionFailed };
        // With a reason (a sentence) it follows the text: "... wall.png. It is larger than ...".
        static PackingError cannotRead(const std::filesystem::path& file, const std::string& reason = {});
        static PackingError noSourceImagesFound();
        static PackingError compositionFailed();
        Kind kind;
        std::filesystem::path file;  // cannotRead

    private:
        PackingError(Kind kind, std::filesystem::path file, const std::string& message);
    };

    // "png", "tga", "tif", "tiff", "jpg", "jpeg", "exr", "bmp", "psd".
    static const std::set<std::string>& imageExtensions();

    // The material stem and channel of one file from its name suffix.
    std::optional<std::pair<std::string, Channel>> identify(const std::filesystem::path& file) const;
    // The stem and convention (none for "_Normal" and "_Nrm") of a file named like a normal map.
    std::optional<std::pair<std::string, std::optional<NormalConvention>>> identifyNormal(
        const std::filesystem::path& file) const;
    // The maps of the material the file belongs to, from its folder; nothing when the file's own
    // name carries no channel suffix.
    std::optional<ChannelSources> discoverChannels(const std::filesystem::path& file) const;
    // Pixel size of the primary map. Throws PackingError::noSourceImagesFound.
    TextureSize sourceSize(const ChannelSources& sources) const;
    // Pixel size from the file's header; nothing when unreadable.
    static std::optional<TextureSize> pixelSize(const std::filesystem::path& file);

    // Packs the sources into an RGBA texture of the given size in the profile's layout. Every map
    // is resized to that size. Missing maps get defaults: AO white, metallic black, roughness from
    // inverted smoothness and the other way round (mid grey when neither exists), height mid grey,
    // detail mask white. Throws PackingError.
    Raster8 pack(const ChannelSources& sources, EngineProfile profile, TextureSize size) const;

    // The image halved (box average over 2x2, or 3 source pixels on an odd side; colour weighted
    // by alpha for 2 and 4 channel images); a side of 1 stays 1.
    static Raster8 halved(const Raster8& image);
    static Raster16 halved(const Raster16& image);
};

int rawValue(ChannelPacker::Channel channel);
std::optional<ChannelPacker::Channel> channelFromRawValue(int raw);
const std::vector<ChannelPacker::Channel>& allChannels();
std::string displayName(ChannelPacker::Channel channel);
const std::vector<std::string>& suffixes(ChannelPacker::Channel channel);

std::string rawValue(ChannelPacker::EngineProfile profile);  // "unreal", "gltf", "hdrp", "urp"
std::optional<ChannelPacker::EngineProfile> engineProfileFromRawValue(const std::string& raw);
const std::vector<ChannelPacker::EngineProfile>& allEngineProfiles();
std::string displayName(ChannelPacker::EngineProfile profile);
std::string fileTag(ChannelPacker::EngineProfile profile);  // "ORM", "MaskMap", "MetallicSmoothness"
// R, G, B, A.
const std::vector<ChannelPacker::ChannelRecipe>& layout(ChannelPacker::EngineProfile profile);
// "R: AO · G: Roughness · B: Metallic · A: Height"
std::string layoutDescription(ChannelPacker::EngineProfile profile);

const std::vector<ChannelPacker::NormalConvention>& allNormalConventions();
std::string displayName(ChannelPacker::NormalConvention convention);
// "GL" or "DX", as used in file names.
std::string fileTag(ChannelPacker::NormalConvention convention);

}  // namespace lw
