// An internet session: what the requests and connections made through it share.
#pragma once

#include <curl/curl.h>

#include <array>
#include <mutex>

#include "KELResMgr/net/CurlHandles.h"
#include "KELResMgr/net/Timeouts.h"

namespace kel::net {

// Holds the caches that its transfers share (name look-ups and open connections, through a
// libcurl share handle whose locks are the session's own) and their time-outs. The system's
// proxy variables are honoured as libcurl honours them; no agent name is sent.
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

    int connect_retries() const { return connect_retries_; }
    Milliseconds connect_timeout() const { return connect_timeout_; }
    Milliseconds stall_timeout() const { return stall_timeout_; }

    // Gives a transfer the session's caches and its connect time-out. libcurl's own low-speed
    // limit is left to the caller, which may pause transfers.
    void Configure(CURL* easy) const;

  private:
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self);
    static void Unlock(CURL*, curl_lock_data data, void* self);

    // One lock per kind of shared data; libcurl takes them through Lock and Unlock.
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;
    CurlShare share_;  // after locks_: destroyed first
    int connect_retries_ = 0;
    Milliseconds connect_timeout_;
    Milliseconds stall_timeout_;
};

}  // namespace kel::net
