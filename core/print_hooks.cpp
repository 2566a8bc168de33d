// The print and output hook lists (see print_hooks.h).
#include "core/print_hooks.h"

#include <cstdio>
#include <vector>

#include "platform/console_io.h"

namespace zel::print_hooks {

namespace {

// A list in registration order whose capacity grows by CAPACITY_STEP entries at a time.
template <typename Fn>
struct HookList {
    std::vector<Fn> items;
    size_t capacity = INITIAL_CAPACITY;

    void add(Fn f) {
        if (!f) return;
        if (items.size() == capacity) capacity += CAPACITY_STEP;
        items.push_back(f);
    }
    void remove(Fn f) {
        if (!f) return;
        for (size_t i = 0; i < items.size(); i++)
            if (items[i] == f) {
                items.erase(items.begin() + long(i));
                return;
            }
    }
    void clear() {
        items.clear();
        capacity = INITIAL_CAPACITY;
    }
};

HookList<PrintHook> prints;
HookList<OutputHook> outputs;
bool initialised_flag = false;

}  // namespace

void init() {
    prints.clear();
    outputs.clear();
    initialised_flag = true;
}

bool initialised() { return initialised_flag; }

void add(PrintHook print, OutputHook output) {
    prints.add(print);
    outputs.add(output);
}

void remove(PrintHook print, OutputHook output) {
    prints.remove(print);
    outputs.remove(output);
}

void call_print(std::string_view text, bool new_line) {
    if (prints.items.empty()) {
        std::fflush(stdout);
        platform::write_stdout(text);
        if (new_line) platform::write_stdout("\n");
        return;
    }
    std::vector<PrintHook> copy = prints.items;
    for (PrintHook h : copy) h(text.data(), long(text.size()), new_line ? 1 : 0);
}

void call_output(std::string_view text, bool new_line) {
    if (outputs.items.empty()) return;
    std::vector<OutputHook> copy = outputs.items;
    for (OutputHook h : copy) h(text.data(), long(text.size()), new_line ? 1 : 0);
}

size_t print_count() { return prints.items.size(); }
size_t output_count() { return outputs.items.size(); }
size_t print_capacity() { return prints.capacity; }
size_t output_capacity() { return outputs.capacity; }

}  // namespace zel::print_hooks
