// Archives written by independent real zip writers (Info-ZIP zip, Python's zipfile, bsdtar, 7z)
// read by the reader and unpacked by ExtractPackage.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "KELResMgr/download/Package.h"
#include "KELResMgr/zip/ZipArchiveReader.h"
#include "ZipTestSupport.h"
#include "harness/TempFolder.h"

namespace kel {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

// The files every writer packs: mixed text and binary, empty, exactly two extraction chunks, a
// subfolder and a read-only file.
const std::map<std::string, std::string>& SourceFiles() {
    static const auto* files = new std::map<std::string, std::string>{
        {"a.txt", test::SampleText(5000, 1)},
        {"img/b.png", test::RandomBytes(30000, 2)},
        {"empty", ""},
        {"big.txt", test::SampleText(300000, 3)},
        {"exact.bin", test::RandomBytes(40960, 4)},
        {"sub/deeper/ro.txt", "read only"},
    };
    return *files;
}

constexpr char kFileList[] = "a.txt img empty big.txt exact.bin sub";
const std::int64_t kSourceTime = test::LocalTime(2022, 3, 4, 5, 6, 8);

class RealWritersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto& [name, content] : SourceFiles()) {
            const std::string path = src_ / name;
            fs::create_directories(fs::path(path).parent_path());
            WriteFile(path, content);
            const auto when = std::chrono::system_clock::from_time_t(kSourceTime);
            fs::last_write_time(path, std::chrono::file_clock::from_sys(when));
        }
        fs::permissions(src_ / "sub/deeper/ro.txt", fs::perms::owner_read | fs::perms::group_read);
    }

    // Runs the writer's command in the source folder; it writes the archive at $OUT.
    std::string Write(const std::string& label, const std::string& command) {
        const std::string out = work_ / (label + ".zip");
        EXPECT_TRUE(test::Run("cd " + Quote(src_.path()) + " && export OUT=" + Quote(out) + " && " +
                              command))
            << command;
        return out;
    }

    TempFolder src_;
    TempFolder work_;
};

// The Python writer packs the source tree; "stream" writes to a pipe, so the archive cannot be
// seeked back into and every entry carries a data descriptor (flag bit 3).
std::string PythonWriter(bool stream, bool stored) {
    const std::string script =
        "import os, sys, zipfile\n"
        "method = zipfile.ZIP_STORED if " +
        std::string(stored ? "True" : "False") +
        " else zipfile.ZIP_DEFLATED\n"
        "out = sys.stdout.buffer if " +
        std::string(stream ? "True" : "False") +
        " else open(os.environ['OUT'], 'wb')\n"
        "with zipfile.ZipFile(out, 'w', method) as z:\n"
        "    for root, dirs, files in sorted(os.walk('.')):\n"
        "        for name in sorted(files):\n"
        "            z.write(os.path.join(root, name)[2:])\n";
    return std::string(test::kPython) + " -c " + Quote(script) +
           (stream ? " | cat > \"$OUT\"" : "");
}

// Catches any disagreement with real writers: content, folders, times, the read-only bit, data
// descriptors and bytes in front of the archive.
TEST_F(RealWritersTest, ExtractsWhatEachWriterPacked) {
    const struct {
        const char* label;
        std::string command;
        bool data_descriptor;
    } rows[] = {
        {"zip", "zip -q -r \"$OUT\" " + std::string(kFileList), false},
        {"zip stored", "zip -q -0 -r \"$OUT\" " + std::string(kFileList), false},
        {"zip with comment and prefix",
         "echo 'a comment' | zip -q -z -r \"$OUT.in\" " + std::string(kFileList) +
             " && { printf 'foreign bytes in front'; cat \"$OUT.in\"; } > \"$OUT\"",
         false},
        {"python", PythonWriter(false, false), false},
        {"python stored", PythonWriter(false, true), false},
        {"python to a pipe", PythonWriter(true, false), true},
        {"python stored to a pipe", PythonWriter(true, true), true},
        {"bsdtar", "bsdtar --format zip -cf \"$OUT\" " + std::string(kFileList), true},
        {"7z", "7z a -tzip -bd \"$OUT\" " + std::string(kFileList) + " >/dev/null", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string archive = Write(row.label, row.command);

        // Read-only bits as the writer recorded them, and the data-descriptor flag.
        std::map<std::string, bool> read_only;
        {
            CZipArchiveReader reader(archive);
            bool any_descriptor = false;
            do {
                ZipEntryInfo info;
                char name[64];
                reader.GetCurrentEntryInfo(&info, name, sizeof name, nullptr, 0, nullptr, 0);
                any_descriptor |= (info.flags & 0x08) != 0;
                read_only[name] = (info.external_attributes & 0x01) != 0;
            } while (reader.GoToNextEntry());
            EXPECT_EQ(any_descriptor, row.data_descriptor);
            reader.Close();
        }

        const std::string target = work_ / (std::string(row.label) + " files");
        ASSERT_TRUE(ExtractPackage(archive, target));
        EXPECT_FALSE(fs::exists(target + "_tmp"));
        for (const auto& [name, content] : SourceFiles()) {
            SCOPED_TRACE(name);
            const std::string path = target + "/" + name;
            EXPECT_EQ(ReadFile(path), content);
            struct stat info {};
            ASSERT_EQ(::stat(path.c_str(), &info), 0);
            EXPECT_EQ(info.st_mtime, kSourceTime);
            EXPECT_EQ((info.st_mode & 0222) == 0, read_only[name]);
        }
    }
}

// Catches the DOS read-only bit being lost with the writers that record it.
TEST_F(RealWritersTest, ReadOnlyFromInfoZip) {
    const std::string archive = Write("ro", "zip -q -r \"$OUT\" sub");
    ASSERT_TRUE(ExtractPackage(archive, work_ / "ro_files"));
    struct stat info {};
    ASSERT_EQ(::stat((work_ / "ro_files/sub/deeper/ro.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0222, 0u);
}

}  // namespace
}  // namespace kel
