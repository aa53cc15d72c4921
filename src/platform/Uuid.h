#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace lw {

// RFC 4122 version 4 identifier drawn from the system CSPRNG.
// Text form: upper-case hex with hyphens, 8-4-4-4-12.
class Uuid {
public:
    Uuid();  // random v4
    static Uuid random() { return Uuid(); }
    static std::optional<Uuid> fromString(std::string_view text);  // case-insensitive
    static Uuid fromBytes(const std::array<std::uint8_t, 16>& bytes);

    std::string toString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    struct NoInit {};
    explicit Uuid(NoInit) : bytes_{} {}
    std::array<std::uint8_t, 16> bytes_;
};

}  // namespace lw

template <>
struct std::hash<lw::Uuid> {
    std::size_t operator()(const lw::Uuid& u) const noexcept {
        std::size_t h = 0;
        for (auto b : u.bytes()) h = h * 131 + b;
        return h;
    }
};
