// kelres check, and the check that pack and publish make: the verdict on packages crafted byte by
// byte, for the clients of both platforms, whichever platform the tool runs on.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ZipTestSupport.h"
#include "harness/TempFolder.h"
#include "tool_runner.h"

namespace kel::test {
namespace {

namespace fs = std::filesystem;

const std::string kHeader("KEL\x01", 4);

CraftEntry File(std::string name) {
    CraftEntry entry;
    entry.name = std::move(name);
    entry.data = "data of " + entry.name;
    entry.deflate = true;
    return entry;
}

struct Row {
    const char* label;
    std::string package;  // the whole file
    bool linux_ok;
    bool windows_ok;
    std::string entry;  // named by a problem line wherever the verdict is not ok
    std::string says = "";  // in that line, when not empty
};

std::vector<Row> Rows() {
    CraftEntry bad_crc = File("a.txt");
    bad_crc.crc = 0x12345678;
    CraftEntry no_date = File("a.txt");
    no_date.dos_date = 0;  // 1980-00-00
    CraftEntry false_flag = File("caf\xE9.txt");
    false_flag.flags = 1u << 11;  // UTF-8, which it is not
    CraftEntry hidden = File("a.txt");
    hidden.external_attributes = 0x02;
    CraftEntry renamed = File("plain.txt");
    renamed.central_extra = UnicodePathField("plain.txt", "CON.txt");
    const std::string e_acute = "\xC3\xA9";
    std::string utf8_two_levels;  // 121 UTF-16 units, 242 bytes
    for (int i = 0; i < 60; ++i) {
        utf8_two_levels += e_acute;
    }
    utf8_two_levels += "/" + utf8_two_levels;
    std::string deep;
    for (int i = 0; i < 65; ++i) {
        deep += "d/";
    }
    CraftEntry padded = File("padded.txt");
    padded.append_compressed = std::string(64, '\0');  // inside the compressed size
    CraftEntry empty_no_stream = File("empty.txt");
    empty_no_stream.data.clear();
    empty_no_stream.compressed = "";
    std::vector<CraftEntry> folder_bomb;  // 300 empty files, each 63 new folders deep
    for (int i = 0; i < 300; ++i) {
        CraftEntry entry = File("b" + std::to_string(i) + "/");
        for (int level = 0; level < 62; ++level) {
            entry.name += "d/";
        }
        entry.name += "f";
        entry.data.clear();
        folder_bomb.push_back(entry);
    }
    const std::string clean = CraftArchive({File("a.txt"), File("sub/b.txt")});
    CraftEntry cut = File("cut.txt");
    cut.data = SampleText(30000);
    cut.cut_compressed = 100;  // the deflated data end before the declared size
    // One name of 65,535 bytes in 32,767 levels: a package of 128 KiB.
    std::string deepest;
    for (int i = 0; i < 32767; ++i) {
        deepest += "d/";
    }
    deepest += "f";
    std::vector<Row> rows = {
        {"clean", kHeader + clean, true, true, ""},
        {"device name", kHeader + CraftArchive({File("sub/CON.txt")}), true, false, "sub/CON.txt"},
        {"stream", kHeader + CraftArchive({File("file:stream")}), true, false, "file:stream"},
        {"trailing dot", kHeader + CraftArchive({File("name.")}), true, false, "name."},
        {"reserved character", kHeader + CraftArchive({File("what?.txt")}), true, false,
         "what?.txt"},
        {"case collision", kHeader + CraftArchive({File("Readme.txt"), File("README.TXT")}), true,
         false, "README.TXT"},
        {"file where a folder is, by case", kHeader + CraftArchive({File("data"), File("DATA/x")}),
         true, false, "data"},
        {"past MAX_PATH", kHeader + CraftArchive({File(std::string(190, 'x'))}), true, false,
         std::string(190, 'x')},
        {"UTF-8 counted in UTF-16 units", kHeader + CraftArchive({File(utf8_two_levels)}), true,
         true, ""},
        {"level past 255 bytes", kHeader + CraftArchive({File(std::string(256, 'y'))}), false,
         false, std::string(256, 'y')},
        {"too deep", kHeader + CraftArchive({File(deep + "f")}), false, false, deep + "f"},
        {"leaves the folder", kHeader + CraftArchive({File("../evil.txt")}), false, false,
         "../evil.txt"},
        {"file named \".\"", kHeader + CraftArchive({File("a/.")}), false, false, "a/."},
        {"8-bit name", kHeader + CraftArchive({File("caf\xE9.txt")}), false, false, "caf\xE9.txt"},
        {"Unicode path field", kHeader + CraftArchive({renamed}), true, false, "CON.txt"},
        {"marked UTF-8, but not", kHeader + CraftArchive({false_flag}), true, false, "caf\xE9.txt"},
        {"no calendar date", kHeader + CraftArchive({no_date}), false, false, "a.txt"},
        {"hidden", kHeader + CraftArchive({hidden}), false, true, "a.txt"},
        {"bad CRC", kHeader + CraftArchive({File("ok.txt"), bad_crc}), false, false, "a.txt"},
        {"cut archive", kHeader + clean.substr(0, clean.size() - 10), false, false, ""},
        {"folder bomb", kHeader + CraftArchive(folder_bomb), false, false, ""},
        {"bytes after a deflate stream", kHeader + CraftArchive({padded}), true, true, ""},
        {"empty entry without a stream", kHeader + CraftArchive({empty_no_stream}), true, true, ""},
        {"version 2", std::string("KEL\x02", 4) + clean, false, false, ""},
        {"deflated data cut short", kHeader + CraftArchive({cut}), false, false, "cut.txt",
         "the deflated data end before the entry's declared size: refused"},
        {"65,535 bytes, 32,767 levels", kHeader + CraftArchive({File(deepest)}), false, false,
         deepest, "is longer than 1024 bytes: refused"},
        {"a file where a folder is, by Unicode case",
         kHeader + CraftArchive({File("\xC8\x99"), File("\xC8\x98/x.txt")}), true, false,
         "\xC8\x99", "needs a folder where case is ignored"},  // ș, Ș/x.txt
        {"a folder where a file is, by Unicode case",
         kHeader + CraftArchive({File("\xC8\x98/x.txt"), File("\xC8\x99")}), true, false,
         "\xC8\x99", "needs a folder where case is ignored"},
    };
    // One file to NTFS, which compares every UTF-16 unit by its simple upper case.
    const std::pair<const char*, const char*> pairs[] = {
        {"\xC8\x99.txt", "\xC8\x98.txt"},                                      // ș Ș
        {"\xCE\xAC\xCE\xBB\xCF\x86\xCE\xB1.txt", "\xCE\x86\xCE\x9B\xCE\xA6\xCE\x91.txt"},  // άλφα ΆΛΦΑ
        {"\xD2\x91\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xBA.txt",
         "\xD2\x90\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xBA.txt"},                    // ґанок Ґанок
        {"b\xE1\xBA\xA1n.txt", "B\xE1\xBA\xA0N.txt"},                          // bạn BẠN
        {"\xD5\xA1.txt", "\xD4\xB1.txt"},                                      // ա Ա
        {"\xEF\xBD\x81.txt", "\xEF\xBC\xA1.txt"},                              // ａ Ａ
    };
    for (const auto& [first, second] : pairs) {
        rows.push_back({first, kHeader + CraftArchive({File(first), File(second)}), true, false,
                        second,
                        std::string("is the same file as \"") + first +
                            "\" before it where case is ignored, as on Windows: its data "
                            "replace that file's, under the earlier name"});
    }
    // Devices to Windows, with a superscript digit.
    for (const char* device : {"COM\xC2\xB9.txt", "lpt\xC2\xB2.log", "docs/Com\xC2\xB3"}) {
        rows.push_back({device, kHeader + CraftArchive({File(device)}), true, false, device,
                        "names a device on Windows: refused"});
    }
    return rows;
}

// The lines kelres check printed for one package: its verdict line, then its problem lines.
std::map<std::string, std::vector<std::string>> SplitByPackage(
    const std::string& out, const std::vector<std::string>& packages) {
    std::map<std::string, std::vector<std::string>> blocks;
    std::vector<std::string>* current = nullptr;
    for (std::size_t start = 0; start < out.size();) {
        std::size_t end = out.find('\n', start);
        end = end == std::string::npos ? out.size() : end;
        std::string line = out.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        start = end + 1;
        for (const std::string& package : packages) {
            if (line.rfind(package + ": ", 0) == 0) {
                current = &blocks[package];
            }
        }
        if (current != nullptr) {
            current->push_back(line);
        }
    }
    return blocks;
}

// Catches a verdict that differs from what the client of a platform does with the package: a
// Windows name rule applied only on Windows, a collision or length counted in bytes, a damaged
// archive passed without reading its data, a problem line that does not name its entry.
TEST(Check, EachFaultForTheClientsItConcerns) {
    TempFolder folder;
    const std::vector<Row> rows = Rows();
    std::vector<std::string> packages;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        packages.push_back(folder / ("p" + std::to_string(i) + ".tsl"));
        WriteFile(packages.back(), rows[i].package);
    }
    for (const std::string platform : {"linux", "windows"}) {
        std::vector<std::string> args = {"check", "--platform", platform};
        args.insert(args.end(), packages.begin(), packages.end());
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exit_code, kExitFailed) << run.err;
        const auto blocks = SplitByPackage(run.out, packages);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            SCOPED_TRACE(std::string(rows[i].label) + " for " + platform);
            const auto block = blocks.find(packages[i]);
            ASSERT_NE(block, blocks.end()) << run.out;
            const std::vector<std::string>& lines = block->second;
            const bool ok = platform == "linux" ? rows[i].linux_ok : rows[i].windows_ok;
            EXPECT_EQ(lines[0].rfind(packages[i] + ": ok ", 0) == 0, ok) << lines[0];
            EXPECT_EQ(lines.size() == 1, ok) << run.out;
            if (!ok && !rows[i].entry.empty() && lines.size() > 1) {
                EXPECT_EQ(lines[1].rfind("  " + rows[i].entry + ": ", 0), 0u) << lines[1];
                EXPECT_TRUE(Contains(lines[1], rows[i].says)) << lines[1];
            }
        }
    }
    const ToolRun clean = RunTool({"check", packages[0]});
    EXPECT_EQ(clean.exit_code, 0) << clean.out;
}

#if !defined(_WIN32)
// The largest peak resident size of the children so far, in KiB.
long ChildrenPeakKib() {
    rusage usage{};
    return getrusage(RUSAGE_CHILDREN, &usage) == 0 ? usage.ru_maxrss : -1;
}
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Catches a check whose memory grows with the square of a name's length (every folder prefix of
// every name kept as a key: 1 GiB for one name of 65,535 bytes in 32,767 levels, a package of
// 128 KiB, and another GiB for each further such name, until the check ended in std::bad_alloc
// with no verdict): check and publish answer, on Linux within 64 MiB (the peak resident size of
// the largest child; under a sanitizer, which takes memory of its own, within 32 MiB more than the
// check of a small package).
TEST(Check, LongestDeepestNameInLittleMemory) {
    TempFolder folder;
    std::string name;
    for (int i = 0; i < 32767; ++i) {
        name += "d/";
    }
    name += "f";
    ASSERT_EQ(name.size(), 65535u);
    const std::string small = folder / "small.tsl";
    WriteFile(small, kHeader + CraftArchive({File("a.txt")}));
    ASSERT_EQ(RunTool({"check", small}).exit_code, 0);
#if !defined(_WIN32)
    const long small_kib = ChildrenPeakKib();
#endif
    const std::string package = folder / "deep.tsl";
    WriteFile(package, kHeader + CraftArchive({File(name), File("x/" + name.substr(2))}));
    ASSERT_LT(fs::file_size(package), 300u * 1024);
    const ToolRun check = RunTool({"check", package});
    EXPECT_EQ(check.exit_code, kExitFailed);
    EXPECT_TRUE(Contains(check.out, package + ": 2 problems ")) << check.out.substr(0, 200);
    const std::string root = folder / "media";
    fs::create_directory(root);
    const ToolRun publish = RunTool({"publish", package, "0102030405060708", root});
    EXPECT_EQ(publish.exit_code, kExitFailed);
    EXPECT_TRUE(Contains(publish.err, ": is longer than 1024 bytes: refused")) << publish.err.size();
    EXPECT_EQ(ListTree(root), "");
#if !defined(_WIN32)
    const long peak_kib = ChildrenPeakKib();
    EXPECT_LT(peak_kib - small_kib, 32 * 1024) << "KiB at the peak, " << small_kib << " for a small package";
    if (!kSanitized) {
        EXPECT_LT(peak_kib, 64 * 1024) << "KiB at the peak";
    }
#endif
}

// Catches a pack that writes, or a publish that places, a package some client would refuse.
TEST(Check, PackAndPublishRefuseWhatAClientWould) {
    TempFolder folder;
    const std::string source = folder / "res";
    const std::string level(100, 'd');
    fs::create_directories(source + kSeparator + level);
    const std::string long_file = level + kSeparator + std::string(99, 'f');  // past MAX_PATH
    WriteFile(source + kSeparator + long_file, "long");
    std::vector<std::string> offending = {source + kSeparator + long_file};
#if !defined(_WIN32)
    WriteFile(source + "/CON.txt", "device");
    offending.push_back(source + "/CON.txt");
#endif
    const std::string out = folder / "p.tsl";

    const ToolRun refused = RunTool({"pack", source, out});
    EXPECT_EQ(refused.exit_code, kExitFailed);
    for (const std::string& file : offending) {
        EXPECT_TRUE(Contains(refused.err, "\n  " + file + ": ")) << refused.err;
    }
    EXPECT_FALSE(fs::exists(out));

    ASSERT_EQ(RunTool({"pack", "--force", source, out}).exit_code, 0);
    const std::string root = folder / "media";
    fs::create_directory(root);
    EXPECT_EQ(RunTool({"publish", out, "0102030405060708", root}).exit_code, kExitFailed);
    EXPECT_EQ(ListTree(root), "");
}

std::string LastLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text.substr(text.find_last_of('\n') + 1);
}

// Catches a key file others may read or that replaces a key, a signature that the check of
// another key or of an unsigned package passes, a key list that trusts its first key only, an
// unreadable key taken for no check, and a publish of a package the clients with the key refuse.
TEST(Check, SignaturesAsClientsWithTheKeysSeeThem) {
    TempFolder folder;
    const std::string source = folder / "res";
    fs::create_directories(source);
    WriteFile(source + kSeparator + "a.txt", "alpha");
    const std::string key_a = folder / "a.key", key_b = folder / "b.key";
    const ToolRun made = RunTool({"keygen", key_a});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const std::string public_a = LastLine(made.out);
    EXPECT_EQ(public_a.rfind("p256:", 0), 0u) << made.out;
#if !defined(_WIN32)
    EXPECT_EQ(fs::status(key_a).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
#endif
    const auto key_file = ReadFile(key_a);
    EXPECT_EQ(RunTool({"keygen", key_a}).exit_code, kExitFailed);
    EXPECT_EQ(ReadFile(key_a), key_file);
    const std::string public_b = LastLine(RunTool({"keygen", key_b}).out);

    const std::string signed_a = folder / "signed.tsl", plain = folder / "plain.tsl",
                      signed_b = folder / "b.tsl";
    ASSERT_EQ(RunTool({"pack", "--sign", key_a, source, signed_a}).exit_code, 0);
    ASSERT_EQ(RunTool({"pack", source, plain}).exit_code, 0);
    ASSERT_EQ(RunTool({"pack", source, signed_b}).exit_code, 0);
    ASSERT_EQ(RunTool({"sign", signed_b, key_b}).exit_code, 0);
    const struct {
        const char* label;
        std::string keys;
        std::string package;
        int exit_code;
        std::string says;
    } rows[] = {
        {"signed", public_a, signed_a, 0, "  signed by " + public_a.substr(0, 21)},
        {"the private key's file", key_a, signed_a, 0, "  signed by "},
        {"wrong key", public_b, signed_a, kExitFailed, "  bad signature: "},
        {"unsigned", public_a, plain, kExitFailed, "  unsigned"},
        {"signed afterwards", public_b, signed_b, 0, "  signed by "},
        {"roll-over", public_a + "," + public_b, signed_b, 0, " (key 2 of 2)"},
        {"a key that is no key", public_a + ",p256:00", signed_a, kExitFailed, "p256:00"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const ToolRun run = RunTool({"check", "--key", row.keys, row.package});
        EXPECT_EQ(run.exit_code, row.exit_code) << run.out << run.err;
        EXPECT_TRUE(Contains(run.out + run.err, row.says)) << run.out << run.err;
    }

    const std::string root = folder / "media";
    fs::create_directory(root);
    const ToolRun refused =
        RunTool({"publish", "--key", public_a, plain, "0102030405060708", root});
    EXPECT_EQ(refused.exit_code, kExitFailed);
    EXPECT_TRUE(Contains(refused.err, "unsigned")) << refused.err;
    EXPECT_EQ(ListTree(root), "");
    EXPECT_EQ(RunTool({"publish", "--key", public_a, signed_a, "0102030405060708", root}).exit_code,
              0);
    EXPECT_NE(ListTree(root), "");
}

}  // namespace
}  // namespace kel::test
