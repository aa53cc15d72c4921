#pragma once
// The real-estate photo preset: its identity, the options the photo road reads for every
// photo, the listing-portal table that fills in the web-set limits, and the vertical's errors.
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/JobModel.h"
#include "platform/Error.h"

namespace lw {

class GablewisePreset : public BatchPreset {
public:
    enum class WebAspect { original, fourThree, threeTwo, sixteenNine };
    enum class Portal { mls, zillow, airbnb, custom };

    struct PortalSpec {
        double maxDimension;  // pixels, longest side
        int maxKB;            // kilobytes of 1024 bytes
        WebAspect aspect;
        friend bool operator==(const PortalSpec&, const PortalSpec&) = default;
    };

    class PresetError : public Error {
    public:
        enum class Kind { cannotDecodeImage, cannotDecodeWatermark, cannotMeetSizeLimit, encodingFailed };

        static PresetError cannotDecodeImage(const std::filesystem::path& url);
        static PresetError cannotDecodeWatermark(const std::filesystem::path& url);
        static PresetError cannotMeetSizeLimit(int kilobytes);
        static PresetError encodingFailed();

        Kind kind;
        std::filesystem::path url;  // cannotDecodeImage, cannotDecodeWatermark
        int kilobytes = 0;          // cannotMeetSizeLimit

    private:
        PresetError(Kind kind, std::string text, std::filesystem::path url, int kilobytes);
    };

    // The table's initial values.
    GablewisePreset();
    // portal is mls, webAspect original and mergeBrackets false whatever is passed.
    GablewisePreset(std::string propertyAddress, bool autoStraightenVerticals, bool stripGPSMetadata,
                    bool exportWebPackage, bool exportPrintPackage, double maxWebDimension, int maxWebFileSizeKB,
                    std::optional<std::filesystem::path> watermarkURL, double watermarkOpacity);

    std::string id() const override { return "com.tallymill.eavesmark"; }
    std::string displayName() const override { return "Eavesmark"; }
    std::string verticalName() const override { return "Real Estate & Architecture"; }
    std::string description() const override;
    std::string systemIconName() const override { return "building.2.crop.circle"; }
    std::set<std::string> supportedExtensions() const override;
    std::string defaultNamingPattern() const override { return "{address}_{index:02}_{size}"; }
    // The files this preset writes, known by the fixed parts of their names.
    bool isOwnDeliverable(const std::filesystem::path& relative) const override;

    // The photo road: brackets, fusion, straightening, watermark, print set, web set,
    // metadata; returns the written files, print first.
    std::vector<std::filesystem::path> process(const BatchItem& item,
                                               const ProcessingContext& context) const override;

    // Assigning a portal that has a spec also overwrites maxWebDimension, maxWebFileSizeKB
    // and webAspect with that portal's own values, on every assignment; custom leaves them alone.
    Portal portal() const { return portal_; }
    void setPortal(Portal portal);

    std::string propertyAddress = "1042_Maple_Lane";
    WebAspect webAspect = WebAspect::original;
    bool mergeBrackets = false;
    bool autoStraightenVerticals = true;
    bool stripGPSMetadata = true;
    bool exportWebPackage = true;
    bool exportPrintPackage = true;
    double maxWebDimension = 2048;
    int maxWebFileSizeKB = 2000;
    std::optional<std::filesystem::path> watermarkURL;
    double watermarkOpacity = 0.85;

    static const std::vector<Portal>& allPortals();
    static const std::vector<WebAspect>& allWebAspects();
    static std::optional<Portal> portalFromRawValue(const std::string& raw);        // case-sensitive
    static std::optional<WebAspect> webAspectFromRawValue(const std::string& raw);  // case-sensitive

private:
    Portal portal_ = Portal::mls;
};

std::string rawValue(GablewisePreset::Portal portal);
std::string displayName(GablewisePreset::Portal portal);
std::optional<GablewisePreset::PortalSpec> spec(GablewisePreset::Portal portal);  // none for custom
std::string folderName(GablewisePreset::Portal portal);
std::string note(GablewisePreset::Portal portal);

std::string rawValue(GablewisePreset::WebAspect aspect);
std::string displayName(GablewisePreset::WebAspect aspect);
std::optional<double> ratio(GablewisePreset::WebAspect aspect);  // width / height; none for original

}  // namespace lw
