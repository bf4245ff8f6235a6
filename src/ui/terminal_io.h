// The little the terminal front end needs of the terminal itself.
#pragma once

#include <string>

namespace TarvPatch {

// True when `fd` is a terminal.
bool IsTerminal(int fd);
// The terminal's width in columns; 80 when it cannot be asked.
int TerminalColumns(int fd);

}  // namespace TarvPatch
