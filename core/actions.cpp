// Datatype registry and the central lookup (see actions.h). The action dispatchers are in
// action_dispatch.cpp.
#include "core/actions.h"

#include <cstdio>
#include <cstdlib>

#include "core/error.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/types.h"
#include "core/word.h"
#include "core/text.h"

namespace zel::actions {

Handler table[TYPE_TABLE_SIZE][ACTION_COUNT + 1];

namespace {
const char* names[TYPE_TABLE_SIZE];
uint32_t name_symbols[TYPE_TABLE_SIZE];
uint32_t highest = 0;
}  // namespace

namespace {
[[noreturn]] void registration_fault(const char* what, uint32_t t) {
    const char* name = types::info(t).name;
    std::fprintf(stderr, "*** Start-up error: type %u (%s) %s\n", t, name ? name : "not in types.def", what);
    std::exit(1);
}
}  // namespace

void register_type(const TypeSpec& spec) {
    uint32_t t = spec.id;
    const types::TypeInfo& info = types::info(t);
    if (t == 0 || t > TYPE_MAX || !info.name) registration_fault("is not a datatype of types.def", t);
    if (names[t]) registration_fault("registers twice", t);
    if (info.parent && !names[info.parent]) registration_fault("registers before its parent", t);
    if (t > highest) highest = t;
    names[t] = info.name;
    if (symbol::table_node) name_symbols[t] = symbol::intern(info.name);
    for (int a = 1; a <= ACTION_COUNT; a++) {
        Handler h = spec.handlers[a - 1];
        if (h == INHERIT) h = info.parent ? table[info.parent][a] : nullptr;
        table[t][a] = h;
    }
}

bool is_registered(uint32_t type) { return type < TYPE_TABLE_SIZE && names[type]; }

void make_type_words() {
    for (uint32_t t = 1; t <= highest; t++)
        if (names[t]) name_symbols[t] = symbol::intern(names[t]);
}

const char* type_name(uint32_t type) {
    return type < TYPE_TABLE_SIZE && names[type] ? names[type] : "unknown!";
}
uint32_t type_word_symbol(uint32_t type) { return type < TYPE_TABLE_SIZE ? name_symbols[type] : 0; }
uint32_t highest_type() { return highest; }

Handler lookup(uint32_t type, int action) {
    Handler h = type < TYPE_TABLE_SIZE ? table[type][action] : nullptr;
    if (h) return h;
    // The calling word names the action; its first spec argument names the argument.
    error::raise_expect_arg_n(0, type);
}

int32_t compare_raw(const Cell* a, const Cell* b, int32_t op) {
    uint32_t ta = type_of(a);
    CompareFn fn = reinterpret_cast<CompareFn>(ta < TYPE_TABLE_SIZE ? table[ta][ACT_COMPARE] : nullptr);
    if (!fn) {
        // Types without a compare handler are equal only to themselves.
        if (ta != type_of(b)) return -2;
        return std::memcmp(payload_bytes(a), payload_bytes(b), 12) == 0 ? 0 : -2;
    }
    return fn(a, b, op);
}

bool compare(const Cell* a, const Cell* b, int32_t op) {
    int32_t r = compare_raw(a, b, op);
    if (r == -2) {
        switch (op) {
            case OP_EQUAL: case OP_STRICT_EQUAL: case OP_SAME: case OP_STRICT_LIT:
            case OP_EQUAL_LIT: case OP_FIND:
                return false;
            case OP_NOT_EQUAL:
                return true;
            default:
                error::raise(error::ERR_SCRIPT_INVALID_COMPARE, a, b);
        }
    }
    switch (op) {
        case OP_NOT_EQUAL: return r != 0;
        case OP_LESSER: return r < 0;
        case OP_LESSER_EQUAL: return r <= 0;
        case OP_GREATER: return r > 0;
        case OP_GREATER_EQUAL: return r >= 0;
        default: return r == 0;
    }
}

int32_t form_into(const Cell* value, uint32_t buffer, int32_t limit) {
    auto fn = get<FormFn>(type_of(value), ACT_FORM);
    return fn(value, buffer, nullptr, limit < 0 ? 0x7FFFFFFF : limit);
}

int32_t mold_into(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, int32_t limit,
                  int32_t indent) {
    auto fn = get<MoldFn>(type_of(value), ACT_MOLD);
    return fn(value, buffer, only, all, flat, nullptr, limit < 0 ? 0x7FFFFFFF : limit, indent);
}

void form_value(Cell* out, const Cell* value) {
    Cell v = *value;
    uint32_t node = string::new_node(16);
    form_into(&v, node);
    set_series(out, TYPE_STRING, node);
}

void mold_value(Cell* out, const Cell* value, bool only, bool all, bool flat) {
    Cell v = *value;
    uint32_t node = string::new_node(16);
    mold_into(&v, node, only, all, flat);
    set_series(out, TYPE_STRING, node);
}

void eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const PathStep& step) {
    uint32_t t = type_of(parent);
    auto fn = reinterpret_cast<EvalPathFn>(t < TYPE_TABLE_SIZE ? table[t][ACT_EVAL_PATH] : nullptr);
    if (!fn) {
        Cell dt;
        set_datatype(&dt, t);
        if (!step.path) error::raise(error::ERR_SCRIPT_BAD_PATH_TYPE2, element, &dt);
        error::raise(error::ERR_SCRIPT_BAD_PATH_TYPE, step.path, &dt);
    }
    fn(out, parent, element, value, step);
}

}  // namespace zel::actions
