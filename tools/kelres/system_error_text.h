// The text of the system's last error, for messages that name the cause.
#pragma once

#include <string>

namespace kel::tool {

// Windows: GetLastError() as FormatMessageA words it; elsewhere strerror(errno). Call it right
// after the failed call, before anything else can change the error.
std::string LastSystemErrorText();

}  // namespace kel::tool
