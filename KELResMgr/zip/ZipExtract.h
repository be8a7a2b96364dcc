// Unpacking a zip archive into a folder through a staging folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "KELResMgr/zip/NameRules.h"
#include "platform/extraction.h"

namespace kel {

// An entry name that would address a file outside the folder it is unpacked into.
class UnsafeEntryName : public std::invalid_argument {
  public:
    explicit UnsafeEntryName(const std::string& name)
        : std::invalid_argument("unsafe entry name \"" + name + "\"") {}
};

// Unpacks every entry of the archive (which begins archive_start bytes into its file) into a
// fresh staging folder of its own beside target_folder (see StagingFolder), moving entry data in
// chunks of chunk_size bytes, then renames that folder to target_folder. True when target_folder
// then holds the resource: renamed, or already there (another extraction of the same resource
// finished first). False when only the rename failed. Every other failure throws (CZipException,
// platform::FileError, std::invalid_argument incl. UnsafeEntryName, std::bad_alloc). On every
// failure the staging folder is removed with what was written so far, so no partial output is
// ever installed; target_folder is never touched. Nothing is ever written outside the staging
// folder. The staging folder is renamed only once its files' data and its folders' entries are
// on disk, and the rename is made durable too (see platform/durable.h): a power cut leaves either
// no target_folder or a whole one.
//
// Before the first entry is written, the whole central directory is checked: entries whose
// local headers or data overlap fail with badZipFile; an archive that creates more folders than
// its size and files justify fails with std::invalid_argument; and one whose declared total
// size, with a block for each folder and file it creates, is beyond the free space of the staging
// folder's file system, or whose folders and files are beyond its free inodes, fails with a
// FileError (the system's disk-full error). See Footprint.h.
bool ExtractArchive(const std::string& archive_path, const std::string& target_folder,
                    std::size_t chunk_size, std::uint64_t archive_start = 0);

// For tests: hook (none when null) is called before each entry of every extraction, with the
// path of the folder being written, so that a test can change that folder between two entries as
// another process could. Set it while no extraction runs.
void SetBeforeEntryHookForTests(void (*hook)(const std::string& folder));

}  // namespace kel
