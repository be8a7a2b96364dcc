// The library (libKELResMgr.so, KELResMgr.dll), loaded at run time the way the client loads it.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "KELResMgr.h"
#include "tools/kelres/module_loader.h"

namespace kel::tool {

// The library cannot be found, loaded, or lacks an export. The message names the file.
class LibraryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

using loader::kLibraryFileName;

// Where kelres looks for the library, in this order: the path given with --library, the
// environment variable KELRES_LIBRARY, the folder of the kelres program, and (not on Windows,
// where the library is installed beside the program) the installed library folder next to the
// program's. Throws LibraryError naming every place it looked.
std::string FindLibrary(const std::optional<std::string>& given);

// One loaded copy of the library and its exports. The exports may be called from any
// thread while this object lives. Unloading (the destructor) is safe only when no download
// worker of the library runs any more (see Context::workers_may_run).
class ResMgrLibrary {
  public:
    // Loads the file at path (dlopen, LoadLibraryA) and resolves every export (dlsym,
    // GetProcAddress); throws LibraryError.
    explicit ResMgrLibrary(const std::string& path);
    ~ResMgrLibrary();
    ResMgrLibrary(const ResMgrLibrary&) = delete;
    ResMgrLibrary& operator=(const ResMgrLibrary&) = delete;

    const std::string& path() const { return path_; }

#define KELRES_EXPORT_MEMBER(name) PFN_##name name = nullptr;
    KELRES_EXPORTS(KELRES_EXPORT_MEMBER)
#undef KELRES_EXPORT_MEMBER

  private:
    template <class Function>
    void Resolve(const char* name, Function& function);

    std::string path_;
    void* handle_ = nullptr;
};

// A private folder holding a copy of the library with a given settings file beside it as
// "Tessel.ini": the library reads its settings only from its own folder, so this is how one
// process runs it with settings of its choice. The folder is removed when the object goes.
class PrivateLibraryFolder {
  public:
    // Throws LibraryError (the library cannot be copied) or CommandError (settings unreadable).
    PrivateLibraryFolder(const std::string& library, const std::string& settings_file);
    ~PrivateLibraryFolder();
    PrivateLibraryFolder(const PrivateLibraryFolder&) = delete;
    PrivateLibraryFolder& operator=(const PrivateLibraryFolder&) = delete;

    std::string library_path() const {
        return (std::filesystem::path(folder_) / kLibraryFileName).string();
    }

  private:
    std::string folder_;
};

}  // namespace kel::tool
