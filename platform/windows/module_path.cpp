#include "platform/module_path.h"

#include <windows.h>

namespace kel::platform {

std::string ModuleFilePath(const void* address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCSTR>(address), &module)) {
        return {};
    }
    char buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameA(module, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};  // a cut path would name another file
    }
    return std::string(buffer, length);
}

}  // namespace kel::platform
