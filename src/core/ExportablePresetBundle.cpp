#include "core/ExportablePresetBundle.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "core/Coding.h"
#include "platform/AtomicFile.h"

namespace lw {

nlohmann::json ExportablePresetBundle::toJson() const {
    return nlohmann::json{{"version", version},
                          {"presetID", presetID},
                          {"presetName", presetName},
                          {"verticalName", verticalName},
                          {"defaultNamingPattern", defaultNamingPattern},
                          {"configuration", configuration},
                          {"exportedAt", secondsSinceReferenceDate(exportedAt)}};
}

ExportablePresetBundle ExportablePresetBundle::fromJson(const nlohmann::json& json) {
    ExportablePresetBundle b;
    b.version = coding::string(json, "version");
    b.presetID = coding::string(json, "presetID");
    b.presetName = coding::string(json, "presetName");
    b.verticalName = coding::string(json, "verticalName");
    b.defaultNamingPattern = coding::string(json, "defaultNamingPattern");
    b.configuration = coding::stringMap(json, "configuration");
    b.exportedAt = coding::date(json, "exportedAt");
    return b;
}

void ExportablePresetBundle::write(const std::filesystem::path& file) const {
    try {
        writeFileAtomically(file, toJson().dump(2) + "\n");
    } catch (const std::exception& e) {
        throw BundleError(BundleError::Kind::unwritable, file,
                          "Could not write the preset bundle " + file.string() + ": " + e.what());
    }
}

ExportablePresetBundle ExportablePresetBundle::read(const std::filesystem::path& file) {
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec))
        throw BundleError(BundleError::Kind::unreadable, file, "The preset bundle " + file.string() + " is a folder, not a file.");
    auto size = std::filesystem::file_size(file, ec);
    if (!ec && size > kMaxFileBytes)
        throw BundleError(BundleError::Kind::invalid, file, "The preset bundle " + file.string() + " is too large to be a preset.");
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        const int err = errno;
        throw BundleError(BundleError::Kind::unreadable, file,
                          "Could not open the preset bundle " + file.string() + ": " + std::strerror(err));
    }
    std::string text;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad() || text.size() > kMaxFileBytes)
        throw BundleError(BundleError::Kind::unreadable, file, "Could not read the preset bundle " + file.string() + ".");
    try {
        return fromJson(coding::parse(text));
    } catch (const DecodingError& e) {
        throw BundleError(BundleError::Kind::invalid, file, "The preset bundle " + file.string() + " is not valid: " + e.what());
    }
}

}  // namespace lw
