// Resource packages: "KEL", a version byte, then a zip archive.
#pragma once

#include <string>

namespace kel {

// True when the file starts with "KEL" and the version byte 0x01.
bool IsValidPackage(const std::string& package_path);
// True when the file starts with "KEL", whatever its version byte.
bool HasPackageSignature(const std::string& package_path);
// Writes the package without its 4-byte header to archive_path. False when a file cannot be
// opened or the signature is wrong; read and write errors throw platform::FileError.
bool CopyPackageBody(const std::string& package_path, const std::string& archive_path);
// Unpacks the zip archive into target_folder + "_tmp", then renames that to target_folder.
// False on any failure.
bool ExtractPackage(const std::string& archive_path, const std::string& target_folder) noexcept;

}  // namespace kel
