#include "NetProbe.h"

#include <memory>
#include <optional>

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

// The fetch's causes as the operators' result codes, in the order of kel::FetchFailure.
constexpr int kCodes[] = {102, 120, 121, 122};

}  // namespace

extern "C" {

PROBE_API int ProbeDownload(const char* remote_path, const char* local_path) {
    try {
        std::optional<kel::PartFile> body;
        const kel::FetchResult fetched =
            kel::Module().downloads.DownloadFileByHttp(remote_path, local_path, body);
        if (fetched.ok()) {
            return body->Keep() ? 0 : kCodes[static_cast<int>(kel::FetchFailure::kCannotCreate)];
        }
        return kCodes[static_cast<int>(fetched.cause())];
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
