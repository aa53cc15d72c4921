#include "image/SpriteDataWriters.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <plist/plist.h>

namespace lw::SpriteDataWriters {

namespace {

using Frame = SpriteSheetCompiler::Frame;
using Page = SpriteSheetCompiler::AtlasResult;

// File names on Linux are bytes; data files must be valid UTF-8. Invalid sequences become U+FFFD.
std::string validUtf8(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        int len = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) len = 1, cp = c;
        else if ((c >> 5) == 0x6) len = 2, cp = c & 0x1F;
        else if ((c >> 4) == 0xE) len = 3, cp = c & 0x0F;
        else if ((c >> 3) == 0x1E) len = 4, cp = c & 0x07;
        bool ok = len > 0 && i + static_cast<std::size_t>(len) <= s.size();
        for (int k = 1; ok && k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            if ((cc >> 6) != 0x2) ok = false;
            else cp = (cp << 6) | (cc & 0x3F);
        }
        if (ok && ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
                   cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (ok) {
            out.append(s, i, static_cast<std::size_t>(len));
            i += static_cast<std::size_t>(len);
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

// Shortest text that reads back as the same double ("1", "0.5", "0.3333333333333333").
std::string number(double v) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    if (ec != std::errc()) return "0";
    return std::string(buf, end);
}

std::string stem(const std::string& fileName) {
    const auto dot = fileName.rfind('.');
    if (dot == std::string::npos || dot == 0) return fileName;
    return fileName.substr(0, dot);
}

// The upright rectangle of a frame on its page: position, and the unrotated width and height.
SpriteSheetCompiler::Rect uprightFrame(const Frame& f) {
    if (!f.rotated) return f.frame;
    return {f.frame.x, f.frame.y, f.frame.height, f.frame.width};
}

nlohmann::ordered_json frameFields(const Frame& f) {
    const auto r = uprightFrame(f);
    nlohmann::ordered_json j;
    j["frame"] = {{"x", r.x}, {"y", r.y}, {"w", r.width}, {"h", r.height}};
    j["rotated"] = f.rotated;
    j["trimmed"] = f.trimmed;
    j["spriteSourceSize"] = {{"x", f.spriteSourceSize.x},
                             {"y", f.spriteSourceSize.y},
                             {"w", f.spriteSourceSize.width},
                             {"h", f.spriteSourceSize.height}};
    j["sourceSize"] = {{"w", f.sourceSize.width}, {"h", f.sourceSize.height}};
    return j;
}

nlohmann::ordered_json meta(const Page& page, const std::string& imageFileName, double scale) {
    nlohmann::ordered_json m;
    m["image"] = validUtf8(imageFileName);
    m["format"] = "RGBA8888";
    m["size"] = {{"w", page.sheetWidth}, {"h", page.sheetHeight}};
    m["scale"] = number(scale);
    return m;
}

std::string dump(const nlohmann::ordered_json& j) {
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

struct PlistDeleter {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::string point(double x, double y) { return "{" + number(x) + "," + number(y) + "}"; }

// Godot string literal.
std::string godotString(const std::string& s) {
    std::string out = "\"";
    for (char c : validUtf8(s)) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: out += c;
        }
    }
    return out + "\"";
}

std::string rect2(int x, int y, int w, int h) {
    return "Rect2(" + std::to_string(x) + ", " + std::to_string(y) + ", " + std::to_string(w) + ", " +
           std::to_string(h) + ")";
}

// YAML double-quoted scalar.
std::string yamlString(const std::string& s) {
    std::string out = "\"";
    for (char c : validUtf8(s)) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        } else out += c;
    }
    return out + "\"";
}

std::int64_t internalID(const std::string& text) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr);
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | md[i];
    v &= 0x7FFFFFFFFFFFFFFFull;
    return v == 0 ? 1 : static_cast<std::int64_t>(v);
}

}  // namespace

std::string repairedUtf8(const std::string& text) { return validUtf8(text); }

std::string sha256Hex(const std::string& text, std::size_t bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr) != 1)
        throw Error("SHA-256 is not available.");
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < std::min<std::size_t>(bytes, len); ++i) {
        out += digits[md[i] >> 4];
        out += digits[md[i] & 0xF];
    }
    return out;
}

std::string jsonHash(const Page& page, const std::string& imageFileName, double scale) {
    nlohmann::ordered_json root;
    root["frames"] = nlohmann::ordered_json::object();
    for (const Frame& f : page.frames) root["frames"][validUtf8(f.name)] = frameFields(f);
    root["meta"] = meta(page, imageFileName, scale);
    return dump(root);
}

std::string jsonArray(const Page& page, const std::string& imageFileName, double scale) {
    nlohmann::ordered_json root;
    root["frames"] = nlohmann::ordered_json::array();
    for (const Frame& f : page.frames) {
        nlohmann::ordered_json j;
        j["filename"] = validUtf8(f.name);
        const nlohmann::ordered_json fields = frameFields(f);
        for (const auto& [k, v] : fields.items()) j[k] = v;
        root["frames"].push_back(std::move(j));
    }
    root["meta"] = meta(page, imageFileName, scale);
    return dump(root);
}

std::string cocosPlist(const Page& page, const std::string& imageFileName) {
    // Frames that repeat another frame's pixels are its aliases.
    std::map<std::pair<int, int>, std::vector<std::string>> aliases;  // frame origin -> duplicate names
    for (const Frame& f : page.frames)
        if (f.isDuplicate) aliases[{f.frame.x, f.frame.y}].push_back(validUtf8(f.name));

    PlistPtr root(plist_new_dict());
    plist_t frames = plist_new_dict();
    for (const Frame& f : page.frames) {
        const auto r = uprightFrame(f);
        plist_t d = plist_new_dict();
        plist_t a = plist_new_array();
        if (!f.isDuplicate) {
            auto it = aliases.find({f.frame.x, f.frame.y});
            if (it != aliases.end())
                for (const auto& n : it->second) plist_array_append_item(a, plist_new_string(n.c_str()));
        }
        plist_dict_set_item(d, "aliases", a);
        // Offset of the kept pixels' centre from the frame's centre, y up.
        const auto& t = f.spriteSourceSize;
        const double ox = t.x + t.width / 2.0 - f.sourceSize.width / 2.0;
        const double oy = f.sourceSize.height / 2.0 - (t.y + t.height / 2.0);
        plist_dict_set_item(d, "spriteOffset", plist_new_string(point(ox, oy).c_str()));
        plist_dict_set_item(d, "spriteSize", plist_new_string(point(r.width, r.height).c_str()));
        plist_dict_set_item(d, "spriteSourceSize",
                            plist_new_string(point(f.sourceSize.width, f.sourceSize.height).c_str()));
        const std::string rect = "{" + point(r.x, r.y) + "," + point(r.width, r.height) + "}";
        plist_dict_set_item(d, "textureRect", plist_new_string(rect.c_str()));
        plist_dict_set_item(d, "textureRotated", plist_new_bool(f.rotated ? 1 : 0));
        plist_dict_set_item(frames, validUtf8(f.name).c_str(), d);
    }
    plist_dict_set_item(root.get(), "frames", frames);
    plist_t md = plist_new_dict();
    const std::string image = validUtf8(imageFileName);
    plist_dict_set_item(md, "format", plist_new_uint(3));
    plist_dict_set_item(md, "pixelFormat", plist_new_string("RGBA8888"));
    plist_dict_set_item(md, "premultiplyAlpha", plist_new_bool(0));
    plist_dict_set_item(md, "realTextureFileName", plist_new_string(image.c_str()));
    plist_dict_set_item(md, "size", plist_new_string(point(page.sheetWidth, page.sheetHeight).c_str()));
    plist_dict_set_item(md, "textureFileName", plist_new_string(image.c_str()));
    plist_dict_set_item(root.get(), "metadata", md);

    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (!xml) throw Error("Could not encode the property list for " + image + ".");
    std::string out(xml, length);
    plist_to_xml_free(xml);
    return out;
}

std::string unityMeta(const Page& page, const std::string& imageFileName) {
    const std::string sheet = validUtf8(imageFileName);
    int unityMax = 32;
    while (unityMax < std::max(page.sheetWidth, page.sheetHeight) && unityMax < 16384) unityMax *= 2;

    // Sprite names: frame file names without extension, made unique within the sheet.
    std::vector<std::string> names;
    std::set<std::string> used;
    for (const Frame& f : page.frames) {
        std::string n = validUtf8(stem(f.name));
        if (used.count(n)) n = validUtf8(f.name);
        for (int k = 2; used.count(n); ++k) n = validUtf8(stem(f.name)) + "_" + std::to_string(k);
        used.insert(n);
        names.push_back(n);
    }

    std::string y;
    y += "fileFormatVersion: 2\n";
    y += "guid: " + sha256Hex("sprite-sheet:" + sheet, 16) + "\n";
    y += R"(TextureImporter:
  internalIDToNameTable: []
  externalObjects: {}
  serializedVersion: 12
  mipmaps:
    mipMapMode: 0
    enableMipMap: 0
    sRGBTexture: 1
    linearTexture: 0
    fadeOut: 0
    borderMipMap: 0
    mipMapsPreserveCoverage: 0
    alphaTestReferenceValue: 0.5
    mipMapFadeDistanceStart: 1
    mipMapFadeDistanceEnd: 3
  bumpmap:
    convertToNormalMap: 0
    externalNormalMap: 0
    heightScale: 0.25
    normalMapFilter: 0
  isReadable: 0
  streamingMipmaps: 0
  streamingMipmapsPriority: 0
  grayScaleToAlpha: 0
  generateCubemap: 6
  cubemapConvolution: 0
  seamlessCubemap: 0
  textureFormat: 1
  maxTextureSize: )" + std::to_string(unityMax) + R"(
  textureSettings:
    serializedVersion: 2
    filterMode: 1
    aniso: 1
    mipBias: 0
    wrapU: 1
    wrapV: 1
    wrapW: 1
  nPOTScale: 0
  lightmap: 0
  compressionQuality: 50
  spriteMode: 2
  spriteExtrude: 1
  spriteMeshType: 0
  alignment: 0
  spritePivot: {x: 0.5, y: 0.5}
  spritePixelsToUnits: 100
  spriteBorder: {x: 0, y: 0, z: 0, w: 0}
  spriteGenerateFallbackPhysicsShape: 1
  alphaUsage: 1
  alphaIsTransparency: 1
  spriteTessellationDetail: -1
  textureType: 8
  textureShape: 1
  singleChannelComponent: 0
  maxTextureSizeSet: 0
  compressionQualitySet: 0
  textureFormatSet: 0
  ignorePngGamma: 0
  applyGammaDecoding: 0
  platformSettings:
  - serializedVersion: 3
    buildTarget: DefaultTexturePlatform
    maxTextureSize: )" + std::to_string(unityMax) + R"(
    resizeAlgorithm: 0
    textureFormat: -1
    textureCompression: 1
    compressionQuality: 50
    crunchedCompression: 0
    allowsAlphaSplitting: 0
    overridden: 0
    androidETC2FallbackOverride: 0
  spriteSheet:
    serializedVersion: 2
    sprites:
)";
    std::vector<std::int64_t> ids;
    for (std::size_t i = 0; i < page.frames.size(); ++i) {
        const Frame& f = page.frames[i];
        const auto& r = f.frame;  // never rotated: the format doesn't support it
        const int bottom = page.sheetHeight - r.y - r.height;
        // Pivot at the untrimmed frame's centre, in the kept rect's units (y up), so trimmed
        // sprites keep their place.
        const auto& t = f.spriteSourceSize;
        const double px = t.width > 0 ? (f.sourceSize.width / 2.0 - t.x) / t.width : 0.5;
        const double py = t.height > 0 ? ((t.y + t.height) - f.sourceSize.height / 2.0) / t.height : 0.5;
        const bool centred = px == 0.5 && py == 0.5;
        const std::int64_t id = internalID("sprite:" + sheet + "/" + validUtf8(f.name));
        ids.push_back(id);
        y += "    - serializedVersion: 2\n";
        y += "      name: " + yamlString(names[i]) + "\n";
        y += "      rect:\n        serializedVersion: 2\n";
        y += "        x: " + std::to_string(r.x) + "\n";
        y += "        y: " + std::to_string(bottom) + "\n";
        y += "        width: " + std::to_string(r.width) + "\n";
        y += "        height: " + std::to_string(r.height) + "\n";
        y += "      alignment: " + std::string(centred ? "0" : "9") + "\n";
        y += "      pivot: {x: " + number(px) + ", y: " + number(py) + "}\n";
        y += "      border: {x: 0, y: 0, z: 0, w: 0}\n";
        y += "      outline: []\n      physicsShape: []\n      tessellationDetail: 0\n      bones: []\n";
        y += "      spriteID: " + sha256Hex("sprite-id:" + sheet + "/" + validUtf8(f.name), 16) + "\n";
        y += "      internalID: " + std::to_string(id) + "\n";
        y += "      vertices: []\n      indices: \n      edges: []\n      weights: []\n";
    }
    y += R"(    outline: []
    physicsShape: []
    bones: []
    spriteID: 
    internalID: 0
    vertices: []
    indices: 
    edges: []
    weights: []
    secondaryTextures: []
    nameFileIdTable:
)";
    for (std::size_t i = 0; i < names.size(); ++i) y += "      " + yamlString(names[i]) + ": " + std::to_string(ids[i]) + "\n";
    y += R"(  spritePackingTag: 
  pSDRemoveMatte: 0
  userData: 
  assetBundleName: 
  assetBundleVariant: 
)";
    return y;
}

std::string godotSpriteFrames(const SpriteSheetCompiler::Atlas& atlas, const std::vector<std::string>& imageFileNames,
                              const std::string& animationName, double framesPerSecond) {
    struct Ref {
        const Frame* frame;
        std::size_t page;
    };
    std::vector<Ref> refs;
    for (std::size_t p = 0; p < atlas.pages.size(); ++p)
        for (const Frame& f : atlas.pages[p].frames) refs.push_back({&f, p});
    std::stable_sort(refs.begin(), refs.end(),
                     [](const Ref& a, const Ref& b) { return a.frame->sequenceIndex < b.frame->sequenceIndex; });

    std::string t;
    t += "[gd_resource type=\"SpriteFrames\" load_steps=" + std::to_string(atlas.pages.size() + refs.size() + 1) +
         " format=3]\n\n";
    for (std::size_t p = 0; p < atlas.pages.size(); ++p) {
        const std::string name = p < imageFileNames.size() ? imageFileNames[p] : std::string();
        t += "[ext_resource type=\"Texture2D\" path=" + godotString(name) + " id=\"" + std::to_string(p + 1) +
             "_sheet\"]\n";
    }
    t += "\n";
    for (std::size_t i = 0; i < refs.size(); ++i) {
        const Frame& f = *refs[i].frame;
        t += "[sub_resource type=\"AtlasTexture\" id=\"AtlasTexture_" + std::to_string(i + 1) + "\"]\n";
        t += "atlas = ExtResource(\"" + std::to_string(refs[i].page + 1) + "_sheet\")\n";
        t += "region = " + rect2(f.frame.x, f.frame.y, f.frame.width, f.frame.height) + "\n";
        if (f.trimmed) {
            const auto& s = f.spriteSourceSize;
            t += "margin = " + rect2(s.x, s.y, f.sourceSize.width - s.width, f.sourceSize.height - s.height) + "\n";
        }
        t += "\n";
    }
    t += "[resource]\nanimations = [{\n\"frames\": [";
    for (std::size_t i = 0; i < refs.size(); ++i) {
        t += i == 0 ? "{\n" : ", {\n";
        t += "\"duration\": 1.0,\n\"texture\": SubResource(\"AtlasTexture_" + std::to_string(i + 1) + "\")\n}";
    }
    std::string speed = number(framesPerSecond);
    if (speed.find_first_of(".e") == std::string::npos) speed += ".0";
    t += "],\n\"loop\": true,\n\"name\": &" + godotString(animationName) + ",\n\"speed\": " + speed + "\n}]\n";
    return t;
}

}  // namespace lw::SpriteDataWriters
