// Function, native, action, op and routine values (see callable.h).
#include "core/callable.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "core/actions.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/native_table.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/typeset_bits.h"
#include "core/word.h"
#include "core/block.h"
#include "core/block_ops.h"
#include "core/cycle_stack.h"
#include "core/text.h"

namespace zel::callable {

using memory::buf;

namespace {

[[noreturn]] void bad_spec(const Cell* spec) { error::raise(error::ERR_SCRIPT_BAD_FUNC_DEF, spec); }

bool is_arg_word(uint32_t t) { return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD; }

// Every element of a type block must be (or name) a datatype!, typeset! or word!.
void check_type_block(const Cell* block) {
    uint32_t node = series_node(block);
    for (uint32_t i = uint32_t(series_head(block)); i < buf(node)->length(); i++) {
        Cell el = buf(node)->cells()[i];
        const Cell* v = &el;
        if (type_of(&el) == TYPE_WORD) {
            v = word::value_or_null(&el);
            if (!v || type_of(v) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NO_VALUE, &el);
        }
        uint32_t t = type_of(v);
        if (t != TYPE_DATATYPE && t != TYPE_TYPESET && t != TYPE_WORD)
            error::raise(error::ERR_SCRIPT_INVALID_TYPE_SPEC, &el);
    }
}

// The typeset of a type block (every datatype but unset! when the block is empty).
void typeset_of_block(Cell* ts, const Cell* block) {
    ts->header = TYPE_TYPESET;
    typeset_bits::clear(ts);
    uint32_t node = series_node(block);
    bool any = false;
    for (uint32_t i = uint32_t(series_head(block)); i < buf(node)->length(); i++) {
        Cell el = buf(node)->cells()[i];
        const Cell* v = &el;
        if (type_of(&el) == TYPE_WORD) {
            v = word::value_or_null(&el);
            if (!v) continue;
        }
        if (type_of(v) == TYPE_DATATYPE) { typeset_bits::add(ts, datatype_value(v)); any = true; }
        else if (type_of(v) == TYPE_TYPESET) { typeset_bits::unite(ts, v); any = true; }
    }
    if (!any) typeset_bits::set_all_but_unset(ts);
}

uint32_t aux_node(const Cell* fn) { return callable_aux(fn); }

}  // namespace

uint32_t check_spec(const Cell* spec) {
    uint32_t node = series_node(spec);
    uint32_t n = buf(node)->length();
    uint32_t i = uint32_t(series_head(spec) < 0 ? 0 : series_head(spec));
    uint32_t flags = 0;
    auto at = [&](uint32_t k) { return &buf(node)->cells()[k]; };
    if (i < n && type_of(at(i)) == TYPE_BLOCK) {
        Cell attrs = *at(i);
        uint32_t an = series_node(&attrs);
        for (uint32_t k = uint32_t(series_head(&attrs)); k < buf(an)->length(); k++) {
            const Cell* a = &buf(an)->cells()[k];
            if (type_of(a) != TYPE_WORD) bad_spec(spec);
            if (symbol::same_canonical(word_symbol(a), sym(SYM_TRACE))) flags |= ATTR_TRACE;
            else if (symbol::same_canonical(word_symbol(a), sym(SYM_NO_TRACE))) flags |= ATTR_NO_TRACE;
        }
        i++;
    }
    bool after_local = false, after_return = false;
    for (; i < n; i++) {
        Cell c = *at(i);
        uint32_t t = type_of(&c);
        if (t == TYPE_STRING) continue;
        if (is_arg_word(t)) {
            if (after_local && t != TYPE_WORD) bad_spec(spec);
            if (after_return && !after_local) bad_spec(spec);
            if (i + 2 < n && type_of(at(i + 1)) == TYPE_STRING && type_of(at(i + 2)) == TYPE_BLOCK) bad_spec(spec);
            if (i + 1 < n && type_of(at(i + 1)) == TYPE_BLOCK) {
                Cell tb = *at(i + 1);
                check_type_block(&tb);
                i++;
            }
            continue;
        }
        if (t == TYPE_SET_WORD) {
            if (!symbol::same_canonical(word_symbol(&c), sym(SYM_RETURN)) || after_return || after_local)
                bad_spec(spec);
            if (i + 1 >= n || type_of(at(i + 1)) != TYPE_BLOCK) bad_spec(spec);
            if (i + 2 < n) {
                uint32_t nt = type_of(at(i + 2));
                if (nt != TYPE_REFINEMENT && nt != TYPE_STRING) bad_spec(spec);
            }
            Cell tb = *at(i + 1);
            check_type_block(&tb);
            after_return = true;
            i++;
            continue;
        }
        if (t == TYPE_REFINEMENT) {
            bool is_local = symbol::same_canonical(word_symbol(&c), sym(SYM_LOCAL));
            if (is_local) after_local = true;
            else if (after_local || after_return) bad_spec(spec);
            if (i + 1 < n) {
                uint32_t nt = type_of(at(i + 1));
                if (!is_arg_word(nt) && nt != TYPE_REFINEMENT && nt != TYPE_SET_WORD && nt != TYPE_STRING)
                    bad_spec(spec);
            }
            continue;
        }
        bad_spec(spec);
    }
    // No two arguments, refinements or locals may share a name.
    uint32_t first = uint32_t(series_head(spec) < 0 ? 0 : series_head(spec));
    for (uint32_t a = first; a < n; a++) {
        uint32_t ta = type_of(at(a));
        if (!is_arg_word(ta) && ta != TYPE_REFINEMENT) continue;
        for (uint32_t b = first; b < a; b++) {
            uint32_t tb = type_of(at(b));
            if (!is_arg_word(tb) && tb != TYPE_REFINEMENT) continue;
            if (symbol::same_canonical(word_symbol(at(a)), word_symbol(at(b)))) {
                Cell dup = *at(a);
                error::raise(error::ERR_SCRIPT_DUP_VARS, &dup);
            }
        }
    }
    return flags;
}

void make_function(Cell* out, const Cell* spec_in, const Cell* body_in, uint32_t flags, uint32_t object_ctx) {
    Cell spec = *spec_in;
    Cell body;
    if (body_in) body = *body_in; else set_none(&body);
    collector::RootGuard g1(&spec), g2(&body);
    if (series_head(&spec) > 0) {
        set_series(&spec, TYPE_BLOCK, block::copy_node(&spec));
    }
    uint32_t aux = memory::new_cell_series(5);
    Cell auxc;
    set_series(&auxc, TYPE_BLOCK, aux);
    collector::RootGuard g3(&auxc);
    for (int k = 0; k < 5; k++) set_unset(memory::append_cell(aux));
    uint32_t ctx = context::from_block(&spec, true, false, context::KIND_FUNCTION);
    Cell fn;
    set_callable(&fn, TYPE_FUNCTION | flags, ctx, series_node(&spec), aux);
    *context::owner(ctx) = fn;
    Cell* a = buf(aux)->cells();
    if (type_of(&body) == TYPE_BLOCK) {
        Cell copy;
        block_ops::copy_deep(&copy, &body);
        a = buf(aux)->cells();
        a[AUX_BODY] = copy;
        context::bind_block(series_node(&copy), 0, ctx, false);
    } else {
        set_none(&a[AUX_BODY]);
    }
    a = buf(aux)->cells();
    set_none(&a[AUX_CACHE]);
    if (object_ctx) set_integer(&a[AUX_OBJECT], int32_t(object_ctx));
    *out = fn;
}

int32_t count_locals(uint32_t spec_node) {
    SeriesBuf* b = buf(spec_node);
    int32_t count = 0;
    bool in_locals = false;
    for (uint32_t i = 0; i < b->length(); i++) {
        const Cell* c = &b->cells()[i];
        if (type_of(c) == TYPE_REFINEMENT && symbol::same_canonical(word_symbol(c), sym(SYM_LOCAL))) {
            in_locals = true;
            count = 1;
        } else if (in_locals) {
            if (type_of(c) == TYPE_WORD) count++;
            else if (type_of(c) == TYPE_SET_WORD) break;
        }
    }
    return count;
}

uint32_t build_args_cache(const Cell* fn) {
    uint32_t aux = aux_node(fn);
    uint32_t t = type_of(fn);
    bool is_function = (t == TYPE_FUNCTION || t == TYPE_ROUTINE);
    uint32_t spec = callable_spec(fn);
    uint32_t cache = memory::new_cell_series(8);
    Cell cache_cell;
    set_series(&cache_cell, TYPE_BLOCK, cache);
    collector::RootGuard keep(&cache_cell);
    uint32_t n = buf(spec)->length();
    int32_t ordinal = 0;
    int32_t slot_index = 0;   // stack slot of the next argument (functions)
    bool in_locals = false;
    for (uint32_t i = 0; i < n; i++) {
        Cell c = buf(spec)->cells()[i];
        uint32_t ct = type_of(&c);
        if (in_locals) continue;
        if (is_arg_word(ct)) {
            Cell ts;
            if (i + 1 < n && type_of(&buf(spec)->cells()[i + 1]) == TYPE_BLOCK) {
                Cell tb = buf(spec)->cells()[i + 1];
                typeset_of_block(&ts, &tb);
            } else {
                ts.header = TYPE_TYPESET;
                typeset_bits::set_all_but_unset(&ts);
            }
            if (t == TYPE_NATIVE && natives::checks_own_argument(int32_t(callable_slot(fn)), slot_index)) {
                ts.header = TYPE_TYPESET;
                typeset_bits::set_all_but_unset(&ts);
                typeset_bits::add(&ts, TYPE_UNSET);
            }
            uint32_t kind = ct == TYPE_GET_WORD ? ARG_GET : ct == TYPE_LIT_WORD ? ARG_LIT : ARG_NORMAL;
            ts.header = TYPE_TYPESET | (kind << ARG_KIND_SHIFT);
            memory::append_cell(cache);
            buf(cache)->cells()[buf(cache)->length() - 1] = ts;
            slot_index++;
        } else if (ct == TYPE_SET_WORD) {
            if (!symbol::same_canonical(word_symbol(&c), sym(SYM_RETURN))) error::raise(error::ERR_SCRIPT_BAD_FUNC_DEF, &c);
            Cell ts;
            ts.header = TYPE_TYPESET | (ARG_RETURN << ARG_KIND_SHIFT);
            typeset_bits::set_all_but_unset(&ts);
            ts.header = TYPE_TYPESET | (ARG_RETURN << ARG_KIND_SHIFT);
            Cell* dst = memory::append_cell(cache);
            *dst = ts;
        } else if (ct == TYPE_REFINEMENT) {
            if (symbol::same_canonical(word_symbol(&c), sym(SYM_LOCAL))) {
                in_locals = true;
                continue;
            }
            Cell r;
            r.header = TYPE_REFINEMENT | CACHE_REFINEMENT;
            set_word_symbol(&r, word_symbol(&c));
            set_cache_ref(&r, uint32_t(slot_index), ++ordinal);
            Cell* dst = memory::append_cell(cache);
            *dst = r;
            slot_index++;
        }
    }
    // A function's frame must cover exactly the context made from its spec when it was made.
    // The spec block stays reachable (reflect, or the block func was given), so it may have
    // changed since: a call with another layout would read cells past its arguments.
    if (is_function && uint32_t(slot_index + count_locals(spec)) != context::word_count(callable_ctx(fn))) {
        Cell bad;
        set_series(&bad, TYPE_BLOCK, spec);
        error::raise(error::ERR_SCRIPT_BAD_FUNC_DEF, &bad);
    }
    // The last cell: the local count (functions) or the refinement count (natives).
    Cell tail;
    set_integer(&tail, is_function ? count_locals(spec) : ordinal);
    Cell* dst = memory::append_cell(cache);
    *dst = tail;
    // The summary for the interpreter's common call (call_info): the plain arguments that
    // lead the cache; return: entries after them take no argument and change nothing.
    uint32_t entries = buf(cache)->length() - 1;
    auto kind_at = [&](uint32_t k) {
        const Cell* c = &buf(cache)->cells()[k];
        return type_of(c) == TYPE_TYPESET ? arg_kind(c) : 0xFFu;
    };
    uint32_t lead = 0;
    while (lead < entries && kind_at(lead) == ARG_NORMAL) lead++;
    uint32_t rest = lead;
    while (rest < entries && kind_at(rest) == ARG_RETURN) rest++;
    bool simple = rest == entries;
    bool refinement_next = rest < entries && type_of(&buf(cache)->cells()[rest]) == TYPE_REFINEMENT;
    bool untyped = true;
    for (uint32_t k = 0; k < lead; k++) {
        const Cell* c = &buf(cache)->cells()[k];
        for (uint32_t t = 1; t <= TYPE_MAX && untyped; t++)
            if (t != TYPE_UNSET && !typeset_bits::has(c, t)) untyped = false;
    }
    int32_t count = int_value(&tail);   // locals (functions) or refinements (natives)
    uint32_t flags = simple ? CALL_SIMPLE : (!is_function && refinement_next && count <= 64) ? CALL_PLAIN_HEAD : 0;
    if (flags && lead <= 0xFF && count >= 0 && count <= 0xFFFF)
        set_cache_call_info(&cache_cell, flags | (untyped ? CALL_UNTYPED : 0) | (lead << 8) | (uint32_t(count) << 16));
    buf(aux)->cells()[AUX_CACHE] = cache_cell;
    return cache;
}

void argument_word(Cell* out, const Cell* fn, int32_t n) {
    set_none(out);
    if (!is_any_function_type(type_of(fn)) || !callable_spec(fn)) return;
    SeriesBuf* spec = buf(callable_spec(fn));
    int32_t k = 0;
    for (uint32_t i = 0; i < spec->length(); i++) {
        const Cell* c = &spec->cells()[i];
        uint32_t t = type_of(c);
        if (is_arg_word(t) || t == TYPE_REFINEMENT) {
            if (k == n) {
                *out = *c;   // as the spec writes it: 'word, :word and /ref keep their type
                set_new_line(out, false);
                return;
            }
            k++;
        }
    }
}

void collect_body_locals(Cell* spec, const Cell* body) {
    // Known words (canonical symbols): the spec's words (and those after /extern, which leave
    // the spec), then every local found.
    std::unordered_set<uint32_t> known;
    std::vector<uint32_t> locals;
    uint32_t node = series_node(spec);
    uint32_t n = buf(node)->length();
    int32_t extern_at = -1;
    bool has_local = false;
    for (uint32_t i = 0; i < n && extern_at < 0; i++) {
        const Cell* c = &buf(node)->cells()[i];
        if (type_of(c) == TYPE_REFINEMENT && symbol::same_canonical(word_symbol(c), sym(SYM_EXTERN))) extern_at = int32_t(i);
    }
    // With /extern, every entry of the spec (before it too) must be of a kind a spec holds.
    for (uint32_t i = 0; i < n; i++) {
        const Cell* c = &buf(node)->cells()[i];
        uint32_t t = type_of(c);
        if (t == TYPE_REFINEMENT && symbol::same_canonical(word_symbol(c), sym(SYM_LOCAL))) has_local = true;
        if (extern_at >= 0 && !(is_arg_word(t) || t == TYPE_SET_WORD || t == TYPE_REFINEMENT ||
                                t == TYPE_BLOCK || t == TYPE_STRING)) {
            Cell bad = *c;
            error::raise(error::ERR_SCRIPT_BAD_FUNC_EXTERN, &bad);
        }
        if (is_arg_word(t) || t == TYPE_SET_WORD || t == TYPE_REFINEMENT) known.insert(symbol::canonical(word_symbol(c)));
    }
    if (extern_at >= 0) {
        // Words under a /local that follows /extern become locals; the spec is cut at /extern.
        bool in_local = false;
        for (uint32_t i = uint32_t(extern_at) + 1; i < n; i++) {
            const Cell* c = &buf(node)->cells()[i];
            if (type_of(c) == TYPE_REFINEMENT && symbol::same_canonical(word_symbol(c), sym(SYM_LOCAL))) in_local = true;
            else if (in_local && type_of(c) == TYPE_WORD) locals.push_back(word_symbol(c));
        }
        buf(node)->tail = uint32_t(extern_at) * sizeof(Cell);
        has_local = false;
        for (uint32_t i = 0; i < uint32_t(extern_at); i++) {
            const Cell* c = &buf(node)->cells()[i];
            if (type_of(c) == TYPE_REFINEMENT && symbol::same_canonical(word_symbol(c), sym(SYM_LOCAL))) has_local = true;
        }
    }
    auto add = [&](uint32_t s) {
        if (known.insert(symbol::canonical(s)).second) locals.push_back(s);
    };
    // Walk the body in order, each nested block or paren where it stands (so the locals keep
    // the order in which the body names them), each buffer once. Nesting deeper than a deep
    // copy of the body allows raises too-deep at once, as func raises it.
    struct Position {
        uint32_t node, index;
    };
    std::vector<Position> path{{series_node(body), uint32_t(std::max(series_head(body), 0))}};
    std::unordered_set<uint32_t> seen{series_node(body)};
    while (!path.empty()) {
        Position& at = path.back();
        uint32_t bn = at.node;
        uint32_t len = buf(bn)->length();
        if (at.index >= len) {
            path.pop_back();
            continue;
        }
        uint32_t i = at.index++;
        const Cell* c = &buf(bn)->cells()[i];
        uint32_t t = type_of(c);
        if (t == TYPE_SET_WORD) {
            add(word_symbol(c));
        } else if (t == TYPE_WORD && i + 1 < len) {
            uint32_t ws = word_symbol(c);
            bool fe = symbol::same_canonical(ws, sym(SYM_FOREACH)) || symbol::same_canonical(ws, sym(SYM_REMOVE_EACH));
            bool rp = symbol::same_canonical(ws, sym(SYM_REPEAT));
            const Cell* next = c + 1;
            if (fe && type_of(next) == TYPE_BLOCK) {
                uint32_t wn = series_node(next);
                for (uint32_t k = uint32_t(std::max(series_head(next), 0)); k < buf(wn)->length(); k++) {
                    const Cell* w = &buf(wn)->cells()[k];
                    if (is_arg_word(type_of(w))) add(word_symbol(w));
                }
            } else if ((fe || rp) && (type_of(next) == TYPE_WORD || type_of(next) == TYPE_SET_WORD)) {
                add(word_symbol(next));
            }
        } else if ((t == TYPE_BLOCK || t == TYPE_PAREN) && seen.insert(series_node(c)).second) {
            if (path.size() + 1 >= cycle::MAX_DEPTH) error::raise(error::ERR_INTERNAL_TOO_DEEP);
            path.push_back({series_node(c), uint32_t(std::max(series_head(c), 0))});
        }
    }
    // The word `local` itself never becomes a local.
    std::vector<uint32_t> kept;
    for (uint32_t s : locals)
        if (!symbol::same_canonical(s, sym(SYM_LOCAL))) kept.push_back(s);
    if (kept.empty()) return;
    if (!has_local) {
        Cell r;
        word::make_global(&r, TYPE_REFINEMENT, sym(SYM_LOCAL));
        block::append(node, &r);
    }
    for (uint32_t s : kept) {
        Cell w;
        word::make_global(&w, TYPE_WORD, s);
        block::append(node, &w);
    }
}

namespace {
// Native and action values (and routines) live for the whole run: their spec and auxiliary
// series are roots, so that a call need not keep the value alive itself.
std::vector<Cell> permanent_callables;

void mark_permanent() {
    for (const Cell& c : permanent_callables) collector::mark_cell(&c);
}
}  // namespace

void make_permanent(const Cell* callable) {
    if (permanent_callables.empty()) collector::add_root_marker(mark_permanent);
    permanent_callables.push_back(*callable);
}

namespace {
// The spec each native slot and action number was first made with (the library's own
// definition). The code behind a slot reads the arguments of that spec, so every native or
// action value of the slot gathers its arguments by it, whatever spec a later make gave.
std::vector<uint32_t> builtin_native_specs, builtin_action_specs;

uint32_t& builtin_spec(uint32_t type, int32_t slot) {
    std::vector<uint32_t>& table = type == TYPE_ACTION ? builtin_action_specs : builtin_native_specs;
    if (table.size() <= size_t(slot)) table.resize(size_t(slot) + 1, 0);
    return table[size_t(slot)];
}
}  // namespace

void make_native(Cell* out, uint32_t type, const Cell* spec, int32_t slot) {
    Cell s = *spec;
    collector::RootGuard g(&s);
    uint32_t aux = memory::new_cell_series(2);
    Cell auxc;
    set_series(&auxc, TYPE_BLOCK, aux);
    collector::RootGuard g2(&auxc);
    uint32_t ctx = context::from_block(&s, true, false, context::KIND_FUNCTION);
    // A copy of the context! cell; its word 3 keeps the context record itself reachable.
    Cell* c0 = memory::append_cell(aux);
    *c0 = *context::record(ctx);
    set_ctx_self(c0, ctx);
    set_none(memory::append_cell(aux));
    set_callable(out, type, uint32_t(slot), series_node(&s), aux);
    *context::owner(ctx) = *out;
    make_permanent(out);
    // The arguments cache is built now, from the slot's own spec: neither a later change of
    // the spec block nor a made value with another spec can make the code read cells that
    // were never pushed.
    uint32_t& own = builtin_spec(type, slot);
    if (!own) own = series_node(&s);
    Cell layout = *out;
    set_callable_spec(&layout, own);
    build_args_cache(&layout);
}

namespace {
// Whether a spec describes exactly two arguments, with no lit-word or get-word before the
// first plain word (an op's left operand is evaluated before the op is seen).
bool valid_op_spec(uint32_t spec_node) {
    SeriesBuf* spec = buf(spec_node);
    int count = 0;
    bool seen_word = false;
    for (uint32_t i = 0; i < spec->length(); i++) {
        const Cell* c = &spec->cells()[i];
        uint32_t ct = type_of(c);
        if (ct == TYPE_WORD) {
            count++;
            seen_word = true;
        } else if (ct == TYPE_LIT_WORD || ct == TYPE_GET_WORD) {
            if (!seen_word) return false;
            count++;
        } else if (ct == TYPE_SET_WORD) {
            break;
        } else if (ct == TYPE_REFINEMENT) {
            if (!symbol::same_canonical(word_symbol(c), sym(SYM_LOCAL)) &&
                !symbol::same_canonical(word_symbol(c), sym(SYM_EXTERN)))
                return false;
            break;
        }
    }
    return count == 2;
}
}  // namespace

void make_op(Cell* out, const Cell* source) {
    uint32_t t = type_of(source);
    if (!is_callable_type(t)) {
        Cell dt;
        set_datatype(&dt, t);
        error::raise(error::ERR_SCRIPT_INVALID_TYPE, &dt);
    }
    // A native or action runs by its slot's own spec, which must take two operands as well.
    bool valid = valid_op_spec(callable_spec(source));
    if (valid && (t == TYPE_NATIVE || t == TYPE_ACTION)) {
        uint32_t own = builtin_spec(t, int32_t(callable_slot(source)));
        valid = !own || valid_op_spec(own);
    }
    if (!valid) error::raise(error::ERR_SCRIPT_BAD_OP_SPEC);
    *out = *source;
    out->header = TYPE_OP | (t << OP_SOURCE_SHIFT);
    if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) buf(callable_aux(source))->cells()[AUX_OP_COPY] = *source;
}

}  // namespace zel::callable
