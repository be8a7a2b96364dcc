// The application-data folders of the machine and of the user.
#pragma once

#include <string>

namespace kel::platform {

enum class SpecialFolder {
    kCommonAppData = 35,  // shared by all users of the machine
    kAppData = 26,        // the current user's
};

// The folder's path, created if missing; empty when it cannot be had.
//  - all users: $KELRES_COMMON_APPDATA when set (set but empty: cannot be had), else /var/lib
//    when this process may create folders there;
//  - the user: $XDG_DATA_HOME when set and not empty, else $HOME/.local/share.
std::string SpecialFolderPath(SpecialFolder folder);

}  // namespace kel::platform
