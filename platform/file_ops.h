// File operations that never throw and report at most a boolean.
#pragma once

#include <string>
#include <string_view>

namespace kel::platform {

// The system temporary folder ($TMPDIR, else /tmp), ending with '/'.
std::string TempFolder();

// Creates a new, unique, empty file "<prefix>XXXXXX" in the temporary folder and returns its full
// path; empty when none could be made.
std::string MakeTempFileName(std::string_view prefix);

// Removes the file, or the folder with everything in it. One trailing '/' is dropped first.
void SilentDelete(std::string path);

// Renames or moves a file or folder; one trailing '/' is dropped from each path. True on
// success. An existing target file is replaced; an existing non-empty target folder makes the
// rename fail.
bool SilentRename(std::string from, std::string to);

}  // namespace kel::platform

namespace kel::platform {

// Creates one folder level (the parent must exist). False when it exists already or cannot be
// made.
bool CreateOneFolder(const std::string& path);

}  // namespace kel::platform
