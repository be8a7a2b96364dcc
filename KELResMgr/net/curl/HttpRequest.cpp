#include "KELResMgr/net/HttpRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>
#include <vector>

#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/RequestTarget.h"
#include "KELResMgr/net/UrlAuthority.h"
#include "KELResMgr/net/curl/CurlHandles.h"
#include "platform/annotated_mutex.h"

namespace kel::net {
namespace {

using Clock = std::chrono::steady_clock;

// A wait inside the transfer loop is cut into pieces of at most this, so that a stall is noticed
// in time.
constexpr Milliseconds kLongestWait{1000};
// The body bytes that a request may hold beyond the caller's buffer: received ahead, they save a
// pause of the transfer at every read. Above this the transfer pauses.
constexpr std::size_t kSpillLimit = 256 * 1024;
// libcurl's receive block.
constexpr long kReceiveBlock = 100 * 1024;
// Redirects followed by requests that follow them.
constexpr long kMaxRedirects = 10;
// Idle connection caches a connection keeps, and open connections each cache keeps: enough for
// the downloads that run at once to find theirs again, few enough not to hold sockets for
// nothing.
constexpr std::size_t kIdleCaches = 8;
constexpr long kConnectionsPerCache = 1;

bool IsConnectFailure(CURLcode code) {
    return code == CURLE_COULDNT_CONNECT || code == CURLE_OPERATION_TIMEDOUT;
}

// True for a "Location:" header line with a value, whatever the case of the name.
bool IsLocationHeader(const char* data, std::size_t size) noexcept {
    constexpr char kName[] = "location:";
    constexpr std::size_t kLength = sizeof kName - 1;
    if (size <= kLength) {
        return false;
    }
    for (std::size_t i = 0; i < kLength; ++i) {
        if (std::tolower(static_cast<unsigned char>(data[i])) != kName[i]) {
            return false;
        }
    }
    for (std::size_t i = kLength; i < size; ++i) {
        if (!std::isspace(static_cast<unsigned char>(data[i]))) {
            return true;
        }
    }
    return false;
}

// True when bytes (or the end of the stream) wait unread on the socket of a cache's idle
// connection. An answer that ended exactly at its length leaves nothing behind it: anything
// there came past the end and would be read as the next request's answer.
bool HasUnreadInput(CURLM* cache, curl_socket_t socket) noexcept {
    curl_waitfd wait{socket, CURL_WAIT_POLLIN, 0};
    if (curl_multi_wait(cache, &wait, 1, 0, nullptr) != CURLM_OK) {
        return true;  // cannot tell: not clean
    }
    return (wait.revents & CURL_WAIT_POLLIN) != 0;
}

}  // namespace

// Idle connection caches, lent to one request at a time. A cache comes back only with the one
// connection its last answer ended on, and that connection is checked for unread bytes when it
// comes back and again before it is lent: bytes of one answer never reach another request.
struct HttpConnection::Handles {
    struct Idle {
        CurlMulti cache;
        curl_socket_t socket = CURL_SOCKET_BAD;  // its one open connection's
    };

    Handles() {
        MutexLock lock(mutex);  // not shared yet; the lock only satisfies the analysis
        idle.reserve(kIdleCaches);
    }

    // A connection cache for one request's use: an idle one from the pool whose connection is
    // still clean, else a new one. Throws InternetError when libcurl has no memory for one.
    CurlMulti Borrow() {
        for (;;) {
            Idle entry;
            {
                MutexLock lock(mutex);
                if (idle.empty()) {
                    break;
                }
                entry = std::move(idle.back());
                idle.pop_back();
            }
            if (!HasUnreadInput(entry.cache.get(), entry.socket)) {
                return std::move(entry.cache);
            }
            // else the cache closes, and its connection with it, as entry goes out of scope
        }
        return NewCache();
    }

    // Takes the cache back once its request is over. socket: the connection that the last
    // answer ended on and that libcurl kept, CURL_SOCKET_BAD when there is none or the answer
    // did not end cleanly. Such a cache, one with unread bytes, and any beyond the pool's size
    // are closed instead.
    void Return(CurlMulti cache, curl_socket_t socket) noexcept {
        if (!cache || socket == CURL_SOCKET_BAD || HasUnreadInput(cache.get(), socket)) {
            return;
        }
        MutexLock lock(mutex);
        if (idle.size() < kIdleCaches) {
            // within the capacity reserved: cannot throw
            idle.push_back(Idle{std::move(cache), socket});
        }
    }

    // Throws InternetError when libcurl has no memory for one.
    static CurlMulti NewCache() {
        CurlMulti cache(curl_multi_init());
        if (!cache) {
            throw CurlError(CURLE_OUT_OF_MEMORY, "cannot create a request: out of memory");
        }
        curl_multi_setopt(cache.get(), CURLMOPT_MAXCONNECTS, kConnectionsPerCache);
        return cache;
    }

    Mutex mutex;
    std::vector<Idle> idle GUARDED_BY(mutex);
};

struct HttpRequest::Transfer {
    CurlEasy easy;
    CurlMulti multi;  // borrowed from the connection, given back by the request
    CurlSlist headers;
    char error[CURL_ERROR_SIZE] = {};
    // The connection that the last answer ended on, when it ended cleanly and libcurl kept it.
    curl_socket_t kept_socket = CURL_SOCKET_BAD;
};

HttpConnection::HttpConnection(const InternetSession& session, std::string host, long port)
    : session_(session), host_(std::move(host)), port_(port) {
    if (port < 0 || port > 65535) {
        throw CurlError(CURLE_URL_MALFORMAT, "cannot connect to " + host_ + ": port " +
                                                 std::to_string(port) + " is not valid");
    }
    base_url_ = "http://" + UrlAuthority(host_, port_) + "/";
    handles_ = std::make_unique<Handles>();
}

HttpConnection::~HttpConnection() = default;

HttpRequest::HttpRequest(const HttpConnection& connection, const std::string& object_name,
                         unsigned flags)
    : connection_(connection),
      url_(connection.base_url() + EncodeRequestTarget(object_name)),
      follow_((flags & kNoAutoRedirect) == 0),
      transfer_(std::make_unique<Transfer>()),
      pace_(connection.session().stall_timeout(), kMinBytesPerStallWindow) {
    transfer_->easy = NewEasy();
    transfer_->multi = connection.handles().Borrow();
    if (const auto total = connection.session().total_timeout()) {
        pace_.SetDeadline(Clock::now() + *total);
    }
    // No accept types: libcurl's default "Accept" header is taken out.
    Append(transfer_->headers, "Accept:");

    CURL* easy = transfer_->easy.get();
    ConfigureTransfer(connection_.session(), easy);
    curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);  // the object name goes as given
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer_->headers.get());
    // Redirects are followed here, not by libcurl, which would send the next request over the
    // same connection without a look at what waits unread on it (see FollowRedirect).
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, (flags & kExistingConnect) ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBlock);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer_->error);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &HttpRequest::OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HttpRequest::OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
}

HttpRequest::~HttpRequest() {
    if (attached_) {
        CollectResult();  // a transfer that ended unread still leaves a clean connection
        curl_multi_remove_handle(transfer_->multi.get(), transfer_->easy.get());
    }
    connection_.handles().Return(std::move(transfer_->multi), transfer_->kept_socket);
}

void HttpRequest::Start() {
    if (attached_) {
        curl_multi_remove_handle(transfer_->multi.get(), transfer_->easy.get());
        attached_ = false;
    }
    transfer_->error[0] = '\0';
    transfer_->kept_socket = CURL_SOCKET_BAD;
    headers_done_ = finished_ = paused_ = redirect_ = location_ = false;
    result_ = CURLE_OK;
    const CURLMcode added = curl_multi_add_handle(transfer_->multi.get(), transfer_->easy.get());
    if (added != CURLM_OK) {
        Fail(CURLE_FAILED_INIT, curl_multi_strerror(added));
    }
    attached_ = true;
}

void HttpRequest::Send() {
    SendOnce();
    for (long redirects = 0; redirect_; ++redirects) {
        Drive([] { return false; });  // the redirect's own body, discarded, to its end
        if (redirects == kMaxRedirects) {
            Fail(CURLE_TOO_MANY_REDIRECTS,
                 "more than " + std::to_string(kMaxRedirects) + " redirects");
        }
        FollowRedirect();
    }
}

void HttpRequest::SendOnce() {
    const int retries = connection_.session().connect_retries();
    for (int attempt = 0;; ++attempt) {
        Start();
        try {
            Drive([this] { return headers_done_ || redirect_; });
            return;
        } catch (const InternetError&) {
            if (attempt >= retries || !IsConnectFailure(static_cast<CURLcode>(result_)) ||
                Connected()) {
                throw;
            }
        }
    }
}

// The next request goes to where the redirect points, over the same connection only when the
// redirect's answer ended cleanly on it; else over a new connection cache.
void HttpRequest::FollowRedirect() {
    char* location = nullptr;  // libcurl resolves it once the answer is over
    curl_easy_getinfo(transfer_->easy.get(), CURLINFO_REDIRECT_URL, &location);
    if (location == nullptr) {
        Fail(CURLE_URL_MALFORMAT, "the redirect's location is not a valid URL");
    }
    const std::string next = location;  // libcurl's copy goes below
    curl_multi_remove_handle(transfer_->multi.get(), transfer_->easy.get());
    attached_ = false;
    if (transfer_->kept_socket == CURL_SOCKET_BAD ||
        HasUnreadInput(transfer_->multi.get(), transfer_->kept_socket)) {
        transfer_->multi.reset();
        transfer_->multi = HttpConnection::Handles::NewCache();
    }
    CURL* easy = transfer_->easy.get();
    curl_easy_setopt(easy, CURLOPT_URL, next.c_str());
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 0L);
    SendOnce();
}

std::optional<long> HttpRequest::StatusCode() const {
    long code = 0;
    if (curl_easy_getinfo(transfer_->easy.get(), CURLINFO_RESPONSE_CODE, &code) != CURLE_OK ||
        code <= 0) {
        return std::nullopt;
    }
    return code;
}

std::size_t HttpRequest::Read(void* buffer, std::size_t size) {
    destination_ = static_cast<char*>(buffer);
    destination_size_ = size;
    destination_filled_ = 0;
    // First what the last buffer could not take.
    const std::size_t spilled = std::min(size, spill_.size() - spill_read_);
    if (spilled > 0) {
        std::memcpy(destination_, spill_.data() + spill_read_, spilled);
    }
    spill_read_ += spilled;
    destination_filled_ = spilled;

    struct Forget {  // the buffer is the caller's only for this call
        HttpRequest* self;
        ~Forget() { self->destination_ = nullptr; }
    } forget{this};
    const auto full = [this] { return destination_filled_ == destination_size_; };
    if (full()) {
        return destination_filled_;
    }
    pace_.Resume(Clock::now());  // the caller's own time does not count against the server
    if (paused_) {
        paused_ = false;
        curl_easy_pause(transfer_->easy.get(),
                        CURLPAUSE_CONT);  // may deliver the held block at once
        RethrowCallbackError();
    }
    Drive(full);
    return destination_filled_;
}

void HttpRequest::Drive(const std::function<bool()>& done) {
    while (!done()) {
        if (finished_) {
            if (result_ != CURLE_OK) {
                Fail(result_, CurlErrorText(result_, transfer_->error));
            }
            return;
        }
        int running = 0;
        const CURLMcode performed = curl_multi_perform(transfer_->multi.get(), &running);
        RethrowCallbackError();
        if (performed != CURLM_OK) {
            Fail(CURLE_RECV_ERROR, curl_multi_strerror(performed));
        }
        CollectResult();
        if (done() || finished_) {
            continue;
        }
        const auto now = Clock::now();
        // Connecting has its own limit; the server's clocks start once it is reached.
        if (!reached_ && Connected()) {
            reached_ = true;
            pace_.Connected(now);
        }
        if (const auto why = pace_.Check(now)) {
            Fail(CURLE_OPERATION_TIMEDOUT, *why);
        }
        const Milliseconds wait = pace_.NextCheckIn(kLongestWait, now);
        curl_multi_poll(transfer_->multi.get(), nullptr, 0, static_cast<int>(wait.count()),
                        nullptr);
    }
}

void HttpRequest::RethrowCallbackError() {
    if (callback_error_) {
        std::rethrow_exception(std::exchange(callback_error_, nullptr));
    }
}

void HttpRequest::CollectResult() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(transfer_->multi.get(), &left)) {
        if (message->msg == CURLMSG_DONE) {
            finished_ = true;
            result_ = message->data.result;
            // Asked while the transfer is still attached: libcurl knows the socket only then,
            // and only when it keeps the connection.
            if (result_ == CURLE_OK) {
                curl_easy_getinfo(transfer_->easy.get(), CURLINFO_ACTIVESOCKET,
                                  &transfer_->kept_socket);
            }
        }
    }
    if (finished_ && result_ == CURLE_OK && !redirect_) {
        headers_done_ = true;  // an answer without a header end still ends its headers
    }
}

bool HttpRequest::Connected() const {
    curl_off_t connect_time = 0;
    return curl_easy_getinfo(transfer_->easy.get(), CURLINFO_CONNECT_TIME_T, &connect_time) ==
               CURLE_OK &&
           connect_time > 0;
}

void HttpRequest::Fail(int code, const std::string& what) const {
    throw CurlError(code, "cannot get " + url_ + ": " + what);
}

// Nothing here can fail: no allocation, no call that raises.
std::size_t HttpRequest::OnHeader(char* data, std::size_t size, std::size_t count,
                                  void* self) noexcept {
    auto& request = *static_cast<HttpRequest*>(self);
    const std::size_t bytes = size * count;
    const auto now = Clock::now();
    request.pace_.Received(bytes, false, now);
    const bool header_end = bytes <= 2 && (data[0] == '\r' || data[0] == '\n');
    if (!header_end) {
        request.location_ = request.location_ || IsLocationHeader(data, bytes);
        return bytes;
    }
    long code = 0;
    curl_easy_getinfo(request.transfer_->easy.get(), CURLINFO_RESPONSE_CODE, &code);
    // An interim answer (1xx) is not the answer. Nor is a redirect to follow: another answer
    // comes after it.
    const bool interim = code >= 100 && code < 200 && code != 101;
    const bool location = std::exchange(request.location_, false);
    if (interim) {
        return bytes;
    }
    if (request.follow_ && code >= 300 && code < 400 && location) {
        request.redirect_ = true;
        return bytes;
    }
    request.headers_done_ = true;
    request.pace_.HeadersDone(now);
    return bytes;
}

std::size_t HttpRequest::OnBody(char* data, std::size_t size, std::size_t count,
                                void* self) noexcept {
    auto& request = *static_cast<HttpRequest*>(self);
    const std::size_t bytes = size * count;
    const auto now = Clock::now();
    if (request.redirect_) {
        request.pace_.Received(bytes, false, now);  // a sign of life, not the body
        return bytes;
    }
    request.headers_done_ = true;  // body bytes come only with the final answer
    request.pace_.HeadersDone(now);
    const std::size_t room = request.destination_ != nullptr
                                 ? request.destination_size_ - request.destination_filled_
                                 : 0;
    const std::size_t fits = std::min(bytes, room);
    // With room in the caller's buffer the block is always taken (the rest of it is held), so a
    // read never waits on a paused transfer.
    if (room == 0 && request.spill_.size() - request.spill_read_ + bytes > kSpillLimit) {
        request.paused_ = true;  // libcurl keeps the block and offers it again after resuming
        return CURL_WRITEFUNC_PAUSE;
    }
    try {
        request.Spill(data + fits, bytes - fits);  // first: it alone can fail
    } catch (...) {
        request.callback_error_ = std::current_exception();
        return CURL_WRITEFUNC_ERROR;
    }
    if (fits > 0) {
        std::memcpy(request.destination_ + request.destination_filled_, data, fits);
        request.destination_filled_ += fits;
    }
    request.pace_.Received(bytes, true, now);
    return bytes;
}

void HttpRequest::Spill(const char* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    if (spill_read_ == spill_.size()) {
        spill_.clear();
        spill_read_ = 0;
    } else if (spill_read_ > spill_.size() / 2) {
        spill_.erase(spill_.begin(), spill_.begin() + static_cast<std::ptrdiff_t>(spill_read_));
        spill_read_ = 0;
    }
    spill_.insert(spill_.end(), data, data + size);
}

}  // namespace kel::net
