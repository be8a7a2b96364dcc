// A moment in the local time zone, with the C library's thread-safe conversion of each system.
#pragma once

#include <ctime>

namespace kel::tool {

// time's calendar fields in the local time zone into *local; false when the system cannot
// convert it.
bool ToLocalTime(std::time_t time, std::tm* local);

}  // namespace kel::tool
