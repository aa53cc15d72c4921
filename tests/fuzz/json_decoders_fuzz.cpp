// Arbitrary bytes as the JSON that configurations, reports, preset bundles and the update feed
// are read from. Decoders may refuse (DecodingError, BundleError) but never crash, and whatever
// they accept encodes to a form that decodes to the same value.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/Coding.h"
#include "core/ExportablePresetBundle.h"
#include "core/UpdateInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    nlohmann::json json;
    try {
        json = lw::coding::parse(text);
    } catch (const lw::DecodingError&) {
        return 0;
    }
    try {
        const auto config = lw::decodeBatchConfiguration(json);
        if (!(lw::decodeBatchConfiguration(lw::encode(config)) == config)) std::abort();
    } catch (const lw::DecodingError&) {
    }
    try {
        const auto report = lw::decodeExecutionReport(json);
        (void)lw::encode(report).dump();
    } catch (const lw::DecodingError&) {
    }
    try {
        const auto info = lw::UpdateInfo::decode(json);
        (void)info.isTrustedDownload();
    } catch (const lw::DecodingError&) {
    }
    try {
        (void)lw::ExportablePresetBundle::fromJson(json);
    } catch (const lw::DecodingError&) {
    }
    // The bundle file reader takes the same bytes from disk.
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("bundle-fuzz-" + std::to_string(::getpid()) + ".json");
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    try {
        (void)lw::ExportablePresetBundle::read(path);
    } catch (const lw::BundleError&) {
    }
    return 0;
}
