// Entry names as the file systems of the clients take them, judged on any platform: a package
// checked on Linux meets the Windows rules as much as one checked on Windows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/windows_names.h"

namespace kel {

// The Windows rule for one level, in the platform layer so that its Windows half uses it too.
using platform::FindWindowsNameFault;
using platform::IsStorableOnWindows;
using platform::WindowsNameFault;

// What IsSafeEntryName refuses on every platform: a ".." level, a leading '/', a drive ("C:"),
// more than kMaxEntryNameLength bytes or more than kMaxEntryNameDepth levels. Backslashes must
// already have become '/'.
bool IsSafeOnEveryPlatform(std::string_view name);

// The length of text in UTF-16 units, the units of Windows' path limit: a UTF-8 name (valid)
// counts one unit per character and two for one above U+FFFF; an 8-bit name is ANSI text, one
// unit per byte.
std::size_t Utf16Length(std::string_view text, bool utf8);

// The text as a case-insensitive file system compares it: upper case for ASCII and, in UTF-8
// text, for the Latin-1, Latin Extended-A, Greek and Cyrillic letters; everything else as it
// is. Two names with the same key name one file on Windows.
std::string CaseFoldKey(std::string_view text, bool utf8);

}  // namespace kel
