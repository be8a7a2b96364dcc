// The network layer on its own: request targets, errors, and the streaming reads of a request.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "KELResMgr/CatalogueQueries.h"
#include "KELResMgr/net/HttpRequest.h"
#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/InternetSession.h"
#include "KELResMgr/net/RequestTarget.h"
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

// Without the no-redirect flag a redirect is followed; with it, the redirect is the answer.
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
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error_code, 0);
    EXPECT_GE(took, std::chrono::milliseconds(780));
    EXPECT_LT(took, std::chrono::seconds(5));
    for (const int filler : fillers) {
        close(filler);
    }
    close(listener);
}

}  // namespace
}  // namespace kel::net
