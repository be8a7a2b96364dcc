#include "platform/durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kel::platform {
namespace {

// A folder opened for its own file operations (a look-up handle, O_PATH, cannot be synced).
class OpenFolder {
  public:
    explicit OpenFolder(const std::string& path) {
        do {
            fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        } while (fd_ < 0 && errno == EINTR);
    }
    ~OpenFolder() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

}  // namespace

void SecureExtractedFile(File& file) {
    file.StartWriteback();
    NoteDurableStep(DurableStep::kFile, file.path());
}

void MakeTreeDurable(const std::string& folder) {
    const OpenFolder open(folder);
    if (open.fd() < 0) {
        throw FileError("open the folder", folder, errno);
    }
#if defined(__linux__)
    if (::syncfs(open.fd()) != 0) {
        throw FileError("write to the disk", folder, errno);
    }
#else
    ::sync();
#endif
    NoteDurableStep(DurableStep::kTree, folder);
}

void MakeEntriesDurable(const std::string& folder) noexcept {
    const OpenFolder open(folder);
    if (open.fd() >= 0) {
        ::fsync(open.fd());
    }
    NoteDurableStep(DurableStep::kEntries, folder);
}

}  // namespace kel::platform
