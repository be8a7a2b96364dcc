// The names Windows stores as given, judged on any platform (no system call): the Windows file
// layer refuses the others, and a package checked elsewhere meets the same rule.
#pragma once

#include <string_view>

namespace kel::platform {

// Why Windows would not store one level of an entry name under that very name.
enum class WindowsNameFault {
    kNone,
    kEmpty,
    kDevice,              // CON, PRN, AUX, NUL, COM1-9, LPT1-9, any case, with any extension and
                          // blanks before it: opens the device instead of a file
    kStream,              // a ':' opens a stream of another file
    kTrailingDotOrBlank,  // dropped by the system, so the name lands on another one
    kCharacter,           // a control character or one of <>"|?*
};

// The fault of one level (no separator; "." and ".." are the caller's to skip). The rule is
// about ASCII characters only, so it reads a UTF-8 level and an 8-bit one alike, and the UTF-16
// name that the system is given (on Windows) in the same way.
WindowsNameFault FindWindowsNameFault(std::string_view level);
WindowsNameFault FindWindowsNameFault(std::wstring_view level);

inline bool IsStorableOnWindows(std::string_view level) {
    return FindWindowsNameFault(level) == WindowsNameFault::kNone;
}
inline bool IsStorableOnWindows(std::wstring_view level) {
    return FindWindowsNameFault(level) == WindowsNameFault::kNone;
}

}  // namespace kel::platform
