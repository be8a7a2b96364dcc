#include "KELResMgr/ResTrace.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "KELResMgr/ModuleState.h"

namespace kel {

TraceSink::TraceSink() {
    const char* target = std::getenv("KELRES_TRACE");
    if (target == nullptr || target[0] == '\0') {
        return;
    }
    if (std::strcmp(target, "stderr") == 0) {
        fd_ = STDERR_FILENO;
        return;
    }
    fd_ = ::open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    owns_fd_ = fd_ >= 0;
}

TraceSink::~TraceSink() {
    if (owns_fd_) {
        ::close(fd_);
    }
}

void TraceSink::Write(const char* source_tag, const char* function_tag, int line,
                      const char* prefix, const char* message) const {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    std::string record;
    record.reserve(256);
    char head[96];
    std::snprintf(head, sizeof head, "%s.%03ld [%ld] ", stamp, now.tv_nsec / 1000000L,
                  static_cast<long>(syscall(SYS_gettid)));
    record += head;
    record += source_tag;
    record += std::to_string(line);
    record += "] ";
    record += function_tag;
    record += prefix;
    record += message;
    record += '\n';
    // One write per record: appends from many threads do not interleave within a line.
    [[maybe_unused]] ssize_t written = ::write(fd_, record.data(), record.size());
}

void ResTrace(const char* source_tag, const char* function_tag, int line, const char* prefix,
              const char* format, ...) {
    const ModuleState* module = ModuleStateIfAlive();
    if (module == nullptr || !module->trace.enabled()) {
        return;
    }
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        va_end(again);
        module->trace.Write(source_tag, function_tag, line, prefix, small);
        return;
    }
    std::string large(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    large.pop_back();
    module->trace.Write(source_tag, function_tag, line, prefix, large.c_str());
}

}  // namespace kel
