// Windows programs started by a test under Wine, with their output read through pipes.
#include "harness/WindowsProgram.h"

#include <windows.h>

#include <stdexcept>
#include <thread>

#include "harness/CommandLine.h"

namespace kel::test {
namespace {

struct Handle {
    HANDLE handle = nullptr;
    ~Handle() {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};

void ReadAll(HANDLE pipe, std::string& into) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        into.append(buffer, got);
    }
}

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      std::chrono::seconds limit) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle out_read, out_write, err_read, err_write;
    if (!CreatePipe(&out_read.handle, &out_write.handle, &inherit, 0) ||
        !CreatePipe(&err_read.handle, &err_write.handle, &inherit, 0)) {
        throw std::runtime_error("cannot make pipes for " + program);
    }
    // Only the child's ends are inherited.
    SetHandleInformation(out_read.handle, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read.handle, HANDLE_FLAG_INHERIT, 0);
    Handle nul;
    nul.handle = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);

    std::string command_line = QuotedArgument(program);
    for (const std::string& arg : args) {
        command_line += " " + QuotedArgument(arg);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.handle;
    startup.hStdOutput = out_write.handle;
    startup.hStdError = err_write.handle;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        throw std::runtime_error("cannot start " + program);
    }
    Handle process_handle{process.hProcess};
    Handle thread_handle{process.hThread};
    // The parent's copies of the child's ends go, so each read ends when the child's do.
    CloseHandle(out_write.handle);
    out_write.handle = nullptr;
    CloseHandle(err_write.handle);
    err_write.handle = nullptr;

    ProgramRun run;
    std::thread err_reader([&] { ReadAll(err_read.handle, run.err); });
    std::thread out_reader([&] { ReadAll(out_read.handle, run.out); });
    const auto limit_ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
    const bool ended =
        WaitForSingleObject(process.hProcess, static_cast<DWORD>(limit_ms)) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    out_reader.join();
    err_reader.join();
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    run.exit_code = ended ? static_cast<int>(code) : -1;
    // Windows writes "\r\n" for a line end in text mode; the tables compare "\n".
    for (std::string* text : {&run.out, &run.err}) {
        std::string plain;
        for (std::size_t i = 0; i < text->size(); ++i) {
            if (!((*text)[i] == '\r' && i + 1 < text->size() && (*text)[i + 1] == '\n')) {
                plain += (*text)[i];
            }
        }
        *text = plain;
    }
    return run;
}

}  // namespace kel::test
