// How the system client's side of the layer reaches its own state inside the layer's sessions and
// connections, whose headers keep it private.
#pragma once

#include <windows.h>
#include <wininet.h>

namespace kel::net {

class HttpConnection;
class InternetSession;

struct ClientAccess {
    // The session's handle, parent of its connections' handles.
    static HINTERNET Session(const InternetSession& session);
    // The handle the client keeps the connections to the server under, parent of the requests'.
    static HINTERNET Connection(const HttpConnection& connection);
};

}  // namespace kel::net
