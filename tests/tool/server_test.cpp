// kelres against real servers on 127.0.0.1, started by the tests: packages published and
// served by nginx or by the scripted server, and the catalogue service.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "harness/FtpServer.h"
#include "harness/HttpServer.h"
#include "harness/Packages.h"
#include "harness/TempFolder.h"
#include "tool_runner.h"

namespace kel::test {
namespace {

namespace fs = std::filesystem;

std::string MediaSettings(int port, const std::string& extra = "") {
    return "[download]\nhttp_server=127.0.0.1\nhttp_port=" + std::to_string(port) + "\n" + extra;
}

// Writes the files into folder, packs it with kelres and publishes the package under root.
void PackAndPublish(const FileMap& files, const std::string& folder, const std::string& id,
                    const std::string& root) {
    for (const auto& [name, content] : files) {
        fs::create_directories(fs::path(folder + "/" + name).parent_path());
        WriteFile(folder + "/" + name, content);
    }
    const std::string package = folder + ".tsl";
    ASSERT_EQ(RunTool({"pack", folder, package}).exit_code, 0);
    const ToolRun published = RunTool({"publish", package, id, root});
    ASSERT_EQ(published.exit_code, 0) << published.err;
}

// Bytes that do not deflate, so the package is as large as its content.
std::string RandomBytes(std::size_t size) {
    std::mt19937 random(42);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

// Catches any fault on the whole road of the README: pack, publish, serve with nginx, get.
// Every file must come back byte for byte.
TEST(GetFromServer, PublishedPackageComesBackByteForByte) {
    AppDataSandbox sandbox;
    TempFolder work;
    const std::string media = work / "media";
    fs::create_directory(media);
    const FileMap files = SampleFiles("served");
    PackAndPublish(files, work / "resource", "0A1B2C3D0000ABCD", media);
    NginxServer nginx(media);
    WriteFile(work / "Tessel.ini", MediaSettings(nginx.port()));

    const ToolRun run = RunTool({"--config", work / "Tessel.ini", "get", "0A1B2C3D0000ABCD"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::string folder = sandbox.resources() + "0A1B2C3D0000ABCD_files";
    EXPECT_EQ(run.out, folder + "\n");
    EXPECT_EQ(ReadTree(folder), files);
    EXPECT_FALSE(fs::exists(sandbox.resources() + "0A1B2C3D0000ABCD.tsl"));
}

// Catches a tool that asks for more resources at once than the library admits (the rest would
// be dropped without a word and time out), and a library that still counts a worker against the
// limit when its notification arrives: the tool asks for the next resource at that moment, so
// with the limit 1 every refill would be refused.
TEST(GetFromServer, MoreResourcesThanTheLimitAllDownload) {
    for (const int limit : {1, 2}) {
        SCOPED_TRACE("max_task=" + std::to_string(limit));
        AppDataSandbox sandbox;
        TempFolder work;
        const std::string media = work / "media";
        fs::create_directory(media);
        std::vector<std::string> ids;
        for (int i = 1; i <= 5; ++i) {
            ids.push_back("0A1B2C3D0000000" + std::to_string(i));
            PackAndPublish({{"n.txt", std::to_string(i)}}, work / ("r" + std::to_string(i)),
                           ids.back(), media);
        }
        ScriptedHttpServer server(media);
        HttpAnswer slow;
        slow.delay_ms = 200;  // so that the downloads overlap
        server.AnswerFilesWith(slow);
        WriteFile(work / "Tessel.ini",
                  MediaSettings(server.port(), "max_task=" + std::to_string(limit) + "\n"));

        std::vector<std::string> args = {"--config", work / "Tessel.ini", "get", "--timeout", "30"};
        args.insert(args.end(), ids.begin(), ids.end());
        const ToolRun run = RunTool(args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        for (const std::string& id : ids) {
            SCOPED_TRACE(id);
            EXPECT_TRUE(Contains(run.out, sandbox.resources() + id + "_files\n")) << run.out;
        }
        EXPECT_EQ(server.RequestLines().size(), ids.size());  // one download each
    }
}

// The parts of a terminal's output that start with prefix, each up to the next part, redraw or
// line end.
std::vector<std::string> ProgressParts(const std::string& out, const std::string& prefix) {
    std::vector<std::string> parts;
    for (std::size_t at = out.find(prefix); at != std::string::npos;
         at = out.find(prefix, at + 1)) {
        const std::size_t end = std::min({out.find("  ", at), out.find('\r', at), out.size()});
        parts.push_back(out.substr(at, end - at));
    }
    return parts;
}

// "ID 0.7/2.0 MiB 34% 1.5 MiB/s 0:01 left"
bool ShowsTotal(const std::string& part) {
    double done = 0;
    double total = 0;
    double rate = 0;
    unsigned percent = 0;
    unsigned minutes = 0;
    unsigned seconds = 0;
    char unit[3] = {};
    char left[5] = {};
    return std::sscanf(part.c_str(), "%*s %lf/%lf MiB %u%% %lf %2[KM]iB/s %u:%u %4s", &done, &total,
                       &percent, &rate, unit, &minutes, &seconds, left) == 8 &&
           total == 2.0 && percent <= 100 && std::string(left) == "left";
}

// "ID 1.1 MiB 1.5 MiB/s": no total, no share.
bool ShowsBytesAndRate(const std::string& part) {
    double done = 0;
    double rate = 0;
    char unit[3] = {};
    return std::count(part.begin(), part.end(), '/') == 1 && !Contains(part, "%") &&
           std::sscanf(part.c_str(), "%*s %lf %2[KM]iB %lf", &done, unit, &rate) == 3 &&
           Contains(part, "iB/s");
}

// Catches a progress line that is missing on a terminal, or that pollutes the output when it is
// read by a program; a total, share or time left shown without the server's size, or missing
// with it; a HEAD request for another path than the library's; and a summary that miscounts.
TEST(GetFromServer, ProgressOnATerminalOnly) {
    TempFolder work;
    const std::string media = work / "media";
    fs::create_directory(media);
    const std::vector<std::string> ids = {"0A1B2C3D0000ABCD", "0A1B2C3D0000ABCE"};
    for (const std::string& id : ids) {
        PackAndPublish({{"noise.bin", RandomBytes(2 * 1024 * 1024)}}, work / id, id, media);
    }
    ScriptedHttpServer server(media);
    WriteFile(work / "Tessel.ini", MediaSettings(server.port()));
    std::vector<std::string> args = {"--config", work / "Tessel.ini", "get"};
    args.insert(args.end(), ids.begin(), ids.end());

    struct Case {
        const char* name;
        bool size_told;  // the server sends Content-Length, to HEAD as to GET
        bool terminal;
        std::string summary;  // the start of the last line
    };
    const std::vector<Case> cases = {
#if !defined(_WIN32)  // no pseudo-terminal for kelres.exe
        {"terminal, size told", true, true, "2 of 2 resources ready, 4.0 MiB in 0:0"},
        {"terminal, no size", false, true, "2 of 2 resources ready, "},
#endif
        {"pipe", true, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppDataSandbox sandbox;
        HttpAnswer slow;
        slow.chunk_size = 64 * 1024;
        slow.chunk_delay_ms = 40;  // about 1.3 s for each package
        slow.content_length = c.size_told;
        server.AnswerFilesWith(slow);
        server.ClearRecords();
        const ToolRun run = c.terminal ? RunToolOnTerminal(args) : RunTool(args);
        ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
        std::vector<std::string> gets;
        std::vector<std::string> heads;
        for (const std::string& line : server.RequestLines()) {
            (line.rfind("HEAD ", 0) == 0 ? heads : gets)
                .push_back(line.substr(0, line.find(" HTTP")));
        }
        std::sort(heads.begin(), heads.end());
        EXPECT_EQ(gets.size(), ids.size());
        if (!c.terminal) {
            EXPECT_EQ(heads.size(), 0u);
            EXPECT_EQ(run.err, "");
            for (const std::string& id : ids) {
                EXPECT_TRUE(Contains(run.out, sandbox.resources() + id + "_files\n")) << run.out;
            }
            EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2) << run.out;
            continue;
        }
        EXPECT_EQ(heads, (std::vector<std::string>{"HEAD /" + MediaPath(ids[0]),
                                                   "HEAD /" + MediaPath(ids[1])}));
        const std::vector<std::string> parts = ProgressParts(run.out, "0A1B2C3D0000ABC");
        EXPECT_EQ(std::any_of(parts.begin(), parts.end(), ShowsTotal), c.size_told) << run.out;
        EXPECT_EQ(std::any_of(parts.begin(), parts.end(), ShowsBytesAndRate), !c.size_told)
            << run.out;
        // The line is erased before the results are written, and the summary comes last.
        EXPECT_TRUE(Contains(run.out, "\r\x1b[K" + sandbox.resources())) << run.out;
        for (const std::string& id : ids) {
            EXPECT_TRUE(Contains(run.out, sandbox.resources() + id + "_files\r\n")) << run.out;
        }
        std::string summary = run.out.substr(run.out.rfind('\n', run.out.size() - 3) + 1);
        summary = summary.substr(
            summary.rfind("\x1b[K") == std::string::npos ? 0 : summary.rfind("\x1b[K") + 3);
        EXPECT_EQ(summary.rfind(c.summary, 0), 0u) << summary;
        EXPECT_TRUE(Contains(summary, " MiB in 0:0")) << summary;
    }
}

// Catches catalogue commands that print the wrong part of a reply, report success for a
// refusal, or hide which server failed.
TEST(Catalogue, RepliesAndCodesAsAPersonReadsThem) {
    AppDataSandbox sandbox;
    TempFolder work;
    ScriptedHttpServer server;
    WriteFile(work / "Tessel.ini",
              "[upload]\nws_url=127.0.0.1\nws_http_port=" + std::to_string(server.port()) + "\n");
    const std::string failed =
        "the request to the catalogue service http://127.0.0.1:" + std::to_string(server.port()) +
        " failed";
    struct Case {
        std::vector<std::string> args;
        std::string page;
        HttpAnswer answer;
        int exit_code;
        std::string out;  // exactly, when the command succeeds
        std::string err;  // a part of it, when it fails
        std::string request;
    };
    const std::vector<Case> cases = {
        {{"describe", "in", "me"},
         "/GetResourceDescription.asp",
         HttpAnswer::Text(200, "A fine resource"),
         0,
         "A fine resource\n",
         "",
         "GET /GetResourceDescription.asp?input=in&author=me "},
        {{"describe", "in", "me"},
         "/GetResourceDescription.asp",
         HttpAnswer::Text(500, "oops"),
         kExitFailed,
         "",
         failed,
         ""},
        {{"set-description", "in", "new", "me"},
         "/UpdateResourceDescription.asp",
         HttpAnswer::Text(200, "1"),
         0,
         "updated\n",
         "",
         "GET /UpdateResourceDescription.asp?input=in&description=new&author=me "},
        {{"set-description", "in", "new", "me"},
         "/UpdateResourceDescription.asp",
         HttpAnswer::Text(200, "0"),
         kExitFailed,
         "",
         "not updated",
         ""},
        {{"state", "0A1B2C3D0000ABCD"},
         "/getresourceidstate.asp",
         HttpAnswer::Text(200, " 42x"),
         0,
         "42\n",
         "",
         "GET /getresourceidstate.asp?resourceid=0A1B2C3D0000ABCD "},
        {{"resolve", "in", "me"},
         "/GetResourceID.asp",
         HttpAnswer::Text(200, "0A1B2C3D0000ABCD"),
         0,
         "0A1B2C3D0000ABCD\n",
         "",
         "GET /GetResourceID.asp?input=in&author=me "},
        {{"resolve", "in", "me"},
         "/GetResourceID.asp",
         HttpAnswer::Text(404, "no"),
         kExitFailed,
         "",
         "2: " + failed,
         ""},
        {{"validate", "X1", "me"},
         "/validresourceid.asp",
         HttpAnswer::Text(200, "1"),
         0,
         "0: valid\n",
         "",
         "GET /validresourceid.asp?resourceid=X1&author=me "},
        {{"validate", "X1", "me"},
         "/validresourceid.asp",
         HttpAnswer::Text(200, "0"),
         kExitFailed,
         "",
         "3: refused",
         ""},
        {{"invalidate", "X1"},
         "/invalidresourceid.asp",
         HttpAnswer::Text(200, "1"),
         0,
         "0: invalidated\n",
         "",
         "GET /invalidresourceid.asp?resourceid=X1 "},
        {{"invalidate", "X1"},
         "/invalidresourceid.asp",
         HttpAnswer::Text(404, ""),
         kExitFailed,
         "",
         "2: " + failed,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " answered " + std::to_string(c.answer.status) + " " +
                     c.answer.body);
        server.ClearAnswers();
        server.ClearRecords();
        server.Answer(c.page, c.answer);
        std::vector<std::string> args = {"--config", work / "Tessel.ini"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        if (c.exit_code == 0) {
            EXPECT_EQ(run.out, c.out);
        } else {
            EXPECT_TRUE(Contains(run.err, c.err)) << run.err;
        }
        if (!c.request.empty()) {
            const auto lines = server.RequestLines();
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].rfind(c.request, 0), 0u) << lines[0];
        }
    }
}

// Catches an upload that lands somewhere else than the folder chain of its name, or failures
// that are reported as success or without the server they concern.
TEST(Upload, StoredInItsFolderChainOrExplained) {
    AppDataSandbox sandbox;
    TempFolder work;
    FtpServer ftp;
    const std::string server = "ftp://127.0.0.1:" + std::to_string(ftp.port());
    const std::string file = work / "0123ABCD.tsl";
    WriteFile(file, std::string("KEL\x01", 4) + RandomBytes(100000));
    const std::string settings = work / "Tessel.ini";
    WriteFile(settings,
              "[upload]\nftp_server=127.0.0.1\nftp_port=" + std::to_string(ftp.port()) + "\n");

    const ToolRun stored = RunTool({"--config", settings, "upload", file});
    ASSERT_EQ(stored.exit_code, 0) << stored.err;
    EXPECT_EQ(stored.out, "0: stored on " + server + "\n");
    EXPECT_EQ(ReadFile(ftp.root() + "/01/23/AB/CD/0123ABCD.tsl"), ReadFile(file));

    ftp.RefuseStores("no room here");
    const ToolRun refused = RunTool({"--config", settings, "upload", file});
    EXPECT_EQ(refused.exit_code, kExitFailed);
    EXPECT_TRUE(Contains(refused.err,
                         "cannot upload " + file + ": 101: " + server + " refused the transfer"))
        << refused.err;
    ftp.RefuseStores("");

    ftp.RefuseLogins(true);
    const ToolRun no_login = RunTool({"--config", settings, "upload", file});
    EXPECT_EQ(no_login.exit_code, kExitFailed);
    EXPECT_TRUE(Contains(no_login.err, "102: cannot connect or log in to " + server))
        << no_login.err;
}

}  // namespace
}  // namespace kel::test
