#include "tools/kelres/library.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "KELResMgr/Config.h"
#include "platform/file_ops.h"
#include "tools/kelres/command_line.h"

namespace kel::tool {
namespace fs = std::filesystem;

namespace {

// The folder of the running kelres program; empty when the system does not tell.
fs::path ProgramFolder() {
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : program.parent_path();
}

}  // namespace

std::string FindLibrary(const std::optional<std::string>& given) {
    if (given) {
        return *given;  // an explicit choice is used as given; loading it reports what is wrong
    }
    if (const char* configured = std::getenv("KELRES_LIBRARY");
        configured != nullptr && configured[0] != '\0') {
        return configured;
    }
    std::vector<fs::path> candidates;
    if (const fs::path folder = ProgramFolder(); !folder.empty()) {
        candidates.push_back(folder / kLibraryFileName);
        candidates.push_back(folder / KELRES_INSTALLED_LIBRARY_DIR / KELRES_INSTALLED_LIBRARY_NAME);
    }
    std::string looked;
    for (const fs::path& candidate : candidates) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) {
            return candidate.lexically_normal().string();
        }
        looked += "\n  " + candidate.lexically_normal().string();
    }
    throw LibraryError("cannot find " + std::string(kLibraryFileName) + "; looked at:" + looked +
                       "\ngive its path with --library PATH or the environment variable "
                       "KELRES_LIBRARY");
}

ResMgrLibrary::ResMgrLibrary(const std::string& path) : path_(path) {
    // RTLD_LOCAL: the exports are reached through dlsym only, as a client does. The library's
    // own dependency libKELPlatform.so is already loaded with kelres, so the library and kelres
    // share one registry of message receivers.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        throw LibraryError("cannot load the library " + path + ": " +
                           (reason != nullptr ? reason : "unknown reason"));
    }
    try {
#define KELRES_RESOLVE(name) Resolve(#name, name);
        KELRES_EXPORTS(KELRES_RESOLVE)
#undef KELRES_RESOLVE
    } catch (...) {
        dlclose(handle_);
        throw;
    }
}

ResMgrLibrary::~ResMgrLibrary() {
    dlclose(handle_);
}

template <class Function>
void ResMgrLibrary::Resolve(const char* name, Function& function) {
    void* symbol = dlsym(handle_, name);
    if (symbol == nullptr) {
        throw LibraryError("the library " + path_ + " does not export " + name +
                           ": it is not libKELResMgr.so, or of another version");
    }
    function = reinterpret_cast<Function>(symbol);
}

PrivateLibraryFolder::PrivateLibraryFolder(const std::string& library,
                                           const std::string& settings_file) {
    std::error_code ec;
    if (!fs::is_regular_file(settings_file, ec)) {
        throw CommandError("cannot read the settings file " + settings_file + ": no such file");
    }
    std::string pattern = platform::TempFolder() + "kelres-library-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw LibraryError("cannot create a private folder for the library in " +
                           platform::TempFolder());
    }
    folder_ = pattern;
    fs::copy_file(library, library_path(), ec);
    if (ec) {
        platform::SilentDelete(folder_);
        throw LibraryError("cannot copy the library " + library + " to " + folder_ + ": " +
                           ec.message());
    }
    fs::copy_file(settings_file, folder_ + "/" + config::kFileName, ec);
    if (ec) {
        platform::SilentDelete(folder_);
        throw CommandError("cannot copy the settings file " + settings_file + ": " + ec.message());
    }
}

PrivateLibraryFolder::~PrivateLibraryFolder() {
    platform::SilentDelete(folder_);
}

}  // namespace kel::tool
