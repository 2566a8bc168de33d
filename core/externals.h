// The externals table and the resource slots: two small tables through which values hold on
// to things the collector cannot see by itself.
//
// Externals table. Operating-system resources (image bitmaps, fonts, text layouts ...) that
// values refer to by record index. Every record has a kind, and every kind a release callback.
// A value that refers to a record marks it while the collector marks (mark_record, from the
// marker of the datatype or unit that holds the index); right after marking the collector
// calls sweep(), which releases every used record left unmarked and clears the marks of the
// others. Release callbacks run inside a collection: they free their resource and must not
// allocate series or evaluate Zel code.
//
//   record: flags (bits 0-7 kind, bit 31 mark; a free record holds exactly FREE_FLAGS),
//           resource pointer, next (index of the next record in its list; -1 ends a list)
//
// The records form two lists threaded through `next`: the used list (newest first) and the
// free list. The table starts with 1,000 records and doubles when the free list is about to
// run out; the kind table grows as kinds register.
//
// Resource slots. A block! of cells, kept as a collector root, in which native code parks Zel
// values (faces held by native windows) until it frees them. Slots are numbered from 1; a free
// slot holds an integer! with the 0-based index of the next free slot (-1: none). The block
// starts with 100 cells and doubles when full. A slot's address is valid only until the next
// store (the block's buffer may move when it grows or is compacted).
#pragma once
#include <cstdint>
#include <vector>

#include "core/cell.h"

namespace zel::externals {

using ReleaseFn = void (*)(void* resource);

constexpr uint32_t KIND_MASK = 0xFF;
constexpr uint32_t MARK = 0x80000000u;
constexpr uint32_t FREE_FLAGS = 0x40000000u;
constexpr int32_t END = -1;
constexpr uint32_t INITIAL_RECORDS = 1000;

struct Record {
    uint32_t flags;
    void* pointer;
    int32_t next;
};

// `externals/register-kind`: a new kind with its name and release callback (may be null);
// returns its number, counted from 1 in registration order. Kinds live for the process.
uint32_t register_kind(const char* name, ReleaseFn release);
// The name of a kind ("" for an unknown number).
const char* kind_name(uint32_t kind);

// One externals table. The runtime uses the one that table() returns; tests build their own.
class Table {
public:
    Table() { reset(); }

    // Empties the table: INITIAL_RECORDS free records in index order, both lists empty of
    // used records. Nothing is released.
    void reset();

    // `externals/add-record`: takes the free list's head for the pointer and kind and puts it
    // at the head of the used list; returns its index (0-based).
    int32_t add_record(void* pointer, uint32_t kind);
    // `externals/replace-pointer`: stores the new pointer; when it differs from the old one,
    // the old one is released through the record's kind. Ignores an index that is not in use.
    void replace_pointer(int32_t index, void* pointer);
    // `externals/free-record`: releases the pointer first when release is set, then unlinks
    // the record from the used list and puts it at the head of the free list. Ignores an index
    // that is not in use.
    void free_record(int32_t index, bool release);
    // `externals/mark-record`: sets the mark; a non-null pointer replaces the stored one.
    // True when the record was not marked before. Ignores an index that is not in use.
    bool mark_record(int32_t index, void* pointer = nullptr);
    // `externals/for-each-of-kind`: calls fn with the pointer of every used record of that
    // kind, in used-list order (newest first). fn must not add or free records.
    template <typename Fn>
    void for_each_of_kind(uint32_t kind, Fn&& fn) const {
        for (int32_t i = used_head_; i != END; i = records_[size_t(i)].next)
            if ((records_[size_t(i)].flags & KIND_MASK) == kind) fn(records_[size_t(i)].pointer);
    }
    // `externals/sweep`: every used record without the mark is released, unlinked and freed;
    // marked records lose their mark and stay.
    void sweep();

    // Inspection.
    uint32_t capacity() const { return uint32_t(records_.size()); }
    int32_t used_head() const { return used_head_; }
    int32_t free_head() const { return free_head_; }
    uint32_t used_count() const { return used_count_; }
    bool in_use(int32_t index) const;
    const Record& record(int32_t index) const { return records_[size_t(index)]; }
    void* pointer(int32_t index) const { return in_use(index) ? records_[size_t(index)].pointer : nullptr; }
    uint32_t kind(int32_t index) const { return in_use(index) ? records_[size_t(index)].flags & KIND_MASK : 0; }

private:
    void grow();
    void unlink_used(int32_t index);

    std::vector<Record> records_;
    int32_t used_head_ = END;
    int32_t free_head_ = END;
    uint32_t used_count_ = 0;
};

// The runtime's externals table.
Table& table();

// Start-up: empties the runtime's table (called before any datatype registers).
void init();

// The runtime's table, by the operations' own names.
inline int32_t add_record(void* pointer, uint32_t kind) { return table().add_record(pointer, kind); }
inline void replace_pointer(int32_t index, void* pointer) { table().replace_pointer(index, pointer); }
inline void free_record(int32_t index, bool release) { table().free_record(index, release); }
inline bool mark_record(int32_t index, void* pointer = nullptr) { return table().mark_record(index, pointer); }
// The collector's sweep of the runtime's table (called after marking; see collector.cpp).
inline void sweep() { table().sweep(); }

}  // namespace zel::externals

namespace zel::resource_slots {

constexpr uint32_t INITIAL_SLOTS = 100;

// One resource slots block. The runtime uses the one that block() returns (a collector root);
// tests build their own and keep its cell() under a root guard.
class Block {
public:
    // Makes the block with INITIAL_SLOTS free cells (allocates a series: call after the
    // memory manager started).
    void init();
    // `resource-slots/store`: copies the value into a free slot (doubling the block when none
    // is free) and returns the slot number (1-based).
    uint32_t store(const Cell* value);
    // `resource-slots/at`: the cell of slot n, or nullptr when n is not a slot in use. Valid
    // until the next store or collection.
    Cell* at(uint32_t n);
    // `resource-slots/free`: puts slot n back at the head of the free list. Slot 0, a number
    // beyond the block and a slot already free are ignored.
    void free(uint32_t n);

    Cell* cell() { return &block_; }
    uint32_t capacity() const { return uint32_t(used_.size()); }
    int32_t free_head() const { return free_head_; }
    bool ready() const { return type_of(&block_) == TYPE_BLOCK; }

private:
    void make_free_run(uint32_t from, uint32_t to);
    Cell* cells();

    Cell block_{TYPE_NONE, 0, 0, 0};
    std::vector<bool> used_;
    int32_t free_head_ = -1;
};

// The runtime's resource slots block.
Block& block();

// Start-up: makes the runtime's block and registers it as a collector root.
void init();

inline uint32_t store(const Cell* value) { return block().store(value); }
inline Cell* at(uint32_t n) { return block().at(n); }
inline void free(uint32_t n) { block().free(n); }

}  // namespace zel::resource_slots
