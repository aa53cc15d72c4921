#include "core/UpdateInfo.h"

#include "core/Coding.h"

namespace lw {

Url UpdateInfo::feedURL(Product product) {
    return *Url::parse(std::string(kFeedBase) + downloadName(product) + ".json");
}

UpdateInfo UpdateInfo::decode(const nlohmann::json& json) {
    UpdateInfo info;
    info.version = coding::string(json, "version");
    info.build = coding::integer(json, "build");
    auto address = coding::string(json, "url");
    auto url = Url::parse(address);
    if (!url) throw DecodingError(DecodingError::Kind::typeMismatch, "url", "The value for \"url\" is not a URL.");
    info.url = *url;
    if (auto it = json.find("notes"); it != json.end() && !it->is_null()) {
        if (!it->is_string())
            throw DecodingError(DecodingError::Kind::typeMismatch, "notes", "The value for \"notes\" is not a string.");
        info.notes = it->get<std::string>();
    }
    return info;
}

UpdateInfo UpdateInfo::fetch(Product product, const HttpSession& session) {
    const Url url = feedURL(product);
    HttpResponse response = session.get(url, kTimeoutSeconds, true);
    if (response.statusCode != 200)
        throw HttpError(HttpError::Kind::badServerResponse, url.toString(),
                        "The update server answered " + url.toString() + " with HTTP status " +
                            std::to_string(response.statusCode) + ".",
                        response.statusCode);
    try {
        return decode(coding::parse(response.body));
    } catch (const DecodingError& e) {
        throw DecodingError(e.kind, e.key, "The update feed " + url.toString() + " could not be read: " + e.what());
    }
}

bool UpdateInfo::isTrustedDownload() const {
    if (url.scheme() != "https" || !url.hasAuthority() || url.host().empty()) return false;
    const std::string host = kVendorHost;
    return url.host() == host || url.host() == "www." + host;
}

}  // namespace lw
