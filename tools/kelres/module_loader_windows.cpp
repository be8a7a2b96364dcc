#include <windows.h>
// after windows.h, which leaves it out with WIN32_LEAN_AND_MEAN
#include <winver.h>

#include <cstdio>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file_ops.h"
#include "tools/kelres/module_loader.h"
#include "tools/kelres/system_error_text.h"

namespace kel::tool::loader {

const char kLibraryFileName[] = "KELResMgr.dll";
const char kLibraryDefaultHelp[] =
    R"(   the library to load; default: %KELRES_LIBRARY%, else KELResMgr.dll
                   beside kelres.exe)";

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

FileVersion ReadFileVersion(const std::string& path) {
    FileVersion result;
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(path, ec);
    result.file = ec ? path : full.lexically_normal().string();
    // Reading the resource maps the file as data: none of the library's code runs.
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(result.file.c_str(), &ignored);
    if (size == 0) {
        const DWORD error = GetLastError();
        result.reason =
            error == ERROR_RESOURCE_TYPE_NOT_FOUND || error == ERROR_RESOURCE_DATA_NOT_FOUND
                ? "it has no version resource"
                : LastSystemErrorText();
        return result;
    }
    std::vector<char> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT info_size = 0;
    if (!GetFileVersionInfoA(result.file.c_str(), 0, size, block.data()) ||
        !VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &info_size) ||
        info_size < sizeof(VS_FIXEDFILEINFO) || info->dwSignature != VS_FFI_SIGNATURE) {
        result.reason = "its version resource cannot be read";
        return result;
    }
    // Major.minor.patch, and the fourth number when it is not 0.
    result.version = std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
                     std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
                     std::to_string(HIWORD(info->dwFileVersionLS));
    if (LOWORD(info->dwFileVersionLS) != 0) {
        result.version += "." + std::to_string(LOWORD(info->dwFileVersionLS));
    }
    return result;
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
