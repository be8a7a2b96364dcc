// The network layer's error codes, the same on every platform: the system client's numbers,
// which libcurl's failures are mapped onto.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "KELResMgr/net/HttpRequest.h"
#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/InternetSession.h"
#include "harness/HttpServer.h"
#include "harness/TempFolder.h"

namespace kel::net {
namespace {

using test::HttpAnswer;
using test::ScriptedHttpServer;

// The code a request to the server fails with (0 when it does not fail): sent, then read to its
// end.
int FailureCode(long port, const std::string& object) {
    try {
        InternetSession session;
        const HttpConnection connection(session, ScriptedHttpServer::kHost, port);
        HttpRequest request(connection, object, kExistingConnect);
        request.Send();
        char buffer[4096];
        while (request.Read(buffer, sizeof buffer) == sizeof buffer) {
        }
        return 0;
    } catch (const InternetError& error) {
        return error.code();
    }
}

// Each row would catch a failure that reads as another one, or as none, on one of the platforms:
// a caller or a trace that looks for the time-out or the lost connection finds the same number.
TEST(InternetErrorCodes, EachFailureHasTheSystemClientsCode) {
    const test::ScopedEnv short_timeouts("KELRES_TEST_NET_TIMEOUT_MS", "500");
    ScriptedHttpServer server;
    HttpAnswer silent;
    silent.never_answer = true;
    server.Answer("/silent", silent);
    HttpAnswer cut;
    cut.body_size = 100000;
    cut.close_after = 1000;
    server.Answer("/cut", cut);
    server.Answer("/whole", HttpAnswer::Text(200, "whole"));
    const struct {
        const char* name;
        long port;
        const char* object;
        int code;
        int also = -1;  // another code the platform's client may give
    } cases[] = {
        {"whole answer", server.port(), "whole", 0},
        {"nothing listening", test::FreePort(), "x", InternetError::kCannotConnect},
#if defined(_WIN32)
        // Wine's client reports a receive that timed out as a lost connection.
        {"no answer", server.port(), "silent", InternetError::kTimeout,
         InternetError::kConnectionAborted},
#else
        {"no answer", server.port(), "silent", InternetError::kTimeout},
#endif
        {"body cut short", server.port(), "cut", InternetError::kConnectionAborted},
        {"port out of range", 65536, "x", InternetError::kInvalidUrl},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const int code = FailureCode(row.port, row.object);
        EXPECT_TRUE(code == row.code || code == row.also) << code;
    }
}

}  // namespace
}  // namespace kel::net
