// An internet session: what the requests and connections made through it share.
#pragma once

#include <memory>
#include <optional>

#include "KELResMgr/net/Timeouts.h"

namespace kel::net {

// Holds what its transfers share (the cache of name look-ups, with libcurl through a share
// handle whose locks are the session's own) and their time-outs. Open connections are not shared
// here: libcurl does not support one connection cache between transfers that run at the same time
// (HttpConnection keeps them). The system's proxy variables are honoured as libcurl honours
// them; no agent name is sent.
//
// Threads: set the options before the session is shared; after that any number of threads may
// run transfers through it at once. It must outlive every connection and request made with it.
class InternetSession {
  public:
    // Throws InternetError when libcurl cannot make the share handle.
    InternetSession();
    ~InternetSession();
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

    // For the layer's own transfers: gives one (a libcurl easy handle) the session's caches and
    // its connect time-out. libcurl's own low-speed limit is left to the caller, which may pause
    // transfers.
    void Configure(void* transfer) const;

  private:
    struct Caches;  // what the implementation shares between transfers
    std::unique_ptr<Caches> caches_;
    int connect_retries_ = 0;
    Milliseconds connect_timeout_;
    Milliseconds stall_timeout_;
    std::optional<Milliseconds> total_timeout_;
};

}  // namespace kel::net
