#include "KELResMgr/ResId.h"

#include <cstdint>
#include <cstring>

namespace kel {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHexByte(std::string& text, std::uint8_t value) {
    text.push_back(kHexDigits[value >> 4]);
    text.push_back(kHexDigits[value & 0x0F]);
}

}  // namespace

std::string ResIdText(const ResID& id) {
    std::string text;
    text.reserve(16);
    for (const std::uint8_t byte : id.bytes) {
        AppendHexByte(text, byte);
    }
    // The number is little-endian in memory whatever the host's byte order: read it byte by byte.
    std::uint8_t number[4];
    std::memcpy(number, &id.number, sizeof number);
    for (int i = 3; i >= 0; --i) {
        AppendHexByte(text, number[i]);
    }
    return text;
}

bool IsReservedResId(const std::string& text) {
    return text == "FFFFFFFFFFFFFFFF" || text == "FFFFFFFFFFFFFFFE";
}

}  // namespace kel
