#include <windows.h>

#include <cstdio>
#include <random>
#include <system_error>

#include "platform/file_ops.h"
#include "tools/kelres/module_loader.h"
#include "tools/kelres/system_error_text.h"

namespace kel::tool::loader {

void* Open(const std::string& path, std::string* reason) {
    // A full path, so that the file named is loaded and no other one of the same name found on
    // the search path; the library's own dependencies are then looked for in its folder first.
    std::error_code ec;
    const std::string full = std::filesystem::absolute(path, ec).string();
    HMODULE module =
        LoadLibraryExA(ec ? path.c_str() : full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        *reason = LastSystemErrorText();
    }
    return reinterpret_cast<void*>(module);
}

void* Symbol(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void Close(void* module) {
    FreeLibrary(static_cast<HMODULE>(module));
}

std::filesystem::path ProgramFolder() {
    char path[MAX_PATH] = "";
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    return std::filesystem::path(path).parent_path();
}

std::string MakePrivateFolder(const std::string& prefix, std::string* reason) {
    // The user's temporary folder is the user's own; a name nobody has taken is enough.
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        const std::string folder = platform::TempFolder() + prefix + suffix;
        if (CreateDirectoryA(folder.c_str(), nullptr)) {
            return folder;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            *reason = LastSystemErrorText();
            return {};
        }
    }
    *reason = "every name tried is taken";
    return {};
}

}  // namespace kel::tool::loader
