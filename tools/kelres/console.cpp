#include "tools/kelres/console.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <cstdio>

namespace kel::tool {

#if defined(_WIN32)

Console::Console() : terminal_(_isatty(_fileno(stdout)) != 0) {}

int Console::Columns() const {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) && info.dwSize.X > 0) {
        return info.dwSize.X;
    }
    return 80;
}

namespace {

// Back to the line's start, blanks over it, back again: every Windows console understands this,
// not every one understands the terminal's escape sequences.
void EraseLine(int columns) {
    std::fputc('\r', stdout);
    for (int i = 1; i < columns; ++i) {
        std::fputc(' ', stdout);
    }
    std::fputc('\r', stdout);
}

}  // namespace

#else

Console::Console() : terminal_(isatty(STDOUT_FILENO) == 1) {}

int Console::Columns() const {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

namespace {

void EraseLine(int /*columns*/) {
    std::fputs("\r\x1b[K", stdout);  // back to the line's start, erase to its end
}

}  // namespace

#endif

void Console::ClearProgressLocked() {
    if (progress_shown_) {
        EraseLine(Columns());
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
    EraseLine(Columns());
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    progress_shown_ = true;
}

void Console::ClearProgress() {
    MutexLock lock(mutex_);
    ClearProgressLocked();
}

}  // namespace kel::tool
