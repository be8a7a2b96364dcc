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
// A kept file is flushed to disk before it takes its final name, and the rename is made durable:
// a power cut leaves the final path as it was or with the whole body, never a file of the right
// name and length full of zeros. A body that is unpacked in place and then removed is not kept,
// and costs no flush.
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
    // Flushes the file to disk, finishes it and gives it its final name, replacing whatever
    // non-folder is in the way (a planted link is replaced, never followed), so that the final
    // path shows either what was there before or the whole body, also after a power cut. False
    // when the rename fails (a folder in the way); the file is discarded then. A failed flush
    // raises FileError.
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
