// Package checks, the body copy and ExtractPackage against crafted archives: what is left on disk
// after every kind of failure, and that no entry name or link ever gets a write outside the
// staging folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "KELResMgr/Package.h"
#include "KELResMgr/zip/ZipExtract.h"
#include "ZipTestSupport.h"
#include "harness/TempFolder.h"
#include "platform/file.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::CraftArchive;
using test::CraftEntry;
using test::ListTree;
using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

// Catches a version byte that is ignored or required where it must not be, and short files read
// as packages.
TEST(PackageChecks, SignatureAndVersion) {
    TempFolder tmp;
    const struct {
        const char* label;
        std::optional<std::string> content;
        bool valid, signature;
    } rows[] = {
        {"version 1 with a body", std::string("KEL\x01PK", 6), true, true},
        {"version 1, header only", std::string("KEL\x01", 4), true, true},
        {"version 2", std::string("KEL\x02PK", 6), false, true},
        {"version 0", std::string("KEL\0", 4), false, true},
        {"exactly \"KEL\"", std::string("KEL"), false, false},
        {"lower case", std::string("kel\x01"), false, false},
        {"empty", std::string(), false, false},
        {"missing", std::nullopt, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string path = tmp / "p.tsl";
        fs::remove(path);
        if (row.content) {
            WriteFile(path, *row.content);
        }
        EXPECT_EQ(IsValidPackage(path), row.valid);
        EXPECT_EQ(HasPackageSignature(path), row.signature);
    }
}

// Catches a copy that keeps the header, loses the tail at a chunk border, or writes anything for
// a file that is no package.
TEST(CopyPackageBody, CopiesBodyAtEveryChunkBorder) {
    TempFolder tmp;
    for (const std::size_t size : {0u, 1u, 20479u, 20480u, 20481u, 40960u, 100000u}) {
        SCOPED_TRACE(size);
        const std::string body = test::RandomBytes(size, static_cast<unsigned>(size));
        WriteFile(tmp / "p.tsl", std::string("KEL\x02", 4) + body);  // version is not looked at
        WriteFile(tmp / "body.zip", "old content");
        EXPECT_TRUE(CopyPackageBody(tmp / "p.tsl", tmp / "body.zip"));
        EXPECT_EQ(ReadFile(tmp / "body.zip"), body);
    }
}

TEST(CopyPackageBody, Failures) {
    TempFolder tmp;
    WriteFile(tmp / "plain.zip", "PK\x03\x04 not a package");
    WriteFile(tmp / "body.zip", "old content");
    EXPECT_FALSE(CopyPackageBody(tmp / "plain.zip", tmp / "body.zip"));
    EXPECT_EQ(ReadFile(tmp / "body.zip"), "");  // created, left empty

    EXPECT_FALSE(CopyPackageBody(tmp / "missing.tsl", tmp / "other.zip"));
    EXPECT_FALSE(fs::exists(tmp / "other.zip"));

    WriteFile(tmp / "p.tsl", "KEL\x01body");
    EXPECT_FALSE(CopyPackageBody(tmp / "p.tsl", tmp / "no/such/folder.zip"));
}

class ExtractTest : public ::testing::Test {
  protected:
    std::string Archive(const std::vector<CraftEntry>& entries) {
        const std::string path = tmp_ / "archive.zip";
        WriteFile(path, CraftArchive(entries));
        return path;
    }
    std::string Target() const { return tmp_ / "res_files"; }
    std::string Staging() const { return tmp_ / "res_files_tmp"; }
    TempFolder tmp_;
};

// Catches folder entries that create files, backslash names treated differently from slashed
// ones, folder parts that are not created, and a wrong last-write time or read-only bit.
TEST_F(ExtractTest, WritesFilesFoldersTimesAndAttributes) {
    const std::string big = test::SampleText(40960);
    ASSERT_TRUE(ExtractPackage(Archive({
                                   {.name = "img/", .data = ""},
                                   {.name = "a.txt", .data = "alpha", .deflate = true},
                                   {.name = "img\\b.png", .data = "png"},
                                   {.name = "deep\\er\\", .data = ""},
                                   {.name = "deep/er/c.txt", .data = big, .deflate = true},
                                   {.name = "./d.txt", .data = "dot"},
                                   {.name = "empty", .data = "", .external_attributes = 0x01},
                                   {.name = "ro.txt", .data = "keep", .external_attributes = 0x21},
                                   {.name = "a.txt", .data = "later wins"},
                               }),
                               Target()));
    EXPECT_FALSE(fs::exists(Staging()));
    EXPECT_EQ(ListTree(Target()),
              "a.txt\nd.txt\ndeep/\ndeep/er/\ndeep/er/c.txt\nempty\nimg/\nimg/b.png\nro.txt\n");
    EXPECT_EQ(ReadFile(Target() + "/a.txt"), "later wins");
    EXPECT_EQ(ReadFile(Target() + "/img/b.png"), "png");
    EXPECT_EQ(ReadFile(Target() + "/deep/er/c.txt"), big);
    EXPECT_EQ(ReadFile(Target() + "/d.txt"), "dot");
    EXPECT_EQ(ReadFile(Target() + "/empty"), "");

    const std::int64_t expected = test::LocalTime(2021, 6, 15, 10, 20, 30);
    for (const char* name : {"a.txt", "img/b.png", "empty", "ro.txt"}) {
        SCOPED_TRACE(name);
        struct stat info {};
        ASSERT_EQ(::stat((Target() + "/" + name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mtime, expected);
        const bool read_only = std::string(name) == "empty" || std::string(name) == "ro.txt";
        EXPECT_EQ((info.st_mode & 0222) == 0, read_only);
        EXPECT_EQ(info.st_mode & 0111, 0u);
    }
}

// Catches an extraction that reports success, or creates the target, after an archive error,
// and checks exactly what each failure leaves in the staging folder.
TEST_F(ExtractTest, FailuresLeaveTheStagingFolder) {
    const std::string text = test::SampleText(30000);
    const struct {
        const char* label;
        std::vector<CraftEntry> entries;
        std::string left;  // ListTree of the staging folder afterwards
    } rows[] = {
        {"bad CRC of the last entry",
         {{.name = "a", .data = "alpha"}, {.name = "b", .data = text, .deflate = true, .crc = 9}},
         "a\nb\n"},
        {"bad CRC of a middle entry",
         {{.name = "a", .data = "alpha", .crc = 9}, {.name = "b", .data = "beta"}},
         "a\nb\n"},
        {"method 12",
         {{.name = "a", .data = "x"}, {.name = "m", .data = "y", .method = 12}},
         "a\nm\n"},
        {"truncated deflate data",
         {{.name = "t", .data = text, .deflate = true, .cut_compressed = 100}},
         "t\n"},
        {"declared size larger than the stream",
         {{.name = "s", .data = text, .deflate = true, .uncompressed_size = 40000}},
         "s\n"},
        {"local and central disagree", {{.name = "l", .data = "x", .local_crc = 1}}, "l\n"},
        {"empty name", {{.name = "a", .data = "alpha"}, {.name = "", .data = "x"}}, "a\n"},
        {"NUL-led name", {{.name = std::string("\0x", 2), .data = "x"}}, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        fs::remove_all(Staging());
        EXPECT_FALSE(ExtractPackage(Archive(row.entries), Target()));
        EXPECT_FALSE(fs::exists(Target()));
        EXPECT_EQ(ListTree(Staging()), row.left);
    }
    // The last entry of a bad-CRC archive is complete but unverified.
    fs::remove_all(Staging());
    ExtractPackage(Archive(rows[0].entries), Target());
    EXPECT_EQ(ReadFile(Staging() + "/b"), text);
    // In the middle-entry case the next file was created, empty, before the raise.
    fs::remove_all(Staging());
    ExtractPackage(Archive(rows[1].entries), Target());
    EXPECT_EQ(ReadFile(Staging() + "/b"), "");
}

// Catches archives that are no archives at all reaching the disk, and a missing archive.
TEST_F(ExtractTest, NoArchive) {
    WriteFile(tmp_ / "junk.zip", std::string(3000, 'j'));
    EXPECT_FALSE(ExtractPackage(tmp_ / "junk.zip", Target()));
    EXPECT_FALSE(ExtractPackage(tmp_ / "missing.zip", Target()));
    EXPECT_FALSE(ExtractPackage(Archive({}), Target()));
    EXPECT_FALSE(fs::exists(Target()));
    EXPECT_EQ(ListTree(Staging()), "");
}

// Catches path traversal: every name that leaves the staging folder fails the whole extraction
// before anything is written for it, and nothing appears outside.
TEST_F(ExtractTest, UnsafeNamesWriteNothingOutside) {
    const char* const names[] = {
        "../evil.txt", "..\\evil.txt", "a/../../evil.txt", "a\\..\\..\\evil.txt", "/abs.txt",
        "\\abs.txt",   "C:evil.txt",   "c:/evil.txt",      "C:\\evil.txt",        "..",
        "a/..",        "../",          "sub/../../x/",
    };
    for (const char* name : names) {
        SCOPED_TRACE(name);
        fs::remove_all(Staging());
        EXPECT_FALSE(ExtractPackage(
            Archive({{.name = "ok.txt", .data = "ok"}, {.name = name, .data = "x"}}), Target()));
        EXPECT_EQ(ListTree(tmp_.path()), "archive.zip\nres_files_tmp/\nres_files_tmp/ok.txt\n");
        std::string slashed = name;
        std::replace(slashed.begin(), slashed.end(), '\\', '/');
        EXPECT_FALSE(IsSafeEntryName(slashed));
    }
    for (const char* name : {"..hidden", "a..b", "x/...", "./a", "ab:c", "1:x", "x/C:"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(IsSafeEntryName(name));
    }
}

// Catches writes that follow links planted in the staging folder (left by anyone between two
// extraction attempts) to files or folders elsewhere.
TEST_F(ExtractTest, LinksInTheStagingFolderAreNotFollowed) {
    TempFolder outside;
    WriteFile(outside / "victim.txt", "precious");
    fs::create_directories(Staging());
    fs::create_symlink(outside / "victim.txt", Staging() + "/f.txt");
    fs::create_hard_link(outside / "victim.txt", Staging() + "/h.txt");
    fs::create_directory_symlink(outside.path(), Staging() + "/dir");

    ASSERT_TRUE(ExtractPackage(
        Archive({{.name = "f.txt", .data = "new"}, {.name = "h.txt", .data = "new too"}}),
        Target()));
    EXPECT_EQ(ReadFile(outside / "victim.txt"), "precious");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Target() + "/f.txt")));
    EXPECT_EQ(ReadFile(Target() + "/f.txt"), "new");
    EXPECT_EQ(ReadFile(Target() + "/h.txt"), "new too");

    fs::create_directories(Staging());
    fs::create_directory_symlink(outside.path(), Staging() + "/dir");
    EXPECT_FALSE(ExtractPackage(Archive({{.name = "dir/x.txt", .data = "x"}}), Target()));
    EXPECT_EQ(ListTree(outside.path()), "victim.txt\n");

    // The staging folder itself a link.
    fs::create_directory_symlink(outside.path(), tmp_ / "third_tmp");
    EXPECT_FALSE(ExtractPackage(Archive({{.name = "y.txt", .data = "y"}}), tmp_ / "third"));
    EXPECT_EQ(ListTree(outside.path()), "victim.txt\n");
}

// Catches leftovers of an earlier failed attempt being dropped, and a rename over an existing
// target reported as success.
TEST_F(ExtractTest, StagingLeftoversAndRename) {
    fs::create_directories(Staging());
    WriteFile(Staging() + "/old.txt", "from before");
    ASSERT_TRUE(ExtractPackage(Archive({{.name = "new.txt", .data = "n"}}), Target()));
    EXPECT_EQ(ListTree(Target()), "new.txt\nold.txt\n");

    // The target exists and is not empty: the rename fails, the staging folder stays.
    EXPECT_FALSE(ExtractPackage(Archive({{.name = "again.txt", .data = "a"}}), Target()));
    EXPECT_EQ(ListTree(Staging()), "again.txt\n");
    EXPECT_EQ(ListTree(Target()), "new.txt\nold.txt\n");
}

// Catches a chunk size that changes what is written (the benchmark runs a larger one).
TEST_F(ExtractTest, ChunkSizeDoesNotChangeOutput) {
    const std::string text = test::SampleText(200000);
    const std::string random = test::RandomBytes(70000);
    for (const std::size_t chunk : {1u, 4096u, 20480u, 65536u, 1u << 20}) {
        SCOPED_TRACE(chunk);
        const std::string target = tmp_ / ("c" + std::to_string(chunk));
        ASSERT_TRUE(ExtractArchive(
            Archive({{.name = "t", .data = text, .deflate = true}, {.name = "r", .data = random}}),
            target, chunk));
        EXPECT_EQ(ReadFile(target + "/t"), text);
        EXPECT_EQ(ReadFile(target + "/r"), random);
    }
}

}  // namespace
}  // namespace kel
