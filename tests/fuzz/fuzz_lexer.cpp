// Feeds arbitrary bytes to the lexer through both entries: as the bytes of a binary! (the
// text entry over a series buffer, which a callback's collection may move) and as a string!
// of 1-, 2- or 4-byte characters (the string entry, which converts to UTF-8 first); in every
// mode (load, scan, prescan, one value), with and without a target block, and with and
// without a callback that answers, refuses, skips input, throws and lexes again from inside.
// Syntax errors are expected; crashes, hangs and sanitizer reports are not.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/collector.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "fuzz_support.h"
#include "io/lexer.h"

using namespace zel;

namespace {

const char* const callbacks[4] = {
    // answers yes to everything
    "func [e i t l tok] [true]",
    // steps over bad text, refuses every other token at an even index, throws on line 3
    "func [e i t l tok] [if l = 3 [throw 'stop] if e = 'error [i: next i return false] odd? index? i]",
    // only errors and loaded values; skips two characters after an integer
    "func [e i t l tok] [[error load] if e = 'error [i: next i] if integer? tok [i: skip i 2] e = 'load]",
    // lexes again from inside the callback
    "func [e i t l tok] [[load close] if e = 'load [transcode/scan \"1 [2\" transcode \"a [b] c\"] true]",
};

// The input as a string: bytes as Latin-1 characters, or mapped to wide characters.
void make_string(Cell* out, const uint8_t* data, size_t size, bool wide) {
    uint32_t node = string::new_node(size + 1);
    set_series(out, TYPE_STRING, node);
    for (size_t i = 0; i < size; i++) {
        uint32_t b = data[i];
        uint32_t cp = b;
        if (wide && b >= 0x80) cp = b >= 0xF0 ? 0x1F600 + b : b >= 0xC0 ? 0x3000 + b : 0xA0 + (b & 0x1F);
        string::append_char(node, cp);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_runtime();
    if (size == 0) return 0;
    // The first byte picks the entry, the mode and the callback; the rest is the text.
    uint8_t mode = data[0];
    data++;
    size--;
    fuzz::run_guarded([&] {
        int entry = mode & 3;
        int kind = (mode >> 2) & 3;
        bool trace = mode & 0x10;
        bool into = mode & 0x20;
        int flavour = mode >> 6;

        lexer::Options opt;
        opt.one_value = kind == 1 || kind == 3;
        opt.load = kind != 1 && kind != 2;
        opt.prescan = kind == 2;
        Cell* input = stack::push_none();
        Cell* target = stack::push_none();
        Cell* callback = stack::push_none();
        Cell* result = stack::push_none();
        if (into) {
            block::init_cell(target, 4);
            opt.into = target;
        }
        if (trace) {
            collector::RootedCell code;
            lexer::load_utf8(&code, callbacks[flavour]);
            interp::eval_block(&code, false);
            *callback = *(stack::top - 1);
            opt.callback = callback;
        }
        size_t stop = 0;
        if (entry == 0 || entry == 3) {
            // The text entry: over a binary!'s buffer, or (3) over bare bytes.
            if (entry == 0) {
                uint32_t node = memory::new_series(size ? size : 1, 1);
                std::memcpy(memory::buf(node)->data(), data, size);
                memory::buf(node)->tail = uint32_t(size);
                set_series(input, TYPE_BINARY, node);
                opt.input = input;
                lexer::transcode(result, memory::buf(node)->data(), size, opt, &stop);
            } else {
                lexer::transcode(result, data, size, opt, &stop);
            }
        } else {
            make_string(input, data, size, entry == 2);
            lexer::load_string(result, input, -1, opt, &stop);
        }
    });
    return 0;
}
