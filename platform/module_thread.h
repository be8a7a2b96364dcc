// Detached threads that run code of a dynamically loaded module.
#pragma once

#include "platform/platform_api.h"

extern "C" {
// Starts a detached thread that calls proc(arg). While it runs, the shared object containing
// module_address stays loaded even if the host unloads it; the thread releases it after proc
// has returned, from code of this never-unloaded library. Returns 0 when the thread runs, or an
// errno value; then proc is not called and nothing stays pinned.
KELPLATFORM_API int KelStartModuleThread(void (*proc)(void*), void* arg,
                                         const void* module_address);
}
