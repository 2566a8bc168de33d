// The datatype table, generated from core/types.def: each type's name, parent, data-word
// layout and typesets, with the compile-time checks that keep the list closed and sound.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::types {

// What a data word holds (see core/types.def for each kind).
enum class Word : uint8_t {
    NOTHING,
    CELLS,
    CELLS_OPT,
    BYTES,
    BYTES_OPT,
    TABLE,
    TABLE_OPT,
    BINDING,
    CONTEXT_VALUES,
    OP_SOURCE_WORD,
    IMAGE_PIXELS,
};

struct Layout {
    Word d[3];
    constexpr bool holds_nodes() const {
        return d[0] != Word::NOTHING || d[1] != Word::NOTHING || d[2] != Word::NOTHING;
    }
};

// The library typesets, by position in types.def.
enum TypesetIndex : uint32_t {
#define ZEL_TYPESET(cname, name) TYPESET_##cname,
#include "core/types.def"
#undef ZEL_TYPESET
    TYPESET_COUNT
};
static_assert(TYPESET_COUNT <= 32, "a type's typesets are a 32-bit mask");

namespace typeset_bit {
enum : uint32_t {
#define ZEL_TYPESET(cname, name) cname = 1u << TYPESET_##cname,
#include "core/types.def"
#undef ZEL_TYPESET
};
}  // namespace typeset_bit

inline constexpr const char* typeset_names[TYPESET_COUNT] = {
#define ZEL_TYPESET(cname, name) name,
#include "core/types.def"
#undef ZEL_TYPESET
};

// The parent column's "no parent".
constexpr uint32_t TYPE_ROOT = 0;

struct TypeInfo {
    uint32_t id = 0;           // 0: no type has this id
    const char* name = nullptr;  // nullptr for an internal type
    uint32_t parent = 0;
    Layout layout{};
    const char* unit = nullptr;  // the registering unit, as named in types.def
    uint32_t typesets = 0;       // typeset_bit mask
};

namespace detail {
struct Table {
    TypeInfo t[TYPE_TABLE_SIZE];
};
constexpr Table make_table() {
    using enum Word;
    using namespace typeset_bit;
    Table table{};
#define ZEL_LAYOUT(a, b, c) Layout{{a, b, c}}
#define ZEL_TYPE(id, name, cname, parent, layout, unit, sets) \
    table.t[id] = TypeInfo{id, name, TYPE_##parent, ZEL_LAYOUT layout, #unit, sets};
#define ZEL_INTERNAL_TYPE(id, cname, layout) table.t[id] = TypeInfo{id, nullptr, 0, ZEL_LAYOUT layout, nullptr, 0};
#include "core/types.def"
#undef ZEL_TYPE
#undef ZEL_INTERNAL_TYPE
#undef ZEL_LAYOUT
    return table;
}
}  // namespace detail

inline constexpr detail::Table table = detail::make_table();

constexpr const TypeInfo& info(uint32_t t) { return table.t[t < TYPE_TABLE_SIZE ? t : 0]; }
constexpr const Layout& layout(uint32_t t) { return info(t).layout; }
constexpr bool in_typeset(uint32_t typeset_index, uint32_t t) {
    return (info(t).typesets >> typeset_index) & 1u;
}

// ---- the list is closed and sound ----
namespace detail {
constexpr int count_of(uint32_t id) {
    int n = 0;
#define ZEL_TYPE(tid, name, cname, parent, layout, unit, sets) n += tid == id;
#define ZEL_INTERNAL_TYPE(tid, cname, layout) n += tid == id;
#include "core/types.def"
#undef ZEL_TYPE
#undef ZEL_INTERNAL_TYPE
    return n;
}
// Every language type id from 1 to TYPE_MAX has exactly one entry (and so a layout), and
// every internal type's id is above TYPE_MAX; no id is listed twice.
constexpr bool ids_are_dense() {
    for (uint32_t t = 1; t < TYPE_TABLE_SIZE; t++) {
        if (count_of(t) > 1) return false;
        if (t <= TYPE_MAX && (count_of(t) != 1 || !table.t[t].name)) return false;
        if (t > TYPE_MAX && table.t[t].name) return false;
    }
    return true;
}
// Each parent is a named type, and following parents ends at the root (no cycle).
constexpr bool parents_are_sound() {
    for (uint32_t t = 1; t <= TYPE_MAX; t++) {
        uint32_t p = table.t[t].parent;
        for (uint32_t steps = 0; p; steps++) {
            if (p > TYPE_MAX || !table.t[p].name || steps > TYPE_MAX) return false;
            p = table.t[p].parent;
        }
    }
    return true;
}
// The special word kinds stand only where their header bits are defined.
constexpr bool special_kinds_in_place() {
    for (uint32_t t = 1; t < TYPE_TABLE_SIZE; t++) {
        for (int i = 0; i < 3; i++) {
            Word w = table.t[t].layout.d[i];
            if (w == Word::CONTEXT_VALUES && t != TYPE_CONTEXT) return false;
            if (w == Word::OP_SOURCE_WORD && t != TYPE_OP) return false;
            if (w == Word::IMAGE_PIXELS && t != TYPE_IMAGE) return false;
            if (w == Word::BINDING && !(t >= TYPE_WORD && t <= TYPE_ISSUE)) return false;
        }
    }
    return true;
}
}  // namespace detail
static_assert(TYPE_MAX < 96, "a typeset! holds 96 type bits");
static_assert(detail::ids_are_dense(), "types.def: every type id from 1 to TYPE_MAX once, internal ids above");
static_assert(detail::parents_are_sound(), "types.def: a parent that is not a type, or a parent cycle");
static_assert(detail::special_kinds_in_place(), "types.def: a special word kind on a type it does not describe");
// An op marks its first word as its source does: only function! and routine! hold a node there.
static_assert(layout(TYPE_NATIVE).d[0] == Word::NOTHING && layout(TYPE_ACTION).d[0] == Word::NOTHING &&
              layout(TYPE_FUNCTION).d[0] == Word::CELLS && layout(TYPE_ROUTINE).d[0] == Word::CELLS);

}  // namespace zel::types
