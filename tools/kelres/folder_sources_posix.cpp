#include <unistd.h>

#include <cstdlib>

#include "KELResMgr/settings/LocalFolders.h"
#include "platform/file_ops.h"
#include "tools/kelres/folder_sources.h"

namespace kel::tool {
namespace {

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? "unset" : "\"" + std::string(value) + "\"";
}

}  // namespace

std::string TemporaryAppDataFolder() {
    return platform::TempFolder() + kAppFolderName + "-" + std::to_string(getuid());
}

std::string CommonBaseOrigin() {
    return "  (KELRES_COMMON_APPDATA " + EnvironmentValue("KELRES_COMMON_APPDATA") +
           ", else /var/lib when writable)";
}

std::string UserBaseOrigin() {
    return "  (XDG_DATA_HOME, else ~/.local/share)";
}

}  // namespace kel::tool
