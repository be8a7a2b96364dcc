// The test servers themselves, checked with a bare socket client, so that a fault in a server is
// not mistaken for a fault of the library's network code.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "harness/HttpServer.h"
#include "harness/TempFolder.h"

namespace kel::test {
namespace {

// Sends raw request bytes to 127.0.0.1:port and returns everything received until the server
// closes (or until timeout_ms passes without data).
std::string Exchange(int port, const std::string& request, int timeout_ms = 5000) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    EXPECT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    std::string reply;
    char buffer[65536];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        reply.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return reply;
}

std::string Body(const std::string& reply) {
    const auto end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

// A server that ignored the script or mangled bytes would make every library test meaningless.
TEST(ScriptedHttpServer, AnswersAsScriptedAndRecordsTheRequestLine) {
    ScriptedHttpServer server;
    server.Answer("/page.asp", HttpAnswer::Redirect(302, "/elsewhere", "1"));
    server.Answer("/bytes", HttpAnswer::Text(200, std::string("a\0\r\n\xff", 5)));
    server.Answer("/big", [] {
        HttpAnswer answer;
        answer.body_size = 300000;
        return answer;
    }());

    const std::string redirect =
        Exchange(server.port(), "GET /page.asp?x=1&y=%20 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(redirect.rfind("HTTP/1.0 302 ", 0), 0u) << redirect;
    EXPECT_NE(redirect.find("Location: /elsewhere\r\n"), std::string::npos);
    EXPECT_EQ(Body(redirect), "1");
    EXPECT_EQ(Body(Exchange(server.port(), "GET /bytes HTTP/1.0\r\n\r\n")),
              std::string("a\0\r\n\xff", 5));
    EXPECT_EQ(Body(Exchange(server.port(), "GET /big HTTP/1.0\r\n\r\n")),
              ScriptedHttpServer::PatternBody(300000));
    EXPECT_EQ(Exchange(server.port(), "GET /other HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404", 0), 0u);

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].line, "GET /page.asp?x=1&y=%20 HTTP/1.0");
    EXPECT_EQ(server.Connections(), 4u);
    server.ClearRecords();
    EXPECT_TRUE(server.Requests().empty());
}

// Cut and stalled bodies must really be cut and stalled, or the library's failure paths would
// pass untested.
TEST(ScriptedHttpServer, CutsAndStallsBodies) {
    ScriptedHttpServer server;
    HttpAnswer cut;
    cut.body_size = 100000;
    cut.close_after = 5000;
    server.Answer("/cut", cut);
    HttpAnswer stall;
    stall.body_size = 100000;
    stall.stall_after = 1000;
    server.Answer("/stall", stall);
    HttpAnswer silent;
    silent.never_answer = true;
    server.Answer("/silent", silent);

    const std::string cut_reply = Exchange(server.port(), "GET /cut HTTP/1.0\r\n\r\n");
    EXPECT_NE(cut_reply.find("Content-Length: 100000\r\n"), std::string::npos);
    EXPECT_EQ(Body(cut_reply), ScriptedHttpServer::PatternBody(5000));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Body(Exchange(server.port(), "GET /stall HTTP/1.0\r\n\r\n", 700)),
              ScriptedHttpServer::PatternBody(1000));
    EXPECT_EQ(Exchange(server.port(), "GET /silent HTTP/1.0\r\n\r\n", 700), "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
}

// The files of the root folder are what the lead's download tests are served from.
TEST(ScriptedHttpServer, ServesFilesFromItsRootWithTheFileAnswer) {
    TempFolder root;
    std::filesystem::create_directories(root / "01/23");
    WriteFile(root / "01/23/a.tsl", "package bytes");
    ScriptedHttpServer server(root.path());
    HttpAnswer slow;
    slow.delay_ms = 300;
    server.AnswerFilesWith(slow);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Body(Exchange(server.port(), "GET /01/23/a.tsl HTTP/1.0\r\n\r\n")), "package bytes");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(Exchange(server.port(), "GET /01/23/b.tsl HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404", 0),
              0u);
    EXPECT_EQ(
        Exchange(server.port(), "GET /../../etc/passwd HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404", 0),
        0u);
}

// A server left running after its test would hold a port and a process for the whole suite.
TEST(ScriptedHttpServer, StopsItsProcess) {
    pid_t pid;
    {
        ScriptedHttpServer server;
        pid = server.pid();
        EXPECT_EQ(kill(pid, 0), 0);
    }
    EXPECT_NE(kill(pid, 0), 0);
}

TEST(NginxServer, ServesTheRootFolderAndStops) {
    TempFolder root;
    WriteFile(root / "page.asp", "7");
    pid_t pid;
    {
        NginxServer nginx(root.path());
        pid = nginx.pid();
        const std::string reply =
            Exchange(nginx.port(), "GET /page.asp?resourceid=1 HTTP/1.0\r\nHost: x\r\n\r\n");
        EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
        EXPECT_EQ(Body(reply), "7");
    }
    EXPECT_NE(kill(pid, 0), 0);
}

}  // namespace
}  // namespace kel::test
