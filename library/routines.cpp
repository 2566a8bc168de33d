// Runtime and OS routines of the library.
#include "library/routines.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/actions.h"
#include "core/block.h"
#include "core/context.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/routines.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/text.h"
#include "core/word.h"
#include "datatypes/scalar/float_text.h"
#include "datatypes/scalar/integer.h"
#include "library/image_codecs.h"
#include "library/json_codec.h"
#include "library/zelbin_codec.h"
#include "natives/natives.h"

namespace zel::library {

namespace {

// quit-return: ends the process at once with the given status.
void quit_return(Cell* args) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(int_value(&args[0]));
}

// The usual rejoin: a string! followed by integers and strings, every text stored in one-byte
// units. Appending each value to a copy of the first would give the same text; here the
// result is made at its full size at once and filled. False, with nothing made, for any
// other mix (the values are the count value-stack cells from index first).
bool join_narrow_texts(Cell* out, uint32_t first, uint32_t count) {
    constexpr uint32_t MAX_PIECES = 16;
    if (count > MAX_PIECES || type_of(stack::at_index(first)) != TYPE_STRING) return false;
    integer::DecimalText digits[MAX_PIECES];
    size_t total = 0;
    for (uint32_t i = 0; i < count; i++) {
        const Cell* v = stack::at_index(first + i);
        uint32_t t = type_of(v);
        if (t == TYPE_INTEGER) {
            digits[i] = integer::to_decimal_text(int_value(v));
            total += digits[i].length;
        } else if (t == TYPE_STRING && memory::buf(series_node(v))->unit() == 1) {
            total += string::total_length(v) - string::head_index(v);
        } else {
            return false;
        }
    }
    if (total > 0x7FFFFFF0u) return false;   // the general route raises no-memory
    uint32_t result = string::new_node(total, 1);
    SeriesBuf* b = memory::buf(result);
    uint8_t* d = b->data();
    for (uint32_t i = 0; i < count; i++) {
        const Cell* v = stack::at_index(first + i);
        if (type_of(v) == TYPE_INTEGER) {
            std::memcpy(d, digits[i].text, digits[i].length);
            d += digits[i].length;
        } else {
            uint32_t from = string::head_index(v);
            uint32_t n = string::total_length(v) - from;
            std::memcpy(d, memory::buf(series_node(v))->data() + from, n);
            d += n;
        }
    }
    b->tail = uint32_t(total);
    set_series(out, TYPE_STRING, result, 0, 0);
    return true;
}

// The joining step of rejoin over count reduced values: the cells of the block node from its
// start, or (node 0) the value-stack cells from index first. None gives an empty block; else a
// copy of the first value when it is a series, or its form, with every later value appended
// (each through the append action of the result's type, as `append result :value` would).
// Nothing here evaluates Zel code, and allocation never collects, so the values read here
// stay put.
void join_values(Cell* out, uint32_t node, uint32_t first, uint32_t count) {
    auto value_at = [&](uint32_t i) { return node ? memory::buf(node)->cells()[i] : *stack::at_index(first + i); };
    if (count == 0) {
        block::init_cell(out, 0);
        return;
    }
    if (!node && join_narrow_texts(out, first, count)) return;
    Cell head = value_at(0);
    uint32_t ft = type_of(&head);
    Cell result;
    if (is_series_type(ft)) actions::get<actions::CopyFn>(ft, ACT_COPY)(&result, &head, nullptr, false, nullptr);
    else actions::form_value(&result, &head);
    auto append = actions::get<actions::InsertFn>(type_of(&result), ACT_APPEND);
    for (uint32_t i = 1; i < count; i++) {
        Cell value = value_at(i);
        append(&result, &value, -1, false, 1, true);
    }
    *out = result;
}

// Blocks up to this many cells reduce onto the value stack; longer ones into a block.
constexpr uint32_t STACK_REDUCE_CELLS = 16;

// rejoin-block: the body of rejoin. Reduces the block as `reduce` does (each value with its
// new-line marker cleared) and joins the values. A short block's values wait on the value
// stack, so that the common case makes only the result; a long one's go into a block held on
// the stack. A break, return or other unwinding from the block's code stops it at once and
// travels on.
void rejoin_block(Cell* args) {
    Cell block = args[0];
    uint32_t node = series_node(&block);
    int32_t h = series_head(&block);
    uint32_t len = memory::buf(node)->length();
    uint32_t index = h < 0 ? 0 : (uint32_t(h) > len ? len : uint32_t(h));
    if (len - index <= STACK_REDUCE_CELLS) {
        uint32_t first = stack::index_of(stack::top);
        while (index < memory::buf(node)->length()) {
            index = interp::eval_next(&block, index, true);
            if (stack::unwinding()) return;
            set_new_line(stack::top - 1, false);
        }
        join_values(&args[0], 0, first, stack::index_of(stack::top) - first);
        return;
    }
    Cell* held = stack::push();
    block::init_cell(held, len - index);
    uint32_t out = series_node(held);
    while (index < memory::buf(node)->length()) {
        index = interp::eval_next(&block, index, true);
        if (stack::unwinding()) return;
        Cell* v = stack::top - 1;
        set_new_line(v, false);
        block::append(out, v);
        stack::top--;
    }
    join_values(&args[0], out, 0, memory::buf(out)->length());
}

// set-quiet: stores a value in a word's own context without running the owning object's
// on-change* (so a change handler can put a field back without running itself again).
void set_quiet(Cell* args) {
    uint32_t t = type_of(&args[0]);
    if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_LIT_WORD && t != TYPE_GET_WORD)
        error::raise_expect_arg_n(0, t);
    word::set(&args[0], &args[1], false);
    args[0] = args[1];
}

// set-slot-quiet: writes a value into the cell at a block's position without calling the
// owner's on-deep-change* (so a deep-change handler can adjust what it just accepted). At the
// tail nothing changes.
void set_slot_quiet(Cell* args) {
    uint32_t t = type_of(&args[0]);
    if (t != TYPE_BLOCK && t != TYPE_PAREN && t != TYPE_PATH && t != TYPE_LIT_PATH &&
        t != TYPE_SET_PATH && t != TYPE_GET_PATH)
        error::raise_expect_arg_n(0, TYPE_BLOCK);
    int32_t h = series_head(&args[0]);
    if (h >= 0 && block::length(&args[0]) > 0) *block::at(series_node(&args[0]), uint32_t(h)) = args[1];
}

// interpreted?*: whether a frame the interpreter opened stands anywhere on the call-frame stack.
void interpreted_q(Cell* args) {
    bool found = false;
    for (const stack::Frame* f = stack::fbottom; f < stack::ftop && !found; f++)
        found = (f->header & stack::FRAME_INTERPRETER) != 0;
    set_logic(&args[0], found);
}

// float-option*: switches one of the float formatter's options (pretty? or full?) on or off.
void float_option(Cell* args) {
    bool on = type_of(&args[1]) == TYPE_LOGIC && logic_value(&args[1]);
    uint32_t s = word_symbol(&args[0]);
    if (s == symbol::intern("pretty?")) float_::is_pretty = on;
    else if (s == symbol::intern("full?")) float_::is_full = on;
    set_logic(&args[0], on);
}

// last-lf?: whether the last print or prin ended its text with a line end.
void last_lf_q(Cell* args) { set_logic(&args[0], natives::last_line_feed()); }

// system-words-object: an object over the global context (no class of its own), stored as that
// context's own object value, so that the global words are its fields and `context?` of a
// global word gives it. Start-up keeps it in system/words.
void system_words_object(Cell* args) { object::wrap(&args[0], context::global, -1); }

}  // namespace

void define_routines() {
    routines::define("quit-return", "status [integer!]", quit_return);
    routines::define("rejoin-block", "block [block!]", rejoin_block);
    routines::define("set-quiet",
                     R"("Set an object's field to a value without triggering eventual object's events" word [any-type!] value [any-type!] return: [any-type!])",
                     set_quiet);
    routines::define("set-slot-quiet",
                     R"("Set a value in series without triggering eventual owner's events" series [any-type!] value [any-type!])",
                     set_slot_quiet);
    routines::define("interpreted?*", R"("Return TRUE if called from the interpreter")", interpreted_q);
    routines::define("float-option*", "name [word!] value [any-type!]", float_option);
    routines::define("last-lf?", R"("Internal Use Only")", last_lf_q);
    routines::define("system-words-object", "", system_words_object);
    define_image_codec_routines();
    define_zelbin_routines();
    define_json_routines();
    define_os_routines();
    define_type_tests();
    define_gc_routines();
}

}  // namespace zel::library
