// The names Windows stores as given, judged on any platform (no system call): the Windows file
// layer refuses the others, and a package checked elsewhere meets the same rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kel::platform {

// Why Windows would not store one level of an entry name under that very name.
enum class WindowsNameFault {
    kNone,
    kEmpty,
    kDevice,              // CON, PRN, AUX, NUL, COM1-9, LPT1-9, COM and LPT with a superscript
                          // digit (¹ ² ³), any case, with any extension and blanks before it:
                          // opens the device instead of a file
    kStream,              // a ':' opens a stream of another file
    kTrailingDotOrBlank,  // dropped by the system, so the name lands on another one
    kCharacter,           // a control character or one of <>"|?*
};

// The fault of one level (no separator; "." and ".." are the caller's to skip). The rule is
// about ASCII characters, so it reads a UTF-8 level and an 8-bit one alike, and the UTF-16 name
// that the system is given (on Windows) in the same way; besides them only the superscript
// digits of a device name (U+00B9, U+00B2, U+00B3), which a UTF-8 level holds as two bytes
// each (an 8-bit level of the ANSI code page is judged so on Windows, as the UTF-16 name).
WindowsNameFault FindWindowsNameFault(std::string_view level);
WindowsNameFault FindWindowsNameFault(std::wstring_view level);

inline bool IsStorableOnWindows(std::string_view level) {
    return FindWindowsNameFault(level) == WindowsNameFault::kNone;
}
inline bool IsStorableOnWindows(std::wstring_view level) {
    return FindWindowsNameFault(level) == WindowsNameFault::kNone;
}

// The unit as NTFS compares names, where case is ignored: its simple uppercase mapping in the
// Unicode data (UnicodeData.txt, the table written at build time), which is what the upcase
// table of an NTFS volume holds; a unit without one, a surrogate among them, is its own. Two
// names are one on Windows when they have as many units and these are equal unit by unit.
std::uint16_t UpperCaseUnit(std::uint16_t unit);

// For tests: how many units of the table have a mapping of their own.
std::size_t UpperCaseMappedUnitsForTests();

}  // namespace kel::platform
