// The ISA-L and the zlib engine on the same deflate stream, read the same way: aborts when they
// differ in verdict (the stream accepted, or the result that refused it) or in the bytes of a
// stream both accept.
//
// Input: 7 bytes of settings, then the stream.
//   [0] compressed size: the stream's natural end (found with zlib) and a change of -32..31
//       (values 192..255; below 192 no change), within the stream's bytes
//   [1] uncompressed size: the natural output size and a change, as [0]
//   [2,3] bytes that come with the local header (little-endian; 0: all)
//   [4] later input chunks: 0 the reader's buffer size, else that many bytes
//   [5,6] read size: 0 an extractor's chunk (256 KiB), below 0x8000 that many bytes, else
//         (value - 0x7FFF) * 64
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "InflateSide.h"
#include "KELResMgr/zip/InflateEngine.h"
#include "KELResMgr/zip/ZipArchiveReader.h"

namespace {

constexpr std::size_t kSettings = 7;
constexpr std::size_t kProbeLimit = 1 << 20;  // natural output sizes are counted up to this

struct NaturalEnd {
    std::size_t compressed = 0;
    std::size_t uncompressed = 0;
};

// Where zlib, given everything at once, ends the stream (or fails, or stops at kProbeLimit).
NaturalEnd Probe(const unsigned char* data, std::size_t size) {
    NaturalEnd end{size, 0};
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) {
        std::abort();
    }
    static std::vector<unsigned char> out(64 * 1024);
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = static_cast<uInt>(size);
    int result = Z_OK;
    while (result == Z_OK && end.uncompressed < kProbeLimit) {
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        result = inflate(&stream, Z_NO_FLUSH);
        end.uncompressed += out.size() - stream.avail_out;
    }
    if (result == Z_STREAM_END) {
        end.compressed = size - stream.avail_in;
    }
    inflateEnd(&stream);
    return end;
}

std::int64_t Change(std::uint8_t value) {
    return value < 192 ? 0 : static_cast<std::int64_t>(value) - 224;
}

const char* Name(int result) {
    switch (result) {
        case kel::kInflateStreamEnd:
            return "accepted";
        case kel::kInflateDataError:
            return "data error";
        case kel::kInflateNoProgress:
            return "buffer error";
        case kel::kInflateMemError:
            return "memory error";
        default:
            return "other";
    }
}

}  // namespace

// The engines' states (igzip's about 100 KB) are allocated afresh for every input; with the
// address sanitizer's default quarantine each allocation faults in new pages, which makes a run
// some twenty times slower.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=1";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kSettings) {
        return 0;
    }
    const unsigned char* stream = data + kSettings;
    const std::size_t stream_size = size - kSettings;
    const NaturalEnd end = Probe(stream, stream_size);
    kel::fuzz::InflatePlan plan;
    plan.data = stream;
    plan.compressed_size = static_cast<std::size_t>(
        std::clamp<std::int64_t>(static_cast<std::int64_t>(end.compressed) + Change(data[0]), 0,
                                 static_cast<std::int64_t>(stream_size)));
    plan.uncompressed_size = static_cast<std::uint64_t>(
        std::max<std::int64_t>(static_cast<std::int64_t>(end.uncompressed) + Change(data[1]), 0));
    const std::size_t first = data[2] | (data[3] << 8);
    plan.first_chunk = first == 0 ? plan.compressed_size : first;
    plan.chunk = data[4] == 0 ? kel::CZipArchiveReader::kInputBufferSize : data[4];
    const std::size_t read = data[5] | (data[6] << 8);
    plan.read_size = read == 0 ? 256 * 1024 : read < 0x8000 ? read : (read - 0x7FFF) * 64;

    static std::string isal_output;
    static std::string zlib_output;
    isal_output.clear();
    zlib_output.clear();
    const kel::fuzz::InflateVerdict isal = kel::fuzz::RunIsal(plan, isal_output);
    const kel::fuzz::InflateVerdict zlib = kel::fuzz::RunZlib(plan, zlib_output);
    const bool both_accept = isal.result == kel::kInflateStreamEnd;
    if (isal.result != zlib.result ||
        (both_accept && (isal_output != zlib_output || isal.crc != zlib.crc))) {
        std::fprintf(stderr,
                     "engines differ: isal %s (%zu bytes), zlib %s (%zu bytes); declared %zu "
                     "compressed, %llu uncompressed; chunks %zu then %zu, reads of %zu\n",
                     Name(isal.result), isal_output.size(), Name(zlib.result), zlib_output.size(),
                     plan.compressed_size, static_cast<unsigned long long>(plan.uncompressed_size),
                     plan.first_chunk, plan.chunk, plan.read_size);
        std::abort();
    }
    return 0;
}
