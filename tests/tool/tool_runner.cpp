#include "tool_runner.h"

#if defined(_WIN32)

#include <stdexcept>
#include <utility>

#include "harness/WindowsProgram.h"

namespace kel::test {

std::string ToolPath() {
    return KELRES_TOOL_PATH;
}

ToolRun RunTool(const std::vector<std::string>& args, std::chrono::seconds limit) {
    ProgramRun run = RunProgram(ToolPath(), args, limit);
    return ToolRun{run.exit_code, std::move(run.out), std::move(run.err)};
}

ToolRun RunToolOnTerminal(const std::vector<std::string>&, std::chrono::seconds) {
    throw std::logic_error("kelres.exe is not run on a console by these tests");
}

}  // namespace kel::test

#else

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace kel::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> Argv(const std::vector<std::string>& args, std::string& program) {
    program = ToolPath();
    std::vector<char*> argv{program.data()};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

// Waits for the child; kills it (by its pid) when the deadline has passed.
int Reap(pid_t child, Clock::time_point deadline) {
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, Clock::now() < deadline ? WNOHANG : 0);
        if (done == child) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (Clock::now() >= deadline) {
            kill(child, SIGKILL);
        } else {
            usleep(10 * 1000);
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads every open descriptor until all reach their end or the deadline passes.
void Drain(std::vector<std::pair<int, std::string*> > sources, Clock::time_point deadline) {
    while (!sources.empty() && Clock::now() < deadline) {
        std::vector<pollfd> fds;
        for (const auto& source : sources) {
            fds.push_back(pollfd{source.first, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) {
            return;
        }
        for (std::size_t i = fds.size(); i-- > 0;) {
            if (fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sources[i].second->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                // End of a pipe; a terminal whose other side has closed reports EIO.
                sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
}

}  // namespace

std::string ToolPath() {
    return KELRES_TOOL_PATH;
}

ToolRun RunTool(const std::vector<std::string>& args, std::chrono::seconds limit) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make pipes for kelres");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::string program;
    std::vector<char*> argv = Argv(args, program);
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    ToolRun run;
    if (spawned != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        throw std::runtime_error("cannot start " + program);
    }
    const Clock::time_point deadline = Clock::now() + limit;
    Drain({{out_pipe[0], &run.out}, {err_pipe[0], &run.err}}, deadline);
    close(out_pipe[0]);
    close(err_pipe[0]);
    run.exit_code = Reap(child, deadline);
    return run;
}

ToolRun RunToolOnTerminal(const std::vector<std::string>& args, std::chrono::seconds limit) {
    std::string program;
    std::vector<char*> argv = Argv(args, program);
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 100;
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
    if (child < 0) {
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    if (child == 0) {
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ToolRun run;
    const Clock::time_point deadline = Clock::now() + limit;
    Drain({{terminal, &run.out}}, deadline);
    close(terminal);
    run.exit_code = Reap(child, deadline);
    return run;
}

}  // namespace kel::test

#endif
