// Where the library's trace records go.
#pragma once

#include <cstdint>
#include <string_view>

namespace kel::platform {

// An output for whole trace records. Threads: any number may write at once; records never
// interleave within a line.
class TraceOutput {
  public:
    // target: "stderr" for the standard error stream, "debugger" for the system debugger's
    // output (Windows only), else a file that records are appended to. Null or empty: no output.
    explicit TraceOutput(const char* target);
    ~TraceOutput();
    TraceOutput(const TraceOutput&) = delete;
    TraceOutput& operator=(const TraceOutput&) = delete;

    bool enabled() const { return kind_ != Kind::kNone; }
    // Writes one record (ending with its own line break); failures are ignored.
    void Write(std::string_view record) const;

  private:
    enum class Kind { kNone, kFile, kStandardError, kDebugger };
    Kind kind_ = Kind::kNone;
    std::intptr_t handle_ = -1;  // a file descriptor or a file handle; owned for kFile
};

}  // namespace kel::platform
