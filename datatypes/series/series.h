// Helpers shared by every series datatype: positions and counts over a series buffer of any
// unit, /part counting, element reading and writing by the value's type, the /dup fill, the
// size argument of make, and the two hooks that other units will fill in (the owner
// notification and the random draw).
//
// Nothing here evaluates Zel code except notify_owner (an owner's on-deep-change*):
// after calling it, re-derive every buffer pointer from its node.
#pragma once
#include <cstdint>

#include "core/cell.h"
#include "core/memory.h"
#include "core/runtime_words.h"

namespace zel::series {

inline SeriesBuf* buffer_of(const Cell* s) { return memory::buf(series_node(s)); }

// Elements of the buffer, whatever the head index (`series/buffer-count`).
inline uint32_t buffer_count(const Cell* s) { return buffer_of(s)->length(); }

// Elements from the head index (from the buffer start with from_start) to the tail. A
// negative head counts as 0; a head past the tail is set back to the buffer length in the
// cell itself and the count is 0 (`series/count-to-tail`).
int32_t count_to_tail(Cell* s, bool from_start = false);

// The head index clipped to 0 .. buffer length.
inline uint32_t clipped_head(const Cell* s) {
    int32_t h = series_head(s);
    uint32_t len = buffer_count(s);
    return h < 0 ? 0 : (uint32_t(h) > len ? len : uint32_t(h));
}

// True when the head index is at or past the tail (`series/tail-reached?`).
inline bool is_tail_reached(const Cell* s) { return series_head(s) >= int32_t(buffer_count(s)); }

// Adds n to the head index only when the new position is still at or before the tail.
// Returns whether the requested position is at or past the tail (`series/move-head-index`).
bool move_head_index(Cell* s, int32_t n);

// Raises script/invalid-refine-arg naming the refinement (/part, /skip ...) and the value.
[[noreturn]] void raise_invalid_refine(SymId refinement, const Cell* value);

// The element count a /part argument gives relative to the series' head: an integer! is the
// count; a series of the same type over the same buffer counts from the series' head to its
// head (negative when before). Anything else raises invalid-refine-arg with /part.
int32_t part_count(const Cell* s, const Cell* part);

// Writes element index (a buffer index) of the series as a value: the cell itself for the
// any-blocks and map!, an integer! byte for binary!, a number of the element type for
// vector!, a char! for the text series.
void element_value(Cell* out, const Cell* s, uint32_t index);

// Stores value at element index of the series by the series' type (the store rules of
// poke); raises invalid-arg when the value cannot be an element of that series.
void store_element(const Cell* s, uint32_t index, const Cell* value);

// Repeats the first unit_bytes at addr until count copies fill the area, doubling the
// filled stretch at each step. Returns the end address (`series/repeat-fill`).
uint8_t* repeat_fill(uint8_t* addr, uint32_t unit_bytes, uint32_t count);

// The series! handlers of copy and take, which the any-block handlers build on.
// `series/copy`: a shallow copy of the elements from the head (or of the /part range, which
// may also be a pair! x×y) into out, same type, head 0. Returns out.
void copy(Cell* out, Cell* value, Cell* part, bool deep, Cell* types);
// `series/take`: cuts one element (or the /part amount) from the head, from the tail with
// last, or before the head for a negative /part, into a new series of the same type pushed
// on the value stack; none (pushed) for an empty series. Returns the pushed cell.
void take(Cell* out, Cell* s, Cell* part, bool deep, bool last);
// take with a step that completes the result (prepare, may be null) after the elements were
// copied into it and before they are removed from s: when it raises, s is left unchanged.
Cell* take_with(Cell* s, Cell* part, bool last, void (*prepare)(Cell* taken));

// ---- owner notification ----
// The action words handed to an owner's on-deep-change*: each modifying action notifies
// before the change with its word and after it with the word's past form.
enum class Change {
    CLEAR, CLEARED, REMOVE, REMOVED, RANDOM, RANDOMIZED, REVERSE, REVERSED, TAKE, TAKEN,
    MOVE, MOVED, POKE, POKED, INSERT, INSERTED, APPEND, APPENDED, CHANGE, CHANGED,
    PUT, PUT_ED, SORT, SORTED, SWAP, SWAPED, TRIM, TRIMMED,
};
const char* change_word(Change c);

// The one place where series actions tell the owner of a series that it changes: value is
// the series, new_value the value being stored (nullptr: none), index the position and part
// the number of elements concerned. Returns at once for a series that has no owner;
// otherwise the owner's on-deep-change* runs, so it may evaluate Zel code: it may clear, grow
// or collect any series. After a notification sent before a change, plan the change again
// from the series as they are now (heads, lengths, source counts); an unwinding handler
// leaves as an exception, so nothing after it runs.
void notify_owner(const Cell* value, Change action, const Cell* new_value, int32_t index, int32_t part);

// The owner of a series (reflect ... 'owned): writes the owner object, or none.
void owner_of(Cell* out, const Cell* value);
// modify ... 'owned: a none drops the ownership of the series (and of the series inside
// it); an object and a word make that object the owner, recorded under that field.
void set_owner(const Cell* value, const Cell* owner, const Cell* field_word);

// ---- random draws ----
// A draw in 1 .. n (n >= 1), the one place the series actions ask the random generator.
// n stays below 2^31 (a series length).
uint32_t random_draw(uint32_t n, bool secure);
// Seeds the generator (random/seed of a series).
void random_seed(uint32_t seed);

}  // namespace zel::series

namespace zel::make {

// The size argument of make for block!, string!, bitset!, vector!, map! and hash!: an
// integer! gives its value; a float! is truncated toward zero, and a NaN or a float outside
// the 32-bit integer range raises script/out-of-range with the spec (`make/spec-to-size`).
int32_t spec_to_size(const Cell* spec);

}  // namespace zel::make
