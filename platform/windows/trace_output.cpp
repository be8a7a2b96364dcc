#include "platform/trace_output.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace kel::platform {
namespace {

HANDLE Handle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

TraceOutput::TraceOutput(const char* target) {
    if (target == nullptr || target[0] == '\0') {
        return;
    }
    if (std::strcmp(target, "debugger") == 0) {
        kind_ = Kind::kDebugger;
        return;
    }
    if (std::strcmp(target, "stderr") == 0) {
        const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        if (error != nullptr && error != INVALID_HANDLE_VALUE) {
            kind_ = Kind::kStandardError;
            handle_ = reinterpret_cast<std::intptr_t>(error);
        }
        return;
    }
    // Append-only access: the system puts every write at the end of the file, also when other
    // processes append at the same time.
    const HANDLE file = CreateFileA(target, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        kind_ = Kind::kFile;
        handle_ = reinterpret_cast<std::intptr_t>(file);
    }
}

TraceOutput::~TraceOutput() {
    if (kind_ == Kind::kFile) {
        CloseHandle(Handle(handle_));
    }
}

void TraceOutput::Write(std::string_view record) const {
    if (kind_ == Kind::kDebugger) {
        OutputDebugStringA(std::string(record).c_str());
        return;
    }
    if (kind_ == Kind::kNone) {
        return;
    }
    // One write per record: records of many threads do not interleave within a line.
    DWORD written = 0;
    WriteFile(Handle(handle_), record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

}  // namespace kel::platform
