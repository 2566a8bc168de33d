// port! values and the forwarding of their actions to the scheme's actor (see port.h).
#include "io/port.h"

#include <utility>

#include "core/actions.h"
#include "core/collector.h"
#include "core/callable.h"
#include "core/context.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/datatypes.h"
#include "core/block.h"
#include "core/cycle_stack.h"
#include "datatypes/series/string.h"

namespace zel::port {

namespace {

using stack::arg;

// Field positions of a port object (the order of `system/standard/port`).
enum Field { F_SPEC, F_SCHEME, F_ACTOR, F_AWAKE, F_STATE, F_DATA, F_EXTRA };

// The value of a global word, or nullptr when it has none.
const Cell* global_value(const char* name) {
    int32_t index = context::global_index(symbol::intern(name));
    const Cell* v = context::value_at(context::global, index);
    return v && type_of(v) != TYPE_UNSET && type_of(v) != 0 ? v : nullptr;
}

// system/<path...>: the value of a field of the system object, or nullptr.
const Cell* system_field(std::initializer_list<const char*> path) {
    const Cell* v = global_value("system");
    for (const char* name : path) {
        if (!v || (type_of(v) != TYPE_OBJECT)) return nullptr;
        v = object::field(v, symbol::intern(name));
    }
    return v;
}

Cell* port_field(const Cell* port, Field f) { return &context::values(object_ctx(port))[f]; }

// `port/get-actor`.
const Cell* get_actor(const Cell* port) {
    if (object::field_count(port) <= F_ACTOR) error::raise(error::ERR_ACCESS_INVALID_PORT);
    const Cell* actor = port_field(port, F_ACTOR);
    // No native scheme serves a handle! actor: its ports support no action.
    if (type_of(actor) == TYPE_HANDLE) error::raise(error::ERR_ACCESS_NO_PORT_ACTION);
    if (type_of(actor) != TYPE_OBJECT) error::raise(error::ERR_ACCESS_INVALID_PORT);
    return actor;
}

// `port/call-actor`: calls the actor's function named action with the argc cells at args
// (the port first); the result goes to out. May evaluate.
void call_actor(Cell* out, uint32_t action_symbol, const Cell* args, int32_t argc) {
    uint32_t first = stack::index_of(args);
    const Cell* actor = get_actor(args);
    const Cell* fn = object::field(actor, action_symbol);
    if (!fn || !is_any_function_type(type_of(fn))) error::raise(error::ERR_ACCESS_NO_PORT_ACTION);
    Cell f = *fn;
    collector::RootGuard keep(&f);
    interp::call_with_args(&f, action_symbol, stack::at_index(first), argc);
    *out = *(stack::top - 1);
}

// Calls a port action by name with the port and extra cells already built; result to out.
void call_named(Cell* out, const char* action, const Cell* port, std::initializer_list<Cell> extra) {
    Cell* first = stack::push_copy(port);
    for (const Cell& c : extra) stack::push_copy(&c);
    call_actor(out, symbol::intern(action), first, int32_t(1 + extra.size()));
}

Cell logic(bool b) {
    Cell c;
    set_logic(&c, b);
    return c;
}
Cell none() {
    Cell c;
    set_none(&c);
    return c;
}

const char* const ACTION_NAMES[] = {
    "",
#define ZEL_ACTION(n, word, ...) word,
#include "core/actions.def"
#undef ZEL_ACTION
};

// The action value of action number a (its arguments cache tells the layout of its frame).
const Cell* action_value(int a) {
    const Cell* v = global_value(ACTION_NAMES[a]);
    if (!v || type_of(v) != TYPE_ACTION) error::raise(error::ERR_ACCESS_NO_PORT_ACTION);
    return v;
}

// A forwarded action: pushes the port, the action's other arguments, and for each
// refinement a logic! flag followed by its arguments (none when it is not used), then calls
// the actor's function of the action's name.
void forward(int a, const int32_t* refs) {
    const Cell* fn = action_value(a);
    Cell* first = stack::top;
    int32_t positional = 0;
    int32_t ref = -1, ref_arg = 0;
    callable::walk_args_cache(callable::args_cache(fn), [&](callable::CacheEntry entry, Cell& e, int32_t) {
        if (entry == callable::CacheEntry::REFINEMENT) {
            ref = cache_ref_ordinal(&e) - 1;
            ref_arg = 0;
            Cell flag = logic(refs[ref] >= 0);
            stack::push_copy(&flag);
        } else if (entry == callable::CacheEntry::ARGUMENT) {
            if (ref < 0) {
                stack::push_copy(arg(positional++));
            } else {
                if (refs[ref] >= 0) stack::push_copy(arg(refs[ref] + ref_arg));
                else stack::push_none();
                ref_arg++;
            }
        }
        return true;
    });
    Cell r;
    call_actor(&r, symbol::intern(ACTION_NAMES[a]), first, int32_t(stack::top - first));
    stack::set_result(&r);
}

actions::Dispatcher original[ACTION_COUNT + 1];

template <int A>
void forwarding_dispatcher(const int32_t* refs) {
    if (type_of(arg(0)) == TYPE_PORT) return forward(A, refs);
    original[A](refs);
}

// read and write on a port run open, copy and close (write inserts first).
void read_dispatcher(const int32_t* refs) {
    if (type_of(arg(0)) != TYPE_PORT) return original[ACT_READ](refs);
    Cell r;
    read(&r, arg(0), refs[0] >= 0 ? arg(refs[0]) : nullptr);
    stack::set_result(&r);
}
void write_dispatcher(const int32_t* refs) {
    if (type_of(arg(0)) != TYPE_PORT) return original[ACT_WRITE](refs);
    Cell r;
    write(&r, arg(0), arg(1));
    stack::set_result(&r);
}

template <int... A>
void wrap_all(std::integer_sequence<int, A...>) {
    ((original[25 + A] = actions::dispatchers[25 + A], actions::dispatchers[25 + A] = forwarding_dispatcher<25 + A>),
     ...);
}

void port_make(Cell* out, Cell* proto, Cell* spec, uint32_t) {
    make(proto, spec);
    *out = *proto;
}

int32_t port_mold(const Cell* v, uint32_t b, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                  int32_t indent) {
    if (cycle::emit_marker(v, b, limit, true)) return limit;
    if (!only) {
        string::append_ascii(b, "make port! [");
        limit -= 12;
    }
    limit = object::mold_body(v, b, only, all, flat, part, limit, indent + 1, !flat);
    if (!flat && indent >= 1) limit = cycle::emit_indent(b, indent, limit);
    if (!only) {
        string::append_char(b, ']');
        limit--;
    }
    return limit;
}

int32_t port_form(const Cell* v, uint32_t b, const Cell* part, int32_t limit) {
    return port_mold(v, b, false, false, false, part, limit, 0);
}

}  // namespace

// The scheme object named name in `system/schemes`, a block of alternating names and schemes
// (an object of schemes is also searched, by field), or nullptr.
static const Cell* find_scheme(const Cell* schemes, uint32_t name) {
    if (!schemes) return nullptr;
    if (type_of(schemes) == TYPE_OBJECT) return object::field(schemes, name);
    if (type_of(schemes) != TYPE_BLOCK) return nullptr;
    int32_t n = block::length(schemes);
    const Cell* v = block::head(schemes);
    for (int32_t i = 0; i + 1 < n; i += 2) {
        if (is_any_word_type(type_of(v + i)) && symbol::same_canonical(word_symbol(v + i), name)) return v + i + 1;
    }
    return nullptr;
}

void make(Cell* out, const Cell* spec_in) {
    Cell spec = *spec_in;
    collector::RootGuard keep_spec(&spec);
    Cell spec_object;
    set_none(&spec_object);
    collector::RootGuard keep_object(&spec_object);
    if (type_of(&spec) == TYPE_OBJECT) {
        object::copy(&spec_object, &spec, false, nullptr);
    } else if (type_of(&spec) == TYPE_BLOCK) {
        const Cell* parts = system_field({"standard", "url-parts"});
        object::make(&spec_object, parts && type_of(parts) == TYPE_OBJECT ? parts : nullptr, &spec);
    } else {
        error::raise(error::ERR_SCRIPT_INVALID_ARG, &spec);
    }
    const Cell* scheme = object::field(&spec_object, symbol::intern("scheme"));
    if (!scheme || type_of(scheme) != TYPE_WORD) error::raise(error::ERR_ACCESS_NO_SCHEME, &spec);
    Cell scheme_word = *scheme;
    const Cell* s = find_scheme(system_field({"schemes"}), word_symbol(&scheme_word));
    if (!s || type_of(s) != TYPE_OBJECT) error::raise(error::ERR_ACCESS_UNKNOWN_SCHEME, &scheme_word);
    const Cell* actor = object::field(s, symbol::intern("actor"));
    if (!actor || (type_of(actor) != TYPE_OBJECT && type_of(actor) != TYPE_HANDLE))
        error::raise(error::ERR_ACCESS_INVALID_ACTOR);
    Cell actor_value = *actor;
    collector::RootGuard keep_actor(&actor_value);
    const Cell* proto = system_field({"standard", "port"});
    if (!proto || type_of(proto) != TYPE_OBJECT) error::raise(error::ERR_ACCESS_INVALID_PORT);
    Cell p;
    object::copy(&p, proto, false, nullptr);
    if (object::field_count(&p) <= F_EXTRA) error::raise(error::ERR_ACCESS_INVALID_PORT);
    *port_field(&p, F_SPEC) = spec_object;
    *port_field(&p, F_SCHEME) = scheme_word;
    *port_field(&p, F_ACTOR) = actor_value;
    retype(&p, TYPE_PORT);
    object::wrap(out, object_ctx(&p), object_class(&p), TYPE_PORT);
}

void read(Cell* out, const Cell* port_in, const Cell* part) {
    Cell* port = stack::push_copy(port_in);
    uint32_t port_index = stack::index_of(port);
    Cell* r = stack::push_none();
    uint32_t r_index = stack::index_of(r);
    call_named(r, "open", port, {logic(false), logic(false), logic(false), logic(false), logic(false), none()});
    port = stack::at_index(port_index);
    Cell part_flag = logic(part != nullptr), part_value = part ? *part : none();
    call_named(stack::at_index(r_index), "copy", port,
               {part_flag, part_value, logic(false), logic(false), none()});
    Cell ignored;
    call_named(&ignored, "close", stack::at_index(port_index), {});
    *out = *stack::at_index(r_index);
}

void write(Cell* out, const Cell* port_in, const Cell* data) {
    Cell* port = stack::push_copy(port_in);
    uint32_t port_index = stack::index_of(port);
    stack::push_copy(data);
    uint32_t data_index = port_index + 1;
    Cell* r = stack::push_none();
    uint32_t r_index = stack::index_of(r);
    call_named(r, "open", port, {logic(false), logic(false), logic(false), logic(false), logic(false), none()});
    Cell d = *stack::at_index(data_index);
    call_named(stack::at_index(r_index), "insert", stack::at_index(port_index),
               {d, logic(false), none(), logic(false), logic(false), none()});
    call_named(stack::at_index(r_index), "copy", stack::at_index(port_index),
               {logic(false), none(), logic(false), logic(false), none()});
    Cell ignored;
    call_named(&ignored, "close", stack::at_index(port_index), {});
    *out = *stack::at_index(r_index);
}

void init() {
    // append (25) to modify (55), then open, query, rename and update.
    wrap_all(std::make_integer_sequence<int, 31>());
    original[ACT_OPEN] = actions::dispatchers[ACT_OPEN];
    actions::dispatchers[ACT_OPEN] = forwarding_dispatcher<ACT_OPEN>;
    original[ACT_QUERY] = actions::dispatchers[ACT_QUERY];
    actions::dispatchers[ACT_QUERY] = forwarding_dispatcher<ACT_QUERY>;
    original[ACT_RENAME] = actions::dispatchers[ACT_RENAME];
    actions::dispatchers[ACT_RENAME] = forwarding_dispatcher<ACT_RENAME>;
    original[ACT_UPDATE] = actions::dispatchers[ACT_UPDATE];
    actions::dispatchers[ACT_UPDATE] = forwarding_dispatcher<ACT_UPDATE>;
    original[ACT_READ] = actions::dispatchers[ACT_READ];
    actions::dispatchers[ACT_READ] = read_dispatcher;
    original[ACT_WRITE] = actions::dispatchers[ACT_WRITE];
    actions::dispatchers[ACT_WRITE] = write_dispatcher;
}

}  // namespace zel::port

namespace zel::datatypes {

// port!'s own handlers; the series actions reach its actor through the dispatchers port::init
// wraps.
void register_port() {
    actions::TypeSpec spec{TYPE_PORT, {}};
    actions::put(spec, ACT_MAKE, port::port_make);
    actions::put(spec, ACT_FORM, port::port_form);
    actions::put(spec, ACT_MOLD, port::port_mold);
    spec.handlers[ACT_REFLECT - 1] = actions::INHERIT;
    spec.handlers[ACT_EVAL_PATH - 1] = actions::INHERIT;
    spec.handlers[ACT_COMPARE - 1] = actions::INHERIT;
    actions::register_type(spec);
}

}  // namespace zel::datatypes
