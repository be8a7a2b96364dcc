// File operations that never throw and report at most a boolean.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kel::platform {

// The system temporary folder, ending with a separator: $TMPDIR, else /tmp; on Windows what
// GetTempPathA gives.
std::string TempFolder();

// Creates a new, unique, empty file in the temporary folder whose name starts with prefix, and
// returns its full path; empty when none could be made. The library's downloads make no
// temporary files (package bodies are read in place); this is the shared file operations' one way
// to name a fresh one, the system's own service on Windows, for a copy such as CopyPackageBody's.
std::string MakeTempFileName(std::string_view prefix);

// Removes the file, or the folder with everything in it; a link inside is removed itself, never
// entered. One trailing separator is dropped first. Silent: no outcome is reported. POSIX: the
// walk holds one descriptor at a time whatever the depth, and waits a little for one when the
// process has none left.
void SilentDelete(std::string path);

// Removes the file or link itself, never a folder and never what a link names. False when
// nothing was removed (missing, a folder, or refused). Read-only files are removed too.
bool RemoveFile(const std::string& path);

// Renames or moves a file or folder; one trailing separator is dropped from each path. True on
// success. An existing target file is replaced; an existing non-empty target folder makes the
// rename fail.
bool SilentRename(std::string from, std::string to);

// Creates one folder level (the parent must exist). False when it exists already or cannot be
// made.
bool CreateOneFolder(const std::string& path);

// The names of everything directly in folder, "." and ".." aside. Empty when the folder cannot be
// read.
std::vector<std::string> NamesIn(const std::string& folder);

enum class PathKind { kMissing, kFile, kFolder };

// What path names; links are followed. kMissing also when it cannot be examined.
PathKind KindOf(const std::string& path);

}  // namespace kel::platform
