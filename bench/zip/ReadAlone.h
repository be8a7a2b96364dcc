// The other limit an extractor is held against: the archive's entries read and inflated by the
// library's own reader, each CRC checked, into one buffer, with nothing written. An extraction
// whose writes overlap its inflate approaches the larger of this time and the plain writer's.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "KELResMgr/zip/ZipArchiveReader.h"

namespace kel::bench {

// Seconds to read every entry of the zip archive at path in chunks of chunk bytes; throws what
// the reader throws.
inline double ReadAlone(const std::string& path, std::size_t chunk) {
    const auto start = std::chrono::steady_clock::now();
    CZipArchiveReader reader(path);
    reader.CheckEntryLayout();
    const auto buffer = std::make_unique_for_overwrite<char[]>(chunk);
    do {
        reader.OpenCurrentEntry();
        while (reader.ReadCurrentEntry(buffer.get(), chunk) == chunk) {
        }
    } while (reader.GoToNextEntry());
    reader.Close();  // checks the last entry's CRC
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    return seconds.count();
}

}  // namespace kel::bench
