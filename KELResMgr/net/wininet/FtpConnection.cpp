#include "KELResMgr/net/FtpConnection.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/wininet/ClientAccess.h"
#include "KELResMgr/net/wininet/InternetHandle.h"

namespace kel::net {

namespace {

// The client's limit on a folder name it reports.
constexpr DWORD kFolderBuffer = 2048;

// The connection's current folder; empty when it cannot be read.
std::string CurrentFolder(HINTERNET connection) {
    char folder[kFolderBuffer] = "";
    DWORD length = sizeof folder;
    if (!FtpGetCurrentDirectoryA(connection, folder, &length)) {
        return {};
    }
    return std::string(folder, strnlen(folder, sizeof folder));
}

// Puts the connection back into the folder it was in when this was made, as it goes: every
// operation starts from the login folder. A failure to go back is ignored.
class FolderReturn {
  public:
    explicit FolderReturn(HINTERNET connection)
        : connection_(connection), folder_(CurrentFolder(connection)) {}
    ~FolderReturn() {
        if (!folder_.empty()) {
            FtpSetCurrentDirectoryA(connection_, folder_.c_str());
        }
    }
    FolderReturn(const FolderReturn&) = delete;
    FolderReturn& operator=(const FolderReturn&) = delete;

  private:
    HINTERNET connection_;
    std::string folder_;
};

}  // namespace

// The client keeps the control connection open under this handle.
struct FtpConnection::Control {
    InternetHandle connection;
};

void FtpConnection::ControlDelete::operator()(Control* control) const noexcept {
    std::default_delete<Control>()(control);
}

// The client connects and logs in as the connection handle is made: anonymous (no user name, no
// password), active mode (no INTERNET_FLAG_PASSIVE).
std::unique_ptr<FtpConnection::Control, FtpConnection::ControlDelete> FtpConnection::LogIn() {
    std::unique_ptr<Control, ControlDelete> control(std::make_unique<Control>().release());
    control->connection.reset(InternetConnectA(ClientAccess::Session(session_), host_.c_str(),
                                               static_cast<INTERNET_PORT>(port_), nullptr, nullptr,
                                               INTERNET_SERVICE_FTP, 0, 1));
    if (!control->connection) {
        ThrowLastError("cannot log in to " + host_ + ":" + std::to_string(port_));
    }
    InheritTimeouts(session_, control->connection.get());
    return control;
}

bool FtpConnection::CanEnter(const std::string& folder) {
    HINTERNET connection = control_->connection.get();
    const FolderReturn back(connection);
    if (!FtpSetCurrentDirectoryA(connection, folder.c_str())) {
        last_error_ = InternetErrorText(GetLastError());
        return false;
    }
    return true;
}

bool FtpConnection::MakeFolders(const std::string& path) {
    HINTERNET connection = control_->connection.get();
    const FolderReturn back(connection);
    if (!path.empty() && path[0] == '/' && !FtpSetCurrentDirectoryA(connection, "/")) {
        last_error_ = InternetErrorText(GetLastError());
        return false;
    }
    std::size_t start = 0;
    while (start < path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string name = path.substr(start, slash - start);
        start = slash + 1;
        if (name.empty()) {
            continue;
        }
        // An existing folder refuses the creation: only entering it decides.
        FtpCreateDirectoryA(connection, name.c_str());
        if (!FtpSetCurrentDirectoryA(connection, name.c_str())) {
            last_error_ = InternetErrorText(GetLastError());
            return false;
        }
    }
    return true;
}

FtpConnection::PutResult FtpConnection::PutFile(const std::string& local_path,
                                                const std::string& remote_path) {
    last_error_.clear();
    if (FtpPutFileA(control_->connection.get(), local_path.c_str(), remote_path.c_str(),
                    FTP_TRANSFER_TYPE_BINARY, 1)) {
        return PutResult::kStored;
    }
    const DWORD code = GetLastError();
    last_error_ = InternetErrorText(code);
    switch (code) {
        case ERROR_INTERNET_EXTENDED_ERROR:
            last_response_ = LastResponse();
            return PutResult::kRefused;
        // A missing folder on the way to the file, as on other systems, counts as a missing file.
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return PutResult::kNoSourceFile;
        default:
            return PutResult::kFailed;
    }
}

}  // namespace kel::net
