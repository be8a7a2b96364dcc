// The shared download manager's HTTP download (DownloadFileByHttp) against the scripted server,
// through a loaded module that reads its settings file as the library does.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ProbeCopy.h"
#include "harness/HttpServer.h"
#include "harness/TempFolder.h"

namespace kel::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Settings(int port, const std::string& host = "127.0.0.1") {
    return "[download]\nhttp_server=" + host + "\nhttp_port=" + std::to_string(port) + "\n";
}

std::string Numbered(std::string name, std::size_t number) {
    name += std::to_string(number);
    return name;
}

HttpAnswer Pattern(std::size_t size) {
    HttpAnswer answer;
    answer.body_size = size;
    return answer;
}

class Download : public testing::Test {
  protected:
    ScriptedHttpServer server_;
    TempFolder local_;
};

// Each row would catch a body written short, long or shifted: empty bodies, a body that ends
// exactly on the block size (two reads, 20480 then 0), one byte around it, and a large body.
TEST_F(Download, WritesTheWholeBodyByteForByte) {
    ProbeCopy probe(Settings(server_.port()));
    const std::size_t sizes[] = {0, 1, 20479, 20480, 20481, 3 * 20480, 5 * 1024 * 1024 + 7};
    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        server_.Answer("/body.tsl", Pattern(size));
        const std::string local = local_ / Numbered("body", size);
        ASSERT_EQ(probe.Download("body.tsl", local.c_str()), 0);
        const auto written = ReadFile(local);
        ASSERT_TRUE(written.has_value());
        EXPECT_EQ(written->size(), size);
        EXPECT_TRUE(*written == ScriptedHttpServer::PatternBody(size)) << "content differs";
    }
}

// A body that ends when the connection closes (no length given) is whole, not a failure.
TEST_F(Download, BodyWithoutLengthEndsAtClose) {
    ProbeCopy probe(Settings(server_.port()));
    HttpAnswer answer = Pattern(50000);
    answer.content_length = false;
    server_.Answer("/a.tsl", answer);
    const std::string local = local_ / "a.tsl";
    EXPECT_EQ(probe.Download("a.tsl", local.c_str()), 0);
    EXPECT_EQ(ReadFile(local), ScriptedHttpServer::PatternBody(50000));
}

// The object name on the wire: backslashes become '/', the request is HTTP/1.0, and the request
// carries no accept types.
TEST_F(Download, RequestsTheObjectNameWithSlashes) {
    ProbeCopy probe(Settings(server_.port()));
    server_.Answer("*", HttpAnswer::Text(200, "x"));
    ASSERT_EQ(probe.Download("0A\\1B\\2C\\3D\\0A1B2C3D0000ABCD.tsl", (local_ / "f").c_str()), 0);
    const auto requests = server_.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].line, "GET /0A/1B/2C/3D/0A1B2C3D0000ABCD.tsl HTTP/1.0");
    EXPECT_FALSE(requests[0].Header("Accept").has_value());
}

// Any status but 200 is 121, and the local file is not created: a 404 must not leave an empty
// package behind for the checks that follow a download.
TEST_F(Download, StatusOtherThan200LeavesNoFile) {
    ProbeCopy probe(Settings(server_.port()));
    for (const int status : {404, 500, 206, 204, 304, 302}) {
        SCOPED_TRACE(status);
        server_.Answer("/p.tsl", HttpAnswer::Text(status, "not the package"));
        const std::string local = local_ / Numbered("p", status);
        EXPECT_EQ(probe.Download("p.tsl", local.c_str()), 121);
        EXPECT_FALSE(fs::exists(local));
    }
}

// A redirect of the media server is followed, as the download request does not forbid it.
TEST_F(Download, FollowsARedirect) {
    ProbeCopy probe(Settings(server_.port()));
    server_.Answer("/old.tsl", HttpAnswer::Redirect(302, "/new.tsl", "moved"));
    server_.Answer("/new.tsl", HttpAnswer::Text(200, "package"));
    const std::string local = local_ / "p";
    EXPECT_EQ(probe.Download("old.tsl", local.c_str()), 0);
    EXPECT_EQ(ReadFile(local), "package");
}

// A server (or proxy) that sends more than its Content-Length: the bytes past the end look like
// an answer of their own. Neither this package nor the next download may get them: a client that
// reads on past the length adds them to this package (and then waits for the rest of a kept
// connection), and a pool that lent a kept connection again would store them as the next
// package, with result 0. Rows: a server that closes after them; on a kept connection a short
// body (the stray bytes may come with the first read), a long one (they wait in the socket), and
// a redirect followed over the same connection.
TEST_F(Download, BytesPastTheEndNeverAnswerTheNextRequest) {
    const auto stray = [](HttpAnswer answer, bool keep_alive) {
        answer.keep_alive = keep_alive;
        answer.excess =
            "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nConnection: keep-alive\r\n\r\nstray";
        return answer;
    };
    HttpAnswer second = HttpAnswer::Text(200, "second");
    second.keep_alive = true;
    server_.Answer("/second.tsl", second);
    server_.Answer("/target.tsl", HttpAnswer::Text(200, "target"));
    const struct {
        const char* name;
        HttpAnswer first;
        std::string body;
    } cases[] = {
        {"closed after", stray(HttpAnswer::Text(200, "first"), false), "first"},
#if !defined(_WIN32)
        // The system client keeps its connections itself and follows redirects over them; bytes
        // that it leaves on one (it only checks that the connection is alive) go to its next
        // request, out of the layer's reach.
        {"short body", stray(HttpAnswer::Text(200, "first"), true), "first"},
        {"long body", stray(Pattern(300000), true), ScriptedHttpServer::PatternBody(300000)},
        {"redirect", stray(HttpAnswer::Redirect(302, "/target.tsl", "moved"), true), "target"},
#endif
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        ProbeCopy probe(Settings(server_.port()));
        server_.Answer("/first.tsl", row.first);
        EXPECT_EQ(probe.Download("first.tsl", (local_ / "first").c_str()), 0);
        EXPECT_TRUE(ReadFile(local_ / "first") == row.body);
        EXPECT_EQ(probe.Download("second.tsl", (local_ / "second").c_str()), 0);
        EXPECT_EQ(ReadFile(local_ / "second"), "second");
    }
}

// 122 comes after the answer was 200: the folder is missing, or the path names a folder.
TEST_F(Download, UncreatableLocalFileIs122) {
    ProbeCopy probe(Settings(server_.port()));
    server_.Answer("*", HttpAnswer::Text(200, "package"));
    EXPECT_EQ(probe.Download("p.tsl", (local_ / "missing/p.tsl").c_str()), 122);
    EXPECT_EQ(probe.Download("p.tsl", local_.path().c_str()), 122);
    EXPECT_EQ(server_.Requests().size(), 2u);
}

// An empty http_server stops before any traffic, and as long as no connection exists each
// download reads the key again: a server filled in later is used.
TEST_F(Download, EmptyServerIs120UntilFilledIn) {
    ProbeCopy probe("[download]\nhttp_server=\nhttp_port=" + std::to_string(server_.port()) + "\n");
    server_.Answer("*", HttpAnswer::Text(200, "package"));
    EXPECT_EQ(probe.Download("p.tsl", (local_ / "p").c_str()), 120);
    EXPECT_EQ(server_.Connections(), 0u);
    EXPECT_NE(probe.Session(), nullptr);
    EXPECT_EQ(probe.Connection(), nullptr);
    probe.WriteSettings(Settings(server_.port()));
    EXPECT_EQ(probe.Download("p.tsl", (local_ / "p").c_str()), 0);
    EXPECT_EQ(server_.Connections(), 1u);
}

// Without a settings file the media server is "localhost" at 8055.
TEST(DownloadDefaults, LocalhostPort8055) {
    const auto server = TryStart<ScriptedHttpServer>("", 8055);
    if (!server) {
        GTEST_SKIP() << "port 8055 is taken";
    }
    server->Answer("*", HttpAnswer::Text(200, "default"));
    TempFolder local;
    ProbeCopy probe("");
    EXPECT_EQ(probe.Download("p.tsl", (local / "p").c_str()), 0);
    EXPECT_EQ(ReadFile(local / "p"), "default");
}

// An empty http_port means the protocol's default port, 80.
TEST(DownloadDefaults, EmptyPortIs80) {
    const auto server = TryStart<ScriptedHttpServer>("", 80);
    if (!server) {
        GTEST_SKIP() << "port 80 cannot be used here";
    }
    server->Answer("*", HttpAnswer::Text(200, "on 80"));
    TempFolder local;
    ProbeCopy probe("[download]\nhttp_server=127.0.0.1\nhttp_port=\n");
    EXPECT_EQ(probe.Download("p.tsl", (local / "p").c_str()), 0);
    EXPECT_EQ(ReadFile(local / "p"), "on 80");
}

// A server that closes in the middle of the body is an internet error (102), not a short
// package reported as stored; the part received never shows at the local path, and no
// temporary file is left beside it.
TEST_F(Download, ClosedMidBodyIs102) {
    ProbeCopy probe(Settings(server_.port()));
    HttpAnswer answer = Pattern(200000);
    answer.close_after = 100000;
    server_.Answer("/p.tsl", answer);
    const std::string local = local_ / "p";
    EXPECT_EQ(probe.Download("p.tsl", local.c_str()), 102);
    EXPECT_FALSE(fs::exists(fs::symlink_status(local)));
    EXPECT_TRUE(fs::is_empty(local_.path()));
}

// Nothing listening at the configured port: 102, and the connection object stays for the next
// download (it is never dropped or rebuilt).
TEST_F(Download, RefusedConnectionIs102AndTheConnectionStays) {
    ProbeCopy probe(Settings(FreePort()));
    EXPECT_EQ(probe.Download("p.tsl", (local_ / "p").c_str()), 102);
    const void* connection = probe.Connection();
    EXPECT_NE(connection, nullptr);
    EXPECT_EQ(probe.Download("p.tsl", (local_ / "p").c_str()), 102);
    EXPECT_EQ(probe.Connection(), connection);
}

// A server that stops sending, or never answers, fails within the stall time-out instead of
// hanging the worker for ever. The suite's time-out replacement makes that half a second.
TEST_F(Download, StalledServerFailsWithinTheStallTimeout) {
    ScopedEnv short_timeouts("KELRES_TEST_NET_TIMEOUT_MS", "500");
    ProbeCopy probe(Settings(server_.port()));
    HttpAnswer stalls = Pattern(100000);
    stalls.stall_after = 30000;
    server_.Answer("/stall.tsl", stalls);
    HttpAnswer silent;
    silent.never_answer = true;
    server_.Answer("/silent.tsl", silent);
    for (const char* name : {"stall.tsl", "silent.tsl"}) {
        SCOPED_TRACE(name);
        const auto start = Clock::now();
        EXPECT_EQ(probe.Download(name, (local_ / name).c_str()), 102);
        const auto took = Clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(450));
        EXPECT_LT(took, std::chrono::seconds(10));
    }
}

// A slow server that keeps sending is not a stall, however long the whole body takes.
TEST_F(Download, SlowButSteadyServerIsNoStall) {
    ScopedEnv short_timeouts("KELRES_TEST_NET_TIMEOUT_MS", "400");
    ProbeCopy probe(Settings(server_.port()));
    HttpAnswer slow = Pattern(20 * 1000);
    slow.chunk_size = 1000;
    slow.chunk_delay_ms = 100;  // 2 s in all, never 400 ms without data
    server_.Answer("/slow.tsl", slow);
    EXPECT_EQ(probe.Download("slow.tsl", (local_ / "slow").c_str()), 0);
    EXPECT_EQ(ReadFile(local_ / "slow"), ScriptedHttpServer::PatternBody(20 * 1000));
}

// A server that keeps sending, but too little to matter, fails as a stall does instead of
// holding a download slot for as long as it likes: a body dripped a byte at a time, and
// "100 Continue" answers flooded ahead of the real one. Unchecked, each would end in a stored
// package (0) after seconds (hours with the real time-outs).
TEST_F(Download, DrippingOrFloodingServerFails) {
    ScopedEnv short_timeouts("KELRES_TEST_NET_TIMEOUT_MS", "500");
    HttpAnswer drip = Pattern(100);
    drip.chunk_size = 1;
    drip.chunk_delay_ms = 40;  // 4 s in all, 12 bytes in a window
    HttpAnswer flood = Pattern(100);
    flood.interim_count = 80;
    flood.interim_delay_ms = 40;
    const struct {
        const char* name;
        HttpAnswer answer;
    } cases[] = {{"drip", drip}, {"flood", flood}};
    ProbeCopy probe(Settings(server_.port()));
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        server_.Answer("/p.tsl", row.answer);
        EXPECT_EQ(probe.Download("p.tsl", (local_ / row.name).c_str()), 102);
        EXPECT_FALSE(fs::exists(local_ / row.name));
    }
}

#if !defined(_WIN32)  // links and pipes are made the POSIX way
// Whatever stands at the local path is replaced, never written through: a link (dangling, to a
// file, to a folder) would otherwise put the package wherever it points, and a pipe would block
// the download for ever. The package arrives whole in a regular file of its own.
TEST_F(Download, ReplacesWhatIsPlantedAtTheLocalPath) {
    ProbeCopy probe(Settings(server_.port()));
    server_.Answer("*", HttpAnswer::Text(200, "package"));
    TempFolder elsewhere;
    WriteFile(elsewhere / "victim", "keep");
    fs::create_directory(elsewhere / "folder");
    const struct {
        const char* name;
        std::function<void(const std::string&)> plant;
    } cases[] = {
        {"dangling link", [&](auto& at) { fs::create_symlink(elsewhere / "made", at); }},
        {"link to a file", [&](auto& at) { fs::create_symlink(elsewhere / "victim", at); }},
        {"link to a folder", [&](auto& at) { fs::create_symlink(elsewhere / "folder", at); }},
        {"pipe", [](auto& at) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); }},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const std::string local = local_ / row.name;
        row.plant(local);
        EXPECT_EQ(probe.Download("p.tsl", local.c_str()), 0);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(local)));
        EXPECT_EQ(ReadFile(local), "package");
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(elsewhere / "made")));
    EXPECT_EQ(ReadFile(elsewhere / "victim"), "keep");
    EXPECT_TRUE(fs::is_empty(elsewhere / "folder"));
    EXPECT_EQ(std::distance(fs::directory_iterator(local_.path()), {}), 4);  // no part file left
}
#endif

// Catches bodies of transfers cut off with their process piling up beside the packages: the
// first download of a load removes the part files that no live transfer holds, old or young
// (their age tells nothing), and leaves other files alone.
TEST_F(Download, FirstDownloadRemovesAbandonedPartFiles) {
    const std::string abandoned = local_ / "0A1B2C3D0000ABCD.tsl.part-0123abcd";
    const std::string young = local_ / "0A1B2C3D0000ABCE.tsl.part-89abcdef";
    const std::string other = local_ / "notes.part-0123abcd";
    for (const std::string& path : {abandoned, young, other}) {
        WriteFile(path, "x");
    }
    const auto two_hours_ago = fs::file_time_type::clock::now() - std::chrono::hours(2);
    fs::last_write_time(abandoned, two_hours_ago);
    fs::last_write_time(other, two_hours_ago);
    ProbeCopy probe(Settings(server_.port()));
    server_.Answer("/body.tsl", Pattern(10));
    ASSERT_EQ(probe.Download("body.tsl", (local_ / "body.tsl").c_str()), 0);
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_FALSE(fs::exists(young));
    EXPECT_TRUE(fs::exists(other));
}

// The first downloads of a fresh module start together: both succeed on one session and one
// connection, which every later download reuses (also after a failure), and settings changed
// once the connection exists change nothing until the next load.
TEST_F(Download, FirstDownloadsTogetherShareOneSessionAndConnection) {
    ProbeCopy probe(Settings(server_.port()));
    HttpAnswer slow = Pattern(300000);
    slow.delay_ms = 200;
    server_.Answer("*", slow);
    constexpr int kThreads = 4;
    std::vector<int> results(kThreads, -2);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(
            [&, i] { results[i] = probe.Download("p.tsl", (local_ / Numbered("p", i)).c_str()); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(results[i], 0) << "download " << i;
        EXPECT_EQ(ReadFile(local_ / Numbered("p", i)), ScriptedHttpServer::PatternBody(300000));
    }
    const void* session = probe.Session();
    const void* connection = probe.Connection();
    ASSERT_NE(connection, nullptr);

    server_.Answer("/missing.tsl", HttpAnswer::Text(404, ""));
    EXPECT_EQ(probe.Download("missing.tsl", (local_ / "m").c_str()), 121);
    probe.WriteSettings(Settings(FreePort()));
    probe.SetTestMode(true);
    EXPECT_EQ(probe.Download("p.tsl", (local_ / "again").c_str()), 0);
    EXPECT_EQ(probe.Session(), session);
    EXPECT_EQ(probe.Connection(), connection);
}

}  // namespace
}  // namespace kel::test
