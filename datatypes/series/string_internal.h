// Shared by the units of string!'s action handlers (string.cpp, string_search.cpp,
// string_sort.cpp, string_trim.cpp): text runs, the text a value contributes to append,
// insert and change, the owner notification, and the handlers registered by string.cpp.
#pragma once
#include <cstdint>

#include "core/actions.h"
#include "core/cell.h"
#include "core/runtime_words.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"

namespace zel::string {

// string!, file!, url!, email! and ref!: the text types whose whole text is their content
// (a tag! brings its brackets when it is appended).
inline bool is_plain_text(uint32_t t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_EMAIL || t == TYPE_REF;
}

[[noreturn]] inline void invalid_refine(SymId word, const Cell* value) { series::raise_invalid_refine(word, value); }

// Tells the owner of an owned series about a change (nothing for a series without owner; a
// text series or binary! is never a hash! whose index would follow). The owner's handler may
// run Zel code: afterwards every buffer pointer, length and position must be read again, and
// a break, return or throw on its way up leaves as an exception.
void tell_owner_of(const Cell* s, series::Change c, const Cell* value, int32_t index, int32_t part);
inline void tell_owner(const Cell* s, series::Change c, const Cell* value = nullptr, int32_t index = -1,
                       int32_t part = -1) {
    if (memory::buf(series_node(s))->flags & F_OWNED) tell_owner_of(s, c, value, index, part);
}

// A value's text viewed as a run of code points of a buffer.
struct Run {
    uint32_t node;
    uint32_t from;
    uint32_t count;
};

Run run_of_string(const Cell* str);
// A word's name as a run over the symbol's spelling string (read only).
Run run_of_word(const Cell* w);
// A word's name or a string's text.
Run text_run(const Cell* v);

// The text a value contributes to append, insert and change, at most part code points
// (-1: all): a text series' own run, a tag! with its brackets, a char!, the formed values of a
// block, or any other value formed. A new buffer is made except for the plain text types.
Run text_of(const Cell* value, int64_t part);

// The handlers the other units define, registered by string.cpp.
void string_find(Cell* out, const actions::FindArgs& a);
void string_select(Cell* out, const actions::FindArgs& a);
void string_sort(Cell* out, Cell* series, bool case_sensitive, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse, bool stable);
void string_trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);

}  // namespace zel::string

namespace zel::datatypes {

// Registers a text type of parent string! (tag!, email!, ref!): string!'s series actions,
// its own form, mold and eval-path where given (nullptr: string!'s), no paths at all unless
// paths is set, and none of random, sort, trim or put.
void register_text_type(uint32_t id, actions::FormFn form, actions::MoldFn mold,
                        actions::EvalPathFn eval_path, bool paths);

}  // namespace zel::datatypes
