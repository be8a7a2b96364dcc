#include "KELResMgr/settings/LocalFolders.h"

#include <cstring>

#include "KELResMgr/ModuleState.h"
#include "KELResMgr/base/ResTrace.h"
#include "platform/app_data_folders.h"
#include "platform/file_ops.h"
#include "platform/path.h"
#include "platform/private_folder.h"

namespace kel {
namespace {

constexpr char kFn[] = "[ResourcesFolder] ";

// When neither application-data folder can be had, the tree goes to a folder of this user in the
// temporary folder rather than to "/Resources/" at the root of the file system. Empty when not
// even a private folder can be made there.
std::string FallbackAppDataFolder() {
    const platform::UserTempFolder folder = platform::MakeUserTempFolder(kAppFolderName);
    if (!folder.rejected.empty()) {
        KEL_TRACE(kFn, "the shared temporary folder of this user %s; using %s for this load",
                  folder.rejected.c_str(), folder.path.empty() ? "nothing" : folder.path.c_str());
    }
    return folder.path;
}

std::string ComputeResourcesFolder() {
    char buffer[kMaxPath];
    AppDataFolder(buffer);  // its result is not needed: a path that could not be made still names
                            // where the tree belongs
    std::string folder = buffer;
    if (folder.empty()) {
        folder = FallbackAppDataFolder();
        if (folder.empty()) {
            return {};  // not kept: the next use tries again
        }
    }
    return platform::WithTrailingSeparator(platform::JoinPath(folder, kResourcesFolderName));
}

// A resources folder path that lost the race to be kept. A private fallback folder made for it
// is empty and belongs to nobody else: remove it. Any other folder is not empty or not ours, and
// stays.
void DiscardResourcesFolder(const std::string& lost) {
    const std::string app_folder =
        lost.substr(0, lost.size() - std::strlen(kResourcesFolderName) - 2);
    platform::RemoveEmptyFolder(app_folder);
}

}  // namespace

bool AppDataFolder(char* buffer) {
    if (buffer == nullptr) {
        return false;
    }
    buffer[0] = '\0';
    std::string base = platform::SpecialFolderPath(platform::SpecialFolder::kCommonAppData);
    if (base.empty()) {
        base = platform::SpecialFolderPath(platform::SpecialFolder::kAppData);
    }
    if (base.empty()) {
        return false;
    }
    const std::string folder = platform::JoinPath(base, kAppFolderName);
    if (folder.size() >= kMaxPath) {
        return false;  // does not fit the buffer; the caller falls back as for no base folder
    }
    std::memcpy(buffer, folder.c_str(), folder.size() + 1);
    if (platform::KindOf(folder) != platform::PathKind::kMissing) {
        return true;
    }
    return platform::CreateOneFolder(folder);
}

std::string ResourcesFolder() {
    return Module().resources_folder.Get(ComputeResourcesFolder, DiscardResourcesFolder);
}

bool PathExists(const std::string& candidate, bool as_folder) {
    std::string path = candidate;
    if (path.empty()) {
        return false;
    }
    if (platform::IsPathSeparator(path.back())) {
        path.pop_back();
    }
    const platform::PathKind kind = platform::KindOf(path);
    if (kind == platform::PathKind::kMissing) {
        return false;
    }
    return (kind == platform::PathKind::kFolder) == as_folder;
}

void CreateUserFolderIn(const char* name) {
    const std::string folder = ResourcesFolder();
    if (folder.empty()) {
        return;  // no folder of this user could be had
    }
    if (!PathExists(folder, true)) {
        platform::CreateOneFolder(folder.substr(0, folder.size() - 1));
    }
    platform::CreateOneFolder(folder + (name != nullptr ? name : ""));
}

}  // namespace kel
