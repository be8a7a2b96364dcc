#include "tools/kelres/private_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/kelres/command_line.h"

namespace kel::tool {
namespace {

[[noreturn]] void Fail(const std::string& path, int error_number) {
    throw CommandError("cannot write " + path + ": " + std::strerror(error_number));
}

}  // namespace

void WritePrivateFile(const std::string& path, const std::string& text) {
    // O_EXCL: a key already there, or a link planted at the name, is never overwritten.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        Fail(path, errno);
    }
    // The mode given is masked by the umask, which can only take permissions away.
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error_number = errno;
            close(fd);
            unlink(path.c_str());
            Fail(path, error_number);
        }
        written += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        const int error_number = errno;
        unlink(path.c_str());
        Fail(path, error_number);
    }
}

}  // namespace kel::tool
