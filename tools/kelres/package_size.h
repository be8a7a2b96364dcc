// The size of a package on the media server, asked the way a download client asks before it
// fetches: a HEAD request for the path the library will GET.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/annotated_mutex.h"

namespace kel::tool {

// Asks the media server for package sizes on a thread of its own, one request at a time, so that
// a slow or silent server never holds up the downloads or the progress line. The library's
// downloads go on regardless: a size is only shown, never relied on.
class PackageSizes {
  public:
    // media_server: "http://host:port"; empty: nothing is ever asked.
    explicit PackageSizes(std::string media_server);
    ~PackageSizes();
    PackageSizes(const PackageSizes&) = delete;
    PackageSizes& operator=(const PackageSizes&) = delete;

    // Queues the question for the resource with identifier text T (once per T). Any thread.
    void Ask(const std::string& text);
    // The size in bytes; nullopt while the answer is out, or when the server gave none. Any thread.
    std::optional<std::uint64_t> Size(const std::string& text) const;

  private:
    void Run(std::stop_token stop);

    const std::string media_server_;
    mutable Mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<std::string> queue_ KEL_GUARDED_BY(mutex_);
    std::map<std::string, std::optional<std::uint64_t>> sizes_ KEL_GUARDED_BY(mutex_);
    std::jthread thread_;  // last: it starts after, and stops before, the members above
};

// The Content-Length of a 200 answer to "HEAD url"; nullopt when there is no such answer within
// a few seconds, or stop is requested meanwhile. Between StartHeadRequests and EndHeadRequests
// (the system's HTTP client set up and released: libcurl elsewhere, WinInet on Windows).
std::optional<std::uint64_t> HeadContentLength(const std::string& url, std::stop_token stop);
void StartHeadRequests();
void EndHeadRequests();

}  // namespace kel::tool
