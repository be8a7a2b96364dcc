// Packages are written with zlib's deflate and a small zip writer of our own: zlib is there on
// every platform the tool is built for (libzip is not), and a package needs only the plainest
// archive: deflated files, stored folders, no encryption, no zip64. The archive is written
// straight behind the 4-byte header; its offsets count from the byte after the header.
#include "tools/kelres/package_writer.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <system_error>
#include <vector>

#include "platform/file.h"
#include "tools/kelres/command_line.h"
#include "tools/kelres/local_time.h"
#include "tools/kelres/staged_file.h"

namespace kel::tool {
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kReadOnlyAttribute = 0x01;  // in the low byte, as the library reads it
constexpr std::uint32_t kFolderAttribute = 0x10;
constexpr std::uint32_t kUnixFolderType = 0040000;
constexpr std::uint32_t kUnixFileType = 0100000;
constexpr std::uint16_t kMadeByUnix = 3 << 8;  // the high 16 bits of the attributes: a Unix mode
constexpr std::uint16_t kVersionNeeded = 20;   // deflate
constexpr std::uint16_t kDeflated = 8;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kUtf8Names = 1 << 11;
constexpr std::uint64_t kZipLimit = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kChunk = 64 * 1024;

struct Entry {
    std::string name;  // relative, '/' between levels, a trailing '/' for folders
    fs::path path;
    bool folder = false;
    std::uint32_t mode = 0;  // Unix type and permission bits
    bool read_only = false;
    std::time_t mtime = 0;
    std::uint64_t size = 0;
    // Filled while writing.
    std::uint32_t crc = 0;
    std::uint64_t packed = 0;
    std::uint64_t offset = 0;
};

std::string DisplayPath(const fs::path& path) {
    return path.string();
}

std::time_t ModificationTime(const fs::path& path) {
    std::error_code ec;
    const auto written = fs::last_write_time(path, ec);
    if (ec) {
        return 0;
    }
    const auto system = std::chrono::file_clock::to_sys(written);
    return std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(system));
}

Entry Describe(const fs::path& folder, const fs::path& path) {
    Entry entry;
    entry.path = path;
    const std::u8string name = fs::relative(path, folder).generic_u8string();
    entry.name.assign(reinterpret_cast<const char*>(name.data()), name.size());
    if (entry.name.find('\\') != std::string::npos) {
        throw CommandError("cannot pack " + DisplayPath(path) +
                           ": its name holds a backslash, which the library reads as a "
                           "folder separator");
    }
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec) {
        throw CommandError("cannot pack " + DisplayPath(path) + ": " + ec.message());
    }
    const auto perms = static_cast<std::uint32_t>(status.permissions()) & 07777;
    entry.read_only = (status.permissions() & fs::perms::owner_write) == fs::perms::none;
    entry.mtime = ModificationTime(path);
    if (fs::is_directory(status)) {
        entry.folder = true;
        entry.name += '/';
        entry.mode = kUnixFolderType | perms;
    } else if (fs::is_regular_file(status)) {
        entry.mode = kUnixFileType | perms;
        entry.size = fs::file_size(path, ec);
        if (ec) {
            throw CommandError("cannot pack " + DisplayPath(path) + ": " + ec.message());
        }
    } else {
        throw CommandError("cannot pack " + DisplayPath(path) +
                           ": only files and folders can be packed");
    }
    return entry;
}

// Everything below folder, sorted by name so that the same folder gives the same package.
std::vector<Entry> CollectEntries(const fs::path& folder, const fs::path& skip) {
    std::vector<Entry> entries;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        std::error_code same_ec;
        if (fs::equivalent(it->path(), skip, same_ec)) {
            continue;  // an earlier package of this folder written into it
        }
        entries.push_back(Describe(folder, it->path()));
    }
    if (ec) {
        throw CommandError("cannot read the folder " + DisplayPath(folder) + ": " + ec.message());
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return entries;
}

// Little-endian fields, as zip stores them.
void Put16(std::string& out, std::uint32_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void Put32(std::string& out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

// The time as zip keeps it: local time, two-second steps, 1980 at the earliest.
std::pair<std::uint16_t, std::uint16_t> DosDateTime(std::time_t time) {
    std::tm local{};
    if (!ToLocalTime(time, &local) || local.tm_year < 80) {
        return {(0 << 9) | (1 << 5) | 1, 0};
    }
    const auto date = static_cast<std::uint16_t>(((local.tm_year - 80) << 9) |
                                                 ((local.tm_mon + 1) << 5) | local.tm_mday);
    const auto clock = static_cast<std::uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) |
                                                  (local.tm_sec / 2));
    return {date, clock};
}

// Names are UTF-8 on every platform, marked as such when they are not plain ASCII: an 8-bit name
// in the packer's code page would read otherwise on a client with another one.
std::uint16_t Flags(const std::string& name) {
    const bool plain = std::all_of(name.begin(), name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return plain ? 0 : kUtf8Names;
}

std::uint32_t ExternalAttributes(const Entry& entry) {
    return entry.mode << 16 | (entry.read_only ? kReadOnlyAttribute : 0) |
           (entry.folder ? kFolderAttribute : 0);
}

// The fields that the local header and the central directory share, from "version needed" on.
std::string CommonFields(const Entry& entry) {
    const auto [date, clock] = DosDateTime(entry.mtime);
    std::string out;
    Put16(out, kVersionNeeded);
    Put16(out, Flags(entry.name));
    Put16(out, entry.folder ? kStored : kDeflated);
    Put16(out, clock);
    Put16(out, date);
    Put32(out, entry.crc);
    Put32(out, static_cast<std::uint32_t>(entry.packed));
    Put32(out, static_cast<std::uint32_t>(entry.size));
    Put16(out, static_cast<std::uint32_t>(entry.name.size()));
    Put16(out, 0);  // no extra field
    return out;
}

std::string LocalHeader(const Entry& entry) {
    std::string out;
    Put32(out, 0x04034b50);
    return out + CommonFields(entry) + entry.name;
}

// Owns a deflate stream; zlib keeps a pointer to the stream in its state, so it stays put.
class Deflater {
  public:
    Deflater() {
        if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                         Z_DEFAULT_STRATEGY) != Z_OK) {
            throw CommandError("cannot start compressing: out of memory");
        }
    }
    ~Deflater() { deflateEnd(&stream_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Deflates size bytes (finish: the last of them) and writes what comes out; returns its size.
    std::uint64_t Feed(const char* data, std::size_t size, bool finish, platform::File& out) {
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream_.avail_in = static_cast<uInt>(size);
        std::uint64_t written = 0;
        int result = Z_OK;
        do {
            stream_.next_out = buffer_.data();
            stream_.avail_out = static_cast<uInt>(buffer_.size());
            result = deflate(&stream_, finish ? Z_FINISH : Z_NO_FLUSH);
            if (result == Z_STREAM_ERROR) {
                throw CommandError("cannot compress: zlib stream error");
            }
            const std::size_t got = buffer_.size() - stream_.avail_out;
            out.Write(buffer_.data(), got);
            written += got;
        } while (stream_.avail_out == 0 || (finish && result != Z_STREAM_END));
        return written;
    }

  private:
    z_stream stream_{};
    std::vector<Bytef> buffer_ = std::vector<Bytef>(kChunk);
};

class ArchiveWriter {
  public:
    ArchiveWriter(platform::File& out, std::uint64_t base) : out_(out), base_(base) {}

    void Add(Entry& entry) {
        entry.offset = position_;
        const std::string header = LocalHeader(entry);
        Emit(header);
        if (!entry.folder) {
            WriteDeflated(entry);
            // Sizes and CRC are known only now: back into the header, then on at the end.
            out_.Seek(base_ + entry.offset);
            Emit(LocalHeader(entry));
            position_ -= header.size();
            out_.Seek(base_ + position_);
        }
    }

    void Finish(const std::vector<Entry>& entries) {
        if (entries.size() > 0xFFFF) {
            throw CommandError("cannot pack more than 65535 files and folders into one package");
        }
        const std::uint64_t directory = position_;
        for (const Entry& entry : entries) {
            std::string record;
            Put32(record, 0x02014b50);
            Put16(record, kMadeByUnix | kVersionNeeded);
            record += CommonFields(entry);
            Put16(record, 0);  // comment
            Put16(record, 0);  // disk
            Put16(record, 0);  // internal attributes
            Put32(record, ExternalAttributes(entry));
            Put32(record, static_cast<std::uint32_t>(entry.offset));
            Emit(record + entry.name);
        }
        CheckLimit(position_);
        std::string end;
        Put32(end, 0x06054b50);
        Put16(end, 0);
        Put16(end, 0);
        Put16(end, static_cast<std::uint32_t>(entries.size()));
        Put16(end, static_cast<std::uint32_t>(entries.size()));
        Put32(end, static_cast<std::uint32_t>(position_ - directory));
        Put32(end, static_cast<std::uint32_t>(directory));
        Put16(end, 0);  // comment
        Emit(end);
    }

  private:
    void Emit(const std::string& bytes) {
        out_.Write(bytes.data(), bytes.size());
        position_ += bytes.size();
    }

    static void CheckLimit(std::uint64_t value) {
        if (value > kZipLimit) {
            throw CommandError("cannot pack: a package holds at most 4 GiB");
        }
    }

    void WriteDeflated(Entry& entry) {
        platform::File in = platform::File::Open(entry.path.string(), platform::File::Mode::kRead);
        Deflater deflater;
        std::vector<char> chunk(kChunk);
        std::uint64_t read = 0;
        uLong crc = crc32(0, Z_NULL, 0);
        for (;;) {
            const std::size_t got = in.Read(chunk.data(), chunk.size());
            read += got;
            crc = crc32(crc, reinterpret_cast<const Bytef*>(chunk.data()), static_cast<uInt>(got));
            entry.packed += deflater.Feed(chunk.data(), got, got == 0, out_);
            if (got == 0) {
                break;
            }
        }
        entry.size = read;  // what was read counts, should the file have changed meanwhile
        entry.crc = static_cast<std::uint32_t>(crc);
        position_ += entry.packed;
        CheckLimit(entry.size);
        CheckLimit(position_);
    }

    platform::File& out_;
    const std::uint64_t base_;    // where the archive starts in the file
    std::uint64_t position_ = 0;  // in the archive
};

}  // namespace

PackSummary WritePackage(const std::string& folder, const std::string& package,
                         const std::function<void(const std::string& written)>& approve) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        throw CommandError("cannot pack " + folder + ": no such folder");
    }
    std::vector<Entry> entries = CollectEntries(folder, package);
    PackSummary summary;
    for (const Entry& entry : entries) {
        if (entry.folder) {
            ++summary.folders;
        } else {
            ++summary.files;
            summary.bytes += entry.size;
        }
    }
    if (summary.files == 0) {
        throw CommandError("nothing to pack: " + folder + " holds no files");
    }

    PartFile staged = StageBeside(package);
    try {
        platform::File& out = staged.file();
        out.Write(kPackageSignature, sizeof kPackageSignature);
        out.Write(&kPackageVersion, 1);
        ArchiveWriter archive(out, kPackageHeaderSize);
        for (Entry& entry : entries) {
            archive.Add(entry);
        }
        archive.Finish(entries);
        out.Flush();
        staged.Finish();  // the check reads the whole file
    } catch (const platform::FileError& error) {
        throw CommandError(std::string("cannot pack: ") + error.what());
    }
    approve(staged.path());
    Commit(staged, package);
    return summary;
}

bool IsPackage(const std::string& path) {
    platform::File file = platform::File::TryOpen(path, platform::File::Mode::kRead);
    char header[kPackageHeaderSize];
    try {
        return file.is_open() && file.Read(header, sizeof header) == sizeof header &&
               std::memcmp(header, kPackageSignature, sizeof kPackageSignature) == 0 &&
               header[3] == kPackageVersion;
    } catch (const platform::FileError&) {
        return false;
    }
}

}  // namespace kel::tool
