// The network layer on its own: request targets, errors, and the streaming reads of a request.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "FailingAllocations.h"
#include "KELResMgr/catalogue/CatalogueQueries.h"
#include "KELResMgr/net/HttpRequest.h"
#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/InternetSession.h"
#include "KELResMgr/net/RequestTarget.h"
#include "KELResMgr/net/TransferPace.h"
#include "KELResMgr/net/UrlAuthority.h"
#include "harness/HttpServer.h"
#include "harness/TempFolder.h"

namespace kel::net {
namespace {

using test::HttpAnswer;
using test::ScriptedHttpServer;
using Clock = std::chrono::steady_clock;

// libcurl is initialised once for the process, as the module does at load.
class CurlEnvironment : public testing::Environment {
  public:
    void SetUp() override { curl_global_init(CURL_GLOBAL_DEFAULT); }
    void TearDown() override { curl_global_cleanup(); }
};
const auto* const g_curl = testing::AddGlobalTestEnvironment(new CurlEnvironment);

// Each row would catch a byte that could break the request line or add a header, or an
// encoding of a byte that hosts already encode themselves.
TEST(RequestTarget, EncodesOnlyWhatCannotStandInATarget) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"page.asp?a=1&b=2", "page.asp?a=1&b=2"},
        {"a b", "a%20b"},
        {"a\r\nHost: x", "a%0D%0AHost:%20x"},
        {"tab\there", "tab%09here"},
        {"frag#ment", "frag%23ment"},
        {"del\x7f", "del%7F"},
        {"\xe9\xff", "%E9%FF"},
        {std::string("nul\0x", 5), "nul%00x"},
        {"already%20encoded%zz", "already%20encoded%zz"},
        {"~!$'()*+,;:@/?[]{}|^`\"<>\\", "~!$'()*+,;:@/?[]{}|^`\"<>\\"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(EncodeRequestTarget(row.in), row.out);
    }
}

// A server's long answer text must not grow the message past what the trace takes.
TEST(InternetError, MessageIsCutTo1023Characters) {
    const InternetError error(7, std::string(5000, 'm'));
    EXPECT_EQ(std::string(error.message()).size(), 1023u);
    EXPECT_EQ(error.code(), 7);
}

// A socket listening on 127.0.0.1 with the given accept queue; its address in *address.
int Listen(int backlog, sockaddr_in* address) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    *address = sockaddr_in{};
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof *address;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(address), sizeof *address), 0);
    EXPECT_EQ(listen(listener, backlog), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(address), &length);
    return listener;
}

class Request : public testing::Test {
  protected:
    std::string ReadAll(const std::string& object, std::size_t block, std::vector<size_t>* sizes) {
        HttpConnection connection(session_, ScriptedHttpServer::kHost, server_.port());
        HttpRequest request(connection, object, kExistingConnect);
        request.Send();
        EXPECT_EQ(request.StatusCode(), 200);
        std::string body;
        std::vector<char> buffer(block);
        for (;;) {
            const std::size_t got = request.Read(buffer.data(), block);
            sizes->push_back(got);
            body.append(buffer.data(), got);
            if (got == 0) {
                return body;
            }
        }
    }

    ScriptedHttpServer server_;
    InternetSession session_;
};

// Reads fill the caller's buffer whole until the body ends, whatever the sizes of the network
// blocks: a read that came back short before the end would end a download early.
TEST_F(Request, ReadsFillTheBufferUntilTheEnd) {
    constexpr std::size_t kBody = 300007;
    HttpAnswer answer;
    answer.body_size = kBody;
    answer.chunk_size = 1000;  // many small network blocks
    server_.Answer("/b", answer);
    for (const std::size_t block : {1ul, 7ul, 1024ul, 20480ul, 65536ul, 400000ul}) {
        SCOPED_TRACE(block);
        std::vector<size_t> sizes;
        EXPECT_TRUE(ReadAll("b", block, &sizes) == ScriptedHttpServer::PatternBody(kBody));
        for (std::size_t i = 0; i + 2 < sizes.size(); ++i) {
            ASSERT_EQ(sizes[i], block) << "read " << i;
        }
        EXPECT_EQ(sizes.back(), 0u);
    }
}

// A body of exactly one block takes two reads: the block, then 0.
TEST_F(Request, BodyOfExactlyOneBlockTakesTwoReads) {
    HttpAnswer answer;
    answer.body_size = 20480;
    server_.Answer("/b", answer);
    std::vector<size_t> sizes;
    ReadAll("b", 20480, &sizes);
    EXPECT_EQ(sizes, (std::vector<size_t>{20480, 0}));
}

// Without the no-redirect flag a redirect is followed; with it, the redirect is the answer. A
// redirect to itself ends as a redirect failure instead of being followed for ever.
TEST_F(Request, RedirectFlag) {
    server_.Answer("/old", HttpAnswer::Redirect(301, "/new", "old body"));
    server_.Answer("/new", HttpAnswer::Text(200, "new body"));
    HttpConnection connection(session_, ScriptedHttpServer::kHost, server_.port());
    char buffer[64] = {};
    {
        HttpRequest request(connection, "old", kNoAutoRedirect);
        request.Send();
        EXPECT_EQ(request.StatusCode(), 301);
        EXPECT_EQ(std::string(buffer, request.Read(buffer, sizeof buffer)), "old body");
    }
    {
        HttpRequest request(connection, "old", kExistingConnect);
        request.Send();
        EXPECT_EQ(request.StatusCode(), 200);
        EXPECT_EQ(std::string(buffer, request.Read(buffer, sizeof buffer)), "new body");
    }
    server_.Answer("/loop", HttpAnswer::Redirect(302, "/loop", "again"));
    HttpRequest loop(connection, "loop", kExistingConnect);
    try {
        loop.Send();
        ADD_FAILURE() << "a redirect loop was followed to an answer";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), InternetError::kRedirectFailed);
    }
}

// Open connections are kept for later requests (a keep-alive server sees one connection for
// requests made one after another), but requests that run at the same time never share one:
// each gets its own connection and its own body, whole.
TEST_F(Request, KeepsConnectionsButNeverSharesOneAtATime) {
    HttpAnswer answer;
    answer.body_size = 300000;
    answer.keep_alive = true;
    server_.Answer("/b", answer);
    const HttpConnection connection(session_, ScriptedHttpServer::kHost, server_.port());
    const auto read_whole = [](HttpRequest& request) {
        std::string body(300001, '\0');
        body.resize(request.Read(body.data(), body.size()));
        return body == ScriptedHttpServer::PatternBody(300000);
    };
    for (int i = 0; i < 3; ++i) {
        HttpRequest request(connection, "b", kExistingConnect);
        request.Send();
        EXPECT_TRUE(read_whole(request));
    }
    EXPECT_EQ(server_.Connections(), 1u);

    std::vector<std::unique_ptr<HttpRequest>> open;
    for (int i = 0; i < 3; ++i) {
        open.push_back(std::make_unique<HttpRequest>(connection, "b", kExistingConnect));
        open.back()->Send();
    }
    for (auto& request : open) {
        EXPECT_TRUE(read_whole(*request));
    }
    EXPECT_EQ(server_.Connections(), 3u);  // the first one again, and two more
}

// A failure inside libcurl's body callback (here: no memory to hold bytes received ahead) ends
// the transfer and reaches the reader as itself, and the connection serves the next request:
// an exception unwound through libcurl's frames instead would leave its state half-changed.
TEST_F(Request, FailureInsideTheBodyCallbackReachesTheReader) {
    HttpAnswer answer;
    answer.body_size = 300000;
    server_.Answer("/b", answer);
    const HttpConnection connection(session_, ScriptedHttpServer::kHost, server_.port());
    {
        HttpRequest request(connection, "b", kExistingConnect);
        char byte;
        test::FailAllocationsFrom(16 * 1024);
        EXPECT_THROW(
            {
                request.Send();
                while (request.Read(&byte, 1) == 1) {
                }
            },
            std::bad_alloc);
        test::FailAllocationsFrom(0);
    }
    HttpRequest again(connection, "b", kExistingConnect);
    again.Send();
    std::string body(300001, '\0');
    body.resize(again.Read(body.data(), body.size()));
    EXPECT_TRUE(body == ScriptedHttpServer::PatternBody(300000));
}

// The authority of HTTP and FTP URLs alike: an IPv6 address without brackets would be read as a
// host and a port.
TEST(UrlAuthority, BracketsIpv6Addresses) {
    const struct {
        const char* host;
        long port;
        const char* authority;
    } cases[] = {
        {"127.0.0.1", 0, "127.0.0.1"},
        {"::1", 21, "[::1]:21"},
        {"fe80::1", 0, "[fe80::1]"},
        {"[::1]", 8055, "[::1]:8055"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.host);
        EXPECT_EQ(UrlAuthority(row.host, row.port), row.authority);
    }
}

// The pace rules on a simulated clock (stall window 1000 ms, 1024 bytes per window), checked
// every 10 ms as a transfer loop would. Each row is a server (or a caller) that a rule must stop,
// or one that it must let through.
TEST(TransferPace, StopsServersThatSendTooLittle) {
    struct Row {
        const char* name;
        int interim_every = 0;  // ms between interim header lines (until the final headers)
        int final_at = 0;       // ms: the final headers; -1 never
        int body_every = 0;     // ms between body blocks, after the final headers
        std::size_t body_block = 0;
        int deadline = -1;     // ms, -1 none
        int caller_from = -1;  // ms: the caller's own time (no waiting, no checks) ...
        int caller_to = -1;    // ... until it reads again
        int fails_at = -1;     // ms of the first failed check; -1: none within 6000 ms
    };
    const Row rows[] = {
        {"silent after the connect", 0, -1, 0, 0, -1, -1, -1, 1000},
        {"interim answers without end", 100, -1, 0, 0, -1, -1, -1, 1000},
        {"late headers, steady body", 0, 900, 200, 2000, -1, -1, -1, -1},
        {"dripping body", 0, 0, 100, 1, -1, -1, -1, 1000},
        {"a KiB a window is enough", 0, 0, 900, 1024, -1, -1, -1, -1},
        {"body stops", 0, 0, 0, 0, -1, -1, -1, 1000},
        {"deadline", 0, 0, 100, 4096, 2500, -1, -1, 2500},
        {"caller's own time", 0, 0, 100, 4096, -1, 1000, 4000, -1},
    };
    using Clock = TransferPace::Clock;
    const Clock::time_point start{};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TransferPace pace(Milliseconds(1000), 1024);
        if (row.deadline >= 0) {
            pace.SetDeadline(start + Milliseconds(row.deadline));
        }
        pace.Connected(start);
        int failed_at = -1;
        for (int t = 0; t <= 6000 && failed_at < 0; t += 10) {
            const Clock::time_point now = start + Milliseconds(t);
            if (t >= row.caller_from && t < row.caller_to) {
                continue;
            }
            if (t == row.caller_to) {
                pace.Resume(now);
            }
            const bool headers_in = row.final_at >= 0 && t >= row.final_at;
            if (!headers_in && row.interim_every > 0 && t % row.interim_every == 0) {
                pace.Received(30, false, now);
            }
            if (t == row.final_at) {
                pace.Received(30, false, now);
                pace.HeadersDone(now);
            }
            if (headers_in && row.body_every > 0 && t > row.final_at &&
                (t - row.final_at) % row.body_every == 0) {
                pace.Received(row.body_block, true, now);
            }
            if (pace.Check(now)) {
                failed_at = t;
            }
        }
        EXPECT_EQ(failed_at, row.fails_at);
    }
}

// A reply that is not HTTP has no status: the request fails instead of reading garbage.
TEST(RequestFailures, ReplyWithoutStatusLineFails) {
    sockaddr_in address;
    const int listener = Listen(4, &address);
    std::thread server([&] {
        const int client = accept(listener, nullptr, nullptr);
        char request[1024];
        [[maybe_unused]] auto got = recv(client, request, sizeof request, 0);
        const char garbage[] = "garbage without a status line\r\n\r\n";
        [[maybe_unused]] auto sent = send(client, garbage, sizeof garbage - 1, MSG_NOSIGNAL);
        close(client);
    });
    InternetSession session;
    HttpConnection connection(session, "127.0.0.1", ntohs(address.sin_port));
    HttpRequest request(connection, "x", kNoAutoRedirect);
    EXPECT_THROW(request.Send(), InternetError);
    server.join();
    close(listener);
}

// Ports beyond 16 bits are refused instead of being cut to another port.
TEST(RequestFailures, PortOutOfRangeIsAnInternetError) {
    InternetSession session;
    EXPECT_THROW(HttpConnection(session, "127.0.0.1", 65536), InternetError);
    EXPECT_THROW(HttpConnection(session, "127.0.0.1", -1), InternetError);
}

// The catalogue's connect retry: a server whose accept queue is full never completes the
// connect, so the query takes two connect time-outs, not one and not for ever.
TEST(RequestFailures, ConnectTimeOutIsRetriedOnce) {
    test::ScopedEnv short_timeouts("KELRES_TEST_NET_TIMEOUT_MS", "400");
    sockaddr_in address;
    const int listener = Listen(0, &address);
    // Fill the accept queue: later connects get no answer to their SYN.
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(filler);
    }
    usleep(100000);
    const auto start = Clock::now();
    const auto result =
        catalogue::QueryWebService("127.0.0.1", std::to_string(ntohs(address.sin_port)), "x");
    const auto took = Clock::now() - start;
    EXPECT_EQ(result.outcome, catalogue::QueryFailure::kRequest);
    EXPECT_GE(took, std::chrono::milliseconds(780));
    EXPECT_LT(took, std::chrono::seconds(5));
    for (const int filler : fillers) {
        close(filler);
    }
    close(listener);
}

}  // namespace
}  // namespace kel::net
