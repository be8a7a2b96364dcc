// Runs the built kelres as a person would: a child process with its own output channels.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kel::test {

// kelres's exit status when an operation failed.
constexpr int kExitFailed = 1;

#if defined(_WIN32)
inline constexpr char kLibraryName[] = "KELResMgr.dll";
inline constexpr char kSeparator[] = "\\";
#else
inline constexpr char kLibraryName[] = "libKELResMgr.so";
inline constexpr char kSeparator[] = "/";
#endif

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct ToolRun {
    int exit_code = -1;  // -1 when it did not exit normally (killed at the time limit)
    std::string out;     // stdout; under a terminal, everything the terminal showed
    std::string err;     // stderr; empty under a terminal
};

// The path of the built kelres.
std::string ToolPath();

// Runs kelres with args, stdout and stderr into pipes, in the environment of the test process.
// A run that outlives limit is killed.
ToolRun RunTool(const std::vector<std::string>& args,
                std::chrono::seconds limit = std::chrono::seconds(120));

// The same with stdout and stderr on a pseudo-terminal of 100 columns. Not on Windows (throws).
ToolRun RunToolOnTerminal(const std::vector<std::string>& args,
                          std::chrono::seconds limit = std::chrono::seconds(120));

}  // namespace kel::test
