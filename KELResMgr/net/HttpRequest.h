// HTTP connections and GET requests.
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KELResMgr/net/InternetSession.h"
#include "KELResMgr/net/TransferPace.h"

namespace kel::net {

// The server that requests go to: a host name (or address) and a port, 0 for the protocol's
// default. Making it sends nothing; requests connect.
//
// Open connections to the server are kept for later requests. With libcurl they wait in a small
// pool of connection caches, each lent to one request at a time: libcurl does not let transfers
// that run at the same time share one cache, so two requests never use one cache, or one network
// connection, at once. The system client keeps them itself, under its connection handle.
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

    // What the implementation keeps for the requests to this server: libcurl's pool of
    // connection caches, or the system client's connection handle.
    struct Handles;
    Handles& handles() const { return *handles_; }

  private:
    const InternetSession& session_;
    std::string host_;
    long port_;
    std::string base_url_;
    std::unique_ptr<Handles> handles_;
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
    // libcurl's callbacks raise nothing: a failure inside is kept in callback_error_, the
    // transfer aborted, and the failure raised again once libcurl has returned.
    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count,
                                void* self) noexcept;
    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self) noexcept;
    void RethrowCallbackError();

    void Start();
    // Starts the transfer, again after a connect that failed within the retries, and waits for
    // the final answer's headers or a redirect to follow.
    void SendOnce();
    void FollowRedirect();
    // Keeps body bytes that the caller's buffer could not take, for the next reads.
    void Spill(const char* data, std::size_t size);
    // Runs the transfer until done() holds or the transfer ends; throws when it failed first.
    void Drive(const std::function<bool()>& done);
    void CollectResult();
    bool Connected() const;
    [[noreturn]] void Fail(int code, const std::string& what) const;

    const HttpConnection& connection_;
    std::string url_;
    bool follow_;     // redirects are followed
    struct Transfer;  // the implementation's handles
    std::unique_ptr<Transfer> transfer_;
    bool attached_ = false;  // the transfer runs

    bool headers_done_ = false;
    bool finished_ = false;
    int result_ = 0;  // the transfer's outcome (CURLcode), once finished_
    bool paused_ = false;
    // The server has been reached: the final answer's window runs from the first connect, also
    // across redirects. A connect that failed is retried only while this is false.
    bool reached_ = false;
    bool location_ = false;  // the headers so far have a Location
    bool redirect_ = false;  // the answer is a redirect to follow: its body is not the caller's
    TransferPace pace_;
    std::exception_ptr callback_error_;

    // The caller's buffer during Read, and body bytes received ahead of it (from spill_read_).
    char* destination_ = nullptr;
    std::size_t destination_size_ = 0;
    std::size_t destination_filled_ = 0;
    std::vector<char> spill_;
    std::size_t spill_read_ = 0;
};

}  // namespace kel::net
