#include "image/ImageProperties.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>

#include <exiv2/exiv2.hpp>
#include <libraw/libraw.h>
#include <vips/vips8>

#include "image/Image.h"
#include "platform/Paths.h"

#include <fmt/format.h>

namespace lw {
namespace {

namespace fs = std::filesystem;

// IFD0 tags that describe the picture rather than the file's layout.
const std::set<std::string>& tiffTags() {
    static const std::set<std::string> tags{"Make",        "Model",       "Software",       "DateTime",
                                            "Artist",      "Copyright",   "ImageDescription", "Orientation",
                                            "XResolution", "YResolution", "ResolutionUnit", "HostComputer"};
    return tags;
}

// exiv2 tag name -> ImageIO key, where they differ.
const std::map<std::string, std::string>& exifRenames() {
    static const std::map<std::string, std::string> m{{"SubSecTime", "SubsecTime"},
                                                      {"SubSecTimeOriginal", "SubsecTimeOriginal"},
                                                      {"SubSecTimeDigitized", "SubsecTimeDigitized"},
                                                      {"FocalLengthIn35mmFilm", "FocalLenIn35mmFilm"}};
    return m;
}
const std::map<std::string, std::string>& gpsRenames() {
    static const std::map<std::string, std::string> m{{"VersionID", "Version"}, {"Differential", "Differental"}};
    return m;
}

std::string renamed(const std::map<std::string, std::string>& table, const std::string& name) {
    auto it = table.find(name);
    return it == table.end() ? name : it->second;
}
std::string unrenamed(const std::map<std::string, std::string>& table, const std::string& key) {
    for (const auto& [from, to] : table)
        if (to == key) return from;
    return key;
}

bool isGpsAngle(const std::string& name) {
    return name == "GPSLatitude" || name == "GPSLongitude" || name == "GPSDestLatitude" || name == "GPSDestLongitude";
}

double rationalValue(const Exiv2::Exifdatum& d, long i) {
    Exiv2::Rational r = d.toRational(i);
    if (r.second == 0) return 0.0;
    return static_cast<double>(r.first) / static_cast<double>(r.second);
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\0' || s.back() == ' ')) s.pop_back();
    auto nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    return s;
}

// One tag's value as a plain JSON value; null when it has none worth carrying.
nlohmann::json plainValue(const Exiv2::Exifdatum& d) {
    const long n = d.count();
    if (n <= 0) return nullptr;
    const std::string name = d.tagName();
    switch (d.typeId()) {
        case Exiv2::asciiString:
        case Exiv2::comment:
            return trimmed(d.toString());
        case Exiv2::unsignedByte:
        case Exiv2::signedByte:
        case Exiv2::unsignedShort:
        case Exiv2::signedShort:
        case Exiv2::unsignedLong:
        case Exiv2::signedLong: {
            if (n == 1 && name != "ISOSpeedRatings" && name != "GPSVersionID") return d.toLong(0);
            if (n > 64) return nullptr;
            nlohmann::json a = nlohmann::json::array();
            for (long i = 0; i < n; ++i) a.push_back(d.toLong(i));
            return a;
        }
        case Exiv2::unsignedRational:
        case Exiv2::signedRational: {
            if (isGpsAngle(name) && n == 3)
                return rationalValue(d, 0) + rationalValue(d, 1) / 60.0 + rationalValue(d, 2) / 3600.0;
            if (name == "GPSTimeStamp" && n == 3) {
                double s = rationalValue(d, 2);
                return fmt::format("{:02d}:{:02d}:{:05.2f}", static_cast<int>(rationalValue(d, 0)),
                                   static_cast<int>(rationalValue(d, 1)), s);
            }
            if (n == 1) return rationalValue(d, 0);
            if (n > 64) return nullptr;
            nlohmann::json a = nlohmann::json::array();
            for (long i = 0; i < n; ++i) a.push_back(rationalValue(d, i));
            return a;
        }
        default:
            return nullptr;
    }
}

ImageProperties propertiesFromExif(const Exiv2::ExifData& exif) {
    ImageProperties tiff = ImageProperties::object();
    ImageProperties ex = ImageProperties::object();
    ImageProperties gps = ImageProperties::object();
    for (const auto& d : exif) {
        const std::string group = d.groupName();
        const std::string name = d.tagName();
        if (group == "Image") {
            if (!tiffTags().count(name)) continue;
            auto v = plainValue(d);
            if (!v.is_null()) tiff[name] = std::move(v);
        } else if (group == "Photo") {
            if (d.typeId() == Exiv2::undefined) continue;
            auto v = plainValue(d);
            if (!v.is_null()) ex[renamed(exifRenames(), name)] = std::move(v);
        } else if (group == "GPSInfo") {
            auto v = plainValue(d);
            if (v.is_null()) continue;
            std::string key = name.rfind("GPS", 0) == 0 ? name.substr(3) : name;
            gps[renamed(gpsRenames(), key)] = std::move(v);
        }
    }
    ImageProperties out = ImageProperties::object();
    if (tiff.contains("Orientation") && tiff["Orientation"].is_number_integer()) {
        int o = tiff["Orientation"].get<int>();
        if (o >= 1 && o <= 8) out[ImageProperty::orientation] = o;
    }
    if (!tiff.empty()) out[ImageProperty::tiffDictionary] = std::move(tiff);
    if (!ex.empty()) out[ImageProperty::exifDictionary] = std::move(ex);
    if (!gps.empty()) out[ImageProperty::gpsDictionary] = std::move(gps);
    return out;
}

// --- writing -------------------------------------------------------------------------------

std::string rationalText(double v, bool isSigned) {
    if (!std::isfinite(v)) v = 0;
    if (!isSigned && v < 0) v = 0;
    const double a = std::fabs(v);
    if (a >= 2.0e9) return isSigned ? (v < 0 ? "-2000000000/1" : "2000000000/1") : "2000000000/1";
    if (std::fabs(a - std::round(a)) < 1e-9) return fmt::format("{}/1", static_cast<long long>(std::llround(v)));
    if (a > 0 && a < 1) {
        double inv = 1.0 / a;
        if (std::fabs(inv - std::round(inv)) < 1e-6 * inv && inv < 2.0e9)
            return fmt::format("{}1/{}", v < 0 ? "-" : "", static_cast<long long>(std::llround(inv)));
    }
    long long den = 1;
    while (den < 1000000 && std::fabs(a * den - std::round(a * den)) > 1e-6 && a * den * 10 < 2.0e9) den *= 10;
    return fmt::format("{}/{}", static_cast<long long>(std::llround(v * static_cast<double>(den))), den);
}

std::string numberText(const nlohmann::json& v, Exiv2::TypeId type) {
    double d = v.get<double>();
    if (type == Exiv2::unsignedRational) return rationalText(d, false);
    if (type == Exiv2::signedRational) return rationalText(d, true);
    if (type == Exiv2::tiffFloat || type == Exiv2::tiffDouble) return fmt::format("{}", d);
    return fmt::format("{}", static_cast<long long>(std::llround(d)));
}

// The exiv2 text form of one JSON value for a tag of `type`; empty when it does not fit.
std::optional<std::string> valueText(const std::string& tagName, const nlohmann::json& v, Exiv2::TypeId type) {
    if (isGpsAngle(tagName) && v.is_number()) {
        double deg = std::fabs(v.get<double>());
        int d = static_cast<int>(deg);
        double minutes = (deg - d) * 60.0;
        int m = static_cast<int>(minutes);
        double s = (minutes - m) * 60.0;
        return fmt::format("{}/1 {}/1 {}/10000", d, m, static_cast<long long>(std::llround(s * 10000.0)));
    }
    if (tagName == "GPSTimeStamp" && v.is_string()) {
        int h = 0, m = 0;
        double s = 0;
        if (std::sscanf(v.get<std::string>().c_str(), "%d:%d:%lf", &h, &m, &s) != 3) return std::nullopt;
        return fmt::format("{}/1 {}/1 {}/100", h, m, static_cast<long long>(std::llround(s * 100.0)));
    }
    if (v.is_string()) {
        if (type == Exiv2::asciiString || type == Exiv2::comment || type == Exiv2::undefined) return v.get<std::string>();
        return std::nullopt;
    }
    if (v.is_number()) {
        if (type == Exiv2::asciiString) return std::nullopt;
        return numberText(v, type);
    }
    if (v.is_boolean()) return numberText(v.get<bool>() ? 1 : 0, type);
    if (v.is_array()) {
        std::string text;
        for (const auto& e : v) {
            if (!e.is_number()) return std::nullopt;
            if (!text.empty()) text += ' ';
            text += numberText(e, type);
        }
        if (text.empty()) return std::nullopt;
        return text;
    }
    return std::nullopt;
}

void addTag(Exiv2::ExifData& out, const std::string& key, const std::string& tagName, const nlohmann::json& v) {
    try {
        Exiv2::ExifKey k(key);
        auto type = k.defaultTypeId();
        auto text = valueText(tagName, v, type);
        if (!text) return;
        auto value = Exiv2::Value::create(type);
        if (value->read(*text) != 0) return;
        out.add(k, value.get());
    } catch (const Exiv2::AnyError&) {
        // A key exiv2 does not know: not representable in EXIF, left out.
    }
}

Exiv2::ExifData exifFromProperties(const ImageProperties& p, int width, int height) {
    Exiv2::ExifData out;
    if (!p.is_object()) return out;
    if (auto it = p.find(ImageProperty::tiffDictionary); it != p.end() && it->is_object()) {
        for (const auto& [k, v] : it->items())
            if (tiffTags().count(k)) addTag(out, "Exif.Image." + k, k, v);
    }
    bool hasExif = false;
    if (auto it = p.find(ImageProperty::exifDictionary); it != p.end() && it->is_object()) {
        hasExif = true;
        for (const auto& [k, v] : it->items()) {
            if (k == ImageProperty::exifPixelXDimension || k == ImageProperty::exifPixelYDimension) continue;
            std::string name = unrenamed(exifRenames(), k);
            addTag(out, "Exif.Photo." + name, name, v);
        }
    }
    if (hasExif && width > 0 && height > 0) {
        out["Exif.Photo.PixelXDimension"] = static_cast<uint32_t>(width);
        out["Exif.Photo.PixelYDimension"] = static_cast<uint32_t>(height);
    }
    if (auto it = p.find(ImageProperty::gpsDictionary); it != p.end() && it->is_object()) {
        for (const auto& [k, v] : it->items()) {
            std::string name = "GPS" + unrenamed(gpsRenames(), k);
            addTag(out, "Exif.GPSInfo." + name, name, v);
        }
    }
    if (auto it = p.find(ImageProperty::orientation); it != p.end() && it->is_number()) {
        int o = static_cast<int>(it->get<double>());
        if (o >= 1 && o <= 8) out["Exif.Image.Orientation"] = static_cast<uint16_t>(o);
    }
    return out;
}

// Whether a file is an ISO base media file (HEIF, AVIF, CR3): its first box is "ftyp".
bool isBaseMediaFile(const fs::path& file) {
    char head[8] = {};
    std::ifstream in(file, std::ios::binary);
    return in.read(head, sizeof head) && std::memcmp(head + 4, "ftyp", 4) == 0;
}

// The EXIF block libvips reads from a HEIF file's header (through libheif, which knows every
// item layout), decoded; empty when there is none.
Exiv2::ExifData exifFromDecoderHeader(const fs::path& file) {
    Exiv2::ExifData exif;
    ensureVipsStarted();
    try {
        vips::VImage image = vips::VImage::new_from_file(file.c_str());
        if (image.get_typeof(VIPS_META_EXIF_NAME) == 0) return exif;
        std::size_t length = 0;
        const auto* data = static_cast<const Exiv2::byte*>(image.get_blob(VIPS_META_EXIF_NAME, &length));
        // The TIFF structure, after any "Exif\0\0" or offset prefix.
        for (std::size_t at = 0; at + 4 <= length && at <= 16; ++at) {
            if ((std::memcmp(data + at, "II*\0", 4) == 0) || (std::memcmp(data + at, "MM\0*", 4) == 0)) {
                Exiv2::ExifParser::decode(exif, data + at, static_cast<uint32_t>(length - at));
                break;
            }
        }
    } catch (const std::exception&) {
        exif.clear();
    }
    return exif;
}

}  // namespace

bool isCameraRaw(const fs::path& file) {
    const std::string ext = lowerExtension(file);
    return ext == "cr2" || ext == "cr3" || ext == "nef" || ext == "arw" || ext == "dng";
}

void prepareMetadataLibrary() {
    static const bool done = [] {
        static std::mutex xmpMutex;
        Exiv2::XmpParser::initialize(
            [](void* data, bool lock) {
                auto* m = static_cast<std::mutex*>(data);
                lock ? m->lock() : m->unlock();
            },
            &xmpMutex);
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        // HEIF, AVIF and CR3 are read only once BMFF support is switched on.
        Exiv2::enableBMFF(true);
        return true;
    }();
    (void)done;
}

ImageProperties readExifProperties(const fs::path& file) {
    prepareMetadataLibrary();
    try {
        auto image = Exiv2::ImageFactory::open(file.string());
        if (!image.get()) return ImageProperties::object();
        image->readMetadata();
        // exiv2 finds a HEIF file's EXIF item only where its extents hold absolute offsets;
        // where the item is placed by a base offset, the decoder's reading of it is taken.
        if (image->exifData().empty() && isBaseMediaFile(file)) return propertiesFromExif(exifFromDecoderHeader(file));
        return propertiesFromExif(image->exifData());
    } catch (const std::exception&) {
        if (isBaseMediaFile(file)) return propertiesFromExif(exifFromDecoderHeader(file));
        return ImageProperties::object();
    }
}

std::optional<ImageProperties> readImageProperties(const fs::path& file) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return std::nullopt;
    int width = 0, height = 0;
    if (isCameraRaw(file)) {
        LibRaw raw;
        if (raw.open_file(file.c_str()) != LIBRAW_SUCCESS) return std::nullopt;
        width = raw.imgdata.sizes.width;
        height = raw.imgdata.sizes.height;
        if (raw.imgdata.sizes.flip & 4) std::swap(width, height);
    } else {
        ensureVipsStarted();
        try {
            auto img = vips::VImage::new_from_file(file.c_str());
            width = img.width();
            height = img.height();
        } catch (const vips::VError&) {
            return std::nullopt;
        }
    }
    ImageProperties p = readExifProperties(file);
    p[ImageProperty::pixelWidth] = width;
    p[ImageProperty::pixelHeight] = height;
    return p;
}

void embedExifProperties(const fs::path& file, const ImageProperties& properties, int width, int height) {
    prepareMetadataLibrary();
    try {
        auto image = Exiv2::ImageFactory::open(file.string());
        if (!image.get()) throw std::runtime_error("unsupported file type");
        image->setExifData(exifFromProperties(properties, width, height));
        image->writeMetadata();
    } catch (const Exiv2::AnyError& e) {
        throw std::runtime_error(e.what());
    }
}

void embedExifProperties(std::vector<std::uint8_t>& encoded, const ImageProperties& properties, int width, int height) {
    prepareMetadataLibrary();
    try {
        auto image = Exiv2::ImageFactory::open(encoded.data(), static_cast<long>(encoded.size()));
        if (!image.get()) throw std::runtime_error("unsupported file type");
        image->setExifData(exifFromProperties(properties, width, height));
        image->writeMetadata();
        Exiv2::BasicIo& io = image->io();
        io.seek(0, Exiv2::BasicIo::beg);
        Exiv2::DataBuf buf = io.read(static_cast<long>(io.size()));
        if (buf.size_ <= 0) throw std::runtime_error("metadata writer returned no data");
        encoded.assign(buf.pData_, buf.pData_ + buf.size_);
    } catch (const Exiv2::AnyError& e) {
        throw std::runtime_error(e.what());
    }
}

std::vector<std::uint8_t> encodeExifBlock(const ImageProperties& properties, int width, int height) {
    prepareMetadataLibrary();
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exifFromProperties(properties, width, height));
    static constexpr std::uint8_t header[6] = {'E', 'x', 'i', 'f', 0, 0};
    std::vector<std::uint8_t> out(sizeof header + blob.size());
    std::memcpy(out.data(), header, sizeof header);
    if (!blob.empty()) std::memcpy(out.data() + sizeof header, blob.data(), blob.size());
    return out;
}

}  // namespace lw
