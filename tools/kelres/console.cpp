#include "tools/kelres/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace kel::tool {

Console::Console() : terminal_(isatty(STDOUT_FILENO) == 1) {}

int Console::Columns() const {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void Console::ClearProgressLocked() {
    if (progress_shown_) {
        std::fputs("\r\x1b[K", stdout);  // back to the line's start, erase to its end
        std::fflush(stdout);
        progress_shown_ = false;
    }
}

void Console::Print(const std::string& line) {
    std::scoped_lock lock(mutex_);
    ClearProgressLocked();
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Console::Error(const std::string& line) {
    std::scoped_lock lock(mutex_);
    ClearProgressLocked();
    std::fprintf(stderr, "kelres: %s\n", line.c_str());
    std::fflush(stderr);
}

void Console::ShowProgress(const std::string& line) {
    if (!terminal_) {
        return;
    }
    std::scoped_lock lock(mutex_);
    std::fputs("\r\x1b[K", stdout);
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    progress_shown_ = true;
}

void Console::ClearProgress() {
    std::scoped_lock lock(mutex_);
    ClearProgressLocked();
}

}  // namespace kel::tool
