// Function, native, action, op and routine values.
//
// Cells (accessors callable_* in core/cell.h):
// native!/action!: word 1 the natives-table slot or action number, word 2 the spec node,
// word 3 a two-cell auxiliary series (cell 0 a context made from the spec, cell 1 the
// arguments cache).
// function!: word 1 the function context, word 2 the spec node, word 3 a five-cell auxiliary
// series (0 the body bound to the context, 1 the arguments cache, 2 unset (no machine code
// here), 3 a copy of the function once an op! was made from it, 4 integer! the object context
// of a function defined inside an object, or unset). Header bit 9: no-trace; bit 10: trace.
// op!: a copy of its source with type 23 and the source type in header bits 16-23.
//
// The arguments cache, built at the first call: one typeset! per argument (header bits 20-21:
// 0 evaluated, 1 get-word, 2 lit-word, 3 the return: entry), a refinement! per refinement but
// /local (word 1 its slot for functions, word 3 its ordinal from 1), then an integer!: the
// local cell count of a function (from /local) or the refinement count of a native or action.
#pragma once
#include <cstdint>

#include "core/cell.h"
#include "core/memory.h"

namespace zel::callable {

// The header bits are those of the map in core/cell.h.
constexpr uint32_t ATTR_NO_TRACE = HEADER_FN_NO_TRACE;
constexpr uint32_t ATTR_TRACE = HEADER_FN_TRACE;
constexpr uint32_t ARG_KIND_SHIFT = HEADER_ARG_KIND_SHIFT;
enum ArgKind : uint32_t { ARG_NORMAL = 0, ARG_GET = 1, ARG_LIT = 2, ARG_RETURN = 3 };
constexpr uint32_t OP_SOURCE_SHIFT = HEADER_OP_SOURCE_SHIFT;

// Header flag of the arguments cache's refinement! entries, whose word 1 holds a stack slot, not
// a context: the collector must not follow it.
constexpr uint32_t CACHE_REFINEMENT = HEADER_CACHE_REFINEMENT;

enum AuxCell { AUX_BODY = 0, AUX_CACHE = 1, AUX_CODE = 2, AUX_OP_COPY = 3, AUX_OBJECT = 4 };

// Validates a function spec; returns its attribute flags. Raises bad-func-def, dup-vars,
// invalid-type-spec, no-value.
uint32_t check_spec(const Cell* spec);
// Makes a function! (the body is deep-copied and bound to the new context).
void make_function(Cell* out, const Cell* spec, const Cell* body, uint32_t flags, uint32_t object_ctx = 0);
// Adds the set-words (and loop words) of body missing from spec as locals after /local.
void collect_body_locals(Cell* spec, const Cell* body);
// native! (type 21) or action! (22) from a spec block and a slot number.
void make_native(Cell* out, uint32_t type, const Cell* spec, int32_t slot);
// Keeps a native, action or routine value (its spec and auxiliary series) alive for the run.
void make_permanent(const Cell* callable);
// op! from a two-argument callable.
void make_op(Cell* out, const Cell* source);
// The number of local cells from /local (the refinement itself included), 0 when none.
int32_t count_locals(uint32_t spec_node);

// The arguments cache node of a callable (built on first use).
uint32_t build_args_cache(const Cell* fn);
inline uint32_t args_cache(const Cell* fn) {
    const Cell* slot = &memory::buf(callable_aux(fn))->cells()[AUX_CACHE];
    return type_of(slot) == TYPE_BLOCK ? series_node(slot) : build_args_cache(fn);
}

// A summary of the arguments cache kept in its cell's spare word (word 3), so that the common
// call needs no walk of the cache: CALL_SIMPLE when every entry is a plain evaluated
// argument (at most 255 of them) or a return: entry after them; CALL_PLAIN_HEAD for a
// native or action whose arguments before its first refinement are all plain (a call
// without a path then gathers just those, every refinement unused); CALL_UNTYPED when each
// of those arguments accepts every datatype but unset!; the count of those arguments in
// bits 8-15; in bits 16-31 the local cell count (functions) or the refinement count
// (natives and actions).
constexpr uint32_t CALL_SIMPLE = 1;
constexpr uint32_t CALL_UNTYPED = 2;
constexpr uint32_t CALL_PLAIN_HEAD = 4;
inline uint32_t call_arity(uint32_t info) { return (info >> 8) & 0xFF; }
inline int32_t call_locals(uint32_t info) { return int32_t(info >> 16); }
inline uint32_t call_info(const Cell* fn) {
    const Cell* slot = &memory::buf(callable_aux(fn))->cells()[AUX_CACHE];
    if (type_of(slot) != TYPE_BLOCK) {
        build_args_cache(fn);
        slot = &memory::buf(callable_aux(fn))->cells()[AUX_CACHE];
    }
    return cache_call_info(slot);
}
// ---- walking the arguments cache ----
// What a walk of the arguments cache meets: an argument (a typeset! entry, its kind in
// arg_kind), a refinement, or the closing count (the local cell count or refinement count).
enum class CacheEntry { ARGUMENT, REFINEMENT, COUNT };

// Walks the arguments cache node in spec order, leaving out return: entries. For each entry
// visit(kind, entry, n) gets a copy of the cell (the cache is re-read at every step, so visit
// may evaluate) and n, the entry's number in spec order with refinements counted (for the
// count, the number of arguments and refinements). visit returns false to stop the walk;
// the walk then returns false.
template <typename Visit>
[[gnu::always_inline]] inline bool walk_args_cache(uint32_t cache, Visit&& visit) {
    int32_t n = 0;
    for (uint32_t i = 0; i < memory::buf(cache)->cell_count(); i++) {
        Cell e = memory::buf(cache)->cells()[i];
        uint32_t t = type_of(&e);
        bool go = true;
        if (t == TYPE_TYPESET) {
            if (arg_kind(&e) == ARG_RETURN) continue;
            go = visit(CacheEntry::ARGUMENT, e, n++);
        } else if (t == TYPE_REFINEMENT) {
            go = visit(CacheEntry::REFINEMENT, e, n++);
        } else if (t == TYPE_INTEGER) {
            go = visit(CacheEntry::COUNT, e, n);
        }
        if (!go) return false;
    }
    return true;
}

// Walks the arguments of the refinement at cache index at (the typeset! entries after it,
// return: entries left out): visit(entry, k) with k from 1, as walk_args_cache does.
template <typename Visit>
[[gnu::always_inline]] inline bool walk_refinement_args(uint32_t cache, uint32_t at, Visit&& visit) {
    int32_t k = 0;
    for (uint32_t q = at + 1; q < memory::buf(cache)->cell_count(); q++) {
        Cell e = memory::buf(cache)->cells()[q];
        if (type_of(&e) != TYPE_TYPESET) break;
        if (arg_kind(&e) == ARG_RETURN) continue;
        if (!visit(e, ++k)) return false;
    }
    return true;
}

// The n-th argument word (0-based, spec order, refinements counted) of a callable, as its spec
// writes it (word!, lit-word!, get-word! or refinement!), or none.
void argument_word(Cell* out, const Cell* fn, int32_t n);


}  // namespace zel::callable
