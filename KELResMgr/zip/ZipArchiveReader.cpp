#include "KELResMgr/zip/ZipArchiveReader.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace kel {
namespace {

constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kCentralRecordSize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
// The end record lies within the last 65535 bytes (a 22-byte record and a comment of at most
// 65513 bytes); it is searched in windows that overlap by the signature's 4 bytes.
constexpr std::uint64_t kEndRecordSearchSpan = 65535;
constexpr std::size_t kSearchStep = 1024;
constexpr std::size_t kSearchWindow = kSearchStep + 4;
constexpr std::uint32_t kFlagDataDescriptor = 0x0008;
constexpr std::uint32_t kMethodStored = 0;
constexpr std::uint32_t kMethodDeflated = 8;
// Raw deflate data: a 32 KB window and neither a zlib header nor a trailer.
constexpr int kRawDeflateWindowBits = -15;

std::uint32_t Le16(const unsigned char* p) {
    return p[0] | (std::uint32_t{p[1]} << 8);
}

std::uint32_t Le32(const unsigned char* p) {
    return Le16(p) | (Le16(p + 2) << 16);
}

// The DOS date and time read as local time, out-of-range fields normalised by the calendar.
std::int64_t DosDateTimeToTime(std::uint32_t dos_date_time) {
    const std::uint32_t time = dos_date_time & 0xFFFF;
    const std::uint32_t date = dos_date_time >> 16;
    std::tm fields{};
    fields.tm_sec = static_cast<int>((time & 0x1F) * 2);
    fields.tm_min = static_cast<int>((time >> 5) & 0x3F);
    fields.tm_hour = static_cast<int>((time >> 11) & 0x1F);
    fields.tm_mday = static_cast<int>(date & 0x1F);
    fields.tm_mon = static_cast<int>((date >> 5) & 0x0F) - 1;
    fields.tm_year = static_cast<int>(date >> 9) + 80;
    fields.tm_isdst = -1;  // the calendar decides about daylight time
    const std::time_t seconds = std::mktime(&fields);
    if (seconds == static_cast<std::time_t>(-1)) {
        throw std::invalid_argument("cannot represent the entry time " +
                                    std::to_string(dos_date_time));
    }
    return static_cast<std::int64_t>(seconds);
}

std::string FullPath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(path, ec);
    return ec ? path : full.string();
}

// Owner of one inflate stream. zlib keeps a pointer back to the stream inside its state, so the
// owner never moves.
class InflateStream {
  public:
    InflateStream() = default;
    ~InflateStream() {
        if (initialised_) {
            inflateEnd(&stream_);
        }
    }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

    // zlib's result; the stream counts as initialised only on Z_OK.
    int Init(void* allocation_opaque) {
        stream_.zalloc = ZipAlloc;
        stream_.zfree = ZipFree;
        stream_.opaque = allocation_opaque;
        const int result = inflateInit2_(&stream_, kRawDeflateWindowBits, ZLIB_VERSION,
                                         static_cast<int>(sizeof(z_stream)));
        initialised_ = result == Z_OK;
        return result;
    }

    z_stream& get() { return stream_; }

  private:
    z_stream stream_{};
    bool initialised_ = false;
};

}  // namespace

// The entry that is open for reading.
struct ZipEntryReadState {
    std::array<unsigned char, CZipArchiveReader::kInputBufferSize> input;
    InflateStream stream;
    std::uint64_t next_compressed = 0;  // archive offset, bytes before the archive not added
    std::uint32_t crc = 0;              // of the bytes delivered so far
    std::uint32_t expected_crc = 0;
    std::uint64_t compressed_left = 0;
    std::uint64_t uncompressed_left = 0;
    std::uint32_t method = 0;
    std::uint64_t bytes_before = 0;
    const unsigned char* pending_at = nullptr;  // input read but not yet used
    std::size_t pending = 0;
};

CZipArchiveReader::CZipArchiveReader(const std::string& archive_path) {
    kind_ = 0;
    archive_file_ = &file_;
    file_ = platform::File::Open(FullPath(archive_path), platform::File::Mode::kRead);
    ReadEndRecord();
    GoToFirstEntry();
}

CZipArchiveReader::~CZipArchiveReader() = default;

void CZipArchiveReader::ReadArchive(std::uint64_t offset, void* buffer, std::size_t size) {
    if (file_.ReadAt(offset + bytes_before_, buffer, size) != size) {
        ThrowZipError(kZipBadZipFile);
    }
}

std::uint64_t CZipArchiveReader::LocateEndRecord() {
    const std::uint64_t length = file_.Size();
    const std::uint64_t span = std::min(length, kEndRecordSearchSpan);
    std::array<unsigned char, kSearchWindow> window;
    std::uint64_t back = 4;
    while (back < span) {
        back = std::min<std::uint64_t>(back + kSearchStep, span);
        const std::uint64_t start = length - back;
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(kSearchWindow, back));
        if (file_.ReadAt(start, window.data(), size) != size) {
            ThrowZipError(kZipBadZipFile);
        }
        // The hit nearest to the end of the file wins.
        for (std::size_t i = size - 4 + 1; i-- > 0;) {
            if (Le32(&window[i]) == kEndRecordSignature) {
                return start + i;
            }
        }
    }
    ThrowZipError(kZipBadZipFile);
}

void CZipArchiveReader::ReadEndRecord() {
    const std::uint64_t position = LocateEndRecord();
    std::array<unsigned char, kEndRecordSize> record;
    ReadArchive(position, record.data(), record.size());  // nothing is before the archive yet
    const std::uint32_t disk = Le16(&record[4]);
    const std::uint32_t directory_disk = Le16(&record[6]);
    const std::uint32_t entries_on_disk = Le16(&record[8]);
    const std::uint32_t total_entries = Le16(&record[10]);
    if (total_entries != entries_on_disk || disk != 0 || directory_disk != 0) {
        ThrowZipError(kZipBadZipFile);
    }
    directory_size_ = Le32(&record[12]);
    directory_offset_ = Le32(&record[16]);
    comment_length_ = Le16(&record[20]);
    const std::uint64_t directory_end = std::uint64_t{directory_offset_} + directory_size_;
    if (position < directory_end) {
        ThrowZipError(kZipBadZipFile);
    }
    entry_count_ = entries_on_disk;
    bytes_before_ = position - directory_end;
    end_record_position_ = position;
}

void CZipArchiveReader::ReadCurrentRecord() {
    std::array<unsigned char, kCentralRecordSize> record;
    ReadArchive(record_position_, record.data(), record.size());
    if (Le32(&record[0]) != kCentralSignature) {
        ThrowZipError(kZipBadZipFile);
    }
    ZipEntryInfo info;
    info.version_made_by = Le16(&record[4]);
    info.version_needed = Le16(&record[6]);
    info.flags = Le16(&record[8]);
    info.method = Le16(&record[10]);
    info.dos_date_time = Le32(&record[12]);
    info.crc = Le32(&record[16]);
    info.compressed_size = Le32(&record[20]);
    info.uncompressed_size = Le32(&record[24]);
    info.name_length = Le16(&record[28]);
    info.extra_length = Le16(&record[30]);
    info.comment_length = Le16(&record[32]);
    info.disk_number_start = Le16(&record[34]);
    info.internal_attributes = Le16(&record[36]);
    info.external_attributes = Le32(&record[38]);
    // Records are read again for every query, and neighbours often share a time: the calendar,
    // which looks at the time zone file at every call, is asked once per distinct value.
    if (!converted_time_ || converted_time_->first != info.dos_date_time) {
        converted_time_.emplace(info.dos_date_time, DosDateTimeToTime(info.dos_date_time));
    }
    info.modification_time = converted_time_->second;
    current_ = info;
    local_offset_ = Le32(&record[42]);
}

void CZipArchiveReader::GoToFirstEntry() {
    record_position_ = directory_offset_;
    entry_number_ = 0;
    // An archive without entries fails here: its end record stands where this record should be.
    ReadCurrentRecord();
    current_valid_ = true;
}

bool CZipArchiveReader::GoToNextEntry() {
    if (!current_valid_ || entry_number_ + 1 == entry_count_) {
        return false;
    }
    record_position_ +=
        kCentralRecordSize + current_.name_length + current_.extra_length + current_.comment_length;
    ++entry_number_;
    ReadCurrentRecord();
    current_valid_ = true;
    return true;
}

void CZipArchiveReader::GetCurrentEntryInfo(ZipEntryInfo* info, char* name, std::size_t name_size,
                                            void* extra, std::size_t extra_size, char* comment,
                                            std::size_t comment_size) {
    if (!current_valid_) {
        ThrowZipError(kZipParamError);
    }
    ReadCurrentRecord();
    if (info != nullptr) {
        *info = current_;
    }
    std::uint64_t part = record_position_ + kCentralRecordSize;
    // Reads one variable part into an optional buffer; a terminator follows when it fits.
    auto read_part = [&](void* buffer, std::size_t size, std::uint32_t length, bool terminate) {
        if (buffer != nullptr && size != 0) {
            const std::size_t n = std::min<std::size_t>(length, size);
            if (terminate && length < size) {
                static_cast<char*>(buffer)[length] = '\0';
            }
            if (n != 0) {
                ReadArchive(part, buffer, n);
            }
        }
        part += length;
    };
    read_part(name, name_size, current_.name_length, true);
    read_part(extra, extra_size, current_.extra_length, false);
    read_part(comment, comment_size, current_.comment_length, true);
}

void CZipArchiveReader::OpenCurrentEntry() {
    if (!current_valid_) {
        ThrowZipError(kZipParamError);
    }
    CloseCurrentEntry();  // the previous entry's CRC mismatch is raised here

    std::array<unsigned char, kLocalHeaderSize> header;
    ReadArchive(local_offset_, header.data(), header.size());
    const std::uint32_t flags = Le16(&header[6]);
    const std::uint32_t method = Le16(&header[8]);
    const bool sizes_match = Le32(&header[14]) == current_.crc &&
                             Le32(&header[18]) == current_.compressed_size &&
                             Le32(&header[22]) == current_.uncompressed_size;
    if (Le32(&header[0]) != kLocalSignature || method != current_.method ||
        (current_.method != kMethodStored && current_.method != kMethodDeflated) ||
        (!(flags & kFlagDataDescriptor) && !sizes_match) ||
        Le16(&header[26]) != current_.name_length) {
        ThrowZipError(kZipBadZipFile);
    }
    const std::uint32_t local_extra_length = Le16(&header[28]);

    auto state = std::make_unique<ZipEntryReadState>();
    state->expected_crc = current_.crc;
    state->method = current_.method;
    state->bytes_before = bytes_before_;
    if (state->method == kMethodDeflated) {
        const int result = state->stream.Init(AllocationOpaque());
        if (result != Z_OK && result != Z_NEED_DICT) {
            ThrowZipError(result);
        }
    }
    state->compressed_left = current_.compressed_size;
    state->uncompressed_left = current_.uncompressed_size;
    state->next_compressed =
        std::uint64_t{local_offset_} + kLocalHeaderSize + current_.name_length + local_extra_length;
    // Entry data lie before the central directory; sizes that reach into it would deliver the
    // directory's bytes as data.
    if (state->next_compressed + state->compressed_left > directory_offset_) {
        ThrowZipError(kZipBadZipFile);
    }
    read_state_ = std::move(state);
}

void CZipArchiveReader::FillInput() {
    ZipEntryReadState& state = *read_state_;
    const auto take = static_cast<std::size_t>(
        std::min<std::uint64_t>(state.input.size(), state.compressed_left));
    ReadArchive(state.next_compressed, state.input.data(), take);
    state.next_compressed += take;
    state.compressed_left -= take;
    state.pending_at = state.input.data();
    state.pending = take;
}

std::size_t CZipArchiveReader::ReadCurrentEntry(void* buffer, std::size_t length) {
    if (!read_state_) {
        ThrowZipError(kZipParamError);
    }
    if (length == 0 || buffer == nullptr) {
        return 0;
    }
    ZipEntryReadState& state = *read_state_;
    auto* out = static_cast<unsigned char*>(buffer);
    // At most the declared size, which fits in 32 bits.
    auto space = static_cast<std::size_t>(std::min<std::uint64_t>(length, state.uncompressed_left));
    std::size_t delivered = 0;
    while (space > 0) {
        std::size_t produced = 0;
        int result = Z_OK;
        if (state.method == kMethodStored) {
            // The stored data ended before the declared size: no more input can ever come.
            if (state.compressed_left == 0) {
                ThrowZipError(kZipBadZipFile);
            }
            // Stored data need no input buffer: read straight into the caller's.
            produced = static_cast<std::size_t>(std::min<std::uint64_t>(
                {space, state.compressed_left, std::uint64_t{kInputBufferSize}}));
            ReadArchive(state.next_compressed, out + delivered, produced);
            state.next_compressed += produced;
            state.compressed_left -= produced;
        } else {
            if (state.pending == 0 && state.compressed_left > 0) {
                FillInput();
            }
            z_stream& stream = state.stream.get();
            stream.next_in = const_cast<unsigned char*>(state.pending_at);
            stream.avail_in = static_cast<uInt>(state.pending);
            stream.next_out = out + delivered;
            stream.avail_out = static_cast<uInt>(space);
            const uLong total_before = stream.total_out;
            // Without input left inflate makes no progress and answers Z_BUF_ERROR, which ends
            // the read below: it never waits for input that cannot come.
            result = inflate(&stream, Z_SYNC_FLUSH);
            produced = static_cast<std::size_t>(stream.total_out - total_before);
            state.pending_at = stream.next_in;
            state.pending = stream.avail_in;
        }
        state.crc = static_cast<std::uint32_t>(
            crc32(state.crc, out + delivered, static_cast<uInt>(produced)));
        state.uncompressed_left -= produced;
        space -= produced;
        delivered += produced;
        if (result == Z_STREAM_END) {
            return delivered;
        }
        // Raw deflate data never ask for a dictionary; Z_NEED_DICT counts as success.
        if (result != Z_OK && result != Z_NEED_DICT) {
            ThrowZipError(result);
        }
    }
    return delivered;
}

void CZipArchiveReader::CloseCurrentEntry() {
    if (!read_state_) {
        return;
    }
    // Compared only when the whole declared size was delivered. On a mismatch the read state
    // stays, so every later open or Close raises badCrc again.
    if (read_state_->uncompressed_left == 0 && read_state_->crc != read_state_->expected_crc) {
        ThrowZipError(kZipBadCrc);
    }
    read_state_.reset();
}

void CZipArchiveReader::Close() {
    if (!file_.is_open()) {
        return;
    }
    CloseCurrentEntry();
    file_.Close();
}

}  // namespace kel
