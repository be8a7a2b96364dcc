// The command line as a person meets it: help, mistakes, and a library that is not there.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "harness/LibraryCopy.h"
#include "harness/TempFolder.h"
#include "tool_runner.h"

namespace kel::test {
namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNoLibrary = 3;

const std::vector<std::string> kCommands = {
    "get",    "describe", "set-description", "state", "resolve", "validate", "invalidate",
    "upload", "mkdir",    "config",          "pack",  "publish", "check"};

// Catches a command missing from the overview or without help of its own.
TEST(Help, EveryCommandIsListedAndHasItsOwnHelp) {
    const ToolRun overview = RunTool({"--help"});
    ASSERT_EQ(overview.exit_code, 0) << overview.err;
    for (const std::string& command : kCommands) {
        SCOPED_TRACE(command);
        EXPECT_NE(overview.out.find("\n  " + command + " "), std::string::npos);
        const ToolRun help = RunTool({command, "--help"});
        EXPECT_EQ(help.exit_code, 0) << help.err;
        EXPECT_EQ(help.out.rfind("Usage: kelres [OPTIONS] " + command, 0), 0u) << help.out;
    }
}

// Catches mistakes that slip through to the library (or crash) instead of being named.
TEST(Usage, MistakesAreNamedWithExitStatusTwo) {
    AppDataSandbox sandbox;
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{}, "no command given"},
        {{"frob"}, "unknown command \"frob\""},
        {{"get"}, "missing arguments"},
        {{"get", "1234"}, "bad resource identifier \"1234\""},
        {{"get", "0102030405060G08"}, "bad resource identifier \"0102030405060G08\""},
        {{"get", "+102030405060708"}, "bad resource identifier"},
        {{"get", "01020304050607080"}, "bad resource identifier"},
        {{"get", "FFFFFFFFFFFFFFFF"}, "FFFFFFFFFFFFFFFF is a reserved identifier"},
        {{"get", "ffffffffffffFFFE"}, "FFFFFFFFFFFFFFFE is a reserved identifier"},
        {{"get", "--text", ""}, "--text needs an identifier text"},
        {{"get", "--wait", "0102030405060708"}, "--wait goes with --text"},
        {{"get", "--timeout", "0", "--text", "A"}, "--timeout wants a number of seconds"},
        {{"get", "--timeout", "soon", "--text", "A"}, "--timeout wants a number of seconds"},
        {{"get", "--text"}, "--text needs a value"},
        {{"config", "--bogus"}, "unknown option --bogus"},
        {{"config", "extra"}, "too many arguments (extra)"},
        {{"validate", "only-one"}, "missing arguments"},
        {{"pack", "dir"}, "missing arguments"},
        {{"publish", "p.tsl", "XYZ", "root"}, "bad resource identifier \"XYZ\""},
        {{"check"}, "missing arguments"},
        {{"check", "--platform", "mac", "p.tsl"}, "--platform is linux or windows"},
        {{"mkdir", ""}, "the folder name must not be empty"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& arg : c.args) {
            joined += " '" + arg + "'";
        }
        SCOPED_TRACE("kelres" + joined);
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exit_code, kExitUsage);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("Try 'kelres"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// Catches a tool that fails obscurely (or crashes) without its library, instead of naming the
// file it tried and how to give another.
TEST(Library, MissingOrWrongLibraryIsNamed) {
    TempFolder folder;
    const std::string text_file = folder / kLibraryName;
    WriteFile(text_file, "not a library\n");
#if defined(_WIN32)
    char system[MAX_PATH] = "";
    GetSystemDirectoryA(system, MAX_PATH);
    const std::string other_library = std::string(system) + "\\kernel32.dll";
#else
    const std::string other_library =
        (std::filesystem::path(BuiltLibraryPath()).parent_path().parent_path() / "platform" /
         "libKELPlatform.so")
            .string();
#endif
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::optional<std::string> environment;
        std::vector<std::string> messages;
    };
    const std::vector<Case> cases = {
        {"missing file",
         {"--library", folder / "missing.so", "config"},
         std::nullopt,
         {"cannot load the library " + (folder / "missing.so")}},
        {"from the environment",
         {"mkdir", "x"},
         folder / "gone.so",
         {"cannot load the library " + (folder / "gone.so")}},
        {"not a library",
         {"--library", text_file, "config"},
         std::nullopt,
         {"cannot load the library " + text_file}},
        {"another library",
         {"--library", other_library, "config"},
         std::nullopt,
         {"does not export SetTestMode"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv environment("KELRES_LIBRARY", c.environment);
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exit_code, kExitNoLibrary);
        for (const std::string& message : c.messages) {
            EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        }
    }
}

// Catches a tool that cannot run where it was built: it finds the library beside itself.
TEST(Library, FoundBesideTheTool) {
    AppDataSandbox sandbox;
    ScopedEnv no_override("KELRES_LIBRARY", std::nullopt);
    const ToolRun run = RunTool({"config"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    // As the system names the program's folder (under Wine: with its drive letter).
    const std::string beside = (std::filesystem::absolute(ToolPath()).parent_path() / kLibraryName)
                                   .lexically_normal()
                                   .string();
    EXPECT_NE(run.out.find("library           " + beside + "\n"), std::string::npos) << run.out;
}

// Catches a --version that is refused or loads the library, that names another library than a
// command would load, or reads no version from it: on Linux the version in the real file's name
// (the build's links lead to libKELResMgr.so.1.0.0), on Windows the DLL's version resource.
TEST(Version, NamesTheToolAndTheLibraryWithItsVersion) {
    TempFolder folder;
    const std::string not_a_library = folder / kLibraryName;
    WriteFile(not_a_library, "not a library\n");
    const std::string version = KELRES_PROJECT_VERSION;
#if defined(_WIN32)
    const std::string built =
        std::filesystem::absolute(BuiltLibraryPath()).lexically_normal().string();
    const std::string other = not_a_library;
    const std::string other_line = "library " + other + " (no version: ";
#else
    const std::string built = std::filesystem::canonical(BuiltLibraryPath()).string();
    const std::string other = folder / "libKELResMgr.so.7.8.9";
    std::filesystem::copy_file(BuiltLibraryPath(), other);
    const std::string other_line = "library " + other + " 7.8.9\n";
#endif
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::optional<std::string> environment;
        int exit_code;
        std::string out;  // after the tool's line
        std::string err;
    };
    const std::vector<Case> cases = {
        {"beside the tool",
         {"--version"},
         std::nullopt,
         0,
         "library " + built + " " + version + "\n"},
        {"short, after a command",
         {"config", "-V"},
         std::nullopt,
         0,
         "library " + built + " " + version + "\n"},
        {"from the environment", {"--version"}, other, 0, other_line},
        {"given, not a library",
         {"--library", not_a_library, "-V"},
         std::nullopt,
         0,
         "library " + not_a_library + " (no version: "},
        {"given, missing",
         {"--library", folder / "missing", "-V"},
         std::nullopt,
         kExitNoLibrary,
         "",
         "cannot find the library " + (folder / "missing")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv environment("KELRES_LIBRARY", c.environment);
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        EXPECT_EQ(run.out.rfind("kelres " + version + "\n" + c.out, 0), 0u) << run.out;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
}

// Pack and publish work without any library: an operator's machine need not have one.
TEST(Library, PackAndPublishNeedNone) {
    TempFolder folder;
    std::filesystem::create_directory(folder / "res");
    WriteFile(folder / "res/a.txt", "a");
    ScopedEnv nowhere("KELRES_LIBRARY", folder / "missing.so");
    EXPECT_EQ(RunTool({"pack", folder / "res", folder / "p.tsl"}).exit_code, 0);
    std::filesystem::create_directory(folder / "root");
    EXPECT_EQ(RunTool({"publish", folder / "p.tsl", "0102030405060708", folder / "root"}).exit_code,
              0);
}

}  // namespace
}  // namespace kel::test
