// Reads one zip archive: walks its central directory and delivers the bytes of one entry at a
// time, verifying each entry's CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "KELResMgr/zip/ZipArchiveBase.h"
#include "platform/file.h"

namespace kel {

// One central directory record as the reader returns it. Every value comes from the archive and
// is untrusted.
struct ZipEntryInfo {
    std::uint32_t version_made_by = 0;
    std::uint32_t version_needed = 0;
    std::uint32_t flags = 0;
    std::uint32_t method = 0;
    std::uint32_t dos_date_time = 0;  // time in the low half, date in the high half
    std::uint32_t crc = 0;
    std::uint32_t compressed_size = 0;
    std::uint32_t uncompressed_size = 0;
    std::uint32_t name_length = 0;
    std::uint32_t extra_length = 0;
    std::uint32_t comment_length = 0;
    std::uint32_t disk_number_start = 0;
    std::uint32_t internal_attributes = 0;
    std::uint32_t external_attributes = 0;
    std::int64_t modification_time = 0;  // seconds since 1970 UTC; the DOS time read as local time
};

struct ZipEntryReadState;

// Single-volume archives with stored (0) and deflated (8) entries, no Zip64; bytes in front of
// the archive are tolerated. The archive may lie inside a larger file, from a given start offset
// to the file's end (a package body read in place). Every failure raises CZipException, except
// those of the file layer (platform::FileError) and an unrepresentable entry time
// (std::invalid_argument).
//
// One object is used by one thread; several readers may run at once in different threads. After
// any raise the object can still be destroyed safely; after badCrc every further open or Close
// raises badCrc again.
class CZipArchiveReader final : public CZipArchiveBase {
  public:
    // Compressed input is read in blocks of this size (or of the archive's, when smaller);
    // stored data go straight to the caller's buffer in blocks as large as it asks for.
    static constexpr std::size_t kInputBufferSize = 128 * 1024;
    // Central directory records are read in windows of this size (larger when one record is).
    static constexpr std::size_t kDirectoryWindowSize = 64 * 1024;

    // Opens the archive that begins archive_start bytes into the file, reads its end record and
    // makes the first entry current. Offsets in the archive count from archive_start.
    explicit CZipArchiveReader(const std::string& archive_path, std::uint64_t archive_start = 0);
    // Releases everything without verifying anything.
    ~CZipArchiveReader() override;

    void GoToFirstEntry();
    // True when the next entry is now current; false on the last entry (which stays current) or
    // when no entry is current.
    bool GoToNextEntry();

    // Re-reads the current central directory record. Every output is optional: a null info
    // discards the fields, a null buffer or a size of 0 skips that part. The name and the comment
    // get a terminating zero only when they are shorter than their buffer; the extra field never
    // does.
    void GetCurrentEntryInfo(ZipEntryInfo* info, char* name, std::size_t name_size, void* extra,
                             std::size_t extra_size, char* comment, std::size_t comment_size);

    // Checks the current entry's local header and prepares it for reading; closes (and verifies)
    // an entry that is still open first.
    void OpenCurrentEntry();
    // Delivers up to length bytes of the open entry; never more than its declared size, and 0
    // once the entry is exhausted. A deflated entry's stream must end exactly at its declared
    // size: the read that delivers the last declared byte (or the first read of an empty entry)
    // also checks that, and raises dataError when the stream goes on or ended early (bufError
    // when the compressed data end before it does). Compressed bytes after the stream's end are
    // never read, and an empty entry with no compressed bytes needs no stream.
    std::size_t ReadCurrentEntry(void* buffer, std::size_t length);
    // Ends reading the open entry; verifies its CRC-32 when the whole declared size was delivered.
    void CloseCurrentEntry();
    // Closes the open entry (with its verification), then the archive file.
    void Close();

    // Declared uncompressed sizes of all entries.
    struct DeclaredSizes {
        std::uint64_t total = 0;
        std::uint32_t largest = 0;
    };
    // Walks the whole central directory once, before anything is extracted, and returns the
    // entries' declared uncompressed sizes. No honest archive has entries whose local
    // headers or data overlap: such an archive (for instance many records pointing at one
    // stream, which would unpack to many times the archive's size) raises badZipFile. From then
    // on OpenCurrentEntry also refuses an entry whose data would reach into the next entry's
    // local header. Leaves the first entry current.
    DeclaredSizes CheckEntryLayout();

    std::uint32_t entry_count() const { return entry_count_; }
    std::uint32_t comment_length() const { return comment_length_; }
    std::uint64_t bytes_before() const { return bytes_before_; }
    // Bytes from the archive's start to the end of its file.
    std::uint64_t archive_length() const { return archive_length_; }
    // Full path of the archive; empty after Close.
    std::string path() const { return file_.is_open() ? file_.path() : std::string(); }

  private:
    std::uint64_t LocateEndRecord();
    void ReadEndRecord();
    // Reads the central directory record at record_position_ into current_ and local_offset_.
    void ReadCurrentRecord();
    // Reads exactly size bytes at the archive offset (bytes before the archive not yet added);
    // a short read means the archive is shorter than its records claim: badZipFile.
    void ReadArchive(std::uint64_t offset, void* buffer, std::size_t size);
    // The size bytes at the archive offset, served from the directory window, which is moved
    // (one read) when they are not in it. Valid until the next call.
    const unsigned char* DirectoryBytes(std::uint64_t offset, std::size_t size);
    // Reads the local header into the input buffer together with as much of the entry's data as
    // fits; returns the local extra field's length.
    std::uint32_t ReadLocalHeader(ZipEntryReadState& state);
    void FillInput();
    // The archive offset that the current entry's data must not pass.
    std::uint64_t DataLimit() const;

    platform::File file_;
    std::uint64_t archive_start_ = 0;
    std::uint64_t archive_length_ = 0;  // from archive_start_ to the end of the file
    std::uint32_t entry_count_ = 0;
    std::uint32_t comment_length_ = 0;
    std::uint64_t bytes_before_ = 0;
    std::uint32_t entry_number_ = 0;
    std::uint64_t record_position_ = 0;
    bool current_valid_ = false;
    std::uint64_t end_record_position_ = 0;
    std::uint32_t directory_size_ = 0;
    std::uint32_t directory_offset_ = 0;
    ZipEntryInfo current_;
    std::uint32_t local_offset_ = 0;
    // The last DOS date and time converted, and its calendar time.
    std::optional<std::pair<std::uint32_t, std::int64_t>> converted_time_;
    std::unique_ptr<ZipEntryReadState> read_state_;
    std::vector<unsigned char> input_;  // allocated at the first open entry, reused after
    std::vector<unsigned char> directory_window_;
    std::uint64_t window_offset_ = 0;
    std::size_t window_size_ = 0;
    // After CheckEntryLayout: every entry's local header offset, sorted, and the offset its data
    // must not pass (the next entry's local header, or the central directory).
    std::vector<std::pair<std::uint32_t, std::uint64_t>> data_limits_;
};

}  // namespace kel
