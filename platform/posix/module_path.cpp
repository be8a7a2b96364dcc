#include "platform/module_path.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

namespace kel::platform {

std::string ModuleFilePath(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
        return {};
    }
    // dladdr gives the name the module was loaded under, which may be relative to a working
    // directory that has changed since; resolve it while it still names the file.
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) != nullptr) {
        return resolved;
    }
    return info.dli_fname;
}

}  // namespace kel::platform
