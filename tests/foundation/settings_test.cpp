// The settings file reader: the rules of initialization files that hosts' existing files rely on.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <fstream>
#include <string>

#include "KELResMgr/Config.h"
#include "harness/TempFolder.h"
#include "platform/profile_reader.h"

namespace kel {
namespace {

using platform::GetPrivateProfileString;
using test::TempFolder;
using test::WriteFile;

struct ProfileCase {
    const char* name;
    const char* file;
    const char* section;
    const char* key;
    const char* expected;
};

// Each row would catch a reader that gets one rule of the format wrong.
TEST(ProfileReader, FormatRules) {
    const ProfileCase cases[] = {
        {"plain", "[upload]\nftp_server=ftp.example\n", "upload", "ftp_server", "ftp.example"},
        {"section case", "[UPLOAD]\nftp_server=a\n", "upload", "ftp_server", "a"},
        {"key case", "[upload]\nFTP_Server=a\n", "upload", "ftp_server", "a"},
        {"blanks around", "[upload]\n  ftp_server  =   a b  \n", "upload", "ftp_server", "a b"},
        {"first equals", "[upload]\npath=a=b\n", "upload", "path", "a=b"},
        {"double quotes", "[upload]\npath=\" a \"\n", "upload", "path", " a "},
        {"single quotes", "[upload]\npath='a'\n", "upload", "path", "a"},
        {"one quote kept", "[upload]\npath=\"a\n", "upload", "path", "\"a"},
        {"empty value", "[upload]\nftp_server=\n", "upload", "ftp_server", ""},
        {"crlf lines", "[upload]\r\nftp_server=a\r\n", "upload", "ftp_server", "a"},
        {"other section", "[download]\nftp_server=a\n", "upload", "ftp_server", "DEF"},
        {"missing key", "[upload]\nother=a\n", "upload", "ftp_server", "DEF"},
        {"key after section ends", "[upload]\n[download]\nftp_server=a\n", "upload", "ftp_server",
         "DEF"},
        {"blank section header", "[ upload ]\nftp_server=a\n", "upload", "ftp_server", "a"},
        {"comment line", "[upload]\n;ftp_server=a\n", "upload", "ftp_server", "DEF"},
        {"first of two", "[upload]\nftp_server=a\nftp_server=b\n", "upload", "ftp_server", "a"},
        {"no trailing newline", "[upload]\nftp_server=a", "upload", "ftp_server", "a"},
        // Saved by an editor that writes a byte-order mark: the first section must not be lost.
        {"utf-8 byte-order mark", "\xEF\xBB\xBF[upload]\nftp_server=a\n", "upload", "ftp_server",
         "a"},
    };
    TempFolder folder;
    const std::string path = folder / "Tessel.ini";
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        WriteFile(path, row.file);
        EXPECT_EQ(GetPrivateProfileString(row.section, row.key, "DEF", path, 10240), row.expected);
    }
}

TEST(ProfileReader, MissingFileGivesDefault) {
    TempFolder folder;
    EXPECT_EQ(GetPrivateProfileString("download", "http_port", "8055", folder / "none.ini", 10240),
              "8055");
}

// A value longer than the 10240-character buffer is cut to what the buffer holds.
TEST(ProfileReader, LongValueIsCut) {
    TempFolder folder;
    const std::string path = folder / "Tessel.ini";
    WriteFile(path, "[upload]\npath=" + std::string(20000, 'x') + "\n");
    EXPECT_EQ(GetPrivateProfileString("upload", "path", "", path, 10240), std::string(10239, 'x'));
    EXPECT_EQ(GetPrivateProfileString("upload", "nothing", std::string(10300, 'd'), path, 10240),
              std::string(10239, 'd'));
}

// This reader's own line limit; Windows reads settings with GetPrivateProfileStringA.
#if !defined(_WIN32)
// Lines are read into a buffer of 64 KiB: a longer line is skipped whole, and reading goes on
// with the next one. Each row would catch an off-by-one at the limit or a reader that loses its
// place after skipping.
TEST(ProfileReader, LongLines) {
    const std::size_t limit = platform::kMaxProfileLine;
    const std::string key_at_limit = "path=" + std::string(limit - 5, 'v');
    struct Row {
        const char* name;
        std::string file;
        std::string expected;
        bool skipped;
    } rows[] = {
        {"line of exactly the limit is read", "[upload]\n" + key_at_limit + "\n",
         std::string(10239, 'v'), false},
        {"limit without a final newline", "[upload]\n" + key_at_limit, std::string(10239, 'v'),
         false},
        {"longer line skipped, the next read", "[upload]\n" + key_at_limit + "v\npath=after\n",
         "after", true},
        {"long line in another section",
         "[x]\n;" + std::string(3 * limit, 'c') + "\n[upload]\npath=b", "b", true},
        {"long last line without newline", "[upload]\n;" + std::string(2 * limit, 'c'), "DEF",
         true},
    };
    TempFolder folder;
    const std::string path = folder / "Tessel.ini";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(path, row.file);
        bool skipped = !row.skipped;
        EXPECT_EQ(GetPrivateProfileString("upload", "path", "DEF", path, 10240, &skipped),
                  row.expected);
        EXPECT_EQ(skipped, row.skipped);
    }
}

// A settings file with a line of 48 MiB before the key: reading a key must not hold the line in
// memory (a 300 MiB line once cost 534 MB at every read).
TEST(ProfileReader, HugeLineKeepsMemoryFlat) {
    TempFolder folder;
    const std::string path = folder / "Tessel.ini";
    {
        std::ofstream out(path, std::ios::binary);
        out << "[upload]\n";
        const std::string chunk(1 << 20, 'x');
        for (int i = 0; i < 48; ++i) {
            out << chunk;
        }
        out << "\npath=found\n";
    }
    const auto peak_kib = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_maxrss;
    };
    const long before = peak_kib();
    EXPECT_EQ(GetPrivateProfileString("upload", "path", "", path, 10240), "found");
    EXPECT_LT(peak_kib() - before, 16 * 1024);
}

#endif

// The settings file lies beside the library file; a module path without a folder must not make
// the library read itself as its settings.
TEST(Settings, PathBesideTheLibrary) {
    struct Row {
        const char* module;
        const char* settings;
    } rows[] = {{"/opt/app/libKELResMgr.so", "/opt/app/Tessel.ini"},
                {"/libKELResMgr.so", "/Tessel.ini"},
                {"libKELResMgr.so", ""},
                {"", ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.module);
        EXPECT_EQ(SettingsPathBeside(row.module), row.settings);
    }
}

TEST(Settings, LeadingNumber) {
    struct Row {
        const char* text;
        long expected;
    } rows[] = {{"10", 10}, {"  42x", 42}, {"-3", -3},
                {"+7", 7},  {"abc", 0},    {"", 0},
                {" ", 0},   {"0", 0},      {"99999999999", 2147483647},
                {"3 4", 3}, {"- 3", 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(ParseLeadingNumber(row.text), row.expected);
    }
}

}  // namespace
}  // namespace kel
