// One entry's deflate stream through one inflate engine, read as the zip reader reads it. The
// differential target links both engines: InflateSide.cpp is compiled once per engine, each time
// with that engine's names (see fuzz/CMakeLists.txt).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kel::fuzz {

struct InflatePlan {
    const unsigned char* data = nullptr;  // the entry's compressed bytes
    std::size_t compressed_size = 0;
    std::uint64_t uncompressed_size = 0;  // declared
    std::size_t first_chunk = 0;          // input that came with the local header
    std::size_t chunk = 0;                // then input in chunks of this size
    std::size_t read_size = 0;            // the caller's buffer
};

struct InflateVerdict {
    int result = 0;         // kInflateStreamEnd, or the result that ended the reads
    std::uint32_t crc = 0;  // ZipCrc32 of the output
};

// Each run appends every byte delivered to output (kept by the caller from run to run: large
// blocks allocated afresh at every run make the sanitizers' allocator fault in new pages).
InflateVerdict RunIsal(const InflatePlan& plan, std::string& output);
InflateVerdict RunZlib(const InflatePlan& plan, std::string& output);

}  // namespace kel::fuzz
