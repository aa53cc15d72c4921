#pragma once
// A shareable preset file: pretty-printed JSON of the record below.
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "core/JobModel.h"

namespace lw {

class BundleError : public Error {
public:
    enum class Kind { unreadable, invalid, unwritable };
    BundleError(Kind kind, std::filesystem::path file, const std::string& message)
        : Error(message), kind(kind), file(std::move(file)) {}
    Kind kind;
    std::filesystem::path file;
};

struct ExportablePresetBundle {
    std::string version;
    std::string presetID;
    std::string presetName;
    std::string verticalName;
    std::string defaultNamingPattern;
    StringMap configuration;
    Date exportedAt;

    // Larger files are refused when read.
    static constexpr std::uintmax_t kMaxFileBytes = 16 * 1024 * 1024;

    nlohmann::json toJson() const;
    // Every key is required; throws DecodingError.
    static ExportablePresetBundle fromJson(const nlohmann::json& json);

    // Writes to a temporary name beside `file` and renames it into place. Throws BundleError.
    void write(const std::filesystem::path& file) const;
    // Throws BundleError naming the file (missing, unreadable, not JSON, missing keys, ...).
    static ExportablePresetBundle read(const std::filesystem::path& file);

    friend bool operator==(const ExportablePresetBundle&, const ExportablePresetBundle&) = default;
};

}  // namespace lw
