// Download requests answered from the disk: what a host gets, what is left on disk, and who is
// notified, when the resource's folder or package file is already there.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <future>
#include <optional>
#include <vector>

#include "harness/LibraryCopy.h"
#include "harness/Packages.h"
#include "harness/Signing.h"
#include "harness/TempFolder.h"
#include "platform/owner_lock.h"

namespace kel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kId[] = "0A1B2C3D0000ABCD";

class OnDisk : public ::testing::Test {
  protected:
    // No media server anywhere: a request that reached the network would fail visibly.
    OnDisk() : library_("[download]\nhttp_server=127.0.0.1\nhttp_port=1\n") {
        fs::create_directories(Resources());
    }

    std::string Resources() const { return sandbox_.resources(); }
    std::string Folder() const { return Resources() + kId + "_files"; }
    std::string Package() const { return Resources() + kId + ".tsl"; }
    std::string Ask(HWND window = 0, const void* data = nullptr, uint32_t size = 0) {
        return library_.DownloadResFileEx(kId, window, data, size, false);
    }

    AppDataSandbox sandbox_;
    LibraryCopy library_;
    WindowRecorder window_;
};

// A folder on disk is answered at once and remembered (state 4) for the life of the load.
TEST_F(OnDisk, FolderAlreadyThere) {
    fs::create_directories(Folder());
    const char data[] = "ctx";
    EXPECT_EQ(Ask(window_.handle(), data, 3), Folder());
    ASSERT_EQ(window_.Count(), 1u);
    const Notification first = window_.Received()[0];
    EXPECT_EQ(first.tag, KELRES_NOTIFY_TAG);
    EXPECT_EQ(first.payload.size(), 3 + Folder().size() + 1);
    EXPECT_EQ(std::string(first.payload.begin(), first.payload.begin() + 3), "ctx");
    EXPECT_EQ(first.Path(3), Folder());

    fs::remove_all(Folder());
    EXPECT_EQ(Ask(window_.handle()), Folder());  // remembered, the disk is not examined again
    EXPECT_EQ(window_.Count(), 2u);
}

TEST_F(OnDisk, Version1PackageIsUnpackedAtRequestTime) {
    const FileMap files = SampleFiles("v1");
    WritePackage(Package(), files);
    EXPECT_EQ(Ask(window_.handle()), Folder());
    EXPECT_EQ(window_.Count(), 1u);
    EXPECT_FALSE(fs::exists(Package()));
    EXPECT_FALSE(fs::exists(Folder() + "_tmp"));
    EXPECT_EQ(ReadTree(Folder()), files);
    // The next request finds the folder on disk.
    EXPECT_EQ(Ask(window_.handle()), Folder());
    EXPECT_EQ(window_.Count(), 2u);
}

TEST_F(OnDisk, DamagedPackageIsRemoved) {
    WriteFile(Package(), std::string("KEL\x01", 4) + "this is no zip archive at all");
    EXPECT_EQ(Ask(window_.handle()), "");
    EXPECT_EQ(window_.Count(), 0u);
    EXPECT_FALSE(fs::exists(Package()));
    EXPECT_FALSE(fs::exists(Folder()));
}

TEST_F(OnDisk, OtherVersionIsLeftAlone) {
    WritePackage(Package(), SampleFiles(), 2);
    const auto before = ReadFile(Package());
    EXPECT_EQ(Ask(window_.handle()), Package());
    EXPECT_EQ(Ask(window_.handle()), Package());
    EXPECT_EQ(window_.Count(), 0u);
    EXPECT_EQ(ReadFile(Package()), before);
    EXPECT_FALSE(fs::exists(Folder()));
}

// A file without the signature is set aside (replacing an older one) and its old path answered.
TEST_F(OnDisk, NonPackageIsSetAside) {
    const std::string set_aside = Package() + ".invalid_res_file";
    WriteFile(set_aside, "older");
    WriteFile(Package(), "<html>not found</html>");
    EXPECT_EQ(Ask(window_.handle()), Package());
    EXPECT_FALSE(fs::exists(Package()));
    EXPECT_EQ(ReadFile(set_aside), "<html>not found</html>");
    EXPECT_EQ(window_.Count(), 0u);

    WriteFile(Package(), "KE");  // shorter than a header
    EXPECT_EQ(Ask(), Package());
    EXPECT_EQ(ReadFile(set_aside), "KE");
}

// Catches a folder at the package path (a host can make one with CreateUserFolder) deleted with
// what it holds when the download fails, and a named pipe there blocking the request for ever.
TEST_F(OnDisk, NoRegularFileAtThePackagePath) {
    fs::create_directories(Package());
    WriteFile(Package() + "/mine.txt", "the host's");
    EXPECT_EQ(library_.DownloadResFileEx(kId, window_.handle(), nullptr, 0, true), "");
    EXPECT_EQ(ReadFile(Package() + "/mine.txt"), "the host's");

#if !defined(_WIN32)  // Windows has no named pipes in the file system
    fs::remove_all(Package());
    ASSERT_EQ(::mkfifo(Package().c_str(), 0600), 0);
    auto answer = std::async(std::launch::async, [&] { return Ask(); });
    if (answer.wait_for(10s) != std::future_status::ready) {
        ::close(::open(Package().c_str(), O_WRONLY | O_NONBLOCK));  // frees a reader stuck in open
        ADD_FAILURE() << "the request blocked on a named pipe";
    }
    EXPECT_EQ(answer.get(), Package());  // set aside, as any other file that is no package
    EXPECT_TRUE(fs::is_fifo(Package() + ".invalid_res_file"));
#endif
}

TEST_F(OnDisk, NullDataWithASizeIsAnEmptyBlock) {
    fs::create_directories(Folder());
    EXPECT_EQ(Ask(window_.handle(), nullptr, 50), Folder());
    ASSERT_EQ(window_.Count(), 1u);
    EXPECT_EQ(window_.Received()[0].payload.size(), Folder().size() + 1);
}

TEST_F(OnDisk, RequestsByResIdUseTheText) {
    fs::create_directories(Folder());
    const ResID id{{0x0A, 0x1B, 0x2C, 0x3D}, 0x0000ABCD};
    EXPECT_EQ(library_.DownloadResFile(&id, window_.handle(), "ab", 2), Folder());
    EXPECT_EQ(window_.Received().at(0).Path(2), Folder());

    const ResID reserved_f{{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFF};
    const ResID reserved_e{{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFE};
    EXPECT_EQ(library_.DownloadResFile(&reserved_f, window_.handle(), nullptr, 0), "");
    EXPECT_EQ(library_.DownloadResFile(&reserved_e, window_.handle(), nullptr, 0), "");
    EXPECT_EQ(library_.DownloadResFile(nullptr, window_.handle(), nullptr, 0), "");
    EXPECT_EQ(window_.Count(), 1u);
}

// Names that are not one plain file name must not make the library touch anything outside the
// resources folder, nor ask the media server for a path outside its tree ("." once asked for
// "/../ts/l//..tsl").
TEST_F(OnDisk, PathLikeNamesAreRefused) {
    const std::string outside = sandbox_.root() + "/outside";
    fs::create_directories(outside + "_files");
    WritePackage(sandbox_.root() + "/escape.tsl", SampleFiles());
    const std::string names[] = {"../../../outside",    "../../../escape", "a/b", "a\\b", "..", ".",
                                 std::string("A\0B", 3)};
    // Where "." and ".." would be found on disk: answered from there unless refused first.
    fs::create_directories(Resources() + "._files");
    fs::create_directories(Resources() + ".._files");
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(library_.DownloadResFileEx(name, window_.handle(), nullptr, 0, true), "");
    }
    EXPECT_EQ(window_.Count(), 0u);
    EXPECT_TRUE(fs::exists(sandbox_.root() + "/escape.tsl"));
    EXPECT_EQ(library_.DownloadResFileEx("", window_.handle(), nullptr, 0, false), "");
}

// Catches leftovers of processes that ended (killed mid-download or mid-extraction) piling up, and
// a live transfer taken for one by its age (a clock set forward made another process's download
// look an hour old, and it was deleted under it). What its owner still holds is kept however old;
// what none holds goes, however young: everything at the first download of a load, then each
// identifier's own at its next download. Nothing outside the library's own names is touched.
TEST_F(OnDisk, LeftoversOfEndedProcessesAreReclaimed) {
    constexpr bool kFolder = true, kHeld = true;
    const std::string other = "0A1B2C3D0000ABCE";
    const struct {
        std::string name;
        bool folder, held, kept;
    } rows[] = {
        {std::string(kId) + ".tsl.part-0123abcd", !kFolder, !kHeld, false},
        {std::string(kId) + "_files_tmp-89abcdef", kFolder, !kHeld, false},
        {other + ".tsl.part-01234567", !kFolder, !kHeld, false},
        {other + "_files_tmp-01234567", kFolder, !kHeld, false},
        {std::string(kId) + ".tsl.part-4567cdef", !kFolder, kHeld, true},
        {std::string(kId) + "_files_tmp-fedcba98", kFolder, kHeld, true},
        {"notes.part-0123abcd", !kFolder, !kHeld, true},
        {std::string(kId) + "_files_tmp", kFolder, !kHeld, true},  // an older library's name
        {std::string(kId) + "_files_tmp-aaaabbbb", !kFolder, !kHeld, true},
        {std::string(kId) + ".tsl.part-ccccdddd", kFolder, !kHeld, true},
    };
    std::vector<std::optional<platform::OwnerLock>> locks;
    const auto two_hours_ago = fs::file_time_type::clock::now() - std::chrono::hours(2);
    // What stays is two hours old, what goes is new: age plays no part.
    auto make = [&](const std::string& name, bool folder, bool held, bool old) {
        const std::string path = Resources() + name;
        if (folder) {
            fs::create_directories(path + "/sub");
            WriteFile(path + "/sub/part", "x");
        } else {
            WriteFile(path, "x");
        }
        std::error_code ignored;  // a folder's time may not be settable here
        if (old) {
            fs::last_write_time(path, two_hours_ago, ignored);
        }
        if (held) {
            const auto kind = folder ? platform::PathKind::kFolder : platform::PathKind::kFile;
            locks.push_back(platform::OwnerLock::Take(path, kind));
            ASSERT_TRUE(locks.back() && locks.back()->held());
        }
    };
    for (const auto& row : rows) {
        make(row.name, row.folder, row.held, row.kept);
    }
    EXPECT_EQ(library_.DownloadResFileEx(kId, 0, nullptr, 0, true), "");  // no media server
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(fs::exists(Resources() + row.name), row.kept);
    }

    // Later in the load, the next download of an identifier reclaims that identifier's.
    make(std::string(kId) + ".tsl.part-11112222", !kFolder, !kHeld, false);
    make(other + ".tsl.part-33334444", !kFolder, !kHeld, false);
    EXPECT_EQ(library_.DownloadResFileEx(kId, 0, nullptr, 0, true), "");
    EXPECT_FALSE(fs::exists(Resources() + kId + ".tsl.part-11112222"));
    EXPECT_TRUE(fs::exists(Resources() + other + ".tsl.part-33334444"));
}

// Catches a package found on disk unpacked without the publisher's signature (unsigned, altered,
// signed with another key) while package_key is set, a key that cannot be read taken for no
// check, a roll-over list that trusts its first key only, the key read past test mode's prefix,
// and a signed package that a client without a key refuses to unpack.
TEST_F(OnDisk, PackageKeyAdmitsOnlySignedPackages) {
    const platform::P256KeyPair key = platform::GenerateP256Key();
    const platform::P256KeyPair other = platform::GenerateP256Key();
    const std::string key_text = PublicKeyText(key.public_key);
    const std::string other_text = PublicKeyText(other.public_key);
    enum Package { kUnsigned, kSigned, kAltered, kByOther };
    const struct {
        const char* label;
        std::string settings;  // lines of [download]
        bool test_mode;
        Package package;
        bool unpacked;
    } rows[] = {
        {"no key, signed", "", false, kSigned, true},
        {"no key, unsigned", "", false, kUnsigned, true},
        {"empty key, unsigned", "package_key=\n", false, kUnsigned, true},
        {"key, signed", "package_key=" + key_text + "\n", false, kSigned, true},
        {"key, unsigned", "package_key=" + key_text + "\n", false, kUnsigned, false},
        {"key, altered", "package_key=" + key_text + "\n", false, kAltered, false},
        {"key, signed by another", "package_key=" + key_text + "\n", false, kByOther, false},
        {"roll-over", "package_key=" + key_text + ", " + other_text + "\n", false, kByOther, true},
        {"unreadable key", "package_key=p256:0123\n", false, kSigned, false},
        {"test mode reads t_package_key",
         "package_key=" + other_text + "\nt_package_key=" + key_text + "\n", true, kSigned, true},
        {"test mode, t_package_key unset: no check", "package_key=" + other_text + "\n", true,
         kSigned, true},
        {"no test mode reads package_key", "t_package_key=" + other_text + "\n", false, kUnsigned,
         true},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        char id[17];
        std::snprintf(id, sizeof id, "0A1B2C3D0000%04X", ++n);
        const std::string base = Resources() + id;
        library_.WriteSettings("[download]\nhttp_server=127.0.0.1\nhttp_port=1\n" + row.settings);
        library_.SetTestMode(row.test_mode);
        const FileMap files = SampleFiles(id);
        WritePackage(base + ".tsl", files);
        if (row.package != kUnsigned) {
            SignPackage(base + ".tsl", row.package == kByOther ? other : key);
        }
        if (row.package == kAltered) {
            std::string bytes = *ReadFile(base + ".tsl");
            bytes[bytes.find("PK\x01\x02") + 12] ^= 2;  // a time that unpacks all the same
            WriteFile(base + ".tsl", bytes);
        }
        const std::string answer = library_.DownloadResFileEx(id, 0, nullptr, 0, false);
        EXPECT_EQ(answer, row.unpacked ? base + "_files" : base + ".tsl");
        EXPECT_EQ(fs::exists(base + "_files"), row.unpacked);
        EXPECT_EQ(fs::exists(base + ".tsl.invalid_res_file"), !row.unpacked);
        EXPECT_FALSE(fs::exists(base + ".tsl"));
        if (row.unpacked) {
            EXPECT_EQ(ReadTree(base + "_files"), files);
        }
    }
}

}  // namespace
}  // namespace kel::test
