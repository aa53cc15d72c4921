#include "platform/Uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

namespace lw {

namespace {
void fillRandom(std::uint8_t* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = getrandom(out + got, n - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("the system random source is unavailable");
        }
        got += static_cast<std::size_t>(r);
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

Uuid::Uuid() {
    fillRandom(bytes_.data(), bytes_.size());
    bytes_[6] = static_cast<std::uint8_t>((bytes_[6] & 0x0F) | 0x40);
    bytes_[8] = static_cast<std::uint8_t>((bytes_[8] & 0x3F) | 0x80);
}

Uuid Uuid::fromBytes(const std::array<std::uint8_t, 16>& bytes) {
    Uuid u{NoInit{}};
    u.bytes_ = bytes;
    return u;
}

std::optional<Uuid> Uuid::fromString(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::array<std::uint8_t, 16> out{};
    std::size_t k = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out[k++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
    }
    return fromBytes(out);
}

std::string Uuid::toString() const {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
        s.push_back(digits[bytes_[i] >> 4]);
        s.push_back(digits[bytes_[i] & 0xF]);
    }
    return s;
}

}  // namespace lw
