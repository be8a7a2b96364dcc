// Walks every entry of the input as an archive lister and an extractor would: listing with
// buffers, opening, reading to the end, moving on after a bad entry.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "FuzzScratch.h"
#include "KELResMgr/zip/ZipArchiveReader.h"

namespace {

constexpr int kMaxEntries = 1000;
constexpr std::size_t kMaxOutput = 16 << 20;  // per input; deflate can expand 1000-fold

void ReadEntry(kel::CZipArchiveReader& reader, std::size_t& budget) {
    std::vector<char> buffer(4093);  // odd size: chunk borders fall anywhere
    reader.OpenCurrentEntry();
    while (budget > 0) {
        const std::size_t got =
            reader.ReadCurrentEntry(buffer.data(), std::min(buffer.size(), budget));
        if (got == 0) {
            break;
        }
        budget -= got;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = kel::fuzz::WriteInput(data, size);
    try {
        kel::CZipArchiveReader reader(path);
        std::size_t budget = kMaxOutput;
        int entries = 0;
        do {
            kel::ZipEntryInfo info;
            char name[260];
            char extra[32];
            char comment[32];
            reader.GetCurrentEntryInfo(&info, name, sizeof name, extra, sizeof extra, comment,
                                       sizeof comment);
            try {
                ReadEntry(reader, budget);
            } catch (const kel::CZipException&) {
                // A bad entry: go on with the next, as a lister would.
            }
        } while (++entries < kMaxEntries && reader.GoToNextEntry());
        reader.Close();
    } catch (const kel::CZipException&) {
    } catch (const kel::platform::FileError&) {
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
