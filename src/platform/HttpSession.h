#pragma once
// Blocking HTTP(S) GET over libcurl.
#include <cstddef>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Url.h"

namespace lw {

class HttpError : public Error {
public:
    enum class Kind { badURL, transport, timedOut, badServerResponse, bodyTooLarge };
    HttpError(Kind kind, std::string url, const std::string& message, long statusCode = 0)
        : Error(message), kind(kind), url(std::move(url)), statusCode(statusCode) {}
    Kind kind;
    std::string url;
    long statusCode;  // the HTTP status for badServerResponse, else 0
};

struct HttpResponse {
    long statusCode = 0;
    std::string body;
};

class HttpSession {
public:
    struct Options {
        // Sends every request to this origin ("http://127.0.0.1:8080") instead of the URL's own
        // scheme, host and port; the path and query are kept. For tests and local mirrors.
        std::optional<std::string> originOverride;
        // Caps every request's timeout (seconds).
        std::optional<double> maxTimeoutSeconds;
        // Larger bodies fail with bodyTooLarge.
        std::size_t maxBodyBytes = 8 * 1024 * 1024;
    };

    HttpSession();
    explicit HttpSession(Options options);
    static HttpSession& shared();

    // GET with a whole-request timeout. Follows up to 5 redirects over http/https. No response
    // cache is kept; `ignoreCache` also asks intermediaries not to answer from theirs. Throws
    // HttpError for transport failures and time-outs; any HTTP status is returned.
    HttpResponse get(const Url& url, double timeoutSeconds, bool ignoreCache = true) const;

private:
    Options options_;
};

}  // namespace lw
