#include "tools/kelres/library_settings.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "KELResMgr/settings/Config.h"
#include "KELResMgr/settings/LocalFolders.h"
#include "platform/app_data_folders.h"
#include "platform/module_path.h"
#include "platform/path.h"
#include "platform/profile_reader.h"
#include "tools/kelres/folder_sources.h"

namespace kel::tool {
namespace {

// A default no file holds, to tell a key that is set from one that is not.
constexpr char kAbsent[] = "\x01kelres-absent\x01";

}  // namespace

const std::vector<SettingKey>& AllSettingKeys() {
    using namespace config;
    static const std::vector<SettingKey> keys = {
        {kDownload, kHttpServer, kDefaultMediaServer, "media server host (package downloads)"},
        {kDownload, kHttpPort, kDefaultHttpPort, "media server port; empty: 80"},
        {kDownload, kMaxTask, kDefaultMaxTask,
         "downloads at once; read once per load; not a number above 0: 10"},
        {kUpload, kFtpServer, "", "FTP server host (uploads); empty: uploads not configured"},
        {kUpload, kFtpPort, kDefaultFtpPort, "FTP server port; empty: 21"},
        {kUpload, kPath, "", "remote folder in front of the uploaded file's folder chain"},
        {kUpload, kWsUrl, "", "catalogue service host; empty: catalogue not configured"},
        {kUpload, kWsHttpPort, kDefaultWsHttpPort, "catalogue service port; empty: 80"},
    };
    return keys;
}

LibrarySettings::LibrarySettings(const void* library_address, bool test_mode)
    : test_mode_(test_mode) {
    // The library's rule: the settings file lies in the folder of the library file itself.
    const std::string library = platform::ModuleFilePath(library_address);
    if (!library.empty()) {
        file_ = (std::filesystem::path(library).parent_path() / config::kFileName).string();
    }
}

bool LibrarySettings::file_exists() const {
    std::error_code ec;
    return !file_.empty() && std::filesystem::is_regular_file(file_, ec);
}

std::string LibrarySettings::KeyRead(const std::string& key) const {
    return test_mode_ ? config::kTestModePrefix + key : key;
}

std::string LibrarySettings::Read(const char* section, const char* key,
                                  const char* default_value) const {
    return platform::GetPrivateProfileString(section, KeyRead(key), default_value, file_,
                                             config::kValueBufferSize);
}

std::string LibrarySettings::Value(const SettingKey& setting) const {
    return Read(setting.section, setting.key, setting.default_value);
}

bool LibrarySettings::SetInFile(const SettingKey& setting) const {
    return Read(setting.section, setting.key, kAbsent) != kAbsent;
}

// Empty ports: the library then uses the protocol's own port (media server, FTP) or "80".
std::string LibrarySettings::MediaServer() const {
    using namespace config;
    std::string port = Read(kDownload, kHttpPort, kDefaultHttpPort);
    return "http://" + Read(kDownload, kHttpServer, kDefaultMediaServer) + ":" +
           (port.empty() ? "80" : port);
}

std::string LibrarySettings::MediaServerHost() const {
    return Read(config::kDownload, config::kHttpServer, config::kDefaultMediaServer);
}

std::string LibrarySettings::FtpServer() const {
    using namespace config;
    std::string port = Read(kUpload, kFtpPort, kDefaultFtpPort);
    return "ftp://" + Read(kUpload, kFtpServer, "") + ":" + (port.empty() ? "21" : port);
}

std::string LibrarySettings::CatalogueServer() const {
    using namespace config;
    std::string port = Read(kUpload, kWsHttpPort, kDefaultWsHttpPort);
    return "http://" + Read(kUpload, kWsUrl, "") + ":" + (port.empty() ? "80" : port);
}

int LibrarySettings::DownloadLimit() const {
    constexpr int kDefaultLimit = 10;
    const std::string text = Read(config::kDownload, config::kMaxTask, config::kDefaultMaxTask);
    // strtol reads as the library does: blanks, a sign, then decimal digits up to anything else.
    const long limit = std::strtol(text.c_str(), nullptr, 10);
    if (limit <= 0) {
        return kDefaultLimit;
    }
    return limit > INT_MAX ? INT_MAX : static_cast<int>(limit);
}

LibraryFolders FindLibraryFolders() {
    LibraryFolders folders;
    folders.common_base = platform::SpecialFolderPath(platform::SpecialFolder::kCommonAppData);
    // Like the library, ask for the user's folder only when the all-users one cannot be had:
    // asking creates it.
    if (folders.common_base.empty()) {
        folders.user_base = platform::SpecialFolderPath(platform::SpecialFolder::kAppData);
    }
    const std::string& base =
        !folders.common_base.empty() ? folders.common_base : folders.user_base;
    if (!base.empty()) {
        folders.app_data = platform::JoinPath(base, kAppFolderName);
    } else {
        folders.in_temporary_folder = true;
        folders.app_data = TemporaryAppDataFolder();
    }
    folders.resources =
        platform::JoinPath(folders.app_data, kResourcesFolderName) + platform::kPathSeparator;
    return folders;
}

}  // namespace kel::tool
