// The seam between kelres and the system's loader: the only place that knows dlopen from
// LoadLibraryA.
#pragma once

#include <filesystem>
#include <string>

namespace kel::tool::loader {

// The library's file name on this system.
extern const char kLibraryFileName[];
// What --library defaults to, as `kelres --help` words it after "--library PATH".
extern const char kLibraryDefaultHelp[];

// Loads the library file at path; nullptr on failure, with the system's reason in *reason.
void* Open(const std::string& path, std::string* reason);
// The address of an export; nullptr when the library has none of that name.
void* Symbol(void* module, const char* name);
void Close(void* module);

// The library file at path, as --version shows it, without loading it: the file that a link
// resolves to (Linux) or the full path (Windows), and its version, "1.0.0".
struct FileVersion {
    std::string file;
    std::string version;  // empty when the file carries none; then reason says why
    std::string reason;
};
// Linux: the version in the real file's name (libKELResMgr.so.1.0.0, which the SONAME link
// libKELResMgr.so.1 and the development link libKELResMgr.so name). Windows: the file version
// of the DLL's version resource.
FileVersion ReadFileVersion(const std::string& path);

// The folder of the running kelres program; empty when the system does not tell.
std::filesystem::path ProgramFolder();

// Creates a new folder, unique and the caller's alone, whose name starts with prefix, in the
// system's temporary folder; returns its path, or empty (with the reason in *reason).
std::string MakePrivateFolder(const std::string& prefix, std::string* reason);

}  // namespace kel::tool::loader
