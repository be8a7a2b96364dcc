// What an extraction puts on disk besides its files' data, counted before anything is written:
// a package of empty files, each many new folders deep, declares no bytes at all and yet fills
// the disk with folders (363 KiB made 69,301 folders, 270 MiB of file-system metadata).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/extraction.h"

namespace kel {

class CZipArchiveReader;

// Each folder and each file takes an inode and, reckoned at its worst, a block of this size.
inline constexpr std::uint64_t kFootprintBlock = 4096;
// A package may create at most kFreeFolders folders, plus one for each of its files (each in a
// folder of its own), plus one for each kFootprintBlock bytes of the package: the metadata its
// folders take on disk is then bounded by its files and its own size. The honest trees of
// resources have far fewer folders than files; one name of kMaxEntryNameDepth levels fits.
inline constexpr std::uint64_t kFreeFolders = 256;

struct Footprint {
    std::uint64_t files = 0;
    std::uint64_t folders = 0;  // distinct folders below the target that the names need
};

// Counts the files and the folders of file entry names ('/' separated, empty and "." levels
// being none). Folders are told apart by a 64-bit hash of their path and encoding, so that
// counting costs memory per folder, not per name byte.
class FootprintCounter {
  public:
    void AddFile(std::string_view name, platform::NameText text);
    Footprint footprint() const { return {files_, folders_.size()}; }

  private:
    std::uint64_t files_ = 0;
    std::unordered_set<std::uint64_t> folders_;
};

// The footprint of every file entry of the reader's archive, with the names read as the
// extraction reads them (empty names and folder entries make no file). Leaves the first entry
// current.
Footprint MeasureFootprint(CZipArchiveReader& reader);

// The most folders that a package of package_size bytes with files files may create.
std::uint64_t FolderAllowance(std::uint64_t package_size, std::uint64_t files);

// Why an extraction of this footprint must not start: more folders than the package's size and
// files justify (a folder bomb), or its declared bytes together with a block per folder and file
// beyond the free space, or its folders and files beyond the free inodes (nothing: the system
// cannot tell, or has no such limit, as Windows).
struct FootprintFault {
    bool folder_bomb = false;  // else the disk cannot take it
    std::string what;          // for a person
};
std::optional<FootprintFault> FindFootprintFault(const Footprint& footprint,
                                                 std::uint64_t package_size,
                                                 std::uint64_t declared_bytes,
                                                 std::optional<std::uint64_t> free_bytes,
                                                 std::optional<std::uint64_t> free_inodes);

}  // namespace kel
