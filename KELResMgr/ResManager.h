// CResManager, the network worker: the media server download and the FTP upload. One
// module-wide instance serves every download and keeps its session and connection to the media
// server between downloads; each upload makes an instance of its own.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "KELResMgr/base/Result.h"
#include "KELResMgr/download/PartFile.h"
#include "platform/annotated_mutex.h"

namespace kel {

namespace net {
class HttpConnection;
class InternetSession;
}  // namespace net

// Why a fetch from the media server failed.
enum class FetchFailure {
    kInternet,      // connecting, sending, or reading the status or body failed
    kNoServer,      // no media server configured (empty "http_server")
    kBadStatus,     // the status cannot be read or is not 200
    kCannotCreate,  // the local file cannot be created
};
using FetchResult = Result<FetchFailure>;

// Threads: DownloadFileByHttp may run on any number of threads at once on one instance;
// UploadFileByFtp uses no member and may run anywhere. Destroy the instance only when no call
// runs on it.
class CResManager {
  public:
    CResManager();
    ~CResManager();
    CResManager(const CResManager&) = delete;
    CResManager& operator=(const CResManager&) = delete;

    // Fetches remote_path (folders joined by '/' or '\', no leading '/') from the media server.
    // The whole body goes into a new part file beside local_path (named local_path + ".part-" + 8
    // random hex digits, which tools watch), held by *body for the caller to check and use: it
    // is removed with *body unless kept, and only a whole body is handed on. Nothing reaches
    // local_path itself, so a caller that reads only its own part file never sees another
    // transfer's file (another process may fetch the same resource meanwhile), and a link
    // planted there is never written through. On a failure, *body is empty. The session and the
    // connection are made by the first call that needs them and kept for the life of the
    // instance. A failure to write the local file is raised (platform::FileError), as is a
    // failure to open the session.
    FetchResult DownloadFileByHttp(const std::string& remote_path, const std::string& local_path,
                                   std::optional<PartFile>& body);

    // Stores local_file on the FTP server in its folder chain; a KELRES_UPLOAD_* code. Opens and
    // closes its own session and connection.
    int UploadFileByFtp(const char* local_file);

    // For diagnostics and tests: the shared session and connection, null until made.
    const net::InternetSession* session() const;
    const net::HttpConnection* connection() const;

  private:
    // The connection to the media server, made at the first call; null (with the session made)
    // when no media server is configured.
    const net::HttpConnection* SharedConnection();

    // Made once, under setup_mutex_, then only read. connection_ready_ publishes connection_
    // to the downloads that find it without taking the lock.
    mutable Mutex setup_mutex_;
    std::unique_ptr<net::InternetSession> session_ KEL_GUARDED_BY(setup_mutex_);
    std::unique_ptr<net::HttpConnection> connection_ KEL_GUARDED_BY(setup_mutex_);
    std::atomic<const net::HttpConnection*> connection_ready_{nullptr};
};

}  // namespace kel
