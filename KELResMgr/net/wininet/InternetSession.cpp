#include "KELResMgr/net/InternetSession.h"

#include <algorithm>

#include "KELResMgr/net/wininet/ClientAccess.h"
#include "KELResMgr/net/wininet/InternetHandle.h"

namespace kel::net {

// What a session shares with the connections made through it: the client's session handle.
struct InternetSession::Shared {
    InternetHandle session;
};

namespace {

// Sets one of the session's numeric options; a failure keeps the client's own value.
void SetOption(HINTERNET session, DWORD option, DWORD value) {
    InternetSetOptionA(session, option, &value, sizeof value);
}

// The same, as the catalogue sets its connect options (the result is ignored).
void SetOptionEx(HINTERNET session, DWORD option, DWORD value) {
    InternetSetOptionExA(session, option, &value, sizeof value, 0);
}

DWORD MillisecondsOf(Milliseconds time) {
    return static_cast<DWORD>(std::clamp<long long>(time.count(), 1, MAXDWORD));
}

}  // namespace

// The client waits for ever, or for its own long defaults, unless told otherwise: connects, sends
// and every receive get the layer's limits, which the session's requests and connections inherit.
InternetSession::InternetSession() : shared_(std::make_unique<Shared>()) {
    // No agent name; the system's proxy settings.
    shared_->session.reset(InternetOpenA("", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!shared_->session) {
        ThrowLastError("cannot open an internet session");
    }
    HINTERNET session = shared_->session.get();
    SetOption(session, INTERNET_OPTION_CONNECT_TIMEOUT, MillisecondsOf(connect_timeout_));
    for (const DWORD option :
         {INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
          INTERNET_OPTION_DATA_SEND_TIMEOUT, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT}) {
        SetOption(session, option, MillisecondsOf(stall_timeout_));
    }
}

InternetSession::~InternetSession() = default;

HINTERNET ClientAccess::Session(const InternetSession& session) {
    return session.shared_->session.get();
}

void InheritTimeouts(const InternetSession& session, HINTERNET handle) {
    SetOption(handle, INTERNET_OPTION_CONNECT_TIMEOUT, MillisecondsOf(session.connect_timeout()));
    for (const DWORD option :
         {INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
          INTERNET_OPTION_DATA_SEND_TIMEOUT, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT}) {
        SetOption(handle, option, MillisecondsOf(session.stall_timeout()));
    }
}

void InternetSession::SetConnectRetries(int retries) {
    connect_retries_ = retries;
    SetOptionEx(shared_->session.get(), INTERNET_OPTION_CONNECT_RETRIES,
                static_cast<DWORD>(std::max(retries, 0)));
}

void InternetSession::SetConnectTimeout(Milliseconds timeout) {
    connect_timeout_ = EffectiveTimeout(timeout);
    SetOptionEx(shared_->session.get(), INTERNET_OPTION_CONNECT_TIMEOUT,
                MillisecondsOf(connect_timeout_));
}

// The client has no limit on a whole request; its connect, send and receive limits bound each
// step instead.
void InternetSession::SetTotalTimeout(Milliseconds timeout) {
    total_timeout_ = EffectiveTimeout(timeout, kTestDeadlineScale);
}

}  // namespace kel::net
