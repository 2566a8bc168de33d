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
    // What the language sees as system/options/args: the script's own arguments, or every
    // argument but the "--catch" switches when there is no script.
    std::vector<std::string> args;
};

// Splits the command line (argv without the program name) into options.
Options parse_command_line(const std::vector<std::string>& args);

// Publishes the arguments to the language: system/options/args (a block of strings),
// system/script/args (their raw text, none without any argument on the command line),
// system/options/script (the script's file!) and system/options/boot (the executable).
void publish_arguments(const Options& opt, bool any_arguments);

// Runs the script; returns the process status (0 ok, 1 unreadable, header missing, load failure
// or error). With --catch the interactive loop follows whatever happened (with its banner when
// the script could not be read) and its status is returned instead.
int run_script(const Options& opt);

// The interactive loop; returns when input ends or quit is evaluated.
int run_loop(bool banner);

}  // namespace zel::console
