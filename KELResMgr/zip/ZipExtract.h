// Unpacking a zip archive into a folder through a staging folder.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kel {

// An entry name that would address a file outside the folder it is unpacked into.
class UnsafeEntryName : public std::invalid_argument {
  public:
    explicit UnsafeEntryName(const std::string& name)
        : std::invalid_argument("unsafe entry name \"" + name + "\"") {}
};

// False for names that leave the folder they are joined to: a ".." segment, a leading '/', or a
// drive ("C:"). Backslashes must already have become '/'.
bool IsSafeEntryName(std::string_view name);

// Unpacks every entry of the archive into target_folder + "_tmp" (created if missing, used with
// whatever it holds), moving entry data in chunks of chunk_size bytes, then renames that folder
// to target_folder. Returns false when only the rename failed. Every other failure throws
// (CZipException, platform::FileError, std::invalid_argument incl. UnsafeEntryName,
// std::bad_alloc) and leaves what was written so far in the staging folder.
// Nothing is ever written outside the staging folder.
bool ExtractArchive(const std::string& archive_path, const std::string& target_folder,
                    std::size_t chunk_size);

}  // namespace kel
