#include "platform/Url.h"

#include <gtest/gtest.h>

using namespace lw;

TEST(UrlTest, SplitsParts) {
    struct Case {
        const char* text;
        const char* scheme;
        const char* host;
        std::optional<int> port;
        const char* rest;
    };
    const Case cases[] = {
        {"https://lotwright.app/downloads/a.json?x=1#f", "https", "lotwright.app", std::nullopt, "/downloads/a.json?x=1#f"},
        {"http://user:pw@example.com:8080", "http", "example.com", 8080, ""},
        {"https://[::1]:443/p", "https", "::1", 443, "/p"},
        {"https://a.example@b.example/p", "https", "b.example", std::nullopt, "/p"},
        {"downloads/a.json", "", "", std::nullopt, "downloads/a.json"},
        {"mailto:someone@example.com", "mailto", "", std::nullopt, "someone@example.com"},
    };
    for (const auto& c : cases) {
        auto url = Url::parse(c.text);
        ASSERT_TRUE(url) << c.text;
        EXPECT_EQ(url->scheme(), c.scheme) << c.text;
        EXPECT_EQ(url->host(), c.host) << c.text;
        EXPECT_EQ(url->port(), c.port) << c.text;
        EXPECT_EQ(url->pathAndQuery(), c.rest) << c.text;
        EXPECT_EQ(url->toString(), c.text);
    }
    for (const char* bad : {"", "https://a b/", "https://host:99999/", "https://host:x/", "https://[::1/",
                            "line\nbreak", "https://a.example/{x}"})
        EXPECT_FALSE(Url::parse(bad)) << bad;
}

TEST(UrlTest, FileUrlsRoundTrip) {
    for (const char* path : {"/tmp/plain", "/tmp/with space/ünï#?%.txt", "/"}) {
        auto text = fileURLString(path);
        EXPECT_EQ(text.rfind("file:///", 0), 0u) << text;
        EXPECT_EQ(text.find(' '), std::string::npos);
        EXPECT_EQ(pathFromFileURL(text), std::filesystem::path(path)) << text;
    }
    EXPECT_EQ(fileURLString("/a/b", true), "file:///a/b/");
    EXPECT_EQ(pathFromFileURL("file:///a/b/"), std::filesystem::path("/a/b"));
    EXPECT_EQ(pathFromFileURL("file://localhost/a"), std::filesystem::path("/a"));
    for (const char* bad : {"/a/b", "file://remote/a", "https://x/a", "file:///a%2", "file:///a%zz", "file:///a%00b"})
        EXPECT_FALSE(pathFromFileURL(bad)) << bad;
}
