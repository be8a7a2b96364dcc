// The catalogue exports as a host calls them, against the scripted server.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "harness/HttpServer.h"
#include "harness/LibraryCopy.h"
#include "harness/TempFolder.h"

namespace kel::test {
namespace {

std::string Settings(int port, const std::string& prefix = "") {
    return "[upload]\n" + prefix + "ws_url=127.0.0.1\n" + prefix +
           "ws_http_port=" + std::to_string(port) + "\n";
}

class Catalogue : public testing::Test {
  protected:
    Catalogue() : library_(Settings(server_.port())) {}

    // Every page answers the same.
    void AnswerAll(const HttpAnswer& answer) { server_.Answer("*", answer); }
    void AnswerAll(int status, const std::string& body) {
        AnswerAll(HttpAnswer::Text(status, body));
    }

    ScriptedHttpServer server_;
    LibraryCopy library_;
};

// Each export requests its own page with its own query, arguments in their order.
TEST_F(Catalogue, RequestsEachPageWithItsQuery) {
    AnswerAll(200, "1");
    char buffer[16];
    library_.GetResourceDescription("in1", "au1", buffer, sizeof buffer);
    library_.UpdateResourceDescription("in2", "de2", "au2");
    library_.GetResIDState("id3");
    library_.GetResourceID("in4", "au4", buffer, sizeof buffer);
    library_.ValidResID("id5", "au5");
    library_.InvalidResID("id6");
    const std::vector<std::string> expected = {
        "GET /GetResourceDescription.asp?input=in1&author=au1 HTTP/1.0",
        "GET /UpdateResourceDescription.asp?input=in2&description=de2&author=au2 HTTP/1.0",
        "GET /getresourceidstate.asp?resourceid=id3 HTTP/1.0",
        "GET /GetResourceID.asp?input=in4&author=au4 HTTP/1.0",
        "GET /validresourceid.asp?resourceid=id5&author=au5 HTTP/1.0",
        "GET /invalidresourceid.asp?resourceid=id6 HTTP/1.0",
    };
    EXPECT_EQ(server_.RequestLines(), expected);
}

// No catalogue address: the not-configured values and no traffic at all, even with a port set.
TEST(CatalogueNotConfigured, ReturnsNotConfiguredWithoutTraffic) {
    ScriptedHttpServer server;
    server.Answer("*", HttpAnswer::Text(200, "1"));
    for (const std::string& settings :
         {"[upload]\nws_http_port=" + std::to_string(server.port()) + "\n",
          "[upload]\nws_url=\nws_http_port=" + std::to_string(server.port()) + "\n"}) {
        SCOPED_TRACE(settings);
        LibraryCopy library(settings);
        char buffer[8] = "keep";
        EXPECT_EQ(library.GetResourceDescription("a", "b", buffer, sizeof buffer), 0);
        EXPECT_STREQ(buffer, "keep");
        EXPECT_FALSE(library.UpdateResourceDescription("a", "b", "c"));
        EXPECT_EQ(library.GetResIDState("a"), 0);
        EXPECT_EQ(library.GetResourceID("a", "b", buffer, sizeof buffer),
                  KELRES_CATALOGUE_NOT_CONFIGURED);
        EXPECT_EQ(library.ValidResID("a", "b"), KELRES_CATALOGUE_NOT_CONFIGURED);
        EXPECT_EQ(library.InvalidResID("a"), KELRES_CATALOGUE_NOT_CONFIGURED);
    }
    EXPECT_EQ(server.Connections(), 0u);
}

struct ReplyCase {
    const char* name;
    HttpAnswer answer;
    bool update;  // UpdateResourceDescription
    int state;    // GetResIDState
    int valid;    // ValidResID and InvalidResID
    int get_id;   // GetResourceID
};

// The reply conventions: each row would catch an export that reads one kind of reply wrongly.
TEST_F(Catalogue, ReplyConventions) {
    constexpr int kOk = KELRES_CATALOGUE_OK;
    constexpr int kNo = KELRES_CATALOGUE_REPLY_NO;
    constexpr int kFailed = KELRES_CATALOGUE_REQUEST_FAILED;
    const ReplyCase cases[] = {
        {"one", HttpAnswer::Text(200, "1"), true, 1, kOk, kOk},
        {"one and a line break", HttpAnswer::Text(200, "1\r\n"), false, 1, kOk, kOk},
        {"two zeros", HttpAnswer::Text(200, "00"), false, 0, kOk, kOk},
        {"zero", HttpAnswer::Text(200, "0"), false, 0, kNo, kOk},
        {"empty", HttpAnswer::Text(200, ""), false, 0, kNo, kOk},
        {"blanks digits letter", HttpAnswer::Text(200, "  42x"), false, 42, kOk, kOk},
        {"negative", HttpAnswer::Text(200, "-7"), false, -7, kOk, kOk},
        {"letters", HttpAnswer::Text(200, "abc"), false, 0, kOk, kOk},
        {"redirect with body", HttpAnswer::Redirect(302, "/elsewhere", "1"), true, 1, kOk, kOk},
        {"not found", HttpAnswer::Text(404, "1"), false, 0, kFailed, kFailed},
        {"server error", HttpAnswer::Text(500, "1"), false, 0, kFailed, kFailed},
        {"zero byte ends the reply",
         HttpAnswer::Text(200, std::string("0\0"
                                           "5",
                                           3)),
         false, 0, kNo, kOk},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        AnswerAll(row.answer);
        EXPECT_EQ(library_.UpdateResourceDescription("i", "d", "a"), row.update);
        EXPECT_EQ(library_.GetResIDState("r"), row.state);
        EXPECT_EQ(library_.ValidResID("r", "a"), row.valid);
        EXPECT_EQ(library_.InvalidResID("r"), row.valid);
        EXPECT_EQ(library_.GetResourceID("i", "a", nullptr, 0), row.get_id);
    }
    // The redirect was not followed.
    for (const auto& line : server_.RequestLines()) {
        EXPECT_EQ(line.find("/elsewhere"), std::string::npos);
    }
}

// The description buffer: the terminator only when the reply is shorter than the buffer, and on
// failure the buffer untouched. A wrong size here overruns the host's buffer.
TEST_F(Catalogue, DescriptionFillsTheBufferExactly) {
    AnswerAll(200, "hello");
    char five[8];
    std::memset(five, '#', sizeof five);
    EXPECT_EQ(library_.GetResourceDescription("i", "a", five, 5), 5);
    EXPECT_EQ(std::string(five, 8), "hello###");
    char six[8];
    std::memset(six, '#', sizeof six);
    EXPECT_EQ(library_.GetResourceDescription("i", "a", six, 6), 5);
    EXPECT_EQ(std::string(six, 8), std::string("hello\0##", 8));

    AnswerAll(404, "gone");
    char untouched[8];
    std::memset(untouched, '#', sizeof untouched);
    EXPECT_EQ(library_.GetResourceDescription("i", "a", untouched, sizeof untouched), 0);
    EXPECT_EQ(std::string(untouched, 8), "########");
    EXPECT_EQ(library_.GetResourceDescription("i", "a", nullptr, 0), 0);
}

// Only the first 1024 bytes of a long reply count.
TEST_F(Catalogue, LongReplyIsCutTo1024Bytes) {
    const std::string reply = ScriptedHttpServer::PatternBody(3000);
    std::string printable = reply;
    for (char& c : printable) {
        c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);  // no zero byte
    }
    AnswerAll(200, printable);
    std::string buffer(2048, '#');
    EXPECT_EQ(library_.GetResourceDescription("i", "a", buffer.data(), 2048), 1024);
    EXPECT_EQ(buffer.substr(0, 1024), printable.substr(0, 1024));
    EXPECT_EQ(buffer[1024], '\0');
    EXPECT_EQ(buffer[1025], '#');
}

// GetResourceID copies as strncpy does: zero fill after a short reply, no terminator after a
// reply as long as the buffer, nothing at all into a null buffer.
TEST_F(Catalogue, ResourceIdCopiesAsStrncpy) {
    AnswerAll(200, "abc");
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(library_.GetResourceID("i", "a", buffer, 6), 0);
    EXPECT_EQ(std::string(buffer, 8), std::string("abc\0\0\0##", 8));
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(library_.GetResourceID("i", "a", buffer, 2), 0);
    EXPECT_EQ(std::string(buffer, 8), "ab######");
    EXPECT_EQ(library_.GetResourceID("i", "a", nullptr, 8), 0);
    EXPECT_EQ(library_.GetResourceID("i", "a", buffer, -1), 0);
}

// Arguments go as the host wrote them, except bytes that would break the request: no argument
// can add a header or end the request line, and text that is already encoded stays as it is.
TEST_F(Catalogue, ArgumentsCannotInjectIntoTheRequest) {
    AnswerAll(200, "1");
    library_.GetResourceDescription("a b\r\nX-Injected: 1", "p%20q&r=s#t\xe9", nullptr, 0);
    const auto requests = server_.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].line,
              "GET /GetResourceDescription.asp?input=a%20b%0D%0AX-Injected:%201"
              "&author=p%20q&r=s%23t%E9 HTTP/1.0");
    EXPECT_FALSE(requests[0].Header("X-Injected").has_value());
}

// Test mode reads the "t_" keys; switching it off goes back to the normal ones.
TEST(CatalogueTestMode, ReadsThePrefixedKeys) {
    ScriptedHttpServer normal;
    ScriptedHttpServer test_mode;
    normal.Answer("*", HttpAnswer::Text(200, "1"));
    test_mode.Answer("*", HttpAnswer::Text(200, "2"));
    LibraryCopy library(Settings(normal.port()) + Settings(test_mode.port(), "t_").substr(9));
    EXPECT_EQ(library.GetResIDState("r"), 1);
    library.SetTestMode(true);
    EXPECT_EQ(library.GetResIDState("r"), 2);
    library.SetTestMode(false);
    EXPECT_EQ(library.GetResIDState("r"), 1);
}

// The trace frame of each export: its begin and end records (one or two blanks, the end of
// UpdateResourceDescription only after a failure), the failure code after the end, and the
// not-configured message (without its leading blank in InvalidResID only).
TEST(CatalogueTrace, EachExportWritesItsFrame) {
    TempFolder logs;
    const std::string log_path = logs / "trace.log";
    ScopedEnv trace("KELRES_TRACE", log_path);
    ScriptedHttpServer server;
    const auto records = [&](const std::function<void(LibraryCopy&)>& call,
                             const std::string& settings) {
        WriteFile(log_path, "");
        {
            LibraryCopy library(settings);
            call(library);
        }
        std::string messages;  // "tag message" of each record after the two start records
        std::istringstream log(ReadFile(log_path).value_or(""));
        std::string line;
        while (std::getline(log, line)) {
            const auto source_end = line.find("] ", line.find(" - L"));
            if (source_end != std::string::npos && line.find("InitInstance") == std::string::npos) {
                messages += line.substr(source_end + 2) + "\n";
            }
        }
        return messages;
    };
    const std::string configured = Settings(server.port());
    const std::string none = "[upload]\n";
    server.Answer("*", HttpAnswer::Text(200, "1"));
    EXPECT_EQ(
        records([](LibraryCopy& l) { l.UpdateResourceDescription("i", "d", "a"); }, configured),
        "[UpdateResourceDescription] Res<<< ****** begin ****** \n");
    EXPECT_EQ(
        records([](LibraryCopy& l) { l.GetResourceDescription("i", "a", nullptr, 0); }, configured),
        "[GetResourceDescription] Res<<< ****** begin ****** \n"
        "[GetResourceDescription] Res<<< ****** end ****** \n");
    EXPECT_EQ(records([](LibraryCopy& l) { l.InvalidResID("r"); }, none),
              "[InvalidResID] Res<<< ****** begin ****** \n"
              "[InvalidResID] Res<<< failed to get url from ini file\n");
    EXPECT_EQ(records([](LibraryCopy& l) { l.ValidResID("r", "a"); }, none),
              "[ValidResID] Res<<< ****** begin ****** \n"
              "[ValidResID] Res<<<  failed to get url from ini file\n");
    server.Answer("*", HttpAnswer::Text(404, ""));
    EXPECT_EQ(
        records([](LibraryCopy& l) { l.UpdateResourceDescription("i", "d", "a"); }, configured),
        "[UpdateResourceDescription] Res<<< ****** begin ****** \n"
        "[UpdateResourceDescription] Res<<< ****** end ****** \n");
    EXPECT_EQ(records([](LibraryCopy& l) { l.GetResIDState("r"); }, configured),
              "[GetResIDState] Res<<< ****** begin ****** \n"
              "[GetResIDState] Res<<< ******  end ****** \n"
              "[GetResIDState] Res<<< failed return value: 8\n");
}

// An empty ws_http_port means port 80.
TEST(CatalogueDefaults, EmptyPortIs80) {
    const auto server = TryStart<ScriptedHttpServer>("", 80);
    if (!server) {
        GTEST_SKIP() << "port 80 cannot be used here";
    }
    server->Answer("*", HttpAnswer::Text(200, "80"));
    for (const char* settings :
         {"[upload]\nws_url=127.0.0.1\nws_http_port=\n", "[upload]\nws_url=127.0.0.1\n"}) {
        SCOPED_TRACE(settings);
        LibraryCopy library(settings);
        EXPECT_EQ(library.GetResIDState("r"), 80);
    }
}

// A server that accepts and never answers fails the query after the stall time-out, and nothing
// listening fails it at once: the host's thread is never blocked for ever.
TEST(CatalogueFailures, SilentOrAbsentServerFailsInTime) {
    ScopedEnv short_timeouts("KELRES_TEST_NET_TIMEOUT_MS", "500");
    ScriptedHttpServer server;
    HttpAnswer silent;
    silent.never_answer = true;
    server.Answer("*", silent);
    LibraryCopy library(Settings(server.port()));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(library.ValidResID("r", "a"), KELRES_CATALOGUE_REQUEST_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    LibraryCopy closed(Settings(FreePort()));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(closed.InvalidResID("r"), KELRES_CATALOGUE_REQUEST_FAILED);
    EXPECT_FALSE(closed.UpdateResourceDescription("i", "d", "a"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// A server that keeps the host's thread waiting while it sends next to nothing fails the query
// with the request-failed code: a reply dripped a byte at a time, and "100 Continue" answers
// flooded ahead of the real one. Unchecked, both would be read as the reply "1..." (0) after
// seconds here, and after up to 25 minutes with the real time-outs.
TEST(CatalogueFailures, DrippingOrFloodingServerFails) {
    ScopedEnv short_timeouts("KELRES_TEST_NET_TIMEOUT_MS", "500");
    HttpAnswer drip = HttpAnswer::Text(200, "1" + std::string(99, '0'));
    drip.chunk_size = 1;
    drip.chunk_delay_ms = 40;
    HttpAnswer flood = HttpAnswer::Text(200, "1");
    flood.interim_count = 80;
    flood.interim_delay_ms = 40;
    const struct {
        const char* name;
        HttpAnswer answer;
    } cases[] = {{"drip", drip}, {"flood", flood}};
    ScriptedHttpServer server;
    LibraryCopy library(Settings(server.port()));
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        server.Answer("*", row.answer);
        EXPECT_EQ(library.ValidResID("r", "a"), KELRES_CATALOGUE_REQUEST_FAILED);
    }
}

#if defined(_WIN32)
// The current user's internet settings with a proxy, for this process only: its
// HKEY_CURRENT_USER is a private key for the object's life, so that the other suites, which may
// run at the same time in the same Wine prefix, keep theirs.
class PrivateProxySettings {
  public:
    explicit PrivateProxySettings(const std::string& proxy) {
        HKEY settings = nullptr;
        const bool made =
            RegCreateKeyExA(HKEY_CURRENT_USER, kRoot, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &root_, nullptr) == ERROR_SUCCESS &&
            RegCreateKeyExA(
                root_, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                nullptr, 0, KEY_ALL_ACCESS, nullptr, &settings, nullptr) == ERROR_SUCCESS;
        if (!made) {
            throw std::runtime_error("cannot make the private internet settings");
        }
        const DWORD enable = 1;
        RegSetValueExA(settings, "ProxyEnable", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&enable), sizeof enable);
        RegSetValueExA(settings, "ProxyServer", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(proxy.c_str()),
                       static_cast<DWORD>(proxy.size() + 1));
        RegCloseKey(settings);
        RegOverridePredefKey(HKEY_CURRENT_USER, root_);
    }
    ~PrivateProxySettings() {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegCloseKey(root_);
        RegDeleteTreeA(HKEY_CURRENT_USER, kRoot);
    }
    PrivateProxySettings(const PrivateProxySettings&) = delete;
    PrivateProxySettings& operator=(const PrivateProxySettings&) = delete;

  private:
    static constexpr char kRoot[] = "Software\\KELResMgr tests\\proxy user";
    HKEY root_ = nullptr;
};

// The session takes the system's proxy settings: a query for the catalogue server goes to the
// proxy they name, as an absolute request, and its answer is the reply. A session opened with
// its own (or no) proxy would try the catalogue server itself, where nothing listens.
TEST(CatalogueProxy, SystemProxySettingsAreUsed) {
    ScriptedHttpServer proxy;
    proxy.Answer("*", HttpAnswer::Text(200, "5"));
    const PrivateProxySettings settings("127.0.0.1:" + std::to_string(proxy.port()));
    LibraryCopy library("[upload]\nws_url=localhost\nws_http_port=9\n");
    EXPECT_EQ(library.GetResIDState("r"), 5);
    EXPECT_EQ(proxy.RequestLines(),
              std::vector<std::string>{
                  "GET http://localhost:9/getresourceidstate.asp?resourceid=r HTTP/1.0"});
}
#endif

}  // namespace
}  // namespace kel::test
