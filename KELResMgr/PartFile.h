// A body being received for a file: written beside it under a name of its own, then either
// given the final name, handed on whole, or discarded.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/owner_lock.h"

namespace kel {

// Names: final_path + ".part-" + 8 random hex digits, created exclusively, so that nothing
// planted under that name is followed or reused, and two transfers for the same final path (two
// processes sharing the folder) never write into one file. The file gets the permissions of any
// new file there. Used by one thread at a time. From its creation until it is removed or renamed,
// the file is held with a platform::OwnerLock, which tells other processes (and the reclaim of
// leftovers, ReclaimLeftovers) that its transfer is alive, whatever its age.
//
// The library's downloads do not flush before the rename: whatever they keep is read back
// through its checks (the signature, every entry's CRC), and a file damaged by a crash is set
// aside and fetched again, so a disk flush per download would buy nothing. kelres flushes the
// packages it writes for the servers, whose readers cannot fetch them again.
class PartFile {
  public:
    // A new file beside final_path, held; nothing when none can be created (a missing folder,
    // for example), with the system's error number in *error_number when one is given.
    static std::optional<PartFile> CreateBeside(const std::string& final_path,
                                                int* error_number = nullptr);

    // Removes the part file unless it was kept: the file itself, never a folder that may have
    // taken its name since.
    ~PartFile();
    PartFile(PartFile&& other) noexcept;
    PartFile& operator=(PartFile&&) = delete;
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    platform::File& file() { return file_; }
    const std::string& path() const { return path_; }

    // Closes the file; a write the system could not complete shows here, raised as FileError.
    void Finish();
    // Finishes and gives the file its final name, replacing whatever non-folder is in the way (a
    // planted link is replaced, never followed), so that the final path shows either what was
    // there before or the whole body. False when the rename fails (a folder in the way); the
    // file is discarded then.
    bool Keep();

  private:
    PartFile(std::string final_path, platform::File file, platform::OwnerLock lock);

    std::string final_path_;
    std::string path_;
    platform::File file_;
    platform::OwnerLock lock_;
    bool kept_ = false;
};

// True for the names CreateBeside gives: final_name + ".part-" + 8 hex digits, where final_name
// ends in ".tsl" and, when given, is that name.
bool IsPartFileName(std::string_view name, std::string_view final_name = {});

}  // namespace kel
