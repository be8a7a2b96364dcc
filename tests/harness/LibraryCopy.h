// A private copy of the built library, loaded for one test.
//
// Everything the library keeps (state table, cached paths, test mode, download limit) lives for
// one load, and dlopen (LoadLibraryA) of a path that is not loaded yet gives a fresh module. So
// each test copies the built library into a temporary folder of its own, writes "Tessel.ini" beside
// it when it wants settings, loads the copy and unloads it at the end.
#pragma once

#include <optional>
#include <string>

#include "KELResMgr.h"
#include "harness/TempFolder.h"

namespace kel::test {

class LibraryCopy {
  public:
    // settings: the text of "Tessel.ini" beside the copy; nullopt writes no file.
    explicit LibraryCopy(const std::optional<std::string>& settings = std::nullopt);
    ~LibraryCopy();
    LibraryCopy(const LibraryCopy&) = delete;
    LibraryCopy& operator=(const LibraryCopy&) = delete;

    const std::string& folder() const { return folder_.path(); }
#if defined(_WIN32)
    std::string library_path() const {
        return folder_ / "KELResMgr.dll";
    }
#else
    std::string library_path() const {
        return folder_ / "libKELResMgr.so";
    }
#endif
    std::string settings_path() const {
        return folder_ / "Tessel.ini";
    }
    void WriteSettings(const std::string& text) const {
        WriteFile(settings_path(), text);
    }

    bool loaded() const {
        return handle_ != nullptr;
    }
    void Unload();

#define KELRES_EXPORT_MEMBER(name) PFN_##name name = nullptr;
    KELRES_EXPORTS(KELRES_EXPORT_MEMBER)
#undef KELRES_EXPORT_MEMBER

  private:
    TempFolder folder_;
    void* handle_ = nullptr;
};

// The path of the library as built.
std::string BuiltLibraryPath();

}  // namespace kel::test
