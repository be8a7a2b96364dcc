// Package checks, the body copy and ExtractPackage against crafted archives: what is left on disk
// after every kind of failure, and that no entry name or link ever gets a write outside the
// staging folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <windows.h>
#include <winioctl.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>

#include "KELResMgr/download/Package.h"
#include "KELResMgr/download/PartFile.h"
#include "KELResMgr/zip/EntryWriter.h"
#include "KELResMgr/zip/Footprint.h"
#include "KELResMgr/zip/ZipExtract.h"
#include "ZipTestSupport.h"
#include "harness/TempFolder.h"
#include "platform/durable.h"
#include "platform/file.h"
#include "platform/path.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::CraftArchive;
using test::CraftEntry;
using test::ListTree;
using test::ReadFile;
using test::TempFolder;
using test::UnicodePathField;
using test::WriteFile;

#if defined(_WIN32)
constexpr bool kWindows = true;
// ERROR_FILE_NOT_FOUND, ERROR_FILE_EXISTS, ERROR_PATH_NOT_FOUND
constexpr int kMissingError = 2, kTakenError = 80, kBelowAFileError = 3;
#else
constexpr bool kWindows = false;
constexpr int kMissingError = ENOENT, kTakenError = EEXIST, kBelowAFileError = ENOTDIR;
#endif

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

// For its scope, every extraction closes its files on the close threads, as where closes are slow.
class CloseThreadsAtOnce {
  public:
    CloseThreadsAtOnce() : saved_(SetSlowCloseForTests(std::chrono::nanoseconds(0))) {}
    ~CloseThreadsAtOnce() { SetSlowCloseForTests(saved_); }
    CloseThreadsAtOnce(const CloseThreadsAtOnce&) = delete;
    CloseThreadsAtOnce& operator=(const CloseThreadsAtOnce&) = delete;

  private:
    std::chrono::nanoseconds saved_;
};

class ExtractTest : public ::testing::Test {
  protected:
    std::string Archive(const std::vector<CraftEntry>& entries) {
        const std::string path = tmp_ / "archive.zip";
        WriteFile(path, CraftArchive(entries));
        return path;
    }
    // The archive's bytes with each central directory record passed to patch (record, index).
    std::string PatchedArchive(std::string bytes,
                               const std::function<void(unsigned char*, int)>& patch) {
        int index = 0;
        for (std::size_t at = bytes.find("PK\x01\x02"); at != std::string::npos;
             at = bytes.find("PK\x01\x02", at + 4)) {
            patch(reinterpret_cast<unsigned char*>(&bytes[at]), index++);
        }
        const std::string path = tmp_ / "archive.zip";
        WriteFile(path, bytes);
        return path;
    }
    std::string Target() const { return tmp_ / "res_files"; }
    std::string Staging() const { return tmp_ / "res_files_tmp"; }
    TempFolder tmp_;
};

// Catches folder entries that create files, backslash names treated differently from slashed
// ones, folder parts that are not created, a wrong last-write time or read-only bit, and a later
// entry that cannot replace a read-only file (on Windows, also one whose earlier file is still
// open on a close thread).
TEST_F(ExtractTest, WritesFilesFoldersTimesAndAttributes) {
    const std::string big = test::SampleText(40960);
    const std::string archive = Archive({
        {.name = "img/", .data = ""},
        {.name = "a.txt", .data = "alpha", .deflate = true},
        {.name = "img\\b.png", .data = "png"},
        {.name = "deep\\er\\", .data = ""},
        {.name = "deep/er/c.txt", .data = big, .deflate = true},
        {.name = "./d.txt", .data = "dot"},
        {.name = "empty", .data = "", .external_attributes = 0x01},
        {.name = "ro.txt", .data = "keep", .external_attributes = 0x21},
        {.name = "a.txt", .data = "later wins"},
        // replaces a read-only file
        {.name = "empty", .data = "", .external_attributes = 0x01},
    });
    for (const bool close_threads : {false, true}) {
        SCOPED_TRACE(close_threads ? "closed on the close threads" : "closed at once");
        std::optional<CloseThreadsAtOnce> slow;
        if (close_threads) {
            slow.emplace();
        }
        const std::string target = tmp_ / (close_threads ? "threads_files" : "res_files");
        ASSERT_TRUE(ExtractPackage(archive, target));
        EXPECT_FALSE(fs::exists(target + "_tmp"));
        EXPECT_EQ(ListTree(target),
                  "a.txt\nd.txt\ndeep/\ndeep/er/\ndeep/er/c.txt\nempty\nimg/\nimg/b.png\nro.txt\n");
        EXPECT_EQ(ReadFile(target + "/a.txt"), "later wins");
        EXPECT_EQ(ReadFile(target + "/img/b.png"), "png");
        EXPECT_EQ(ReadFile(target + "/deep/er/c.txt"), big);
        EXPECT_EQ(ReadFile(target + "/d.txt"), "dot");
        EXPECT_EQ(ReadFile(target + "/empty"), "");

        const std::int64_t expected = test::LocalTime(2021, 6, 15, 10, 20, 30);
        for (const char* name : {"a.txt", "img/b.png", "empty", "ro.txt"}) {
            SCOPED_TRACE(name);
            struct stat info {};
            ASSERT_EQ(::stat((target + "/" + name).c_str(), &info), 0);
            EXPECT_EQ(info.st_mtime, expected);
            const bool read_only = std::string(name) == "empty" || std::string(name) == "ro.txt";
            EXPECT_EQ((info.st_mode & 0222) == 0, read_only);
            EXPECT_EQ(info.st_mode & 0111, 0u);
        }
    }
}

// Catches a file written into another folder than its name says when the entries go round more
// folders than are kept open (their handles closed and opened again), and round nested ones.
TEST_F(ExtractTest, EntriesGoingRoundTheFolders) {
    std::vector<CraftEntry> entries;
    std::vector<std::string> names;
    for (int i = 0; i < 400; ++i) {
        const int folder = i % 150;
        names.push_back("f" + std::to_string(folder) + (folder % 3 ? "/" : "/in/") + "e" +
                        std::to_string(i));
    }
    for (const std::string& name : names) {
        entries.push_back({.name = name, .data = name});
    }
    ASSERT_TRUE(ExtractPackage(Archive(entries), Target()));
    for (const std::string& name : names) {
        ASSERT_EQ(ReadFile(Target() + "/" + name), name);
    }
}

// Catches an extraction that reports success, or creates the target, after an archive error,
// and partial output left behind, where a later extraction could pick it up.
TEST_F(ExtractTest, FailuresLeaveNothing) {
    const std::string text = test::SampleText(30000);
    const struct {
        const char* label;
        std::vector<CraftEntry> entries;
    } rows[] = {
        {"bad CRC of the last entry",
         {{.name = "a", .data = "alpha"}, {.name = "b", .data = text, .deflate = true, .crc = 9}}},
        {"bad CRC of a middle entry",
         {{.name = "a", .data = "alpha", .crc = 9}, {.name = "b", .data = "beta"}}},
        {"method 12", {{.name = "a", .data = "x"}, {.name = "m", .data = "y", .method = 12}}},
        {"truncated deflate data",
         {{.name = "t", .data = text, .deflate = true, .cut_compressed = 100}}},
        {"declared size larger than the stream",
         {{.name = "s", .data = text, .deflate = true, .uncompressed_size = 40000}}},
        {"local and central disagree", {{.name = "l", .data = "x", .local_crc = 1}}},
        {"empty name", {{.name = "a", .data = "alpha"}, {.name = "", .data = "x"}}},
        {"NUL-led name", {{.name = std::string("\0x", 2), .data = "x"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_FALSE(ExtractPackage(Archive(row.entries), Target()));
        EXPECT_EQ(ListTree(tmp_.path()), "archive.zip\n");
    }
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
        EXPECT_FALSE(ExtractPackage(
            Archive({{.name = "ok.txt", .data = "ok"}, {.name = name, .data = "x"}}), Target()));
        EXPECT_EQ(ListTree(tmp_.path()), "archive.zip\n");
        std::string slashed = name;
        std::replace(slashed.begin(), slashed.end(), '\\', '/');
        EXPECT_FALSE(IsSafeEntryName(slashed));
    }
    for (const char* name : {"..hidden", "a..b", "./a"}) {
        EXPECT_TRUE(IsSafeEntryName(name)) << name;
    }
    // Windows would store these under another name or as a stream of another file.
    for (const char* name : {"x/...", "ab:c", "1:x", "x/C:"}) {
        EXPECT_EQ(IsSafeEntryName(name), !kWindows) << name;
    }
}

// The content of the file called name ('/'-separated) below folder, looked up as a host looks
// for it by its real name: on Windows through the wide calls, the name read as UTF-8 or as ANSI
// text; elsewhere by its bytes. Nothing when there is no such file.
std::optional<std::string> ReadNamed(const std::string& folder, std::string name, bool utf8) {
#if defined(_WIN32)
    const auto widen = [](const std::string& text, UINT code_page) {
        std::wstring wide(text.size(), L'\0');
        wide.resize(static_cast<std::size_t>(
            MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()),
                                wide.data(), static_cast<int>(wide.size()))));
        return wide;
    };
    std::replace(name.begin(), name.end(), '/', '\\');
    const fs::path path = widen(folder + "\\", CP_ACP) + widen(name, utf8 ? CP_UTF8 : CP_ACP);
#else
    (void)utf8;
    const fs::path path = folder + "/" + name;
#endif
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The files below root, '/'-separated, by their names in UTF-8 (Windows: the names the system
// keeps, in UTF-16, as UTF-8), sorted.
std::vector<std::string> FileNamesBelow(const std::string& root) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(fs::u8path(root))) {
        if (entry.is_regular_file()) {
            const std::u8string name =
                entry.path().lexically_relative(fs::u8path(root)).generic_u8string();
            names.emplace_back(name.begin(), name.end());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Catches names created in another encoding than the archive declares (a UTF-8 name given to
// the ANSI calls of Windows is mangled, and has no ANSI form at all in most scripts), a Unicode
// path field used without its CRC matching or past the safety checks, and a failed extraction
// whose clean-up cannot remove a name of no ANSI form. On Windows, catches a name that meets an
// earlier one where case is ignored, as NTFS compares names (the simple upper case of every
// UTF-16 unit, all of Unicode's first plane), treated otherwise than a repeated name: its data
// replace the earlier file's under the earlier name, and a file where a folder is by case (or
// the other way round) is refused, as kelres check predicts; and device names with superscript
// digits that are not refused (Wine itself opens them as files).
TEST_F(ExtractTest, NamesInEveryEncoding) {
    const std::string u_umlaut = "\xC3\xBC.txt";             // "ü.txt" in UTF-8
    const std::string chinese = "\xE6\x96\x87\xE4\xBB\xB6";  // two CJK characters in UTF-8
    const std::string latin1 = "\xFC.txt";                   // "ü.txt" from an 8-bit packer
    constexpr std::uint16_t kUtf8 = 1u << 11;
    struct Named {
        std::string name;
        bool utf8;
        std::string content = "x";
    };
    struct Row {
        std::string label;
        std::vector<CraftEntry> entries;
        std::vector<Named> files;  // what the host finds; none: the extraction fails
        bool refused_on_windows = false;
        // What the host finds on Windows, when not the same.
        std::optional<std::vector<Named>> windows_files = std::nullopt;
        bool alone = false;  // these files are all there are, named exactly so
    };
    std::vector<Row> rows = {
        {"UTF-8 flag", {{.name = u_umlaut, .data = "x", .flags = kUtf8}}, {{u_umlaut, true}}},
        {"UTF-8 flag, no ANSI form",
         {{.name = chinese + "/" + chinese, .data = "x", .flags = kUtf8}},
         {{chinese + "/" + chinese, true}}},
        {"Unicode path field",
         {{.name = "\x81.txt",
           .data = "x",
           .central_extra = UnicodePathField("\x81.txt", u_umlaut)}},
         {{u_umlaut, true}}},
        {"Unicode path field of another name",
         {{.name = latin1, .data = "x", .central_extra = UnicodePathField("x.txt", u_umlaut)}},
         {{latin1, false}}},
        {"Unicode path field that climbs out",
         {{.name = "evil.txt",
           .data = "x",
           .central_extra = UnicodePathField("evil.txt", "../evil.txt")}},
         {}},
        {"unmarked UTF-8", {{.name = "d\\" + u_umlaut, .data = "x"}}, {{"d/" + u_umlaut, true}}},
        {"legacy 8-bit name", {{.name = latin1, .data = "x"}}, {{latin1, false}}},
        {"UTF-8 flag on no UTF-8",
         {{.name = latin1, .data = "x", .flags = kUtf8}},
         {{latin1, false}},
         true},
        {"clean-up after a name of no ANSI form",
         {{.name = chinese, .data = "x", .flags = kUtf8}, {.name = "b", .data = "x", .crc = 9}},
         {}},
        {"a file named \".\" in a folder, which names the folder",
         {{.name = "a/x", .data = "x", .flags = kUtf8},
          {.name = "A/.", .data = "x", .flags = kUtf8}},
         {}},
        {"folders by case",
         {{.name = "Docs/a.txt", .data = "x", .flags = kUtf8},
          {.name = "DOCS/b.txt", .data = "x", .flags = kUtf8}},
         {{"Docs/a.txt", true}, {"DOCS/b.txt", true}},
         false,
         std::vector<Named>{{"Docs/a.txt", true}, {"Docs/b.txt", true}},
         true},
    };
    // Pairs that are one name to NTFS: the later one replaces the earlier one's data, the name
    // staying the earlier's (Linux keeps both).
    const std::pair<const char*, const char*> pairs[] = {
        {"README.txt", "readme.TXT"},
        {"\xC8\x98.txt", "\xC8\x99.txt"},  // Ș ș
        {"\xCE\xAC\xCE\xBB\xCF\x86\xCE\xB1.txt",
         "\xCE\x86\xCE\x9B\xCE\xA6\xCE\x91.txt"},  // άλφα ΆΛΦΑ
        {"\xD2\x91\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xBA.txt",
         "\xD2\x90\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xBA.txt"},  // ґанок Ґанок
        {"b\xE1\xBA\xA1n.txt", "B\xE1\xBA\xA0N.txt"},      // bạn BẠN
        {"\xD5\xA1.txt", "\xD4\xB1.txt"},                  // ա Ա
        {"\xEF\xBD\x81.txt", "\xEF\xBC\xA1.txt"},          // ａ Ａ
        {"d/\xC8\x99/f", "D/\xC8\x98/F"},                  // levels of folders
    };
    for (const auto& [first, second] : pairs) {
        rows.push_back({std::string("one file where case is ignored: ") + first + ", " + second,
                        {{.name = first, .data = "first", .flags = kUtf8},
                         {.name = second, .data = "second", .flags = kUtf8}},
                        {{first, true, "first"}, {second, true, "second"}},
                        false,
                        std::vector<Named>{{first, true, "second"}},
                        true});
    }
    // A file where a folder is, by case: refused as when the names are the same.
    rows.push_back({"a file, then a folder of its name by case",
                    {{.name = "\xC8\x99", .data = "x", .flags = kUtf8},
                     {.name = "\xC8\x98/x.txt", .data = "x", .flags = kUtf8}},
                    {{"\xC8\x99", true}, {"\xC8\x98/x.txt", true}},
                    true});
    rows.push_back({"a folder, then a file of its name by case",
                    {{.name = "\xC8\x98/x.txt", .data = "x", .flags = kUtf8},
                     {.name = "\xC8\x99", .data = "x", .flags = kUtf8}},
                    {{"\xC8\x98/x.txt", true}, {"\xC8\x99", true}},
                    true});
    // Devices with a superscript digit, with or without an extension.
    for (const char* device :
         {"COM\xC2\xB9.txt", "lpt\xC2\xB2.log", "docs/Com\xC2\xB3", "LPT\xC2\xB3"}) {
        rows.push_back({std::string("device ") + device,
                        {{.name = device, .data = "x", .flags = kUtf8}},
                        {{device, true}},
                        true});
    }
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const bool installs = !row.files.empty() && !(kWindows && row.refused_on_windows);
        EXPECT_EQ(ExtractPackage(Archive(row.entries), Target()), installs);
        if (!installs) {
            EXPECT_EQ(ListTree(tmp_.path()), "archive.zip\n");
            continue;
        }
        const std::vector<Named>& files =
            kWindows && row.windows_files ? *row.windows_files : row.files;
        std::vector<std::string> names;
        for (const Named& file : files) {
            EXPECT_EQ(ReadNamed(Target(), file.name, file.utf8), file.content) << file.name;
            names.push_back(file.name);
        }
        if (row.alone) {
            std::sort(names.begin(), names.end());
            EXPECT_EQ(FileNamesBelow(Target()), names);
        }
        fs::remove_all(Target());
    }
}

// Catches writes that follow links planted under the staging folder's old fixed name (left by
// anyone between two extraction attempts) to files or folders elsewhere, and a clean-up that
// removes what the extraction did not make.
TEST_F(ExtractTest, LinksInTheStagingFolderAreNotFollowed) {
    if (kWindows) {
        GTEST_SKIP() << "no symbolic links to plant here (Wine cannot create them)";
    }
    TempFolder outside;
    WriteFile(outside / "victim.txt", "precious");
    fs::create_directories(Staging());
    fs::create_symlink(outside / "victim.txt", Staging() + "/f.txt");
    fs::create_hard_link(outside / "victim.txt", Staging() + "/h.txt");
    fs::create_directory_symlink(outside.path(), Staging() + "/dir");

    ASSERT_TRUE(ExtractPackage(Archive({{.name = "f.txt", .data = "new"},
                                        {.name = "h.txt", .data = "new too"},
                                        {.name = "dir/x.txt", .data = "x"}}),
                               Target()));
    EXPECT_EQ(ListTree(outside.path()), "victim.txt\n");
    EXPECT_EQ(ReadFile(outside / "victim.txt"), "precious");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Target() + "/f.txt")));
    EXPECT_EQ(ListTree(Target()), "dir/\ndir/x.txt\nf.txt\nh.txt\n");
    // Not this extraction's: left as planted.
    const auto planted = [&] {
        return fs::is_symlink(Staging() + "/f.txt") && fs::is_symlink(Staging() + "/dir") &&
               ReadFile(Staging() + "/h.txt") == "precious";
    };
    EXPECT_TRUE(planted());

    // A failing extraction removes its own folder only.
    EXPECT_FALSE(ExtractPackage(Archive({{.name = "y.txt", .data = "y", .crc = 9}}), tmp_ / "t"));
    EXPECT_EQ(ListTree(outside.path()), "victim.txt\n");
    EXPECT_TRUE(planted());
}

#if defined(_WIN32)
// Makes path an empty folder that is a junction to the folder target (a mount point, which needs
// no privilege); false where the file system cannot.
bool MakeJunction(const std::string& path, const std::string& target) {
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(target.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH || !CreateDirectoryA(path.c_str(), nullptr)) {
        return false;
    }
    const std::wstring substitute = L"\\??\\" + std::wstring(full, full + length);
    struct {
        DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        WORD data_length, reserved = 0;
        WORD substitute_offset = 0, substitute_length, print_offset, print_length = 0;
        WCHAR names[2 * MAX_PATH] = {};  // the substitute name, a zero, an empty print name
    } data;
    const WORD bytes = static_cast<WORD>(substitute.size() * sizeof(WCHAR));
    std::copy(substitute.begin(), substitute.end(), data.names);
    data.substitute_length = bytes;
    data.print_offset = bytes + sizeof(WCHAR);
    data.data_length = 8 + bytes + 2 * sizeof(WCHAR);
    const HANDLE folder =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD returned = 0;
    const bool made = folder != INVALID_HANDLE_VALUE &&
                      DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, &data, 8 + data.data_length,
                                      nullptr, 0, &returned, nullptr);
    CloseHandle(folder);
    return made;
}
#endif

// Moves the folder at path aside and puts a link (a junction on Windows) to the folder target in
// its place, as another process could; false when the system refuses.
bool SwapForLink(const std::string& path, const std::string& target) {
    std::error_code ec;
    fs::rename(path, path + "_moved", ec);
    if (ec) {
        return false;
    }
#if defined(_WIN32)
    return MakeJunction(path, target);
#else
    fs::create_directory_symlink(target, path, ec);
    return !ec;
#endif
}

// The swap that the extraction hook makes before the second entry: of this folder of the folder
// being written (empty: that folder itself), for a link to target.
struct {
    std::string folder, target;
    int entries = 0;
    bool swapped = false;
} g_swap;

void SwapBeforeSecondEntry(const std::string& staging) {
    if (++g_swap.entries == 2) {
        g_swap.swapped = SwapForLink(
            g_swap.folder.empty() ? staging : staging + "/" + g_swap.folder, g_swap.target);
    }
}

// Catches a folder of the staging tree swapped for a link to a folder outside between two
// entries leading the later writes through the link (folders checked once, files opened by
// path), and handles left open on the way out. The extraction may fail or write inside; nothing
// outside changes.
TEST_F(ExtractTest, FolderSwappedForALinkBetweenEntries) {
#if defined(_WIN32)
    TempFolder probe;
    if (!MakeJunction(probe / "j", probe.path())) {
        GTEST_SKIP() << "no junctions to swap in here (Wine cannot create them)";
    }
#endif
    const struct {
        const char* label;
        std::vector<const char*> names;
        const char* swapped;
    } rows[] = {
        {"the entry's own folder", {"a/1", "a/2"}, "a"},
        {"a folder above it", {"a/b/1", "a/b/2"}, "a"},
        {"a new folder below it", {"a/1", "a/c/2"}, "a"},
        {"the staging folder", {"1", "2"}, ""},
    };
    auto open_descriptors = [] {
        return kWindows ? 0 : std::distance(fs::directory_iterator("/proc/self/fd"), {});
    };
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        TempFolder outside;
        fs::create_directory(outside / "b");
        std::vector<CraftEntry> entries;
        for (const char* name : row.names) {
            entries.push_back({.name = name, .data = name});
        }
        g_swap = {row.swapped, outside.path()};
        const auto descriptors = open_descriptors();
        SetBeforeEntryHookForTests(&SwapBeforeSecondEntry);
        const std::string target = tmp_ / ("row" + std::to_string(index++));
        ExtractPackage(Archive(entries), target);
        SetBeforeEntryHookForTests(nullptr);
        EXPECT_FALSE(fs::is_symlink(target));  // a planted link is never installed
        // Windows refuses to move a folder that the extraction holds open.
        EXPECT_TRUE(g_swap.swapped || kWindows);
        EXPECT_EQ(ListTree(outside.path()), "b/\n");
        EXPECT_EQ(open_descriptors(), descriptors);
    }
}

// Catches files of an earlier, failed extraction (a damaged package, cut short) installed with
// the next one, and an extraction that finds the resource installed meanwhile (by another
// process sharing the folder) replacing, deleting or failing it.
TEST_F(ExtractTest, StagingLeftoversAndRename) {
    EXPECT_FALSE(ExtractPackage(
        Archive({{.name = "a.txt", .data = "a"}, {.name = "old.txt", .data = "o", .crc = 9}}),
        Target()));
    fs::create_directories(Staging());  // as an older library left it
    WriteFile(Staging() + "/stale.txt", "from before");
    ASSERT_TRUE(ExtractPackage(Archive({{.name = "a.txt", .data = "a"}}), Target()));
    EXPECT_EQ(ListTree(Target()), "a.txt\n");

    // The target stands when the rename comes: installed, and left exactly as it is.
    EXPECT_TRUE(ExtractPackage(Archive({{.name = "again.txt", .data = "a"}}), Target()));
    EXPECT_EQ(ListTree(Target()), "a.txt\n");
    EXPECT_EQ(ListTree(tmp_.path()),
              "archive.zip\nres_files/\nres_files/a.txt\nres_files_tmp/\n"
              "res_files_tmp/stale.txt\n");
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

// Catches a write that fails on the writer's thread (here: past the file size limit) and is lost
// there: the extraction must still fail and leave nothing, whether the failure comes to light at
// the end or while later entries are extracted.
TEST_F(ExtractTest, FailedWriteOfALargeEntryLeavesNothing) {
#if defined(_WIN32)
    GTEST_SKIP() << "no file size limit to set here";
#else
    const std::string large = test::SampleText(1 << 20);
    const std::vector<CraftEntry> followed = {{.name = "l", .data = large, .deflate = true},
                                              {.name = "b", .data = "b"},
                                              {.name = "c", .data = "c"}};
    const struct {
        const char* label;
        std::vector<CraftEntry> entries;
        bool close_threads;
    } rows[] = {
        {"the last entry",
         {{.name = "a", .data = "a"}, {.name = "l", .data = large, .deflate = true}},
         false},
        {"followed by small entries", followed, false},
        {"followed by small entries, closed on the close threads", followed, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        std::optional<CloseThreadsAtOnce> slow;
        if (row.close_threads) {
            slow.emplace();
        }
        const std::string archive = Archive(row.entries);
        rlimit saved{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);  // a write past it fails (EFBIG)
        rlimit limited = saved;
        limited.rlim_cur = 300000;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        bool extracted = true;
        try {
            extracted = ExtractArchive(archive, Target(), 65536);
        } catch (const platform::FileError& error) {
            extracted = false;
            EXPECT_EQ(error.error_number(), EFBIG);
        }
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, old_handler);
        EXPECT_FALSE(extracted);
        EXPECT_EQ(ListTree(tmp_.path()), "archive.zip\n");
    }
#endif
}

void PutLe32(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// Catches a package read in place that differs from its copied body: every row extracts alike
// (the archive's end record is looked for, and its offsets counted, from the body's start).
TEST_F(ExtractTest, BodyReadInPlaceLikeACopy) {
    const std::string text = test::SampleText(300000);
    const struct {
        const char* label;
        std::string archive;
    } rows[] = {
        {"folders, deflated and stored",
         CraftArchive(
             {{.name = "d/t", .data = text, .deflate = true}, {.name = "s", .data = "s"}})},
        {"foreign bytes in front", CraftArchive({{.name = "p", .data = "p"}}, {.prefix = "xyz"})},
        {"directory said to end 2 bytes past the end record",
         CraftArchive({{.name = "a", .data = "a"}}, {.directory_offset = 34})},
        {"header only", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        WriteFile(tmp_ / "p.tsl", std::string("KEL\x01", 4) + row.archive);
        ASSERT_TRUE(CopyPackageBody(tmp_ / "p.tsl", tmp_ / "body.zip"));
        const bool copied = ExtractPackage(tmp_ / "body.zip", tmp_ / "copy");
        const bool in_place = ExtractPackage(tmp_ / "p.tsl", tmp_ / "place", kPackageBodyOffset);
        EXPECT_EQ(in_place, copied);
        EXPECT_EQ(ListTree(tmp_ / (in_place ? "place" : "place_tmp")),
                  ListTree(tmp_ / (copied ? "copy" : "copy_tmp")));
        if (copied) {
            EXPECT_EQ(ReadFile(tmp_ / "place/d/t"), ReadFile(tmp_ / "copy/d/t"));
        }
        for (const char* folder : {"copy", "copy_tmp", "place", "place_tmp"}) {
            fs::remove_all(tmp_ / folder);
        }
    }
}

// Catches archives whose entries share bytes: 55 KB that unpack to 1 GB by pointing many
// records at one stream. Refused before anything is written.
TEST_F(ExtractTest, OverlappingEntriesWriteNothing) {
    const std::string text = test::SampleText(65536);
    std::vector<CraftEntry> same_stream;
    for (int i = 0; i < 50; ++i) {
        same_stream.push_back(
            {.name = "f" + std::to_string(10 + i), .data = text, .deflate = true});
    }
    // A stored entry whose data are a complete local header and its data, and a second record
    // pointing into them (offset 31: after the 30-byte header and the name "a").
    const std::string inner = CraftArchive({{.name = "in", .data = "inner"}});
    const std::vector<CraftEntry> nested = {{.name = "a", .data = inner.substr(0, 30 + 2 + 5)},
                                            {.name = "in", .data = "inner"}};
    const struct {
        const char* label;
        std::string archive;
    } rows[] = {
        {"fifty records, one local header",
         PatchedArchive(CraftArchive(same_stream),
                        [](unsigned char* record, int) { PutLe32(record + 42, 0); })},
        {"a local header inside another entry's data",
         PatchedArchive(CraftArchive(nested),
                        [](unsigned char* record, int index) {
                            if (index == 1) {
                                PutLe32(record + 42, 31);
                            }
                        })},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        fs::remove_all(Staging());
        EXPECT_FALSE(ExtractPackage(row.archive, Target()));
        EXPECT_EQ(ListTree(Staging()), "");
    }
}

// Catches an archive that declares more than the disk can take filling it first: refused with
// nothing written (an extraction of it would write the first entry, then fail).
TEST_F(ExtractTest, DeclaredTotalBeyondFreeSpaceWritesNothing) {
    std::vector<CraftEntry> entries;
    for (int i = 0; i < 1000; ++i) {
        entries.push_back({.name = "e" + std::to_string(1000 + i),
                           .data = "x",
                           .deflate = true,
                           .uncompressed_size = 0xFFFFFFF0});
    }
    const std::optional<std::uint64_t> available = platform::AvailableSpace(tmp_.path());
    ASSERT_TRUE(available.has_value());
    if (*available >= 1000 * std::uint64_t{0xFFFFFFF0}) {
        GTEST_SKIP() << "more than 4 TB free";
    }
    EXPECT_FALSE(ExtractPackage(Archive(entries), Target()));
    EXPECT_EQ(ListTree(Staging()), "");
}

// What a durability step saw: its path, and whether the target was there then.
struct DurableRecord {
    platform::DurableStep step;
    std::string path;
    bool target_there;
};
std::vector<DurableRecord> g_durable_steps;  // files are secured on several threads at once
std::mutex g_durable_mutex;
std::string g_durable_target;

void RecordDurableStep(platform::DurableStep step, const std::string& path) {
    const std::lock_guard lock(g_durable_mutex);
    g_durable_steps.push_back({step, path, fs::exists(g_durable_target)});
}

// Records the durability steps for its scope.
class DurableSteps {
  public:
    explicit DurableSteps(const std::string& target) {
        g_durable_steps.clear();
        g_durable_target = target;
        platform::SetDurableStepHookForTests(RecordDurableStep);
    }
    ~DurableSteps() { platform::SetDurableStepHookForTests(nullptr); }
    DurableSteps(const DurableSteps&) = delete;
    DurableSteps& operator=(const DurableSteps&) = delete;
};

// Catches a resource folder or a kept package renamed into place before its data and its
// folders' entries are on disk (a power cut then left <T>_files of empty files, answered as
// installed for good), and a rename that is not made durable. A test sees that the calls are made
// and in which order, on whichever thread closes the files; not that the disk keeps them.
TEST_F(ExtractTest, DurableBeforeTheRename) {
    const std::vector<CraftEntry> entries = {
        {.name = "a", .data = "a"},
        {.name = "d/b", .data = "b", .deflate = true},
        {.name = "big", .data = test::SampleText(200000), .deflate = true},  // the writer's
    };
    const std::string parent = platform::WithTrailingSeparator(tmp_.path());
    for (const bool close_threads : {false, true}) {
        SCOPED_TRACE(close_threads ? "closed on the close threads" : "closed here");
        std::optional<CloseThreadsAtOnce> slow;
        if (close_threads) {
            slow.emplace();
        }
        fs::remove_all(Target());
        const std::string archive = Archive(entries);
        {
            DurableSteps steps(Target());
            ASSERT_TRUE(ExtractArchive(archive, Target(), 65536));
        }
        const auto& steps = g_durable_steps;
        ASSERT_EQ(steps.size(), entries.size() + 2);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(steps[i].step, platform::DurableStep::kFile);
        }
        EXPECT_EQ(steps[entries.size()].step, platform::DurableStep::kTree);
        EXPECT_EQ(steps[entries.size()].path.rfind(Target() + "_tmp-", 0), 0u);
        EXPECT_FALSE(steps[entries.size()].target_there);
        EXPECT_EQ(steps.back().step, platform::DurableStep::kEntries);
        EXPECT_EQ(steps.back().path, parent);
        EXPECT_TRUE(steps.back().target_there);
    }

    const std::string package = tmp_ / "p.tsl";
    std::optional<PartFile> part = PartFile::CreateBeside(package);
    ASSERT_TRUE(part.has_value());
    part->file().Write("KEL", 3);
    part->Finish();
    DurableSteps steps(package);
    ASSERT_TRUE(part->Keep());
    ASSERT_EQ(g_durable_steps.size(), 1u);
    EXPECT_EQ(g_durable_steps[0].step, platform::DurableStep::kEntries);
    EXPECT_EQ(g_durable_steps[0].path, parent);
    EXPECT_TRUE(g_durable_steps[0].target_there);
}

// Catches a package that declares no bytes filling the disk with folders (363 KiB of empty files,
// each 63 new folders deep, made 69,301 folders): refused with nothing written; a package that
// gives each file a folder of its own still unpacks.
TEST_F(ExtractTest, FoldersBeyondThePackageWriteNothing) {
    std::string deep;
    for (int i = 0; i < 62; ++i) {
        deep += "d/";
    }
    const struct {
        const char* label;
        std::function<std::string(int)> name;
        bool extracts;
    } rows[] = {
        {"empty files, each 63 new folders deep",
         [&](int i) { return "b" + std::to_string(i) + "/" + deep + "f"; }, false},
        {"each file in a folder of its own", [](int i) { return std::to_string(i) + "/f"; }, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        fs::remove_all(Target());
        std::vector<CraftEntry> entries;
        for (int i = 0; i < 300; ++i) {
            entries.push_back({.name = row.name(i), .data = ""});
        }
        EXPECT_EQ(ExtractPackage(Archive(entries), Target()), row.extracts);
        if (!row.extracts) {
            EXPECT_EQ(ListTree(tmp_.path()), "archive.zip\n");
        }
    }
}

// Catches a space check that counts only the declared bytes, and one that ignores the free
// inodes: the folders and files an extraction creates take a block and an inode each.
TEST(Footprint, AgainstTheDisk) {
    const struct {
        const char* label;
        Footprint footprint;
        std::uint64_t declared;
        std::optional<std::uint64_t> free_bytes, free_inodes;
        bool fits;
    } rows[] = {
        {"no bytes declared, 1,000 folders and files in 1 MiB",
         {500, 500},
         0,
         1 << 20,
         1000000,
         false},
        {"1,000 folders and files, 999 inodes free", {500, 500}, 0, 1ull << 30, 999, false},
        {"no inode limit", {500, 500}, 0, 1ull << 30, std::nullopt, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const auto fault = FindFootprintFault(row.footprint, 1 << 20, row.declared, row.free_bytes,
                                              row.free_inodes);
        EXPECT_EQ(!fault, row.fits);
        if (fault) {
            EXPECT_FALSE(fault->folder_bomb);
        }
    }
}

// Catches names whose depth costs memory and folders without bound (40 entries 2,000 folders
// deep took 180 MB): more than 64 levels or 1,024 bytes is an unsafe name, and nothing is
// written for it.
TEST_F(ExtractTest, DeepAndLongNames) {
    auto levels = [](int count, const std::string& segment) {
        std::string name;
        for (int i = 0; i < count; ++i) {
            name += segment + "/";
        }
        return name + "f";
    };
    const std::string segment100(99, 's');
    const struct {
        const char* label;
        std::string name;
        bool safe;
        int copies = 1;
        bool too_long_here = false;
    } rows[] = {
        {"64 levels", levels(63, "d"), true},
        {"65 levels", levels(64, "d"), false},
        {"40 names of 2,000 levels", levels(1999, "d"), false, 40},
        {"empty and '.' segments are no levels", "./d//" + levels(62, "d"), true},
        // Safe, but past MAX_PATH for the ANSI file calls of Windows.
        {"1,024 bytes", levels(10, segment100) + std::string(1024 - 1001, 'n'), true, 1, kWindows},
        {"1,025 bytes", levels(10, segment100) + std::string(1025 - 1001, 'n'), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(IsSafeEntryName(row.name), row.safe);
        fs::remove_all(Target());
        std::vector<CraftEntry> entries = {{.name = "ok.txt", .data = "ok"}};
        for (int i = 0; i < row.copies; ++i) {
            entries.push_back({.name = (i == 0 ? "" : std::to_string(i)) + row.name, .data = "x"});
        }
        EXPECT_EQ(ExtractPackage(Archive(entries), Target()), row.safe && !row.too_long_here);
        if (!row.safe) {
            EXPECT_EQ(ListTree(tmp_.path()), "archive.zip\n");
        }
    }
}

#if !defined(_WIN32)
// Descriptors that the extraction hook takes, all there are, before the entry numbered
// g_exhaust.before (none when 0), as the other downloads of a busy host can.
struct {
    int before = 0;
    int entries = 0;
    std::vector<int> taken;
} g_exhaust;

void TakeEveryDescriptor(const std::string&) {
    if (++g_exhaust.entries != g_exhaust.before) {
        return;
    }
    for (int fd = ::open("/dev/null", O_RDONLY); fd >= 0; fd = ::open("/dev/null", O_RDONLY)) {
        g_exhaust.taken.push_back(fd);
    }
}
#endif

// Catches an extraction that holds a descriptor per level of its names (64-level names took 69
// where a shallow archive took 22, so that ten at once ran a host out of them), and the clean-up
// of an extraction that failed for want of descriptors failing for the same want, its staging
// folder left behind: with 40 descriptors free, 64-level names unpack, and a failure below 40
// levels leaves nothing.
TEST_F(ExtractTest, UnderADescriptorLimit) {
#if defined(_WIN32)
    GTEST_SKIP() << "no descriptor limit to set here";
#elif defined(__SANITIZE_ADDRESS__)
    // The sanitizers' runtime needs descriptors of its own, which the exhausted limit denies it.
    GTEST_SKIP() << "not under AddressSanitizer";
#else
    auto levels = [](int count) {
        std::string name;
        for (int i = 0; i < count; ++i) {
            name += "d" + std::to_string(i) + "/";
        }
        return name;
    };
    const struct {
        const char* label;
        std::vector<CraftEntry> entries;
        int exhaust_before;
        bool extracted;
    } rows[] = {
        {"64-level names",
         {{.name = levels(63) + "a", .data = "a"},
          {.name = levels(62) + "x/b", .data = "b"},
          {.name = levels(63) + "c", .data = "c"}},
         0,
         true},
        {"out of descriptors below 40 levels",
         {{.name = levels(40) + "a", .data = "a"}, {.name = "b", .data = "b"}},
         2,
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string archive = Archive(row.entries);
        const auto open_now = std::distance(fs::directory_iterator("/proc/self/fd"), {});
        rlimit saved{};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit limited = saved;
        limited.rlim_cur = static_cast<rlim_t>(open_now + 40);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limited), 0);
        g_exhaust = {row.exhaust_before};
        SetBeforeEntryHookForTests(&TakeEveryDescriptor);
        const bool extracted = ExtractPackage(archive, Target());
        SetBeforeEntryHookForTests(nullptr);
        for (const int fd : g_exhaust.taken) {
            ::close(fd);
        }
        ::setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(extracted, row.extracted);
        if (extracted) {
            EXPECT_EQ(ReadFile(Target() + "/" + row.entries[0].name), row.entries[0].data);
        } else {
            EXPECT_EQ(ListTree(tmp_.path()), "archive.zip\n");
        }
        fs::remove_all(Target());
    }
#endif
}

// Catches a failure reported with another cause than the open's (errno read after calls that
// may change it).
TEST(FileOpen, ReportsTheOpenFailure) {
    TempFolder tmp;
    WriteFile(tmp / "file", "x");
    const struct {
        const char* label;
        std::string path;
        platform::File::Mode mode;
        int error_number;
    } rows[] = {
        {"missing", tmp / "missing", platform::File::Mode::kRead, kMissingError},
        {"taken", tmp / "file", platform::File::Mode::kCreateNew, kTakenError},
        {"below a file", tmp / "file/x", platform::File::Mode::kCreateWrite, kBelowAFileError},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        int error_number = 0;
        errno = 0;
        EXPECT_FALSE(platform::File::TryOpen(row.path, row.mode, &error_number).is_open());
        EXPECT_EQ(error_number, row.error_number);
        try {
            platform::File::Open(row.path, row.mode);
            ADD_FAILURE() << "opened";
        } catch (const platform::FileError& error) {
            EXPECT_EQ(error.error_number(), row.error_number);
        }
    }
}

}  // namespace
}  // namespace kel
