#include "platform/module_thread.h"

#include <windows.h>

#include <memory>

namespace {

struct ThreadStart {
    void (*proc)(void*);
    void* arg;
    HMODULE module;  // a reference that keeps the module loaded; null when it could not be had
};

DWORD WINAPI RunModuleThread(LPVOID raw) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(raw));
    start->proc(start->arg);
    const HMODULE module = start->module;
    start.reset();
    // The module's code has returned. Releasing the last reference may unload it, so the release
    // and the end of the thread are one call that never returns into the module.
    if (module != nullptr) {
        FreeLibraryAndExitThread(module, 0);
    }
    return 0;
}

// A new reference to the module containing address; null when there is none.
HMODULE PinModule(const void* address) {
    HMODULE module = nullptr;
    if (address == nullptr || !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                                  static_cast<LPCSTR>(address), &module)) {
        return nullptr;
    }
    return module;
}

}  // namespace

extern "C" int KelStartModuleThread(void (*proc)(void*), void* arg, const void* module_address) {
    if (proc == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    auto start = std::make_unique<ThreadStart>(ThreadStart{proc, arg, PinModule(module_address)});
    const HANDLE thread = CreateThread(nullptr, 0, &RunModuleThread, start.get(), 0, nullptr);
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        if (start->module != nullptr) {
            FreeLibrary(start->module);
        }
        return error != 0 ? static_cast<int>(error) : ERROR_NOT_ENOUGH_MEMORY;
    }
    start.release();  // the thread owns it now
    CloseHandle(thread);
    return 0;
}
