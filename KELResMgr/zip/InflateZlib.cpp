// The zlib engine: the portable one, used where ISA-L is not available.
#include <zlib.h>

#include <limits>
#include <new>

#include "KELResMgr/zip/InflateEngine.h"
#include "KELResMgr/zip/ZipArchiveBase.h"

namespace kel {
namespace {

// Raw deflate data: a 32 KB window and neither a zlib header nor a trailer.
constexpr int kRawDeflateWindowBits = -15;
// zlib counts in 32-bit units; larger spans are handed over in parts by the caller's loop.
constexpr std::size_t kMaxSpan = std::numeric_limits<uInt>::max();

}  // namespace

InflateEngine::~InflateEngine() {
    if (state_ != nullptr) {
        auto* stream = static_cast<z_stream*>(state_);
        inflateEnd(stream);
        ZipFree(opaque_, stream);
    }
}

int InflateEngine::Open(void* allocation_opaque) noexcept {
    void* block = ZipAlloc(allocation_opaque, 1, sizeof(z_stream));
    if (block == nullptr) {
        return Z_MEM_ERROR;
    }
    auto* stream = new (block) z_stream{};
    stream->zalloc = ZipAlloc;
    stream->zfree = ZipFree;
    stream->opaque = allocation_opaque;
    const int result = inflateInit2_(stream, kRawDeflateWindowBits, ZLIB_VERSION,
                                     static_cast<int>(sizeof(z_stream)));
    if (result != Z_OK) {
        ZipFree(allocation_opaque, block);
        return result;
    }
    state_ = stream;
    opaque_ = allocation_opaque;
    return Z_OK;
}

int InflateEngine::Decode(const unsigned char** input, std::size_t* input_size,
                          unsigned char* output, std::size_t output_size,
                          std::size_t* produced) noexcept {
    auto* stream = static_cast<z_stream*>(state_);
    const auto in_span = static_cast<uInt>(std::min(*input_size, kMaxSpan));
    stream->next_in = const_cast<unsigned char*>(*input);
    stream->avail_in = in_span;
    stream->next_out = output;
    stream->avail_out = static_cast<uInt>(std::min(output_size, kMaxSpan));
    const uLong total_before = stream->total_out;
    // Without input left inflate makes no progress and answers Z_BUF_ERROR: it never waits for
    // input that cannot come.
    const int result = inflate(stream, Z_SYNC_FLUSH);
    *produced = static_cast<std::size_t>(stream->total_out - total_before);
    *input_size -= in_span - stream->avail_in;
    *input = stream->next_in;  // zlib leaves the bytes after the final block in the input
    return result;
}

std::uint32_t ZipCrc32(std::uint32_t crc, const void* data, std::size_t size) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const auto part = static_cast<uInt>(std::min(size, kMaxSpan));
        crc = static_cast<std::uint32_t>(crc32(crc, bytes, part));
        bytes += part;
        size -= part;
    }
    return crc;
}

const char* InflateEngineName() noexcept {
    return "zlib";
}

}  // namespace kel
