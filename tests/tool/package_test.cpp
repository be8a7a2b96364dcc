// kelres pack and publish: the packages an operator makes, read back with libzip (not with the
// library's own reader, so that a fault shared by writer and reader cannot hide). There is no
// libzip for Windows: there the library's reader reads them back, which still checks what the
// packer writes on Windows against what the library unpacks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include "KELResMgr/zip/ZipArchiveReader.h"
#else
#include <zip.h>
#endif

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "harness/TempFolder.h"
#include "tool_runner.h"

namespace kel::test {
namespace {

namespace fs = std::filesystem;

// The zip format's numbers for a deflated entry and for attributes made on Unix.
constexpr std::uint16_t kDeflated = 8;
constexpr std::uint8_t kMadeOnUnix = 3;

struct ZipEntry {
    std::string content;
    std::uint16_t method = 0;
    std::int64_t mtime = 0;
    std::uint8_t opsys = 0;
    std::uint32_t attributes = 0;
};

#if defined(_WIN32)

// The archive as the library reads it in place, from the byte after the header; every entry's
// CRC-32 is verified.
std::map<std::string, ZipEntry> ReadArchive(const std::string& package, const std::string&) {
    std::map<std::string, ZipEntry> entries;
    try {
        CZipArchiveReader reader(package, 4);
        reader.CheckEntryLayout();  // overlapping or misplaced entries raise
        for (bool more = reader.entry_count() > 0; more; more = reader.GoToNextEntry()) {
            ZipEntryInfo info;
            reader.GetCurrentEntryInfo(&info, nullptr, 0, nullptr, 0, nullptr, 0);
            std::string name(info.name_length, '\0');
            reader.GetCurrentEntryInfo(nullptr, name.data(), name.size(), nullptr, 0, nullptr, 0);
            ZipEntry entry;
            entry.method = static_cast<std::uint16_t>(info.method);
            entry.mtime = info.modification_time;
            entry.opsys = static_cast<std::uint8_t>(info.version_made_by >> 8);
            entry.attributes = info.external_attributes;
            reader.OpenCurrentEntry();
            char buffer[64 * 1024];
            for (std::size_t got; (got = reader.ReadCurrentEntry(buffer, sizeof buffer)) > 0;) {
                entry.content.append(buffer, got);
            }
            reader.CloseCurrentEntry();
            EXPECT_EQ(entry.content.size(), info.uncompressed_size) << name;
            entries[name] = entry;
        }
        reader.Close();
    } catch (const std::exception& error) {
        ADD_FAILURE() << package << ": " << error.what();
    }
    return entries;
}

#else

// The archive alone, as the library sees it: its offsets count from the byte after the header,
// so libzip must read it as a file of its own.
std::map<std::string, ZipEntry> ReadArchive(const std::string&, const std::string& body) {
    std::map<std::string, ZipEntry> entries;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(body.data(), body.size(), 0, &error);
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    EXPECT_NE(archive, nullptr) << zip_error_strerror(&error);
    if (archive == nullptr) {
        zip_source_free(source);
        return entries;
    }
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t stat;
        zip_stat_index(archive, index, 0, &stat);
        ZipEntry entry;
        entry.method = stat.comp_method;
        entry.mtime = stat.mtime;
        zip_file_get_external_attributes(archive, index, 0, &entry.opsys, &entry.attributes);
        entry.content.resize(stat.size);
        zip_file_t* file = zip_fopen_index(archive, index, 0);
        EXPECT_NE(file, nullptr);
        if (file != nullptr) {
            EXPECT_EQ(zip_fread(file, entry.content.data(), stat.size),
                      static_cast<zip_int64_t>(stat.size));
            zip_fclose(file);
        }
        entries[stat.name] = entry;
    }
    zip_discard(archive);
    return entries;
}

#endif

// The entries of the zip archive behind a package's 4-byte header.
std::map<std::string, ZipEntry> ReadPackage(const std::string& package) {
    const std::optional<std::string> bytes = ReadFile(package);
    EXPECT_TRUE(bytes && bytes->size() > 4);
    EXPECT_EQ(bytes->substr(0, 4), std::string("KEL\x01", 4));
    if (!bytes || bytes->size() <= 4) {
        return {};
    }
    return ReadArchive(package, bytes->substr(4));
}

// Catches a packer that loses or alters files, stores instead of deflating, drops times or the
// read-only bit, or writes absolute or backslash names.
TEST(Pack, EveryFileWithItsTimeAndAttributes) {
    TempFolder folder;
    const std::string source = folder / "hello";
    fs::create_directories(source + "/sub/deeper");
    fs::create_directories(source + "/empty");
    std::string large;
    for (int i = 0; i < 100000; ++i) {
        large += "line " + std::to_string(i) + "\n";
    }
    const std::map<std::string, std::string> files = {
        {"readme.txt", "hello\n"},
        {"empty.txt", ""},
        {"sub/large.txt", large},
        {"sub/deeper/binary.bin", std::string("\0\x01\xff\x80 bytes", 10)}};
    for (const auto& [name, content] : files) {
        WriteFile(source + "/" + name, content);
    }
    const auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(source + "/readme.txt", old_time);
    fs::permissions(source + "/sub/large.txt", fs::perms::owner_read | fs::perms::group_read,
                    fs::perm_options::replace);

    const ToolRun run = RunTool({"pack", source, folder / "hello.tsl"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out.rfind(folder / "hello.tsl" + ": 4 files, 3 folders", 0), 0u) << run.out;

    const auto entries = ReadPackage(folder / "hello.tsl");
    std::string names;
    for (const auto& entry : entries) {
        names += entry.first + "\n";
    }
    EXPECT_EQ(names,
              "empty.txt\nempty/\nreadme.txt\nsub/\nsub/deeper/\nsub/deeper/binary.bin\n"
              "sub/large.txt\n");
    for (const auto& [name, content] : files) {
        SCOPED_TRACE(name);
        ASSERT_EQ(entries.count(name), 1u);
        const ZipEntry& entry = entries.at(name);
        EXPECT_EQ(entry.content, content);
        EXPECT_EQ(entry.method, kDeflated);
        EXPECT_EQ(entry.opsys, kMadeOnUnix);
        struct stat info {};
        ASSERT_EQ(stat((source + "/" + name).c_str(), &info), 0);
        EXPECT_EQ(entry.attributes >> 16, info.st_mode & 0xFFFF);
        const bool read_only = (info.st_mode & S_IWUSR) == 0;
        EXPECT_EQ(entry.attributes & 0x01, read_only ? 1u : 0u);
        // Zip times have a resolution of two seconds.
        EXPECT_LE(std::abs(entry.mtime - info.st_mtime), 2) << name;
    }
    EXPECT_EQ(entries.at("sub/large.txt").attributes & 0x01, 1u);
    EXPECT_EQ(entries.at("sub/").attributes & 0x10, 0x10u);
    EXPECT_LT(fs::file_size(folder / "hello.tsl"), large.size() / 4);  // deflated
}

// Catches a failed pack that damages the package it should have replaced, or leaves temporary
// files beside it; and a successful one that does not replace it.
TEST(Pack, ReplacesWholeOrNotAtAll) {
    TempFolder folder;
    const std::string out = folder / "out/p.tsl";
    fs::create_directories(folder / "out");
    WriteFile(out, "old package");
    fs::create_directories(folder / "nothing/sub");
    fs::create_directories(folder / "linked");
    WriteFile(folder / "linked/a.txt", "a");

    struct Case {
        std::string source;
        std::string message;
    };
    std::vector<Case> failures = {
        {folder / "missing", "cannot pack " + (folder / "missing") + ": no such folder"},
        {folder / "nothing", "nothing to pack: " + (folder / "nothing") + " holds no files"},
    };
#if !defined(_WIN32)  // no Windows name holds a backslash; the C++ library there makes no links
    fs::create_directories(folder / "bad");
    WriteFile(folder / "bad/a.txt", "a");
    WriteFile(folder / "bad/with\\backslash.txt", "b");
    fs::create_symlink(folder / "bad/a.txt", folder / "linked/link.txt");
    failures.push_back({folder / "bad", "with\\backslash.txt: its name holds a backslash"});
    failures.push_back({folder / "linked", "link.txt: only files and folders can be packed"});
#endif
    for (const Case& c : failures) {
        SCOPED_TRACE(c.source);
        const ToolRun run = RunTool({"pack", c.source, out});
        EXPECT_EQ(run.exit_code, kExitFailed);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(ReadFile(out), "old package");
        EXPECT_EQ(ListTree(folder / "out"), "p.tsl\n");
    }
    fs::remove(folder / "linked/link.txt");
    const ToolRun missing_folder = RunTool({"pack", folder / "linked", folder / "none/p.tsl"});
    EXPECT_EQ(missing_folder.exit_code, kExitFailed);
    EXPECT_NE(missing_folder.err.find("cannot create a file in " + (folder / "none")),
              std::string::npos)
        << missing_folder.err;

    ASSERT_EQ(RunTool({"pack", folder / "linked", out}).exit_code, 0);
    EXPECT_EQ(ReadPackage(out).count("a.txt"), 1u);
    EXPECT_EQ(ListTree(folder / "out"), "p.tsl\n");
    // Readable by others, as a web server serving it needs: not the private mode of a temp file.
    EXPECT_NE(fs::status(out).permissions() & fs::perms::others_read, fs::perms::none);
}

// Catches a package that contains an earlier package written into the folder being packed.
TEST(Pack, OutputInsideTheFolderIsNotPacked) {
    TempFolder folder;
    WriteFile(folder / "a.txt", "a");
    const std::string out = folder / "self.tsl";
    ASSERT_EQ(RunTool({"pack", folder.path(), out}).exit_code, 0);
    ASSERT_EQ(RunTool({"pack", folder.path(), out}).exit_code, 0);
    const auto entries = ReadPackage(out);
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.count("a.txt"), 1u);
}

// Catches a package placed where the library does not ask for it: the folder levels come from
// the identifier's text in upper case, as the library writes it.
TEST(Publish, PlacesThePackageAtTheServerPath) {
    TempFolder folder;
    WriteFile(folder / "a.txt", "a");
    const std::string package = folder / "p.tsl";
    ASSERT_EQ(RunTool({"pack", folder.path(), package}).exit_code, 0);
    const std::string root = folder / "media";
    fs::create_directory(root);

    const ToolRun run = RunTool({"publish", package, "0a1b2c3d0000abcd", root});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    // With the system's separators, as kelres prints it.
    const std::string target =
        (fs::path(root) / "0A/1B/2C/3D/0A1B2C3D0000ABCD.tsl").make_preferred().string();
    EXPECT_EQ(run.out, target + "\n");
    EXPECT_EQ(ReadFile(target), ReadFile(package));
    EXPECT_EQ(ListTree(root),
              "0A/\n0A/1B/\n0A/1B/2C/\n0A/1B/2C/3D/\n0A/1B/2C/3D/0A1B2C3D0000ABCD.tsl\n");

    // Published again over the old one: replaced, nothing left beside it.
    WriteFile(folder / "b.txt", "b");
    ASSERT_EQ(RunTool({"pack", folder.path(), package}).exit_code, 0);
    ASSERT_EQ(RunTool({"publish", package, "0A1B2C3D0000ABCD", root}).exit_code, 0);
    EXPECT_EQ(ReadFile(target), ReadFile(package));
    EXPECT_EQ(ListTree(root + "/0A/1B/2C/3D"), "0A1B2C3D0000ABCD.tsl\n");
}

// Catches publishing something the library would set aside as no package, or into nowhere.
TEST(Publish, RefusesWhatIsNoPackage) {
    TempFolder folder;
    fs::create_directory(folder / "media");
    WriteFile(folder / "text.tsl", "just text");
    WriteFile(folder / "v2.tsl", std::string("KEL\x02", 4) + "rest");
    struct Case {
        std::string package;
        std::string root;
        std::string message;
    };
    const std::vector<Case> cases = {
        {folder / "text.tsl", folder / "media", "it is not a package"},
        {folder / "v2.tsl", folder / "media", "it is not a package"},
        {folder / "missing.tsl", folder / "media", "it is not a package"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.package);
        const ToolRun run = RunTool({"publish", c.package, "0102030405060708", c.root});
        EXPECT_EQ(run.exit_code, kExitFailed);
        EXPECT_NE(run.err.find("cannot publish " + c.package + ": " + c.message), std::string::npos)
            << run.err;
    }
    EXPECT_EQ(ListTree(folder / "media"), "");

    fs::create_directory(folder / "res");
    WriteFile(folder / "res/a.txt", "a");
    ASSERT_EQ(RunTool({"pack", folder / "res", folder / "good.tsl"}).exit_code, 0);
    const ToolRun no_root =
        RunTool({"publish", folder / "good.tsl", "0102030405060708", folder / "nowhere"});
    EXPECT_EQ(no_root.exit_code, kExitFailed);
    EXPECT_NE(no_root.err.find("cannot publish into " + (folder / "nowhere") + ": no such folder"),
              std::string::npos)
        << no_root.err;
}

}  // namespace
}  // namespace kel::test
