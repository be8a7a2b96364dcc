// Names that two processes sharing a folder will not both pick.
#pragma once

#include <cstdio>
#include <random>
#include <string>

namespace kel {

// 8 random lower-case hex digits. Callers create the name exclusively and pick again when it is
// taken, so the digits need only make a clash rare, not impossible.
inline std::string RandomHexDigits() {
    std::random_device random;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(random()));
    return digits;
}

}  // namespace kel
