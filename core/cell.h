// The 16-byte value cell that every Zel value lives in.
//
//   word 0  header   bits 0-7   type id (types.def)
//                    bit 30     new-line flag: the value starts a line when its block is molded
//                    other bits belong to the datatype (see the per-type notes below)
//   word 1  d1   three 32-bit data words;
//   word 2  d2   a double occupies d2-d3
//   word 3  d3
//
// A cell never holds a raw address: series and contexts are referenced by 32-bit node ids
// (0 = none), natives by their slot number, actions by their number. Copying a value copies
// its 16 bytes.
//
// Layouts by datatype (data words):
//   datatype!   d1 type id                    logic!     d1 0/1
//   integer!    d2 int32                      char!      d2 code point
//   float!, percent!  d2-d3 double
//   any series  d1 head index, d2 node, d3 type-specific (hash! table, vector! element type,
//               text: node of the encoded-copy scratch buffer)
//   any word    d1 context node, d2 symbol id, d3 slot index (-1 unbound)
//   object!, error!  d1 context node, d2 class id, d3 on-change info node
//   context!    d1 word-list hash table node, d2 values node (or value-stack index + 1 when
//               header bit 22 says the values live on the stack)
//   native!, action!  d1 slot/number, d2 spec node, d3 auxiliary series node
//   op!         as its source; header bits 16-23 hold the source type
//   function!, routine!  d1 context node, d2 spec node, d3 auxiliary series node
//   symbol!     d1 alias, d2 cached string node, d3 spelling node
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zel {

enum TypeId : uint32_t {
    TYPE_NONE_ID = 0,
#define ZEL_TYPE(id, name, cname, ...) TYPE_##cname = id,
#define ZEL_INTERNAL_TYPE(id, cname, ...) TYPE_##cname = id,
#include "core/types.def"
#undef ZEL_TYPE
#undef ZEL_INTERNAL_TYPE
    TYPE_MAX = 54,   // the highest language type id (core/types.h checks it against types.def)
};
constexpr int TYPE_TABLE_SIZE = 57;

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

constexpr uint32_t HEADER_TYPE_MASK = 0xFF;
constexpr uint32_t HEADER_NEW_LINE = 0x40000000u;

struct Cell {
    uint32_t header;
    uint32_t d1, d2, d3;
};
static_assert(sizeof(Cell) == 16, "a cell is 16 bytes");
static_assert(offsetof(Cell, d1) == 4 && offsetof(Cell, d2) == 8 && offsetof(Cell, d3) == 12);

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
inline void set_datatype(Cell* c, uint32_t t) { c->header = TYPE_DATATYPE; c->d1 = t; c->d2 = c->d3 = 0; }
inline uint32_t datatype_value(const Cell* c) { return c->d1; }

inline void set_integer(Cell* c, int32_t v) { c->header = TYPE_INTEGER; c->d1 = 0; c->d2 = (uint32_t)v; c->d3 = 0; }
inline int32_t int_value(const Cell* c) { return (int32_t)c->d2; }

inline void set_char(Cell* c, uint32_t cp) { c->header = TYPE_CHAR; c->d1 = 0; c->d2 = cp; c->d3 = 0; }
inline uint32_t char_value(const Cell* c) { return c->d2; }

inline double float_value(const Cell* c) { double d; std::memcpy(&d, &c->d2, 8); return d; }
inline void set_float_bits(Cell* c, uint32_t t, double v) { c->header = t; c->d1 = 0; std::memcpy(&c->d2, &v, 8); }
inline void set_float(Cell* c, double v) { set_float_bits(c, TYPE_FLOAT, v); }

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

// ---- words ----
inline uint32_t word_context(const Cell* c) { return c->d1; }
inline uint32_t word_symbol(const Cell* c) { return c->d2; }
inline int32_t word_index(const Cell* c) { return (int32_t)c->d3; }
inline void set_word(Cell* c, uint32_t t, uint32_t ctx, uint32_t sym, int32_t index) {
    c->header = t; c->d1 = ctx; c->d2 = sym; c->d3 = (uint32_t)index;
}

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
