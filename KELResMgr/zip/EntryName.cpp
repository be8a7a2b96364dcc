#include "KELResMgr/zip/EntryName.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "KELResMgr/zip/InflateEngine.h"
#include "KELResMgr/zip/ZipArchiveReader.h"

namespace kel {
namespace {

constexpr std::uint32_t kUtf8Flag = 1u << 11;
constexpr std::uint32_t kUnicodePathId = 0x7075;
constexpr std::size_t kUnicodePathHeader = 5;  // version (1), CRC-32 of the header name (4)

std::uint32_t Le16(const unsigned char* p) {
    return p[0] | (std::uint32_t{p[1]} << 8);
}

std::uint32_t Le32(const unsigned char* p) {
    return Le16(p) | (Le16(p + 2) << 16);
}

// The UTF-8 name of a Unicode path field that belongs to header_name, if the extra field has one.
std::optional<std::string_view> UnicodePath(std::string_view header_name, std::string_view extra) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(extra.data());
    std::size_t at = 0;
    while (extra.size() - at >= 4) {
        const std::uint32_t id = Le16(bytes + at);
        const std::size_t size = Le16(bytes + at + 2);
        at += 4;
        if (size > extra.size() - at) {
            return std::nullopt;  // a block running past the field: trust none of it
        }
        if (id == kUnicodePathId && size >= kUnicodePathHeader && bytes[at] == 1 &&
            Le32(bytes + at + 1) == ZipCrc32(0, header_name.data(), header_name.size())) {
            const std::string_view name =
                extra.substr(at + kUnicodePathHeader, size - kUnicodePathHeader);
            if (IsValidUtf8(name)) {
                return name;
            }
        }
        at += size;
    }
    return std::nullopt;
}

bool HasHighBytes(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) > 0x7F; });
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    for (std::size_t i = 0; i < size;) {
        const unsigned char lead = p[i];
        std::size_t length = 1;
        std::uint32_t code = lead;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
        } else if (lead >= 0x80) {
            return false;  // a continuation byte, or a lead of an overlong or too large form
        }
        if (size - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
            return false;
        }
        i += length;
    }
    return true;
}

EntryName DecodeEntryName(std::string_view header_name, std::uint32_t flags,
                          std::string_view extra) {
    EntryName name;
    if (const auto unicode = UnicodePath(header_name, extra)) {
        name.text = std::string(*unicode);
        name.encoding = NameEncoding::kUnicodePathField;
    } else {
        name.text = std::string(header_name);
        if (flags & kUtf8Flag) {
            name.encoding = NameEncoding::kUtf8Flag;
        } else if (HasHighBytes(name.text) && IsValidUtf8(name.text)) {
            name.encoding = NameEncoding::kUnmarkedUtf8;
        }
    }
    name.text.resize(std::min(name.text.size(), name.text.find('\0')));
    std::replace(name.text.begin(), name.text.end(), '\\', '/');
    return name;
}

EntryName ReadEntryName(CZipArchiveReader& reader, const ZipEntryInfo& info) {
    std::vector<char> header_name(info.name_length);
    std::vector<char> extra(info.extra_length);
    reader.GetCurrentEntryInfo(nullptr, header_name.data(), header_name.size(), extra.data(),
                               extra.size(), nullptr, 0);
    return DecodeEntryName(std::string_view(header_name.data(), header_name.size()), info.flags,
                           std::string_view(extra.data(), extra.size()));
}

}  // namespace kel
