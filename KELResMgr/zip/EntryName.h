// How an archive's entry name is read: which bytes name the entry, and in which encoding.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/extraction.h"

namespace kel {

class CZipArchiveReader;
struct ZipEntryInfo;

// Why a name is read as it is. Packers mark UTF-8 names in two ways, and some write UTF-8 bytes
// without marking them.
enum class NameEncoding {
    kBytes,             // no mark, and ASCII or no valid UTF-8: 8-bit text as the packer wrote it
    kUtf8Flag,          // general purpose flag bit 11: the header name is UTF-8
    kUnicodePathField,  // a Unicode path extra field (0x7075) whose CRC matches the header name
    kUnmarkedUtf8,      // no mark, but valid UTF-8 with bytes above 0x7F
};

struct EntryName {
    // Up to its first zero byte, backslashes turned into '/'. From the Unicode path field when
    // that is used, else from the header.
    std::string text;
    NameEncoding encoding = NameEncoding::kBytes;

    // True when text is to be read as UTF-8 (converted to UTF-16 for the wide calls of Windows).
    // A legacy 8-bit name is almost never valid UTF-8 once it has a byte above 0x7F, so such a
    // name is taken as UTF-8 too.
    bool IsUtf8() const { return encoding != NameEncoding::kBytes; }
    // How the file calls read text.
    platform::NameText Text() const {
        return IsUtf8() ? platform::NameText::kUtf8 : platform::NameText::kSystem;
    }
};

// True for well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text);

// The name of the reader's current entry. info: its record, as GetCurrentEntryInfo gave it.
// Every byte is untrusted: a Unicode path field is used only when its version is 1, its CRC-32
// is that of the header name and its name is valid UTF-8; the name it gives is checked by the
// caller as any other.
EntryName ReadEntryName(CZipArchiveReader& reader, const ZipEntryInfo& info);

// The name an entry's header name bytes and extra field give (the part of ReadEntryName that
// needs no archive).
EntryName DecodeEntryName(std::string_view header_name, std::uint32_t flags,
                          std::string_view extra);

}  // namespace kel
