// CResManager: the network worker of the library. One module-wide instance serves every
// download and keeps its session and connection to the media server between downloads; each
// upload makes an instance of its own.
#pragma once

#include <string>

namespace kel {

class CResManager {
  public:
    CResManager();
    ~CResManager();
    CResManager(const CResManager&) = delete;
    CResManager& operator=(const CResManager&) = delete;

    // Fetches remote_path (folders joined by '/' or '\', no leading '/') from the media server
    // into local_path. 0 stored; 102 internet error; 120 no media server configured; 121 status
    // not 200 or unreadable; 122 the local file cannot be created. Any thread; many at once.
    int DownloadFileByHttp(const std::string& remote_path, const std::string& local_path);

    // Stores local_file on the FTP server in its folder chain; a KELRES_UPLOAD_* code.
    int UploadFileByFtp(const char* local_file);
};

}  // namespace kel
