// An open file with one owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace kel::platform {

class Folder;

// A failure of the file layer: the operation, the file, and the system's error number (errno,
// or the Windows error code).
class FileError : public std::runtime_error {
  public:
    FileError(const std::string& what_failed, const std::string& path, int error_number);
    const std::string& path() const { return path_; }
    int error_number() const { return error_number_; }

  private:
    std::string path_;
    int error_number_;
};

// Move-only owner of an open file. The destructor closes without reporting; Close() reports.
// Used by one thread at a time.
class File {
  public:
    enum class Mode {
        kRead,           // existing regular file, reading only; anything else (a folder, a pipe, a
                         // device) fails at once, without blocking
        kCreateWrite,    // created anew or emptied, writing only
        kCreateNew,      // created anew, writing only; fails when the name is taken, also by a
                         // symbolic link, which is never followed
        kWriteExisting,  // an existing file, writing only, its content kept (to flush it)
    };

    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Throws FileError when the file cannot be opened or created.
    static File Open(const std::string& path, Mode mode);
    // Same, but an empty File instead of an error, and the system's error number in
    // *error_number when one is given (read it there: errno may have changed since).
    static File TryOpen(const std::string& path, Mode mode, int* error_number = nullptr) noexcept;

    bool is_open() const { return handle_ != kNoHandle; }
    const std::string& path() const { return path_; }

    // Reads up to size bytes at the current position; fewer only at the end of the file.
    std::size_t Read(void* buffer, std::size_t size);
    // Reads up to size bytes at offset without moving the position; fewer only at the end.
    std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size);
    // Writes all size bytes or throws.
    void Write(const void* buffer, std::size_t size);
    void Seek(std::uint64_t offset);
    std::uint64_t Size() const;
    // Sets the last-write time (seconds since 1970 UTC) through the open descriptor; the access
    // time is left as it is. Throws FileError.
    void SetModificationTime(std::int64_t seconds);
    // Takes every write permission away (owner, group, others) through the open descriptor;
    // false when the system refused.
    bool RemoveWritePermission() noexcept;
    // Makes the written content reach the disk (fsync, FlushFileBuffers). Throws FileError.
    void Flush();
    // Starts writing what was written so far to the disk, without waiting for it (Linux:
    // sync_file_range); nothing where the system has no such call (Windows). A hint: a failure
    // shows at the flush that follows.
    void StartWriteback() noexcept;
    // Closes, reporting a failure (a write that the system could not complete) as FileError.
    void Close();

  private:
    friend class Folder;  // creates files relative to an open folder
    // Sets an extracted file's times and attributes through its handle.
    friend void CloseWithEntryTimeAndAttributes(File& output, std::int64_t modified,
                                                std::uint32_t attributes);

    // A file descriptor, or a Windows file handle; both are -1 when there is none.
    using Handle = std::intptr_t;
    static constexpr Handle kNoHandle = -1;

    File(Handle handle, std::string path) : handle_(handle), path_(std::move(path)) {}
    Handle handle_ = kNoHandle;
    std::string path_;
};

// Bytes that an unprivileged writer can still store on the file system holding path; nothing when
// the system cannot tell.
std::optional<std::uint64_t> AvailableSpace(const std::string& path) noexcept;

// Files and folders that an unprivileged writer can still create on the file system holding
// path; nothing when the system cannot tell or has no such limit (Windows).
std::optional<std::uint64_t> AvailableInodes(const std::string& path) noexcept;

// The system's error numbers, as FileError carries them, for a full disk and for a file that
// kCreateNew finds already there.
extern const int kDiskFullError;
extern const int kFileExistsError;

}  // namespace kel::platform
