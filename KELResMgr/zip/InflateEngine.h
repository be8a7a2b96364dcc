// The raw deflate decoder and the CRC-32 behind the zip reader. Two engines implement this
// interface, chosen when the library is built (KELRES_INFLATE): ISA-L's igzip where it is
// available, zlib everywhere else. Both answer in zlib's result codes and give one verdict on
// every stream, so an archive unpacks, or fails with the same CZipException cause, whichever
// engine decodes it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace kel {

// Results of InflateEngine::Inflate, with zlib's values.
inline constexpr int kInflateOk = 0;           // progress was made
inline constexpr int kInflateStreamEnd = 1;    // the stream ended at exactly the declared size
inline constexpr int kInflateNeedDict = 2;     // (zlib only; the reader counts it as progress)
inline constexpr int kInflateDataError = -3;   // invalid deflate data, or not the declared size
inline constexpr int kInflateMemError = -4;    // the decoder's state could not be allocated
inline constexpr int kInflateNoProgress = -5;  // no input left to go on with, and no end yet

// One entry's raw deflate stream (32 KB window, no header, no trailer), held to the entry's
// declared uncompressed size: the final block must end after exactly that many bytes, within the
// declared compressed size. Output beyond the declared size, or a final block that ends before
// it, is invalid data (kInflateDataError) on every engine; running out of input before the end is
// kInflateNoProgress. What follows the final block inside the declared compressed size is never
// decoded (writers pad there, some put the data descriptor there), and an empty entry that
// declares no compressed bytes needs no stream at all: both unpack as every earlier version did.
// The engines refuse the same blocks (zlib's rules: a Huffman code must be complete, except a
// distance code or a literal/length code of a single one-bit code).
//
// The state is allocated through ZipAlloc with the opaque pointer given to Init, so an
// interrupted stream is released with the allocation list it was recorded in. Neither copied nor
// moved: zlib's state points back at it. Used by one thread at a time.
class InflateEngine {
  public:
    InflateEngine() = default;
    ~InflateEngine();
    InflateEngine(const InflateEngine&) = delete;
    InflateEngine& operator=(const InflateEngine&) = delete;

    // kInflateOk, or an error result (the stream then stays uninitialised).
    int Init(void* allocation_opaque, std::uint64_t compressed_size,
             std::uint64_t uncompressed_size) noexcept {
        compressed_left_ = compressed_size;
        uncompressed_left_ = uncompressed_size;
        ended_ = compressed_size == 0 && uncompressed_size == 0;  // nothing to decode
        return Open(allocation_opaque);
    }

    // Decodes from [*input, *input + *input_size) into output, advancing *input and *input_size
    // past what was used; *produced receives the number of bytes written. Never writes more than
    // output_size bytes, nor beyond the declared size. Once the declared size is produced, every
    // call (any output_size) only looks for the stream's end, writing nothing, until it answers
    // kInflateStreamEnd or an error: the caller keeps handing over input until then.
    int Inflate(const unsigned char** input, std::size_t* input_size, unsigned char* output,
                std::size_t output_size, std::size_t* produced) noexcept {
        *produced = 0;
        if (ended_) {
            return kInflateStreamEnd;
        }
        // Past the declared size the decoder writes into one spare byte: any byte is too many.
        unsigned char spare = 0;
        const bool past_declared = uncompressed_left_ == 0;
        const std::size_t space = past_declared ? 1
                                                : static_cast<std::size_t>(std::min<std::uint64_t>(
                                                      output_size, uncompressed_left_));
        if (space == 0 || *input_size > compressed_left_) {
            return kInflateNoProgress;  // nowhere to write, or input beyond the entry: misuse
        }
        const std::size_t offered = *input_size;
        std::size_t made = 0;
        const int result = Decode(input, input_size, past_declared ? &spare : output, space, &made);
        compressed_left_ -= offered - *input_size;
        if (past_declared && made != 0) {
            return kInflateDataError;  // the stream goes on beyond the declared size
        }
        *produced = made;
        uncompressed_left_ -= made;
        if (result != kInflateStreamEnd) {
            return result;
        }
        if (uncompressed_left_ != 0) {
            return kInflateDataError;  // ended short of the declared size
        }
        ended_ = true;
        return kInflateStreamEnd;
    }

  private:
    // The engine's own part, defined by each engine. Open allocates the decoder's state. Decode
    // works as Inflate does without the declared sizes: it answers kInflateStreamEnd when the
    // final block has been decoded and delivered, and never decodes what follows it.
    int Open(void* allocation_opaque) noexcept;
    int Decode(const unsigned char** input, std::size_t* input_size, unsigned char* output,
               std::size_t output_size, std::size_t* produced) noexcept;

    void* state_ = nullptr;
    void* opaque_ = nullptr;
    std::uint64_t compressed_left_ = 0;    // declared compressed bytes not yet taken
    std::uint64_t uncompressed_left_ = 0;  // declared bytes not yet produced
    bool ended_ = false;                   // kInflateStreamEnd was answered
};

// The zip CRC-32 (reflected 0xEDB88320 with initial and final inversion), continued from crc.
std::uint32_t ZipCrc32(std::uint32_t crc, const void* data, std::size_t size) noexcept;

// "isal" or "zlib".
const char* InflateEngineName() noexcept;

}  // namespace kel
