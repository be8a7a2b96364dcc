#include "platform/app_data_folders.h"

#include <shlobj.h>
#include <windows.h>

namespace kel::platform {

std::string SpecialFolderPath(SpecialFolder folder) {
    char buffer[MAX_PATH] = "";
    if (!SHGetSpecialFolderPathA(nullptr, buffer, static_cast<int>(folder), TRUE)) {
        return {};
    }
    return buffer;
}

}  // namespace kel::platform
