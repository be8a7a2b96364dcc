// The library's trace records.
//
// Every record has six parts: source tag ("[" + source file + " - L"), function tag
// ("[" + operation + "] "), source line, the prefix "Res<<< ", a printf format and its arguments.
// By default records are discarded at the cost of the call. When the environment variable
// KELRES_TRACE names a file (or "stderr", or on Windows
// "debugger") at load, each record is appended there as one line.
#pragma once

#include "platform/annotated_mutex.h"
#include "platform/compiler.h"
#include "platform/trace_output.h"

namespace kel {

void ResTrace(const char* source_tag, const char* function_tag, int line, const char* prefix,
              const char* format, ...) KEL_PRINTF_FORMAT(5, 6);

// The sink a loaded module writes to; owned by the module state.
class TraceSink {
  public:
    TraceSink();  // opens $KELRES_TRACE, if set
    TraceSink(const TraceSink&) = delete;
    TraceSink& operator=(const TraceSink&) = delete;

    bool enabled() const { return output_.enabled(); }
    void Write(const char* source_tag, const char* function_tag, int line, const char* prefix,
               const char* message) const;

  private:
    platform::TraceOutput output_;
    // The records of one load go out one at a time: appends are not atomic everywhere (under
    // Wine two threads appending to one file at once write over each other's records).
    mutable Mutex write_mutex_;
};

}  // namespace kel

// Source file paths are made relative to the repository by -fmacro-prefix-map.
#define KEL_TRACE(function_tag, ...) \
    ::kel::ResTrace("[" __FILE__ " - L", function_tag, __LINE__, "Res<<< ", __VA_ARGS__)
