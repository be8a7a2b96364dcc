#include "KELResMgr/DownloadRequests.h"

namespace kel {

// Not built yet: nothing usable now.
std::string DownloadResFileEx(const std::string&, HWND, const void*, uint32_t, bool) {
    return {};
}
std::string DownloadResFile(const ResID*, HWND, const void*, uint32_t) {
    return {};
}

}  // namespace kel
