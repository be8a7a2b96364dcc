#include "platform/windows_names.h"

#include <algorithm>

namespace kel::platform {
namespace {

bool EqualsIgnoringCase(std::string_view text, std::string_view upper) {
    return std::equal(text.begin(), text.end(), upper.begin(), upper.end(), [](char a, char b) {
        return (a >= 'a' && a <= 'z' ? static_cast<char>(a - 'a' + 'A') : a) == b;
    });
}

// The system takes these as devices whatever follows a dot, and with blanks before it.
bool IsDeviceName(std::string_view level) {
    std::string_view stem = level.substr(0, level.find('.'));
    while (!stem.empty() && stem.back() == ' ') {
        stem.remove_suffix(1);
    }
    for (const std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
        if (EqualsIgnoringCase(stem, device)) {
            return true;
        }
    }
    if (stem.size() != 4 || stem[3] < '1' || stem[3] > '9') {
        return false;
    }
    return EqualsIgnoringCase(stem.substr(0, 3), "COM") ||
           EqualsIgnoringCase(stem.substr(0, 3), "LPT");
}

}  // namespace

WindowsNameFault FindWindowsNameFault(std::string_view level) {
    if (level.empty()) {
        return WindowsNameFault::kEmpty;
    }
    if (level.back() == '.' || level.back() == ' ') {
        return WindowsNameFault::kTrailingDotOrBlank;
    }
    for (const char c : level) {
        if (c == ':') {
            return WindowsNameFault::kStream;
        }
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string_view("<>\"|?*").find(c) != std::string_view::npos) {
            return WindowsNameFault::kCharacter;
        }
    }
    return IsDeviceName(level) ? WindowsNameFault::kDevice : WindowsNameFault::kNone;
}

}  // namespace kel::platform
