#include "tools/kelres/res_id.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace kel::tool {
namespace {

constexpr std::size_t kTextLength = 16;

// The value of two or eight hex digits; nullopt on any other character. from_chars alone would
// accept a leading sign.
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
    id.number = *number;
    return id;
}

std::string ResIdText(const ResID& id) {
    char text[kTextLength + 1];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%08X", id.bytes[0], id.bytes[1], id.bytes[2],
                  id.bytes[3], static_cast<unsigned>(id.number));
    return text;
}

bool IsReservedResId(const ResID& id) {
    const std::string text = ResIdText(id);
    return text == "FFFFFFFFFFFFFFFF" || text == "FFFFFFFFFFFFFFFE";
}

std::string PackageServerPath(const std::string& text) {
    std::string path;
    for (std::size_t i = 0; i < 8; i += 2) {
        path += text.substr(std::min(i, text.size()), 2) + "/";
    }
    return path + text + ".tsl";
}

}  // namespace kel::tool
