#include "platform/windows_names.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace kel::platform {
namespace {

#include "platform/upcase_table.inc"

// The rule is about ASCII characters: one unit of 8-bit text, UTF-8 or UTF-16 is taken as its
// value, so a byte or unit above 0x7F is never one of them.
template <class Char>
std::uint32_t Unit(Char c) {
    return static_cast<std::make_unsigned_t<Char>>(c);
}

template <class Char>
bool EqualsIgnoringCase(std::basic_string_view<Char> text, std::string_view upper) {
    return std::equal(text.begin(), text.end(), upper.begin(), upper.end(), [](Char a, char b) {
        const std::uint32_t unit = Unit(a);
        return (unit >= 'a' && unit <= 'z' ? unit - 'a' + 'A' : unit) == Unit(b);
    });
}

// The digit of COM1-COM9 and LPT1-LPT9, and the superscript ones Windows takes as such (¹ ² ³):
// one UTF-16 unit, or its two bytes of UTF-8.
template <class Char>
bool IsDeviceDigit(std::basic_string_view<Char> digit) {
    auto superscript = [](std::uint32_t unit) { return unit == 0xB9 || unit == 0xB2 || unit == 0xB3; };
    if (digit.size() == 1) {
        const std::uint32_t unit = Unit(digit[0]);
        return (unit >= '1' && unit <= '9') || (sizeof(Char) > 1 && superscript(unit));
    }
    return sizeof(Char) == 1 && digit.size() == 2 && Unit(digit[0]) == 0xC2 &&
           superscript(Unit(digit[1]));
}

// The system takes these as devices whatever follows a dot, and with blanks before it.
template <class Char>
bool IsDeviceName(std::basic_string_view<Char> level) {
    std::basic_string_view<Char> stem = level.substr(0, level.find(Char('.')));
    while (!stem.empty() && stem.back() == Char(' ')) {
        stem.remove_suffix(1);
    }
    for (const std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
        if (EqualsIgnoringCase(stem, device)) {
            return true;
        }
    }
    if (stem.size() < 4 || !IsDeviceDigit(stem.substr(3))) {
        return false;
    }
    return EqualsIgnoringCase(stem.substr(0, 3), "COM") ||
           EqualsIgnoringCase(stem.substr(0, 3), "LPT");
}

template <class Char>
WindowsNameFault FaultOf(std::basic_string_view<Char> level) {
    if (level.empty()) {
        return WindowsNameFault::kEmpty;
    }
    if (level.back() == Char('.') || level.back() == Char(' ')) {
        return WindowsNameFault::kTrailingDotOrBlank;
    }
    for (const Char c : level) {
        const std::uint32_t unit = Unit(c);
        if (unit == ':') {
            return WindowsNameFault::kStream;
        }
        if (unit < 0x20 || (unit < 0x80 && std::string_view("<>\"|?*").find(static_cast<char>(
                                               unit)) != std::string_view::npos)) {
            return WindowsNameFault::kCharacter;
        }
    }
    return IsDeviceName(level) ? WindowsNameFault::kDevice : WindowsNameFault::kNone;
}

}  // namespace

std::uint16_t UpperCaseUnit(std::uint16_t unit) {
    const std::uint16_t delta =
        kUpcaseDelta[kUpcaseBlockOf[unit >> kUpcaseBlockBits]]
                    [unit & ((1u << kUpcaseBlockBits) - 1)];
    return static_cast<std::uint16_t>(unit + delta);
}

std::size_t UpperCaseMappedUnitsForTests() {
    return kUpcaseMappedUnits;
}

WindowsNameFault FindWindowsNameFault(std::string_view level) {
    return FaultOf(level);
}

WindowsNameFault FindWindowsNameFault(std::wstring_view level) {
    return FaultOf(level);
}

}  // namespace kel::platform
