// kelres get as a person uses it: pack a folder, put the package where the library finds it,
// get it, and compare; and what it prints, and how it ends, when the resource cannot be had.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "harness/Packages.h"
#include "harness/TempFolder.h"
#include "tool_runner.h"

namespace kel::test {
namespace {

namespace fs = std::filesystem;

// A media server address where nothing listens.
constexpr char kClosedMediaServer[] = "[download]\nhttp_server=127.0.0.1\nhttp_port=1\n";

// A folder of a few files, one read-only, one in a subfolder, one with an old time.
FileMap MakeResource(const std::string& folder) {
    FileMap files = SampleFiles("tool");
    files["sub/deeper/readonly.txt"] = "do not change\n";
    files["empty.txt"] = "";
    for (const auto& [name, content] : files) {
        fs::create_directories(fs::path(folder + "/" + name).parent_path());
        WriteFile(folder + "/" + name, content);
    }
    fs::permissions(folder + "/sub/deeper/readonly.txt", fs::perms::owner_write,
                    fs::perm_options::remove);
    fs::last_write_time(folder + "/empty.txt",
                        fs::file_time_type::clock::now() - std::chrono::hours(24 * 30));
    return files;
}

// Catches any fault on the road from a folder to the unpacked resource: the packer, the
// identifier's byte order (the four bytes, then the number), the library's reader, and what
// kelres prints. The package lies in the resources folder, where the library unpacks it.
TEST(GetFromDisk, PackedFolderComesBackByteForByte) {
    struct Case {
        std::string typed;  // as the person types it
        std::string text;   // the library's identifier text
    };
    const std::vector<Case> cases = {{"0102030405060708", "0102030405060708"},
                                     {"0a1b2c3d0000abcd", "0A1B2C3D0000ABCD"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        AppDataSandbox sandbox;
        TempFolder folder;
        const std::string source = folder / "resource";
        const FileMap files = MakeResource(source);
        ASSERT_EQ(RunTool({"pack", source, folder / "r.tsl"}).exit_code, 0);
        fs::create_directories(sandbox.resources());
        fs::copy_file(folder / "r.tsl", sandbox.resources() + c.text + ".tsl");

        const ToolRun run = RunTool({"get", c.typed});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const std::string unpacked = sandbox.resources() + c.text + "_files";
        EXPECT_EQ(run.out, unpacked + "\n");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(ReadTree(unpacked), files);
        EXPECT_EQ(fs::status(unpacked + "/sub/deeper/readonly.txt").permissions() &
                      fs::perms::owner_write,
                  fs::perms::none);
        EXPECT_LE(std::chrono::abs(fs::last_write_time(unpacked + "/empty.txt") -
                                   fs::last_write_time(source + "/empty.txt")),
                  std::chrono::seconds(2));

        // Asked again, the folder is there: the answer comes at once.
        const ToolRun again = RunTool({"get", "--text", c.text, "--wait"});
        EXPECT_EQ(again.exit_code, 0) << again.err;
        EXPECT_EQ(again.out, unpacked + "\n");
    }
}

// Catches a tool that waits, or claims success, when the library answers with a package file
// it does not unpack; and one that gives up on a file the library set aside (the library then
// downloads afresh, here from a server that is not there).
TEST(GetFromDisk, PackageFilesTheLibraryDoesNotUnpack) {
    AppDataSandbox sandbox;
    TempFolder folder;
    WriteFile(folder / "Tessel.ini", kClosedMediaServer);
    fs::create_directories(sandbox.resources());
    const std::string newer = sandbox.resources() + "0102030405060708.tsl";
    WritePackage(newer, {{"a.txt", "a"}}, 2);
    const ToolRun other_version =
        RunTool({"--config", folder / "Tessel.ini", "get", "0102030405060708"});
    EXPECT_EQ(other_version.exit_code, kExitFailed);
    EXPECT_TRUE(Contains(other_version.err, "cannot unpack the package file " + newer +
                                                ": it is of another format version"))
        << other_version.err;
    EXPECT_TRUE(fs::exists(newer));  // left for the person to decide

    const std::string text = sandbox.resources() + "0A0B0C0D00000001.tsl";
    WriteFile(text, "an error page, not a package");
    const ToolRun set_aside =
        RunTool({"--config", folder / "Tessel.ini", "get", "--timeout", "1", "0A0B0C0D00000001"});
    EXPECT_EQ(set_aside.exit_code, kExitFailed);
    EXPECT_TRUE(Contains(set_aside.err, text + " was not a package; the library set it aside as " +
                                            text + ".invalid_res_file"))
        << set_aside.err;
    EXPECT_TRUE(Contains(set_aside.err, "0A0B0C0D00000001: not unpacked within the time-out"))
        << set_aside.err;
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
