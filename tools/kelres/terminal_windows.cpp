#include <io.h>
#include <windows.h>

#include <cstdio>

#include "tools/kelres/terminal.h"

namespace kel::tool::terminal {

bool StdoutIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

int StdoutColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) && info.dwSize.X > 0) {
        return info.dwSize.X;
    }
    return 0;
}

// Back to the line's start, blanks over it, back again: every Windows console understands this,
// not every one understands the terminal's escape sequences.
void EraseLine(int columns) {
    std::fputc('\r', stdout);
    for (int i = 1; i < columns; ++i) {
        std::fputc(' ', stdout);
    }
    std::fputc('\r', stdout);
}

}  // namespace kel::tool::terminal
