#include "harness/HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace kel::test {
namespace {

constexpr int kStopGraceMs = 5000;

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

std::string ServerPath(const std::string& path) {
    return path;
}

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("cannot open a socket");
    }
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(fd);
    if (!ok) {
        throw std::runtime_error("cannot find a free port");
    }
    return ntohs(address.sin_port);
}

bool Listening(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const sockaddr_in address = Loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& output_path) {
    // Everything the child needs is made before fork: between fork and exec the child calls
    // only async-signal-safe functions, as a threaded (or sanitized) parent requires.
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const char* output = output_path.c_str();
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("cannot fork for " + argv.at(0));
    }
    if (pid_ == 0) {
        // Should the test process die without running its destructors (a sanitizer stopping
        // it, a crash), the server goes with it instead of running on.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) {
            _exit(125);
        }
        const int null_fd = open("/dev/null", O_RDONLY);
        const int out_fd = open(output, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (null_fd < 0 || out_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
            dup2(out_fd, 2) < 0) {
            _exit(126);
        }
        execv(args[0], args.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    Stop();
}

bool ChildProcess::Running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    const pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_ || (got < 0 && errno == ECHILD)) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::Stop() {
    if (!Running()) {
        return;
    }
    kill(pid_, SIGTERM);
    for (int waited = 0; waited < kStopGraceMs; waited += 10) {
        if (!Running()) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace kel::test
