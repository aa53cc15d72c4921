#include "core/UpdateInfo.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "core/Coding.h"

using namespace lw;

namespace {

// A one-thread HTTP/1.0 server on 127.0.0.1 that answers every request with the configured
// response (or, when `silent`, never answers).
class LoopbackServer {
public:
    LoopbackServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0)
            throw std::runtime_error("cannot listen on loopback");
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void respond(int status, std::string body) {
        std::lock_guard lock(mutex_);
        status_ = status;
        body_ = std::move(body);
    }
    void beSilent() { silent_ = true; }
    std::string lastRequest() {
        std::lock_guard lock(mutex_);
        return request_;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) continue;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                pollfd c{client, POLLIN, 0};
                if (::poll(&c, 1, 2000) <= 0) break;
                auto n = ::read(client, buf, sizeof buf);
                if (n <= 0) break;
                request.append(buf, static_cast<std::size_t>(n));
            }
            std::string response;
            {
                std::lock_guard lock(mutex_);
                request_ = request;
                response = "HTTP/1.0 " + std::to_string(status_) + " X\r\nContent-Type: application/json\r\n" +
                           "Content-Length: " + std::to_string(body_.size()) + "\r\n\r\n" + body_;
            }
            if (silent_) {
                while (!stop_) {
                    pollfd c{client, POLLIN, 0};
                    if (::poll(&c, 1, 50) > 0 && ::read(client, buf, sizeof buf) <= 0) break;
                }
            } else {
                (void)!::write(client, response.data(), response.size());
            }
            ::close(client);
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> silent_{false};
    std::mutex mutex_;
    int status_ = 200;
    std::string body_;
    std::string request_;
};

HttpSession sessionFor(const LoopbackServer& server, double maxTimeout = 5) {
    HttpSession::Options options;
    options.originOverride = server.origin();
    options.maxTimeoutSeconds = maxTimeout;
    return HttpSession(options);
}

}  // namespace

TEST(ProductTest, IdentityTexts) {
    struct Case {
        Product product;
        const char* raw;
        const char* display;
    };
    const Case cases[] = {{Product::family, "lotwright", "Lotwright"},
                          {Product::realEstate, "gablewise", "Eavesmark"},
                          {Product::texture, "mapforge", "Mapforge Lite"},
                          {Product::podcast, "castloom", "Castloom"}};
    ASSERT_EQ(allProducts().size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(allProducts()[i], cases[i].product);
        EXPECT_EQ(rawValue(cases[i].product), cases[i].raw);
        EXPECT_EQ(displayName(cases[i].product), cases[i].display);
        EXPECT_EQ(productFromRawValue(cases[i].raw), cases[i].product);
        auto feed = UpdateInfo::feedURL(cases[i].product);
        EXPECT_EQ(feed.toString(), std::string(UpdateInfo::kFeedBase) + downloadName(cases[i].product) + ".json");
        EXPECT_EQ(feed.scheme(), "https");
    }
    EXPECT_FALSE(productFromRawValue("Gablewise").has_value());
}

TEST(UpdateInfoTest, TrustedDownloads) {
    struct Case {
        const char* url;
        bool trusted;
    };
    const Case cases[] = {{"https://lotwright.app/downloads/Eavesmark-2.0.zip", true},
                          {"https://www.lotwright.app/a.zip", true},
                          {"https://lotwright.app:443/a.zip", true},
                          {"http://lotwright.app/a.zip", false},
                          {"HTTPS://lotwright.app/a.zip", false},
                          {"https://evil.example/lotwright.app", false},
                          {"https://lotwright.app.evil.example/a.zip", false},
                          {"https://lotwright.app@evil.example/a.zip", false},
                          {"https://download.lotwright.app/a.zip", false},
                          {"lotwright.app/a.zip", false},
                          {"https:///a.zip", false},
                          {"https:lotwright.app", false}};
    for (const auto& c : cases) {
        auto url = Url::parse(c.url);
        ASSERT_TRUE(url) << c.url;
        UpdateInfo info{"1.0", 1, *url, std::nullopt};
        EXPECT_EQ(info.isTrustedDownload(), c.trusted) << c.url;
    }
}

TEST(UpdateInfoTest, FetchDecodesTheFeed) {
    LoopbackServer server;
    server.respond(200, R"({"version":"2.1","build":210,"url":"https://lotwright.app/d/E.zip","notes":"Faster."})");
    auto info = UpdateInfo::fetch(Product::realEstate, sessionFor(server));
    EXPECT_EQ(info.version, "2.1");
    EXPECT_EQ(info.build, 210);
    EXPECT_EQ(info.url.toString(), "https://lotwright.app/d/E.zip");
    EXPECT_EQ(info.notes, "Faster.");
    EXPECT_TRUE(info.isTrustedDownload());
    EXPECT_NE(server.lastRequest().find("GET /downloads/Eavesmark.json "), std::string::npos) << server.lastRequest();

    server.respond(200, R"({"version":"2.1","build":210,"url":"https://lotwright.app/d/E.zip"})");
    EXPECT_FALSE(UpdateInfo::fetch(Product::realEstate, sessionFor(server)).notes.has_value());
}

TEST(UpdateInfoTest, FetchFailures) {
    struct Case {
        int status;
        std::string body;
        bool decoding;  // else an HttpError
        HttpError::Kind kind;
    };
    const Case cases[] = {
        {404, "not found", false, HttpError::Kind::badServerResponse},
        {500, R"({"version":"1","build":1,"url":"https://lotwright.app/"})", false, HttpError::Kind::badServerResponse},
        {200, "<html>", true, {}},
        {200, "", true, {}},
        {200, R"({"version":"1","build":1,"url":"https://lotwright.app/)", true, {}},  // truncated
        {200, R"({"version":1,"build":1,"url":"https://lotwright.app/"})", true, {}},
        {200, R"({"version":"1","build":"1","url":"https://lotwright.app/"})", true, {}},
        {200, R"({"version":"1","url":"https://lotwright.app/"})", true, {}},
        {200, R"({"version":"1","build":1,"url":"not a url"})", true, {}},
        {200, R"([1,2,3])", true, {}},
    };
    LoopbackServer server;
    for (const auto& c : cases) {
        server.respond(c.status, c.body);
        try {
            UpdateInfo::fetch(Product::texture, sessionFor(server));
            ADD_FAILURE() << "no error for " << c.status << " " << c.body;
        } catch (const HttpError& e) {
            EXPECT_FALSE(c.decoding) << c.body << ": " << e.what();
            EXPECT_EQ(e.kind, c.kind);
            EXPECT_EQ(e.statusCode, c.status);
            EXPECT_NE(std::string(e.what()).find("MapforgeLite.json"), std::string::npos) << e.what();
        } catch (const DecodingError& e) {
            EXPECT_TRUE(c.decoding) << c.body << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find("MapforgeLite.json"), std::string::npos) << e.what();
        }
    }
}

TEST(UpdateInfoTest, TimeoutsAndRefusedConnectionsAreTransportErrors) {
    LoopbackServer server;
    server.beSilent();
    try {
        UpdateInfo::fetch(Product::podcast, sessionFor(server, 0.3));
        ADD_FAILURE() << "no timeout";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind, HttpError::Kind::timedOut) << e.what();
    }

    int port;
    {
        LoopbackServer closed;
        port = std::stoi(closed.origin().substr(closed.origin().rfind(':') + 1));
    }
    HttpSession::Options options;
    options.originOverride = "http://127.0.0.1:" + std::to_string(port);
    try {
        UpdateInfo::fetch(Product::podcast, HttpSession(options));
        ADD_FAILURE() << "no error";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind, HttpError::Kind::transport) << e.what();
    }
}

TEST(UpdateInfoTest, OversizedBodyIsRefused) {
    LoopbackServer server;
    server.respond(200, std::string(64 * 1024, ' '));
    HttpSession::Options options;
    options.originOverride = server.origin();
    options.maxBodyBytes = 1024;
    try {
        UpdateInfo::fetch(Product::podcast, HttpSession(options));
        ADD_FAILURE();
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind, HttpError::Kind::bodyTooLarge) << e.what();
    }
}
