// The ISA-L engine: igzip's raw deflate decoder and its folded CRC-32, several times faster than
// zlib on the same buffers.
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <limits>
#include <new>

#include "KELResMgr/zip/InflateEngine.h"
#include "KELResMgr/zip/ZipArchiveBase.h"

namespace kel {
namespace {

// igzip counts in 32-bit units; larger spans are handed over in parts by the caller's loop.
constexpr std::size_t kMaxSpan = std::numeric_limits<std::uint32_t>::max();

}  // namespace

InflateEngine::~InflateEngine() {
    // The state holds no other resource.
    if (state_ != nullptr) {
        ZipFree(opaque_, state_);
    }
}

int InflateEngine::Init(void* allocation_opaque) noexcept {
    void* block = ZipAlloc(allocation_opaque, 1, sizeof(inflate_state));
    if (block == nullptr) {
        return kInflateMemError;
    }
    auto* state = new (block) inflate_state;
    isal_inflate_init(state);
    state->crc_flag = ISAL_DEFLATE;  // raw deflate; the reader computes the CRC itself
    state->hist_bits = 0;            // the full 32 KB window
    state_ = state;
    opaque_ = allocation_opaque;
    return kInflateOk;
}

int InflateEngine::Inflate(const unsigned char** input, std::size_t* input_size,
                           unsigned char* output, std::size_t output_size,
                           std::size_t* produced) noexcept {
    auto* state = static_cast<inflate_state*>(state_);
    if (state->block_state == ISAL_BLOCK_FINISH) {
        *produced = 0;
        return kInflateStreamEnd;
    }
    const auto in_span = static_cast<std::uint32_t>(std::min(*input_size, kMaxSpan));
    state->next_in = const_cast<unsigned char*>(*input);
    state->avail_in = in_span;
    state->next_out = output;
    state->avail_out = static_cast<std::uint32_t>(std::min(output_size, kMaxSpan));
    const int result = isal_inflate(state);
    const std::uint32_t used = in_span - state->avail_in;
    *produced = static_cast<std::size_t>(state->next_out - output);
    *input_size -= used;
    *input = state->next_in;
    // Every failure of igzip on raw deflate data is invalid data, as zlib's Z_DATA_ERROR.
    if (result < 0) {
        return kInflateDataError;
    }
    if (state->block_state == ISAL_BLOCK_FINISH) {
        return kInflateStreamEnd;
    }
    return (used == 0 && *produced == 0) ? kInflateNoProgress : kInflateOk;
}

std::uint32_t ZipCrc32(std::uint32_t crc, const void* data, std::size_t size) noexcept {
    return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), size);
}

const char* InflateEngineName() noexcept {
    return "isal";
}

}  // namespace kel
