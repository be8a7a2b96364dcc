#include "NetProbe.h"

#include <memory>

#include "KELResMgr/ModuleState.h"
#include "KELResMgr/settings/Config.h"

#if defined(_WIN32)
#define PROBE_API __declspec(dllexport)
#else
#define PROBE_API __attribute__((visibility("default")))
#endif

namespace {

// The module state of this load, as the library's own lifetime object makes it.
struct ProbeLifetime {
    std::shared_ptr<kel::ModuleState> state = kel::CreateModuleState();
};
ProbeLifetime g_lifetime;

}  // namespace

extern "C" {

PROBE_API int ProbeDownload(const char* remote_path, const char* local_path) {
    try {
        return kel::Module().downloads.DownloadFileByHttp(remote_path, local_path);
    } catch (...) {
        return -1;
    }
}

PROBE_API const void* ProbeSession() {
    return kel::Module().downloads.session();
}

PROBE_API const void* ProbeConnection() {
    return kel::Module().downloads.connection();
}

PROBE_API void ProbeSetTestMode(bool on) {
    kel::SetTestModeFlag(on);
}
}
