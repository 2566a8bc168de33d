// The externals table and the resource slots (see externals.h).
#include "core/externals.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "core/collector.h"
#include "core/memory.h"
#include "platform/console_io.h"

namespace zel::externals {

namespace {

struct Kind {
    std::string name;
    ReleaseFn release;
};

std::vector<Kind>& kinds() {
    static std::vector<Kind> list;
    return list;
}

// The runtime's own tables cannot do without memory: the process ends as run-time error 94.
[[noreturn]] void out_of_memory() {
    platform::write_stderr("*** Runtime Error 94: out of memory\n");
    std::exit(94);
}

void release(const Record& r) {
    uint32_t k = r.flags & KIND_MASK;
    if (k == 0 || k > kinds().size()) return;
    ReleaseFn fn = kinds()[k - 1].release;
    if (fn) fn(r.pointer);
}

}  // namespace

uint32_t register_kind(const char* name, ReleaseFn release) {
    // The kind number must fit the record's 8 kind bits.
    if (kinds().size() >= KIND_MASK) out_of_memory();
    kinds().push_back(Kind{name ? name : "", release});
    return uint32_t(kinds().size());
}

const char* kind_name(uint32_t kind) {
    if (kind == 0 || kind > kinds().size()) return "";
    return kinds()[kind - 1].name.c_str();
}

void Table::reset() {
    try {
        records_.assign(INITIAL_RECORDS, Record{FREE_FLAGS, nullptr, END});
    } catch (const std::bad_alloc&) {
        out_of_memory();
    }
    for (uint32_t i = 0; i + 1 < INITIAL_RECORDS; i++) records_[i].next = int32_t(i + 1);
    used_head_ = END;
    free_head_ = 0;
    used_count_ = 0;
}

bool Table::in_use(int32_t index) const {
    return index >= 0 && size_t(index) < records_.size() && records_[size_t(index)].flags != FREE_FLAGS;
}

// Doubles the table; the new records form a free run in index order that the current free
// head links to (the head is the last free record when this runs).
void Table::grow() {
    size_t old = records_.size();
    try {
        records_.resize(old * 2, Record{FREE_FLAGS, nullptr, END});
    } catch (const std::bad_alloc&) {
        out_of_memory();
    }
    for (size_t i = old; i + 1 < records_.size(); i++) records_[i].next = int32_t(i + 1);
    if (free_head_ == END) free_head_ = int32_t(old);
    else records_[size_t(free_head_)].next = int32_t(old);
}

int32_t Table::add_record(void* pointer, uint32_t kind) {
    if (free_head_ == END || records_[size_t(free_head_)].next == END) grow();
    int32_t i = free_head_;
    Record& r = records_[size_t(i)];
    free_head_ = r.next;
    r.flags = kind & KIND_MASK;
    r.pointer = pointer;
    r.next = used_head_;
    used_head_ = i;
    used_count_++;
    return i;
}

void Table::replace_pointer(int32_t index, void* pointer) {
    if (!in_use(index)) return;
    Record& r = records_[size_t(index)];
    if (r.pointer == pointer) return;
    Record old = r;
    r.pointer = pointer;
    release(old);
}

void Table::unlink_used(int32_t index) {
    if (used_head_ == index) {
        used_head_ = records_[size_t(index)].next;
        return;
    }
    for (int32_t i = used_head_; i != END; i = records_[size_t(i)].next) {
        if (records_[size_t(i)].next == index) {
            records_[size_t(i)].next = records_[size_t(index)].next;
            return;
        }
    }
}

void Table::free_record(int32_t index, bool do_release) {
    if (!in_use(index)) return;
    if (do_release) release(records_[size_t(index)]);
    unlink_used(index);
    Record& r = records_[size_t(index)];
    r.flags = FREE_FLAGS;
    r.pointer = nullptr;
    r.next = free_head_;
    free_head_ = index;
    used_count_--;
}

bool Table::mark_record(int32_t index, void* pointer) {
    if (!in_use(index)) return false;
    Record& r = records_[size_t(index)];
    if (pointer) r.pointer = pointer;
    if (r.flags & MARK) return false;
    r.flags |= MARK;
    return true;
}

void Table::sweep() {
    int32_t prev = END;
    int32_t i = used_head_;
    while (i != END) {
        Record& r = records_[size_t(i)];
        int32_t next = r.next;
        if (r.flags & MARK) {
            r.flags &= ~MARK;
            prev = i;
        } else {
            Record old = r;
            if (prev == END) used_head_ = next;
            else records_[size_t(prev)].next = next;
            r.flags = FREE_FLAGS;
            r.pointer = nullptr;
            r.next = free_head_;
            free_head_ = i;
            used_count_--;
            release(old);
        }
        i = next;
    }
}

Table& table() {
    static Table t;
    return t;
}

void init() { table().reset(); }

}  // namespace zel::externals

namespace zel::resource_slots {

Cell* Block::cells() { return memory::buf(series_node(&block_))->cells(); }

// Slots from..to-1 become a free run: each holds the index of the next, the last -1.
void Block::make_free_run(uint32_t from, uint32_t to) {
    Cell* c = cells();
    for (uint32_t i = from; i < to; i++) {
        set_integer(&c[i], i + 1 < to ? int32_t(i + 1) : -1);
        used_[i] = false;
    }
}

void Block::init() {
    uint32_t node = memory::new_cell_series(INITIAL_SLOTS);
    memory::buf(node)->tail = INITIAL_SLOTS * uint32_t(sizeof(Cell));
    set_series(&block_, TYPE_BLOCK, node);
    used_.assign(INITIAL_SLOTS, false);
    make_free_run(0, INITIAL_SLOTS);
    free_head_ = 0;
}

uint32_t Block::store(const Cell* value_in) {
    if (!ready()) init();
    Cell value = *value_in;   // the value may live in the buffer that grows below
    if (free_head_ < 0) {
        uint32_t old = capacity();
        uint32_t doubled = old * 2;
        SeriesBuf* b = memory::grow(series_node(&block_), size_t(doubled) * sizeof(Cell));
        b->tail = doubled * uint32_t(sizeof(Cell));
        used_.resize(doubled, false);
        make_free_run(old, doubled);
        free_head_ = int32_t(old);
    }
    uint32_t i = uint32_t(free_head_);
    Cell* c = &cells()[i];
    free_head_ = int_value(c);
    *c = value;
    used_[i] = true;
    return i + 1;
}

Cell* Block::at(uint32_t n) {
    if (!ready() || n == 0 || n > capacity() || !used_[n - 1]) return nullptr;
    return &cells()[n - 1];
}

void Block::free(uint32_t n) {
    if (!ready() || n == 0 || n > capacity() || !used_[n - 1]) return;
    set_integer(&cells()[n - 1], free_head_);
    used_[n - 1] = false;
    free_head_ = int32_t(n - 1);
}

Block& block() {
    static Block b;
    return b;
}

void init() {
    static bool registered = false;
    block().init();
    if (!registered) {
        collector::register_static_cell(block().cell());
        registered = true;
    }
}

}  // namespace zel::resource_slots
