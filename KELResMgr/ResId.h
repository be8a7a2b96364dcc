// The text form of a resource identifier.
#pragma once

#include <string>

#include "KELResMgr.h"

namespace kel {

// 16 upper-case hex digits: the four bytes in memory order, then the 32-bit little-endian number
// (0A 1B 2C 3D + 0000ABCD gives "0A1B2C3D0000ABCD"). Pure; any thread.
std::string ResIdText(const ResID& id);

// True for the two identifiers that requests by ResID refuse: "FFFFFFFFFFFFFFFF" and
// "FFFFFFFFFFFFFFFE" (exact, case-sensitive).
bool IsReservedResId(const std::string& text);

}  // namespace kel
