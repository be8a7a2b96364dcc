// HTTP connections and GET requests.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "KELResMgr/net/InternetSession.h"
#include "KELResMgr/net/TransferPace.h"

namespace kel::net {

// The server that requests go to: a host name (or address) and a port, 0 for the protocol's
// default. Making it sends nothing; requests connect. Open connections to the server are kept for
// later requests, and no two requests use one network connection at once.
//
// Threads: any number of requests may be made on one connection at once. Must outlive its
// requests; its session must outlive it.
class HttpConnection {
  public:
    // port: 0 to 65535; throws InternetError for any other number.
    HttpConnection(const InternetSession& session, std::string host, long port);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    const InternetSession& session() const { return session_; }
    const std::string& host() const { return host_; }
    long port() const { return port_; }
    // "http://host[:port]/", the root that object names are relative to.
    const std::string& base_url() const { return base_url_; }

  private:
    // The connections the client keeps to the server for the requests, defined in the client's
    // own code, which alone reaches them (through ClientAccess, which each client defines in its
    // folder).
    struct Connections;
    friend struct ClientAccess;
    struct ConnectionsDelete {
        void operator()(Connections* connections) const noexcept;
    };
    // The client's half of the constructor, once the neutral half has checked the port.
    std::unique_ptr<Connections, ConnectionsDelete> OpenConnections() const;

    const InternetSession& session_;
    std::string host_;
    long port_;
    std::string base_url_;
    std::unique_ptr<Connections, ConnectionsDelete> connections_;
};

// Request flags, as the callers know them.
enum RequestFlags : unsigned {
    kNoAutoRedirect = 1u << 0,   // a redirect is not followed: its own answer counts
    kExistingConnect = 1u << 1,  // an open connection to the server may serve the request
};

// One GET request in HTTP/1.0, with no extra headers and no body. The answer is read straight
// into the caller's buffers; body bytes received ahead of the reads are held up to a small
// limit (a few hundred KiB), above which the transfer pauses. The whole body is never held.
//
// Threads: one thread at a time. Closing (destroying) the request ends its transfer.
class HttpRequest {
  public:
    // object_name: relative to the server's root, without a leading '/'. Bytes that cannot
    // stand in a request target are percent-encoded, every other byte is sent as given.
    HttpRequest(const HttpConnection& connection, const std::string& object_name, unsigned flags);
    ~HttpRequest();
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;

    // Sends the request and waits for the final answer's status line and headers. Throws
    // InternetError when connecting, sending or receiving fails, when the final headers have
    // not come within the session's stall time-out of the connect, or past the session's
    // deadline.
    void Send();
    // The answer's status code; nullopt when there is none (raises nothing).
    std::optional<long> StatusCode() const;
    // Reads up to size bytes of the body into buffer; fewer only at the end of the body, 0 once
    // it is over. Throws InternetError when the transfer fails, stalls, brings less than
    // kMinBytesPerStallWindow in a stall window, or runs past the session's deadline.
    std::size_t Read(void* buffer, std::size_t size);

  private:
    using Clock = TransferPace::Clock;

    // The client's own state and code for one transfer, defined in the client's .cpp only.
    struct Transfer;
    struct TransferDelete {
        void operator()(Transfer* transfer) const noexcept;
    };
    // The client's half of the constructor, once the neutral half has built the target and the
    // pace.
    std::unique_ptr<Transfer, TransferDelete> OpenTransfer(unsigned flags);

    // Raises InternetError(code, "cannot get <url>: <what>").
    [[noreturn]] void Fail(int code, const std::string& what) const;
    // Fails the request, as timed out, when the pace rules say the transfer has been too slow.
    void RequirePace(Clock::time_point now);

    const HttpConnection& connection_;
    std::string target_;  // the object name as it goes in the request line
    std::string url_;     // for the messages, and for a client that wants the whole URL
    TransferPace pace_;
    std::unique_ptr<Transfer, TransferDelete> transfer_;  // last: it may use every member above
};

}  // namespace kel::net
