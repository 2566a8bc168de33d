// The text console: runs a script named on the command line, and reads, evaluates and prints
// lines on the terminal (the read-eval-print loop, with multi-line input while brackets or
// strings are open).
#pragma once
#include <string>
#include <vector>

namespace zel::console {

struct Options {
    bool catch_mode = false;      // --catch: stay in the console after the script
    std::string script;           // empty: no script
    std::vector<std::string> script_args;
};

// Splits the command line (argv without the program name) into options.
Options parse_command_line(const std::vector<std::string>& args);

// Runs the script; returns the process status (0 ok, 1 header missing, load failure or error).
int run_script(const Options& opt);

// The interactive loop; returns when input ends or quit is evaluated.
int run_loop(bool banner);

}  // namespace zel::console
