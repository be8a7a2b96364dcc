// A body being received for a file: written beside it under a name of its own, then either
// given the final name, handed on whole, or discarded.
#pragma once

#include <string>

#include "platform/file.h"

namespace kel {

// Names: final_path + ".part-" + 8 random hex digits, created exclusively, so that nothing
// planted under that name is followed or reused, and two transfers for the same final path (two
// processes sharing the folder) never write into one file. The file gets the permissions of any
// new file there. Used by one thread at a time.
//
// A kept file is flushed to disk before it takes its final name, and the rename is made durable:
// a power cut leaves the final path as it was or with the whole body, never a file of the right
// name and length full of zeros. A body that is unpacked in place and then removed is not kept,
// and costs no flush.
class PartFile {
  public:
    // A new file beside final_path; an empty File when none can be created (a missing folder,
    // for example), with the system's error number in *error_number when one is given.
    static platform::File CreateBeside(const std::string& final_path, int* error_number = nullptr);

    // file: made by CreateBeside(final_path).
    PartFile(std::string final_path, platform::File file);
    // Removes the part file unless it was kept: the file itself, never a folder that may have
    // taken its name since.
    ~PartFile();
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
    std::string final_path_;
    std::string path_;
    platform::File file_;
    bool kept_ = false;
};

// Removes the part files in folder (ending with a separator) that have not been written for an
// hour: a transfer that runs writes at least once per stall time-out, so such a file was left by
// a process that ended mid-transfer, and nothing else would ever name it.
void RemoveAbandonedPartFiles(const std::string& folder);

}  // namespace kel
