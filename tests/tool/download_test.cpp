// kelres get as a person uses it: what it prints, and how it ends, when the resource cannot be
// had.
#include <gtest/gtest.h>

#include <string>

#include "harness/TempFolder.h"
#include "tool_runner.h"

namespace kel::test {
namespace {

constexpr int kExitFailed = 1;

// A media server address where nothing listens.
constexpr char kClosedMediaServer[] = "[download]\nhttp_server=127.0.0.1\nhttp_port=1\n";

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Catches a tool that waits forever, claims success, or blames nothing in particular when the
// media server cannot be reached: the time-out ends the wait, and the message names the server
// and the path asked for.
TEST(GetFailure, UnreachableServerIsNamed) {
    AppDataSandbox sandbox;
    TempFolder folder;
    WriteFile(folder / "Tessel.ini", kClosedMediaServer);
    const ToolRun background =
        RunTool({"--config", folder / "Tessel.ini", "get", "--timeout", "2", "0A1B2C3D0000ABCD"});
    EXPECT_EQ(background.exit_code, kExitFailed);
    EXPECT_EQ(background.out, "");
    EXPECT_TRUE(Contains(background.err, "0A1B2C3D0000ABCD: not unpacked within the time-out"))
        << background.err;
    EXPECT_TRUE(Contains(background.err, "http://127.0.0.1:1")) << background.err;
    EXPECT_TRUE(Contains(background.err, "0A/1B/2C/3D/0A1B2C3D0000ABCD.tsl")) << background.err;

    // Waiting inside the call, the failure is known at once.
    const ToolRun waiting =
        RunTool({"--config", folder / "Tessel.ini", "get", "--wait", "--text", "0A1B2C3D0000ABCD"});
    EXPECT_EQ(waiting.exit_code, kExitFailed);
    EXPECT_TRUE(Contains(waiting.err,
                         "cannot download 0A1B2C3D0000ABCD from "
                         "http://127.0.0.1:1/0A/1B/2C/3D/0A1B2C3D0000ABCD.tsl"))
        << waiting.err;
}

}  // namespace
}  // namespace kel::test
