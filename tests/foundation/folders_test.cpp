// The folder tree: where it lies on this machine, and the existence test everything relies on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "KELResMgr/base/LazyValue.h"
#include "KELResMgr/settings/LocalFolders.h"
#include "harness/TempFolder.h"
#include "platform/app_data_folders.h"
#include "platform/private_folder.h"

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

// Many threads asking for the first time at once must all see one value: the first one kept,
// even when their computations give different values; every value that lost is handed back.
TEST(LazyString, OneValueUnderContention) {
    LazyString value;
    std::atomic<int> computed{0};
    std::mutex lost_mutex;
    std::vector<std::string> lost;
    std::vector<std::thread> threads;
    std::vector<std::string> seen(16);
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&, i] {
            seen[i] = value.Get(
                [&] {
                    ++computed;
                    return "path" + std::to_string(i);
                },
                [&](const std::string& discarded) {
                    std::scoped_lock lock(lost_mutex);
                    lost.push_back(discarded);
                });
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(lost.size(), static_cast<std::size_t>(computed.load() - 1));
    for (const auto& s : seen) {
        EXPECT_EQ(s, seen[0]);
    }
    EXPECT_EQ(std::count(lost.begin(), lost.end(), seen[0]), 0);
}

TEST(LazyString, EmptyResultIsComputedAgain) {
    LazyString value;
    int calls = 0;
    EXPECT_EQ(value.Get([&] { return ++calls == 1 ? std::string() : std::string("later"); }), "");
    EXPECT_EQ(value.Get([&] { return ++calls == 1 ? std::string() : std::string("later"); }),
              "later");
    EXPECT_EQ(calls, 2);
}

// The user's folder in the temporary folder is used only when nobody else can have planted
// anything in it. Each row plants what another user could have made first.
TEST(UserTempFolder, SharedNameOnlyWhenItIsSafe) {
    struct Row {
        const char* name;
        void (*plant)(const std::string& shared, const std::string& elsewhere);
        bool shared_used;
    } rows[] = {
        {"missing: made", [](const std::string&, const std::string&) {}, true},
        {"own private folder",
         [](const std::string& shared, const std::string&) { fs::create_directory(shared); }, true},
        {"link to a folder",
         [](const std::string& shared, const std::string& elsewhere) {
             fs::create_directory_symlink(elsewhere, shared);
         },
         false},
        {"dangling link",
         [](const std::string& shared, const std::string& elsewhere) {
             fs::create_directory_symlink(elsewhere + "/none", shared);
         },
         false},
        {"writable by others",
         [](const std::string& shared, const std::string&) {
             fs::create_directory(shared);
             fs::permissions(shared, fs::perms::all);
         },
         false},
        {"a file", [](const std::string& shared, const std::string&) { WriteFile(shared, ""); },
         false},
        {"another user's folder",
         [](const std::string& shared, const std::string&) {
             fs::create_directory(shared);
             fs::permissions(shared, fs::perms::owner_all, fs::perm_options::replace);
             if (chown(shared.c_str(), 65534, 65534) != 0) {
                 fs::remove(shared);  // not root: this row cannot be set up
             }
         },
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempFolder tmp;
        TempFolder elsewhere;
        ScopedEnv tmpdir("TMPDIR", tmp.path());
        const std::string shared = tmp / ("Vorn Tessel-" + std::to_string(getuid()));
        row.plant(shared, elsewhere.path());
        if (!row.shared_used && !fs::exists(fs::symlink_status(shared))) {
            continue;
        }
        const platform::UserTempFolder folder = platform::MakeUserTempFolder("Vorn Tessel");
        if (row.shared_used) {
            EXPECT_EQ(folder.path, shared);
            EXPECT_EQ(folder.rejected, "");
            continue;
        }
        EXPECT_NE(folder.rejected, "");
        ASSERT_EQ(folder.path.rfind(shared + "-", 0), 0u) << folder.path;
        const auto status = fs::symlink_status(folder.path);
        EXPECT_TRUE(fs::is_directory(status));
        EXPECT_EQ(status.permissions() & fs::perms::all, fs::perms::owner_all);
        EXPECT_TRUE(fs::is_empty(elsewhere.path()));
    }
}

}  // namespace
}  // namespace kel
