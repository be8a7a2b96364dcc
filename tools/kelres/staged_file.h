// Files the tool writes for others to read: under a name of their own beside the target, then
// renamed into place when complete.
#pragma once

#include <string>

#include "KELResMgr/download/PartFile.h"
#include "platform/file.h"

namespace kel::tool {

// The target is either left as it was or replaced by the whole new file, never by a part of it:
// readers (a web server serving the folder, say) never see a half-written file. The part file
// lies in the target's folder, so the final rename cannot cross file systems; unless committed,
// it goes with the PartFile. Throws CommandError naming the folder when none can be created.
PartFile StageBeside(const std::string& target);

// Flushes the part file to disk, so that a crash cannot leave a complete name with incomplete
// content, and renames it onto its target (a caller that closed it first flushed it itself).
// Throws CommandError.
void Commit(PartFile& staged, const std::string& target);

// Appends the whole content of the file at from_path to out. Throws platform::FileError.
void AppendFileContent(const std::string& from_path, platform::File& out);

}  // namespace kel::tool
