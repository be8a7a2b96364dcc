#include "KELResMgr/base/ResId.h"

#include <algorithm>
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

std::string ServerFolderChain(std::string_view name) {
    std::string chain;
    for (std::size_t at = 0; at < 8; at += 2) {
        if (at != 0) {
            chain += '/';
        }
        chain += name.substr(std::min(at, name.size()), 2);
    }
    return chain;
}

std::string ServerPath(std::string_view remote_name) {
    return ServerFolderChain(remote_name) + "/" + std::string(remote_name);
}

}  // namespace kel
