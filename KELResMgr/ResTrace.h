// The library's trace records.
//
// Every record has six parts: source tag ("[" + source file + " - L"), function tag
// ("[" + operation + "] "), source line, the prefix "Res<<< ", a printf format and its arguments.
// By default records are discarded at the cost of the call. When the environment variable
// KELRES_TRACE names a file (or "stderr") at load, each record is appended there as one line.
#pragma once

namespace kel {

void ResTrace(const char* source_tag, const char* function_tag, int line, const char* prefix,
              const char* format, ...) __attribute__((format(printf, 5, 6)));

// The sink a loaded module writes to; owned by the module state.
class TraceSink {
  public:
    TraceSink();  // opens $KELRES_TRACE, if set
    ~TraceSink();
    TraceSink(const TraceSink&) = delete;
    TraceSink& operator=(const TraceSink&) = delete;

    bool enabled() const { return fd_ >= 0; }
    void Write(const char* source_tag, const char* function_tag, int line, const char* prefix,
               const char* message) const;

  private:
    int fd_ = -1;
    bool owns_fd_ = false;
};

}  // namespace kel

// Source file paths are made relative to the repository by -fmacro-prefix-map.
#define KEL_TRACE(function_tag, ...) \
    ::kel::ResTrace("[" __FILE__ " - L", function_tag, __LINE__, "Res<<< ", __VA_ARGS__)
