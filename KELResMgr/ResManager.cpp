#include "KELResMgr/ResManager.h"

#include "KELResMgr/Config.h"

namespace kel {

CResManager::CResManager() = default;
CResManager::~CResManager() = default;

// Not built yet: every download fails as an internet error would.
int CResManager::DownloadFileByHttp(const std::string&, const std::string&) {
    return 102;
}

int CResManager::UploadFileByFtp(const char*) {
    if (ReadConfig(config::kUpload, config::kFtpServer, "").empty()) {
        return 100;
    }
    return 102;
}

}  // namespace kel
