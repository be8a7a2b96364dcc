#include "platform/private_folder.h"

#include <windows.h>

#include "platform/file_ops.h"
#include "platform/path.h"

namespace kel::platform {

// The temporary folder is the user's own here (in the user's profile), so the folder needs no
// user number and no check of its owner; a link in its place is still refused.
UserTempFolder MakeUserTempFolder(std::string_view name) {
    const std::string folder = TempFolder();
    if (folder.empty()) {
        return {{}, "cannot be had: no temporary folder"};
    }
    const std::string path = JoinPath(folder, name);
    CreateDirectoryA(path.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {{}, "is not a folder"};
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return {{}, "is a link"};
    }
    return {path, {}};
}

void RemoveEmptyFolder(const std::string& path) {
    if (!path.empty()) {
        RemoveDirectoryA(path.c_str());
    }
}

}  // namespace kel::platform
