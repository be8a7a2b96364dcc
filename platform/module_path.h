// Where the running module's file lies.
#pragma once

#include <string>

namespace kel::platform {

// Full path of the loaded file (shared library or program) that contains address; empty when it
// cannot be had.
std::string ModuleFilePath(const void* address);

}  // namespace kel::platform
