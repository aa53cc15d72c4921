#include "platform/HttpSession.h"

#include <curl/curl.h>

#include <cmath>
#include <memory>
#include <mutex>

namespace lw {

namespace {

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
    std::string body;
    std::size_t limit;
    bool overflow = false;
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const std::size_t n = size * count;
    if (sink->body.size() + n > sink->limit) {
        sink->overflow = true;
        return 0;  // aborts the transfer
    }
    sink->body.append(data, n);
    return n;
}

}  // namespace

HttpSession::HttpSession() : HttpSession(Options{}) {}

HttpSession::HttpSession(Options options) : options_(std::move(options)) { initCurlOnce(); }

HttpSession& HttpSession::shared() {
    static HttpSession session;
    return session;
}

HttpResponse HttpSession::get(const Url& url, double timeoutSeconds, bool ignoreCache) const {
    std::string target = url.toString();
    if (url.scheme() != "http" && url.scheme() != "https")
        throw HttpError(HttpError::Kind::badURL, target, "The address " + target + " is not an http or https URL.");
    if (options_.originOverride) target = *options_.originOverride + url.pathAndQuery();
    if (options_.maxTimeoutSeconds) timeoutSeconds = std::min(timeoutSeconds, *options_.maxTimeoutSeconds);

    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) throw HttpError(HttpError::Kind::transport, url.toString(), "Could not start a network request.");
    Sink sink{{}, options_.maxBodyBytes};
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_slist* headers = nullptr;
    if (ignoreCache) {
        headers = curl_slist_append(headers, "Cache-Control: no-cache");
        headers = curl_slist_append(headers, "Pragma: no-cache");
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(headers, &curl_slist_free_all);

    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max(1.0, std::ceil(timeoutSeconds * 1000))));
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "Lotwright");
    if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);

    CURLcode rc = curl_easy_perform(h);
    const std::string shown = url.toString();
    if (sink.overflow)
        throw HttpError(HttpError::Kind::bodyTooLarge, shown,
                        "The response from " + shown + " is larger than " + std::to_string(sink.limit) + " bytes.");
    if (rc == CURLE_OPERATION_TIMEDOUT)
        throw HttpError(HttpError::Kind::timedOut, shown, "The request to " + shown + " timed out.");
    if (rc != CURLE_OK) {
        std::string detail = errorText[0] ? errorText : curl_easy_strerror(rc);
        throw HttpError(HttpError::Kind::transport, shown, "Could not load " + shown + ": " + detail);
    }
    HttpResponse response;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.statusCode);
    response.body = std::move(sink.body);
    return response;
}

}  // namespace lw
