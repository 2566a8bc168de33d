// The interpreter (see interpreter.h).
#include "core/interpreter.h"

#include <array>
#include <cstdlib>

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

namespace {
bool env_flag(const char* name) {
    const char* v = std::getenv(name);
    return v && v[0] && v[0] != '0';
}
}  // namespace

bool fast_paths = !env_flag("ZEL_NO_FAST_PATHS");

using memory::buf;
using stack::FRAME_INTERPRETER;

namespace {

char* native_stack_floor = nullptr;   // below this address the guard raises stack-overflow

[[gnu::noinline, gnu::cold]] void raise_native_overflow() { error::raise(error::ERR_INTERNAL_STACK_OVERFLOW); }

// The native stack guard, inline: taken once per call (every native recursion through Zel
// code passes a call) and per paren (parens nest without one), not per block.
// The stack pointer is read directly: taking a local's address would force a stack slot, and
// the frame address would force a frame pointer into every caller.
[[gnu::always_inline]] inline void guard_native_stack() {
#if defined(__x86_64__)
    char* sp;
    asm("mov %%rsp, %0" : "=r"(sp));
#else
    char here;
    char* volatile sp = &here;
#endif
    if (sp < native_stack_floor) raise_native_overflow();
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
        case TYPE_NATIVE: natives::table[callable_slot(fn)](false, refs); break;
        case TYPE_ACTION: actions::dispatchers[callable_slot(fn)](refs); break;
        case TYPE_ROUTINE: {
            routines::RoutineFn code = routines::code(fn);
            if (!code) error::raise(error::ERR_INTERNAL_NOT_DONE);
            code(stack::base);
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
                    eval_block(&body, true);
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
    int32_t arg_no = 0;
    bool first = true;
    for (uint32_t i = 0; i < count; i++) {
        Cell e = *code_at(cache, i);
        switch (type_of(&e)) {
            case TYPE_TYPESET: {
                uint32_t kind = arg_kind(&e);
                if (kind == callable::ARG_RETURN) break;
                int32_t this_arg = arg_no++;
                if (!active) {
                    if (is_function) stack::push_none();
                    break;
                }
                if (infix && first) {
                    first = false;
                    if (!typeset_bits::has(&e, type_of(stack::base)))
                        raise_arg_type(fn, name, this_arg, type_of(stack::base));
                    break;
                }
                first = false;
                pos = fetch_argument<G>(kind, site, pos, infix, fn, name, this_arg, &e);
                if (stack::unwinding()) return pos;
                const Cell* v = stack::top - 1;
                if (!typeset_bits::has(&e, type_of(v))) raise_arg_type(fn, name, this_arg, type_of(v));
                break;
            }
            case TYPE_REFINEMENT:
                arg_no++;
                if (is_function) {
                    Cell* c = stack::push();
                    set_logic(c, false);
                }
                active = false;
                break;
            case TYPE_INTEGER:
                if (is_function) push_locals(int_value(&e));
                break;
            default:
                break;
        }
    }

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
            int32_t k = 0;
            int32_t ref_arg_no = spec_position(cache, uint32_t(at));
            for (uint32_t q = uint32_t(at) + 1; q < buf(cache)->cell_count(); q++) {
                Cell e = *code_at(cache, q);
                if (type_of(&e) != TYPE_TYPESET) break;
                uint32_t kind = arg_kind(&e);
                if (kind == callable::ARG_RETURN) continue;
                k++;
                int32_t this_arg = ref_arg_no + k;
                pos = fetch_argument<G>(kind, site, pos, false, fn, name, this_arg, &e);
                if (stack::unwinding()) return pos;
                Cell* v = stack::top - 1;
                if (!typeset_bits::has(&e, type_of(v))) raise_arg_type(fn, name, this_arg, type_of(v));
                if (is_function) {
                    Cell* dst = stack::base + slot + k;
                    if (truth) *dst = *v; else set_none(dst);
                    stack::top--;
                }
            }
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
    if (pos + 1 >= end) error::raise(error::ERR_SCRIPT_NEED_VALUE, &c);
    stack::open_frame(word_symbol(&c), word_context(&c), stack::FRAME_NATIVE, FRAME_INTERPRETER);
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
    Cell saved_position = error::current_position;
    bool user_code = error::is_user_code(node);
    while (pos < end) {
        stack::top = start;
        if (user_code) error::set_position(paren->header, pos, node, series_extra(paren));
        pos = eval_expr<G>(node, pos, end, false);
        if (stack::unwinding()) return;
        uint32_t len = buf(node)->cell_count();
        if (len < end) end = len;
    }
    error::current_position = saved_position;
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
        Cell* r = actions::eval_path(cur, elem, (mode == PATH_SET && last) ? &set_value : nullptr, step);
        *grand = *cur;
        *cur = *r;
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

// The expressions of a block from pos, by one route (see eval_expr).
template <bool G>
[[gnu::always_inline]] inline void run_block(const Cell& block, uint32_t node, uint32_t pos, uint32_t end, bool pass) {
    Cell saved_position = error::current_position;
    bool user_code = error::is_user_code(node);   // library code never becomes error `near`
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
            if (user_code) error::set_position(block.header, pos, node, series_extra(&block));
            pos = eval_top_expr<G>(node, pos, end);
            if (stack::unwinding()) break;
            if (G && tracer::active) tracer::send(tracer::EV_EXPR, &block, int32_t(pos), stack::top - 1, nullptr);
            uint32_t len = buf(node)->cell_count();
            if (len < end) end = len;
        }
    }
    error::current_position = saved_position;
    if (G && tracer::active && !stack::unwinding())
        tracer::send(tracer::EV_EXIT, &block, int32_t(memory::buf(node)->cell_count()), stack::top - 1, nullptr);
    Cell* result = stack::base;
    stack::base = caller_base;
    if (pass) {
        *caller_base = *result;
        stack::top = caller_base + 1;
    } else {
        stack::top = result + 1;
    }
}

[[gnu::noinline]] void run_block_general(const Cell& block, uint32_t node, uint32_t pos, uint32_t end, bool pass) {
    run_block<true>(block, node, pos, end, pass);
}

}  // namespace

void eval_block(const Cell* block_in, bool pass) {
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
    run_block<false>(block, node, pos, end, pass);
}

uint32_t eval_next(const Cell* block_in, uint32_t index, bool keep) {
    Cell block = *block_in;
    uint32_t node = series_node(&block);
    uint32_t end = buf(node)->cell_count();
    if (index >= end) {
        if (keep) stack::push_unset();
        else { set_unset(stack::base); stack::top = stack::base + 1; }
        return index;
    }
    stack::open_frame(sym(SYM_BODY), 0, stack::FRAME_NATIVE, FRAME_INTERPRETER);
    Cell saved_position = error::current_position;
    if (error::is_user_code(node)) {
        error::current_position = block;
        set_series_head(&error::current_position, int32_t(index));
    }
    index = general_route() ? eval_expr<true>(node, index, end, false) : eval_expr<false>(node, index, end, false);
    error::current_position = saved_position;
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
    collector::RootGuard keep(&fn);
    Cell* slot = stack::push_copy(&fn);
    uint32_t t = type_of(&fn);
    if (t == TYPE_FUNCTION) stack::open_call_frame(name_symbol, 0, callable_ctx(&fn), 0);
    else stack::open_frame(name_symbol, 0, stack::FRAME_NATIVE, 0);
    // Arguments are pushed directly; refinements and locals as unused.
    uint32_t cache = callable::args_cache(&fn);
    int32_t given = 0;
    bool active = true;
    int32_t refs[64];
    for (int i = 0; i < 64; i++) refs[i] = -1;
    for (uint32_t i = 0; i < buf(cache)->cell_count(); i++) {
        Cell e = *code_at(cache, i);
        if (type_of(&e) == TYPE_TYPESET) {
            if (arg_kind(&e) == callable::ARG_RETURN) continue;
            if (active && given < argc) stack::push_copy(&args[given++]);
            else if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) stack::push_none();
            else if (active) stack::push_none();
        } else if (type_of(&e) == TYPE_REFINEMENT) {
            active = false;
            if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) set_logic(stack::push(), false);
        } else if (type_of(&e) == TYPE_INTEGER && (t == TYPE_FUNCTION || t == TYPE_ROUTINE)) {
            push_locals(int_value(&e));
        }
    }
    run_gathered(&fn, refs);
    stack::close_frame_keep();
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
    int32_t k = 0;
    for (uint32_t q = at + 1; q < buf(a.cache)->cell_count(); q++) {
        Cell e = *code_at(a.cache, q);
        if (type_of(&e) != TYPE_TYPESET) break;
        if (arg_kind(&e) == callable::ARG_RETURN) continue;
        k++;
        if (!truth && a.safer) {
            if (a.pos < a.end()) a.pos++;
            continue;
        }
        if (a.pos >= a.end()) stack::push_none();
        else {
            a.pos = apply_value(a.node, a.pos, a.end(), a.safer);
            if (stack::unwinding()) return;
        }
        if (truth && !typeset_bits::has(&e, type_of(stack::top - 1))) raise_arg_type(a.fn, a.name, arg_no + k, type_of(stack::top - 1));
        if (a.is_function) {
            Cell* dst = stack::base + slot + k;
            if (truth) *dst = *(stack::top - 1); else set_none(dst);
            stack::top--;
        } else if (!truth) {
            stack::top--;
        }
    }
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
    int32_t arg_no = 0;
    for (uint32_t i = 0; i < buf(a.cache)->cell_count(); i++) {
        Cell e = *code_at(a.cache, i);
        if (type_of(&e) == TYPE_TYPESET) {
            if (arg_kind(&e) == callable::ARG_RETURN) continue;
            int32_t this_arg = arg_no++;
            if (active) {
                if (a.pos >= a.end()) stack::push_none();
                else {
                    a.pos = apply_value(a.node, a.pos, a.end(), safer);
                    if (stack::unwinding()) return;
                }
                if (!typeset_bits::has(&e, type_of(stack::top - 1))) raise_arg_type(fn, name, this_arg, type_of(stack::top - 1));
            } else {
                if (all_mode && a.pos < a.end()) {
                    if (safer) a.pos++;
                    else {
                        a.pos = apply_value(a.node, a.pos, a.end(), false);
                        if (stack::unwinding()) return;
                        stack::top--;
                    }
                }
                if (a.is_function) stack::push_none();
            }
        } else if (type_of(&e) == TYPE_REFINEMENT) {
            arg_no++;
            bool truth = false;
            if (all_mode && a.pos < a.end()) {
                a.pos = apply_value(a.node, a.pos, a.end(), safer);
                if (stack::unwinding()) return;
                truth = !is_falsy(stack::top - 1);
                stack::top--;
            }
            bool path_truth = false;
            if (all_mode && named_in_path(word_symbol(&e), &path_truth)) truth = truth || path_truth;
            if (a.is_function) set_logic(stack::push(), truth);
            else refs[cache_ref_ordinal(&e) - 1] = truth ? int32_t(stack::top - stack::base) : -1;
            active = all_mode && truth;
        } else if (type_of(&e) == TYPE_INTEGER && a.is_function) {
            push_locals(int_value(&e));
        }
    }
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
    stack::close_frame_keep();
    *slot = *(slot + 1);
    stack::top = slot + 1;
}

}  // namespace zel::interp
