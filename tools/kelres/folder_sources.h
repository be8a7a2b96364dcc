// What differs per system in the library's folders: the fallback in the temporary folder, and
// what `kelres config` says each base folder is taken from.
#pragma once

#include <string>

namespace kel::tool {

// The application-data folder the library uses when neither base folder can be had: one in the
// temporary folder that no other user shares.
std::string TemporaryAppDataFolder();

// "  (...)": where the all-users and the user's base folders come from, as the library asks for
// them.
std::string CommonBaseOrigin();
std::string UserBaseOrigin();

}  // namespace kel::tool
