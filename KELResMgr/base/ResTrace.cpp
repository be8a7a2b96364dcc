#include "KELResMgr/base/ResTrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KELResMgr/ModuleState.h"
#include "platform/clock.h"
#include "platform/thread_id.h"

namespace kel {

TraceSink::TraceSink() : output_(std::getenv("KELRES_TRACE")) {}

void TraceSink::Write(const char* source_tag, const char* function_tag, int line,
                      const char* prefix, const char* message) const {
    const platform::LocalTime now = platform::LocalTimeNow();
    std::string record;
    record.reserve(256);
    char head[96];
    std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%lu] ", now.year,
                  now.month, now.day, now.hour, now.minute, now.second, now.millisecond,
                  platform::CurrentThreadId());
    record += head;
    record += source_tag;
    record += std::to_string(line);
    record += "] ";
    record += function_tag;
    record += prefix;
    record += message;
    record += '\n';
    MutexLock lock(write_mutex_);
    output_.Write(record);
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
