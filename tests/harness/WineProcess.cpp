// The servers of a test that runs under Wine: programs of the build machine (Linux), started and
// stopped there by tests/wine/unix-process. Wine starts such a program through CreateProcess of
// its path on drive Z: (the build machine's root), but gives no handle to wait on or to end it;
// the script reports the process id, which is all a stop needs. The ports are the build
// machine's: Wine's sockets are its sockets.
#include <windows.h>
#include <winsock2.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "harness/CommandLine.h"
#include "harness/HttpServer.h"

namespace kel::test {
namespace {

constexpr int kStartTimeoutMs = 15000;
constexpr int kStopTimeoutMs = 15000;

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The Windows path of a path of the build machine: drive Z: is its root.
std::string OnDriveZ(std::string path) {
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return "Z:" + path;
}

// Runs tests/wine/unix-process with arguments on the build machine; does not wait for it.
void RunScript(const std::vector<std::string>& arguments) {
    std::string command = QuotedArgument(OnDriveZ(KELRES_UNIX_PROCESS));
    for (const auto& argument : arguments) {
        command += " " + QuotedArgument(argument);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        throw std::runtime_error("cannot run " + command + ": error " +
                                 std::to_string(GetLastError()));
    }
    // Wine gives no handles for a program of the build machine; close any it does give.
    for (const HANDLE handle : {process.hProcess, process.hThread}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
}

// Waits until the file at path exists; false after timeout_ms.
bool WaitForFile(const std::string& path, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return true;
        }
        SleepMs(10);
    }
    return false;
}

std::string TempPath(const std::string& name) {
    char folder[MAX_PATH + 1] = "";
    GetTempPathA(sizeof folder, folder);
    return std::string(folder) + name;
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A TCP socket; Winsock is started at the first one (and kept for the process).
SOCKET NewSocket() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
}

}  // namespace

std::string QuotedArgument(const std::string& argument) {
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

std::string ServerPath(const std::string& path) {
    // Wine's own export: the build machine's path of a Windows path, on the process heap.
    using UnixFileName = char*(__cdecl*)(const WCHAR*);
    const auto convert = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) {
        throw std::runtime_error("the test servers run only under Wine");
    }
    std::wstring wide(path.size() + 1, L'\0');
    const int length = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(),
                                           static_cast<int>(wide.size()));
    char* unix_path = length > 0 ? convert(wide.c_str()) : nullptr;
    if (unix_path == nullptr) {
        throw std::runtime_error("no build-machine path for " + path);
    }
    std::string result = unix_path;
    HeapFree(GetProcessHeap(), 0, unix_path);
    return result;
}

int FreePort() {
    const SOCKET fd = NewSocket();
    if (fd == INVALID_SOCKET) {
        throw std::runtime_error("cannot open a socket");
    }
    sockaddr_in address = Loopback(0);
    int length = sizeof address;
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    closesocket(fd);
    if (!ok) {
        throw std::runtime_error("cannot find a free port");
    }
    return ntohs(address.sin_port);
}

bool Listening(int port) {
    const SOCKET fd = NewSocket();
    if (fd == INVALID_SOCKET) {
        return false;
    }
    const sockaddr_in address = Loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    closesocket(fd);
    return ok;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& output_path) {
    const std::string pid_file = output_path + ".pid";
    std::vector<std::string> arguments = {"start", ServerPath(pid_file), ServerPath(output_path)};
    arguments.insert(arguments.end(), argv.begin(), argv.end());
    RunScript(arguments);
    std::optional<std::string> pid_text;
    if (!WaitForFile(pid_file, kStartTimeoutMs) || !(pid_text = ReadFile(pid_file))) {
        throw std::runtime_error("cannot start " + argv.at(0));
    }
    pid_ = std::stoi(*pid_text);
}

ChildProcess::~ChildProcess() {
    Stop();
}

// Ended, or ended and not yet reaped: the state letter of its /proc entry.
bool ChildProcess::Running() {
    if (pid_ <= 0) {
        return false;
    }
    const std::optional<std::string> stat =
        ReadFile(OnDriveZ("/proc/" + std::to_string(pid_) + "/stat"));
    const std::size_t end_of_name = stat ? stat->rfind(") ") : std::string::npos;
    if (end_of_name == std::string::npos || end_of_name + 2 >= stat->size() ||
        (*stat)[end_of_name + 2] == 'Z' || (*stat)[end_of_name + 2] == 'X') {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::Stop() {
    if (!Running()) {
        return;
    }
    const std::string done = TempPath("kelres-stopped-" + std::to_string(pid_));
    DeleteFileA(done.c_str());
    try {
        RunScript({"stop", std::to_string(pid_), ServerPath(done)});
        WaitForFile(done, kStopTimeoutMs);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "cannot stop process %d: %s\n", static_cast<int>(pid_), error.what());
    }
    DeleteFileA(done.c_str());
    pid_ = -1;
}

}  // namespace kel::test
