// The text form of a resource identifier.
#pragma once

#include <string>
#include <string_view>

#include "KELResMgr.h"

namespace kel {

// 16 upper-case hex digits: the four bytes in memory order, then the 32-bit little-endian number
// (0A 1B 2C 3D + 0000ABCD gives "0A1B2C3D0000ABCD"). Pure; any thread.
std::string ResIdText(const ResID& id);

// True for the two identifiers that requests by ResID refuse: "FFFFFFFFFFFFFFFF" and
// "FFFFFFFFFFFFFFFE" (exact, case-sensitive).
bool IsReservedResId(const std::string& text);

// The four folders a name is filed under on the servers, N[0..1]/N[2..3]/N[4..5]/N[6..7], each
// piece clamped to the name's length (empty past its end, so there are always four levels); no
// leading or trailing '/'. The upload makes this chain for its file.
std::string ServerFolderChain(std::string_view name);

// Where the media server keeps the package remote_name (T + ".tsl"): its folder chain, then the
// name itself.
std::string ServerPath(std::string_view remote_name);

}  // namespace kel
