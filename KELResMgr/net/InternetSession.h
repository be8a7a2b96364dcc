// An internet session: what the requests and connections made through it share.
#pragma once

#include <curl/curl.h>

#include <array>
#include <mutex>
#include <optional>

#include "KELResMgr/net/CurlHandles.h"
#include "KELResMgr/net/Timeouts.h"

namespace kel::net {

// Holds what its transfers share (the cache of name look-ups, through a libcurl share handle
// whose locks are the session's own) and their time-outs. Open connections are not shared here:
// libcurl does not support one connection cache between transfers that run at the same time
// (HttpConnection keeps them). The system's proxy variables are honoured as libcurl honours
// them; no agent name is sent.
//
// Threads: set the options before the session is shared; after that any number of threads may
// run transfers through it at once. It must outlive every connection and request made with it.
class InternetSession {
  public:
    // Throws InternetError when libcurl cannot make the share handle.
    InternetSession();
    InternetSession(const InternetSession&) = delete;
    InternetSession& operator=(const InternetSession&) = delete;

    // How often a connect that failed is tried again, and how long one connect may take.
    void SetConnectRetries(int retries) { connect_retries_ = retries; }
    void SetConnectTimeout(Milliseconds timeout) { connect_timeout_ = EffectiveTimeout(timeout); }
    // Each request made from now on ends, failed, when it has not finished this long after it
    // was made. No limit unless set.
    void SetTotalTimeout(Milliseconds timeout) {
        total_timeout_ = EffectiveTimeout(timeout, kTestDeadlineScale);
    }

    int connect_retries() const { return connect_retries_; }
    Milliseconds connect_timeout() const { return connect_timeout_; }
    Milliseconds stall_timeout() const { return stall_timeout_; }
    std::optional<Milliseconds> total_timeout() const { return total_timeout_; }

    // Gives a transfer the session's caches and its connect time-out. libcurl's own low-speed
    // limit is left to the caller, which may pause transfers.
    void Configure(CURL* easy) const;

  private:
    // Raise nothing into libcurl: the index cannot leave the array, and a mutex that cannot be
    // locked ends the process (noexcept) rather than unwinding through libcurl's frames.
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) noexcept;
    static void Unlock(CURL*, curl_lock_data data, void* self) noexcept;
    std::mutex& LockFor(curl_lock_data data) noexcept;

    // One lock per kind of shared data; libcurl takes them through Lock and Unlock.
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;
    CurlShare share_;  // after locks_: destroyed first
    int connect_retries_ = 0;
    Milliseconds connect_timeout_;
    Milliseconds stall_timeout_;
    std::optional<Milliseconds> total_timeout_;
};

}  // namespace kel::net
