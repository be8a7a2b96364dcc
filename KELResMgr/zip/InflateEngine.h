// The raw deflate decoder and the CRC-32 behind the zip reader. Two engines implement this
// interface, chosen when the library is built (KELRES_INFLATE): ISA-L's igzip where it is
// available, zlib everywhere else. Both answer in zlib's result codes, so the reader raises the
// same CZipException causes whichever engine decodes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel {

// Results of InflateEngine::Inflate, with zlib's values.
inline constexpr int kInflateOk = 0;           // progress was made
inline constexpr int kInflateStreamEnd = 1;    // the final block has been decoded and delivered
inline constexpr int kInflateNeedDict = 2;     // (zlib only; the reader counts it as progress)
inline constexpr int kInflateDataError = -3;   // the deflate data are invalid
inline constexpr int kInflateMemError = -4;    // the decoder's state could not be allocated
inline constexpr int kInflateNoProgress = -5;  // no input left to go on with, and no end yet

// One raw deflate stream (32 KB window, no header, no trailer). Its state is allocated through
// ZipAlloc with the opaque pointer given to Init, so an interrupted stream is released with the
// allocation list it was recorded in. Neither copied nor moved: zlib's state points back at it.
// Used by one thread at a time.
class InflateEngine {
  public:
    InflateEngine() = default;
    ~InflateEngine();
    InflateEngine(const InflateEngine&) = delete;
    InflateEngine& operator=(const InflateEngine&) = delete;

    // kInflateOk, or an error result (the stream then stays uninitialised).
    int Init(void* allocation_opaque) noexcept;
    // Decodes from [*input, *input + *input_size) into output, advancing *input and *input_size
    // past what was used; *produced receives the number of bytes written. Never writes more
    // than output_size bytes.
    int Inflate(const unsigned char** input, std::size_t* input_size, unsigned char* output,
                std::size_t output_size, std::size_t* produced) noexcept;

  private:
    void* state_ = nullptr;
    void* opaque_ = nullptr;
};

// The zip CRC-32 (reflected 0xEDB88320 with initial and final inversion), continued from crc.
std::uint32_t ZipCrc32(std::uint32_t crc, const void* data, std::size_t size) noexcept;

// "isal" or "zlib".
const char* InflateEngineName() noexcept;

}  // namespace kel
