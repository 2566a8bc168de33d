// The two lists of output callbacks. Print hooks receive every value that print and prin
// have formed (UTF-8 text, and a new-line flag: 1 for print, 0 for prin); output hooks
// receive every piece of low-level output text. While no print hook is registered, print
// and prin write to standard output. Callers iterate over a copy of a list, so a hook may
// add or remove hooks while it runs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zel::print_hooks {

// text: UTF-8 bytes; length < 0: up to the first zero byte.
using PrintHook = void (*)(const char* text, long length, int new_line);
using OutputHook = void (*)(const char* text, long length, int flag);

void init();
void add(PrintHook print, OutputHook output);
void remove(PrintHook print, OutputHook output);
// Sends formed text to every print hook, or to standard output when there is none.
void call_print(std::string_view text, bool new_line);
void call_output(std::string_view text, int flag);
size_t print_count();
size_t output_count();
size_t print_capacity();

}  // namespace zel::print_hooks
