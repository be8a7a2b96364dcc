// The settings file reader: the rules of initialization files that hosts' existing files rely on.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "KELResMgr/settings/Config.h"
#include "harness/TempFolder.h"
#include "platform/profile_reader.h"

namespace kel {
namespace {

using platform::GetPrivateProfileString;
using test::TempFolder;
using test::WriteFile;
namespace fs = std::filesystem;

// text saved as UTF-16 with its byte-order mark.
std::string Utf16(std::u16string_view text, bool big_endian) {
    std::string bytes;
    for (const char16_t unit : u"\uFEFF" + std::u16string(text)) {
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xFF);
        bytes += big_endian ? high : low;
        bytes += big_endian ? low : high;
    }
    return bytes;
}

struct ProfileCase {
    const char* name;
    std::string file;
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
        // Files that the system's profile functions read and an 8-bit reader of "\n" lines lost.
        {"utf-16le byte-order mark", Utf16(u"[upload]\r\nftp_server=a\r\n", false), "upload",
         "ftp_server", "a"},
        {"utf-16be byte-order mark", Utf16(u"[upload]\r\nftp_server=a\r\n", true), "upload",
         "ftp_server", "a"},
        {"cr line ends", "[upload]\rother=b\rftp_server=a\r", "upload", "ftp_server", "a"},
#if !defined(_WIN32)
        // Windows gives the ANSI code page's text; here characters beyond ASCII come as UTF-8,
        // and a lone surrogate as U+FFFD.
        {"utf-16 beyond ascii", Utf16(u"[upload]\npath=\u00E9\U0001F600\xD800\n", true), "upload",
         "path", "\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD"},
#endif
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

#if defined(_WIN32)
std::string ReadWithin(const std::string& path) {
    return GetPrivateProfileString("upload", "path", "DEF", path, 10240);
}
#else
// Reads a key, but gives up waiting after a while, so that a reader that waits on what it
// opened fails the test instead of hanging it: opening a named pipe for reading and writing
// then releases the reader.
std::string ReadWithin(const std::string& path) {
    auto read = std::async(std::launch::async, [&] {
        return GetPrivateProfileString("upload", "path", "DEF", path, 10240);
    });
    if (read.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
        ADD_FAILURE() << "the read still waits on " << path;
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return read.get();
}
#endif

// A settings path that names no regular file reads as a missing one, and at once: a reader that
// opened a named pipe waited for a writer that never came, and hung every export that reads a
// setting. A link to a settings file is still read.
TEST(ProfileReader, NotARegularFile) {
    struct Row {
        const char* name;
        void (*make)(const std::string& path);
        const char* expected;
    } rows[] = {
        {"folder", [](const std::string& path) { fs::create_directory(path); }, "DEF"},
#if !defined(_WIN32)
        {"named pipe", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },
         "DEF"},
        {"link to a named pipe",
         [](const std::string& path) {
             ASSERT_EQ(mkfifo((path + ".pipe").c_str(), 0600), 0);
             fs::create_symlink(path + ".pipe", path);
         },
         "DEF"},
        {"link to a file",
         [](const std::string& path) {
             WriteFile(path + ".real", "[upload]\npath=a\n");
             fs::create_symlink(path + ".real", path);
         },
         "a"},
#endif
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempFolder folder;
        const std::string path = folder / "Tessel.ini";
        row.make(path);
        EXPECT_EQ(ReadWithin(path), row.expected);
    }
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
        // The limit counts the 8-bit text that UTF-16 is read as, not the file's bytes.
        {"utf-16 line of the limit is read",
         Utf16(u"[upload]\npath=" + std::u16string(limit - 5, u'v') + u"\n", false),
         std::string(10239, 'v'), false},
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

// Keys that belong together come from one test mode: a reader keeps the mode it was made under
// when SetTestMode runs before its reads (one mode's host with the other's port made a download
// connection that was kept for the whole load).
TEST(Settings, ReaderKeepsItsTestMode) {
    TempFolder folder;
    const std::string path = folder / "Tessel.ini";
    WriteFile(path, "[download]\nhttp_port=1\nt_http_port=2\n");
    for (const bool test_mode : {false, true}) {
        SCOPED_TRACE(test_mode ? "made in test mode" : "made in normal mode");
        SetTestModeFlag(test_mode);
        const ConfigReader settings(path);
        SetTestModeFlag(!test_mode);
        EXPECT_EQ(settings.Read(config::kDownload, config::kHttpPort, ""), test_mode ? "2" : "1");
    }
    SetTestModeFlag(false);
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
