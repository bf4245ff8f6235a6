// The little the terminal front end needs of the terminal itself.
#pragma once

#include <string>

namespace TarvPatch {

// Writes all of `data` to `fd`, going on after interruptions; gives up
// silently on an error (a closed pipe must not stop a session).
void WriteAll(int fd, const std::string& data);
// True when `fd` is a terminal.
bool IsTerminal(int fd);
// The terminal's width in columns; 80 when it cannot be asked.
int TerminalColumns(int fd);

}  // namespace TarvPatch
