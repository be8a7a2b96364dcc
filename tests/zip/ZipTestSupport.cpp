#include "ZipTestSupport.h"

#include <zlib.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <stdexcept>

namespace kel::test {
namespace {

void Put16(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string& out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

}  // namespace

std::string RawDeflate(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("deflate");
    }
    return out;
}

DeflateBits& DeflateBits::Bits(std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
        if (used_ == 8) {
            bytes_.push_back('\0');
            used_ = 0;
        }
        bytes_.back() = static_cast<char>(bytes_.back() | (((value >> i) & 1) << used_++));
    }
    return *this;
}

DeflateBits& DeflateBits::Code(std::uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) {
        Bits(code >> i, 1);
    }
    return *this;
}

DeflateBits& DeflateBits::DynamicHeader(bool final, const std::vector<int>& code_length_lengths,
                                        const std::vector<int>& literal_lengths,
                                        const std::vector<int>& distance_lengths) {
    static const int kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                   11, 4,  12, 3, 13, 2, 14, 1, 15};
    Bits(final ? 1 : 0, 1).Bits(2, 2);
    Bits(static_cast<std::uint32_t>(literal_lengths.size() - 257), 5);
    Bits(static_cast<std::uint32_t>(distance_lengths.size() - 1), 5);
    Bits(19 - 4, 4);
    for (int symbol : kOrder) {
        Bits(static_cast<std::uint32_t>(code_length_lengths[symbol]), 3);
    }
    const std::vector<std::uint32_t> codes = CanonicalCodes(code_length_lengths);
    for (const auto* lengths : {&literal_lengths, &distance_lengths}) {
        for (int length : *lengths) {
            Code(codes[length], code_length_lengths[length]);
        }
    }
    return *this;
}

std::vector<std::uint32_t> CanonicalCodes(const std::vector<int>& lengths) {
    std::vector<std::uint32_t> codes(lengths.size());
    std::uint32_t next = 0;
    for (int length = 1; length <= 15; ++length) {
        for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
            if (lengths[symbol] == length) {
                codes[symbol] = next++;
            }
        }
        next <<= 1;
    }
    return codes;
}

std::uint32_t Crc32(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string UnicodePathField(const std::string& crc_of, const std::string& unicode) {
    const std::uint32_t crc = Crc32(crc_of);
    const std::size_t size = 5 + unicode.size();
    std::string field = {'\x75', '\x70', static_cast<char>(size), static_cast<char>(size >> 8), 1};
    for (int i = 0; i < 4; ++i) {
        field.push_back(static_cast<char>(crc >> (8 * i)));
    }
    return field + unicode;
}

std::string CraftArchive(const std::vector<CraftEntry>& entries, const CraftOptions& options) {
    std::string archive;
    std::string directory;
    for (const CraftEntry& entry : entries) {
        std::string stored = entry.compressed ? *entry.compressed
                             : entry.deflate  ? RawDeflate(entry.data)
                                              : entry.data;
        stored.resize(stored.size() - std::min(entry.cut_compressed, stored.size()));
        stored += entry.append_compressed;
        const std::uint16_t method =
            entry.method.value_or(entry.deflate || entry.compressed ? 8 : 0);
        const std::uint32_t crc = entry.crc.value_or(Crc32(entry.data));
        const std::uint32_t compressed =
            entry.compressed_size.value_or(static_cast<std::uint32_t>(stored.size()));
        const std::uint32_t uncompressed =
            entry.uncompressed_size.value_or(static_cast<std::uint32_t>(entry.data.size()));
        const auto flags =
            static_cast<std::uint16_t>(entry.flags | (entry.data_descriptor ? 8 : 0));
        const auto offset = static_cast<std::uint32_t>(archive.size());

        Put32(archive, entry.local_signature.value_or(0x04034B50));
        Put16(archive, 20);
        Put16(archive, flags);
        Put16(archive, entry.local_method.value_or(method));
        Put16(archive, entry.dos_time);
        Put16(archive, entry.dos_date);
        const bool zeros = entry.data_descriptor;
        Put32(archive, entry.local_crc.value_or(zeros ? 0 : crc));
        Put32(archive, entry.local_compressed_size.value_or(zeros ? 0 : compressed));
        Put32(archive, entry.local_uncompressed_size.value_or(zeros ? 0 : uncompressed));
        Put16(archive, entry.local_name_length.value_or(entry.name.size()));
        Put16(archive, entry.local_extra.size());
        archive += entry.name;
        archive += entry.local_extra;
        archive += stored;
        if (entry.data_descriptor) {
            Put32(archive, 0x08074B50);
            Put32(archive, crc);
            Put32(archive, compressed);
            Put32(archive, uncompressed);
        }

        Put32(directory, 0x02014B50);
        Put16(directory, 20);
        Put16(directory, 20);
        Put16(directory, flags);
        Put16(directory, method);
        Put16(directory, entry.dos_time);
        Put16(directory, entry.dos_date);
        Put32(directory, crc);
        Put32(directory, compressed);
        Put32(directory, uncompressed);
        Put16(directory, entry.name.size());
        Put16(directory, entry.central_extra.size());
        Put16(directory, entry.comment.size());
        Put16(directory, 0);
        Put16(directory, 0);
        Put32(directory, entry.external_attributes);
        Put32(directory, offset);
        directory += entry.name;
        directory += entry.central_extra;
        directory += entry.comment;
    }
    const auto directory_offset = static_cast<std::uint32_t>(archive.size());
    archive += directory;
    Put32(archive, 0x06054B50);
    Put16(archive, options.disk.value_or(0));
    Put16(archive, 0);
    Put16(archive, entries.size());
    Put16(archive, options.total_entries.value_or(entries.size()));
    Put32(archive, directory.size());
    Put32(archive, options.directory_offset.value_or(directory_offset));
    Put16(archive, options.comment.size());
    archive += options.comment;
    return options.prefix + archive;
}

std::string SampleText(std::size_t size, unsigned seed) {
    static const char* const kWords[] = {"tessel ", "resource ", "package ", "folder ", "media ",
                                         "server ", "window\n",  "archive ", "entry ",  "zlib "};
    std::mt19937 random(seed);
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) {
        text += kWords[random() % 10];
    }
    text.resize(size);
    return text;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

std::int64_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
#ifdef _WIN32
    return _mktime64(&fields);  // mktime of a 32-bit build ends in 2038
#else
    return static_cast<std::int64_t>(std::mktime(&fields));
#endif
}

bool Run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace kel::test
