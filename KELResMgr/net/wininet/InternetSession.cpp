#include "KELResMgr/net/InternetSession.h"

#include <algorithm>

#include "KELResMgr/net/wininet/InternetHandle.h"

namespace kel::net {

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
InternetSession::InternetSession() : handles_(std::make_unique<Handles>()) {
    // No agent name; the system's proxy settings.
    handles_->session.reset(InternetOpenA("", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!handles_->session) {
        ThrowLastError("cannot open an internet session");
    }
    HINTERNET session = handles_->session.get();
    SetOption(session, INTERNET_OPTION_CONNECT_TIMEOUT, MillisecondsOf(connect_timeout_));
    for (const DWORD option :
         {INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
          INTERNET_OPTION_DATA_SEND_TIMEOUT, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT}) {
        SetOption(session, option, MillisecondsOf(stall_timeout_));
    }
}

InternetSession::~InternetSession() = default;

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
    SetOptionEx(handles_->session.get(), INTERNET_OPTION_CONNECT_RETRIES,
                static_cast<DWORD>(std::max(retries, 0)));
}

void InternetSession::SetConnectTimeout(Milliseconds timeout) {
    connect_timeout_ = EffectiveTimeout(timeout);
    SetOptionEx(handles_->session.get(), INTERNET_OPTION_CONNECT_TIMEOUT,
                MillisecondsOf(connect_timeout_));
}

// The client has no limit on a whole request; its connect, send and receive limits bound each
// step instead.
void InternetSession::SetTotalTimeout(Milliseconds timeout) {
    total_timeout_ = EffectiveTimeout(timeout, kTestDeadlineScale);
}

}  // namespace kel::net
