// The interpreter (see interpreter.h).
#include "core/interpreter.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/actions.h"
#include "core/callable.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/routines.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/tracer.h"
#include "core/typeset_bits.h"
#include "core/word.h"
#include "core/conditionals.h"
#include "core/native_table.h"

namespace zel::interp {

bool tracing = false;
uint64_t code_epoch = 1;

namespace {
bool env_flag(const char* name) {
    const char* v = std::getenv(name);
    return v && v[0] && v[0] != '0';
}
}  // namespace

bool fast_paths = !env_flag("ZEL_NO_FAST_PATHS");
bool code_cache = !env_flag("ZEL_NO_CODE_CACHE");

using memory::buf;
using stack::FRAME_INTERPRETER;

namespace {

char* native_stack_floor = nullptr;   // below this address the guard raises stack-overflow

[[gnu::noinline, gnu::cold]] void raise_native_overflow() { error::raise(error::ERR_INTERNAL_STACK_OVERFLOW); }

// The stack pointer, read directly: taking a local's address would force a stack slot, and
// the frame address would force a frame pointer into every caller.
[[gnu::always_inline]] inline char* native_stack_pointer() {
#if defined(__x86_64__)
    char* sp;
    asm("mov %%rsp, %0" : "=r"(sp));
    return sp;
#else
    char here;
    char* volatile sp = &here;
    return sp;
#endif
}

// The native stack guard, inline: taken once per call (every native recursion through Zel
// code passes a call) and per paren (parens nest without one), not per block.
[[gnu::always_inline]] inline void guard_native_stack() {
    if (native_stack_pointer() < native_stack_floor) raise_native_overflow();
}

inline Cell* code_at(uint32_t node, uint32_t i) { return buf(node)->cells() + i; }

// The value cell of a word, with the common cases inline.
inline Cell* word_value(const Cell* w) {
    uint32_t ctx = word_context(w);
    int32_t idx = word_index(w);
    if (ctx && idx >= 0) {
        const Cell* rec = buf(ctx)->cells();
        if (ctx_on_stack(rec)) {
            if (ctx_values(rec)) return stack::bottom + (ctx_values(rec) - 1) + idx;
        } else {
            return buf(ctx_values(rec))->cells() + idx;
        }
    }
    return word::value_cell(w);
}

inline Cell* word_value_or_null(const Cell* w) {
    uint32_t ctx = word_context(w);
    int32_t idx = word_index(w);
    if (ctx && idx >= 0) {
        const Cell* rec = buf(ctx)->cells();
        if (ctx_on_stack(rec)) return ctx_values(rec) ? stack::bottom + (ctx_values(rec) - 1) + idx : nullptr;
        return buf(ctx_values(rec))->cells() + idx;
    }
    return word::value_or_null(w);
}

struct CallSite {
    uint32_t node;        // the code block
    uint32_t end;
    uint32_t path_node;   // refinements named in a path (0: none)
    uint32_t path_index;  // first refinement element
    const Cell* path;     // the path value (errors)
};

// The evaluator comes in two instances, chosen once per block (eval_block, eval_next, apply):
// G false is the fast route (inline shortcuts for plain values, fast numeric ops, simple
// calls and the conditionals; no tracer tests); G true is the general route, which takes
// every value through eval_primary and the general argument walk and sends the tracer's
// events. The general route runs while a tracer is active, and always when the fast paths
// are switched off (ZEL_NO_FAST_PATHS=1), so the whole suite can prove both routes equal.
template <bool G> uint32_t eval_expr(uint32_t node, uint32_t pos, uint32_t end, bool sub);
// eval_block for a function's body (passes its value): compiled on its first call.
void eval_function_body(const Cell* body);
template <bool G> uint32_t eval_path(uint32_t node, uint32_t pos, uint32_t end, const Cell* path, int mode);
template <bool G> uint32_t dispatch_call(const Cell* fn, const Cell* name, const CallSite& site, uint32_t pos, Cell* left);

// True when the next block evaluated takes the general route.
inline bool general_route() { return tracer::active || !fast_paths; }

enum PathMode { PATH_EVAL = 0, PATH_GET = 1, PATH_SET = 2 };

[[noreturn]] void raise_arg_type(const Cell* fn, const Cell* name, int32_t arg_no, uint32_t type) {
    Cell arg_word;
    callable::argument_word(&arg_word, fn, arg_no);
    error::raise_expect_arg(name, type, &arg_word);
}

// The position in a function's spec cache of the refinement spelled as word (compared
// canonically); raises script/no-refine with the function's name when there is none.
uint32_t refinement_position(uint32_t cache, const Cell* name, const Cell* word) {
    uint32_t n = buf(cache)->cell_count();
    for (uint32_t k = 0; k < n; k++) {
        const Cell* c = code_at(cache, k);
        if (type_of(c) == TYPE_REFINEMENT && symbol::same_canonical(word_symbol(c), word_symbol(word))) return k;
    }
    error::raise(error::ERR_SCRIPT_NO_REFINE, name, word);
}

// The spec position (arguments and refinements counted) of the cache entry at index at.
int32_t spec_position(uint32_t cache, uint32_t at) {
    int32_t n = 0;
    for (uint32_t q = 0; q < at; q++) {
        const Cell* c = code_at(cache, q);
        uint32_t qt = type_of(c);
        if ((qt == TYPE_TYPESET && arg_kind(c) != callable::ARG_RETURN) ||
            qt == TYPE_REFINEMENT)
            n++;
    }
    return n;
}

// Pushes the value of a paren (evaluated under a native frame named by sym).
void eval_paren(const Cell* paren, uint32_t name_sym) {
    guard_native_stack();
    stack::open_frame(name_sym, 0, stack::FRAME_NATIVE, FRAME_INTERPRETER);
    eval_block(paren, true);
    stack::close_frame_keep();
}

// Pushes one argument of kind k taken from the code; returns the next position.
template <bool G>
uint32_t fetch_argument(uint32_t kind, const CallSite& site, uint32_t pos, bool infix_call,
                        const Cell* fn, const Cell* name, int32_t arg_no, const Cell* typeset) {
    if (pos >= site.end || pos >= buf(site.node)->cell_count()) {
        if (kind == callable::ARG_LIT && typeset_bits::has(typeset, TYPE_UNSET)) {
            stack::push_unset();
            return pos;
        }
        Cell arg_word;
        callable::argument_word(&arg_word, fn, arg_no);
        error::raise(error::ERR_SCRIPT_NO_ARG, name, &arg_word);
    }
    switch (kind) {
        case callable::ARG_GET:
            stack::push_copy(code_at(site.node, pos));
            return pos + 1;
        case callable::ARG_LIT: {
            Cell c = *code_at(site.node, pos);
            uint32_t t = type_of(&c);
            if (t == TYPE_PAREN) eval_paren(&c, sym(SYM_PAREN));
            else if (t == TYPE_GET_WORD) stack::push_copy(word_value(&c));
            else if (t == TYPE_GET_PATH) eval_path<G>(site.node, pos + 1, site.end, &c, PATH_GET);
            else stack::push_copy(&c);
            return pos + 1;
        }
        default:
            return eval_expr<G>(site.node, pos, site.end, infix_call);
    }
}

// A return or exit that a callback could not pass on as a status arrives as an exception
// (interp::call_with_args). Every function frame is a return target, and a nearer target
// (a traced do) catches it first, so the first function body it leaves is its target: it
// lands there as the status would. The frames above go (the topmost frame of fn's context is
// this call's: deeper calls of fn would have caught it), the arguments base is the call's own
// again. Any other unwinding goes on up.
[[gnu::noinline, gnu::cold]] void land_return(const Cell* fn) {
    if (stack::pending != stack::LEVEL_RETURN && stack::pending != stack::LEVEL_EXIT) throw;
    stack::Frame* self = stack::ftop - 1;
    while (self >= stack::fbottom && !(self->kind() == stack::FRAME_CALL && self->func_ctx == callable_ctx(fn))) self--;
    if (self < stack::fbottom) throw;
    stack::unwind_frames_to(self + 1);
    stack::base = stack::bottom + (ctx_values(context::record(callable_ctx(fn))) - 1);
    stack::top = stack::base + 1;
}

// The tracer's epilog event of a function body. The unwinding the body started (its level,
// value and name) waits while the tracer runs, which may unwind inside itself.
[[gnu::noinline]] void send_epilog(const Cell* fn) {
    uint32_t level = stack::pending;
    Cell value = stack::unwind_value, name = stack::unwind_name;
    collector::RootGuard keep_value(&value), keep_name(&name);
    stack::pending = stack::LEVEL_NONE;
    Cell f = *fn, w;
    stack::calling_word(&w);
    tracer::send(tracer::EV_EPILOG, nullptr, -1, &f, &w);
    stack::unwind_value = value;
    stack::unwind_name = name;
    stack::pending = level;
}

// Saves the tracing flag and puts it back when the scope ends, by any route.
struct TraceFlagScope {
    bool saved = tracer::active;
    TraceFlagScope() = default;
    TraceFlagScope(const TraceFlagScope&) = delete;
    TraceFlagScope& operator=(const TraceFlagScope&) = delete;
    ~TraceFlagScope() { tracer::active = saved; }
};

// Runs fn with arguments already gathered in the current frame.
[[gnu::always_inline]] inline void run_gathered(const Cell* fn, const int32_t* refs) {
    switch (type_of(fn)) {
        // A native may change any series: compiled code compares its cells again after it.
        case TYPE_NATIVE:
            code_epoch++;
            natives::table[callable_slot(fn)](false, refs);
            code_epoch++;
            break;
        case TYPE_ACTION:
            code_epoch++;
            actions::dispatchers[callable_slot(fn)](refs);
            code_epoch++;
            break;
        case TYPE_ROUTINE: {
            routines::RoutineFn code = routines::code(fn);
            if (!code) error::raise(error::ERR_INTERNAL_NOT_DONE);
            code_epoch++;
            code(stack::base);
            code_epoch++;
            stack::top = stack::base + 1;
            break;
        }
        case TYPE_FUNCTION: {
            stack::enter_function_context(callable_ctx(fn));
            (stack::ftop - 1)->header |= stack::FRAME_RETURN_TARGET;
            Cell body = buf(callable_aux(fn))->cells()[callable::AUX_BODY];
            bool traced = false;
            // The trace and no-trace attributes change the tracing flag for the body only:
            // restored however the body ends, an error or thrown unwinding included.
            TraceFlagScope trace_scope;
            if (fn->header & callable::ATTR_TRACE) tracer::active = tracer::installed();
            if (fn->header & callable::ATTR_NO_TRACE) tracer::active = false;
            // Library functions are not stepped into: their bodies report nothing.
            if (tracer::active && !(type_of(&body) == TYPE_BLOCK && tracer::is_library_code(series_node(&body)))) {
                Cell f = *fn, w;
                stack::calling_word(&w);
                tracer::send(tracer::EV_PROLOG, nullptr, -1, &f, &w);
                traced = true;
            }
            if (type_of(&body) == TYPE_BLOCK) {
                try {
                    eval_function_body(&body);
                } catch (stack::Unwind&) {
                    land_return(fn);
                }
            } else {
                stack::set_result(&body);
            }
            if (traced && tracer::active) send_epilog(fn);
            if (stack::pending == stack::LEVEL_RETURN || stack::pending == stack::LEVEL_EXIT) {
                if (stack::pending == stack::LEVEL_RETURN) *stack::base = stack::unwind_value;
                else set_unset(stack::base);
                stack::pending = stack::LEVEL_NONE;
                stack::top = stack::base + 1;
            }
            break;
        }
        default:
            error::raise(error::ERR_INTERNAL_NOT_DONE);
    }
}

// The built-in arithmetic and comparison ops on two integers (or two floats for add,
// subtract and multiply) are computed inline: the op's frame is still opened, so errors and
// stack traces name it, but argument gathering and action dispatch are skipped.
enum FastOp { FAST_NONE, FAST_ADD, FAST_SUB, FAST_MUL, FAST_DIV, FAST_REM, FAST_EQ, FAST_NE, FAST_LT, FAST_GT, FAST_LE, FAST_GE };

// The fast op of each action number and native slot (FAST_NONE for the others), so that
// classifying an op is one table read.
struct FastOpTables {
    FastOp by_action[ACTION_COUNT + 1] = {};
    FastOp by_native[natives::SLOT_COUNT + 1] = {};
    constexpr FastOpTables() {
        by_action[ACT_ADD] = FAST_ADD;
        by_action[ACT_SUBTRACT] = FAST_SUB;
        by_action[ACT_MULTIPLY] = FAST_MUL;
        by_action[ACT_DIVIDE] = FAST_DIV;
        by_action[ACT_REMAINDER] = FAST_REM;
        by_native[natives::CORE_SLOT_EQUAL] = FAST_EQ;
        by_native[natives::CORE_SLOT_NOT_EQUAL] = FAST_NE;
        by_native[natives::CORE_SLOT_LESSER] = FAST_LT;
        by_native[natives::CORE_SLOT_GREATER] = FAST_GT;
        by_native[natives::CORE_SLOT_LESSER_OR_EQUAL] = FAST_LE;
        by_native[natives::CORE_SLOT_GREATER_OR_EQUAL] = FAST_GE;
    }
};
constexpr FastOpTables FAST_OPS;

[[gnu::always_inline]] inline FastOp fast_op_of(const Cell* op) {
    uint32_t source = op_source_type(op);
    uint32_t slot = callable_slot(op);
    if (source == TYPE_ACTION) return slot <= uint32_t(ACTION_COUNT) ? FAST_OPS.by_action[slot] : FAST_NONE;
    if (source == TYPE_NATIVE) return slot <= uint32_t(natives::SLOT_COUNT) ? FAST_OPS.by_native[slot] : FAST_NONE;
    return FAST_NONE;
}

// Computes a fast op on the two stack operands a and b (the result replaces a); false when
// the operand types need the general path.
[[gnu::always_inline]] inline bool fast_compute(FastOp k, Cell* a, const Cell* b) {
    uint32_t ta = type_of(a), tb = type_of(b);
    if (ta == TYPE_INTEGER && tb == TYPE_INTEGER) {
        int32_t x = int_value(a), y = int_value(b), r;
        switch (k) {
            case FAST_ADD:
                if (__builtin_add_overflow(x, y, &r)) set_float(a, double(x) + double(y)); else set_integer(a, r);
                return true;
            case FAST_SUB:
                if (__builtin_sub_overflow(x, y, &r)) set_float(a, double(x) - double(y)); else set_integer(a, r);
                return true;
            case FAST_MUL:
                if (__builtin_mul_overflow(x, y, &r)) set_float(a, double(x) * double(y)); else set_integer(a, r);
                return true;
            case FAST_DIV:
            case FAST_REM:
                // Zero divisors and the one overflowing quotient take the general path,
                // which raises their errors.
                if (y == 0 || (y == -1 && x == INT32_MIN)) return false;
                if (k == FAST_REM) set_integer(a, x % y);
                else if (x % y == 0) set_integer(a, x / y);
                else set_float(a, double(x) / double(y));
                return true;
            case FAST_EQ: set_logic(a, x == y); return true;
            case FAST_NE: set_logic(a, x != y); return true;
            case FAST_LT: set_logic(a, x < y); return true;
            case FAST_GT: set_logic(a, x > y); return true;
            case FAST_LE: set_logic(a, x <= y); return true;
            case FAST_GE: set_logic(a, x >= y); return true;
            default: return false;
        }
    }
    if (ta == TYPE_FLOAT && tb == TYPE_FLOAT) {
        double x = float_value(a), y = float_value(b);
        switch (k) {
            case FAST_ADD: set_float(a, x + y); return true;
            case FAST_SUB: set_float(a, x - y); return true;
            case FAST_MUL: set_float(a, x * y); return true;
            default: return false;
        }
    }
    return false;
}

// The types that do not evaluate to themselves (words, paths, parens, callables), and those
// of a word's value that stop it being a plain operand; one bit per type id (all below 64),
// so each classification is a shift and a test.
constexpr uint64_t type_bit(uint32_t t) { return uint64_t(1) << t; }
constexpr uint64_t ACTIVE_TYPES =
    type_bit(TYPE_WORD) | type_bit(TYPE_SET_WORD) | type_bit(TYPE_LIT_WORD) | type_bit(TYPE_GET_WORD) |
    type_bit(TYPE_PAREN) | type_bit(TYPE_PATH) | type_bit(TYPE_GET_PATH) | type_bit(TYPE_LIT_PATH) |
    type_bit(TYPE_SET_PATH) | type_bit(TYPE_ISSUE) | type_bit(TYPE_NATIVE) | type_bit(TYPE_ACTION) |
    type_bit(TYPE_FUNCTION) | type_bit(TYPE_ROUTINE) | type_bit(TYPE_OP);
constexpr uint64_t NOT_PLAIN_VALUE_TYPES = type_bit(TYPE_UNSET) | type_bit(TYPE_OP) | type_bit(TYPE_NATIVE) |
                                           type_bit(TYPE_ACTION) | type_bit(TYPE_FUNCTION) | type_bit(TYPE_ROUTINE);
static_assert(TYPE_TABLE_SIZE <= 64, "type masks hold one bit per type id");

// True for the types that evaluate to themselves.
[[gnu::always_inline]] inline bool is_inert_type(uint32_t t) { return !((ACTIVE_TYPES >> t) & 1); }

// Pushes the local cells of a function: false for /local, then none for each local word
// (n counts /local itself; 0 when there are no locals).
inline void push_locals(int32_t n) {
    if (n <= 0) return;
    set_logic(stack::push(), false);
    for (int32_t k = 1; k < n; k++) stack::push_none();
}

// The value of a code cell that needs no evaluation: a literal, or a word holding a plain
// value (not unset, not a callable or op); nullptr otherwise.
[[gnu::always_inline]] inline const Cell* plain_value(const Cell* c) {
    if (type_of(c) == TYPE_WORD) {
        const Cell* v = word_value_or_null(c);
        if (v && ((NOT_PLAIN_VALUE_TYPES >> type_of(v)) & 1)) return nullptr;
        return v;
    }
    return is_inert_type(type_of(c)) ? c : nullptr;
}

// Evaluates, without recursion, the longest head of an expression made only of plain operands
// joined by the fast numeric ops (like n - 1 or i < 10) and pushes its value. Returns the
// position after that head, or 0 with nothing pushed when even the first operand needs the
// general evaluator. *complete tells whether the expression ends there; when not, the
// position is that of an op word whose right operand or operand types need the infix loop,
// which takes over with the value so far in place (it would have computed the same head the
// same way). Fast route only.
[[gnu::always_inline]] inline uint32_t plain_expr(uint32_t node, uint32_t pos, uint32_t end, bool* complete) {
    SeriesBuf* b = buf(node);
    if (end > b->cell_count()) end = b->cell_count();
    if (pos >= end) return 0;
    const Cell* cells = b->cells();
    const Cell* v = plain_value(cells + pos);
    if (!v) return 0;
    Cell acc = *v;
    uint32_t p = pos + 1;
    *complete = false;
    while (p < end && type_of(cells + p) == TYPE_WORD) {
        const Cell* op = word_value_or_null(cells + p);
        if (!op || type_of(op) != TYPE_OP) break;   // the expression ends at a word that is no op
        FastOp k = fast_op_of(op);
        if (k == FAST_NONE || p + 1 >= end) {
            stack::push_copy(&acc);
            return p;
        }
        const Cell* r = plain_value(cells + p + 1);
        if (!r || !fast_compute(k, &acc, r)) {
            stack::push_copy(&acc);
            return p;
        }
        p += 2;
    }
    *complete = true;
    stack::push_copy(&acc);
    return p;
}

inline uint32_t eval_full_expr(uint32_t node, uint32_t pos, uint32_t end);

template <bool G>
uint32_t gather_general_and_run(const Cell* fn, const Cell* name, const CallSite& site, uint32_t pos, bool infix);

// The refinement positions of a native call that uses none of its (at most 64) refinements.
constexpr auto UNUSED_REFINEMENTS = [] {
    std::array<int32_t, 64> refs{};
    refs.fill(-1);
    return refs;
}();

// Gathers the arguments of a call into the new frame and runs it. base is the first argument.
template <bool G>
[[gnu::always_inline]] inline uint32_t gather_and_run(const Cell* fn, const Cell* name, const CallSite& site, uint32_t pos, bool infix) {
    if (G) return gather_general_and_run<G>(fn, name, site, pos, infix);
    uint32_t t = type_of(fn);
    bool is_function = (t == TYPE_FUNCTION || t == TYPE_ROUTINE);
    uint32_t info = callable::call_info(fn);
    if ((info & (callable::CALL_SIMPLE | callable::CALL_PLAIN_HEAD)) && !site.path_node) {
        // Plain evaluated arguments only (of a native or action: those before its first
        // refinement, every refinement unused): the common case, without the general walk.
        uint32_t nargs = callable::call_arity(info);
        int32_t locals = callable::call_locals(info);
        // The type check of argument i (the cache is read only when the types are limited).
        auto check = [&](uint32_t i, uint32_t vt) {
            if ((info & callable::CALL_UNTYPED) && vt != TYPE_UNSET) return;
            if (!typeset_bits::has(code_at(callable::args_cache(fn), i), vt)) raise_arg_type(fn, name, int32_t(i), vt);
        };
        for (uint32_t i = 0; i < nargs; i++) {
            if (infix && i == 0) {
                check(0, type_of(stack::base));
                continue;
            }
            if (pos >= site.end || pos >= buf(site.node)->cell_count()) {
                Cell ts = *code_at(callable::args_cache(fn), i);
                fetch_argument<G>(callable::ARG_NORMAL, site, pos, infix, fn, name, int32_t(i), &ts);   // raises no-arg
            }
            pos = infix ? eval_expr<G>(site.node, pos, site.end, true) : eval_full_expr(site.node, pos, site.end);
            if (stack::unwinding()) return pos;
            check(i, type_of(stack::top - 1));
        }
        if (is_function) push_locals(locals);
        run_gathered(fn, UNUSED_REFINEMENTS.data());
        return pos;
    }
    return gather_general_and_run<G>(fn, name, site, pos, infix);
}

// The general walk of the arguments cache: refinements (also named in a path), get-word and
// lit-word arguments, locals.
template <bool G>
[[gnu::noinline]] uint32_t gather_general_and_run(const Cell* fn, const Cell* name, const CallSite& site, uint32_t pos, bool infix) {
    uint32_t t = type_of(fn);
    bool is_function = (t == TYPE_FUNCTION || t == TYPE_ROUTINE);
    int32_t refs[64];
    int32_t nrefs = 0;
    uint32_t cache = callable::args_cache(fn);
    uint32_t count = buf(cache)->cell_count();
    if (!is_function) {
        const Cell* last = code_at(cache, count - 1);
        nrefs = int32_t(int_value(last));
        for (int32_t i = 0; i < nrefs && i < 64; i++) refs[i] = -1;
    }
    bool active = true;
    bool first = true;
    bool walked = callable::walk_args_cache(cache, [&](callable::CacheEntry entry, Cell& e, int32_t this_arg) {
        switch (entry) {
            case callable::CacheEntry::ARGUMENT:
                if (!active) {
                    if (is_function) stack::push_none();
                    return true;
                }
                if (infix && first) {
                    first = false;
                    if (!typeset_bits::has(&e, type_of(stack::base)))
                        raise_arg_type(fn, name, this_arg, type_of(stack::base));
                    return true;
                }
                first = false;
                pos = fetch_argument<G>(arg_kind(&e), site, pos, infix, fn, name, this_arg, &e);
                if (stack::unwinding()) return false;
                if (!typeset_bits::has(&e, type_of(stack::top - 1))) raise_arg_type(fn, name, this_arg, type_of(stack::top - 1));
                return true;
            case callable::CacheEntry::REFINEMENT:
                if (is_function) set_logic(stack::push(), false);
                active = false;
                return true;
            case callable::CacheEntry::COUNT:
                if (is_function) push_locals(int_value(&e));
                return true;
        }
        return true;
    });
    if (!walked) return pos;

    // Refinements named in a path, in the path's order.
    if (site.path_node) {
        uint32_t plen = buf(site.path_node)->cell_count();
        for (uint32_t pi = site.path_index; pi < plen; pi++) {
            Cell el = *code_at(site.path_node, pi);
            bool truth = true;
            if (type_of(&el) == TYPE_GET_WORD) {
                truth = !is_falsy(word_value(&el));
            } else if (type_of(&el) != TYPE_WORD) {
                error::raise(error::ERR_SCRIPT_BAD_REFINE, &el);
            }
            int32_t at = int32_t(refinement_position(cache, name, &el));
            Cell ref = *code_at(cache, uint32_t(at));
            int32_t slot = int32_t(cache_ref_slot(&ref));
            int32_t ordinal = cache_ref_ordinal(&ref);
            if (is_function) {
                Cell* flag = stack::base + slot;
                if (logic_value(flag)) error::raise(error::ERR_SCRIPT_DUP_REFINE, site.path);
                set_logic(flag, truth);
            } else {
                if (refs[ordinal - 1] != -1) error::raise(error::ERR_SCRIPT_DUP_REFINE, site.path);
                refs[ordinal - 1] = int32_t(stack::top - stack::base);
            }
            // Its arguments follow the refinement in the cache.
            int32_t ref_arg_no = spec_position(cache, uint32_t(at));
            bool fetched = callable::walk_refinement_args(cache, uint32_t(at), [&](Cell& e, int32_t k) {
                int32_t this_arg = ref_arg_no + k;
                pos = fetch_argument<G>(arg_kind(&e), site, pos, false, fn, name, this_arg, &e);
                if (stack::unwinding()) return false;
                Cell* v = stack::top - 1;
                if (!typeset_bits::has(&e, type_of(v))) raise_arg_type(fn, name, this_arg, type_of(v));
                if (is_function) {
                    Cell* dst = stack::base + slot + k;
                    if (truth) *dst = *v; else set_none(dst);
                    stack::top--;
                }
                return true;
            });
            if (!fetched) return pos;
            if (!is_function && !truth) {
                stack::top = stack::base + refs[ordinal - 1];
                refs[ordinal - 1] = -1;
            }
        }
    }

    if (G && tracer::active) tracer::send_at(tracer::EV_CALL, site.node, TYPE_BLOCK, int32_t(pos), fn, name);
    run_gathered(fn, refs);
    return pos;
}

// if, unless and either: the commonest natives, with a condition and block arguments. Their
// arguments are gathered here without the general walk: a block literal is pushed as it is.
inline bool is_conditional_native(uint32_t slot) {
    return slot == natives::CORE_SLOT_IF || slot == natives::CORE_SLOT_UNLESS || slot == natives::CORE_SLOT_EITHER;
}

[[gnu::always_inline]] inline uint32_t gather_conditional(const Cell* fn, const Cell* name, const CallSite& site, uint32_t pos) {
    uint32_t blocks = callable_slot(fn) == natives::CORE_SLOT_EITHER ? 2 : 1;
    for (uint32_t i = 0; i <= blocks; i++) {
        SeriesBuf* b = buf(site.node);
        uint32_t len = b->cell_count();
        if (pos >= site.end || pos >= len) {
            Cell ts = *code_at(callable::args_cache(fn), i);
            fetch_argument<false>(callable::ARG_NORMAL, site, pos, false, fn, name, int32_t(i), &ts);   // raises no-arg
        }
        const Cell* c = b->cells() + pos;
        bool literal = i > 0 && type_of(c) == TYPE_BLOCK &&
                       (pos + 1 >= site.end || pos + 1 >= len || type_of(c + 1) != TYPE_WORD);
        if (literal) {
            stack::push_copy(c);
            pos++;
            continue;
        }
        pos = eval_full_expr(site.node, pos, site.end);
        if (stack::unwinding()) return pos;
        if (i > 0 && type_of(stack::top - 1) != TYPE_BLOCK) raise_arg_type(fn, name, int32_t(i), type_of(stack::top - 1));
    }
    // The natives' own work, done here: one native frame less.
    natives::run_conditional(callable_slot(fn));
    return pos;
}

// Calls fn. name is the word that named it (or nullptr). left: for an infix call, the cell
// holding the left operand (the top value). Pushes the result; returns the next position.
template <bool G>
[[gnu::always_inline]] inline uint32_t dispatch_call_inline(const Cell* fn_in, const Cell* name, const CallSite& site, uint32_t pos, Cell* left) {
    Cell fn = *fn_in;
    if (type_of(&fn) == TYPE_OP) set_header(&fn, op_source_type(&fn));
    Cell name_word;
    uint32_t name_sym = sym(SYM_ANON), name_ctx = 0;
    if (name && type_of(name) == TYPE_WORD) {
        name_word = *name;
        name_sym = word_symbol(name);
        name_ctx = word_context(name);
    } else {
        word::make_global(&name_word, TYPE_WORD, name_sym);
    }
    if (G && tracer::active) tracer::send_at(tracer::EV_OPEN, site.node, TYPE_BLOCK, int32_t(pos), &name_word, nullptr);
    guard_native_stack();
    // The callable stays alive during the call without a copy on the stack: a function's
    // frame holds its context (whose owner cell is the function), and natives, actions and
    // routines are permanent.
    uint32_t t = type_of(&fn);
    if (t == TYPE_FUNCTION) stack::open_call_frame(name_sym, name_ctx, callable_ctx(&fn), FRAME_INTERPRETER);
    else stack::open_frame(name_sym, name_ctx, stack::FRAME_NATIVE, FRAME_INTERPRETER);
    if (left) stack::base = left;
    if (!G && t == TYPE_NATIVE && !left && !site.path_node && is_conditional_native(callable_slot(&fn)))
        pos = gather_conditional(&fn, &name_word, site, pos);
    else
        pos = gather_and_run<G>(&fn, &name_word, site, pos, left != nullptr);
    stack::close_frame_keep();
    if (G && tracer::active && !stack::unwinding())
        tracer::send_at(tracer::EV_RETURN, site.node, TYPE_BLOCK, int32_t(pos), stack::top - 1, &name_word);
    return pos;
}

template <bool G>
uint32_t dispatch_call(const Cell* fn, const Cell* name, const CallSite& site, uint32_t pos, Cell* left) {
    return dispatch_call_inline<G>(fn, name, site, pos, left);
}

template <bool G> uint32_t eval_primary_value(uint32_t node, uint32_t pos, uint32_t end);

// A word of the code (word: the code cell, read before anything can move it): its value is
// called when it is a native, action, function or routine (its arguments follow in the
// code), else pushed; unset raises no-value and an op (an operator with no left operand)
// no-op-arg. The one implementation of a word in code, for both routes and every position.
// Inline: the call is made from the caller's native frame.
template <bool G, bool Inline>
[[gnu::always_inline]] inline uint32_t eval_word(const Cell* word, uint32_t node, uint32_t pos, uint32_t end) {
    Cell* v = word_value(word);
    uint32_t vt = type_of(v);
    if (is_callable_type(vt)) {
        Cell name = *word;   // the code may move during the call
        if (Inline) return dispatch_call_inline<G>(v, &name, CallSite{node, end, 0, 0, nullptr}, pos + 1, nullptr);
        return dispatch_call<G>(v, &name, CallSite{node, end, 0, 0, nullptr}, pos + 1, nullptr);
    }
    if (vt == TYPE_UNSET) {
        Cell name = *word;
        error::raise(error::ERR_SCRIPT_NO_VALUE, &name);
    }
    if (vt == TYPE_OP) error::raise(error::ERR_SCRIPT_NO_OP_ARG);
    stack::push_copy(v);
    return pos + 1;
}

// A set-word and the expression after it: the value is set and pushed. Evaluated under a
// frame named by the set-word, so that errors inside name it.
template <bool G>
uint32_t eval_set_word(uint32_t node, uint32_t pos, uint32_t end) {
    Cell c = *code_at(node, pos);
    // The frame opens first: a set-word at the end of the code names itself as the error's where.
    stack::open_frame(word_symbol(&c), word_context(&c), stack::FRAME_NATIVE, FRAME_INTERPRETER);
    if (pos + 1 >= end) error::raise(error::ERR_SCRIPT_NEED_VALUE, &c);
    stack::push_copy(&c);
    pos = G ? eval_expr<G>(node, pos + 1, end, false) : eval_full_expr(node, pos + 1, end);
    if (stack::unwinding()) {
        stack::close_frame_keep();
        return pos;
    }
    Cell* v = stack::base + 1;
    if (type_of(v) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NEED_VALUE, &c);
    if (G && tracer::active) tracer::send_at(tracer::EV_SET, node, TYPE_BLOCK, int32_t(pos), v, &c);
    // Words of the global context and of running functions take the value directly; object
    // fields go through word::set for their change flags and handlers (the general route
    // always does).
    const Cell* rec = word_context(&c) ? buf(word_context(&c))->cells() : nullptr;
    int32_t index = word_index(&c);
    if (!G && rec && index >= 0 && ctx_kind(rec) != context::KIND_OBJECT &&
        (!ctx_on_stack(rec) || ctx_values(rec))) {
        *context::value_at(word_context(&c), index) = *v;
    } else {
        word::set(&c, v);
    }
    *stack::base = *v;
    stack::close_frame_keep();
    return pos;
}

// A paren's expressions, evaluated where the paren stands; its last value is pushed. paren
// must not be a code cell: the code may move while the paren runs, so callers pass a copy.
template <bool G>
[[gnu::always_inline]] inline void eval_paren_inline(const Cell* paren) {
    guard_native_stack();
    uint32_t node = series_node(paren);
    int32_t head = series_head(paren);
    uint32_t pos = head < 0 ? 0 : uint32_t(head);
    uint32_t end = buf(node)->cell_count();
    Cell* start = stack::top;
    if (G || pos >= end) {
        eval_block(paren, false);
        return;
    }
    __m128i saved_position = error::saved_position();
    bool user_code = error::is_user_code(node);
    __m128i position = error::position_base(paren->header, node, series_extra(paren));
    while (pos < end) {
        stack::top = start;
        if (user_code) error::set_position_at(position, pos);
        pos = eval_expr<G>(node, pos, end, false);
        if (stack::unwinding()) return;
        uint32_t len = buf(node)->cell_count();
        if (len < end) end = len;
    }
    error::restore_position(saved_position);
    if (stack::top - 1 != start) {
        *start = *(stack::top - 1);
        stack::top = start + 1;
    }
}

template <bool G>
uint32_t eval_primary(uint32_t node, uint32_t pos, uint32_t end) {
    if (!G || !tracer::active) return eval_primary_value<G>(node, pos, end);
    Cell fetched = *code_at(node, pos);
    tracer::send_at(tracer::EV_FETCH, node, TYPE_BLOCK, int32_t(pos), &fetched, nullptr);
    pos = eval_primary_value<G>(node, pos, end);
    if (!stack::unwinding()) tracer::send_at(tracer::EV_PUSH, node, TYPE_BLOCK, int32_t(pos), stack::top - 1, nullptr);
    return pos;
}

template <bool G>
uint32_t eval_primary_value(uint32_t node, uint32_t pos, uint32_t end) {
    Cell c = *code_at(node, pos);
    uint32_t t = type_of(&c);
    switch (t) {
        case TYPE_WORD:
            return eval_word<G, false>(&c, node, pos, end);
        case TYPE_SET_WORD:
            return eval_set_word<G>(node, pos, end);
        case TYPE_LIT_WORD:
            retype(&c, TYPE_WORD);
            stack::push_copy(&c);
            return pos + 1;
        case TYPE_GET_WORD:
            stack::push_copy(word_value(&c));
            return pos + 1;
        case TYPE_PAREN:
            eval_paren_inline<G>(&c);
            return pos + 1;
        case TYPE_PATH:
            return eval_path<G>(node, pos + 1, end, &c, PATH_EVAL);
        case TYPE_GET_PATH:
            return eval_path<G>(node, pos + 1, end, &c, PATH_GET);
        case TYPE_LIT_PATH:
            retype(&c, TYPE_PATH);
            set_series_extra(&c, 0);
            stack::push_copy(&c);
            return pos + 1;
        case TYPE_SET_PATH: {
            if (pos + 1 >= end) error::raise(error::ERR_SCRIPT_NEED_VALUE, &c);
            stack::open_frame(sym(SYM_SET_PATH), 0, stack::FRAME_NATIVE, FRAME_INTERPRETER);
            collector::RootGuard keep_path(&c);
            pos = eval_expr<G>(node, pos + 1, end, false);
            if (!stack::unwinding()) {
                if (G && tracer::active) tracer::send_at(tracer::EV_SET, node, TYPE_BLOCK, int32_t(pos), stack::base, &c);
                eval_path<G>(node, pos, end, &c, PATH_SET);   // the value to set is at base[0]
                stack::top = stack::base + 1;
            }
            stack::close_frame_keep();
            return pos;
        }
        case TYPE_ISSUE:
            if (pos + 1 < end && type_of(code_at(node, pos + 1)) == TYPE_BLOCK &&
                (word_symbol(&c) == sym(SYM_SYSTEM) || word_symbol(&c) == sym(SYM_SYSTEM_GLOBAL)))
                error::raise(error::ERR_INTERNAL_ZEL_SYSTEM);
            stack::push_copy(&c);
            return pos + 1;
        case TYPE_NATIVE: case TYPE_ACTION: case TYPE_FUNCTION: case TYPE_ROUTINE:
            return dispatch_call<G>(&c, nullptr, CallSite{node, end, 0, 0, nullptr}, pos + 1, nullptr);
        case TYPE_OP:
            error::raise(error::ERR_INTERNAL_NOT_DONE);
        default:
            stack::push_copy(&c);
            return pos + 1;
    }
}

// An infix call of a fast op whose left operand is at left; returns the next position.
[[gnu::noinline]] uint32_t fast_infix(FastOp k, const Cell* op_in, const Cell* name, uint32_t node, uint32_t pos, uint32_t end, Cell* left) {
    Cell fn = *op_in;
    set_header(&fn, op_source_type(&fn));
    stack::top = left + 1;
    stack::open_frame(word_symbol(name), word_context(name), stack::FRAME_NATIVE, FRAME_INTERPRETER);
    stack::base = left;
    // A paren operand is evaluated right here: one native frame less per level of a deep
    // recursion keeps more of the processor's return predictions.
    const Cell* right = code_at(node, pos);
    if (type_of(right) == TYPE_PAREN) {
        Cell paren = *right;
        eval_paren_inline<false>(&paren);
        pos++;
    } else {
        pos = eval_expr<false>(node, pos, end, true);
    }
    if (!stack::unwinding() && !fast_compute(k, left, left + 1)) {
        // Other operand types take the op's general path with both arguments in place.
        uint32_t cache = callable::args_cache(&fn);
        for (int32_t i = 0; i < 2; i++) {
            const Cell* ts = code_at(cache, uint32_t(i));
            if (!typeset_bits::has(ts, type_of(left + i))) raise_arg_type(&fn, name, i, type_of(left + i));
        }
        int32_t refs[1] = {-1};
        run_gathered(&fn, refs);
    }
    stack::close_frame_keep();
    return pos;
}


// Evaluates one expression and pushes its value; sub: no infix look-ahead.
// The infix look-ahead: while the next value is a word whose value is an op!, call it with
// the value at start as its left operand.
template <bool G>
[[gnu::always_inline]] inline uint32_t infix_loop(uint32_t node, uint32_t pos, uint32_t end, Cell* start) {
    while (!stack::unwinding()) {
        if (pos >= end || pos >= buf(node)->cell_count()) break;
        const Cell* next = code_at(node, pos);
        if (type_of(next) != TYPE_WORD) break;
        Cell* v = word_value_or_null(next);
        if (!v || type_of(v) != TYPE_OP) break;
        stack::top = start + 1;
        FastOp k = G ? FAST_NONE : fast_op_of(v);
        if (k != FAST_NONE && pos + 1 < end && pos + 1 < buf(node)->cell_count()) {
            // A right operand that needs no evaluation (a literal, or a word holding a plain
            // value) with numbers on both sides is computed in place: nothing can be raised
            // or evaluated, so the op's frame is not even opened.
            const Cell* rv = plain_value(code_at(node, pos + 1));
            if (rv && fast_compute(k, start, rv)) {
                pos += 2;
                continue;
            }
            Cell op = *v;
            Cell name = *next;
            pos = fast_infix(k, &op, &name, node, pos + 1, end, start);
            continue;
        }
        Cell op = *v;
        Cell name = *next;
        if (G && tracer::active) tracer::send_at(tracer::EV_FETCH, node, TYPE_BLOCK, int32_t(pos), &name, nullptr);
        pos = dispatch_call<G>(&op, &name, CallSite{node, end, 0, 0, nullptr}, pos + 1, start);
    }
    return pos;
}

// One whole expression on the fast route (infix calls included): its plain head without
// recursion, the rest by the general evaluator. Pushes the value; returns the next position.
[[gnu::always_inline]] inline uint32_t eval_full_expr(uint32_t node, uint32_t pos, uint32_t end) {
    Cell* start = stack::top;
    bool complete;
    uint32_t after = plain_expr(node, pos, end, &complete);
    if (!after) return eval_expr<false>(node, pos, end, false);
    if (complete) return after;
    return infix_loop<false>(node, after, end, start);
}

// The rest of an expression whose value so far is at start: the infix calls that follow.
template <bool G>
[[gnu::always_inline]] inline uint32_t continue_infix(uint32_t node, uint32_t pos, uint32_t end, Cell* start) {
    if (stack::unwinding() || pos >= end) return pos;
    SeriesBuf* b = buf(node);
    if (pos >= b->cell_count() || type_of(b->cells() + pos) != TYPE_WORD) return pos;
    return infix_loop<G>(node, pos, end, start);
}

template <bool G>
uint32_t eval_expr(uint32_t node, uint32_t pos, uint32_t end, bool sub) {
    Cell* start = stack::top;
    if (!G) {
        // The fast route: words, values that evaluate to themselves, parens and set-words
        // here; everything else through eval_primary.
        const Cell* c = code_at(node, pos);
        uint32_t t = type_of(c);
        if (t == TYPE_WORD) {
            // Inline here: one native frame less per call keeps deep recursion within the
            // processor's return prediction for longer.
            pos = eval_word<false, true>(c, node, pos, end);
        } else if (is_inert_type(t)) {
            stack::push_copy(c);
            pos++;
        } else if (t == TYPE_PAREN) {
            Cell paren = *c;
            eval_paren_inline<false>(&paren);
            pos++;
        } else if (t == TYPE_SET_WORD) {
            pos = eval_set_word<false>(node, pos, end);
        } else {
            pos = eval_primary<false>(node, pos, end);
        }
    } else {
        pos = eval_primary<true>(node, pos, end);
    }
    if (sub) return pos;
    return continue_infix<G>(node, pos, end, start);
}

// eval_expr for a block's top-level expressions: a word (the call it names included) and a
// paren are evaluated from the caller's native frame. Deep recursions run several such
// levels per call, and each native frame costs a return the processor may mispredict once
// the recursion is deeper than its return stack.
template <bool G>
[[gnu::always_inline]] inline uint32_t eval_top_expr(uint32_t node, uint32_t pos, uint32_t end) {
    if (G) return eval_expr<true>(node, pos, end, false);
    const Cell* c = code_at(node, pos);
    Cell* start = stack::top;
    if (type_of(c) == TYPE_WORD) {
        pos = eval_word<false, true>(c, node, pos, end);
    } else if (type_of(c) == TYPE_PAREN) {
        Cell paren = *c;
        eval_paren_inline<false>(&paren);
        pos++;
    } else {
        return eval_expr<false>(node, pos, end, false);
    }
    return continue_infix<false>(node, pos, end, start);
}

// Evaluates a path (the cell path, found just before pos in the code); pushes the value.
// In PATH_SET mode the value to set is the current result slot.
template <bool G>
uint32_t eval_path(uint32_t node, uint32_t pos, uint32_t end, const Cell* path_in, int mode) {
    code_epoch++;   // a set-path changes a series without a native
    Cell path = *path_in;
    collector::RootGuard keep_path(&path);
    uint32_t pnode = series_node(&path);
    uint32_t head = uint32_t(series_head(&path) < 0 ? 0 : series_head(&path));
    uint32_t plen = buf(pnode)->cell_count();
    if (head >= plen) error::raise(error::ERR_SCRIPT_EMPTY_PATH);
    Cell first = *code_at(pnode, head);
    if (type_of(&first) != TYPE_WORD) error::raise(error::ERR_SCRIPT_WORD_FIRST, &path);
    Cell set_value;
    if (mode == PATH_SET) set_value = *stack::base; else set_unset(&set_value);
    collector::RootGuard keep_value(&set_value);
    Cell* v = word_value(&first);
    if (type_of(v) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_UNSET_PATH, &path, &first);
    if (is_callable_type(type_of(v))) {
        if (mode == PATH_SET) error::raise(error::ERR_SCRIPT_INVALID_PATH_SET, &path);
        if (mode == PATH_GET) error::raise(error::ERR_SCRIPT_INVALID_PATH_GET, &path);
        return dispatch_call<G>(v, &first, CallSite{node, end, pnode, head + 1, &path}, pos, nullptr);
    }
    Cell* cur = stack::push_copy(v);
    Cell* grand = stack::push_none();
    Cell* prev = stack::push_none();   // the element that reached cur (scalar fields write back through it)
    Cell* elem = stack::push_none();
    Cell* step_out = stack::push_none();   // what each step reaches (none of the cells above)
    for (uint32_t i = head + 1; i < plen; i++) {
        *elem = *code_at(pnode, i);
        if (type_of(elem) == TYPE_GET_WORD) {
            *elem = *word_value(elem);
        } else if (type_of(elem) == TYPE_PAREN) {
            Cell paren = *elem;
            eval_paren(&paren, sym(SYM_BODY));
            if (stack::unwinding()) return pos;
            *elem = *(stack::top - 1);
            stack::top--;
        }
        if (type_of(elem) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_INVALID_PATH, &path, elem);
        bool last = (i + 1 == plen);
        actions::PathStep step;
        step.path = &path;
        step.grand_parent = grand;
        step.previous = prev;
        step.index = int32_t(i - head);
        step.miss_error = true;
        step.last = last;
        actions::eval_path(step_out, cur, elem, (mode == PATH_SET && last) ? &set_value : nullptr, step);
        *grand = *cur;
        *cur = *step_out;
        *prev = *elem;
        if (mode == PATH_EVAL && !last && is_callable_type(type_of(cur))) {
            // A function reached inside the path takes the remaining elements as refinements.
            Cell fn = *cur;
            stack::top = cur;
            Cell name = *code_at(pnode, i);
            if (type_of(&name) != TYPE_WORD) set_none(&name);
            return dispatch_call<G>(&fn, type_of(&name) == TYPE_WORD ? &name : nullptr,
                                 CallSite{node, end, pnode, i + 1, &path}, pos, nullptr);
        }
        if (mode == PATH_EVAL && last && is_callable_type(type_of(cur))) {
            Cell fn = *cur;
            stack::top = cur;
            Cell name = *code_at(pnode, i);
            return dispatch_call<G>(&fn, type_of(&name) == TYPE_WORD ? &name : nullptr,
                                    CallSite{node, end, 0, 0, &path}, pos, nullptr);
        }
    }
    stack::top = cur + 1;
    if (mode == PATH_SET) *cur = set_value;
    return pos;
}

}  // namespace

void check_native_stack() {
    // The floor leaves a margin below it: raising and reporting the error fits there.
    guard_native_stack();
}

void set_native_stack_base(void* base, size_t usable) {
    native_stack_floor = static_cast<char*>(base) - usable;
}

namespace {

// Ends a block's evaluation: its result (at the block's base) goes to the caller's result
// slot (pass) or stays pushed as the caller's next value.
[[gnu::always_inline]] inline void end_block(Cell* caller_base, bool pass) {
    Cell* result = stack::base;
    stack::base = caller_base;
    if (pass) {
        *caller_base = *result;
        stack::top = caller_base + 1;
    } else {
        stack::top = result + 1;
    }
}

// The expressions of a block from pos, by one route (see eval_expr).
template <bool G>
[[gnu::always_inline]] inline void run_block(const Cell& block, uint32_t node, uint32_t pos, uint32_t end, bool pass) {
    __m128i saved_position = error::saved_position();
    bool user_code = error::is_user_code(node);   // library code never becomes error `near`
    __m128i position = error::position_base(block.header, node, series_extra(&block));
    // The block's values are evaluated above the current top; no frame is needed, since
    // nothing searches for a block evaluation (catch sites restore the base they saved).
    Cell* caller_base = stack::base;
    stack::base = stack::top;
    if (G && tracer::active) tracer::send(tracer::EV_ENTER, &block, int32_t(pos), nullptr, nullptr);
    if (pos >= end) {
        stack::push_unset();
    } else {
        while (pos < end) {
            stack::top = stack::base;
            collector::safe_point();
            if (user_code) error::set_position_at(position, pos);
            pos = eval_top_expr<G>(node, pos, end);
            if (stack::unwinding()) break;
            if (G && tracer::active) tracer::send(tracer::EV_EXPR, &block, int32_t(pos), stack::top - 1, nullptr);
            uint32_t len = buf(node)->cell_count();
            if (len < end) end = len;
        }
    }
    error::restore_position(saved_position);
    if (G && tracer::active && !stack::unwinding())
        tracer::send(tracer::EV_EXIT, &block, int32_t(memory::buf(node)->cell_count()), stack::top - 1, nullptr);
    end_block(caller_base, pass);
}

[[gnu::noinline]] void run_block_general(const Cell& block, uint32_t node, uint32_t pos, uint32_t end, bool pass) {
    run_block<true>(block, node, pos, end, pass);
}

// ---- compiled blocks ----
//
// A block evaluated again and again (a loop body, a function body, a branch) is compiled on
// its second evaluation into a table of the expressions it can run without the walker:
//   - a plain expression: a chain of operands (literals, words holding plain values, parens
//     made of such chains) joined by the fast numeric ops, optionally set into a word. It
//     raises nothing, calls nothing and allocates nothing, so the per-expression protocol
//     (safe point, `near` position, the set-word's frame, the stack moves) is left out;
//   - an expression holding calls: operands may also be calls of functions with a fixed
//     number of evaluated arguments (each argument an expression of the code) and parens
//     holding such expressions. It runs the walker's protocol (frames, `near`, safe point)
//     with the decoding done: callables resolved, arguments written into the new frame;
//   - either/if/unless with a plain condition and literal blocks, whose blocks are compiled
//     into the same code (a branch then runs without a look-up or a check of its own);
//   - return with a plain value: the return's target is found as the return native finds it,
//     and the unwinding starts without the native's frame.
// Everything else runs through the walker's own step, at the same position, with the same
// stack.
//
// The code is keyed by the block's node. It keeps a copy of every cell it was made from (the
// block's, those of the parens it inlined and of its branches) and runs only while those
// cells are still the same. They are compared when the block is entered from a native or
// from the walker, and before the code goes on after anything that may have changed a
// series ran: a walker step, a native, a collection. Every such event moves `code_epoch`
// on; a code compared at the current epoch is still valid, which is how a compiled call
// enters its function's code, and a compiled expression goes on after a compiled call,
// without comparing again. Natives bump the epoch when they start and end (run_gathered),
// a block entered through eval_block bumps it (its caller may have changed anything), and so
// do paths and the C++ entries (call_with_args, apply, eval_next); only the loops, which
// change nothing between two rounds but their words, enter their bodies again without it.
//
// It holds no buffer address and resolves every word where the walker would look at it: an
// op word must still hold its op, a called word the same function (its identity, the cell),
// an operand word a plain value, the word after a chain must not hold an op. When a check
// fails before anything of the expression was done, the walker takes the expression from its
// start; when it fails later (after a call), the walker finishes the expression from that
// point, in the state it would be in there. The functions a code calls are kept alive by the
// code (a root marker), so an identity check cannot match a recycled node.

// Where a word's value is found, worked out when the code is made from the word's binding
// (a context's values node and whether they live on the stack never change).
enum CodeWhere : uint8_t {
    WHERE_VALUES,   // a: the context's values node, b: the index
    WHERE_STACK,    // a: the function context, b: the index (its values on the stack while it runs)
    WHERE_LOOKUP,   // anything else: the general look-up
};

struct CodeItem {
    enum Kind : uint8_t { LIT, WORD, PAREN, OP, CALL };
    Cell cell;         // the literal, the operand word, the op word or the called word
    Cell op;           // OP: the op value the code was made for; CALL: the function
    uint32_t a, b;     // WORD, OP, CALL: see CodeWhere; PAREN: a is its entry in Code::parens
    uint32_t pos;      // PAREN, CALL: its position in its code
    uint32_t node;     // CALL: the code it stands in, and that code's end
    uint32_t end;
    uint32_t args;     // CALL: its first argument expression in Code::args
    uint32_t info;     // CALL: the function's call info (arity, locals, types)
    Kind kind;
    CodeWhere where;   // WORD, OP, CALL
    uint8_t fast;      // OP: its FastOp
};

// One expression: [set-word] operand (op operand)*; tail: the cell after it is a word that
// must not hold an op.
struct CodeExpr {
    uint32_t items;      // first item in Code::items
    uint32_t count;      // items (operands and ops)
    uint32_t next;       // the position after the expression
    uint32_t node;       // the code it stands in, its position there and the code's end
    uint32_t start;
    uint32_t end;
    bool has_target;
    bool has_tail;
    bool flat;           // no paren and no call among the operands
    bool pure;           // no call among the operands, in parens neither: a plain expression
    CodeWhere target_where;   // the set-word's value cell (WHERE_VALUES or WHERE_STACK)
    uint32_t ta, tb;
    Cell target;         // the set-word
    Cell tail;           // the word after the expression
};

// A conditional: either, if or unless with a plain condition and literal blocks, in the
// shape the walker gathers them in place (gather_conditional).
struct CodeCond {
    CodeItem word;       // the word naming the native (its value must still be that native)
    uint32_t cond;       // the condition's expression
    uint32_t blocks;     // 1 or 2 literal blocks, right after the condition
    uint32_t next;       // the position after the last block
    Cell block[2];
    int32_t branch[2];   // each block's sequence in Code::seqs, or -1 (evaluated as a block)
    bool has_tail;       // the last block is followed by a word, which must not hold an op
    Cell tail;
};

// return with a plain value.
struct CodeReturn {
    CodeItem word;       // the word naming the native
    uint32_t value;      // the value's expression
};

// A paren among the operands: its expressions, in order.
struct CodeParen {
    Cell paren;
    uint32_t node, head, end;
    bool pure;
    bool user_code;      // its positions become errors' `near` (error::is_user_code)
    std::vector<uint32_t> exprs;
};

// What stands at a position of a compiled block.
struct CodeEntry {
    enum Kind : uint8_t { NONE, EXPR, COND, RETURN };
    Kind kind;
    uint32_t index;
};

// A compiled block: the evaluated block itself (seqs[0]) or a branch.
struct CodeSeq {
    Cell block;
    uint32_t node, head, end;
    bool user_code;                 // its positions become errors' `near` (error::is_user_code)
    std::vector<CodeEntry> at;      // per position from head
    std::vector<uint32_t> plain;    // when every expression is plain: them, in order
};

// The cells a code was made from: node's cells [head, len) are code.snap[snap...].
struct CodeSpan {
    uint32_t node, head, len, snap;
};

struct Code {
    uint32_t head = 0;
    std::vector<CodeSpan> spans;       // the block first, then parens and branches, each after its holder
    std::vector<Cell> snap;
    std::vector<CodeItem> items;
    std::vector<CodeExpr> exprs;
    std::vector<CodeParen> parens;
    std::vector<CodeCond> conds;
    std::vector<CodeReturn> returns;
    std::vector<uint32_t> args;
    std::vector<CodeSeq> seqs;
    uint64_t valid_epoch = 0;          // the epoch at which its cells were last found unchanged
    uint32_t runs = 0;                 // runs so far, and how many steps of them the code took
    uint32_t hits = 0;
    uint32_t walks = 0;                // and how many the walker took
    uint32_t running = 0;              // runs under way (a code replaced meanwhile waits for them)
    bool dropped = false;              // replaced or found stale: deleted when no run is left
};

// The codes that call functions, in a slot or still running (their callables stay marked).
std::vector<Code*> calling_codes;

inline bool calls_functions(const Code* code) {
    return std::any_of(code->items.begin(), code->items.end(), [](const CodeItem& it) { return it.kind == CodeItem::CALL; });
}

inline void delete_code(Code* code) {
    auto at = std::find(calling_codes.begin(), calling_codes.end(), code);
    if (at != calling_codes.end()) calling_codes.erase(at);
    delete code;
}

// Deletes a code no slot holds any more once no run of it is under way.
inline void release_code(Code* code) {
    if (code->running) code->dropped = true;
    else delete_code(code);
}

// Counts a run of a code for the time it is under way, however it ends.
struct CodeRun {
    Code* code;
    explicit CodeRun(Code* c) : code(c) { code->running++; }
    CodeRun(const CodeRun&) = delete;
    CodeRun& operator=(const CodeRun&) = delete;
    ~CodeRun() {
        if (--code->running == 0 && code->dropped) delete_code(code);
    }
};

// The table slot of a node: its code, or how often it was evaluated without one.
struct CodeSlot {
    Code* code = nullptr;
    uint16_t seen = 0;
    uint16_t failures = 0;
};
CodeSlot* code_table = nullptr;   // indexed by node
uint32_t code_table_size = 0;

constexpr uint16_t CODE_NEVER = 0xFFFF;      // `seen` of a block not worth compiling
constexpr uint32_t CODE_MAX_CELLS = 1024;    // the largest code kept (block, parens, branches)
constexpr uint32_t CODE_MAX_DEPTH = 8;       // paren and branch nesting inlined
constexpr uint16_t CODE_MAX_FAILURES = 4;    // changes after which a block stays walked
constexpr uint32_t CODE_TRIAL_RUNS = 16;     // runs after which a code must have earned its keep
constexpr uint32_t NOT_TAKEN = UINT32_MAX;   // a compiled step that did nothing: the walker's turn

// Marks the functions the codes call (collector root marker).
void mark_code_callables() {
    for (const Code* code : calling_codes)
        for (const CodeItem& it : code->items)
            if (it.kind == CodeItem::CALL) collector::mark_cell(&it.op);
}

// True while the cells the code was made from are unchanged. The block's span comes first
// and each paren's and branch's after the cell that holds it, so no node is read before a
// cell that still names it has been compared.
inline bool code_valid(const Code* code) {
    for (const CodeSpan& s : code->spans) {
        const SeriesBuf* b = buf(s.node);
        if (b->cell_count() != s.len) return false;
        const __m128i* x = reinterpret_cast<const __m128i*>(b->data()) + s.head;
        const __m128i* y = reinterpret_cast<const __m128i*>(code->snap.data() + s.snap);
        __m128i diff = _mm_setzero_si128();
        for (uint32_t i = 0, n = s.len - s.head; i < n; i++)
            diff = _mm_or_si128(diff, _mm_xor_si128(_mm_load_si128(x + i), _mm_loadu_si128(y + i)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(diff, _mm_setzero_si128())) != 0xFFFF) return false;
    }
    return true;
}

// True while the code may go on: nothing that may change a series ran since its cells were
// last compared, or they are still the same.
[[gnu::always_inline]] inline bool code_current(Code* code) {
    if (code->valid_epoch == code_epoch) return true;
    if (!code_valid(code)) return false;
    code->valid_epoch = code_epoch;
    return true;
}

// A safe point of compiled code: a collection moves the epoch on.
[[gnu::always_inline]] inline void code_safe_point() {
    if (memory::collection_wanted || collector::state.stress) {
        collector::collect_at_safe_point();
        code_epoch++;
    }
}

inline bool is_return_native(const Cell* v) {
    return type_of(v) == TYPE_NATIVE && callable_slot(v) == natives::CORE_SLOT_RETURN;
}

// A function a code may call directly: a fixed number of evaluated arguments, no tracing
// attribute.
inline bool is_compiled_callee(const Cell* v) {
    if (type_of(v) != TYPE_FUNCTION || (v->header & (callable::ATTR_TRACE | callable::ATTR_NO_TRACE))) return false;
    return (callable::call_info(v) & callable::CALL_SIMPLE) != 0;
}

class CodeBuilder {
public:
    explicit CodeBuilder(Code* c) : code(c) {}

    // Records the cells of node from head as a span; false when the code would grow too big.
    bool add_span(uint32_t node, uint32_t head) {
        uint32_t len = buf(node)->cell_count();
        if (head > len || code->snap.size() + (len - head) > CODE_MAX_CELLS) return false;
        code->spans.push_back(CodeSpan{node, head, len, uint32_t(code->snap.size())});
        const Cell* cells = buf(node)->cells();
        code->snap.insert(code->snap.end(), cells + head, cells + len);
        return true;
    }

    // Compiles the block at node from head (its span already added) into a new sequence;
    // returns its index, or -1 when nothing in it compiled (the sequence is then dropped).
    int32_t sequence(const Cell& block, uint32_t node, uint32_t head, uint32_t depth) {
        uint32_t end = buf(node)->cell_count();
        uint32_t me = uint32_t(code->seqs.size());
        code->seqs.push_back(CodeSeq{});
        std::vector<CodeEntry> at(end - head, CodeEntry{CodeEntry::NONE, 0});
        bool any = false;
        for (uint32_t pos = head; pos < end;) {
            const Cell* c = buf(node)->cells() + pos;
            if (type_of(c) == TYPE_WORD) {
                int32_t k = conditional(node, pos, end, depth);
                if (k >= 0) {
                    at[pos - head] = CodeEntry{CodeEntry::COND, uint32_t(k)};
                    any = true;
                    pos = code->conds[size_t(k)].next;
                    continue;
                }
                k = return_(node, pos, end);
                if (k >= 0) {
                    at[pos - head] = CodeEntry{CodeEntry::RETURN, uint32_t(k)};
                    any = true;
                    pos = code->exprs[code->returns[size_t(k)].value].next;
                    continue;
                }
            }
            int32_t k = expression(node, pos, end, true, depth);
            if (k < 0) {
                pos++;
                continue;
            }
            at[pos - head] = CodeEntry{CodeEntry::EXPR, uint32_t(k)};
            any = true;
            pos = code->exprs[size_t(k)].next;
        }
        if (!any) {
            code->seqs.resize(me);
            return -1;
        }
        CodeSeq& s = code->seqs[me];
        s.block = block;
        s.node = node;
        s.head = head;
        s.end = end;
        s.user_code = error::is_user_code(node);   // the library's flag never changes after loading
        s.at = std::move(at);
        for (uint32_t pos = head; pos < end;) {
            const CodeEntry& e = s.at[pos - head];
            if (e.kind != CodeEntry::EXPR || !code->exprs[e.index].pure) {
                s.plain.clear();
                break;
            }
            s.plain.push_back(e.index);
            pos = code->exprs[e.index].next;
        }
        return int32_t(me);
    }

    // An expression at pos of node's cells [0, end); appends it and returns its index, or -1
    // (with nothing appended).
    int32_t expression(uint32_t node, uint32_t pos, uint32_t end, bool allow_set, uint32_t depth) {
        Mark mark = here();
        int32_t k = try_expression(node, pos, end, allow_set, depth);
        if (k < 0) back_to(mark);
        return k;
    }

private:
    Code* code;

    struct Mark {
        size_t spans, snap, items, exprs, parens, conds, returns, args, seqs;
    };
    Mark here() const {
        return Mark{code->spans.size(), code->snap.size(), code->items.size(), code->exprs.size(),
                    code->parens.size(), code->conds.size(), code->returns.size(), code->args.size(),
                    code->seqs.size()};
    }
    void back_to(const Mark& m) {
        code->spans.resize(m.spans);
        code->snap.resize(m.snap);
        code->items.resize(m.items);
        code->exprs.resize(m.exprs);
        code->parens.resize(m.parens);
        code->conds.resize(m.conds);
        code->returns.resize(m.returns);
        code->args.resize(m.args);
        code->seqs.resize(m.seqs);
    }

    // A conditional at pos (the word naming it); appends it and returns its entry, or -1.
    int32_t conditional(uint32_t node, uint32_t pos, uint32_t end, uint32_t depth) {
        Cell w = buf(node)->cells()[pos];
        const Cell* v = word_value_or_null(&w);
        if (!v || type_of(v) != TYPE_NATIVE || !is_conditional_native(callable_slot(v)) || pos + 1 >= end) return -1;
        Mark mark = here();
        int32_t k = try_expression(node, pos + 1, end, false, depth);
        if (k < 0 || !code->exprs[size_t(k)].pure) {
            back_to(mark);
            return -1;
        }
        CodeCond cond{};
        cond.word = word_item(w, CodeItem::OP, v);   // an op item: the value it must keep
        cond.cond = uint32_t(k);
        cond.blocks = callable_slot(v) == natives::CORE_SLOT_EITHER ? 2 : 1;
        uint32_t p = code->exprs[size_t(k)].next;
        for (uint32_t i = 0; i < cond.blocks; i++, p++) {
            const Cell* c = buf(node)->cells() + p;
            // A block followed by a word is the value of an expression that ends there
            // while the word holds no op: only the last one may be.
            bool last = i + 1 == cond.blocks;
            if (p >= end || type_of(c) != TYPE_BLOCK || (!last && p + 1 < end && type_of(c + 1) == TYPE_WORD)) {
                back_to(mark);
                return -1;
            }
            cond.block[i] = *c;
            cond.branch[i] = -1;
            if (last && p + 1 < end && type_of(c + 1) == TYPE_WORD) {
                cond.has_tail = true;
                cond.tail = c[1];
            }
        }
        cond.next = p;
        // The blocks join the code when they compile.
        for (uint32_t i = 0; i < cond.blocks; i++) {
            const Cell& b = cond.block[i];
            uint32_t bnode = series_node(&b);
            int32_t h = series_head(&b);
            uint32_t bhead = h < 0 ? 0 : uint32_t(h);
            if (depth >= CODE_MAX_DEPTH || bhead >= buf(bnode)->cell_count()) continue;
            Mark before = here();
            if (!add_span(bnode, bhead)) continue;
            int32_t s = sequence(b, bnode, bhead, depth + 1);
            if (s < 0) back_to(before);
            cond.branch[i] = s;
        }
        code->conds.push_back(cond);
        return int32_t(code->conds.size() - 1);
    }

    // return followed by a plain expression; appends it and returns its entry, or -1.
    int32_t return_(uint32_t node, uint32_t pos, uint32_t end) {
        Cell w = buf(node)->cells()[pos];
        const Cell* v = word_value_or_null(&w);
        if (!v || !is_return_native(v) || pos + 1 >= end) return -1;
        Mark mark = here();
        int32_t k = try_expression(node, pos + 1, end, false, 0);
        if (k < 0 || !code->exprs[size_t(k)].pure) {
            back_to(mark);
            return -1;
        }
        CodeReturn r{};
        r.word = word_item(w, CodeItem::OP, v);
        r.value = uint32_t(k);
        code->returns.push_back(r);
        return int32_t(code->returns.size() - 1);
    }

    int32_t try_expression(uint32_t node, uint32_t pos, uint32_t end, bool allow_set, uint32_t depth) {
        CodeExpr e{};
        e.node = node;
        e.start = pos;
        e.end = end;
        std::vector<CodeItem> mine;
        const Cell* c = buf(node)->cells() + pos;
        if (type_of(c) == TYPE_SET_WORD) {
            // Only words the walker sets directly: global and function words (object fields
            // have change flags and handlers).
            if (!allow_set || pos + 1 >= end) return -1;
            uint32_t ctx = word_context(c);
            int32_t idx = word_index(c);
            if (!ctx || idx < 0) return -1;
            const Cell* rec = buf(ctx)->cells();
            if (ctx_kind(rec) == context::KIND_OBJECT) return -1;
            e.has_target = true;
            e.target = *c;
            e.target_where = ctx_on_stack(rec) ? WHERE_STACK : WHERE_VALUES;
            e.ta = ctx_on_stack(rec) ? ctx : ctx_values(rec);
            e.tb = uint32_t(idx);
            pos++;
        }
        pos = operand(node, pos, end, depth, mine);
        if (!pos) return -1;
        while (pos < end) {
            Cell w = buf(node)->cells()[pos];
            if (type_of(&w) != TYPE_WORD) break;
            const Cell* v = word_value_or_null(&w);
            if (!v || type_of(v) != TYPE_OP) break;   // the expression ends here as things stand
            if (fast_op_of(v) == FAST_NONE || pos + 1 >= end) return -1;
            mine.push_back(word_item(w, CodeItem::OP, v));
            mine.back().pos = pos;
            pos = operand(node, pos + 1, end, depth, mine);
            if (!pos) return -1;
        }
        if (pos < end && type_of(buf(node)->cells() + pos) == TYPE_WORD) {
            e.has_tail = true;
            e.tail = buf(node)->cells()[pos];
        }
        e.items = uint32_t(code->items.size());
        e.count = uint32_t(mine.size());
        e.flat = std::none_of(mine.begin(), mine.end(), [](const CodeItem& i) {
            return i.kind == CodeItem::PAREN || i.kind == CodeItem::CALL;
        });
        e.pure = std::none_of(mine.begin(), mine.end(), [this](const CodeItem& i) {
            return i.kind == CodeItem::CALL || (i.kind == CodeItem::PAREN && !code->parens[i.a].pure);
        });
        // A plain expression sets its word directly (run_code_top); one with calls sets it
        // under the set-word's frame, as the walker does (x_set).
        e.next = pos;
        code->items.insert(code->items.end(), mine.begin(), mine.end());
        code->exprs.push_back(e);
        return int32_t(code->exprs.size() - 1);
    }

    // One operand at pos; appends its item to mine and returns the position after it, or 0.
    uint32_t operand(uint32_t node, uint32_t pos, uint32_t end, uint32_t depth, std::vector<CodeItem>& mine) {
        Cell c = buf(node)->cells()[pos];
        uint32_t t = type_of(&c);
        if (t == TYPE_WORD) {
            const Cell* v = word_value_or_null(&c);
            if (!v) return 0;
            if (is_compiled_callee(v)) return call(c, v, node, pos, end, depth, mine);
            if ((NOT_PLAIN_VALUE_TYPES >> type_of(v)) & 1) return 0;
            mine.push_back(word_item(c, CodeItem::WORD, v));
            mine.back().pos = pos;
            return pos + 1;
        }
        if (t == TYPE_PAREN) {
            int32_t p = paren(c, depth + 1);
            if (p < 0) return 0;
            CodeItem it{};
            it.kind = CodeItem::PAREN;
            it.a = uint32_t(p);
            it.pos = pos;
            it.cell = c;
            mine.push_back(it);
            return pos + 1;
        }
        if (!is_inert_type(t) || t == TYPE_UNSET) return 0;
        CodeItem it{};
        it.kind = CodeItem::LIT;
        it.cell = c;
        it.pos = pos;
        mine.push_back(it);
        return pos + 1;
    }

    // A call of the function v named by the word w at pos, with its arguments.
    uint32_t call(const Cell& w, const Cell* v, uint32_t node, uint32_t pos, uint32_t end, uint32_t depth,
                  std::vector<CodeItem>& mine) {
        if (depth > CODE_MAX_DEPTH) return 0;
        CodeItem it = word_item(w, CodeItem::CALL, v);
        it.info = callable::call_info(v);
        it.pos = pos;
        it.node = node;
        it.end = end;
        uint32_t n = callable::call_arity(it.info);
        std::vector<uint32_t> args;
        uint32_t p = pos + 1;
        for (uint32_t i = 0; i < n; i++) {
            if (p >= end) return 0;
            int32_t k = try_expression(node, p, end, false, depth + 1);
            if (k < 0) return 0;
            args.push_back(uint32_t(k));
            p = code->exprs[size_t(k)].next;
        }
        it.args = uint32_t(code->args.size());
        code->args.insert(code->args.end(), args.begin(), args.end());
        mine.push_back(it);
        return p;
    }

    // The item of a word (an operand, an op or a native holding value v, a called word).
    static CodeItem word_item(const Cell& w, CodeItem::Kind kind, const Cell* v) {
        CodeItem it{};
        it.kind = kind;
        it.cell = w;
        it.where = WHERE_LOOKUP;
        uint32_t ctx = word_context(&w);
        int32_t idx = word_index(&w);
        if (ctx && idx >= 0) {
            const Cell* rec = buf(ctx)->cells();
            it.where = ctx_on_stack(rec) ? WHERE_STACK : WHERE_VALUES;
            it.a = ctx_on_stack(rec) ? ctx : ctx_values(rec);
            it.b = uint32_t(idx);
        }
        if (kind == CodeItem::OP || kind == CodeItem::CALL) {
            it.op = *v;
            if (kind == CodeItem::OP && type_of(v) == TYPE_OP) it.fast = uint8_t(fast_op_of(v));
        }
        return it;
    }

    // A paren whose every expression compiles, without set-words (nothing may be stored
    // before the whole expression is known to run without the walker); its entry, or -1.
    int32_t paren(const Cell& p, uint32_t depth) {
        if (depth > CODE_MAX_DEPTH) return -1;
        uint32_t node = series_node(&p);
        int32_t h = series_head(&p);
        uint32_t head = h < 0 ? 0 : uint32_t(h);
        uint32_t end = buf(node)->cell_count();
        if (head >= end || !add_span(node, head)) return -1;
        CodeParen mine;
        mine.paren = p;
        mine.node = node;
        mine.head = head;
        mine.end = end;
        mine.pure = true;
        mine.user_code = error::is_user_code(node);
        for (uint32_t pos = head; pos < end;) {
            int32_t k = try_expression(node, pos, end, false, depth);
            if (k < 0) return -1;
            mine.exprs.push_back(uint32_t(k));
            mine.pure = mine.pure && code->exprs[size_t(k)].pure;
            pos = code->exprs[size_t(k)].next;
        }
        code->parens.push_back(std::move(mine));
        return int32_t(code->parens.size() - 1);
    }
};

bool run_code_expr(const Code* code, const CodeExpr& e, Cell* out);

// The value cell of a word item, as word_value_or_null finds it.
[[gnu::always_inline]] inline const Cell* code_word_value(const CodeItem& it) {
    if (it.where == WHERE_VALUES) return buf(it.a)->cells() + it.b;
    if (it.where == WHERE_STACK) {
        uint32_t v = ctx_values(buf(it.a)->cells());
        return v ? stack::bottom + (v - 1) + it.b : nullptr;
    }
    return word_value_or_null(&it.cell);
}

inline bool same_cell(const Cell* a, const Cell* b) {
    uint64_t x[2], y[2];
    std::memcpy(x, a, sizeof x);
    std::memcpy(y, b, sizeof y);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
}

// The value of a literal or word operand; nullptr when the word no longer holds a plain value
// (the walker must take the expression).
[[gnu::always_inline]] inline const Cell* flat_operand(const CodeItem& it) {
    if (it.kind == CodeItem::LIT) return &it.cell;
    const Cell* v = code_word_value(it);
    if (!v || ((NOT_PLAIN_VALUE_TYPES >> type_of(v)) & 1)) return nullptr;
    return v;
}

// An operand's value (in scratch for a paren); nullptr when the walker must take the
// expression. Plain expressions only.
[[gnu::always_inline]] inline const Cell* run_code_operand(const Code* code, const CodeItem& it, Cell* scratch) {
    if (it.kind != CodeItem::PAREN) return flat_operand(it);
    // A paren: each expression must run; the last one's value is the paren's.
    for (uint32_t k : code->parens[it.a].exprs)
        if (!run_code_expr(code, code->exprs[k], scratch)) return nullptr;
    return scratch;
}

// The value of a plain expression (its set-word, if any, is left to the caller). Flat: no
// paren among its operands (the common case, inline and without recursion).
template <bool Flat>
[[gnu::always_inline]] inline bool run_code_chain(const Code* code, const CodeExpr& e, Cell* out) {
    const CodeItem* it = code->items.data() + e.items;
    Cell scratch;
    const Cell* first = Flat ? flat_operand(it[0]) : run_code_operand(code, it[0], &scratch);
    if (!first) return false;
    Cell acc = *first;
    for (uint32_t i = 1; i < e.count; i += 2) {
        // The op word must still hold the op the code was made for.
        const Cell* op = code_word_value(it[i]);
        if (!op || !same_cell(op, &it[i].op)) return false;
        const Cell* r = Flat ? flat_operand(it[i + 1]) : run_code_operand(code, it[i + 1], &scratch);
        if (!r) return false;
        if (!fast_compute(FastOp(it[i].fast), &acc, r)) return false;
    }
    if (e.has_tail) {
        const Cell* v = word_value_or_null(&e.tail);
        if (v && type_of(v) == TYPE_OP) return false;
    }
    *out = acc;
    return true;
}

bool run_code_expr(const Code* code, const CodeExpr& e, Cell* out) {
    return e.flat ? run_code_chain<true>(code, e, out) : run_code_chain<false>(code, e, out);
}

// run_code_expr with the flat case inline.
[[gnu::always_inline]] inline bool run_code_expr_inline(const Code* code, const CodeExpr& e, Cell* out) {
    return e.flat ? run_code_chain<true>(code, e, out) : run_code_expr(code, e, out);
}

// A top-level plain expression of a block: its value at the arguments base (set into its
// word first). False, with nothing done, when the walker must take it.
[[gnu::always_inline]] inline bool run_code_top(const Code* code, const CodeExpr& e) {
    Cell v;
    if (!run_code_expr_inline(code, e, &v)) return false;
    if (e.has_target) {
        // Set as the walker sets it, directly (a function's word only while it runs).
        if (e.target_where == WHERE_VALUES) {
            buf(e.ta)->cells()[e.tb] = v;
        } else {
            uint32_t values = ctx_values(buf(e.ta)->cells());
            if (!values) return false;
            stack::bottom[(values - 1) + e.tb] = v;
        }
    }
    *stack::base = v;
    stack::top = stack::base + 1;
    return true;
}

// Room the walker would use on the stacks for one plain expression at most: below it, the
// walker runs every expression and raises any overflow exactly where it would.
constexpr uint32_t CODE_VALUE_ROOM = 64;
constexpr uint32_t CODE_FRAME_ROOM = 32;
constexpr size_t CODE_NATIVE_ROOM = 64 * 1024;

inline bool code_has_room() {
    return stack::top + CODE_VALUE_ROOM < stack::limit && stack::ftop + CODE_FRAME_ROOM < stack::flimit &&
           native_stack_pointer() > native_stack_floor + CODE_NATIVE_ROOM;
}

// ---- running expressions with calls ----
//
// Each function below does what the walker's function of the same shape does, from the
// decoded form. It pushes its value and returns the next position, or NOT_TAKEN with nothing
// done (the caller hands the element to the walker). Once something was done, a failed check
// hands the rest to the walker from that point; the epoch then moves on (the walker may have
// run anything).

uint32_t x_expr(Code* code, const CodeExpr& e);
void run_seq_from(Code* code, const CodeSeq& seq, const Cell& block, uint32_t pos, bool pass);
bool kept_after_trial(Code* code, uint32_t node);
inline void run_seq(Code* code, const CodeSeq& seq, const Cell& block, bool pass);
uint32_t x_call(Code* code, const CodeItem& it);

// The rest of an expression whose value so far is at start, by the walker, from pos.
[[gnu::noinline]] uint32_t walk_infix(uint32_t node, uint32_t pos, uint32_t end, Cell* start) {
    stack::top = start + 1;
    pos = continue_infix<false>(node, pos, end, start);
    code_epoch++;
    return pos;
}

// The rest of a paren by the walker (eval_paren_inline's loop), from the expression at pos;
// the position and the result are then settled as there.
[[gnu::noinline]] bool walk_paren(const CodeParen& p, uint32_t pos, Cell* start, __m128i position, bool user_code) {
    uint32_t end = p.end;
    uint32_t len = buf(p.node)->cell_count();
    if (len < end) end = len;
    while (pos < end) {
        stack::top = start;
        if (user_code) error::set_position_at(position, pos);
        pos = eval_expr<false>(p.node, pos, end, false);
        code_epoch++;
        if (stack::unwinding()) return false;
        len = buf(p.node)->cell_count();
        if (len < end) end = len;
    }
    return true;
}

// x_expr with the commonest expression with calls inline: one call and nothing after it.
[[gnu::always_inline]] inline uint32_t x_expr_one(Code* code, const CodeExpr& e) {
    const CodeItem& it = code->items[e.items];
    if (e.pure || e.count != 1 || it.kind != CodeItem::CALL) return x_expr(code, e);
    Cell* start = stack::top;
    uint32_t pos = x_call(code, it);
    if (pos == NOT_TAKEN || stack::unwinding()) return pos;
    if (pos != e.next || !code_current(code)) return walk_infix(e.node, pos, e.end, start);
    if (e.has_tail) {
        const Cell* v = word_value_or_null(&e.tail);
        if (v && type_of(v) == TYPE_OP) return walk_infix(e.node, pos, e.end, start);
    }
    return pos;
}

// A paren among the operands (eval_paren_inline); at is its position in the code.
[[gnu::always_inline]] inline uint32_t x_paren(Code* code, const CodeParen& p, uint32_t at) {
    if (p.pure) {
        Cell v;
        for (uint32_t k : p.exprs)
            if (!run_code_expr(code, code->exprs[k], &v)) return NOT_TAKEN;
        stack::push_copy(&v);
        return at + 1;
    }
    guard_native_stack();
    Cell* start = stack::top;
    __m128i saved_position = error::saved_position();
    bool user_code = p.user_code;
    __m128i position = error::position_base(p.paren.header, p.node, series_extra(&p.paren));
    for (size_t i = 0; i < p.exprs.size(); i++) {
        const CodeExpr& e = code->exprs[p.exprs[i]];
        stack::top = start;
        if (user_code) error::set_position_at(position, e.start);
        uint32_t next = (i == 0 || code_current(code)) ? x_expr_one(code, e) : NOT_TAKEN;
        if (next == NOT_TAKEN) {
            if (i == 0) {
                error::restore_position(saved_position);
                stack::top = start;
                return NOT_TAKEN;
            }
            if (!walk_paren(p, e.start, start, position, user_code)) return at + 1;
            break;
        }
        if (stack::unwinding()) return at + 1;
        if (next != e.next) {
            // The walker finished this expression somewhere else: it finishes the paren too.
            if (!walk_paren(p, next, start, position, user_code)) return at + 1;
            break;
        }
    }
    error::restore_position(saved_position);
    if (stack::top - 1 != start) {
        *start = *(stack::top - 1);
        stack::top = start + 1;
    }
    return at + 1;
}

// The arguments from i on of a call whose frame is open, by the walker (gather_and_run).
[[gnu::noinline]] uint32_t walk_arguments(const Cell* fn, const Cell* name, const CodeItem& it, uint32_t i, uint32_t pos) {
    CallSite site{it.node, it.end, 0, 0, nullptr};
    for (uint32_t n = callable::call_arity(it.info); i < n; i++) {
        if (pos >= site.end || pos >= buf(site.node)->cell_count()) {
            Cell ts = *code_at(callable::args_cache(fn), i);
            fetch_argument<false>(callable::ARG_NORMAL, site, pos, false, fn, name, int32_t(i), &ts);   // raises no-arg
        }
        pos = eval_full_expr(site.node, pos, site.end);
        code_epoch++;
        if (stack::unwinding()) return pos;
        uint32_t vt = type_of(stack::top - 1);
        if (!((it.info & callable::CALL_UNTYPED) && vt != TYPE_UNSET) &&
            !typeset_bits::has(code_at(callable::args_cache(fn), i), vt))
            raise_arg_type(fn, name, int32_t(i), vt);
    }
    return pos;
}

// The body of a function whose arguments and locals are in its frame (run_gathered): its
// code runs directly when it is current, else the body is evaluated as a block.
[[gnu::always_inline]] inline void run_function(const Cell* fn) {
    stack::enter_function_context(callable_ctx(fn));
    (stack::ftop - 1)->header |= stack::FRAME_RETURN_TARGET;
    Cell body = buf(callable_aux(fn))->cells()[callable::AUX_BODY];
    if (type_of(&body) == TYPE_BLOCK) {
        try {
            uint32_t node = series_node(&body);
            int32_t h = series_head(&body);
            uint32_t head = h < 0 ? 0 : uint32_t(h);
            Code* code = node < code_table_size ? code_table[node].code : nullptr;
            // The trial's end is decided here too: the call takes the same native path then.
            if (code && code->head == head && code->valid_epoch == code_epoch && !general_route() &&
                code_has_room() && kept_after_trial(code, node)) {
                CodeRun run(code);
                code->runs++;
                run_seq(code, code->seqs[0], body, true);
            } else {
                eval_function_body(&body);
            }
        } catch (stack::Unwind&) {
            land_return(fn);
        }
    } else {
        stack::set_result(&body);
    }
    if (stack::pending == stack::LEVEL_RETURN || stack::pending == stack::LEVEL_EXIT) {
        if (stack::pending == stack::LEVEL_RETURN) *stack::base = stack::unwind_value;
        else set_unset(stack::base);
        stack::pending = stack::LEVEL_NONE;
        stack::top = stack::base + 1;
    }
}

// A call among the operands (dispatch_call_inline, gather_and_run): its frame, its arguments
// from the code, its locals, its body.
uint32_t x_call(Code* code, const CodeItem& it) {
    const Cell* v = code_word_value(it);
    if (!v || !same_cell(v, &it.op)) return NOT_TAKEN;
    const Cell& fn = it.op;
    const Cell& name = it.cell;
    guard_native_stack();
    stack::open_call_frame(word_symbol(&name), word_context(&name), callable_ctx(&fn), FRAME_INTERPRETER);
    uint32_t pos = it.pos + 1;
    uint32_t n = callable::call_arity(it.info);
    const uint32_t* args = code->args.data() + it.args;
    for (uint32_t i = 0; i < n; i++) {
        const CodeExpr& e = code->exprs[args[i]];
        uint32_t next = NOT_TAKEN;
        if (code_current(code)) {
            // A plain argument is written straight into the frame.
            Cell* slot = stack::push();
            if (e.pure && run_code_expr_inline(code, e, slot)) {
                next = e.next;
            } else {
                stack::top = slot;
                if (!e.pure) next = x_expr(code, e);
            }
        }
        if (next == NOT_TAKEN || (next != e.next && !stack::unwinding())) {
            if (next == NOT_TAKEN) {
                next = eval_full_expr(it.node, pos, it.end);
                code_epoch++;
            }
            pos = next;
            if (!stack::unwinding()) {
                uint32_t vt = type_of(stack::top - 1);
                if (!((it.info & callable::CALL_UNTYPED) && vt != TYPE_UNSET) &&
                    !typeset_bits::has(code_at(callable::args_cache(&fn), i), vt))
                    raise_arg_type(&fn, &name, int32_t(i), vt);
                pos = walk_arguments(&fn, &name, it, i + 1, pos);
            }
            break;
        }
        pos = next;
        if (stack::unwinding()) break;
        uint32_t vt = type_of(stack::top - 1);
        if (!((it.info & callable::CALL_UNTYPED) && vt != TYPE_UNSET) &&
            !typeset_bits::has(code_at(callable::args_cache(&fn), i), vt))
            raise_arg_type(&fn, &name, int32_t(i), vt);
    }
    if (!stack::unwinding()) {
        push_locals(callable::call_locals(it.info));
        if (general_route()) run_gathered(&fn, UNUSED_REFINEMENTS.data());
        else run_function(&fn);
    }
    stack::close_frame_keep();
    return pos;
}

// An operand of an expression with calls.
[[gnu::always_inline]] inline uint32_t x_operand(Code* code, const CodeItem& it) {
    switch (it.kind) {
        case CodeItem::PAREN: return x_paren(code, code->parens[it.a], it.pos);
        case CodeItem::CALL: return x_call(code, it);
        default: {
            const Cell* v = flat_operand(it);
            if (!v) return NOT_TAKEN;
            stack::push_copy(v);
            return it.pos + 1;
        }
    }
}

// An expression (infix_loop, fast_infix): pushes its value.
uint32_t x_expr(Code* code, const CodeExpr& e) {
    if (e.pure) {
        Cell v;
        if (!run_code_expr_inline(code, e, &v)) return NOT_TAKEN;
        stack::push_copy(&v);
        return e.next;
    }
    Cell* start = stack::top;
    const CodeItem* it = code->items.data() + e.items;
    uint32_t pos = x_operand(code, it[0]);
    if (pos == NOT_TAKEN) return NOT_TAKEN;
    for (uint32_t i = 1; i < e.count; i += 2) {
        if (stack::unwinding()) return pos;
        const CodeItem& op_item = it[i];
        const CodeItem& right = it[i + 1];
        const Cell* op = pos == op_item.pos && code_current(code) ? code_word_value(op_item) : nullptr;
        if (!op || !same_cell(op, &op_item.op)) return walk_infix(e.node, pos, e.end, start);
        stack::top = start + 1;
        FastOp k = FastOp(op_item.fast);
        if (right.kind == CodeItem::LIT || right.kind == CodeItem::WORD) {
            const Cell* r = flat_operand(right);
            if (!r || !fast_compute(k, start, r)) return walk_infix(e.node, pos, e.end, start);
            pos += 2;
            continue;
        }
        // The op's frame, as fast_infix opens it, around its right operand.
        const Cell& name = op_item.cell;
        stack::open_frame(word_symbol(&name), word_context(&name), stack::FRAME_NATIVE, FRAME_INTERPRETER);
        stack::base = start;
        uint32_t next = x_operand(code, right);
        if (next == NOT_TAKEN) {
            if (right.kind == CodeItem::PAREN) {
                Cell paren = code->parens[right.a].paren;
                eval_paren_inline<false>(&paren);
                next = pos + 2;
            } else {
                next = eval_expr<false>(e.node, pos + 1, e.end, true);
            }
            code_epoch++;
        }
        if (!stack::unwinding() && !fast_compute(k, start, start + 1)) {
            // Other operand types take the op's general path with both arguments in place.
            Cell fn = op_item.op;
            set_header(&fn, op_source_type(&fn));
            uint32_t cache = callable::args_cache(&fn);
            for (int32_t a = 0; a < 2; a++) {
                const Cell* ts = code_at(cache, uint32_t(a));
                if (!typeset_bits::has(ts, type_of(start + a))) raise_arg_type(&fn, &name, a, type_of(start + a));
            }
            int32_t refs[1] = {-1};
            run_gathered(&fn, refs);
        }
        stack::close_frame_keep();
        pos = next;
    }
    if (stack::unwinding()) return pos;
    if (pos != e.next || !code_current(code)) return walk_infix(e.node, pos, e.end, start);
    if (e.has_tail) {
        const Cell* v = word_value_or_null(&e.tail);
        if (v && type_of(v) == TYPE_OP) return walk_infix(e.node, pos, e.end, start);
    }
    return pos;
}

// A set-word and an expression with calls (eval_set_word): the value is set and left at the
// block's base.
uint32_t x_set(Code* code, const CodeExpr& e) {
    const Cell& c = e.target;
    stack::open_frame(word_symbol(&c), word_context(&c), stack::FRAME_NATIVE, FRAME_INTERPRETER);
    stack::push_copy(&c);
    uint32_t pos = x_expr(code, e);
    if (pos == NOT_TAKEN) {
        pos = eval_full_expr(e.node, e.start + 1, e.end);
        code_epoch++;
    }
    if (stack::unwinding()) {
        stack::close_frame_keep();
        return pos;
    }
    Cell* v = stack::base + 1;
    if (type_of(v) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NEED_VALUE, &c);
    if (e.target_where == WHERE_VALUES) {
        buf(e.ta)->cells()[e.tb] = *v;
    } else if (uint32_t values = ctx_values(buf(e.ta)->cells())) {
        stack::bottom[(values - 1) + e.tb] = *v;
    } else {
        word::set(&c, v);
    }
    *stack::base = *v;
    stack::close_frame_keep();
    return pos;
}

// The rest of a block by the walker's steps (run_block's loop), from pos.
[[gnu::noinline]] uint32_t walk_block_rest(uint32_t node, uint32_t pos, uint32_t end, __m128i position, bool user_code) {
    uint32_t len = buf(node)->cell_count();
    if (len < end) end = len;
    while (pos < end) {
        stack::top = stack::base;
        collector::safe_point();
        if (user_code) error::set_position_at(position, pos);
        pos = eval_top_expr<false>(node, pos, end);
        code_epoch++;
        if (stack::unwinding()) break;
        len = buf(node)->cell_count();
        if (len < end) end = len;
    }
    return pos;
}

// A block of one expression with calls, its value passed to the caller's result slot (the
// run_block protocol, inline).
[[gnu::always_inline]] inline void run_seq_one(Code* code, const CodeSeq& seq, const Cell& block) {
    Cell* caller_base = stack::base;
    stack::base = stack::top;
    code_safe_point();
    __m128i saved_position = error::saved_position();
    bool user_code = seq.user_code;
    __m128i position = error::position_base(block.header, seq.node, series_extra(&block));
    if (user_code) error::set_position_at(position, seq.head);
    const CodeExpr& e = code->exprs[seq.at[0].index];
    code->hits++;
    uint32_t pos = x_expr(code, e);
    if (pos == NOT_TAKEN) {
        code->hits--;
        code->walks++;
        stack::top = stack::base;
        pos = eval_top_expr<false>(seq.node, seq.head, seq.end);
        code_epoch++;
    }
    if (!stack::unwinding() && pos < seq.end) walk_block_rest(seq.node, pos, seq.end, position, user_code);
    error::restore_position(saved_position);
    end_block(caller_base, true);
}

// A conditional of the code whose word still names its native, as the walker runs it
// (dispatch_call_inline, gather_conditional, run_conditional): its frame, the condition, the
// literal blocks, the chosen block (from the code when it was compiled in); when the
// condition is not plain the walker gathers the arguments. Then the infix calls that may
// follow. Returns the next position.
[[gnu::always_inline]] inline uint32_t x_cond(Code* code, const CodeCond& cond, uint32_t node, uint32_t pos, uint32_t end, const Cell& v) {
    Cell* start = stack::top;
    const Cell& name = cond.word.cell;
    guard_native_stack();
    stack::open_frame(word_symbol(&name), word_context(&name), stack::FRAME_NATIVE, FRAME_INTERPRETER);
    uint32_t slot = callable_slot(&cond.word.op);
    {
        stack::push_copy(&v);
        for (uint32_t i = 0; i < cond.blocks; i++) stack::push_copy(&cond.block[i]);
        const Cell* c = stack::base;
        int32_t chosen = -1;
        if (slot == natives::CORE_SLOT_EITHER) {
            if (type_of(c) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NO_RETURN);
            chosen = !is_falsy(c) ? 0 : 1;
        } else if (is_falsy(c) == (slot == natives::CORE_SLOT_UNLESS)) {
            chosen = 0;
        }
        if (chosen < 0) {
            stack::keep_result_slot();
            set_none(stack::base);
        } else if (cond.branch[chosen] >= 0 && !general_route() && code_has_room()) {
            Cell block = cond.block[chosen];
            const CodeSeq& seq = code->seqs[size_t(cond.branch[chosen])];
            if (seq.plain.empty() && seq.at[0].kind == CodeEntry::EXPR && !code->exprs[seq.at[0].index].has_target &&
                code->exprs[seq.at[0].index].next == seq.end)
                run_seq_one(code, seq, block);
            else
                run_seq(code, seq, block, true);
        } else {
            eval_block(stack::base + 1 + chosen, true);
        }
        pos = cond.next;
    }
    stack::close_frame_keep();
    if (pos == cond.next && code_current(code)) return pos;
    pos = continue_infix<false>(node, pos, end, start);
    code_epoch++;
    return pos;
}

// return with a plain value: the unwinding starts as the return native starts it, when the
// native would find its target; else the walker takes it (and raises).
[[gnu::always_inline]] inline bool x_return(Code* code, const CodeReturn& r) {
    const Cell* fn = code_word_value(r.word);
    if (!fn || !same_cell(fn, &r.word.op)) return false;
    Cell v;
    if (!run_code_expr_inline(code, code->exprs[r.value], &v)) return false;
    for (stack::Frame* f = stack::ftop - 1; f >= stack::fbottom; f--) {
        if (f->header & stack::FRAME_RETURN_TARGET) {
            guard_native_stack();
            *stack::base = v;
            stack::top = stack::base + 1;
            stack::unwind_value = v;
            stack::pending = stack::LEVEL_RETURN;
            return true;
        }
        if (f->kind() == stack::FRAME_TRY_ALL) break;
    }
    return false;
}

// A conditional whose condition and chosen block are plain (a block of one plain
// expression): nothing in it can raise, call or be seen on the stacks, so it runs without
// the native's frame and the block's protocol; its value is left at the arguments base.
// False, with nothing done, when it does not run so.
// COND_DONE: run; COND_FRAMED: the condition is in *v and the chosen block needs the
// native's frame (x_cond); COND_WALK: nothing done.
enum CondPlain { COND_DONE, COND_FRAMED, COND_WALK };
[[gnu::always_inline]] inline CondPlain x_cond_plain(Code* code, const CodeCond& cond, Cell* v) {
    const Cell* fn = code_word_value(cond.word);
    if (!fn || !same_cell(fn, &cond.word.op)) return COND_WALK;
    if (cond.has_tail) {
        const Cell* tail = word_value_or_null(&cond.tail);
        if (tail && type_of(tail) == TYPE_OP) return COND_WALK;
    }
    if (!run_code_expr_inline(code, code->exprs[cond.cond], v)) return COND_WALK;
    uint32_t slot = callable_slot(&cond.word.op);
    int32_t chosen = -1;
    if (slot == natives::CORE_SLOT_EITHER) chosen = !is_falsy(v) ? 0 : 1;
    else if (is_falsy(v) == (slot == natives::CORE_SLOT_UNLESS)) chosen = 0;
    if (chosen < 0) {
        set_none(stack::base);
        stack::top = stack::base + 1;
        return COND_DONE;
    }
    int32_t b = cond.branch[chosen];
    if (b < 0) return COND_FRAMED;
    const CodeSeq& seq = code->seqs[size_t(b)];
    if (seq.plain.size() == 1) return run_code_top(code, code->exprs[seq.plain[0]]) ? COND_DONE : COND_FRAMED;
    // A block that is one return with a plain value: the return finds the same target
    // without the conditional's frame, which only a return target could stop.
    const CodeEntry& first = seq.at[0];
    if (first.kind == CodeEntry::RETURN && code->exprs[code->returns[first.index].value].next == seq.end)
        return x_return(code, code->returns[first.index]) ? COND_DONE : COND_FRAMED;
    return COND_FRAMED;
}

// A compiled block (run_block on the fast route): its compiled steps from the code, the
// others by the walker's step. After a walker step the code runs on only while its cells
// are unchanged.
void run_seq_from(Code* code, const CodeSeq& seq, const Cell& block, uint32_t pos, bool pass) {
    uint32_t node = seq.node, end = seq.end;
    // The position is saved when the first step that may raise comes: plain expressions
    // leave it.
    __m128i saved_position = _mm_setzero_si128(), position = _mm_setzero_si128();
    bool positioned = false, user_code = false;
    Cell* caller_base = stack::base;
    stack::base = stack::top;
    bool compiled = true;
    uint32_t first = pos;
    Cell cond_value;
    code_safe_point();
    while (pos < end) {
        stack::top = stack::base;
        const CodeEntry* entry = nullptr;
        if (compiled) {
            entry = &seq.at[pos - seq.head];
            if (entry->kind == CodeEntry::NONE) {
                entry = nullptr;
            } else if (!code_current(code)) {
                compiled = false;
                entry = nullptr;
            } else if (entry->kind == CodeEntry::EXPR && code->exprs[entry->index].pure) {
                const CodeExpr& e = code->exprs[entry->index];
                if (run_code_top(code, e)) {
                    code->hits++;
                    pos = e.next;
                    continue;
                }
                entry = nullptr;
            } else if (entry->kind == CodeEntry::COND) {
                CondPlain r = x_cond_plain(code, code->conds[entry->index], &cond_value);
                if (r == COND_DONE) {
                    code->hits++;
                    if (stack::unwinding()) break;   // a return in the chosen block
                    pos = code->conds[entry->index].next;
                    continue;
                }
                if (r == COND_WALK) entry = nullptr;
            } else if (entry->kind == CodeEntry::RETURN) {
                if (x_return(code, code->returns[entry->index])) {
                    code->hits++;
                    break;
                }
                entry = nullptr;
            }
        }
        if (pos != first) code_safe_point();
        if (!positioned) {
            positioned = true;
            saved_position = error::saved_position();
            user_code = seq.user_code;
            position = error::position_base(block.header, node, series_extra(&block));
        }
        if (user_code) error::set_position_at(position, pos);
        uint32_t next = NOT_TAKEN;
        // Counted before the step: a recursive call runs the code again before it ends.
        code->hits++;
        if (entry && entry->kind == CodeEntry::COND) {
            next = x_cond(code, code->conds[entry->index], node, pos, end, cond_value);
        } else if (entry && entry->kind == CodeEntry::EXPR) {
            const CodeExpr& e = code->exprs[entry->index];
            next = e.has_target ? x_set(code, e) : x_expr(code, e);
        }
        if (next != NOT_TAKEN) {
            pos = next;
        } else {
            code->hits--;
            code->walks++;
            pos = eval_top_expr<false>(node, pos, end);
            code_epoch++;
        }
        if (stack::unwinding()) break;
        uint32_t len = buf(node)->cell_count();
        if (len < end) end = len;
    }
    if (positioned) error::restore_position(saved_position);
    end_block(caller_base, pass);
}

// A compiled block from its head. When every expression is plain they run one after the
// other with nothing else around them (none can change the code, raise or evaluate
// anything); from the first one the code cannot take, run_seq_from goes on, in the state the
// walker would be in there.
[[gnu::always_inline]] inline void run_seq(Code* code, const CodeSeq& seq, const Cell& block, bool pass) {
    if (seq.plain.empty()) {
        run_seq_from(code, seq, block, seq.head, pass);
        return;
    }
    Cell* caller_base = stack::base;
    Cell* block_base = stack::top;
    stack::base = block_base;
    code_safe_point();
    uint32_t pos = seq.head;
    for (uint32_t k : seq.plain) {
        stack::top = block_base;
        const CodeExpr& e = code->exprs[k];
        if (!code_current(code) || !run_code_top(code, e)) {
            stack::base = caller_base;
            stack::top = block_base;
            run_seq_from(code, seq, block, pos, pass);
            return;
        }
        pos = e.next;
    }
    code->hits++;
    end_block(caller_base, pass);
}

// Compiles the block at node from head; nullptr when nothing in it compiles.
Code* compile_block(const Cell& block, uint32_t node, uint32_t head) {
    auto* code = new Code;
    code->head = head;
    CodeBuilder builder(code);
    if (!builder.add_span(node, head) || builder.sequence(block, node, head, 0) != 0) {
        delete code;
        return nullptr;
    }
    code->valid_epoch = code_epoch;
    if (calls_functions(code)) calling_codes.push_back(code);
    return code;
}

// After its trial runs: false when the code was dropped, its compiled steps being seldom
// reached (they sit behind a branch) or few among the walked ones, so that checking the code
// costs more than it saves.
bool kept_after_trial(Code* code, uint32_t node) {
    if (code->runs != CODE_TRIAL_RUNS || (code->hits >= code->runs && code->hits >= 2 * code->walks)) return true;
    release_code(code);
    code_table[node].code = nullptr;
    code_table[node].seen = CODE_NEVER;
    buf(node)->flags |= F_NO_CODE;
    return false;
}

// The code of the block at node from head when it is valid; compiles on the second
// evaluation. nullptr: walk (and the block is marked F_NO_CODE when not worth compiling).
[[gnu::noinline]] Code* code_lookup(const Cell& block, uint32_t node, uint32_t head, bool body) {
    // Start-up evaluates most of the library once: nothing is compiled while it loads.
    if (memory::library_loading) return nullptr;
    if (node >= code_table_size) {
        if (!code_table) collector::add_root_marker(mark_code_callables);
        uint32_t size = std::max(node + 1, code_table_size * 2);
        auto* table = new CodeSlot[size];
        std::copy(code_table, code_table + code_table_size, table);
        delete[] code_table;
        code_table = table;
        code_table_size = size;
    }
    CodeSlot& slot = code_table[node];
    if (Code* code = slot.code) {
        if (!kept_after_trial(code, node)) return nullptr;
        if (code->head == head && code_valid(code)) {
            code->valid_epoch = code_epoch;
            return code;
        }
        if (code->head == head) {
            // Changed since it was compiled: made again, until it changes too often.
            release_code(code);
            slot.code = nullptr;
            if (++slot.failures >= CODE_MAX_FAILURES) {
                slot.seen = CODE_NEVER;
                buf(node)->flags |= F_NO_CODE;
                return nullptr;
            }
            slot.seen = 1;
        }
        return nullptr;
    }
    if (slot.seen == CODE_NEVER) {
        // A new block at a node whose former block was not worth compiling.
        slot.seen = 0;
        slot.failures = 0;
    }
    // A function's body is compiled on its first call: every level of a recursion then runs
    // alike, the first included (a native stack overflow comes at the same depth each time).
    if (++slot.seen < (body ? 1 : 2)) return nullptr;
    Code* code = compile_block(block, node, head);
    if (!code) {
        slot.seen = CODE_NEVER;
        buf(node)->flags |= F_NO_CODE;
    }
    slot.code = code;
    return code;
}

// code_lookup with the common case inline: a code still on trial or kept, valid (compared
// now, or at the current epoch when the caller changed nothing since: again).
[[gnu::always_inline]] inline Code* code_for(const Cell& block, uint32_t node, uint32_t head, bool again, bool body) {
    Code* code = node < code_table_size ? code_table[node].code : nullptr;
    if (code && code->head == head && code->runs != CODE_TRIAL_RUNS) {
        if (again && code->valid_epoch == code_epoch) return code;
        if (code_valid(code)) {
            code->valid_epoch = code_epoch;
            return code;
        }
    }
    return code_lookup(block, node, head, body);
}

// eval_block; again: the caller changed nothing since the last evaluation but loop words.
[[gnu::always_inline]] inline void eval_block_as(const Cell* block_in, bool pass, bool again, bool body = false) {
    // Field by field: the block cell was usually just pushed, and a 16-byte load of it
    // would wait for those stores to retire (volatile keeps the loads apart).
    const volatile Cell* fields = block_in;
    Cell block;
    block.header = fields->header;
    block.d1 = fields->d1;
    block.d2 = fields->d2;
    block.d3 = fields->d3;
    uint32_t node = series_node(&block);
    int32_t head = series_head(&block);
    uint32_t end = buf(node)->cell_count();
    uint32_t pos = head < 0 ? 0 : uint32_t(head);
    // The route is chosen once for the whole block.
    if (general_route()) {
        run_block_general(block, node, pos, end, pass);
        return;
    }
    // A block holding one literal (like [n] or [1]) needs no evaluation machinery.
    if (pos + 1 == end) {
        if (const Cell* v = plain_value(buf(node)->cells() + pos)) {
            if (pass) stack::set_result(v);
            else stack::push_copy(v);
            return;
        }
    }
    if (code_cache && pos < end && !(buf(node)->flags & F_NO_CODE)) {
        if (Code* code = code_for(block, node, pos, again, body)) {
            if (code_has_room()) {
                CodeRun run(code);
                code->runs++;
                run_seq(code, code->seqs[0], block, pass);
                return;
            }
        }
    }
    run_block<false>(block, node, pos, end, pass);
}

}  // namespace

void eval_block(const Cell* block, bool pass) {
    code_epoch++;
    eval_block_as(block, pass, false);
}

void eval_block_again(const Cell* block, bool pass) { eval_block_as(block, pass, true); }

namespace {
void eval_function_body(const Cell* body) {
    code_epoch++;
    eval_block_as(body, true, false, true);
}
}  // namespace

uint32_t eval_next(const Cell* block_in, uint32_t index, bool keep) {
    Cell block = *block_in;
    uint32_t node = series_node(&block);
    uint32_t end = buf(node)->cell_count();
    if (index >= end) {
        if (keep) stack::push_unset();
        else { set_unset(stack::base); stack::top = stack::base + 1; }
        return index;
    }
    code_epoch++;
    stack::open_frame(sym(SYM_BODY), 0, stack::FRAME_NATIVE, FRAME_INTERPRETER);
    Cell saved_position = error::current_position;
    if (error::is_user_code(node)) {
        error::current_position = block;
        set_series_head(&error::current_position, int32_t(index));
    }
    index = general_route() ? eval_expr<true>(node, index, end, false) : eval_expr<false>(node, index, end, false);
    error::current_position = saved_position;
    code_epoch++;
    if (keep) stack::close_frame_keep();
    else stack::close_frame_pass();
    return index;
}

void eval_value(const Cell* value) {
    // A one-value block gives the value the same evaluation as inside code.
    uint32_t node = memory::new_cell_series(1);
    Cell* c = memory::append_cell(node);
    *c = *value;
    Cell block;
    set_series(&block, TYPE_BLOCK, node);
    collector::RootGuard keep(&block);
    eval_next(&block, 0, true);
}

void call_with_args(const Cell* fn, uint32_t name_symbol, const Cell* args, int32_t argc) {
    call_with_args_status(fn, name_symbol, args, argc);
    stack::raise_pending();
}

void call_with_args_status(const Cell* fn_in, uint32_t name_symbol, const Cell* args, int32_t argc) {
    Cell fn = *fn_in;
    if (type_of(&fn) == TYPE_OP) set_header(&fn, op_source_type(&fn));
    guard_native_stack();
    code_epoch++;   // the C++ caller may have changed any series, and may again after
    collector::RootGuard keep(&fn);
    Cell* slot = stack::push_copy(&fn);
    uint32_t t = type_of(&fn);
    if (t == TYPE_FUNCTION) stack::open_call_frame(name_symbol, 0, callable_ctx(&fn), 0);
    else stack::open_frame(name_symbol, 0, stack::FRAME_NATIVE, 0);
    // Arguments are pushed directly; refinements and locals as unused.
    bool is_function = t == TYPE_FUNCTION || t == TYPE_ROUTINE;
    int32_t given = 0;
    bool active = true;
    int32_t refs[64];
    for (int i = 0; i < 64; i++) refs[i] = -1;
    callable::walk_args_cache(callable::args_cache(&fn), [&](callable::CacheEntry entry, Cell& e, int32_t) {
        switch (entry) {
            case callable::CacheEntry::ARGUMENT:
                if (active && given < argc) stack::push_copy(&args[given++]);
                else if (is_function || active) stack::push_none();
                break;
            case callable::CacheEntry::REFINEMENT:
                active = false;
                if (is_function) set_logic(stack::push(), false);
                break;
            case callable::CacheEntry::COUNT:
                if (is_function) push_locals(int_value(&e));
                break;
        }
        return true;
    });
    run_gathered(&fn, refs);
    stack::close_frame_keep();
    code_epoch++;
    *slot = *(slot + 1);
    stack::top = slot + 1;
}

namespace {

// One argument from an apply block: an evaluated expression, or exactly one cell evaluated
// alone when safer. Pushes it; returns the next position.
uint32_t apply_value(uint32_t node, uint32_t pos, uint32_t end, bool safer) {
    bool general = general_route();
    if (safer) {
        if (general) eval_expr<true>(node, pos, pos + 1, true);
        else eval_expr<false>(node, pos, pos + 1, true);
        return pos + 1;
    }
    return general ? eval_expr<true>(node, pos, end, false) : eval_expr<false>(node, pos, end, false);
}

// The state of one apply gathering: the function, the block read as code and the position.
struct ApplySite {
    const Cell* fn;
    const Cell* name;
    uint32_t cache;
    uint32_t node;   // the args block
    uint32_t pos;
    bool safer;
    bool is_function;
    int32_t* refs;
    uint32_t end() const { return buf(node)->cell_count(); }
};

// Marks the refinement at cache index at as used (truth) or not, and gathers its arguments
// from the block: checked and stored when used; evaluated and dropped when not, or skipped
// without evaluation in safer mode. A refinement already set raises dup-refine with culprit.
void apply_refinement(ApplySite& a, uint32_t at, bool truth, const Cell* culprit) {
    Cell ref = *code_at(a.cache, at);
    int32_t slot = int32_t(cache_ref_slot(&ref));
    int32_t ordinal = cache_ref_ordinal(&ref);
    if (a.is_function) {
        Cell* flag = stack::base + slot;
        if (truth && logic_value(flag)) error::raise(error::ERR_SCRIPT_DUP_REFINE, culprit);
        set_logic(flag, truth);
    } else {
        if (truth && a.refs[ordinal - 1] != -1) error::raise(error::ERR_SCRIPT_DUP_REFINE, culprit);
        a.refs[ordinal - 1] = truth ? int32_t(stack::top - stack::base) : -1;
    }
    int32_t arg_no = spec_position(a.cache, at);
    callable::walk_refinement_args(a.cache, at, [&](Cell& e, int32_t k) {
        if (!truth && a.safer) {
            if (a.pos < a.end()) a.pos++;
            return true;
        }
        if (a.pos >= a.end()) stack::push_none();
        else {
            a.pos = apply_value(a.node, a.pos, a.end(), a.safer);
            if (stack::unwinding()) return false;
        }
        if (truth && !typeset_bits::has(&e, type_of(stack::top - 1))) raise_arg_type(a.fn, a.name, arg_no + k, type_of(stack::top - 1));
        if (a.is_function) {
            Cell* dst = stack::base + slot + k;
            if (truth) *dst = *(stack::top - 1); else set_none(dst);
            stack::top--;
        } else if (!truth) {
            stack::top--;
        }
        return true;
    });
}

// The truth of a refinement named by a path element: a word! names it used, a get-word! by
// its value's truth; anything else raises bad-refine.
bool path_refinement_truth(const Cell* el) {
    if (type_of(el) == TYPE_GET_WORD) return !is_falsy(word_value(el));
    if (type_of(el) != TYPE_WORD) error::raise(error::ERR_SCRIPT_BAD_REFINE, el);
    return true;
}

// Gathers the arguments of fn from an apply block. all_mode: the block gives every argument
// of the spec in order, refinements as truth values; otherwise the mandatory arguments come
// first, then the refinements named by the path (elements from path_index on), then
// refinement! values each followed by an expression whose truth decides. With all_mode a
// refinement the path names is used whatever the block's value for it.
void apply_gather(const Cell* fn, const Cell* name, const Cell* block, const Cell* path, uint32_t path_index,
                  bool all_mode, bool safer, int32_t* refs) {
    uint32_t t = type_of(fn);
    ApplySite a{fn, name, callable::args_cache(fn), series_node(block),
                uint32_t(series_head(block) < 0 ? 0 : series_head(block)), safer,
                t == TYPE_FUNCTION || t == TYPE_ROUTINE, refs};
    uint32_t path_len = path ? buf(series_node(path))->cell_count() : 0;
    // Whether the path names the refinement with this symbol (its truth in *truth).
    auto named_in_path = [&](uint32_t symbol, bool* truth) {
        for (uint32_t pi = path_index; pi < path_len; pi++) {
            Cell el = *code_at(series_node(path), pi);
            bool is_word = type_of(&el) == TYPE_WORD || type_of(&el) == TYPE_GET_WORD;
            if (is_word && symbol::same_canonical(word_symbol(&el), symbol)) {
                *truth = path_refinement_truth(&el);
                return true;
            }
        }
        return false;
    };
    if (all_mode) {
        for (uint32_t pi = path_index; pi < path_len; pi++) {
            Cell el = *code_at(series_node(path), pi);
            path_refinement_truth(&el);
            refinement_position(a.cache, name, &el);   // raises no-refine for an unknown one
        }
    }
    bool active = true;
    bool walked = callable::walk_args_cache(a.cache, [&](callable::CacheEntry entry, Cell& e, int32_t this_arg) {
        switch (entry) {
            case callable::CacheEntry::ARGUMENT:
                if (active) {
                    if (a.pos >= a.end()) stack::push_none();
                    else {
                        a.pos = apply_value(a.node, a.pos, a.end(), safer);
                        if (stack::unwinding()) return false;
                    }
                    if (!typeset_bits::has(&e, type_of(stack::top - 1))) raise_arg_type(fn, name, this_arg, type_of(stack::top - 1));
                } else {
                    if (all_mode && a.pos < a.end()) {
                        if (safer) a.pos++;
                        else {
                            a.pos = apply_value(a.node, a.pos, a.end(), false);
                            if (stack::unwinding()) return false;
                            stack::top--;
                        }
                    }
                    if (a.is_function) stack::push_none();
                }
                return true;
            case callable::CacheEntry::REFINEMENT: {
                bool truth = false;
                if (all_mode && a.pos < a.end()) {
                    a.pos = apply_value(a.node, a.pos, a.end(), safer);
                    if (stack::unwinding()) return false;
                    truth = !is_falsy(stack::top - 1);
                    stack::top--;
                }
                bool path_truth = false;
                if (all_mode && named_in_path(word_symbol(&e), &path_truth)) truth = truth || path_truth;
                if (a.is_function) set_logic(stack::push(), truth);
                else refs[cache_ref_ordinal(&e) - 1] = truth ? int32_t(stack::top - stack::base) : -1;
                active = all_mode && truth;
                return true;
            }
            case callable::CacheEntry::COUNT:
                if (a.is_function) push_locals(int_value(&e));
                return true;
        }
        return true;
    });
    if (!walked) return;
    if (all_mode) return;
    // Refinements named by the path, in the path's order.
    for (uint32_t pi = path_index; pi < path_len; pi++) {
        Cell el = *code_at(series_node(path), pi);
        bool truth = path_refinement_truth(&el);
        uint32_t at = refinement_position(a.cache, name, &el);
        apply_refinement(a, at, truth, path);
        if (stack::unwinding()) return;
    }
    // Refinement! values, each followed by its truth expression and its arguments.
    while (a.pos < a.end()) {
        Cell r = *code_at(a.node, a.pos);
        if (type_of(&r) != TYPE_REFINEMENT) break;
        a.pos++;
        bool truth = false;
        if (a.pos < a.end()) {
            a.pos = apply_value(a.node, a.pos, a.end(), safer);
            if (stack::unwinding()) return;
            truth = !is_falsy(stack::top - 1);
            stack::top--;
        }
        uint32_t at = refinement_position(a.cache, name, &r);
        apply_refinement(a, at, truth, &r);
        if (stack::unwinding()) return;
    }
}

}  // namespace

void apply(const Cell* fn_in, const Cell* args_block, bool all_mode, bool safer, const Cell* name_in,
           const Cell* path_in) {
    Cell fn = *fn_in;
    if (type_of(&fn) == TYPE_OP) set_header(&fn, op_source_type(&fn));
    Cell block = *args_block;
    Cell name;
    if (name_in && type_of(name_in) == TYPE_WORD) name = *name_in;
    else word::make_global(&name, TYPE_WORD, sym(SYM_APPLIED));
    Cell path;
    if (path_in) path = *path_in; else set_none(&path);
    guard_native_stack();
    code_epoch++;
    collector::RootGuard g1(&fn), g2(&block), g3(&name), g4(&path);
    Cell* slot = stack::push_copy(&fn);
    if (type_of(&fn) == TYPE_FUNCTION) stack::open_call_frame(word_symbol(&name), word_context(&name), callable_ctx(&fn), FRAME_INTERPRETER);
    else stack::open_frame(word_symbol(&name), word_context(&name), stack::FRAME_NATIVE, FRAME_INTERPRETER);
    int32_t refs[64];
    for (int32_t& r : refs) r = -1;
    const Cell* refinements = path_in ? &path : nullptr;
    uint32_t first = path_in ? uint32_t(series_head(&path) < 0 ? 0 : series_head(&path)) + 1 : 0;
    apply_gather(&fn, &name, &block, refinements, first, all_mode, safer, refs);
    if (!stack::unwinding()) run_gathered(&fn, refs);
    code_epoch++;
    stack::close_frame_keep();
    *slot = *(slot + 1);
    stack::top = slot + 1;
}

}  // namespace zel::interp
