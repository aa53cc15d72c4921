#pragma once
// A web address split into its parts (RFC 3986), and file URLs for paths.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lw {

class Url {
public:
    // Absolute ("https://host/path") or relative ("downloads/a.json") references. Refuses text
    // with spaces, control characters or a malformed authority.
    static std::optional<Url> parse(std::string_view text);

    const std::string& toString() const { return text_; }
    // Empty when absent. The host is as written (brackets of an IPv6 literal removed).
    const std::string& scheme() const { return scheme_; }
    const std::string& host() const { return host_; }
    std::optional<int> port() const { return port_; }
    // Everything after the authority: path, query and fragment.
    const std::string& pathAndQuery() const { return rest_; }
    bool hasAuthority() const { return hasAuthority_; }

    friend bool operator==(const Url& a, const Url& b) { return a.text_ == b.text_; }

private:
    std::string text_;
    std::string scheme_;
    std::string host_;
    std::optional<int> port_;
    std::string rest_;
    bool hasAuthority_ = false;
};

// "file:///a%20b/c" for /a b/c (a trailing "/" when `directory`); a relative path is resolved
// against the current folder first.
std::string fileURLString(const std::filesystem::path& path, bool directory = false);
// The path of a "file:" URL (host empty or "localhost"), percent-decoded; nullopt otherwise.
std::optional<std::filesystem::path> pathFromFileURL(std::string_view text);

}  // namespace lw
