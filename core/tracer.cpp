// The interpreter's tracer (see tracer.h).
#include "core/tracer.h"

#include "core/callable.h"
#include "core/collector.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"

namespace zel::tracer {

bool active = false;

namespace {

Cell tracer_fn;
uint32_t mask = 0;
bool registered = false;

struct EventName { uint32_t bit; SymId word; };
const EventName event_names[] = {
    {EV_INIT, SYM_INIT}, {EV_END, SYM_END}, {EV_PROLOG, SYM_PROLOG}, {EV_EPILOG, SYM_EPILOG},
    {EV_ENTER, SYM_ENTER}, {EV_EXIT, SYM_EXIT}, {EV_OPEN, SYM_OPEN}, {EV_RETURN, SYM_RETURN},
    {EV_FETCH, SYM_FETCH}, {EV_PUSH, SYM_PUSH}, {EV_SET, SYM_SET}, {EV_CALL, SYM_CALL},
    {EV_ERROR, SYM_ERROR}, {EV_THROW, SYM_THROW}, {EV_CATCH, SYM_CATCH}, {EV_EXPR, SYM_EXPR},
};

void ensure_root() {
    if (registered) return;
    set_unset(&tracer_fn);
    collector::register_static_cell(&tracer_fn);
    registered = true;
}

}  // namespace

bool is_library_code(uint32_t node) { return node && (memory::buf(node)->flags & F_LIBRARY_CODE) != 0; }

uint32_t filter_of(const Cell* fn) {
    if (type_of(fn) != TYPE_FUNCTION) return 0x1FFFF;
    const Cell* body = &memory::buf(callable_aux(fn))->cells()[callable::AUX_BODY];
    if (type_of(body) != TYPE_BLOCK) return 0x1FFFF;
    SeriesBuf* b = memory::buf(series_node(body));
    if (b->length() == 0 || type_of(&b->cells()[0]) != TYPE_BLOCK) return 0x1FFFF;
    Cell filter = b->cells()[0];
    SeriesBuf* fb = memory::buf(series_node(&filter));
    if (fb->length() == 0) return 0x1FFFF;
    uint32_t m = 0;
    for (uint32_t i = uint32_t(series_head(&filter)); i < fb->length(); i++) {
        const Cell* w = &fb->cells()[i];
        if (type_of(w) != TYPE_WORD) continue;
        for (const EventName& e : event_names)
            if (symbol::same_canonical(word_symbol(w), sym(e.word))) m |= e.bit;
    }
    return m;
}

bool install(const Cell* fn) {
    ensure_root();
    if (type_of(&tracer_fn) == TYPE_FUNCTION) return false;
    tracer_fn = *fn;
    mask = filter_of(fn);
    active = true;
    send(EV_INIT, nullptr, -1, nullptr, nullptr);
    return true;
}

void remove() {
    if (type_of(&tracer_fn) != TYPE_FUNCTION) return;
    active = true;
    // The tracer is removed even when its end event raises.
    struct Clear {
        ~Clear() {
            set_unset(&tracer_fn);
            active = false;
        }
    } clear;
    send(EV_END, nullptr, -1, nullptr, nullptr);
}

bool installed() { return registered && type_of(&tracer_fn) == TYPE_FUNCTION; }

void send(uint32_t event, const Cell* code, int32_t pos, const Cell* value, const Cell* ref) {
    if (!active || !(mask & event) || type_of(&tracer_fn) != TYPE_FUNCTION) return;
    if (code && is_any_block_type(type_of(code)) && is_library_code(series_node(code))) return;
    Cell args[6];
    for (const EventName& e : event_names)
        if (e.bit == event) word::make_global(&args[0], TYPE_WORD, sym(e.word));
    if (code) args[1] = *code; else set_none(&args[1]);
    set_integer(&args[2], pos);
    if (value && type_of(value) != 0) args[3] = *value; else set_none(&args[3]);
    bool with_ref = event == EV_SET || event == EV_EPILOG || event == EV_PROLOG || event == EV_RETURN || event == EV_CALL;
    if (ref && with_ref) args[4] = *ref; else set_none(&args[4]);
    set_pair(&args[5], int32_t(stack::index_of(stack::base)), int32_t(stack::index_of(stack::top)));
    Cell* top_before = stack::top;
    stack::push();   // a spare cell above the traced state
    active = false;
    Cell fn = tracer_fn;
    try {
        interp::call_with_args(&fn, sym(SYM_INTERP_CALLBACK), args, 6);
    } catch (...) {
        active = true;
        throw;
    }
    active = true;
    stack::top = top_before;
}

void send_at(uint32_t event, uint32_t code_node, uint32_t code_type, int32_t pos, const Cell* value, const Cell* ref) {
    if (!active || !(mask & event)) return;
    if (is_library_code(code_node)) return;
    Cell code;
    if (code_node) set_series(&code, code_type, code_node, 0);
    send(event, code_node ? &code : nullptr, pos, value, ref);
}

}  // namespace zel::tracer
