// Making what was written survive a power cut before a name that readers trust ("<T>_files",
// "<T>.tsl") points at it: the data first, then the folders' entries, then the rename.
#pragma once

#include <string>

#include "platform/file.h"

namespace kel::platform {

// Before an extracted file closes, on the thread that closes it (the extraction's writer or close
// threads carry the cost once closes prove slow).
//  - Windows: FlushFileBuffers: returns once the file's data and its own record are on disk.
//  - elsewhere: only starts the writeback of its data (sync_file_range on Linux), so that the disk
//    works while the extraction goes on; MakeTreeDurable waits for it.
// Throws FileError.
void SecureExtractedFile(File& file);

// Once every file below folder is written and closed, before folder is renamed to a name that
// readers trust: the files' data and the entries of every folder of the tree are on disk.
//  - Linux: one syncfs of folder's file system: it waits for the writeback started by
//    SecureExtractedFile and commits the journal once, which costs far less than a flush per file
//    and per folder; other POSIX systems: sync.
//  - Windows: the files were flushed as they closed; each folder of the tree is flushed too.
// Throws FileError: nothing may be renamed into place then.
void MakeTreeDurable(const std::string& folder);

// After something was renamed into folder: the rename itself is on disk (fsync of the folder;
// Windows: FlushFileBuffers on it). Best effort: what the rename published is durable already, and
// a rename lost to a power cut leaves only what a failed one would.
void MakeEntriesDurable(const std::string& folder) noexcept;

// For tests: hook (none when null) is told of each step above once it is done, with the path it
// was given (for SecureExtractedFile the file's), so that a test can see the order of the steps
// against the renames. Set it while nothing is written.
enum class DurableStep { kFile, kTree, kEntries };
void SetDurableStepHookForTests(void (*hook)(DurableStep step, const std::string& path));
// Called by the implementations.
void NoteDurableStep(DurableStep step, const std::string& path) noexcept;

}  // namespace kel::platform
