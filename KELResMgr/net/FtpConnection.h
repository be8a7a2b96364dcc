// FTP connections: anonymous login, folders, binary stores in active mode.
#pragma once

#include <memory>
#include <string>

#include "KELResMgr/net/InternetSession.h"

namespace kel::net {

// One logged-in control connection to an FTP server, kept open between the operations and
// closed when the object goes. Paths are relative to the folder the login ended in (a leading
// '/' makes them absolute), with '/' between folder names; empty names are skipped. Data
// connections are made in active mode from the control connection's own local address.
//
// Threads: one thread at a time. The session must outlive the connection.
class FtpConnection {
  public:
    // Connects and logs in anonymously. Throws InternetError when the host cannot be found or
    // reached, or the login is refused.
    FtpConnection(const InternetSession& session, std::string host, long port);
    ~FtpConnection();
    FtpConnection(const FtpConnection&) = delete;
    FtpConnection& operator=(const FtpConnection&) = delete;

    // True when the folder exists and can be entered. Raises nothing but a failure to allocate.
    bool CanEnter(const std::string& folder);
    // Enters the folders of path one level at a time from the login folder, creating each one
    // that cannot be entered (an existing folder is no failure). False when a level can be
    // neither entered nor made. Raises nothing but a failure to allocate.
    bool MakeFolders(const std::string& path);

    enum class PutResult {
        kStored,
        kRefused,       // the server answered the store with a refusal: last_response()
        kNoSourceFile,  // the local file does not exist
        kFailed,        // anything else: time-out, lost connection, unreadable local file
    };
    // Stores the local file under remote_path, binary. Raises nothing but a failure to
    // allocate.
    PutResult PutFile(const std::string& local_path, const std::string& remote_path);

    // The server's last answer (at most InternetError::kMaxMessage characters), and the error
    // text of the last failed operation.
    const std::string& last_response() const { return last_response_; }
    const std::string& last_error() const { return last_error_; }

  private:
    // The client's own state: its connection, and what it keeps of the server's answers.
    struct Control;
    struct ControlDelete {
        void operator()(Control* control) const noexcept;
    };
    // The client's half of the constructor: connects and logs in, once the neutral half has
    // checked the port. Throws InternetError as the constructor does.
    std::unique_ptr<Control, ControlDelete> LogIn();

    const InternetSession& session_;
    std::string host_;
    long port_;
    std::string last_response_;
    std::string last_error_;
    std::unique_ptr<Control, ControlDelete> control_;  // last: it may use every member above
};

}  // namespace kel::net
