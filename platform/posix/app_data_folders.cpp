#include "platform/app_data_folders.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace kel::platform {
namespace {

// The folder made if missing; empty when it is neither there nor creatable.
std::string Ensure(const std::string& path) {
    if (path.empty()) {
        return {};
    }
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec) ? path : std::string();
}

std::string CommonAppData() {
    if (const char* configured = std::getenv("KELRES_COMMON_APPDATA")) {
        return Ensure(configured);
    }
    const std::string system_folder = "/var/lib";
    if (access(system_folder.c_str(), W_OK | X_OK) != 0) {
        return {};
    }
    return Ensure(system_folder);
}

std::string UserAppData() {
    const char* data_home = std::getenv("XDG_DATA_HOME");
    if (data_home != nullptr && data_home[0] != '\0') {
        return Ensure(data_home);
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        return {};
    }
    return Ensure(std::string(home) + "/.local/share");
}

}  // namespace

std::string SpecialFolderPath(SpecialFolder folder) {
    return folder == SpecialFolder::kCommonAppData ? CommonAppData() : UserAppData();
}

}  // namespace kel::platform
