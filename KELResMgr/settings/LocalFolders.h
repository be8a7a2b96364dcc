// The folder tree of the library: "<application data>/Vorn Tessel/Resources/".
#pragma once

#include <cstddef>
#include <string>

namespace kel {

inline constexpr std::size_t kMaxPath = 260;  // characters, terminator included
inline constexpr char kAppFolderName[] = "Vorn Tessel";
inline constexpr char kResourcesFolderName[] = "Resources";

// Fills buffer (kMaxPath characters) with the application-data folder, base + "Vorn Tessel",
// where base is the all-users application-data folder, else the user's. True when that folder
// exists (a file of that name counts) or was created; false otherwise, also for a null buffer.
bool AppDataFolder(char* buffer);

// The resources folder path, always ending with a separator; computed once per load (creating the
// application-data folder when it is missing, but not the resources folder). Without any
// application-data folder the tree lies in the user's folder of the temporary folder (see
// platform::MakeUserTempFolder); empty, and computed again at the next call, only when not even
// that can be had. Any thread.
std::string ResourcesFolder();

// True when candidate names an existing folder (as_folder) or an existing file that is not a
// folder (!as_folder). One trailing separator is ignored; an empty path is false.
bool PathExists(const std::string& candidate, bool as_folder);

// Ensures the resources folder, then creates resources folder + name (one level only).
// Failures are silent. A null name counts as empty.
void CreateUserFolderIn(const char* name);

}  // namespace kel
