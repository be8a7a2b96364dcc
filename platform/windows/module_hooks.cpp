// DllMain is the module's load and unload. It runs under the loader lock: the work of the two
// hooks waits for no thread and loads no library.
#include <windows.h>

#include "platform/module_hooks.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    try {
        if (reason == DLL_PROCESS_ATTACH) {
            kel::OnModuleLoad();
        } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
            // Only an unload by the host: when the process exits (reserved is not null) its other
            // threads have been stopped wherever they were, and what they held must stay as it is.
            kel::OnModuleUnload();
        }
        return TRUE;
    } catch (...) {
        return FALSE;  // the load fails; nothing crosses into the loader
    }
}
