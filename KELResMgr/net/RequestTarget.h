// Request targets that cannot break an HTTP request.
#pragma once

#include <string>
#include <string_view>

namespace kel::net {

// text with every byte that cannot stand in an HTTP request target percent-encoded: control
// bytes (CR and LF above all), blanks, bytes above 0x7E, and '#', which would end the target.
// Every other byte, '%', '&', '=', '?' and '/' included, passes unchanged, so text that is
// already encoded stays as it is.
std::string EncodeRequestTarget(std::string_view text);

}  // namespace kel::net
