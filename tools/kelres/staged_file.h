// A file written under a temporary name beside its target and renamed into place when complete.
#pragma once

#include <string>

#include "platform/file.h"

namespace kel::tool {

// The target is either left as it was or replaced by the whole new file, never by a part of
// it: readers (a web server serving the folder, say) never see a half-written file. The
// temporary file lies in the target's folder, so the final rename cannot cross file systems.
// It ends in exactly one of two ways: Commit() renames it onto the target, or the destructor
// removes it (best effort: a destructor cannot report).
class StagedFile {
  public:
    // Creates an empty temporary file ".<name>.XXXXXX" in target's folder; throws CommandError
    // naming the folder when it cannot.
    explicit StagedFile(std::string target);
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const std::string& path() const { return path_; }
    const std::string& target() const { return target_; }

    // Flushes the file to disk, gives it the permissions of a newly created file (mkstemp made
    // it private to its owner), and renames it onto the target. Throws CommandError.
    void Commit();

  private:
    std::string target_;
    std::string path_;
    bool committed_ = false;
};

// Appends the whole content of the file at from_path to out. Throws platform::FileError.
void AppendFileContent(const std::string& from_path, platform::File& out);

}  // namespace kel::tool
