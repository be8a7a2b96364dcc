// Resource packages: the file the media server delivers for one resource.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kel::tool {

// A package is "KEL", the format version byte 0x01, then a zip archive whose offsets count from
// the byte after the header.
inline constexpr char kPackageSignature[] = {'K', 'E', 'L'};
inline constexpr char kPackageVersion = 0x01;
inline constexpr std::size_t kPackageHeaderSize = 4;

struct PackSummary {
    std::size_t files = 0;
    std::size_t folders = 0;
    std::uint64_t bytes = 0;  // of the files, before compression
};

// Writes the package of everything below folder to package: every file and folder, with names
// relative to folder and '/' between levels, the files deflated, each entry with its
// modification time and its attributes (the read-only bit 0x01 in the low byte, the Unix mode
// in the high 16 bits). The package appears whole or not at all (see StagedFile).
// Throws CommandError naming the file at fault: no such folder, no file in it, a name the
// library would read differently (a backslash), something other than files and folders.
// approve is given the complete package under its temporary name before it replaces package;
// whatever it throws leaves package as it was.
PackSummary WritePackage(const std::string& folder, const std::string& package,
                         const std::function<void(const std::string& written)>& approve);

// True when the file at path begins with the package header of version 1.
bool IsPackage(const std::string& path);

}  // namespace kel::tool
