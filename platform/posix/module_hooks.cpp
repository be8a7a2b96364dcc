// The shared object's constructor and destructor are the module's load and unload.
#include "platform/module_hooks.h"

namespace {

__attribute__((constructor)) void LoadModule() {
    kel::OnModuleLoad();
}

__attribute__((destructor)) void UnloadModule() {
    kel::OnModuleUnload();
}

}  // namespace
