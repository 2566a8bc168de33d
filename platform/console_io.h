// The standard streams and the terminal: unbuffered writes to standard output and standard
// error, and the terminal queries a console needs.
#pragma once
#include <string_view>

namespace zel::platform {

// Writes all of text to standard output or standard error, resuming after signals. A failed
// write (a closed or broken output) is dropped: output never raises.
void write_stdout(std::string_view text);
void write_stderr(std::string_view text);

// True when standard input / standard output is a terminal.
bool stdin_is_terminal();
bool stdout_is_terminal();

// Columns of the terminal on standard output; 0 when it is not a terminal or does not say.
int terminal_columns();

}  // namespace zel::platform
