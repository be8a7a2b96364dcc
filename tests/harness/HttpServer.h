// Real servers on 127.0.0.1 for integration tests and benchmarks: a scripted HTTP server
// (tests/servers/scripted_http_server.py) and nginx. Each runs as a child process of the test,
// started by fork/exec on a free port and stopped by its process id when its object goes away.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "harness/TempFolder.h"

namespace kel::test {

// The path under which the servers, programs of the build machine, find the file at path: path
// itself, or under Wine the build machine's own path of a Windows path.
std::string ServerPath(const std::string& path);

// A TCP port of 127.0.0.1 that was free at the time of the call.
int FreePort();
// True when something accepts connections at 127.0.0.1:port.
bool Listening(int port);

// A child process started with fork and exec; its standard output and error go to output_path.
// The destructor stops it (SIGTERM, after a grace time SIGKILL) and reaps it. Only the object
// that started it signals it, always by its own process id. Under Wine, argv names a program of
// the build machine, started and stopped by its process id there (tests/wine/unix-process).
class ChildProcess {
  public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& output_path);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // False once the process has ended (it is reaped then).
    bool Running();
    void Stop();

  private:
    pid_t pid_ = -1;
};

// How the scripted server answers one target. Every field maps to the server's answer field of
// the same name (see scripted_http_server.py).
struct HttpAnswer {
    int status = 200;
    std::string body;                      // sent as given, byte for byte
    std::optional<std::size_t> body_size;  // instead of body: that many pattern bytes
    std::string file;                      // instead of body: a file under the server's root
    std::vector<std::pair<std::string, std::string>> headers;
    bool content_length = true;              // false: the body ends when the connection closes
    int delay_ms = 0;                        // before the status line
    int body_delay_ms = 0;                   // between the headers and the body
    std::size_t chunk_size = 0;              // 0: the server's default piece size
    int chunk_delay_ms = 0;                  // before each piece of the body
    std::optional<std::size_t> close_after;  // close after this many body bytes
    std::optional<std::size_t> stall_after;  // stop sending after this many body bytes
    bool never_answer = false;               // read the request, never answer, never close
    int interim_count = 0;     // "100 Continue" answers sent before the answer (a flood) ...
    int interim_delay_ms = 0;  // ... with this wait before each
    bool keep_alive = false;   // "Connection: keep-alive": the connection stays open after it
    std::string excess;        // sent past the body's end, beyond its Content-Length

    // Shorthands for the common answers.
    static HttpAnswer Text(int status, std::string body);
    static HttpAnswer Redirect(int status, const std::string& location, std::string body);
};

// One request as the server received it.
struct RecordedRequest {
    std::string line;                  // the request line, e.g. "GET /a.asp?x=1 HTTP/1.0"
    std::vector<std::string> headers;  // "Name: value", in the order received
    // The value of the first header of that name (case-insensitive), or nullopt.
    std::optional<std::string> Header(const std::string& name) const;
};

// The scripted HTTP server. Answers can be changed while it runs; every request is recorded
// before it is answered, so a client that has its answer finds its request in Requests().
// Threads: one test thread at a time.
class ScriptedHttpServer {
  public:
    // root: a folder whose files answer the targets that the script does not name; empty for
    // none (those targets get 404). port: 0 for a free one. Throws when the server cannot start
    // (for example when the port is taken).
    explicit ScriptedHttpServer(const std::string& root = "", int port = 0);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    static constexpr char kHost[] = "127.0.0.1";
    int port() const { return port_; }
    pid_t pid() const { return process_->pid(); }
    // "http://127.0.0.1:<port>" + target.
    std::string Url(const std::string& target) const;

    // target: "/path" (any query) or "/path?query" (exactly that query) or "*" (anything else).
    void Answer(const std::string& target, const HttpAnswer& answer);
    // The answer fields used for files served from the root folder (delays, cuts).
    void AnswerFilesWith(const HttpAnswer& answer);
    void ClearAnswers();

    std::vector<RecordedRequest> Requests() const;
    std::vector<std::string> RequestLines() const;
    // Connections accepted, also those that never sent a request.
    std::size_t Connections() const;
    void ClearRecords();

    // Bytes [offset, offset + size) of the body that HttpAnswer::body_size asks for.
    static std::string PatternBody(std::size_t size, std::size_t offset = 0);

  private:
    void WriteScript();

    TempFolder folder_;
    std::map<std::string, HttpAnswer> answers_;
    std::optional<HttpAnswer> file_answer_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

// nginx serving a folder at 127.0.0.1:<free port>, configured in a temporary folder of its own
// (logs, pid file and temporary paths included), in the foreground as a single process. It reads
// the files with the test's own user.
class NginxServer {
  public:
    explicit NginxServer(const std::string& root);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    static constexpr char kHost[] = "127.0.0.1";
    int port() const { return port_; }
    pid_t pid() const { return process_->pid(); }
    std::string Url(const std::string& target) const;

  private:
    TempFolder folder_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

// Waits until ready() holds, polling; false when the child ends first or after timeout_ms.
bool WaitUntil(ChildProcess& child, const std::function<bool()>& ready, int timeout_ms);

// Starts the server script tests/servers/<script> with /usr/bin/python3, the arguments and
// "--port-file", its output going to a file in folder, and waits until it listens. Sets *port.
// Throws when it does not start.
std::unique_ptr<ChildProcess> StartPythonServer(const std::string& script,
                                                std::vector<std::string> arguments,
                                                const TempFolder& folder, int* port);

// A server made with these arguments, or null when it cannot start (for example on a fixed port
// that is taken or that this user may not open).
template <class Server, class... Args>
std::unique_ptr<Server> TryStart(Args&&... args) {
    try {
        return std::make_unique<Server>(std::forward<Args>(args)...);
    } catch (const std::exception&) {
        return nullptr;
    }
}

}  // namespace kel::test
