#include "KELResMgr/settings/LocalFolders.h"
#include "platform/file_ops.h"
#include "platform/path.h"
#include "tools/kelres/folder_sources.h"

namespace kel::tool {

// The user's own temporary folder: no other user shares it.
std::string TemporaryAppDataFolder() {
    return platform::JoinPath(platform::TempFolder(), kAppFolderName);
}

std::string CommonBaseOrigin() {
    return "  (the system's all-users application-data folder)";
}

std::string UserBaseOrigin() {
    return "  (the user's application-data folder)";
}

}  // namespace kel::tool
