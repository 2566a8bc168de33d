// The 16-byte value cell that every Zel value lives in.
//
//   word 0  header   bits 0-7 the type id (types.def), bit 30 the new-line flag, and the
//                    type's own bits: every header bit any type uses is listed once in the
//                    header-bit map below
//   words 1-3        three 32-bit data words; a double occupies words 2-3
//
// A cell never holds a raw address: series and contexts are referenced by 32-bit node ids
// (0 = none), natives by their slot number, actions by their number. Copying a value copies
// its 16 bytes.
//
// Code reads and writes the data words only through the named accessors of each type: the
// core types' accessors are below (series, words, contexts, objects and errors, callables,
// symbols, datatype, logic, integer, char, float); every other datatype keeps its own in its
// header under datatypes/ (pair::x_of, tuple::bytes, date::word_of, image::width_of ...).
// data_word / set_data_word walk the words by index, for the few places that treat every
// type alike (hashing, the codec's raw payloads). The layouts:
//   datatype!   word 1 type id                logic!     word 1 0/1
//   integer!    word 2 int32                  char!      word 2 code point
//   float!, percent!, time!  words 2-3 double
//   any series  word 1 head index, word 2 node, word 3 type-specific (hash! and map! table,
//               vector! element type, image! size, text: node of the encoded-copy scratch)
//   any word    word 1 context node, word 2 symbol id, word 3 slot index (-1 unbound)
//   object!, error!  word 1 context node, word 2 class id, word 3 on-change info node
//   context!    word 1 word-list hash table node, word 2 values node (or value-stack index
//               + 1 when HEADER_CTX_ON_STACK says the values live on the stack)
//   native!, action!  word 1 slot/number, word 2 spec node, word 3 auxiliary series node
//   op!         as its source; the source type in the header (HEADER_OP_SOURCE_SHIFT)
//   function!, routine!  word 1 context node, word 2 spec node, word 3 auxiliary series node
//   symbol!     word 1 alias, word 2 cached string node, word 3 spelling node
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zel {

// The highest id of a language type, and of any type (internal ones included), in types.def.
constexpr uint32_t highest_type_id(bool internal) {
    uint32_t m = 0;
#define ZEL_TYPE(id, name, cname, ...) m = id > m ? id : m;
#define ZEL_INTERNAL_TYPE(id, cname, ...) m = internal && id > m ? id : m;
#include "core/types.def"
#undef ZEL_TYPE
#undef ZEL_INTERNAL_TYPE
    return m;
}

enum TypeId : uint32_t {
    TYPE_NONE_ID = 0,
#define ZEL_TYPE(id, name, cname, ...) TYPE_##cname = id,
#define ZEL_INTERNAL_TYPE(id, cname, ...) TYPE_##cname = id,
#include "core/types.def"
#undef ZEL_TYPE
#undef ZEL_INTERNAL_TYPE
    TYPE_MAX = highest_type_id(false),
};
constexpr int TYPE_TABLE_SIZE = int(highest_type_id(true)) + 1;

// An action number with its own type, so that a registration can check the handler's shape
// against the action's signature (actions::put); it converts to the plain number anywhere else.
template <int N>
struct ActionTag {
    static constexpr int number = N;
    constexpr operator int() const { return N; }
};
#define ZEL_ACTION(n, word, cname, signature, refinements) inline constexpr ActionTag<n> ACT_##cname{};
#include "core/actions.def"
#undef ZEL_ACTION
constexpr int ACTION_COUNT = 62;

// ---- the header-bit map ----
// Every bit of a cell's header word that any type uses, in bit order. Bits 8-29 mean
// something only for the types named; two types may give the same bit different meanings.
// (The call-stack frame records of core/stack.h and the Zelbin records are not cells and
// keep their own bits.)
constexpr uint32_t HEADER_TYPE_MASK = 0xFF;                 // bits 0-7: the type id (all)
constexpr uint32_t HEADER_FN_NO_TRACE = 1u << 9;            // function!: [no-trace] attribute
constexpr uint32_t HEADER_FN_TRACE = 1u << 10;              // function!: [trace] attribute
constexpr uint32_t HEADER_CTX_KIND_SHIFT = 11;              // context!: bits 11-12 the kind
constexpr uint32_t HEADER_CTX_KIND_MASK = 3u << HEADER_CTX_KIND_SHIFT;  // (0 global, 1 function, 2 object)
constexpr uint32_t HEADER_WORD_CHANGED = 1u << 13;          // word-list entry word!: slot written
constexpr uint32_t HEADER_MONEY_SIGN = 1u << 14;            // money!: negative amount
constexpr uint32_t HEADER_ROUTINE_CELLS = 1u << 15;         // routine!: arguments passed as cells
constexpr uint32_t HEADER_CTX_OWNER = 1u << 16;             // context!: the object owns its series
constexpr uint32_t HEADER_OP_SOURCE_SHIFT = 16;             // op!: bits 16-23 the source type
constexpr uint32_t HEADER_OP_SOURCE_MASK = 0xFFu << HEADER_OP_SOURCE_SHIFT;
constexpr uint32_t HEADER_TUPLE_COUNT_SHIFT = 19;           // tuple!: bits 19-22 the byte count
constexpr uint32_t HEADER_TUPLE_COUNT_MASK = 0xFu << HEADER_TUPLE_COUNT_SHIFT;
constexpr uint32_t HEADER_ARG_KIND_SHIFT = 20;              // arguments-cache typeset!: bits 20-21
constexpr uint32_t HEADER_ARG_KIND_MASK = 3u << HEADER_ARG_KIND_SHIFT;  // the argument kind
// Arguments-cache refinement!: word 1 holds a stack slot, not a context (the collector must
// not follow it).
constexpr uint32_t HEADER_CACHE_REFINEMENT = 1u << 20;
constexpr uint32_t HEADER_CTX_ON_STACK = 1u << 22;          // context!: values on the value stack
constexpr uint32_t HEADER_CTX_OBJECT = 1u << 24;            // context!: an object's context
constexpr uint32_t HEADER_ROUTINE_ARITY_SHIFT = 25;         // routine!: bits 25-29 the arity
constexpr uint32_t HEADER_NEW_LINE = 1u << 30;              // all: the value starts a line when molded

struct Cell {
    uint32_t header;
    uint32_t d1, d2, d3;
};
static_assert(sizeof(Cell) == 16, "a cell is 16 bytes");
static_assert(offsetof(Cell, d1) == 4 && offsetof(Cell, d2) == 8 && offsetof(Cell, d3) == 12);

// ---- data words by index (i = 0, 1, 2 for words 1-3) ----
// For code that treats every type's payload alike; everything else uses the named accessors.
// The 12 payload bytes (words 1-3) in memory order.
inline uint8_t* payload_bytes(Cell* c) { return reinterpret_cast<uint8_t*>(c) + offsetof(Cell, d1); }
inline const uint8_t* payload_bytes(const Cell* c) { return reinterpret_cast<const uint8_t*>(c) + offsetof(Cell, d1); }
inline uint32_t data_word(const Cell* c, int i) {
    uint32_t v;
    std::memcpy(&v, payload_bytes(c) + 4 * i, 4);
    return v;
}
inline void set_data_word(Cell* c, int i, uint32_t v) { std::memcpy(payload_bytes(c) + 4 * i, &v, 4); }
inline void clear_payload(Cell* c) { c->d1 = c->d2 = c->d3 = 0; }

// ---- generic access ----
inline uint32_t type_of(const Cell* c) { return c->header & HEADER_TYPE_MASK; }
inline bool is_type(const Cell* c, uint32_t t) { return type_of(c) == t; }
inline void copy_cell(Cell* dst, const Cell* src) { *dst = *src; }
inline void set_header(Cell* c, uint32_t t) { c->header = t; }
// Replaces the type byte, keeping the other header bits.
inline void retype(Cell* c, uint32_t t) { c->header = (c->header & ~HEADER_TYPE_MASK) | t; }
inline bool has_new_line(const Cell* c) { return (c->header & HEADER_NEW_LINE) != 0; }
inline void set_new_line(Cell* c, bool on) {
    if (on) c->header |= HEADER_NEW_LINE; else c->header &= ~HEADER_NEW_LINE;
}

// ---- simple values ----
inline void set_unset(Cell* c) { c->header = TYPE_UNSET; c->d1 = c->d2 = c->d3 = 0; }
inline void set_none(Cell* c) { c->header = TYPE_NONE; c->d1 = c->d2 = c->d3 = 0; }
inline void set_logic(Cell* c, bool v) { c->header = TYPE_LOGIC; c->d1 = v ? 1 : 0; c->d2 = c->d3 = 0; }
inline bool logic_value(const Cell* c) { return c->d1 != 0; }
inline uint32_t logic_word(const Cell* c) { return c->d1; }
inline void set_datatype(Cell* c, uint32_t t) { c->header = TYPE_DATATYPE; c->d1 = t; c->d2 = c->d3 = 0; }
inline uint32_t datatype_value(const Cell* c) { return c->d1; }
inline void set_datatype_value(Cell* c, uint32_t t) { c->d1 = t; }

inline void set_integer(Cell* c, int32_t v) { c->header = TYPE_INTEGER; c->d1 = 0; c->d2 = (uint32_t)v; c->d3 = 0; }
inline int32_t int_value(const Cell* c) { return (int32_t)c->d2; }
// Changes the number only (the header and the other words are kept).
inline void set_int_value(Cell* c, int32_t v) { c->d2 = (uint32_t)v; }

inline void set_char(Cell* c, uint32_t cp) { c->header = TYPE_CHAR; c->d1 = 0; c->d2 = cp; c->d3 = 0; }
inline uint32_t char_value(const Cell* c) { return c->d2; }
inline void set_char_value(Cell* c, uint32_t cp) { c->d2 = cp; }

inline double float_value(const Cell* c) { double d; std::memcpy(&d, &c->d2, 8); return d; }
inline void set_float_bits(Cell* c, uint32_t t, double v) { c->header = t; c->d1 = 0; std::memcpy(&c->d2, &v, 8); }
inline void set_float(Cell* c, double v) { set_float_bits(c, TYPE_FLOAT, v); }
// Changes the double only (the header and word 1 are kept).
inline void set_float_value(Cell* c, double v) { std::memcpy(&c->d2, &v, 8); }

// pair! (also the core's own small records: the tracer's stack range, an object's on-change
// info): x in word 2, y in word 3, word 1 0. datatypes/scalar/pair.h builds on these.
inline void set_pair(Cell* c, int32_t x, int32_t y) { c->header = TYPE_PAIR; c->d1 = 0; c->d2 = (uint32_t)x; c->d3 = (uint32_t)y; }
inline int32_t pair_x(const Cell* c) { return (int32_t)c->d2; }
inline int32_t pair_y(const Cell* c) { return (int32_t)c->d3; }
inline void set_pair_x(Cell* c, int32_t x) { c->d2 = (uint32_t)x; }
inline void set_pair_y(Cell* c, int32_t y) { c->d3 = (uint32_t)y; }

// Falsy values are none! and false; everything else (unset! included) is truthy.
inline bool is_falsy(const Cell* c) {
    uint32_t t = type_of(c);
    return t == TYPE_NONE || (t == TYPE_LOGIC && c->d1 == 0);
}

// ---- series ----
inline int32_t series_head(const Cell* c) { return (int32_t)c->d1; }
inline uint32_t series_node(const Cell* c) { return c->d2; }
inline void set_series(Cell* c, uint32_t t, uint32_t node, int32_t head = 0, uint32_t extra = 0) {
    c->header = t; c->d1 = (uint32_t)head; c->d2 = node; c->d3 = extra;
}
inline void set_series_head(Cell* c, int32_t head) { c->d1 = (uint32_t)head; }
inline void set_series_node(Cell* c, uint32_t node) { c->d2 = node; }
// Word 3: the type's own (hash! and map! table, vector! element type, image! size, text
// scratch node); each of those types names it in its own header.
inline uint32_t series_extra(const Cell* c) { return c->d3; }
inline void set_series_extra(Cell* c, uint32_t v) { c->d3 = v; }

// ---- words ----
inline uint32_t word_context(const Cell* c) { return c->d1; }
inline uint32_t word_symbol(const Cell* c) { return c->d2; }
inline int32_t word_index(const Cell* c) { return (int32_t)c->d3; }
inline void set_word(Cell* c, uint32_t t, uint32_t ctx, uint32_t sym, int32_t index) {
    c->header = t; c->d1 = ctx; c->d2 = sym; c->d3 = (uint32_t)index;
}
inline void set_word_context(Cell* c, uint32_t ctx) { c->d1 = ctx; }
inline void set_word_symbol(Cell* c, uint32_t sym) { c->d2 = sym; }
inline void set_word_index(Cell* c, int32_t index) { c->d3 = (uint32_t)index; }
inline void set_word_binding(Cell* c, uint32_t ctx, int32_t index) { c->d1 = ctx; c->d3 = (uint32_t)index; }
inline bool word_changed(const Cell* c) { return (c->header & HEADER_WORD_CHANGED) != 0; }
inline void set_word_changed(Cell* c, bool on) {
    if (on) c->header |= HEADER_WORD_CHANGED; else c->header &= ~HEADER_WORD_CHANGED;
}

// ---- contexts (the context! record cell, cell 0 of a context node) ----
inline uint32_t ctx_table(const Cell* c) { return c->d1; }
inline void set_ctx_table(Cell* c, uint32_t table) { c->d1 = table; }
// The values node, or with HEADER_CTX_ON_STACK the value-stack index + 1 (0: not running).
inline uint32_t ctx_values(const Cell* c) { return c->d2; }
inline void set_ctx_values(Cell* c, uint32_t v) { c->d2 = v; }
// Word 3: 0 in the record itself; the context's own node in the copy a native's or action's
// auxiliary series keeps (so that the record stays reachable).
inline uint32_t ctx_self(const Cell* c) { return c->d3; }
inline void set_ctx_self(Cell* c, uint32_t ctx) { c->d3 = ctx; }
inline uint32_t ctx_kind(const Cell* c) { return (c->header & HEADER_CTX_KIND_MASK) >> HEADER_CTX_KIND_SHIFT; }
inline bool ctx_on_stack(const Cell* c) { return (c->header & HEADER_CTX_ON_STACK) != 0; }
inline bool ctx_owner_flag(const Cell* c) { return (c->header & HEADER_CTX_OWNER) != 0; }
inline void set_ctx_owner_flag(Cell* c) { c->header |= HEADER_CTX_OWNER; }

// ---- objects and errors ----
inline uint32_t object_ctx(const Cell* c) { return c->d1; }
inline void set_object_ctx(Cell* c, uint32_t ctx) { c->d1 = ctx; }
inline int32_t object_class(const Cell* c) { return (int32_t)c->d2; }
inline void set_object_class(Cell* c, int32_t id) { c->d2 = (uint32_t)id; }
inline uint32_t object_change_info(const Cell* c) { return c->d3; }
inline void set_object_change_info(Cell* c, uint32_t node) { c->d3 = node; }
inline void set_object(Cell* c, uint32_t t, uint32_t ctx, int32_t class_id, uint32_t info = 0) {
    c->header = t; c->d1 = ctx; c->d2 = (uint32_t)class_id; c->d3 = info;
}

// The context of a value that carries one in word 1: object!, error!, port!, function!,
// routine!, and an op! made from a function.
inline uint32_t value_context(const Cell* c) { return c->d1; }

// ---- callables: native!, action!, function!, routine! (and op!, which copies its source) ----
// Word 1: the natives-table slot (native!), the action number (action!) or the context node
// (function!, routine!).
inline uint32_t callable_slot(const Cell* c) { return c->d1; }
inline uint32_t callable_ctx(const Cell* c) { return c->d1; }
inline void set_callable_slot(Cell* c, uint32_t v) { c->d1 = v; }
inline void set_callable_ctx(Cell* c, uint32_t ctx) { c->d1 = ctx; }
inline uint32_t callable_spec(const Cell* c) { return c->d2; }
inline void set_callable_spec(Cell* c, uint32_t node) { c->d2 = node; }
inline uint32_t callable_aux(const Cell* c) { return c->d3; }
inline void set_callable_aux(Cell* c, uint32_t node) { c->d3 = node; }
inline void set_callable(Cell* c, uint32_t header, uint32_t first, uint32_t spec, uint32_t aux) {
    c->header = header; c->d1 = first; c->d2 = spec; c->d3 = aux;
}
// op!: the type of the callable it was made from.
inline uint32_t op_source_type(const Cell* c) { return (c->header & HEADER_OP_SOURCE_MASK) >> HEADER_OP_SOURCE_SHIFT; }
// The type a callable behaves as: an op!'s source type, else its own.
inline uint32_t callable_kind(const Cell* c) {
    uint32_t t = c->header & HEADER_TYPE_MASK;
    return t == TYPE_OP ? op_source_type(c) : t;
}
// Arguments-cache entries: a typeset! per argument with its kind in the header, a
// refinement! per refinement with its stack slot (functions) in word 1 and its ordinal in
// word 3; the cache's own block cell keeps the call summary in word 3.
inline uint32_t arg_kind(const Cell* c) { return (c->header & HEADER_ARG_KIND_MASK) >> HEADER_ARG_KIND_SHIFT; }
inline uint32_t cache_ref_slot(const Cell* c) { return c->d1; }
inline int32_t cache_ref_ordinal(const Cell* c) { return (int32_t)c->d3; }
inline void set_cache_ref(Cell* c, uint32_t slot, int32_t ordinal) { c->d1 = slot; c->d3 = (uint32_t)ordinal; }
inline uint32_t cache_call_info(const Cell* c) { return c->d3; }
inline void set_cache_call_info(Cell* c, uint32_t info) { c->d3 = info; }

// ---- symbols (the entries of the symbol table) ----
inline int32_t symbol_alias(const Cell* c) { return (int32_t)c->d1; }
inline void set_symbol_alias(Cell* c, int32_t alias) { c->d1 = (uint32_t)alias; }
inline uint32_t symbol_string(const Cell* c) { return c->d2; }
inline void set_symbol_string(Cell* c, uint32_t node) { c->d2 = node; }
inline uint32_t symbol_spelling(const Cell* c) { return c->d3; }
inline void set_symbol_spelling(Cell* c, uint32_t node) { c->d3 = node; }

// ---- type groups ----
inline bool is_any_word_type(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; }
inline bool is_any_path_type(uint32_t t) { return t >= TYPE_PATH && t <= TYPE_GET_PATH; }
inline bool is_any_block_type(uint32_t t) {
    return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH || is_any_path_type(t);
}
inline bool is_text_type(uint32_t t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL ||
           t == TYPE_REF;
}
inline bool is_series_type(uint32_t t) {
    return is_any_block_type(t) || is_text_type(t) || t == TYPE_BINARY || t == TYPE_VECTOR ||
           t == TYPE_IMAGE;
}
inline bool is_callable_type(uint32_t t) {
    return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}
inline bool is_any_function_type(uint32_t t) { return is_callable_type(t) || t == TYPE_OP; }
inline bool is_number_type(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }

}  // namespace zel
