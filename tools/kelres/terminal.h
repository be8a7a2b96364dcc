// What the console asks of the system about stdout and its terminal.
#pragma once

namespace kel::tool::terminal {

// Whether stdout is a terminal (a console window on Windows).
bool StdoutIsTerminal();
// Width of stdout's terminal in characters; 0 when the system does not tell.
int StdoutColumns();
// Writes to stdout what blanks the current line of a terminal columns wide and leaves the
// cursor at its start. Does not flush.
void EraseLine(int columns);

}  // namespace kel::tool::terminal
