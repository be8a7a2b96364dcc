// An FTP server on 127.0.0.1 for integration tests (tests/servers/ftp_server.py, pyftpdlib),
// started as a child process on a free port and stopped by its process id when the object goes.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "harness/HttpServer.h"
#include "harness/TempFolder.h"

namespace kel::test {

// The anonymous user may read and write everything under root(), its login folder. Every
// command line received is recorded before it is answered. Threads: one test thread at a time.
class FtpServer {
  public:
    // port: 0 for a free one. Throws when the server cannot start.
    explicit FtpServer(int port = 0);
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    static constexpr char kHost[] = "127.0.0.1";
    int port() const { return port_; }
    pid_t pid() const { return process_->pid(); }
    // The anonymous user's home folder on this machine.
    std::string root() const { return folder_ / "root"; }

    // Every store is then answered "550 <message>"; an empty message accepts stores again.
    void RefuseStores(const std::string& message);
    // Every login is then refused (530).
    void RefuseLogins(bool refuse);
    // Every store is then never answered.
    void StallStores(bool stall);

    // The command lines received so far ("PASS ****" for the password).
    std::vector<std::string> Commands() const;
    void ClearRecords();

  private:
    void WriteControl();

    TempFolder folder_;
    std::string refuse_store_;
    bool refuse_login_ = false;
    bool stall_store_ = false;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

}  // namespace kel::test
