#include "tools/kelres/res_id.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace kel::tool {
namespace {

constexpr std::size_t kTextLength = 16;

// The value of two or eight hex digits; nullopt when any character is not a hex digit (from_chars
// alone would stop at such a character and keep what it had read).
template <class Value>
std::optional<Value> ParseHex(std::string_view digits) {
    for (const char c : digits) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) {
            return std::nullopt;
        }
    }
    Value value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    return value;
}

}  // namespace

std::optional<ResID> ParseResId(std::string_view text) {
    if (text.size() != kTextLength) {
        return std::nullopt;
    }
    ResID id{};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto byte = ParseHex<unsigned>(text.substr(2 * i, 2));
        if (!byte) {
            return std::nullopt;
        }
        id.bytes[i] = static_cast<uint8_t>(*byte);
    }
    const auto number = ParseHex<uint32_t>(text.substr(8, 8));
    if (!number) {
        return std::nullopt;
    }
    // The record holds the number little-endian, whatever the byte order of this machine.
    const std::uint8_t little_endian[4] = {
        static_cast<std::uint8_t>(*number), static_cast<std::uint8_t>(*number >> 8),
        static_cast<std::uint8_t>(*number >> 16), static_cast<std::uint8_t>(*number >> 24)};
    std::memcpy(&id.number, little_endian, sizeof little_endian);
    return id;
}

}  // namespace kel::tool
