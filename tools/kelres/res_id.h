// Resource identifiers as a person types them: 16 hexadecimal digits. The text form itself, the
// other way round, is the library's own (KELResMgr/base/ResId.h, compiled into kelres).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "KELResMgr.h"
#include "KELResMgr/base/ResId.h"

namespace kel::tool {

// The ResID for exactly 16 hexadecimal digits, in either case: digits 1-8 are the four bytes in
// memory order, digits 9-16 the 32-bit number, most significant digit first. nullopt for any
// other text. ResIdText of the result gives the digits back in upper case.
std::optional<ResID> ParseResId(std::string_view text);

// The server path of a package, as the media server stores it: T[0..1]/T[2..3]/T[4..5]/T[6..7]/
// T.tsl, T the identifier text.
inline std::string PackageServerPath(const std::string& text) {
    return ServerPath(text + ".tsl");
}

}  // namespace kel::tool
