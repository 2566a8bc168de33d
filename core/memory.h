// Memory manager: nodes and series buffers.
//
// Every series (block, string, context, hash table...) lives in a series buffer reached
// through a node. A node is a 32-bit id that indexes the node table; the table entry holds
// the buffer's current address. Cells hold node ids, so a buffer may move (when it grows, or
// when the collector compacts the frames) without any cell changing.
//
// Invariants:
// - Buffers are carved from series frames (1 MB, then 2 MB) by bump allocation; a buffer whose
//   footprint reaches 2 MB gets an OS block of its own and never moves.
// - Nothing frees a buffer on request: the collector reclaims what no root reaches.
// - Allocation never collects. When the allocation budget is spent it asks for a collection,
//   which runs at the next safe point (collector.h). So a SeriesBuf* or Cell* into a buffer
//   stays valid until that buffer grows or a safe point is passed.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/cell.h"

namespace zel {

// Series buffer header, followed by the data area (16-byte aligned).
struct SeriesBuf {
    uint32_t flags;  // unit size in bits 0-4, plus the F_* flags below
    uint32_t node;   // the node pointing here (0 once abandoned by a grow)
    uint32_t size;   // size of the data area in bytes, a multiple of 16
    uint32_t tail;   // bytes in use, from the data start

    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
    Cell* cells() { return reinterpret_cast<Cell*>(data()); }
    uint32_t unit() const { return flags & 0x1F; }
    uint32_t unit_shift() const { return (uint32_t)__builtin_ctz(flags & 0x1F); }
    uint32_t length() const { return tail >> unit_shift(); }       // elements in use
    // Elements in use of a series known to hold cells (blocks, parens, paths, code): no unit
    // size to derive, which matters on the interpreter's bounds checks.
    uint32_t cell_count() const { return tail >> 4; }
    uint32_t capacity() const { return size >> unit_shift(); }     // elements that fit
    uint8_t* tail_ptr() { return data() + tail; }
    Cell* cell_tail() { return reinterpret_cast<Cell*>(data() + tail); }
};
static_assert(sizeof(SeriesBuf) == 16, "series header keeps the data 16-byte aligned");

enum SeriesFlags : uint32_t {
    F_UNIT_MASK = 0x1F,
    F_BITSET_COMPLEMENT = 1u << 19,  // bitset!: the set is complemented
    F_OWNED = 1u << 17,              // recorded in the owners table
    F_EXTERNAL = 1u << 20,           // allocated outside the frames: never moved or freed
    F_LIBRARY_CODE = 1u << 21,       // made while the library source loaded: not traced
    F_BIG = 1u << 24,                // in an OS block of its own
    F_NO_CODE = 1u << 25,            // a block the interpreter found not worth compiling
    F_MARK = 1u << 27,               // collector mark
    F_IN_USE = 1u << 31,             // cleared when a grow abandons the buffer
};

namespace memory {

// The node table: entry n holds the buffer of node n. Free entries hold a tagged link.
extern SeriesBuf** node_table;

inline SeriesBuf* buf(uint32_t node) { return node_table[node]; }

void init();

// A new series of count elements of unit bytes (rounded up to 16 bytes, 16 at least).
uint32_t new_series(size_t count, uint32_t unit);
uint32_t new_cell_series(size_t n);

// Grows the node's buffer to at least new_size data bytes (0: double), keeping the
// contents. Returns the new buffer.
SeriesBuf* grow(uint32_t node, size_t new_size);
// Makes room for extra more bytes after the tail, growing by doubling (or to the need when
// larger). Returns the (possibly moved) buffer.
SeriesBuf* ensure_room(uint32_t node, size_t extra);
// A new series holding a copy of the data (flags copied without the owned bit).
uint32_t duplicate_series(uint32_t node);
// A new series of count units copied from the given unit position.
uint32_t copy_range(uint32_t node, uint32_t first_unit, uint32_t count);

// Appends one cell (reads as unset!) at the tail and returns it.
Cell* append_cell(uint32_t node);

// Accounting.
size_t total_reserved();         // bytes currently held from the OS
size_t bytes_in_use();           // footprint of the buffers carved so far (approximate)
uint32_t nodes_in_use();

// Set when the allocation budget since the last collection is spent.
extern bool collection_wanted;

// Set while the library source loads: every block made then carries F_LIBRARY_CODE, so that
// the tracer and error `near` never show library code.
extern bool library_loading;

[[noreturn]] void raise_no_memory();

}  // namespace memory
}  // namespace zel
