#include "platform/module_thread.h"

#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>
#include <memory>

namespace {

struct ThreadStart {
    void (*proc)(void*);
    void* arg;
    void* module;  // dlopen handle that keeps the module loaded; null when it could not be had
};

void* RunModuleThread(void* raw) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(raw));
    start->proc(start->arg);
    // The module's code has returned; dropping the last reference may unmap it, but this
    // function lives in a library that is never unloaded.
    if (start->module != nullptr) {
        dlclose(start->module);
    }
    return nullptr;
}

// A new reference to the loaded module containing address; null for the main program.
void* PinModule(const void* address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return nullptr;
    }
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

}  // namespace

extern "C" KELPLATFORM_API int KelStartModuleThread(void (*proc)(void*), void* arg,
                                                    const void* module_address) {
    if (proc == nullptr) {
        return EINVAL;
    }
    auto start = std::make_unique<ThreadStart>(ThreadStart{proc, arg, PinModule(module_address)});
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, RunModuleThread, start.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        if (start->module != nullptr) {
            dlclose(start->module);
        }
        return rc;
    }
    start.release();  // the thread owns it now
    return 0;
}
