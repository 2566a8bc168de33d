// The runtime interface: everything a program outside the runtime (the text console today, the
// GUI console and GUI backend later, embedders and tools) needs to start Zel, evaluate text,
// show values and errors, and take the output of print. It is the only runtime header such a
// program includes; nothing here exposes cells, nodes or the value stack.
//
// Contract:
// - Call start (once) before anything else, on the thread that will run the interpreter (the
//   main thread: the native stack guard is armed there).
// - No call here lets an error or another unwinding (break, throw, halt ...) escape: each
//   reports its outcome. A call that evaluates Zel code may run the collector; Value handles
//   stay valid across it (the runtime keeps what they hold alive).
// - Strings in and out are UTF-8.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zel::api {

// ---- start-up ----

// Prepares the process (signals, a large native stack, the fault reporter), then builds the
// runtime and evaluates the library. args: the command line without the program name. Ends
// the process with status 1 when the library cannot be loaded.
void start(const std::vector<std::string>& args);

// What the language sees of the command line (system/options and system/script).
struct CommandLine {
    std::vector<std::string> args;   // system/options/args: a block of strings
    bool any_arguments = false;      // false: system/script/args is none, else the raw text of args
    std::string script;              // system/options/script as a file! (empty: none)
};
// Publishes the command line to the language; system/options/boot becomes the executable.
void publish_command_line(const CommandLine& line);

// ---- values ----

// A handle on one Zel value, kept alive by the runtime while the handle exists. Starts as
// unset!. Move-only; a moved-from handle may only be destroyed or assigned to.
class Value {
public:
    Value();
    ~Value();
    Value(Value&& other) noexcept;
    Value& operator=(Value&& other) noexcept;
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
    // The runtime's slot for the value (for the implementation).
    uint32_t slot() const { return slot_; }
private:
    uint32_t slot_;
};

// The datatype's name ("integer!", "block!" ...).
std::string type_name(const Value& v);
bool is_unset(const Value& v);

// ---- evaluating text ----

enum class Outcome {
    Value,     // evaluated; the value is the result
    Error,     // raised an error; the value is the error! value
    Nothing,   // ended by another unwinding that reached the top (halt, an uncaught throw ...)
};

// Reads source text into a block. On a syntax error, returns false and out holds the error.
bool load(std::string_view text, Value& out);

// Splits a loaded script: true when the block starts with the word Zel and a header block,
// with body set to the block after the header; false for any other block.
bool script_body(const Value& code, Value& body);

// Evaluates a block as `try [do code]` does (errors name do when no function runs); out
// gets the last value or the error.
Outcome evaluate(const Value& code, Value& out);

// Loads and evaluates text.
Outcome evaluate_text(std::string_view text, Value& out);

// The character that opens the construct the text ends inside of ('[', '(' or '{'), or 0
// when the text is complete (or wrong in a way that more lines cannot mend).
char open_delimiter(std::string_view text);

// ---- molding and forming ----

// mold and form of the value into out. With limit >= 0 the text holds at most limit
// characters: a longer one is cut to limit - 3 characters (at least 1) followed by "...".
// False when molding raised an error (a value's own handler): out then holds the formed error.
bool mold(const Value& v, std::string& out, int32_t limit = -1);
bool form(const Value& v, std::string& out, int32_t limit = -1);
// The error as the console shows it ("*** Script Error: ..." with its where and near lines).
std::string form_error(const Value& error);

// ---- output ----

// Receives the text of print (new_line 1) and prin (new_line 0), and low-level output. While
// no print hook is added, print writes to standard output itself.
using PrintHook = void (*)(const char* text, long length, int new_line);
using OutputHook = void (*)(const char* text, long length, int new_line);
void add_print_hooks(PrintHook print, OutputHook output);
void remove_print_hooks(PrintHook print, OutputHook output);
// Prints text as print does (through the hooks, or to standard output).
void print(std::string_view text, bool new_line = true);
// Writes text to standard output unformatted and flushes it (prompts, the console's own lines).
void write_stdout(std::string_view text);

// ---- host services a console needs ----

// True when standard input is a terminal.
bool input_is_terminal();
// Columns of the terminal on standard output (80 when unknown).
int terminal_columns();
// Reads a whole file; false when it cannot be read.
bool read_file(const std::string& path, std::string& out);
// Changes the current folder; false on failure.
bool change_dir(const std::string& path);

}  // namespace zel::api
