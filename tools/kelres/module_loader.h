// The seam between kelres and the system's loader: the only place that knows dlopen from
// LoadLibraryA.
#pragma once

#include <filesystem>
#include <string>

namespace kel::tool::loader {

// The library's file name on this system.
#if defined(_WIN32)
inline constexpr char kLibraryFileName[] = "KELResMgr.dll";
#else
inline constexpr char kLibraryFileName[] = "libKELResMgr.so";
#endif

// Loads the library file at path; nullptr on failure, with the system's reason in *reason.
void* Open(const std::string& path, std::string* reason);
// The address of an export; nullptr when the library has none of that name.
void* Symbol(void* module, const char* name);
void Close(void* module);

// The folder of the running kelres program; empty when the system does not tell.
std::filesystem::path ProgramFolder();

// Creates a new folder, unique and the caller's alone, whose name starts with prefix, in the
// system's temporary folder; returns its path, or empty (with the reason in *reason).
std::string MakePrivateFolder(const std::string& prefix, std::string* reason);

}  // namespace kel::tool::loader
