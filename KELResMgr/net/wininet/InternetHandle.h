// One owner for every handle of the system's internet client, and its error texts.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <memory>
#include <string>

#include "KELResMgr/net/InternetSession.h"

namespace kel::net {

// Closes a handle, children before parents as their owners go; leaves it to the process on the
// thread that unloads the library (UnloadScope).
struct InternetHandleClose {
    void operator()(HINTERNET handle) const noexcept;
};
using InternetHandle = std::unique_ptr<void, InternetHandleClose>;

// Gives a connection or request handle the session's limits on sends and receives: the client
// does not pass them down from the session to every kind of handle.
void InheritTimeouts(const InternetSession& session, HINTERNET handle);

// The server's last answer on this thread (InternetGetLastResponseInfoA), at most
// InternetError::kMaxMessage characters, line ends taken off; empty when there is none.
std::string LastResponse();
// The text for one of the client's error codes: for ERROR_INTERNET_EXTENDED_ERROR the server's
// last answer, else the system's text for the code.
std::string InternetErrorText(DWORD code);
// Raises the InternetError of the calling thread's last error: "<what>: <text>".
[[noreturn]] void ThrowLastError(const std::string& what);

}  // namespace kel::net
