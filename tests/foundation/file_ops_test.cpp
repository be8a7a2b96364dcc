// The file operations that downloads build on: they must never throw and never touch more than
// the path they are given.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "harness/TempFolder.h"
#include "platform/file_ops.h"

namespace kel {
namespace {

using test::ScopedEnv;
using test::TempFolder;
using test::WriteFile;
namespace fs = std::filesystem;

TEST(TempFileName, UniqueEmptyFilesInTmpdir) {
    TempFolder tmp;
    ScopedEnv env("TMPDIR", tmp.path());
    std::set<std::string> names;
    for (int i = 0; i < 20; ++i) {
        const std::string name = platform::MakeTempFileName("kel_res");
        ASSERT_FALSE(name.empty());
        EXPECT_EQ(name.rfind(tmp.path() + "/kel_res", 0), 0u) << name;
        EXPECT_TRUE(fs::is_regular_file(name));
        EXPECT_EQ(fs::file_size(name), 0u);
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 20u);
}

TEST(TempFileName, UnusableTmpdirGivesEmpty) {
    ScopedEnv env("TMPDIR", "/nonexistent-kelres-folder");
    EXPECT_EQ(platform::MakeTempFileName("kel_res"), "");
}

TEST(SilentDelete, FilesTreesAndNothing) {
    TempFolder tmp;
    WriteFile(tmp / "file", "x");
    fs::create_directories(tmp / "tree/a/b");
    WriteFile(tmp / "tree/a/b/c", "x");
    WriteFile(tmp / "keep", "x");

    platform::SilentDelete(tmp / "file");
    platform::SilentDelete(tmp / "tree/");  // one trailing separator is dropped
    platform::SilentDelete(tmp / "missing");
    platform::SilentDelete("");  // never the working folder

    EXPECT_FALSE(fs::exists(tmp / "file"));
    EXPECT_FALSE(fs::exists(tmp / "tree"));
    EXPECT_TRUE(fs::exists(tmp / "keep"));
}

TEST(SilentRename, FoldersAndFailures) {
    TempFolder tmp;
    fs::create_directories(tmp / "a_tmp/sub");
    WriteFile(tmp / "a_tmp/sub/f", "x");
    EXPECT_TRUE(platform::SilentRename(tmp / "a_tmp/", tmp / "a"));
    EXPECT_TRUE(fs::exists(tmp / "a/sub/f"));

    EXPECT_FALSE(platform::SilentRename(tmp / "missing", tmp / "b"));
    fs::create_directories(tmp / "c/full");
    fs::create_directories(tmp / "d");
    EXPECT_FALSE(platform::SilentRename(tmp / "d", tmp / "c"));  // never over a non-empty folder
    EXPECT_TRUE(fs::exists(tmp / "c/full"));
}

TEST(CreateOneFolder, OneLevelOnly) {
    TempFolder tmp;
    EXPECT_TRUE(platform::CreateOneFolder(tmp / "x"));
    EXPECT_FALSE(platform::CreateOneFolder(tmp / "x"));
    EXPECT_FALSE(platform::CreateOneFolder(tmp / "y/z"));
    EXPECT_FALSE(fs::exists(tmp / "y"));
}

}  // namespace
}  // namespace kel
