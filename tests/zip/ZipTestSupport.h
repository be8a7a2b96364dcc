// Byte-crafted zip archives and the real archive writers the zip tests compare against.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kel::test {

// One entry of a crafted archive. The knobs make the records lie in the ways real damage does.
struct CraftEntry {
    std::string name;
    std::string data;  // uncompressed content
    bool deflate = false;
    std::uint16_t dos_time = (10 << 11) | (20 << 5) | (30 / 2);     // 10:20:30
    std::uint16_t dos_date = ((2021 - 1980) << 9) | (6 << 5) | 15;  // 2021-06-15
    std::uint32_t external_attributes = 0;
    bool data_descriptor = false;         // flag bit 3; zeros for CRC and sizes in the local header
    std::uint16_t flags = 0;              // more general purpose bits (bit 11: the name is UTF-8)
    std::optional<std::uint32_t> crc;     // both headers
    std::optional<std::uint16_t> method;  // both headers
    std::optional<std::uint32_t> uncompressed_size;  // both headers
    std::optional<std::uint32_t> compressed_size;    // both headers
    std::optional<std::uint32_t> local_signature;
    std::optional<std::uint16_t> local_method;
    std::optional<std::uint32_t> local_crc;
    std::optional<std::uint32_t> local_compressed_size;
    std::optional<std::uint32_t> local_uncompressed_size;
    std::optional<std::uint16_t> local_name_length;
    std::string local_extra;
    std::string central_extra;
    std::string comment;
    std::size_t cut_compressed = 0;         // bytes dropped from the end of the data (sizes follow)
    std::optional<std::string> compressed;  // written instead of deflating data (method 8)
    std::string append_compressed;          // bytes after the data (sizes follow)
};

struct CraftOptions {
    std::string comment;
    std::string prefix;  // foreign bytes in front; offsets stay relative to the archive
    std::optional<std::uint16_t> disk;
    std::optional<std::uint16_t> total_entries;
    std::optional<std::uint32_t> directory_offset;
};

// Raw deflate streams written bit by bit, for streams that no compressor writes.
class DeflateBits {
  public:
    // count bits of value, least significant first (header fields, extra bits).
    DeflateBits& Bits(std::uint32_t value, int count);
    // A Huffman code of length bits, most significant first.
    DeflateBits& Code(std::uint32_t code, int length);
    // A dynamic block header: all 19 code-length code lengths (by symbol), then every
    // literal/length and distance length coded one by one with that code.
    DeflateBits& DynamicHeader(bool final, const std::vector<int>& code_length_lengths,
                               const std::vector<int>& literal_lengths,
                               const std::vector<int>& distance_lengths);
    // The stream, its last byte padded with zeros.
    std::string Finish() const { return bytes_; }
    std::size_t bit_count() const { return bytes_.size() * 8 - (8 - used_); }

  private:
    std::string bytes_;
    int used_ = 8;  // bits used in the last byte
};

// The canonical Huffman codes of a set of code lengths (0 for a symbol without a code).
std::vector<std::uint32_t> CanonicalCodes(const std::vector<int>& lengths);

std::string CraftArchive(const std::vector<CraftEntry>& entries, const CraftOptions& options = {});
std::string RawDeflate(const std::string& data);
std::uint32_t Crc32(const std::string& data);
// A Unicode path extra field (0x7075, version 1) naming unicode; crc_of: the name whose CRC-32 it
// carries (the header name, when it belongs to it).
std::string UnicodePathField(const std::string& crc_of, const std::string& unicode);
// Text that compresses well but is not trivially repetitive.
std::string SampleText(std::size_t size, unsigned seed = 1);
std::string RandomBytes(std::size_t size, unsigned seed = 1);

// The local calendar time as seconds since 1970, as an archive writer records it.
std::int64_t LocalTime(int year, int month, int day, int hour, int minute, int second);

// Runs a shell command; false when it fails.
bool Run(const std::string& command);
// Quotes a path for the shell.
std::string Quote(const std::string& text);
inline constexpr char kPython[] = "/usr/bin/python3";

}  // namespace kel::test
