#include "KELResMgr/CatalogueQueries.h"

#include "KELResMgr/Config.h"

namespace kel::catalogue {
namespace {

bool Configured() {
    return !ReadConfig(config::kUpload, config::kWsUrl, "").empty();
}

}  // namespace

// Not built yet: not configured, or the request failed.
int GetResourceDescription(const char*, const char*, char*, uint32_t) {
    return 0;
}
bool UpdateResourceDescription(const char*, const char*, const char*) {
    return false;
}
int GetResIDState(const char*) {
    return 0;
}
int GetResourceID(const char*, const char*, char*, int32_t) {
    return Configured() ? 2 : 1;
}
int ValidResID(const char*, const char*) {
    return Configured() ? 2 : 1;
}
int InvalidResID(const char*) {
    return Configured() ? 2 : 1;
}

}  // namespace kel::catalogue
