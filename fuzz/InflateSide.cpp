// Compiled once per engine, RunInflateSide and the engine's names renamed (fuzz/CMakeLists.txt).
// The reads follow CZipArchiveReader::ReadCurrentEntry and an extractor's loop around it.
#include "InflateSide.h"

#include <algorithm>
#include <vector>

#include "KELResMgr/zip/InflateEngine.h"
#include "KELResMgr/zip/ZipArchiveBase.h"

namespace kel::fuzz {

InflateVerdict RunInflateSide(const InflatePlan& plan, std::string& output) {
    InflateVerdict verdict;
    ZipAllocationList allocations;
    InflateEngine engine;
    verdict.result = engine.Init(&allocations, plan.compressed_size, plan.uncompressed_size);
    if (verdict.result != kInflateOk) {
        return verdict;
    }
    const unsigned char* next = plan.data;  // not yet read from the "archive"
    std::size_t left = plan.compressed_size;
    std::size_t pending = std::min(plan.first_chunk, left);
    const unsigned char* pending_at = next;
    next += pending;
    left -= pending;
    std::uint64_t uncompressed_left = plan.uncompressed_size;
    bool ended = false;
    static std::vector<unsigned char> buffer;  // the caller's buffer, reused
    buffer.resize(plan.read_size);
    for (;;) {
        // One read: at most the declared size, and on past it until the stream ends.
        std::size_t space =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), uncompressed_left));
        std::size_t delivered = 0;
        while (space > 0 || (uncompressed_left == 0 && !ended)) {
            if (pending == 0 && left > 0) {
                pending = std::min(plan.chunk, left);
                pending_at = next;
                next += pending;
                left -= pending;
            }
            std::size_t produced = 0;
            const int result =
                engine.Inflate(&pending_at, &pending, buffer.data() + delivered, space, &produced);
            output.append(reinterpret_cast<const char*>(buffer.data() + delivered), produced);
            uncompressed_left -= produced;
            space -= produced;
            delivered += produced;
            if (result == kInflateStreamEnd) {
                ended = true;
                break;
            }
            if (result != kInflateOk && result != kInflateNeedDict) {
                verdict.result = result;
                return verdict;
            }
        }
        // An extractor reads until a read delivers less than it asked for.
        if (delivered != buffer.size()) {
            break;
        }
    }
    verdict.result = kInflateStreamEnd;
    verdict.crc = ZipCrc32(0, output.data(), output.size());
    return verdict;
}

}  // namespace kel::fuzz
