// The library as a host sees it: a private copy loaded with dlopen, its exports, its settings
// file beside it, and its folders.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <vector>

#include "harness/LibraryCopy.h"
#include "harness/Packages.h"
#include "harness/TempFolder.h"

namespace kel::test {
namespace {

namespace fs = std::filesystem;

// A catalogue server address where nothing listens: a configured query then fails (2) instead of
// answering "not configured" (1), which tells which settings the library read.
constexpr char kClosedCatalogue[] = "ws_url=127.0.0.1\nws_http_port=1\n";

TEST(Exports, ExactlyTheElevenAreVisible) {
    const std::string command = "nm -D --defined-only " + BuiltLibraryPath();
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> functions;
    std::set<std::string> others;
    std::array<char, 512> line{};
    while (fgets(line.data(), line.size(), pipe) != nullptr) {
        std::istringstream fields(line.data());
        std::string address, type, name;
        fields >> address >> type >> name;
        if (name.empty()) {
            continue;
        }
        (type == "T" ? functions : others).insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0);
    const std::set<std::string> expected = {"SetTestMode",
                                            "UploadResFile",
                                            "GetResourceDescription",
                                            "GetResIDState",
                                            "UpdateResourceDescription",
                                            "GetResourceID",
                                            "ValidResID",
                                            "InvalidResID",
                                            "CreateUserFolder",
                                            "DownloadResFileEx",
                                            "DownloadResFile"};
    EXPECT_EQ(functions, expected);
    EXPECT_TRUE(others.empty()) << "also visible: " << *others.begin();
}

// Loading and unloading creates nothing and opens no settings file: the library touches the disk
// only when an export needs it.
TEST(Lifetime, LoadAndUnloadTouchNothing) {
    AppDataSandbox sandbox;
    TempFolder watch_home;
    const int watcher = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watcher, 0);
    {
        LibraryCopy library(std::string("[upload]\n") + kClosedCatalogue);
        ASSERT_GE(inotify_add_watch(watcher, library.folder().c_str(), IN_OPEN | IN_CREATE), 0);
        library.Unload();
        alignas(inotify_event) char events[4096];
        const ssize_t got = read(watcher, events, sizeof events);
        EXPECT_LE(got, 0) << "something was opened or created beside the library";
    }
    close(watcher);
    EXPECT_EQ(ListTree(sandbox.root()), "");
}

TEST(Lifetime, LoadWritesTheTwoStartRecords) {
    AppDataSandbox sandbox;
    TempFolder logs;
    const std::string log = logs / "trace.log";
    {
        ScopedEnv trace("KELRES_TRACE", log);
        LibraryCopy library;
        library.Unload();
    }
    const auto text = ReadFile(log);
    ASSERT_TRUE(text.has_value());
    std::istringstream lines(*text);
    std::string first, second, third;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_FALSE(std::getline(lines, third));
    EXPECT_NE(first.find("[CResMgrApp::InitInstance] Res<<< " + std::string(53, '*')),
              std::string::npos)
        << first;
    EXPECT_NE(second.find("Res<<< \t\t"), std::string::npos) << second;
    EXPECT_NE(first.find("[KELResMgr/ResMgr.cpp - L"), std::string::npos) << first;
}

TEST(Settings, FileBesideTheLibraryNotTheWorkingFolder) {
    AppDataSandbox sandbox;
    TempFolder elsewhere;
    WriteFile(elsewhere / "Tessel.ini", std::string("[upload]\n") + kClosedCatalogue);
    const auto old = fs::current_path();
    fs::current_path(elsewhere.path());
    {
        LibraryCopy without_settings;
        EXPECT_EQ(without_settings.ValidResID("id", "me"), 1);  // no settings beside it
    }
    {
        LibraryCopy with_settings(std::string("[UPLOAD]\n") + kClosedCatalogue);
        EXPECT_EQ(with_settings.ValidResID("id", "me"), 2);
    }
    fs::current_path(old);
}

// Test mode reads "t_" keys, falls back to defaults rather than the normal keys, and switching
// back restores the normal keys at the next read.
TEST(Settings, TestModeKeys) {
    AppDataSandbox sandbox;
    LibraryCopy normal_only(std::string("[upload]\n") + kClosedCatalogue);
    EXPECT_EQ(normal_only.ValidResID("id", "me"), 2);
    normal_only.SetTestMode(true);
    EXPECT_EQ(normal_only.ValidResID("id", "me"), 1);
    normal_only.SetTestMode(false);
    EXPECT_EQ(normal_only.ValidResID("id", "me"), 2);

    LibraryCopy test_only("[upload]\nt_ws_url=127.0.0.1\nt_ws_http_port=1\n");
    EXPECT_EQ(test_only.InvalidResID("id"), 1);
    test_only.SetTestMode(true);
    EXPECT_EQ(test_only.InvalidResID("id"), 2);
}

TEST(Settings, EmptyValueIsNotTheDefault) {
    AppDataSandbox sandbox;
    LibraryCopy library("[upload]\nftp_server=\n");
    EXPECT_EQ(library.UploadResFile("/nonexistent/file"), 100);
}

TEST(CreateUserFolder, BuildsTheTreeInOneCall) {
    AppDataSandbox sandbox;
    LibraryCopy library;
    library.CreateUserFolder("mine");
    EXPECT_EQ(ListTree(sandbox.common()),
              "Vorn Tessel/\nVorn Tessel/Resources/\nVorn Tessel/Resources/mine/\n");
    EXPECT_FALSE(fs::exists(sandbox.user()));

    library.CreateUserFolder("mine");  // a second time changes nothing
    library.CreateUserFolder(nullptr);
    library.CreateUserFolder("");
    library.CreateUserFolder("absent/child");  // only the last level is ever created
    EXPECT_EQ(ListTree(sandbox.common()),
              "Vorn Tessel/\nVorn Tessel/Resources/\nVorn Tessel/Resources/mine/\n");
}

TEST(CreateUserFolder, NullNameOnlyEnsuresTheResourcesFolder) {
    AppDataSandbox sandbox;
    LibraryCopy library;
    library.CreateUserFolder(nullptr);
    EXPECT_EQ(ListTree(sandbox.common()), "Vorn Tessel/\nVorn Tessel/Resources/\n");
}

// The cached path survives the folder being deleted; the next call creates it again.
TEST(CreateUserFolder, RecreatesADeletedResourcesFolder) {
    AppDataSandbox sandbox;
    LibraryCopy library;
    library.CreateUserFolder("a");
    fs::remove_all(sandbox.resources());
    library.CreateUserFolder("b");
    EXPECT_TRUE(fs::is_directory(sandbox.resources() + "b"));
}

TEST(CreateUserFolder, UserTreeWhenAllUsersCannotBeHad) {
    AppDataSandbox sandbox;
    ScopedEnv no_common("KELRES_COMMON_APPDATA", "");
    LibraryCopy library;
    library.CreateUserFolder("mine");
    EXPECT_TRUE(fs::is_directory(sandbox.user() + "/Vorn Tessel/Resources/mine"));
}

// With no application-data folder at all the tree must not land at the file system's root.
TEST(CreateUserFolder, FallbackIsUnderTheTemporaryFolder) {
    TempFolder tmp;
    ScopedEnv tmpdir("TMPDIR", tmp.path());
    ScopedEnv no_common("KELRES_COMMON_APPDATA", "");
    ScopedEnv no_user("XDG_DATA_HOME", std::nullopt);
    ScopedEnv no_home("HOME", std::nullopt);
    LibraryCopy library;
    library.CreateUserFolder("mine");
    EXPECT_TRUE(
        fs::is_directory(tmp / ("Vorn Tessel-" + std::to_string(getuid())) + "/Resources/mine"));
    EXPECT_FALSE(fs::exists("/Resources"));
}

// Someone made the user's temporary folder first, writable by all, with a resource folder and a
// link planted in it: the planted folder must not be answered or notified as a resource, and
// nothing may be written through the link. The library makes a private folder instead.
TEST(CreateUserFolder, PlantedFallbackFolderIsNotUsed) {
    TempFolder tmp;
    TempFolder elsewhere;
    ScopedEnv tmpdir("TMPDIR", tmp.path());
    ScopedEnv no_common("KELRES_COMMON_APPDATA", "");
    ScopedEnv no_user("XDG_DATA_HOME", std::nullopt);
    ScopedEnv no_home("HOME", std::nullopt);
    const std::string shared = tmp / ("Vorn Tessel-" + std::to_string(getuid()));
    fs::create_directories(shared + "/Resources/0A1B2C3D0000ABCD_files");
    fs::create_directory_symlink(elsewhere.path(), shared + "/Resources/mine");
    fs::permissions(shared, fs::perms::all);

    LibraryCopy library("[download]\nhttp_server=127.0.0.1\nhttp_port=1\n");
    WindowRecorder window;
    EXPECT_EQ(library.DownloadResFileEx("0A1B2C3D0000ABCD", window.handle(), nullptr, 0, true), "");
    EXPECT_EQ(window.Count(), 0u);
    library.CreateUserFolder("mine");
    library.CreateUserFolder("mine/sub");
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));

    std::vector<fs::path> private_folders;
    for (const auto& entry : fs::directory_iterator(tmp.path())) {
        if (entry.path().string().rfind(shared + "-", 0) == 0) {
            private_folders.push_back(entry.path());
        }
    }
    ASSERT_EQ(private_folders.size(), 1u);
    EXPECT_TRUE(fs::is_directory(private_folders[0] / "Resources/mine/sub"));
}

TEST(Downloads, NullIdGivesEmpty) {
    AppDataSandbox sandbox;
    LibraryCopy library;
    EXPECT_EQ(library.DownloadResFile(nullptr, 0, nullptr, 0), "");
    EXPECT_EQ(library.UploadResFile(nullptr), 1);
}

}  // namespace
}  // namespace kel::test
