#include "tools/kelres/library.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "KELResMgr/settings/Config.h"
#include "platform/file_ops.h"
#include "tools/kelres/command_line.h"

namespace kel::tool {
namespace fs = std::filesystem;

std::string FindLibrary(const std::optional<std::string>& given) {
    if (given) {
        return *given;  // an explicit choice is used as given; loading it reports what is wrong
    }
    if (const char* configured = std::getenv("KELRES_LIBRARY");
        configured != nullptr && configured[0] != '\0') {
        return configured;
    }
    std::vector<fs::path> candidates;
    if (const fs::path folder = loader::ProgramFolder(); !folder.empty()) {
        candidates.push_back(folder / kLibraryFileName);
#if defined(KELRES_INSTALLED_LIBRARY_DIR)
        candidates.push_back(folder / KELRES_INSTALLED_LIBRARY_DIR / KELRES_INSTALLED_LIBRARY_NAME);
#endif
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
    std::string reason;
    handle_ = loader::Open(path, &reason);
    if (handle_ == nullptr) {
        throw LibraryError("cannot load the library " + path + ": " + reason);
    }
    try {
#define KELRES_RESOLVE(name) Resolve(#name, name);
        KELRES_EXPORTS(KELRES_RESOLVE)
#undef KELRES_RESOLVE
    } catch (...) {
        loader::Close(handle_);
        throw;
    }
}

ResMgrLibrary::~ResMgrLibrary() {
    loader::Close(handle_);
}

template <class Function>
void ResMgrLibrary::Resolve(const char* name, Function& function) {
    void* symbol = loader::Symbol(handle_, name);
    if (symbol == nullptr) {
        throw LibraryError("the library " + path_ + " does not export " + name + ": it is not " +
                           kLibraryFileName + ", or of another version");
    }
    function = reinterpret_cast<Function>(symbol);
}

PrivateLibraryFolder::PrivateLibraryFolder(const std::string& library,
                                           const std::string& settings_file) {
    std::error_code ec;
    if (!fs::is_regular_file(settings_file, ec)) {
        throw CommandError("cannot read the settings file " + settings_file + ": no such file");
    }
    std::string reason;
    folder_ = loader::MakePrivateFolder("kelres-library-", &reason);
    if (folder_.empty()) {
        throw LibraryError("cannot create a private folder for the library in " +
                           platform::TempFolder() + ": " + reason);
    }
    fs::copy_file(library, library_path(), ec);
    if (ec) {
        platform::SilentDelete(folder_);
        throw LibraryError("cannot copy the library " + library + " to " + folder_ + ": " +
                           ec.message());
    }
    fs::copy_file(settings_file, fs::path(folder_) / config::kFileName, ec);
    if (ec) {
        platform::SilentDelete(folder_);
        throw CommandError("cannot copy the settings file " + settings_file + ": " + ec.message());
    }
}

PrivateLibraryFolder::~PrivateLibraryFolder() {
    platform::SilentDelete(folder_);
}

}  // namespace kel::tool
