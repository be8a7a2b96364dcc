#include "tools/kelres/console.h"

#include <cstdio>

#include "tools/kelres/terminal.h"

namespace kel::tool {

Console::Console() : terminal_(terminal::StdoutIsTerminal()) {}

int Console::Columns() const {
    const int columns = terminal::StdoutColumns();
    return columns > 0 ? columns : 80;
}

void Console::ClearProgressLocked() {
    if (progress_shown_) {
        terminal::EraseLine(Columns());
        std::fflush(stdout);
        progress_shown_ = false;
    }
}

void Console::Print(const std::string& line) {
    MutexLock lock(mutex_);
    ClearProgressLocked();
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Console::Error(const std::string& line) {
    MutexLock lock(mutex_);
    ClearProgressLocked();
    std::fprintf(stderr, "kelres: %s\n", line.c_str());
    std::fflush(stderr);
}

void Console::ShowProgress(const std::string& line) {
    if (!terminal_) {
        return;
    }
    MutexLock lock(mutex_);
    terminal::EraseLine(Columns());
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    progress_shown_ = true;
}

void Console::ClearProgress() {
    MutexLock lock(mutex_);
    ClearProgressLocked();
}

}  // namespace kel::tool
