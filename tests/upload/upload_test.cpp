// UploadResFile as a host calls it, against a real FTP server on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness/FtpServer.h"
#include "harness/HttpServer.h"
#include "harness/LibraryCopy.h"
#include "harness/TempFolder.h"

namespace kel::test {
namespace {

namespace fs = std::filesystem;

std::string Settings(int port, const std::string& extra = "") {
    return "[upload]\nftp_server=127.0.0.1\nftp_port=" + std::to_string(port) + "\n" + extra;
}

bool Received(const std::vector<std::string>& commands, const std::string& prefix) {
    return std::any_of(commands.begin(), commands.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

class Upload : public testing::Test {
  protected:
    Upload() : library_(Settings(server_.port())) {}

    // A local file of size pattern bytes, named name inside the test's folder.
    std::string LocalFile(const std::string& name, std::size_t size = 100000) {
        const std::string path = local_ / name;
        fs::create_directories(fs::path(path).parent_path());  // "sub\name" on Windows
        WriteFile(path, ScriptedHttpServer::PatternBody(size));
        return path;
    }
    std::optional<std::string> OnServer(const std::string& path) const {
#if defined(_WIN32)
        // Read as stored: a plain Windows path would lose the trailing dot of a name such as "c.".
        std::string name = "\\\\?\\" + server_.root() + "\\" + path;
        std::replace(name.begin(), name.end(), '/', '\\');
        return ReadFile(name);
#else
        return ReadFile(server_.root() + "/" + path);
#endif
    }

    FtpServer server_;
    LibraryCopy library_;
    TempFolder local_;
};

// The file goes, byte for byte and under its whole name, into the chain of its first eight
// characters; short names give short or empty pieces. The login is anonymous, the transfer
// binary, the data connection active.
TEST_F(Upload, StoresIntoTheFolderChainOfItsName) {
    const struct {
        const char* name;
        const char* stored_as;
    } cases[] = {
        {"0123ABCDEF0000AB.tsl", "01/23/AB/CD/0123ABCDEF0000AB.tsl"},
        {"abc.tsl", "ab/c./ts/l/abc.tsl"},  // seven characters: 2, 2, 2 and 1
        {"xyz", "xy/z/xyz"},
        {"q", "q/q"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const std::string local = LocalFile(row.name, 70001);
        EXPECT_EQ(library_.UploadResFile(local.c_str()), 0);
        EXPECT_EQ(OnServer(row.stored_as), ReadFile(local));
    }
    const auto commands = server_.Commands();
    EXPECT_TRUE(Received(commands, "USER anonymous"));
    EXPECT_TRUE(Received(commands, "TYPE I"));
    EXPECT_TRUE(Received(commands, "EPRT") || Received(commands, "PORT"));
    EXPECT_FALSE(Received(commands, "PASV") || Received(commands, "EPSV"));
    EXPECT_TRUE(Received(commands, "STOR 01/23/AB/CD/0123ABCDEF0000AB.tsl"));
}

// Back-slashes separate folders in the file name too, but the local file is opened by the path
// exactly as given.
TEST_F(Upload, BackslashesSeparateTheFileName) {
    const std::string local = LocalFile("sub\\0123ABCD.tsl");
    EXPECT_EQ(library_.UploadResFile(local.c_str()), 0);
    EXPECT_EQ(OnServer("01/23/AB/CD/0123ABCD.tsl"), ReadFile(local));
}

// Folders of the chain that exist already are no failure, and a second store replaces the file.
TEST_F(Upload, ExistingFoldersAreNoFailure) {
    fs::create_directories(server_.root() + "/01/23");
    const std::string local = LocalFile("0123ABCD.tsl", 10);
    EXPECT_EQ(library_.UploadResFile(local.c_str()), 0);
    WriteFile(local, "second");
    EXPECT_EQ(library_.UploadResFile(local.c_str()), 0);
    EXPECT_EQ(OnServer("01/23/AB/CD/0123ABCD.tsl"), "second");
}

// With a base folder configured the chain is made under it, so that the store there succeeds;
// a base folder that cannot be entered is 334, and nothing is made elsewhere.
TEST(UploadBasePath, ChainIsMadeUnderThePath) {
    FtpServer server;
    fs::create_directories(server.root() + "/incoming/res");
    TempFolder local;
    const std::string file = local / "0123ABCD.tsl";
    WriteFile(file, "package");
    for (const char* base : {"incoming", "incoming/res", "incoming\\res", "/incoming"}) {
        SCOPED_TRACE(base);
        LibraryCopy library(Settings(server.port(), std::string("path=") + base + "\n"));
        EXPECT_EQ(library.UploadResFile(file.c_str()), 0);
        std::string folder = base;
        std::replace(folder.begin(), folder.end(), '\\', '/');
        EXPECT_EQ(ReadFile(server.root() + "/" + folder + "/01/23/AB/CD/0123ABCD.tsl"), "package");
    }
    LibraryCopy missing(Settings(server.port(), "path=nowhere\n"));
    EXPECT_EQ(missing.UploadResFile(file.c_str()), 334);
    EXPECT_FALSE(fs::exists(server.root() + "/nowhere"));
    EXPECT_FALSE(fs::exists(server.root() + "/01"));
}

// A store that the server refuses is 101, with the server's answer in the trace, written in the
// export's frame: begin, the answer, the failure code, then the end.
TEST(UploadRefused, RefusedStoreIs101WithTheServersAnswerTraced) {
    TempFolder logs;
    ScopedEnv trace("KELRES_TRACE", logs / "trace.log");
    FtpServer server;
    server.RefuseStores("Quota exceeded for the test");
    LibraryCopy library(Settings(server.port()));
    TempFolder local;
    WriteFile(local / "0123ABCD.tsl", "package");
    EXPECT_EQ(library.UploadResFile((local / "0123ABCD.tsl").c_str()), 101);
    library.Unload();
    const std::string log = ReadFile(logs / "trace.log").value_or("");
    const auto begin = log.find("[UploadResFile] Res<<< ****** begin ****** ");
    const auto answer = log.find("550 Quota exceeded for the test");
    const auto failed = log.find("[UploadResFile] Res<<< failed return value: 101");
    const auto end = log.find("[UploadResFile] Res<<< ******  end ****** ");
    ASSERT_NE(begin, std::string::npos) << log;
    ASSERT_NE(answer, std::string::npos) << log;
    ASSERT_NE(failed, std::string::npos) << log;
    ASSERT_NE(end, std::string::npos) << log;
    EXPECT_LT(begin, answer);
    EXPECT_LT(answer, failed);
    EXPECT_LT(failed, end);
}

// A level of the chain that is a file cannot be entered: 334.
TEST_F(Upload, FolderThatCannotBeEnteredIs334) {
    fs::create_directories(server_.root() + "/01");
    WriteFile(server_.root() + "/01/23", "a file, not a folder");
    const std::string local = LocalFile("0123ABCD.tsl");
    EXPECT_EQ(library_.UploadResFile(local.c_str()), 334);
    EXPECT_FALSE(Received(server_.Commands(), "STOR"));
}

// A missing local file is 1000, and the server still sees the chain made: the upload connects and
// makes the folders before it looks at the local file.
TEST_F(Upload, MissingLocalFileIs1000) {
    EXPECT_EQ(library_.UploadResFile((local_ / "0123ABCD.tsl").c_str()), 1000);
    EXPECT_TRUE(fs::is_directory(server_.root() + "/01/23/AB/CD"));
    EXPECT_FALSE(Received(server_.Commands(), "STOR"));
}

// Any other failure of the store is 237: a server that never answers the store (after the stall
// time-out, shortened for the suite), and a local path that names a folder, not a file.
TEST_F(Upload, OtherStoreFailuresAre237) {
    const std::string local = LocalFile("0123ABCD.tsl");
    {
        ScopedEnv short_timeouts("KELRES_TEST_NET_TIMEOUT_MS", "500");
        server_.StallStores(true);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(library_.UploadResFile(local.c_str()), 237);
#if defined(_WIN32)
        // Wine's client waits its own 30 s for the answer to a store, whatever the limits set.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(45));
#else
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
#endif
        server_.StallStores(false);
    }
    fs::create_directory(local_ / "4567ABCD.tsl");
    EXPECT_EQ(library_.UploadResFile((local_ / "4567ABCD.tsl").c_str()), 237);
}

// A null path is 1 before anything else; no server configured is 100 without traffic.
TEST_F(Upload, NullPathAndNoServerSendNothing) {
    EXPECT_EQ(library_.UploadResFile(nullptr), 1);
    const std::string local = LocalFile("0123ABCD.tsl");
    for (const char* settings :
         {"[upload]\nftp_port=%d\n", "[upload]\nftp_server=\nftp_port=%d\n"}) {
        SCOPED_TRACE(settings);
        char text[128];
        std::snprintf(text, sizeof text, settings, server_.port());
        LibraryCopy library(text);
        EXPECT_EQ(library.UploadResFile(local.c_str()), 100);
    }
    LibraryCopy no_file;
    EXPECT_EQ(no_file.UploadResFile(local.c_str()), 100);
    EXPECT_TRUE(server_.Commands().empty());
}

// Login refused and nothing listening are both 102.
TEST_F(Upload, RefusedLoginOrNoServerIs102) {
    const std::string local = LocalFile("0123ABCD.tsl");
    server_.RefuseLogins(true);
    EXPECT_EQ(library_.UploadResFile(local.c_str()), 102);
    LibraryCopy closed(Settings(FreePort()));
    EXPECT_EQ(closed.UploadResFile(local.c_str()), 102);
    EXPECT_FALSE(fs::exists(server_.root() + "/01"));
}

// Uploads from several host threads at once each use their own connection and all arrive whole.
TEST_F(Upload, SeveralThreadsAtOnce) {
    constexpr int kThreads = 6;
    std::vector<std::string> files;
    for (int i = 0; i < kThreads; ++i) {
        files.push_back(LocalFile("0123ABC" + std::to_string(i) + ".tsl", 200000 + i));
    }
    std::vector<int> results(kThreads, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { results[i] = library_.UploadResFile(files[i].c_str()); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i], 0);
        EXPECT_EQ(
            OnServer("01/23/AB/C" + std::to_string(i) + "/0123ABC" + std::to_string(i) + ".tsl"),
            ReadFile(files[i]));
    }
}

#if defined(_WIN32)
// The system client's commands as the server logs them: the chain made from the login folder,
// which is remembered first and entered again after; then one binary store, in active mode, of
// the whole remote name. A client that stored from inside the chain, or passively, shows here.
TEST_F(Upload, SystemClientCommandSequence) {
    const std::string local = LocalFile("0123ABCD.tsl", 10);
    ASSERT_EQ(library_.UploadResFile(local.c_str()), 0);
    std::vector<std::string> commands;
    for (const auto& line : server_.Commands()) {
        const bool data_port = line.rfind("PORT ", 0) == 0 || line.rfind("EPRT ", 0) == 0;
        commands.push_back(data_port ? line.substr(0, 4) : line);  // its numbers vary
    }
    const std::vector<std::string> expected = {
        "USER anonymous", "PASS ****", "PWD",    "MKD 01", "CWD 01",
        "MKD 23",         "CWD 23",    "MKD AB", "CWD AB", "MKD CD",
        "CWD CD",         "CWD /",     "TYPE I", "PORT",   "STOR 01/23/AB/CD/0123ABCD.tsl",
    };
    EXPECT_EQ(commands, expected);
}
#endif

// An empty ftp_port means the protocol's default port, 21.
TEST(UploadDefaults, EmptyPortIs21) {
    const auto server = TryStart<FtpServer>(21);
    if (!server) {
        GTEST_SKIP() << "port 21 cannot be used here";
    }
    LibraryCopy library("[upload]\nftp_server=127.0.0.1\nftp_port=\n");
    TempFolder local;
    WriteFile(local / "0123ABCD.tsl", "package");
    EXPECT_EQ(library.UploadResFile((local / "0123ABCD.tsl").c_str()), 0);
    EXPECT_EQ(ReadFile(server->root() + "/01/23/AB/CD/0123ABCD.tsl"), "package");
}

}  // namespace
}  // namespace kel::test
