// An internet session: what the requests and connections made through it share.
#pragma once

#include <memory>
#include <optional>

#include "KELResMgr/net/Timeouts.h"

namespace kel::net {

// Holds what its transfers share (the client's cache of name look-ups, or its session) and their
// time-outs. The system's proxy settings are honoured; no agent name is sent.
//
// Threads: set the options before the session is shared; after that any number of threads may
// run transfers through it at once. It must outlive every connection and request made with it.
class InternetSession {
  public:
    // Throws InternetError when the client cannot open a session.
    InternetSession();
    ~InternetSession();
    InternetSession(const InternetSession&) = delete;
    InternetSession& operator=(const InternetSession&) = delete;

    // How often a connect that failed is tried again, and how long one connect may take.
    void SetConnectRetries(int retries);
    void SetConnectTimeout(Milliseconds timeout);
    // Each request made from now on ends, failed, when it has not finished this long after it
    // was made. No limit unless set. (The system client bounds each step by its time-outs
    // instead: connect, send, and every receive.)
    void SetTotalTimeout(Milliseconds timeout);

    int connect_retries() const { return connect_retries_; }
    Milliseconds connect_timeout() const { return connect_timeout_; }
    Milliseconds stall_timeout() const { return stall_timeout_; }
    std::optional<Milliseconds> total_timeout() const { return total_timeout_; }

  private:
    // What the client shares between the transfers of the session, defined in the client's own
    // code, which alone reaches it (through ClientAccess, which each client defines in its folder).
    struct Shared;
    friend struct ClientAccess;

    std::unique_ptr<Shared> shared_;
    int connect_retries_ = 0;
    Milliseconds connect_timeout_ = EffectiveTimeout(kDefaultConnectTimeout);
    Milliseconds stall_timeout_ = EffectiveTimeout(kStallTimeout);
    std::optional<Milliseconds> total_timeout_;
};

}  // namespace kel::net
