// What kelres says about the library's settings and folders, and the commands whose result
// depends on the settings alone: a catalogue or FTP server that is not configured, a user folder.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "harness/TempFolder.h"
#include "tool_runner.h"

namespace kel::test {
namespace {

namespace fs = std::filesystem;

// The text with every run of blanks made one blank: columns may be padded as they like.
std::string Squeezed(const std::string& text) {
    std::string squeezed;
    for (const char c : text) {
        if (c != ' ' || squeezed.empty() || squeezed.back() != ' ') {
            squeezed += c;
        }
    }
    return squeezed;
}

// Catches `config` reading a file other than the one the library reads, or showing values the
// library would not use: the file given with --config is what the library sees, test mode reads
// the "t_" keys, and a missing "t_" key gives the default, not the normal key's value.
TEST(Config, ShowsTheValuesTheLibraryReads) {
    AppDataSandbox sandbox;
    TempFolder folder;
    const std::string settings = folder / "my.ini";
    WriteFile(settings,
              "[download]\nhttp_server = media.example\nhttp_port=9000\nt_http_server=test.media\n"
              "[upload]\nftp_server=\nws_url=\"catalogue.example\"\n");
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"normal",
         {"--config", settings, "config"},
         {"test mode off", "(a copy of " + settings + ")", "http_server = \"media.example\" (file)",
          "http_port = \"9000\" (file)", "max_task = \"10\" (default)", "ftp_server = \"\" (file)",
          "ws_url = \"catalogue.example\" (file)", "ws_http_port = \"80\" (default)"}},
        {"test mode",
         {"--config", settings, "--test-mode", "config"},
         {"test mode on", "t_http_server = \"test.media\" (file)",
          "t_http_port = \"8055\" (default)", "t_ws_url = \"\" (default)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ToolRun run = RunTool(c.args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        for (const std::string& line : c.lines) {
            EXPECT_TRUE(Contains(Squeezed(run.out), line)) << "missing: " << line << "\n"
                                                           << run.out;
        }
    }
}

// Catches a private copy of the library (made for --config) that is left behind, and a settings
// file that is silently ignored when it cannot be read.
TEST(Config, PrivateCopyIsRemovedAndAMissingFileIsNamed) {
    AppDataSandbox sandbox;
    TempFolder temp;
    ScopedEnv tmpdir(kTempVariable, temp.path());
    const std::string settings = temp / "Tessel.ini";
    WriteFile(settings, "[upload]\nws_url=127.0.0.1\n");
    const ToolRun run = RunTool({"--config", settings, "config"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(
        Contains(run.out, "settings file     " + temp.path() + kSeparator + "kelres-library-"))
        << run.out;
    EXPECT_EQ(ListTree(temp.path()), "Tessel.ini\n");

    const ToolRun missing = RunTool({"--config", temp / "none.ini", "config"});
    EXPECT_EQ(missing.exit_code, kExitFailed);
    EXPECT_TRUE(Contains(missing.err, "cannot read the settings file " + (temp / "none.ini")))
        << missing.err;
}

#if !defined(_WIN32)  // the folders come from the environment only here
// Catches `config` naming folders the library does not use: all users' folder first, the
// user's when that cannot be had.
TEST(Config, NamesTheFoldersTheLibraryUses) {
    AppDataSandbox sandbox;
    const ToolRun common = RunTool({"config"});
    ASSERT_EQ(common.exit_code, 0) << common.err;
    EXPECT_TRUE(
        Contains(common.out, "resources         " + sandbox.resources() + "  (not created yet)\n"))
        << common.out;

    ScopedEnv no_common("KELRES_COMMON_APPDATA", "");
    const ToolRun user = RunTool({"config"});
    ASSERT_EQ(user.exit_code, 0) << user.err;
    EXPECT_TRUE(Contains(user.out, "all users' data   cannot be had")) << user.out;
    EXPECT_TRUE(
        Contains(user.out, "resources         " + sandbox.user() + "/Vorn Tessel/Resources/"))
        << user.out;

    // Neither: the library keeps its tree in the temporary folder, and kelres says where, as
    // mkdir (made by the library) shows.
    TempFolder temp;
    ScopedEnv tmpdir("TMPDIR", temp.path());
    ScopedEnv no_user("XDG_DATA_HOME", "");
    ScopedEnv no_home("HOME", "");
    const std::string fallback = temp / ("Vorn Tessel-" + std::to_string(getuid()));
    const ToolRun none = RunTool({"config"});
    ASSERT_EQ(none.exit_code, 0) << none.err;
    EXPECT_TRUE(Contains(none.out, "resources         " + fallback + "/Resources/")) << none.out;
    const ToolRun made = RunTool({"mkdir", "x"});
    EXPECT_EQ(made.out, fallback + "/Resources/x\n") << made.err;
}
#endif

// Catches a mkdir that reports success without a folder, or fails silently.
TEST(Mkdir, CreatesAFolderInTheResourcesFolder) {
    AppDataSandbox sandbox;
    const ToolRun run = RunTool({"mkdir", "mine"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, sandbox.resources() + "mine\n");
    EXPECT_TRUE(fs::is_directory(sandbox.resources() + "mine"));

    // Only the last level is created: a missing middle level is a failure that is named.
    const ToolRun deep = RunTool({"mkdir", "missing/deeper"});
    EXPECT_EQ(deep.exit_code, kExitFailed);
    EXPECT_TRUE(
        Contains(deep.err, "cannot create the folder " + sandbox.resources() + "missing/deeper"))
        << deep.err;
}

// Catches catalogue commands that print a bare code, or success, when no catalogue service is
// configured: each names the key and the settings file to set it in.
TEST(Catalogue, NotConfiguredIsExplained) {
    AppDataSandbox sandbox;
    TempFolder folder;
    const std::string settings = folder / "Tessel.ini";
    WriteFile(settings, "[upload]\nws_url=127.0.0.1\n");  // only the normal key: test mode lacks it
    const std::vector<std::vector<std::string>> commands = {{"describe", "in", "me"},
                                                            {"set-description", "in", "text", "me"},
                                                            {"state", "0102030405060708"},
                                                            {"resolve", "in", "me"},
                                                            {"validate", "0102030405060708", "me"},
                                                            {"invalidate", "0102030405060708"}};
    for (const auto& command : commands) {
        SCOPED_TRACE(command[0]);
        std::vector<std::string> args = {"--config", settings, "--test-mode"};
        args.insert(args.end(), command.begin(), command.end());
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exit_code, kExitFailed);
        EXPECT_TRUE(Contains(run.err, "not configured: no t_ws_url in [upload] of ")) << run.err;
    }
}

// Catches an upload that is attempted without a file, or whose failure is not explained.
TEST(Upload, MissingFileAndMissingServerAreExplained) {
    AppDataSandbox sandbox;
    TempFolder folder;
    const ToolRun missing = RunTool({"upload", folder / "none.tsl"});
    EXPECT_EQ(missing.exit_code, kExitFailed);
    EXPECT_TRUE(Contains(missing.err, "cannot upload " + (folder / "none.tsl") + ": no such file"))
        << missing.err;

    WriteFile(folder / "0123ABCD.tsl", "x");
    const ToolRun unconfigured = RunTool({"upload", folder / "0123ABCD.tsl"});
    EXPECT_EQ(unconfigured.exit_code, kExitFailed);
    EXPECT_TRUE(Contains(unconfigured.err,
                         "100: no FTP server configured: no ftp_server in "
                         "[upload] of "))
        << unconfigured.err;
}

}  // namespace
}  // namespace kel::test
