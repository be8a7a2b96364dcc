// The ISA-L engine: igzip's raw deflate decoder and its folded CRC-32, several times faster than
// zlib on the same buffers.
//
// igzip accepts Huffman codes that zlib refuses (incomplete ones), and it decodes one block after
// the other within a call. So that it refuses what zlib refuses, every block header is checked
// here, by zlib's rules, before igzip reads it: igzip is told that each block is the final one
// (its BFINAL bit set in igzip's bit buffer), stops at the block's end, and is set going again
// at the next header once that header has passed. A header that begins in one input span and
// ends in a later one is held here until it is complete, so igzip never sees a header that has
// not been checked.
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

#include "KELResMgr/zip/InflateEngine.h"
#include "KELResMgr/zip/ZipArchiveBase.h"

namespace kel {
namespace {

// igzip counts in 32-bit units; larger spans are handed over in parts by the caller's loop.
constexpr std::size_t kMaxSpan = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kWindow = ISAL_DEF_HIST_SIZE;
// The longest dynamic block header: 17 bits, 19 three-bit lengths, then 316 code lengths of at
// most 7 bits each (a repeat code covers at least 3 lengths with at most 14 bits), 286 bytes. A
// held header goes to igzip whole; should it end there in the middle of the header, igzip keeps
// it in a buffer of its own, which must take it.
constexpr std::size_t kMaxHeaderBytes = 288;
static_assert(kMaxHeaderBytes <= ISAL_DEF_MAX_HDR_SIZE);

// The bits of the stream from where igzip stands: those in its bit buffer, then the bytes of two
// spans, least significant bit first.
class BitSource {
  public:
    BitSource(std::uint64_t bits, int bit_count, const unsigned char* first, std::size_t first_size,
              const unsigned char* second, std::size_t second_size)
        : bits_(bit_count < 64 ? bits & ((std::uint64_t{1} << bit_count) - 1) : bits),
          count_(bit_count),
          spans_{{first, first_size}, {second, second_size}} {}

    // Takes count (at most 24) bits into *value, or drops them when value is null; false when
    // the stream has fewer left here.
    bool Take(int count, std::uint32_t* value = nullptr) {
        if (!Need(count)) {
            return false;
        }
        if (value != nullptr) {
            *value = static_cast<std::uint32_t>(bits_ & ((std::uint64_t{1} << count) - 1));
        }
        bits_ >>= count;
        count_ -= count;
        return true;
    }

    // The next count (at most 24) bits without taking them, zeros past what is there;
    // *available receives how many of them are there.
    std::uint32_t Peek(int count, int* available) {
        Need(count);
        *available = std::min(count_, count);
        return static_cast<std::uint32_t>(bits_ & ((std::uint64_t{1} << count) - 1));
    }

    // True when count bits (at most 24) are there, without taking them.
    bool Need(int count) {
        while (count_ < count) {
            Span* span = spans_[0].size > 0 ? &spans_[0] : &spans_[1];
            if (span->size == 0) {
                return false;
            }
            bits_ |= std::uint64_t{*span->data++} << count_;
            --span->size;
            count_ += 8;
        }
        return true;
    }

  private:
    struct Span {
        const unsigned char* data;
        std::size_t size;
    };
    std::uint64_t bits_;
    int count_;
    Span spans_[2];
};

enum class Header { kIncomplete, kInvalid, kValid, kValidFinal };

// Blocks in which igzip can refuse a code before zlib has all its bits (see AwaitsOneBit).
enum class BlockKind { kOther, kFixed, kNoDistanceCode };

// zlib's inflate_table verdict on a set of code lengths: an over-subscribed set is refused, an
// incomplete one too unless it is a literal/length or distance code with a single code of one
// bit, and no code at all passes (decoding a symbol with it fails later).
bool CodeAccepted(const unsigned char* lengths, int count, bool code_length_code) {
    int counts[16] = {};
    for (int i = 0; i < count; ++i) {
        ++counts[lengths[i]];
    }
    int max = 15;
    while (max > 0 && counts[max] == 0) {
        --max;
    }
    if (max == 0) {
        return true;
    }
    int left = 1;
    for (int length = 1; length <= 15; ++length) {
        left = (left << 1) - counts[length];
        if (left < 0) {
            return false;
        }
    }
    return left == 0 || (!code_length_code && max == 1);
}

// The code-length code as zlib decodes it: a symbol is taken once all the bits of its code are
// there. Without any code every symbol is a zero length of one bit.
class CodeLengthCode {
  public:
    // lengths: the 19 code lengths by symbol, a complete code or none.
    explicit CodeLengthCode(const unsigned char* lengths) {
        int counts[8] = {};
        for (int symbol = 0; symbol < 19; ++symbol) {
            ++counts[lengths[symbol]];
        }
        counts[0] = 0;
        std::fill(std::begin(entries_), std::end(entries_), Entry{0, 1});
        // Canonical codes, most significant bit first; the stream holds them reversed, so each
        // code fills every entry whose low bits it is.
        int next[8] = {};
        for (int length = 2; length < 8; ++length) {
            next[length] = (next[length - 1] + counts[length - 1]) << 1;
        }
        for (int symbol = 0; symbol < 19; ++symbol) {
            const int length = lengths[symbol];
            if (length == 0) {
                continue;
            }
            const int code = next[length]++;
            int reversed = 0;
            for (int bit = 0; bit < length; ++bit) {
                reversed |= ((code >> bit) & 1) << (length - 1 - bit);
            }
            for (int index = reversed; index < 128; index += 1 << length) {
                entries_[index] =
                    Entry{static_cast<unsigned char>(symbol), static_cast<unsigned char>(length)};
            }
        }
    }

    // The next symbol and the number of its bits, without taking them; false when the bits are
    // not all there yet.
    bool Peek(BitSource& source, int* symbol, int* bits) const {
        int available = 0;
        // Bits past the end read as zeros: the entry found is the symbol when its code is no
        // longer than the bits that are there, and needs more bits otherwise.
        const Entry entry = entries_[source.Peek(7, &available)];
        *symbol = entry.symbol;
        *bits = entry.length;
        return entry.length <= available;
    }

  private:
    struct Entry {
        unsigned char symbol;
        unsigned char length;
    };
    Entry entries_[128];
};

// Checks the block header at the front of source as zlib reads it, in the same order and with
// the same need of bits, so that a header cut short by the end of the input is incomplete here
// exactly where zlib waits for more. *kind receives the kind of a valid block.
Header CheckHeader(BitSource source, BlockKind* kind) {
    std::uint32_t final_bit = 0;
    std::uint32_t type = 0;
    if (!source.Take(1, &final_bit) || !source.Take(2, &type)) {
        return Header::kIncomplete;
    }
    const Header valid = final_bit != 0 ? Header::kValidFinal : Header::kValid;
    if (type == 3) {
        return Header::kInvalid;
    }
    if (type != 2) {
        *kind = type == 1 ? BlockKind::kFixed : BlockKind::kOther;
        return valid;  // stored and fixed blocks: igzip checks them as zlib does
    }
    std::uint32_t counts = 0;
    if (!source.Take(14, &counts)) {
        return Header::kIncomplete;
    }
    const int literal_count = static_cast<int>(counts & 0x1F) + 257;
    const int distance_count = static_cast<int>((counts >> 5) & 0x1F) + 1;
    const int length_code_count = static_cast<int>(counts >> 10) + 4;
    if (literal_count > 286 || distance_count > 30) {
        return Header::kInvalid;
    }
    static constexpr unsigned char kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                 11, 4,  12, 3, 13, 2, 14, 1, 15};
    unsigned char length_lengths[19] = {};
    for (int i = 0; i < length_code_count; ++i) {
        std::uint32_t length = 0;
        if (!source.Take(3, &length)) {
            return Header::kIncomplete;
        }
        length_lengths[kOrder[i]] = static_cast<unsigned char>(length);
    }
    if (!CodeAccepted(length_lengths, 19, true)) {
        return Header::kInvalid;
    }
    const CodeLengthCode code(length_lengths);
    unsigned char lengths[286 + 30] = {};
    const int total = literal_count + distance_count;
    int have = 0;
    while (have < total) {
        int symbol = 0;
        int bits = 0;
        if (!code.Peek(source, &symbol, &bits)) {
            return Header::kIncomplete;
        }
        if (symbol < 16) {
            source.Take(bits);
            lengths[have++] = static_cast<unsigned char>(symbol);
            continue;
        }
        // A repeat is judged once its extra bits are there too.
        const int extra = symbol == 16 ? 2 : symbol == 17 ? 3 : 7;
        if (!source.Need(bits + extra)) {
            return Header::kIncomplete;
        }
        std::uint32_t repeat = 0;
        source.Take(bits);
        source.Take(extra, &repeat);
        unsigned char length = 0;
        if (symbol == 16) {
            if (have == 0) {
                return Header::kInvalid;
            }
            length = lengths[have - 1];
        }
        const int copies = static_cast<int>(repeat) + (symbol == 18 ? 11 : 3);
        if (have + copies > total) {
            return Header::kInvalid;
        }
        std::fill(lengths + have, lengths + have + copies, length);
        have += copies;
    }
    if (lengths[256] == 0 || !CodeAccepted(lengths, literal_count, false) ||
        !CodeAccepted(lengths + literal_count, distance_count, false)) {
        return Header::kInvalid;
    }
    const bool no_distances = std::all_of(lengths + literal_count, lengths + total,
                                          [](unsigned char length) { return length == 0; });
    *kind = no_distances ? BlockKind::kNoDistanceCode : BlockKind::kOther;
    return valid;
}

// igzip's state and what this engine keeps beside it.
struct IsalStream {
    inflate_state state;
    // A header that began in an earlier input span: its bytes after those in igzip's bit buffer.
    unsigned char held[kMaxHeaderBytes];
    std::size_t held_size = 0;
    std::size_t held_used = 0;           // handed to igzip
    bool at_header = true;               // igzip stands before a block header not yet checked
    bool final_block = false;            // the block igzip decodes is the stream's last
    BlockKind kind = BlockKind::kOther;  // of the block igzip decodes
    bool awaiting_bit = false;  // refused by igzip one bit before zlib would (AwaitsOneBit)
};

// igzip refuses two codes from bits it has not got, read as zeros: the fixed literal/length
// codes 286 and 287 (8 bits) from their first 7 bits, and a distance where the block has no
// distance code from none. Every continuation is invalid, but zlib waits for the missing bit
// first, and fails for want of input when the stream ends there. True when igzip's refusal is
// such a one: the bits left from where igzip stopped (remaining) are one short.
bool AwaitsOneBit(const IsalStream& stream, std::size_t remaining) {
    if (stream.kind == BlockKind::kFixed) {
        return remaining == 7 && (stream.state.read_in & 0x7F) == 0x63;  // 1100011, first lowest
    }
    return stream.kind == BlockKind::kNoDistanceCode && remaining == 0;
}

// Delivers what igzip had decoded before a refusal that waits for one more bit.
std::size_t DeliverDecoded(inflate_state& state, unsigned char* output, std::size_t size) {
    const auto count = std::min<std::size_t>(
        size, static_cast<std::size_t>(state.tmp_out_valid - state.tmp_out_processed));
    if (count == 0) {
        return 0;  // output may be null when no room was given
    }
    std::memcpy(output, state.tmp_out_buffer + state.tmp_out_processed, count);
    state.tmp_out_processed += static_cast<std::int32_t>(count);
    return count;
}

// Makes igzip take the block whose header it is about to read for the last one. The header's
// first bit is the lowest in igzip's bit buffer; an empty buffer gets the header's first byte.
void MarkFinal(IsalStream& stream, const unsigned char** input, std::size_t* input_size) {
    inflate_state& state = stream.state;
    if (state.read_in_length == 0) {
        if (stream.held_used < stream.held_size) {
            state.read_in = stream.held[stream.held_used++];
        } else {
            state.read_in = **input;
            ++*input;
            --*input_size;
        }
        state.read_in_length = 8;
    }
    state.read_in |= 1;
}

// igzip has finished a block that it took for the last one and delivered all of its output; it
// is set back to read the next header. It kept the window (the last 32 KB of output) only while
// the stream went on, so the window is rebuilt as igzip itself keeps it between calls: at the
// front of its output buffer, all of it delivered. The call's output was copied from that buffer
// (copied bytes) and then, perhaps, written directly (the rest).
void ResumeAfterBlock(inflate_state& state, const unsigned char* output, std::size_t made,
                      std::size_t copied) {
    unsigned char* window = state.tmp_out_buffer;
    const std::size_t direct = made - copied;
    const auto buffered = static_cast<std::size_t>(state.tmp_out_valid);
    std::size_t size = 0;
    if (direct >= kWindow) {
        std::memcpy(window, output + made - kWindow, kWindow);
        size = kWindow;
    } else {
        const std::size_t keep = std::min(buffered, kWindow - direct);
        std::memmove(window, window + buffered - keep, keep);
        if (direct > 0) {  // else the call may have had no output buffer at all
            std::memcpy(window + keep, output + made - direct, direct);
        }
        size = keep + direct;
    }
    state.tmp_out_valid = static_cast<std::int32_t>(size);
    state.tmp_out_processed = static_cast<std::int32_t>(size);
    state.block_state = ISAL_BLOCK_NEW_HDR;
    state.bfinal = 0;
}

}  // namespace

InflateEngine::~InflateEngine() {
    // The state holds no other resource.
    if (state_ != nullptr) {
        ZipFree(opaque_, state_);
    }
}

int InflateEngine::Open(void* allocation_opaque) noexcept {
    void* block = ZipAlloc(allocation_opaque, 1, sizeof(IsalStream));
    if (block == nullptr) {
        return kInflateMemError;
    }
    auto* stream = new (block) IsalStream;
    isal_inflate_init(&stream->state);
    stream->state.crc_flag = ISAL_DEFLATE;  // raw deflate; the reader computes the CRC itself
    stream->state.hist_bits = 0;            // the full 32 KB window
    state_ = stream;
    opaque_ = allocation_opaque;
    return kInflateOk;
}

int InflateEngine::Decode(const unsigned char** input, std::size_t* input_size,
                          unsigned char* output, std::size_t output_size,
                          std::size_t* produced) noexcept {
    IsalStream& stream = *static_cast<IsalStream*>(state_);
    inflate_state& state = stream.state;
    *produced = 0;
    if (stream.awaiting_bit) {
        // More input is the bit zlib waited for: the code is invalid whatever it holds.
        if (*input_size > 0) {
            return kInflateDataError;
        }
        *produced = DeliverDecoded(state, output, output_size);
        return *produced > 0 ? kInflateOk : kInflateNoProgress;
    }
    bool moved = false;  // input taken or a block ended: progress even without output
    for (;;) {
        if (stream.at_header) {
            const std::size_t waiting = stream.held_size - stream.held_used;
            const Header header =
                CheckHeader(BitSource(state.read_in, state.read_in_length,
                                      stream.held + stream.held_used, waiting, *input, *input_size),
                            &stream.kind);
            if (header == Header::kInvalid) {
                return kInflateDataError;
            }
            if (header == Header::kIncomplete) {
                // Kept until the rest of the header comes. It fits: 286 bytes hold any header.
                if (waiting + *input_size > kMaxHeaderBytes) {
                    return kInflateDataError;  // cannot happen
                }
                std::memmove(stream.held, stream.held + stream.held_used, waiting);
                stream.held_used = 0;
                stream.held_size = waiting;
                // A reader with no input left passes a null pointer with a size of 0.
                if (*input_size > 0) {
                    std::memcpy(stream.held + waiting, *input, *input_size);
                    stream.held_size += *input_size;
                    moved = true;
                    *input += *input_size;
                    *input_size = 0;
                }
                break;
            }
            stream.final_block = header == Header::kValidFinal;
            MarkFinal(stream, input, input_size);
            stream.at_header = false;
            moved = true;
        }
        // A held header goes to igzip before the input that follows it.
        const bool from_held = stream.held_used < stream.held_size;
        const auto in_span = static_cast<std::uint32_t>(
            from_held ? stream.held_size - stream.held_used : std::min(*input_size, kMaxSpan));
        state.next_in =
            from_held ? stream.held + stream.held_used : const_cast<unsigned char*>(*input);
        state.avail_in = in_span;
        unsigned char* start = output + *produced;
        state.next_out = start;
        state.avail_out = static_cast<std::uint32_t>(std::min(output_size - *produced, kMaxSpan));
        const auto processed_before = static_cast<std::size_t>(state.tmp_out_processed);
        const int result = isal_inflate(&state);
        const std::uint32_t used = in_span - state.avail_in;
        if (from_held) {
            stream.held_used += used;
        } else {
            *input += used;
            *input_size -= used;
        }
        const auto made = static_cast<std::size_t>(state.next_out - start);
        *produced += made;
        moved = moved || used > 0;
        // Every failure of igzip on raw deflate data is invalid data, as zlib's Z_DATA_ERROR,
        // except where zlib would still wait for a bit.
        const std::size_t remaining = static_cast<std::size_t>(state.read_in_length) +
                                      8 * (stream.held_size - stream.held_used + *input_size);
        if (result == ISAL_INVALID_SYMBOL && AwaitsOneBit(stream, remaining)) {
            stream.awaiting_bit = true;
            return kInflateOk;
        }
        if (result < 0) {
            return kInflateDataError;
        }
        if (state.block_state == ISAL_BLOCK_FINISH) {
            if (stream.final_block) {
                return kInflateStreamEnd;  // what follows is never decoded
            }
            ResumeAfterBlock(state, start, made,
                             static_cast<std::size_t>(state.tmp_out_processed) - processed_before);
            stream.at_header = true;
            moved = true;
            continue;
        }
        // igzip stopped for want of input: the held bytes are used up, the caller's come next.
        if (from_held && stream.held_used == stream.held_size) {
            stream.held_size = 0;
            stream.held_used = 0;
            if (*input_size > 0) {
                continue;
            }
        }
        break;
    }
    return (moved || *produced > 0) ? kInflateOk : kInflateNoProgress;
}

std::uint32_t ZipCrc32(std::uint32_t crc, const void* data, std::size_t size) noexcept {
    if (size == 0) {
        return crc;  // data may be null
    }
    return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), size);
}

const char* InflateEngineName() noexcept {
    return "isal";
}

}  // namespace kel
