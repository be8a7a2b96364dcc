// The zip archive reader against byte-crafted archives: every structural check, every cause code,
// and the release of zlib's memory on every path.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

#include "KELResMgr/zip/EntryName.h"
#include "KELResMgr/zip/ZipArchiveReader.h"
#include "KELResMgr/zip/ZipExtract.h"
#include "ZipTestSupport.h"
#include "harness/TempFolder.h"
#include "platform/file.h"

namespace kel {
namespace {

using Cause = CZipException::Cause;
using test::CraftArchive;
using test::CraftEntry;
using test::CraftOptions;
using test::TempFolder;
using test::UnicodePathField;
using test::WriteFile;

// The cause of the CZipException that action raises; fails the test when it raises none.
std::optional<Cause> CauseOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const CZipException& error) {
        return error.cause();
    }
    return std::nullopt;
}

// Reads the open entry to its end in chunks of the given size.
std::string ReadAll(CZipArchiveReader& reader, std::size_t chunk = 20480) {
    std::string out;
    std::string buffer(chunk, '\0');
    for (;;) {
        const std::size_t got = reader.ReadCurrentEntry(buffer.data(), buffer.size());
        out.append(buffer, 0, got);
        if (got != chunk) {
            return out;
        }
    }
}

class ZipReaderTest : public ::testing::Test {
  protected:
    std::string Archive(const std::string& bytes) {
        const std::string path = tmp_ / ("a" + std::to_string(count_++) + ".zip");
        WriteFile(path, bytes);
        return path;
    }
    TempFolder tmp_;
    int count_ = 0;
};

// Catches a cause table that drifts from the values callers rely on, or a raise that loses the
// kind flag or invents a path.
TEST(ZipCauses, EveryCodeMapsToItsCause) {
    const struct {
        int code;
        Cause cause;
        const char* name;
    } rows[] = {
        {Z_STREAM_END, Cause::streamEnd, "streamEnd"},
        {Z_NEED_DICT, Cause::needDict, "needDict"},
        {Z_ERRNO, Cause::errNo, "errNo"},
        {Z_STREAM_ERROR, Cause::streamError, "streamError"},
        {Z_DATA_ERROR, Cause::dataError, "dataError"},
        {Z_MEM_ERROR, Cause::memError, "memError"},
        {Z_BUF_ERROR, Cause::bufError, "bufError"},
        {Z_VERSION_ERROR, Cause::versionError, "versionError"},
        {kZipParamError, Cause::paramError, "paramError"},
        {kZipBadZipFile, Cause::badZipFile, "badZipFile"},
        {kZipBadCrc, Cause::badCrc, "badCrc"},
        {0, Cause::generic, "generic"},
        {-104, Cause::generic, "generic"},
    };
    // The base class raises with its own kind flag (1) and no archive.
    struct Base : CZipArchiveBase {
        [[noreturn]] void Raise(int code) const { ThrowZipError(code); }
    } base;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(CZipException::CauseFromCode(row.code), row.cause);
        try {
            base.Raise(row.code);
            ADD_FAILURE() << "nothing raised";
        } catch (const CZipException& error) {
            EXPECT_EQ(error.cause(), row.cause);
            EXPECT_EQ(error.kind(), 1);
            EXPECT_EQ(error.archive_path(), "");
            EXPECT_EQ(std::string(error.what()), std::string("CZipException: ") + row.name);
        }
    }
    EXPECT_EQ(static_cast<int>(Cause::generic), 1);
    EXPECT_EQ(static_cast<int>(Cause::badCrc), 12);
}

// Catches a leak or double free of zlib's blocks, and an allocation that ignores overflow.
TEST(ZipAllocations, ListTracksBlocksUntilFreed) {
    ZipAllocationList list;
    void* a = ZipAlloc(&list, 10, 100);
    void* b = ZipAlloc(&list, 1, 7);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(list.size(), 2u);
    ZipFree(&list, a);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_FALSE(list.Remove(a));
    void* untracked = ZipAlloc(nullptr, 4, 4);
    ZipFree(&list, untracked);  // not listed: only released
    EXPECT_EQ(list.size(), 1u);
    // b is released by the list's destructor (a leak would fail under the sanitizer).
}

// Catches offsets that ignore the bytes before the archive, and a search that misses an end
// record behind a long comment or finds one beyond the 65535-byte span.
TEST_F(ZipReaderTest, EndRecordSearchAndPrefix) {
    const std::vector<CraftEntry> entries = {{.name = "a.txt", .data = "alpha"},
                                             {.name = "b.txt", .data = "beta", .deflate = true}};
    const struct {
        const char* label;
        CraftOptions options;
        bool opens;
        std::uint64_t before;
    } rows[] = {
        {"plain", {}, true, 0},
        {"12 junk bytes before", {.prefix = std::string(12, '\x7f')}, true, 12},
        {"65000-byte comment", {.comment = std::string(65000, 'c')}, true, 0},
        {"65513-byte comment", {.comment = std::string(65513, 'c')}, true, 0},
        {"65514-byte comment", {.comment = std::string(65514, 'c')}, false, 0},
        {"comment and prefix", {.comment = std::string(3000, 'c'), .prefix = "MZ junk"}, true, 7},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string path = Archive(CraftArchive(entries, row.options));
        if (!row.opens) {
            EXPECT_EQ(CauseOf([&] { CZipArchiveReader reader(path); }), Cause::badZipFile);
            continue;
        }
        CZipArchiveReader reader(path);
        EXPECT_EQ(reader.entry_count(), 2u);
        EXPECT_EQ(reader.bytes_before(), row.before);
        EXPECT_EQ(reader.comment_length(), row.options.comment.size());
        reader.OpenCurrentEntry();
        EXPECT_EQ(ReadAll(reader), "alpha");
        ASSERT_TRUE(reader.GoToNextEntry());
        reader.OpenCurrentEntry();
        EXPECT_EQ(ReadAll(reader), "beta");
        reader.Close();
    }
}

// Catches an archive that the end record does not describe being read as if it were sound.
TEST_F(ZipReaderTest, BadEndRecordsAndDirectories) {
    const std::vector<CraftEntry> one = {{.name = "a.txt", .data = "alpha"}};
    const std::string good = CraftArchive(one);
    const struct {
        const char* label;
        std::string bytes;
    } rows[] = {
        {"empty archive", CraftArchive({})},
        {"no end record", good.substr(0, good.size() - 22)},
        {"signature in the last 3 bytes only", std::string(100, 'x') + "PK\x05"},
        {"second disk", CraftArchive(one, {.disk = 1})},
        {"entry counts differ", CraftArchive(one, {.total_entries = 2})},
        {"directory beyond the end record", CraftArchive(one, {.directory_offset = 1000})},
        {"short file", std::string("PK\x05\x06", 4)},
        {"not a zip at all", std::string(5000, 'z')},
        {"zero bytes", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string path = Archive(row.bytes);
        EXPECT_EQ(CauseOf([&] { CZipArchiveReader reader(path); }), Cause::badZipFile);
    }
}

// Catches a missing archive reported as an archive error instead of the file layer's error.
TEST_F(ZipReaderTest, MissingArchiveIsAFileError) {
    EXPECT_THROW(CZipArchiveReader(tmp_ / "missing.zip"), platform::FileError);
}

// Catches local headers that disagree with the central directory being trusted, and the
// data-descriptor flag not being honoured.
TEST_F(ZipReaderTest, LocalHeaderChecks) {
    const std::string data = test::SampleText(3000);
    const struct {
        const char* label;
        CraftEntry entry;
        bool opens;
    } rows[] = {
        {"consistent", {.name = "x", .data = data, .deflate = true}, true},
        {"data descriptor",
         {.name = "x", .data = data, .deflate = true, .data_descriptor = true},
         true},
        {"data descriptor, stored",
         {.name = "x", .data = data, .data_descriptor = true, .local_crc = 1},
         true},
        {"local signature", {.name = "x", .data = data, .local_signature = 0x04034B51}, false},
        {"local method", {.name = "x", .data = data, .local_method = 8}, false},
        {"method 12 in both", {.name = "x", .data = data, .method = 12}, false},
        {"local crc", {.name = "x", .data = data, .local_crc = 7}, false},
        {"local compressed size", {.name = "x", .data = data, .local_compressed_size = 1}, false},
        {"local uncompressed size",
         {.name = "x", .data = data, .local_uncompressed_size = 1},
         false},
        {"local name length", {.name = "x", .data = data, .local_name_length = 2}, false},
        {"local extra differs (allowed)",
         {.name = "x", .data = data, .deflate = true, .local_extra = std::string(9, 'e')},
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        CZipArchiveReader reader(Archive(CraftArchive({row.entry})));
        ZipEntryInfo info;
        reader.GetCurrentEntryInfo(&info, nullptr, 0, nullptr, 0, nullptr, 0);  // listing works
        if (!row.opens) {
            EXPECT_EQ(CauseOf([&] { reader.OpenCurrentEntry(); }), Cause::badZipFile);
            EXPECT_EQ(CauseOf([&] { reader.ReadCurrentEntry(&info, 1); }), Cause::paramError);
            continue;
        }
        reader.OpenCurrentEntry();
        EXPECT_EQ(ReadAll(reader), data);
        reader.Close();
    }
}

// Catches a CRC mismatch that goes unreported, is reported at the wrong call, or can be
// stepped over after it was raised.
TEST_F(ZipReaderTest, BadCrcLastEntryRaisedAtClose) {
    CZipArchiveReader reader(Archive(CraftArchive({
        {.name = "a", .data = "first"},
        {.name = "b", .data = test::SampleText(50000), .deflate = true, .crc = 0x12345678},
    })));
    reader.OpenCurrentEntry();
    EXPECT_EQ(ReadAll(reader), "first");
    ASSERT_TRUE(reader.GoToNextEntry());
    reader.OpenCurrentEntry();
    EXPECT_EQ(ReadAll(reader).size(), 50000u);  // every read succeeds
    EXPECT_EQ(CauseOf([&] { reader.Close(); }), Cause::badCrc);
    EXPECT_EQ(CauseOf([&] { reader.Close(); }), Cause::badCrc);
    EXPECT_EQ(CauseOf([&] { reader.OpenCurrentEntry(); }), Cause::badCrc);
}

TEST_F(ZipReaderTest, BadCrcMiddleEntryRaisedWhenNextOpens) {
    const std::string path = Archive(CraftArchive({
        {.name = "a", .data = "first"},
        {.name = "b", .data = "second", .crc = 1},
        {.name = "c", .data = "third"},
    }));
    CZipArchiveReader reader(path);
    reader.OpenCurrentEntry();
    ReadAll(reader);
    reader.GoToNextEntry();
    reader.OpenCurrentEntry();
    EXPECT_EQ(ReadAll(reader), "second");
    reader.GoToNextEntry();  // does not close the open entry
    try {
        reader.OpenCurrentEntry();
        ADD_FAILURE() << "no badCrc";
    } catch (const CZipException& error) {
        EXPECT_EQ(error.cause(), Cause::badCrc);
        EXPECT_EQ(error.kind(), 0);
        EXPECT_EQ(error.archive_path(), path);
    }
}

// Catches a CRC compared over a partial read (an entry not read to its end is no error).
TEST_F(ZipReaderTest, PartlyReadEntryClosesWithoutCrc) {
    CZipArchiveReader reader(
        Archive(CraftArchive({{.name = "a", .data = "0123456789", .crc = 1}})));
    reader.OpenCurrentEntry();
    char buffer[4];
    EXPECT_EQ(reader.ReadCurrentEntry(buffer, 4), 4u);
    reader.CloseCurrentEntry();
    reader.Close();
}

// One final dynamic block: code-length code lengths (by symbol), literal/length lengths set for
// the symbols given, distance lengths, then the body's literal/length codes.
std::string DynamicBlock(const std::vector<int>& code_length_lengths,
                         const std::vector<std::pair<int, int>>& literal_lengths,
                         const std::vector<int>& distance_lengths, const std::string& body) {
    std::vector<int> literals(257, 0);
    for (const auto& [symbol, length] : literal_lengths) {
        literals[symbol] = length;
    }
    test::DeflateBits bits;
    bits.DynamicHeader(true, code_length_lengths, literals, distance_lengths);
    const std::vector<std::uint32_t> codes = test::CanonicalCodes(literals);
    for (const unsigned char symbol : body + '\0') {  // '\0' stands for the end of block
        const int code = symbol == 0 ? 256 : symbol;
        bits.Code(codes[code], literals[code]);
    }
    return bits.Finish();
}

// Catches reads that hang or deliver garbage when the data end before their declared size or
// the deflate stream is cut or broken, and engines that differ in what they accept: a code that
// zlib refuses must fail on the ISA-L engine too, and a stream must end exactly at the declared
// size on both (zlib stops at the declared size, ISA-L decodes ahead of it); and valid entries
// refused: padding after the stream, an empty entry without one.
TEST_F(ZipReaderTest, DamagedEntryData) {
    const std::string text = test::SampleText(200000);
    const std::string random = test::RandomBytes(30000);
    std::string broken = test::RawDeflate(text);
    broken[0] = static_cast<char>(0xFF);  // block type 3 is invalid
    const std::uint32_t deflated_size = static_cast<std::uint32_t>(test::RawDeflate(text).size());
    // Code-length codes: a complete one for the lengths 0, 1 and 2, and one that lacks a code.
    const std::vector<int> lengths_012 = {1, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<int> incomplete = {2, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    // A fixed block: "abcd", then the invalid literal/length code 286.
    test::DeflateBits fixed;
    fixed.Bits(1, 1).Bits(1, 2);
    for (const char c : std::string("abcd")) {
        fixed.Code(0x30 + static_cast<unsigned char>(c), 8);
    }
    fixed.Code(0xC6, 8);
    // Streams cut one bit short of a code that is invalid whatever that bit: seven bits of the
    // fixed code 286, and a length where the block has no distance code. zlib waits for the bit.
    test::DeflateBits cut_code;
    cut_code.Bits(1, 1).Bits(1, 2);
    for (int i = 0; i < 6; ++i) {
        cut_code.Code(0x190 + 200 - 144, 9);  // the literal 200
    }
    cut_code.Code(0x63, 7);
    std::vector<int> literals(258, 0);
    literals['a'] = 2;
    literals['b'] = 3;
    literals[256] = 3;
    literals[257] = 1;  // a length of 3
    const std::vector<std::uint32_t> codes = test::CanonicalCodes(literals);
    test::DeflateBits cut_length;
    cut_length.DynamicHeader(true, {2, 2, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                             literals, {0});
    std::string cut_output;
    while ((cut_length.bit_count() + 1) % 8 != 0) {  // the length ends the last byte
        const char c = (cut_length.bit_count() + 1) % 2 != 0 ? 'b' : 'a';
        cut_length.Code(codes[c], literals[c]);
        cut_output += c;
    }
    cut_length.Code(codes[257], 1);
    const struct {
        const char* label;
        CraftEntry entry;
        std::optional<Cause> cause;
    } rows[] = {
        {"truncated deflate data",
         {.name = "t", .data = text, .deflate = true, .cut_compressed = 500},
         Cause::bufError},
        {"final block ends past the declared compressed size",
         {.name = "t", .data = text, .deflate = true, .cut_compressed = 1},
         Cause::bufError},
        {"incomplete literal/length code",
         {.name = "c",
          .data = "aa",
          .compressed = DynamicBlock(lengths_012, {{'a', 2}, {256, 2}}, {1}, "aa")},
         Cause::dataError},
        {"incomplete distance code",
         {.name = "c",
          .data = "a",
          .compressed = DynamicBlock(lengths_012, {{'a', 1}, {256, 1}}, {2, 2}, "a")},
         Cause::dataError},
        {"incomplete code-length code",
         {.name = "c",
          .data = "a",
          .compressed = DynamicBlock(incomplete, {{'a', 1}, {256, 1}}, {1}, "a")},
         Cause::dataError},
        {"single one-bit distance code (allowed)",
         {.name = "c",
          .data = "a",
          .compressed = DynamicBlock(lengths_012, {{'a', 1}, {256, 1}}, {1}, "a")},
         std::nullopt},
        {"no distance code (allowed)",
         {.name = "c",
          .data = "a",
          .compressed = DynamicBlock(lengths_012, {{'a', 1}, {256, 1}}, {0}, "a")},
         std::nullopt},
        {"only the end-of-block code, of one bit (allowed)",
         {.name = "c", .data = "", .compressed = DynamicBlock(lengths_012, {{256, 1}}, {1}, "")},
         std::nullopt},
        // Bytes after the final block inside the declared compressed size are never decoded:
        // earlier versions, and the common unpackers, unpack such entries.
        {"final block ends before the declared compressed size (allowed)",
         {.name = "t",
          .data = text,
          .deflate = true,
          .data_descriptor = true,
          .compressed_size = deflated_size + 16},
         std::nullopt},
        {"64 bytes after the final block (allowed)",
         {.name = "t", .data = text, .deflate = true, .append_compressed = std::string(64, 'j')},
         std::nullopt},
        {"empty entry without any deflate stream (allowed)",
         {.name = "e", .data = "", .compressed = ""},
         std::nullopt},
        {"no deflate stream for a non-empty entry",
         {.name = "e", .data = "abc", .compressed = ""},
         Cause::bufError},
        {"stream goes on past the declared size",
         {.name = "t",
          .data = text,
          .deflate = true,
          .uncompressed_size = static_cast<std::uint32_t>(text.size() - 1)},
         Cause::dataError},
        {"cut one bit into the invalid fixed code 286",
         {.name = "f", .data = std::string(6, '\xC8'), .compressed = cut_code.Finish()},
         Cause::bufError},
        {"cut after a length, in a block without distance code",
         {.name = "f", .data = cut_output, .compressed = cut_length.Finish()},
         Cause::bufError},
        {"stream corrupt just past the declared size",
         {.name = "f", .data = "abc", .compressed = fixed.Finish()},
         Cause::dataError},
        {"truncated stored data (sizes disagree)",
         {.name = "s", .data = random, .uncompressed_size = 40000},
         Cause::badZipFile},
        {"stored data claim to run into the directory",
         {.name = "s", .data = random, .uncompressed_size = 4000000, .compressed_size = 4000000},
         Cause::badZipFile},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        CZipArchiveReader reader(Archive(CraftArchive({row.entry})));
        if (row.entry.compressed_size && !row.entry.deflate) {
            EXPECT_EQ(CauseOf([&] { reader.OpenCurrentEntry(); }), row.cause);
            continue;
        }
        reader.OpenCurrentEntry();
        std::string out;
        EXPECT_EQ(CauseOf([&] {
                      out = ReadAll(reader);
                      reader.Close();
                  }),
                  row.cause);
        if (!row.cause) {
            EXPECT_EQ(out, row.entry.data);
        }
    }

    // Invalid deflate data: dataError.
    CraftEntry invalid{.name = "d", .data = "", .deflate = false, .method = 8};
    invalid.data = broken;  // written as is, declared as deflated
    invalid.uncompressed_size = 1000;
    CZipArchiveReader reader(Archive(CraftArchive({invalid})));
    reader.OpenCurrentEntry();
    EXPECT_GT(reader.outstanding_allocations(), 0u);
    EXPECT_EQ(CauseOf([&] { ReadAll(reader); }), Cause::dataError);
    // Destroyed with the inflate stream interrupted: the sanitizer build reports any leak.
}

// Catches an entry whose deflate stream is shorter than declared being padded, verified or
// passed for complete: the stream must end at the declared size.
TEST_F(ZipReaderTest, DeclaredSizeLargerThanStream) {
    const std::string text = test::SampleText(5000);
    CZipArchiveReader reader(Archive(
        CraftArchive({{.name = "x", .data = text, .deflate = true, .uncompressed_size = 9000}})));
    reader.OpenCurrentEntry();
    char buffer[20480];
    EXPECT_EQ(CauseOf([&] { reader.ReadCurrentEntry(buffer, sizeof buffer); }), Cause::dataError);
    reader.CloseCurrentEntry();  // no CRC comparison
    EXPECT_EQ(reader.outstanding_allocations(), 0u);
    reader.Close();
}

// Every crash input the fuzz targets have found, walked as the zip reader target walks them:
// whatever the engine, an entry reads to its end or raises a CZipException, and the sanitizer
// builds report nothing. The one named here has a deflated entry with no data at all (compressed
// size 0) that declares 880 bytes: the engine is handed no input, and the entry is refused.
TEST_F(ZipReaderTest, KeptFuzzInputs) {
    int walked = 0;
    for (const auto& input : std::filesystem::directory_iterator(KELRES_FUZZ_INPUTS_DIR)) {
        SCOPED_TRACE(input.path().filename().string());
        std::vector<std::optional<Cause>> verdicts;
        try {
            CZipArchiveReader reader(input.path().string());
            do {
                verdicts.push_back(CauseOf([&] {
                    reader.OpenCurrentEntry();
                    ReadAll(reader, 4093);
                    reader.CloseCurrentEntry();
                }));
            } while (verdicts.size() < 1000 && reader.GoToNextEntry());
        } catch (const CZipException&) {
        }
        if (input.path().filename() == "zip_reader-null-input-memcpy.zip") {
            ASSERT_FALSE(verdicts.empty());
            EXPECT_TRUE(verdicts[0].has_value());
        }
        ++walked;
    }
    EXPECT_GT(walked, 0);
}

// Catches reads past the declared size, a wrong answer to misuse, and exact-multiple sizes that
// end the read loop late or early.
TEST_F(ZipReaderTest, ReadBoundaries) {
    const std::string big = test::SampleText(40960);
    CZipArchiveReader reader(Archive(CraftArchive({
        {.name = "big", .data = big, .deflate = true},
        {.name = "stored", .data = "abc"},
        {.name = "empty", .data = ""},
    })));
    char buffer[20480];
    EXPECT_EQ(CauseOf([&] { reader.ReadCurrentEntry(buffer, 10); }), Cause::paramError);
    EXPECT_EQ(CauseOf([&] { reader.ReadCurrentEntry(buffer, 0); }), Cause::paramError);
    reader.OpenCurrentEntry();
    EXPECT_EQ(reader.ReadCurrentEntry(buffer, 0), 0u);
    EXPECT_EQ(reader.ReadCurrentEntry(buffer, 20480), 20480u);
    EXPECT_EQ(reader.ReadCurrentEntry(buffer, 20480), 20480u);
    EXPECT_EQ(reader.ReadCurrentEntry(buffer, 20480), 0u);
    reader.CloseCurrentEntry();
    EXPECT_EQ(reader.outstanding_allocations(), 0u);
    EXPECT_EQ(CauseOf([&] { reader.ReadCurrentEntry(buffer, 10); }), Cause::paramError);

    ASSERT_TRUE(reader.GoToNextEntry());
    reader.OpenCurrentEntry();
    EXPECT_EQ(reader.ReadCurrentEntry(buffer, sizeof buffer), 3u);  // never beyond the entry
    EXPECT_EQ(reader.ReadCurrentEntry(buffer, sizeof buffer), 0u);
    ASSERT_TRUE(reader.GoToNextEntry());
    reader.OpenCurrentEntry();
    EXPECT_EQ(reader.ReadCurrentEntry(buffer, sizeof buffer), 0u);

    EXPECT_FALSE(reader.GoToNextEntry());  // the last entry stays current
    char name[16];
    reader.GetCurrentEntryInfo(nullptr, name, sizeof name, nullptr, 0, nullptr, 0);
    EXPECT_STREQ(name, "empty");
    reader.GoToFirstEntry();
    reader.GetCurrentEntryInfo(nullptr, name, sizeof name, nullptr, 0, nullptr, 0);
    EXPECT_STREQ(name, "big");
    reader.Close();
}

// Catches buffers overrun, terminators written where they do not fit, and the parts of a record
// read from the wrong place.
TEST_F(ZipReaderTest, EntryInfoBuffers) {
    CZipArchiveReader reader(Archive(CraftArchive({{.name = "img/b.png",
                                                    .data = "png",
                                                    .external_attributes = 0x21,
                                                    .central_extra = "XTRA",
                                                    .comment = "note"}})));
    ZipEntryInfo info;
    char name[10];
    char extra[8];
    char comment[8];
    std::memset(name, '#', sizeof name);
    std::memset(extra, '#', sizeof extra);
    std::memset(comment, '#', sizeof comment);
    reader.GetCurrentEntryInfo(&info, name, 9, extra, sizeof extra, comment, sizeof comment);
    EXPECT_EQ(std::string(name, 10), "img/b.png#");  // exactly as long: no terminator
    EXPECT_EQ(std::string(extra, 5), "XTRA#");       // never a terminator
    EXPECT_STREQ(comment, "note");
    reader.GetCurrentEntryInfo(nullptr, name, 10, nullptr, 0, nullptr, 0);
    EXPECT_STREQ(name, "img/b.png");  // one byte longer: terminated
    reader.GetCurrentEntryInfo(nullptr, name, 3, nullptr, 0, comment, 3);
    EXPECT_EQ(std::string(name, 3), "img");
    EXPECT_EQ(std::string(comment, 3), "not");

    EXPECT_EQ(info.method, 0u);
    EXPECT_EQ(info.crc, test::Crc32("png"));
    EXPECT_EQ(info.uncompressed_size, 3u);
    EXPECT_EQ(info.name_length, 9u);
    EXPECT_EQ(info.extra_length, 4u);
    EXPECT_EQ(info.comment_length, 4u);
    EXPECT_EQ(info.external_attributes, 0x21u);
    EXPECT_EQ(info.modification_time, test::LocalTime(2021, 6, 15, 10, 20, 30));
}

// Catches a DOS time decoded with the wrong bit fields, or not normalised like the calendar does.
TEST_F(ZipReaderTest, DosTimes) {
    const struct {
        std::uint16_t date, time;
        std::int64_t expected;
    } rows[] = {
        {(0 << 9) | (1 << 5) | 1, 0, test::LocalTime(1980, 1, 1, 0, 0, 0)},
        {(44 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29,
         test::LocalTime(2024, 12, 31, 23, 59, 58)},
        {(40 << 9) | (0 << 5) | 0, 0, test::LocalTime(2019, 11, 30, 0, 0, 0)},  // month 0, day 0
        // Past 2038: a 32-bit time_t refused every package with such an entry.
        {(58 << 9) | (2 << 5) | 1, 0, test::LocalTime(2038, 2, 1, 0, 0, 0)},
        {(127 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29,
         test::LocalTime(2107, 12, 31, 23, 59, 58)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected);
        CZipArchiveReader reader(Archive(
            CraftArchive({{.name = "t", .data = "", .dos_time = row.time, .dos_date = row.date}})));
        ZipEntryInfo info;
        reader.GetCurrentEntryInfo(&info, nullptr, 0, nullptr, 0, nullptr, 0);
        EXPECT_EQ(info.modification_time, row.expected);
    }
}

// Catches names read in the wrong encoding (a UTF-8 name passed to the ANSI calls of Windows is
// mangled), a Unicode path field used without its CRC matching the header name, and a field that
// names another path slipping past the safety checks.
TEST(EntryNames, EncodingAndUnicodePathField) {
    using E = NameEncoding;
    const std::string u_umlaut = "\xC3\xBC.txt";  // "ü.txt" in UTF-8
    const std::string cp437 = "\x81.txt";         // the same name from a DOS packer
    const struct {
        const char* label;
        std::string header;
        std::uint32_t flags;
        std::string extra;
        std::string text;
        E encoding;
        bool safe = true;
    } rows[] = {
        {"UTF-8 flag", u_umlaut, 1u << 11, "", u_umlaut, E::kUtf8Flag},
        {"Unicode path field", cp437, 0, UnicodePathField(cp437, u_umlaut), u_umlaut,
         E::kUnicodePathField},
        {"field after another block", cp437, 0,
         std::string("\x55\x54\x01\x00\x03", 5) + UnicodePathField(cp437, u_umlaut), u_umlaut,
         E::kUnicodePathField},
        {"field of another name", cp437, 0, UnicodePathField("x.txt", u_umlaut), cp437, E::kBytes},
        {"field that climbs out", "evil.txt", 0, UnicodePathField("evil.txt", "../evil.txt"),
         "../evil.txt", E::kUnicodePathField, false},
        {"field with invalid UTF-8", cp437, 0, UnicodePathField(cp437, "\xC0\xAF"), cp437,
         E::kBytes},
        {"unmarked UTF-8", "d\\" + u_umlaut, 0, "", "d/" + u_umlaut, E::kUnmarkedUtf8},
        {"legacy 8-bit name", "\xFC.txt", 0, "", "\xFC.txt", E::kBytes},
        {"overlong form", "\xC0\xAF.txt", 0, "", "\xC0\xAF.txt", E::kBytes},
        {"surrogate", "\xED\xA0\x80", 0, "", "\xED\xA0\x80", E::kBytes},
        {"past U+10FFFF", "\xF4\x90\x80\x80", 0, "", "\xF4\x90\x80\x80", E::kBytes},
        {"cut short", "\xE2\x82", 0, "", "\xE2\x82", E::kBytes},
        {"ASCII", "a.txt", 1u << 11, "", "a.txt", E::kUtf8Flag},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const EntryName name = DecodeEntryName(row.header, row.flags, row.extra);
        EXPECT_EQ(name.text, row.text);
        EXPECT_EQ(name.encoding, row.encoding);
        EXPECT_EQ(IsSafeEntryName(name.text), row.safe);
    }
}

// Catches a truncated central directory or entry data read past the end of the file.
TEST_F(ZipReaderTest, TruncatedCentralDirectory) {
    const std::string good =
        CraftArchive({{.name = "a", .data = "alpha"}, {.name = "b", .data = "beta"}});
    // Keep the end record but cut the second central record short: its offset points past the
    // end record, the directory size says otherwise.
    std::string bytes = good;
    bytes[good.size() - 22 + 12] = static_cast<char>(0xF0);  // directory size larger than it is
    const std::string path = Archive(bytes);
    EXPECT_EQ(CauseOf([&] { CZipArchiveReader reader(path); }), Cause::badZipFile);

    // An entry count larger than the directory: the second record read hits the end record.
    std::string more = good;
    more[good.size() - 22 + 8] = 3;
    more[good.size() - 22 + 10] = 3;
    CZipArchiveReader reader(Archive(more));
    EXPECT_TRUE(reader.GoToNextEntry());
    EXPECT_EQ(CauseOf([&] { reader.GoToNextEntry(); }), Cause::badZipFile);
}

}  // namespace
}  // namespace kel
