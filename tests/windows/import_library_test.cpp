// A host of another toolchain than the library's: the C program windows/c_host.c, linked by
// lld-link against KELResMgr.lib, the import library of Microsoft's format, beside a copy of the
// DLL and its settings, calls the catalogue against the scripted server.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/HttpServer.h"
#include "harness/LibraryCopy.h"
#include "harness/TempFolder.h"
#include "harness/WindowsProgram.h"

namespace kel::test {
namespace {

// Catches an import library that names the exports otherwise than the DLL (the decorated names
// of 32-bit code, a wrong DLL name, another machine): the host then does not start, or gets no
// answers.
TEST(ImportLibrary, CHostLinkedAgainstItCallsTheCatalogue) {
    ScriptedHttpServer server;
    server.Answer("/GetResourceDescription.asp", HttpAnswer::Text(200, "A shop sign"));
    server.Answer("/getresourceidstate.asp", HttpAnswer::Text(200, "2"));
    TempFolder folder("kelres-c-host-");
    std::filesystem::copy_file(BuiltLibraryPath(), folder / "KELResMgr.dll");
    std::filesystem::copy_file(C_HOST_PATH, folder / "c_host.exe");
    WriteFile(folder / "Tessel.ini",
              "[upload]\nws_url=127.0.0.1\nws_http_port=" + std::to_string(server.port()) + "\n");

    const ProgramRun run = RunProgram(folder / "c_host.exe", {}, std::chrono::seconds(120));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "description A shop sign\nstate 2\n");
    const std::vector<std::string> expected = {
        "GET /GetResourceDescription.asp?input=sign&author=ann HTTP/1.0",
        "GET /getresourceidstate.asp?resourceid=0A1B2C3D0000ABCD HTTP/1.0",
    };
    EXPECT_EQ(server.RequestLines(), expected);
}

}  // namespace
}  // namespace kel::test
