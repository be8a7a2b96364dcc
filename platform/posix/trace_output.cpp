#include "platform/trace_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace kel::platform {

TraceOutput::TraceOutput(const char* target) {
    if (target == nullptr || target[0] == '\0') {
        return;
    }
    if (std::strcmp(target, "stderr") == 0) {
        kind_ = Kind::kStandardError;
        handle_ = STDERR_FILENO;
        return;
    }
    const int fd = ::open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        kind_ = Kind::kFile;
        handle_ = fd;
    }
}

TraceOutput::~TraceOutput() {
    if (kind_ == Kind::kFile) {
        ::close(static_cast<int>(handle_));
    }
}

void TraceOutput::Write(std::string_view record) const {
    if (kind_ == Kind::kNone) {
        return;
    }
    // One write per record: appends from many threads do not interleave within a line.
    [[maybe_unused]] ssize_t written =
        ::write(static_cast<int>(handle_), record.data(), record.size());
}

}  // namespace kel::platform
