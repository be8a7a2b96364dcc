#include "KELResMgr/zip/ZipArchiveReader.h"

#include "KELResMgr/zip/InflateEngine.h"
#include "platform/clock.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <optional>
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
// Read with the local header, so that a small entry's data come in the same read; local extra
// fields are rarely longer.
constexpr std::size_t kLocalExtraAllowance = 64;

std::uint32_t Le16(const unsigned char* p) {
    return p[0] | (std::uint32_t{p[1]} << 8);
}

std::uint32_t Le32(const unsigned char* p) {
    return Le16(p) | (Le16(p + 2) << 16);
}

// The DOS date and time read as local time, out-of-range fields normalised by the calendar.
// DOS dates run from 1980 to 2107: every one converts on every build.
std::int64_t DosDateTimeToTime(std::uint32_t dos_date_time) {
    const std::uint32_t time = dos_date_time & 0xFFFF;
    const std::uint32_t date = dos_date_time >> 16;
    platform::LocalTime fields;
    fields.second = static_cast<int>((time & 0x1F) * 2);
    fields.minute = static_cast<int>((time >> 5) & 0x3F);
    fields.hour = static_cast<int>((time >> 11) & 0x1F);
    fields.day = static_cast<int>(date & 0x1F);
    fields.month = static_cast<int>((date >> 5) & 0x0F);
    fields.year = static_cast<int>(date >> 9) + 1980;
    const std::optional<std::int64_t> seconds = platform::SecondsOfLocalTime(fields);
    if (!seconds) {
        throw std::invalid_argument("cannot represent the entry time " +
                                    std::to_string(dos_date_time));
    }
    return *seconds;
}

std::string FullPath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(path, ec);
    return ec ? path : full.string();
}

}  // namespace

// The entry that is open for reading.
struct ZipEntryReadState {
    InflateEngine stream;
    std::uint64_t next_compressed = 0;  // archive offset, bytes before the archive not added
    std::uint32_t crc = 0;              // of the bytes delivered so far
    std::uint32_t expected_crc = 0;
    std::uint64_t compressed_left = 0;
    std::uint64_t uncompressed_left = 0;
    std::uint32_t method = 0;
    std::uint64_t bytes_before = 0;
    const unsigned char* pending_at = nullptr;  // input read but not yet used, in the reader's
    std::size_t pending = 0;                    // input buffer
    bool stream_ended = false;                  // the deflate stream ended at the declared size
};

CZipArchiveReader::CZipArchiveReader(const std::string& archive_path, std::uint64_t archive_start)
    : archive_start_(archive_start) {
    kind_ = 0;
    archive_file_ = &file_;
    file_ = platform::File::Open(FullPath(archive_path), platform::File::Mode::kRead);
    const std::uint64_t file_length = file_.Size();
    if (archive_start_ > file_length) {
        ThrowZipError(kZipBadZipFile);
    }
    archive_length_ = file_length - archive_start_;
    ReadEndRecord();
    GoToFirstEntry();
}

CZipArchiveReader::~CZipArchiveReader() = default;

void CZipArchiveReader::ReadArchive(std::uint64_t offset, void* buffer, std::size_t size) {
    if (file_.ReadAt(archive_start_ + bytes_before_ + offset, buffer, size) != size) {
        ThrowZipError(kZipBadZipFile);
    }
}

const unsigned char* CZipArchiveReader::DirectoryBytes(std::uint64_t offset, std::size_t size) {
    if (offset >= window_offset_ && offset - window_offset_ + size <= window_size_) {
        return directory_window_.data() + (offset - window_offset_);
    }
    const std::uint64_t at = bytes_before_ + offset;
    if (at > archive_length_ || archive_length_ - at < size) {
        ThrowZipError(kZipBadZipFile);
    }
    const std::size_t span = std::max(size, kDirectoryWindowSize);
    window_size_ = 0;  // stays empty should the read fail
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(span, archive_length_ - at));
    if (directory_window_.size() < take) {
        directory_window_.resize(take);
    }
    ReadArchive(offset, directory_window_.data(), take);
    window_offset_ = offset;
    window_size_ = take;
    return directory_window_.data();
}

std::uint64_t CZipArchiveReader::LocateEndRecord() {
    const std::uint64_t length = archive_length_;
    const std::uint64_t span = std::min(length, kEndRecordSearchSpan);
    std::array<unsigned char, kSearchWindow> window;
    std::uint64_t back = 4;
    while (back < span) {
        back = std::min<std::uint64_t>(back + kSearchStep, span);
        const std::uint64_t start = length - back;
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(kSearchWindow, back));
        if (file_.ReadAt(archive_start_ + start, window.data(), size) != size) {
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
    const unsigned char* record = DirectoryBytes(record_position_, kCentralRecordSize);
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
                std::memcpy(buffer, DirectoryBytes(part, n), n);
            }
        }
        part += length;
    };
    read_part(name, name_size, current_.name_length, true);
    read_part(extra, extra_size, current_.extra_length, false);
    read_part(comment, comment_size, current_.comment_length, true);
}

std::uint32_t CZipArchiveReader::ReadLocalHeader(ZipEntryReadState& state) {
    const std::uint64_t at = bytes_before_ + local_offset_;
    if (at > archive_length_) {
        ThrowZipError(kZipBadZipFile);
    }
    const std::uint64_t wanted = std::uint64_t{kLocalHeaderSize} + current_.name_length +
                                 kLocalExtraAllowance + current_.compressed_size;
    const auto take = static_cast<std::size_t>(
        std::min<std::uint64_t>({wanted, input_.size(), archive_length_ - at}));
    if (take < kLocalHeaderSize) {
        ThrowZipError(kZipBadZipFile);
    }
    ReadArchive(local_offset_, input_.data(), take);
    const unsigned char* header = input_.data();
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
    const std::size_t data_start = kLocalHeaderSize + current_.name_length + local_extra_length;
    if (data_start < take) {
        state.pending_at = input_.data() + data_start;
        state.pending = std::min<std::size_t>(take - data_start, current_.compressed_size);
    }
    return local_extra_length;
}

std::uint64_t CZipArchiveReader::DataLimit() const {
    const auto it = std::lower_bound(data_limits_.begin(), data_limits_.end(),
                                     std::make_pair(local_offset_, std::uint64_t{0}));
    if (it == data_limits_.end() || it->first != local_offset_) {
        return directory_offset_;
    }
    return it->second;
}

void CZipArchiveReader::OpenCurrentEntry() {
    if (!current_valid_) {
        ThrowZipError(kZipParamError);
    }
    CloseCurrentEntry();  // the previous entry's CRC mismatch is raised here

    if (input_.empty()) {
        // No read can be longer than the archive.
        input_.resize(static_cast<std::size_t>(
            std::clamp<std::uint64_t>(archive_length_, 1, kInputBufferSize)));
    }
    auto state = std::make_unique<ZipEntryReadState>();
    const std::uint32_t local_extra_length = ReadLocalHeader(*state);
    state->expected_crc = current_.crc;
    state->method = current_.method;
    state->bytes_before = bytes_before_;
    if (state->method == kMethodDeflated) {
        const int result = state->stream.Init(AllocationOpaque(), current_.compressed_size,
                                              current_.uncompressed_size);
        if (result != kInflateOk) {
            ThrowZipError(result);
        }
    }
    state->compressed_left = current_.compressed_size - state->pending;
    state->uncompressed_left = current_.uncompressed_size;
    const std::uint64_t data_start =
        std::uint64_t{local_offset_} + kLocalHeaderSize + current_.name_length + local_extra_length;
    state->next_compressed = data_start + state->pending;
    // Entry data lie before the central directory, and before the next entry's local header once
    // the layout is known; sizes that reach further would deliver other records' bytes as data.
    if (data_start + current_.compressed_size > DataLimit()) {
        ThrowZipError(kZipBadZipFile);
    }
    read_state_ = std::move(state);
}

void CZipArchiveReader::FillInput() {
    ZipEntryReadState& state = *read_state_;
    const auto take =
        static_cast<std::size_t>(std::min<std::uint64_t>(input_.size(), state.compressed_left));
    ReadArchive(state.next_compressed, input_.data(), take);
    state.next_compressed += take;
    state.compressed_left -= take;
    state.pending_at = input_.data();
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
    // A deflated entry is not done with its declared size: its stream must end right there, so
    // the read that delivers the last byte goes on until the engine has seen the end.
    auto stream_open = [&state] {
        return state.method == kMethodDeflated && state.uncompressed_left == 0 &&
               !state.stream_ended;
    };
    while (space > 0 || stream_open()) {
        std::size_t produced = 0;
        int result = kInflateOk;
        if (state.method == kMethodStored && state.pending > 0) {
            // Data that came with the local header.
            produced = std::min(space, state.pending);
            std::memcpy(out + delivered, state.pending_at, produced);
            state.pending_at += produced;
            state.pending -= produced;
        } else if (state.method == kMethodStored) {
            // The stored data ended before the declared size: no more input can ever come.
            if (state.compressed_left == 0) {
                ThrowZipError(kZipBadZipFile);
            }
            // Stored data need no input buffer: read straight into the caller's.
            produced =
                static_cast<std::size_t>(std::min<std::uint64_t>(space, state.compressed_left));
            ReadArchive(state.next_compressed, out + delivered, produced);
            state.next_compressed += produced;
            state.compressed_left -= produced;
        } else {
            if (state.pending == 0 && state.compressed_left > 0) {
                FillInput();
            }
            result = state.stream.Inflate(&state.pending_at, &state.pending, out + delivered, space,
                                          &produced);
        }
        state.crc = ZipCrc32(state.crc, out + delivered, produced);
        state.uncompressed_left -= produced;
        space -= produced;
        delivered += produced;
        if (result == kInflateStreamEnd) {
            state.stream_ended = true;
            return delivered;
        }
        // Raw deflate data never ask for a dictionary; kInflateNeedDict counts as success.
        if (result != kInflateOk && result != kInflateNeedDict) {
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

CZipArchiveReader::DeclaredSizes CZipArchiveReader::CheckEntryLayout() {
    // Each entry takes at least its local header (of the central name length, which the local
    // one must equal) and its compressed data.
    std::vector<std::pair<std::uint32_t, std::uint64_t>> spans;
    spans.reserve(entry_count_);
    DeclaredSizes sizes;
    GoToFirstEntry();
    do {
        spans.emplace_back(local_offset_, std::uint64_t{local_offset_} + kLocalHeaderSize +
                                              current_.name_length + current_.compressed_size);
        sizes.total += current_.uncompressed_size;
        sizes.largest = std::max(sizes.largest, current_.uncompressed_size);
    } while (GoToNextEntry());
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const std::uint64_t limit =
            i + 1 < spans.size() ? std::uint64_t{spans[i + 1].first} : directory_offset_;
        if (spans[i].second > limit) {
            ThrowZipError(kZipBadZipFile);
        }
        spans[i].second = limit;
    }
    data_limits_ = std::move(spans);
    GoToFirstEntry();
    return sizes;
}

void CZipArchiveReader::Close() {
    if (!file_.is_open()) {
        return;
    }
    CloseCurrentEntry();
    file_.Close();
}

}  // namespace kel
