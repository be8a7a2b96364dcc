// CResManager, the network worker: the media server download (DownloadFileByHttp) and the FTP
// upload (UploadFileByFtp).
#include "KELResMgr/ResManager.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "KELResMgr.h"
#include "KELResMgr/base/ResId.h"
#include "KELResMgr/base/ResTrace.h"
#include "KELResMgr/download/Leftovers.h"
#include "KELResMgr/net/FtpConnection.h"
#include "KELResMgr/net/HttpRequest.h"
#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/InternetSession.h"
#include "KELResMgr/settings/Config.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/path.h"

namespace kel {
namespace {

constexpr char kDownloadFn[] = "[CResManager::DownloadFileByHttp] ";
constexpr char kUploadFn[] = "[CResManager::UploadFileByFtp] ";

// The body goes from the network to the file through one block of this size.
constexpr std::size_t kDownloadBlock = 20480;

std::string WithSlashes(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// The folder part of path, ending with its separator.
std::string FolderOf(const std::string& path) {
    std::size_t end = path.size();
    while (end > 0 && !platform::IsPathSeparator(path[end - 1])) {
        --end;
    }
    return path.substr(0, end);
}

}  // namespace

CResManager::CResManager() = default;
CResManager::~CResManager() = default;

const net::InternetSession* CResManager::session() const {
    MutexLock lock(setup_mutex_);
    return session_.get();
}

const net::HttpConnection* CResManager::connection() const {
    return connection_ready_.load(std::memory_order_acquire);
}

const net::HttpConnection* CResManager::SharedConnection() {
    if (const auto* ready = connection_ready_.load(std::memory_order_acquire)) {
        return ready;
    }
    // The settings are read without the lock; when two first downloads race, the first to take
    // the lock makes the connection and the other one uses it. The host and its port come from
    // one test mode: the connection is kept for the whole load.
    const ConfigReader settings;
    const std::string host =
        settings.Read(config::kDownload, config::kHttpServer, config::kDefaultMediaServer);
    if (host.empty()) {
        return nullptr;
    }
    const std::string port =
        settings.Read(config::kDownload, config::kHttpPort, config::kDefaultHttpPort);
    MutexLock lock(setup_mutex_);
    if (!connection_) {
        connection_ =
            std::make_unique<net::HttpConnection>(*session_, host, ParseLeadingNumber(port));
        connection_ready_.store(connection_.get(), std::memory_order_release);
    }
    return connection_.get();
}

FetchResult CResManager::DownloadFileByHttp(const std::string& remote_path,
                                            const std::string& local_path,
                                            std::optional<PartFile>& body) {
    body.reset();
    bool first = false;
    {
        // A failure to open the session is not an internet error of this download: it is
        // raised to the caller.
        MutexLock lock(setup_mutex_);
        if (!session_) {
            session_ = std::make_unique<net::InternetSession>();
            first = true;
        }
    }
    // Once per load, by its first download, outside the lock: what processes that ended left in
    // the folder. Later downloads reclaim their own identifier's (see the download worker).
    if (first) {
        ReclaimLeftovers(FolderOf(local_path));
    }
    try {
        const net::HttpConnection* connection = SharedConnection();
        if (connection == nullptr) {
            return FetchFailure::kNoServer;
        }
        net::HttpRequest request(*connection, WithSlashes(remote_path), net::kExistingConnect);
        request.Send();
        const std::optional<long> status = request.StatusCode();
        if (!status) {
            // The library's own words for a status that cannot be read, whichever client ran.
            KEL_TRACE(kDownloadFn, "Failed to QueryInfo");
            return FetchFailure::kBadStatus;
        }
        if (*status != 200) {
            KEL_TRACE(kDownloadFn, "failed to download, http status code = %d",
                      static_cast<int>(*status));
            return FetchFailure::kBadStatus;
        }
        std::optional<PartFile> fresh = PartFile::CreateBeside(local_path);
        if (!fresh) {
            return FetchFailure::kCannotCreate;
        }
        PartFile& part = body.emplace(std::move(*fresh));
        std::vector<char> block(kDownloadBlock);
        for (;;) {
            const std::size_t got = request.Read(block.data(), block.size());
            part.file().Write(block.data(), got);
            if (got < block.size()) {
                break;
            }
        }
        part.Finish();
        return {};
    } catch (const net::InternetError& error) {
        body.reset();  // a body cut short is never handed on
        KEL_TRACE(kDownloadFn, "CResManager::DownloadFileByHttp: exception--%s", error.message());
        return FetchFailure::kInternet;
    } catch (...) {
        body.reset();
        throw;
    }
}

int CResManager::UploadFileByFtp(const char* local_file) {
    net::InternetSession session;  // a failure here is raised to the caller
    const ConfigReader settings;   // the server, its port and its folder under one test mode
    const std::string host = settings.Read(config::kUpload, config::kFtpServer, "");
    if (host.empty()) {
        KEL_TRACE(kUploadFn, "CResManager::UploadFileByFtp: no server name in configure file.");
        return KELRES_UPLOAD_NOT_CONFIGURED;
    }
    const std::string port =
        settings.Read(config::kUpload, config::kFtpPort, config::kDefaultFtpPort);
    KEL_TRACE(kUploadFn, "server info: server name--%s; port--%s", host.c_str(), port.c_str());
    std::optional<net::FtpConnection> connection;  // closed before the session
    try {
        connection.emplace(session, host, ParseLeadingNumber(port));
    } catch (const net::InternetError& error) {
        KEL_TRACE(kUploadFn, "%s", error.message());
        return KELRES_UPLOAD_CONNECT_FAILED;
    }

    // The file name follows the last separator, '\' or '/'; its first eight characters name the
    // four folders of the chain.
    const std::string local = WithSlashes(local_file);
    const std::string file_name = local.substr(local.rfind('/') + 1);
    const std::string chain = ServerFolderChain(file_name);
    // The chain is made under the base folder, so that the store below finds it there.
    const std::string base = WithSlashes(settings.Read(config::kUpload, config::kPath, ""));
    if (!base.empty() && !connection->CanEnter(base)) {
        KEL_TRACE(kUploadFn, "failed to create directory");
        return KELRES_UPLOAD_FOLDER_FAILED;
    }
    const std::string folder = base.empty() ? chain : base + "/" + chain;
    if (!connection->MakeFolders(folder)) {
        KEL_TRACE(kUploadFn, "failed to create directory");
        return KELRES_UPLOAD_FOLDER_FAILED;
    }

    switch (connection->PutFile(local_file, folder + "/" + file_name)) {
        case net::FtpConnection::PutResult::kStored:
            return KELRES_UPLOAD_OK;
        case net::FtpConnection::PutResult::kRefused:
            KEL_TRACE(kUploadFn, "%s", connection->last_response().c_str());
            return KELRES_UPLOAD_REFUSED;
        case net::FtpConnection::PutResult::kNoSourceFile:
            KEL_TRACE(kUploadFn, "no such source file");
            return KELRES_UPLOAD_NO_SOURCE_FILE;
        case net::FtpConnection::PutResult::kFailed:
            break;
    }
    KEL_TRACE(kUploadFn, "put file time-out or unknown error");
    return KELRES_UPLOAD_TRANSFER_FAILED;
}

}  // namespace kel
