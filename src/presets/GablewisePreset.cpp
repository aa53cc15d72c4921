#include "presets/GablewisePreset.h"

namespace lw {

using Portal = GablewisePreset::Portal;
using WebAspect = GablewisePreset::WebAspect;
using PresetError = GablewisePreset::PresetError;

// ---- errors

PresetError::PresetError(Kind kind, std::string text, std::filesystem::path url, int kilobytes)
    : Error(std::move(text)), kind(kind), url(std::move(url)), kilobytes(kilobytes) {}

PresetError PresetError::cannotDecodeImage(const std::filesystem::path& url) {
    return PresetError(Kind::cannotDecodeImage, "Could not decode architectural image at " + url.filename().string(),
                       url, 0);
}

PresetError PresetError::cannotDecodeWatermark(const std::filesystem::path& url) {
    return PresetError(Kind::cannotDecodeWatermark, "Could not read watermark image " + url.filename().string(), url,
                       0);
}

PresetError PresetError::cannotMeetSizeLimit(int kilobytes) {
    return PresetError(Kind::cannotMeetSizeLimit,
                       "Could not get the web image under " + std::to_string(kilobytes) + " KB", {}, kilobytes);
}

PresetError PresetError::encodingFailed() { return PresetError(Kind::encodingFailed, "JPEG encoding failed", {}, 0); }

// ---- preset

GablewisePreset::GablewisePreset() = default;

GablewisePreset::GablewisePreset(std::string propertyAddress, bool autoStraightenVerticals, bool stripGPSMetadata,
                                 bool exportWebPackage, bool exportPrintPackage, double maxWebDimension,
                                 int maxWebFileSizeKB, std::optional<std::filesystem::path> watermarkURL,
                                 double watermarkOpacity)
    : propertyAddress(std::move(propertyAddress)),
      autoStraightenVerticals(autoStraightenVerticals),
      stripGPSMetadata(stripGPSMetadata),
      exportWebPackage(exportWebPackage),
      exportPrintPackage(exportPrintPackage),
      maxWebDimension(maxWebDimension),
      maxWebFileSizeKB(maxWebFileSizeKB),
      watermarkURL(std::move(watermarkURL)),
      watermarkOpacity(watermarkOpacity) {}

std::string GablewisePreset::description() const {
    return "Auto-straighten vertical lines, strip seller GPS tags, apply watermark, and export MLS-ready Web + Print "
           "packages simultaneously.";
}

std::set<std::string> GablewisePreset::supportedExtensions() const {
    return {"jpg", "jpeg", "png", "heic", "tiff", "tif", "cr2", "cr3", "nef", "arw", "dng"};
}

void GablewisePreset::setPortal(Portal portal) {
    portal_ = portal;
    if (auto limits = spec(portal)) {
        maxWebDimension = limits->maxDimension;
        maxWebFileSizeKB = limits->maxKB;
        webAspect = limits->aspect;
    }
}

// A JPEG in a print folder or in one of the portals' folders.
bool GablewisePreset::isOwnDeliverable(const std::filesystem::path& relative) const {
    const std::filesystem::path folder = relative.parent_path().filename();
    if (relative.extension() != ".jpg") return false;
    if (folder == "Print_Package") return true;
    for (Portal p : allPortals())
        if (folder == folderName(p)) return true;
    return false;
}

const std::vector<Portal>& GablewisePreset::allPortals() {
    static const std::vector<Portal> all{Portal::mls, Portal::zillow, Portal::airbnb, Portal::custom};
    return all;
}

const std::vector<WebAspect>& GablewisePreset::allWebAspects() {
    static const std::vector<WebAspect> all{WebAspect::original, WebAspect::fourThree, WebAspect::threeTwo,
                                            WebAspect::sixteenNine};
    return all;
}

std::optional<Portal> GablewisePreset::portalFromRawValue(const std::string& raw) {
    for (Portal p : allPortals())
        if (rawValue(p) == raw) return p;
    return std::nullopt;
}

std::optional<WebAspect> GablewisePreset::webAspectFromRawValue(const std::string& raw) {
    for (WebAspect a : allWebAspects())
        if (rawValue(a) == raw) return a;
    return std::nullopt;
}

// ---- portal table

std::string rawValue(Portal portal) {
    switch (portal) {
        case Portal::mls: return "mls";
        case Portal::zillow: return "zillow";
        case Portal::airbnb: return "airbnb";
        case Portal::custom: return "custom";
    }
    return {};
}

std::string displayName(Portal portal) {
    switch (portal) {
        case Portal::mls: return "MLS / Realtor.com";
        case Portal::zillow: return "Zillow";
        case Portal::airbnb: return "Airbnb / Vrbo";
        case Portal::custom: return "Custom";
    }
    return {};
}

std::optional<GablewisePreset::PortalSpec> spec(Portal portal) {
    switch (portal) {
        case Portal::mls: return GablewisePreset::PortalSpec{2048, 2000, WebAspect::original};
        case Portal::zillow: return GablewisePreset::PortalSpec{2048, 10000, WebAspect::fourThree};
        case Portal::airbnb: return GablewisePreset::PortalSpec{3000, 10000, WebAspect::threeTwo};
        case Portal::custom: return std::nullopt;
    }
    return std::nullopt;
}

std::string folderName(Portal portal) {
    switch (portal) {
        case Portal::mls: return "MLS_Web_Package";
        case Portal::zillow: return "Zillow_Package";
        case Portal::airbnb: return "Airbnb_Package";
        case Portal::custom: return "MLS_Web_Package";
    }
    return {};
}

std::string note(Portal portal) {
    switch (portal) {
        case Portal::mls:
            return "2048 px longest side, under 2 MB: accepted by most MLS boards, which feed Realtor.com.";
        case Portal::zillow: return "2048 px, cropped to 4:3 (the shape Zillow shows), under 10 MB.";
        case Portal::airbnb: return "3000 px, cropped to 3:2 landscape (Airbnb's gallery shape; minimum is 1024 x 683).";
        case Portal::custom: return "Set your own size and file-size cap.";
    }
    return {};
}

// ---- web shapes

std::string rawValue(WebAspect aspect) {
    switch (aspect) {
        case WebAspect::original: return "original";
        case WebAspect::fourThree: return "4:3";
        case WebAspect::threeTwo: return "3:2";
        case WebAspect::sixteenNine: return "16:9";
    }
    return {};
}

std::string displayName(WebAspect aspect) {
    if (aspect == WebAspect::original) return "As shot";
    return rawValue(aspect);
}

std::optional<double> ratio(WebAspect aspect) {
    switch (aspect) {
        case WebAspect::original: return std::nullopt;
        case WebAspect::fourThree: return 4.0 / 3.0;
        case WebAspect::threeTwo: return 3.0 / 2.0;
        case WebAspect::sixteenNine: return 16.0 / 9.0;
    }
    return std::nullopt;
}

}  // namespace lw
