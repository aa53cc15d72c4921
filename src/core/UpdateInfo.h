#pragma once
// One product's update-feed record: {"version": "1.2", "build": 42, "url": "https://...", "notes": "..."}.
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/Product.h"
#include "platform/HttpSession.h"
#include "platform/Url.h"

namespace lw {

struct UpdateInfo {
    std::string version;
    std::int64_t build = 0;
    Url url;
    std::optional<std::string> notes;

    static constexpr const char* kVendorHost = "lotwright.app";
    static constexpr const char* kFeedBase = "https://lotwright.app/downloads/";
    static constexpr double kTimeoutSeconds = 15;

    // kFeedBase + downloadName(product) + ".json"
    static Url feedURL(Product product);

    // GETs the product's feed (no cache, 15 s). Throws HttpError (transport, time-out, or
    // badServerResponse for any status but 200) or DecodingError for a body of the wrong shape.
    static UpdateInfo fetch(Product product, const HttpSession& session = HttpSession::shared());

    // "notes" may be absent or null; every other key is required. Throws DecodingError.
    static UpdateInfo decode(const nlohmann::json& json);

    // https (exactly) to the vendor host or "www." + the vendor host.
    bool isTrustedDownload() const;

    friend bool operator==(const UpdateInfo&, const UpdateInfo&) = default;
};

}  // namespace lw
