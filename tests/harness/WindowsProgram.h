// Runs a Windows program from a test under Wine, as a person would: a child process with its own
// output channels.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kel::test {

struct ProgramRun {
    int exit_code = -1;  // -1 when it did not exit normally (killed at the time limit)
    std::string out;     // stdout, with "\r\n" line ends read as "\n"
    std::string err;     // stderr, the same
};

// Runs program with args, stdout and stderr into pipes and stdin from NUL, in the environment of
// the test process. A run that outlives limit is killed.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      std::chrono::seconds limit);

}  // namespace kel::test
