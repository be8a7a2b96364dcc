// What only Windows shows: extracted files' attribute words and three file times, the all-users
// application-data folder, paths too long for MAX_PATH, a real window notified across threads,
// and an unload while a download worker runs.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "KELResMgr/zip/ZipArchiveReader.h"
#include "KELResMgr/zip/ZipExtract.h"
#include "ZipTestSupport.h"
#include "harness/LibraryCopy.h"
#include "harness/TempFolder.h"
#include "platform/file.h"

namespace kel::test {
namespace {

namespace fs = std::filesystem;

constexpr char kId[] = "0A1B2C3D0000ABCD";

std::uint64_t Ticks(const FILETIME& time) {
    return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

std::uint64_t NowTicks() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

constexpr std::uint64_t kTicksPerSecond = 10000000;

// Wine keeps files on a Unix file system, which has no creation time that can be set.
bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The entry time as the reader converts it, in FILETIME ticks.
std::uint64_t EntryTicks(const std::string& archive) {
    CZipArchiveReader reader(archive);
    ZipEntryInfo info;
    reader.GetCurrentEntryInfo(&info, nullptr, 0, nullptr, 0, nullptr, 0);
    return (static_cast<std::uint64_t>(info.modification_time) + 11644473600ULL) * kTicksPerSecond;
}

TEST(Extraction, AttributeWordAndThreeTimes) {
    TempFolder folder;
    const std::string archive = folder / "a.zip";
    WriteFile(archive, CraftArchive({
                           {.name = "ro.txt", .data = "keep", .external_attributes = 0x21},
                           {.name = "sub\\hidden.txt", .data = "h", .external_attributes = 0x22},
                           {.name = "plain.txt", .data = "p", .external_attributes = 0x20},
                       }));
    const std::uint64_t before = NowTicks();
    ASSERT_TRUE(ExtractArchive(archive, folder / "out", 4096));
    const std::uint64_t entry_time = EntryTicks(archive);

    struct Expected {
        const char* name;
        DWORD attributes;
    };
    for (const Expected& file :
         {Expected{"ro.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
          Expected{"sub\\hidden.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
          Expected{"plain.txt", FILE_ATTRIBUTE_ARCHIVE}}) {
        SCOPED_TRACE(file.name);
        const std::string path = folder / "out" + "\\" + file.name;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data));
        EXPECT_EQ(data.dwFileAttributes, file.attributes);
        EXPECT_EQ(Ticks(data.ftLastWriteTime), entry_time);
        // Creation and last access are the time of the extraction (FAT-like file systems round
        // to two seconds).
        EXPECT_GE(Ticks(data.ftLastAccessTime) + 2 * kTicksPerSecond, before);
        if (!UnderWine()) {
            EXPECT_GE(Ticks(data.ftCreationTime) + 2 * kTicksPerSecond, before);
            EXPECT_LE(Ticks(data.ftCreationTime), NowTicks() + 2 * kTicksPerSecond);
        }
    }
}

// The ANSI file calls take at most MAX_PATH characters, counted in UTF-16 units as the system
// counts them: an entry whose path would be longer fails the extraction, and what was written
// before goes with the staging folder; a UTF-8 name of more bytes than that, but fewer units,
// is unpacked.
TEST(Extraction, PathLimitsInUtf16Units) {
    TempFolder folder;
    const std::string archive = folder / "a.zip";
    // Every level is a valid name (Wine's Unix file system allows 255 bytes each).
    std::string umlauts;
    for (int i = 0; i < 60; ++i) {
        umlauts += "\xC3\xBC";
    }
    const struct {
        std::string level;
        bool fits;
    } rows[] = {{std::string(100, 'n'), false}, {umlauts, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fits);
        const std::string name = row.level + "/" + row.level + "/" + row.level;
        ASSERT_GT(folder.path().size() + name.size(), std::size_t{MAX_PATH});
        WriteFile(archive, CraftArchive({{.name = "ok.txt", .data = "ok"},
                                         {.name = name, .data = "x", .flags = 1u << 11}}));
        if (row.fits) {
            EXPECT_TRUE(ExtractArchive(archive, folder / "out", 4096));
            fs::remove_all(fs::path(folder / "out"));
        } else {
            EXPECT_ANY_THROW(ExtractArchive(archive, folder / "out", 4096));
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 1);  // a.zip only
    }
}

// Catches names that Windows would open as a device, as a stream of another file, or under
// another name (trailing dots and blanks are dropped: "x/..." would be "x"). Each fails the whole
// extraction before anything is written for it; the names Linux allows stay allowed elsewhere.
// The devices with a superscript digit (COM¹, lpt², in unmarked UTF-8 here) are Windows' own:
// Wine opens them as files, so only the refusal is seen here.
TEST(Extraction, NamesWindowsCannotStoreAsGiven) {
    TempFolder folder;
    for (const char* name : {"CON", "sub/nul.txt", "Com1.log", "lpt9", "aux .txt", "a:b", "x/...",
                             "dir./f", "f ", "q?.txt", "p|q", "tab\tname", "COM\xC2\xB9.txt",
                             "lpt\xC2\xB2.log", "docs/Com\xC2\xB3", "LPT\xC2\xB3 .x"}) {
        SCOPED_TRACE(name);
        const std::string archive = folder / "a.zip";
        WriteFile(archive, CraftArchive({{.name = "ok.txt", .data = "ok"}, {.name = name}}));
        EXPECT_THROW(ExtractArchive(archive, folder / "out", 4096), UnsafeEntryName);
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 1);
    }
    for (const char* name : {"console.txt", "com10", "nul_", "a.b.c", "..hidden", "lpt0"}) {
        EXPECT_TRUE(IsSafeEntryName(name)) << name;
    }
}

// The library's files go to the all-users application-data folder (the Wine prefix's own).
class AllUsersTree : public ::testing::Test {
  protected:
    AllUsersTree() {
        char buffer[MAX_PATH] = "";
        EXPECT_TRUE(SHGetSpecialFolderPathA(nullptr, buffer, CSIDL_COMMON_APPDATA, TRUE));
        tree_ = std::string(buffer) + "\\Vorn Tessel";
        fs::remove_all(tree_);
    }
    ~AllUsersTree() override { fs::remove_all(tree_); }

    std::string Resources() const { return tree_ + "\\Resources\\"; }

    std::string tree_;
};

TEST_F(AllUsersTree, CreateUserFolderAndTooLongNames) {
    LibraryCopy library;
    library.CreateUserFolder("mine");
    EXPECT_TRUE(fs::is_directory(Resources() + "mine"));

    // One valid level that makes the path longer than MAX_PATH.
    const std::string long_name(MAX_PATH - Resources().size() + 10, 'x');
    ASSERT_LT(long_name.size(), 255u);
    library.CreateUserFolder(long_name.c_str());
    EXPECT_FALSE(fs::exists(Resources() + long_name));
    EXPECT_EQ(library.DownloadResFileEx(long_name, nullptr, nullptr, 0, true), "");
}

// Catches identifiers that Windows opens as a device or a stream: "NUL" was answered with the
// path of "NUL.tsl" (the device exists), and "a:b" names a stream of a file "a".
TEST_F(AllUsersTree, DeviceAndStreamIdentifiersAreRefused) {
    LibraryCopy library("[download]\nhttp_server=127.0.0.1\nhttp_port=1\n");
    for (const char* id : {"NUL", "con", "COM1", "Lpt9", "aux", "a:b", "id."}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(library.DownloadResFileEx(id, nullptr, nullptr, 0, false), "");
        EXPECT_EQ(library.DownloadResFileEx(id, nullptr, nullptr, 0, true), "");
    }
    EXPECT_FALSE(fs::exists(Resources() + "a"));
}

// A message-only window on a thread of its own that pumps messages, as a host's window does.
class HostWindow {
  public:
    HostWindow() : thread_([this] { Run(); }) {
        while (!ready_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~HostWindow() {
        PostMessageA(window_, WM_CLOSE, 0, 0);
        thread_.join();
    }
    HWND handle() const { return window_; }

    struct Message {
        ULONG_PTR tag;
        std::string payload;
        DWORD thread;
    };
    std::vector<Message> received;  // written on the window's thread while a sender waits

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        auto* self = reinterpret_cast<HostWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (message == WM_COPYDATA && self != nullptr) {
            const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
            self->received.push_back(
                {copy->dwData, std::string(static_cast<const char*>(copy->lpData), copy->cbData),
                 GetCurrentThreadId()});
            return TRUE;
        }
        if (message == WM_CLOSE) {
            DestroyWindow(window);
            return 0;
        }
        if (message == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcA(window, message, wparam, lparam);
    }

    void Run() {
        WNDCLASSA type{};
        type.lpfnWndProc = &Procedure;
        type.hInstance = GetModuleHandleA(nullptr);
        type.lpszClassName = "KelResTestHost";
        RegisterClassA(&type);
        window_ = CreateWindowExA(0, type.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  type.hInstance, nullptr);
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        thread_id_ = GetCurrentThreadId();
        ready_.store(true);
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            DispatchMessageA(&message);
        }
    }

  public:
    DWORD thread_id_ = 0;

  private:
    HWND window_ = nullptr;
    std::atomic<bool> ready_{false};
    std::thread thread_;
};

TEST_F(AllUsersTree, RealWindowGetsTheEchoFromAnotherThread) {
    LibraryCopy library("[download]\nhttp_server=127.0.0.1\nhttp_port=1\n");
    fs::create_directories(Resources() + kId + "_files");
    HostWindow window;
    ASSERT_TRUE(IsWindow(window.handle()));
    std::string answer;
    const char data[] = "ctx";
    std::thread worker(
        [&] { answer = library.DownloadResFileEx(kId, window.handle(), data, 3, false); });
    worker.join();  // SendMessageA returned: the window's thread has handled the message

    const std::string folder = Resources() + kId + "_files";
    EXPECT_EQ(answer, folder);
    ASSERT_EQ(window.received.size(), 1u);
    EXPECT_EQ(window.received[0].tag, 1041u);
    EXPECT_EQ(window.received[0].payload, "ctx" + folder + std::string(1, '\0'));
    EXPECT_EQ(window.received[0].thread, window.thread_id_);
}

// A version-1 package on disk is unpacked by the request itself, which tells the window.
TEST_F(AllUsersTree, PackageOnDiskIsUnpackedAndTheWindowTold) {
    LibraryCopy library("[download]\nhttp_server=127.0.0.1\nhttp_port=1\n");
    fs::create_directories(Resources());
    const std::string package = Resources() + kId + ".tsl";
    WriteFile(package, std::string("KEL\x01", 4) +
                           CraftArchive({{.name = "a\\b.txt", .data = "bee", .deflate = true}}));
    HostWindow window;
    const std::string folder = Resources() + kId + "_files";
    EXPECT_EQ(library.DownloadResFileEx(kId, window.handle(), nullptr, 0, false), folder);
    EXPECT_EQ(ReadFile(folder + "\\a\\b.txt"), "bee");
    EXPECT_FALSE(fs::exists(package));
    ASSERT_EQ(window.received.size(), 1u);
    EXPECT_EQ(window.received[0].payload, folder + std::string(1, '\0'));
}

// Nothing listens at the configured servers: each export reports its failed-connection result,
// never success.
TEST_F(AllUsersTree, NetworkExportsFailAsUnreachable) {
    LibraryCopy library(
        "[download]\nhttp_server=127.0.0.1\nhttp_port=1\n"
        "[upload]\nws_url=127.0.0.1\nftp_server=127.0.0.1\n");
    TempFolder folder;
    const std::string file = folder / "0A1B2C3D0000ABCD.tsl";
    WriteFile(file, "x");
    EXPECT_EQ(library.UploadResFile(file.c_str()), KELRES_UPLOAD_CONNECT_FAILED);
    EXPECT_EQ(library.ValidResID(kId, "me"), 2);
    EXPECT_EQ(library.GetResIDState(kId), 0);
    char buffer[16] = "untouched";
    EXPECT_EQ(library.GetResourceID("in", "me", buffer, sizeof buffer), 2);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(library.DownloadResFileEx(kId, nullptr, nullptr, 0, true), "");
    EXPECT_FALSE(fs::exists(Resources() + kId + ".tsl"));
}

// The worker pins the library: unloading it while the worker runs neither crashes nor unmaps its
// code; the module goes when the worker has ended.
TEST_F(AllUsersTree, UnloadWhileAWorkerRuns) {
    LibraryCopy library("[download]\nhttp_server=127.0.0.1\nhttp_port=1\n");
    const std::string path = library.library_path();
    fs::create_directories(Resources());
    for (char last = 'A'; last <= 'F'; ++last) {
        std::string id = kId;
        id.back() = last;
        EXPECT_EQ(library.DownloadResFileEx(id, nullptr, nullptr, 0, false), "");
    }
    library.Unload();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (GetModuleHandleA(path.c_str()) != nullptr &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr);
    // No package is left half-written by the failed downloads.
    EXPECT_FALSE(fs::exists(Resources() + kId + ".tsl"));
}

}  // namespace
}  // namespace kel::test
