// Shared by the fuzz harnesses: start the runtime once, run one input as a catch site of
// every language error and unwinding, and collect now and then so memory stays bounded.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string_view>

#include "core/block.h"
#include "core/collector.h"
#include "core/interpreter.h"
#include "core/stack.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"
#include "startup/runtime.h"

namespace zel::fuzz {

inline void init_runtime() {
    static bool done = false;
    if (done) return;
    done = true;
    runtime::init_for_tests();
}

// Splits off the input's first byte, which picks the harness's entry and options, leaving the
// rest as the input proper. False (nothing to run) when no byte is left for the mode, or
// fewer than min_rest bytes after it.
inline bool take_mode(const uint8_t*& data, size_t& size, uint8_t& mode, size_t min_rest = 0) {
    if (size < 1 + min_rest) return false;
    mode = data[0];
    data++;
    size--;
    return true;
}

// Runs fn with every error and non-local exit stopped here; the stacks are put back after.
template <typename Fn>
void run_guarded(Fn&& fn) {
    stack::capture(fn);
    static unsigned runs = 0;
    if (++runs % 64 == 0) collector::run_cycle();
}

// Evaluates the harness's Zel source (the functions its checks call) on the first call only.
inline void define_once(std::string_view source) {
    static bool defined = false;
    if (defined) return;
    defined = true;
    run_guarded([&] {
        Cell* code = stack::push_none();
        lexer::load_utf8(code, source);
        interp::eval_block(code, false);
    });
}

// Calls the Zel function named check with the input as a string! followed by the integers
// given; true when the call ran to its end and returned true (a round trip found broken).
// Errors and unwindings inside the call are stopped and count as not broken.
inline bool check_finds_fault(std::string_view check, const uint8_t* data, size_t size,
                              std::initializer_list<int32_t> ints = {}) {
    bool broken = false;
    run_guarded([&] {
        Cell* code = stack::push_none();
        lexer::load_utf8(code, check);
        Cell* text = stack::push_none();
        string::from_utf8(text, std::string_view(reinterpret_cast<const char*>(data), size));
        block::append(series_node(code), text);
        for (int32_t n : ints) {
            Cell* c = stack::push_none();
            integer::write_cell(c, n);
            block::append(series_node(code), c);
        }
        interp::eval_block(code, false);
        if (stack::unwinding()) return;
        const Cell* r = stack::top - 1;
        broken = type_of(r) == TYPE_LOGIC && logic_value(r);
    });
    return broken;
}

}  // namespace zel::fuzz
