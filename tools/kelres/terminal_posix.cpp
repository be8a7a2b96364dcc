#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "tools/kelres/terminal.h"

namespace kel::tool::terminal {

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

int StdoutColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0) {
        return size.ws_col;
    }
    return 0;
}

void EraseLine(int /*columns*/) {
    std::fputs("\r\x1b[K", stdout);  // back to the line's start, erase to its end
}

}  // namespace kel::tool::terminal
