// The two lists of output callbacks.
//
// Print hooks receive every value that print and prin have formed: its UTF-8 text, the byte
// length, and a new-line flag (1 for print, 0 for prin). Output hooks receive every piece of
// low-level output: UTF-8 bytes, a byte length (a negative length means "up to the first zero
// byte") and a new-line flag. While no print hook is registered, print and prin write to
// standard output themselves; once one is, only the hooks receive the text. Output with no
// output hook goes nowhere.
//
// Both lists keep registration order and grow five entries at a time from a capacity of 5.
// Calls iterate over a copy of the list taken at entry, so a hook may add or remove hooks
// while it runs (the change applies from the next call). A hook may evaluate Zel code, through
// interp::call_with_args (an unwinding then leaves the hook as an exception).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zel::print_hooks {

using PrintHook = void (*)(const char* text, long length, int new_line);
using OutputHook = void (*)(const char* text, long length, int new_line);

constexpr size_t INITIAL_CAPACITY = 5;
constexpr size_t CAPACITY_STEP = 5;

// `print-hooks/init`: empties both lists (capacity 5 each) and sets the initialised flag.
void init();
bool initialised();
// `print-hooks/add`: appends each non-null hook to its list.
void add(PrintHook print, OutputHook output);
// `print-hooks/remove`: removes the first occurrence of each hook from its list, keeping the
// order of the others; an absent or null hook changes nothing.
void remove(PrintHook print, OutputHook output);
// `print-hooks/call-print`: hands formed text to every print hook, or writes it (with a line
// feed when new_line) to standard output while there is none.
void call_print(std::string_view text, bool new_line);
// `print-hooks/call-output`: hands text to every output hook.
void call_output(std::string_view text, bool new_line = false);

size_t print_count();
size_t output_count();
size_t print_capacity();
size_t output_capacity();

}  // namespace zel::print_hooks
