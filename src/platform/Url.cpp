#include "platform/Url.h"

#include <cctype>

namespace lw {

namespace {

bool isSchemeChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
            c == '{' || c == '|' || c == '}')
            return std::nullopt;
    }
    Url url;
    url.text_ = std::string(text);
    std::string_view rest = text;

    // scheme ":" only when the first ":" comes before any "/", "?" or "#".
    if (std::isalpha(static_cast<unsigned char>(rest.front()))) {
        std::size_t i = 1;
        while (i < rest.size() && isSchemeChar(rest[i])) ++i;
        if (i < rest.size() && rest[i] == ':') {
            url.scheme_ = std::string(rest.substr(0, i));
            rest.remove_prefix(i + 1);
        }
    }
    if (rest.substr(0, 2) == "//") {
        url.hasAuthority_ = true;
        rest.remove_prefix(2);
        std::size_t end = rest.find_first_of("/?#");
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
        std::string_view portText;
        if (!authority.empty() && authority.front() == '[') {
            auto close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            url.host_ = std::string(authority.substr(1, close - 1));
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') return std::nullopt;
                portText = after.substr(1);
            }
        } else {
            auto colon = authority.rfind(':');
            if (colon != std::string_view::npos) {
                portText = authority.substr(colon + 1);
                authority = authority.substr(0, colon);
            }
            if (authority.find_first_of("[]") != std::string_view::npos) return std::nullopt;
            url.host_ = std::string(authority);
        }
        if (!portText.empty()) {
            int port = 0;
            for (char c : portText) {
                if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
                port = port * 10 + (c - '0');
                if (port > 65535) return std::nullopt;
            }
            url.port_ = port;
        }
    }
    url.rest_ = std::string(rest);
    return url;
}

std::string fileURLString(const std::filesystem::path& path, bool directory) {
    static const char* hex = "0123456789ABCDEF";
    std::string out = "file://";
    std::string p = path.string();
    if (!p.empty() && p.front() != '/') {
        // A relative path names a place under the current folder, as when it was given.
        std::error_code ec;
        auto absolute = std::filesystem::absolute(path, ec);
        if (!ec) p = absolute.string();
    }
    if (p.empty() || p.front() != '/') p = "/" + p;
    if (directory && p.back() != '/') p += '/';
    for (unsigned char c : p) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~' || c == '!' || c == '$' ||
            c == '&' || c == '\'' || c == '(' || c == ')' || c == '*' || c == '+' || c == ',' || c == ';' ||
            c == '=' || c == ':' || c == '@') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::optional<std::filesystem::path> pathFromFileURL(std::string_view text) {
    constexpr std::string_view prefix = "file://";
    if (text.size() < prefix.size()) return std::nullopt;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return std::nullopt;
    std::string_view rest = text.substr(prefix.size());
    std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view host = rest.substr(0, slash);
    if (!host.empty() && host != "localhost") return std::nullopt;
    rest.remove_prefix(slash);
    if (auto q = rest.find_first_of("?#"); q != std::string_view::npos) rest = rest.substr(0, q);
    std::string decoded;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%') {
            if (i + 2 >= rest.size()) return std::nullopt;
            int hi = hexValue(rest[i + 1]), lo = hexValue(rest[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            char c = static_cast<char>(hi * 16 + lo);
            if (c == '\0') return std::nullopt;
            decoded += c;
            i += 2;
        } else {
            decoded += rest[i];
        }
    }
    if (decoded.size() > 1 && decoded.back() == '/') decoded.pop_back();
    return std::filesystem::path(decoded);
}

}  // namespace lw
