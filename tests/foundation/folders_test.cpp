// The folder tree: where it lies on this machine, and the existence test everything relies on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "KELResMgr/LazyValue.h"
#include "KELResMgr/LocalFolders.h"
#include "harness/TempFolder.h"
#include "platform/app_data_folders.h"

namespace kel {
namespace {

using test::ScopedEnv;
using test::TempFolder;
using test::WriteFile;
namespace fs = std::filesystem;

TEST(PathExists, KindsAndSeparators) {
    TempFolder folder;
    const std::string file = folder / "a.txt";
    WriteFile(file, "x");
    const std::string dir = folder / "sub";
    fs::create_directory(dir);

    EXPECT_TRUE(PathExists(dir, true));
    EXPECT_TRUE(PathExists(dir + "/", true));  // a trailing separator changes nothing
    EXPECT_FALSE(PathExists(dir, false));      // a folder asked as a file
    EXPECT_TRUE(PathExists(file, false));
    EXPECT_FALSE(PathExists(file, true));  // a file asked as a folder
    EXPECT_FALSE(PathExists("", true));
    EXPECT_FALSE(PathExists("", false));
    EXPECT_FALSE(PathExists(folder / "missing", false));
    EXPECT_FALSE(PathExists(folder / "missing", true));
}

TEST(AppDataFolder, AllUsersFolderFirst) {
    TempFolder root;
    ScopedEnv common("KELRES_COMMON_APPDATA", root / "common");
    ScopedEnv user("XDG_DATA_HOME", root / "user");
    char buffer[kMaxPath];
    ASSERT_TRUE(AppDataFolder(buffer));
    EXPECT_EQ(std::string(buffer), root / "common/Vorn Tessel");
    EXPECT_TRUE(fs::is_directory(root / "common/Vorn Tessel"));
    EXPECT_FALSE(fs::exists(root / "user"));
}

TEST(AppDataFolder, UserFolderWhenAllUsersCannotBeHad) {
    TempFolder root;
    ScopedEnv common("KELRES_COMMON_APPDATA", "");
    ScopedEnv user("XDG_DATA_HOME", root / "user");
    char buffer[kMaxPath];
    ASSERT_TRUE(AppDataFolder(buffer));
    EXPECT_EQ(std::string(buffer), root / "user/Vorn Tessel");
}

TEST(AppDataFolder, HomeWhenNoDataHome) {
    TempFolder root;
    ScopedEnv common("KELRES_COMMON_APPDATA", "");
    ScopedEnv user("XDG_DATA_HOME", std::nullopt);
    ScopedEnv home("HOME", root.path());
    char buffer[kMaxPath];
    ASSERT_TRUE(AppDataFolder(buffer));
    EXPECT_EQ(std::string(buffer), root / ".local/share/Vorn Tessel");
}

TEST(AppDataFolder, NothingToBeHad) {
    ScopedEnv common("KELRES_COMMON_APPDATA", "");
    ScopedEnv user("XDG_DATA_HOME", std::nullopt);
    ScopedEnv home("HOME", std::nullopt);
    char buffer[kMaxPath] = "junk";
    EXPECT_FALSE(AppDataFolder(buffer));
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(AppDataFolder(nullptr));
}

// A file named "Vorn Tessel" counts as the folder; what goes below it then fails silently.
TEST(AppDataFolder, FileInTheWayCounts) {
    TempFolder root;
    fs::create_directory(root / "common");
    WriteFile(root / "common/Vorn Tessel", "");
    ScopedEnv common("KELRES_COMMON_APPDATA", root / "common");
    char buffer[kMaxPath];
    EXPECT_TRUE(AppDataFolder(buffer));
}

// Many threads asking for the first time at once must all see one value, computed once.
TEST(LazyString, ComputedOnceUnderContention) {
    LazyString value;
    std::atomic<int> computed{0};
    std::vector<std::thread> threads;
    std::vector<std::string> seen(16);
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&, i] {
            seen[i] = value.Get([&] {
                ++computed;
                return std::string("path");
            });
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(computed.load(), 1);
    for (const auto& s : seen) {
        EXPECT_EQ(s, "path");
    }
}

TEST(LazyString, EmptyResultIsComputedAgain) {
    LazyString value;
    int calls = 0;
    EXPECT_EQ(value.Get([&] { return ++calls == 1 ? std::string() : std::string("later"); }), "");
    EXPECT_EQ(value.Get([&] { return ++calls == 1 ? std::string() : std::string("later"); }),
              "later");
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace kel
