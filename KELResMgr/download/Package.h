// Resource packages: the 4-byte header ("KEL" and a format version byte) in front of a zip
// archive, the checks that tell a package from any other file, and its extraction.
#pragma once

#include <cstdint>
#include <string>

namespace kel {

// The zip archive of a package begins after its header, at this offset.
inline constexpr std::uint64_t kPackageBodyOffset = 4;

// True when the file starts with "KEL" and the version byte 0x01. False when it cannot be opened
// or is shorter than 4 bytes; a read error throws platform::FileError.
bool IsValidPackage(const std::string& package_path);

// True when the file starts with "KEL", whatever its version byte; otherwise as IsValidPackage.
bool HasPackageSignature(const std::string& package_path);

// Writes the package without its header to archive_path, replacing that file. False when either
// file cannot be opened or the package lacks the "KEL" signature (archive_path then stays,
// empty); read and write errors throw platform::FileError. The version byte is not looked at.
// The download path does not call it (it reads the body in place, see ExtractPackage's
// archive_start); it is the package layer's way to turn a package into a plain zip archive for
// whoever wants the archive itself, and the reference the in-place reading is tested against.
bool CopyPackageBody(const std::string& package_path, const std::string& archive_path);

// Unpacks the zip archive at archive_path into a staging folder of its own beside target_folder
// and renames that folder to target_folder. True when target_folder then holds the resource,
// also when another extraction of it finished first. False on any failure: the staging folder is
// removed with what was written so far, and target_folder is left as it is. Entries whose names
// would leave the staging folder fail the whole extraction before anything is written for them.
//
// With archive_start = kPackageBodyOffset, archive_path is the package itself and its body is
// read in place, with the same results as extracting a copy of the body (the header is not
// checked here: callers check the package first).
bool ExtractPackage(const std::string& archive_path, const std::string& target_folder,
                    std::uint64_t archive_start = 0) noexcept;

}  // namespace kel
