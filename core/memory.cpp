// Memory manager: node frames, series frames and big buffers.
#include "core/memory.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/error.h"
#include "core/memory_frames.h"
#include "platform/console_io.h"
#include "platform/os_memory.h"

namespace zel::memory {

SeriesBuf** node_table = nullptr;
namespace {
SeriesFrame* spare_frame = nullptr;   // the frame the last stress evacuation left, poisoned, unlinked
}  // namespace
bool collection_wanted = false;
bool library_loading = false;
FrameLists frames;

namespace {

size_t round_up(size_t n, size_t to) { return (n + to - 1) & ~(to - 1); }

[[noreturn]] void fatal_out_of_memory() {
    platform::write_stderr("*** Runtime Error 94: out of memory\n");
    std::exit(94);
}

// Frames and big buffers are filled from their start: their pages are mapped at once.
void* os_block(size_t size) {
    void* p = platform::allocate_pages(size, true);
    if (p) frames.total_reserved += size;
    return p;
}

void os_release(void* p, size_t size) {
    frames.total_reserved -= size;
    platform::free_pages(p, size);
}

// ---- node frames ----

// A new node frame hands its nodes out in order (fresh counts those handed out so far), so
// that its entries are written once, when each node is first taken; nodes the collection
// frees go on the frame's free list and are taken again first.
uint32_t new_node_frame() {
    uint32_t f = 0;
    while (f < MAX_NODE_FRAMES && frames.node_frames[f].live) f++;
    if (f == MAX_NODE_FRAMES) fatal_out_of_memory();
    NodeFrame& nf = frames.node_frames[f];
    nf = NodeFrame{};
    nf.live = true;
    if (f + 1 > frames.node_frame_count) frames.node_frame_count = f + 1;
    // Every entry is about to be written, in order: map the pages in one call.
    platform::commit_pages(&node_table[f * NODES_PER_FRAME + 1], NODES_PER_FRAME * sizeof(SeriesBuf*));
    frames.total_reserved += NODES_PER_FRAME * sizeof(SeriesBuf*);
    return f;
}

uint32_t take_node() {
    NodeFrame* nf = &frames.node_frames[frames.current_node_frame];
    if (!nf->live || !has_free_node(*nf)) {
        uint32_t f = 0;
        for (; f < frames.node_frame_count; f++)
            if (frames.node_frames[f].live && has_free_node(frames.node_frames[f])) break;
        if (f == frames.node_frame_count) f = new_node_frame();
        frames.current_node_frame = f;
        nf = &frames.node_frames[f];
    }
    uint32_t id = nf->free_head;
    if (id) {
        uintptr_t link = reinterpret_cast<uintptr_t>(node_table[id]);
        nf->free_head = uint32_t(link >> 1);
    } else {
        id = uint32_t(nf - frames.node_frames) * NODES_PER_FRAME + 1 + nf->fresh++;
    }
    node_table[id] = nullptr;
    nf->in_use++;
    nf->taken = true;
    return id;
}

// ---- series frames ----

// ---- spare series frames ----
// Frames the collector emptied stay mapped until its next cycle, for the frames made
// meanwhile: a program that built much and dropped it tends to build as much again, and
// reusing a mapped frame spares the kernel's zeroing and a fault per page.

std::vector<SeriesFrame*> spare_frames;
size_t spare_frame_bytes = 0;
constexpr size_t SPARE_FRAME_LIMIT = size_t(256) << 20;

SeriesFrame* take_spare_frame(size_t total) {
    for (size_t i = 0; i < spare_frames.size(); i++) {
        SeriesFrame* f = spare_frames[i];
        if (f->total >= total && f->total / 2 <= total) {
            spare_frames[i] = spare_frames.back();
            spare_frames.pop_back();
            spare_frame_bytes -= f->total;
            return f;
        }
    }
    return nullptr;
}

SeriesFrame* new_series_frame(size_t data_size) {
    size_t total = round_up(sizeof(SeriesFrame) + data_size, platform::page_size());
    auto* f = take_spare_frame(total);
    if (f) {
        total = f->total;
    } else {
        f = static_cast<SeriesFrame*>(os_block(total));
        if (!f) raise_no_memory();
    }
    f->total = total;
    f->heap = f->start();
    f->end = reinterpret_cast<uint8_t*>(f) + total;
    // Keep the list in ascending address order.
    SeriesFrame* after = nullptr;
    for (SeriesFrame* s = frames.first; s && s < f; s = s->next) after = s;
    f->prev = after;
    f->next = after ? after->next : frames.first;
    if (f->next) f->next->prev = f; else frames.last = f;
    if (after) after->next = f; else frames.first = f;
    return f;
}

bool fits(SeriesFrame* f, size_t fp) { return f->heap + fp < f->end; }

SeriesFrame* frame_for(size_t fp) {
    if (frames.current && fits(frames.current, fp)) return frames.current;
    SeriesFrame* found = nullptr;
    for (SeriesFrame* f = frames.first; f; f = f->next)
        if (fits(f, fp)) { found = f; break; }
    if (!found || size_t(found->end - found->heap) < MIN_FRAME_ROOM) {
        if (fp >= frames.next_frame_size) frames.next_frame_size = FRAME_SIZE_CAP;
        size_t size = frames.next_frame_size;
        if (frames.next_frame_size < FRAME_SIZE_CAP) frames.next_frame_size *= 2;
        found = new_series_frame(size);
        if (!fits(found, fp)) found = new_series_frame(round_up(fp + 16, 4096));
    }
    frames.current = found;
    return found;
}

void note_allocation(size_t bytes) {
    frames.allocated_since_collection += bytes;
    if (frames.allocated_since_collection >= frames.collection_budget) collection_wanted = true;
}

// ---- spare big blocks ----
// Big blocks the collector released are kept until the next sweep for the big buffers made
// meanwhile: the first touch of fresh pages is slow, and a program that built a big series
// tends to build one again. Under collector stress they go back to the system at once (there,
// released memory must fault).

std::vector<BigBlock*> spares;
size_t spare_bytes = 0;
constexpr size_t SPARE_LIMIT = size_t(256) << 20;
constexpr size_t SPARE_WASTE = 4;   // a spare serves a block at least a quarter its size

BigBlock* take_spare(size_t total) {
    size_t best = spares.size();
    for (size_t i = 0; i < spares.size(); i++) {
        size_t t = spares[i]->total;
        if (t >= total && t / SPARE_WASTE <= total && (best == spares.size() || t < spares[best]->total)) best = i;
    }
    if (best == spares.size()) return nullptr;
    BigBlock* blk = spares[best];
    spares.erase(spares.begin() + long(best));
    spare_bytes -= blk->total;
    return blk;
}

void keep_spare(BigBlock* blk, bool keep) {
    if (!keep || spare_bytes + blk->total > SPARE_LIMIT) {
        os_release(blk, blk->total);
        return;
    }
    spares.push_back(blk);
    spare_bytes += blk->total;
}

void release_spares() {
    for (BigBlock* blk : spares) os_release(blk, blk->total);
    spares.clear();
    spare_bytes = 0;
}

SeriesBuf* allocate_buffer(size_t size, uint32_t unit, bool external) {
    if (size > 0x7FFFFFF0u) raise_no_memory();
    size = round_up(size == 0 ? 16 : size, 16);
    size_t fp = sizeof(SeriesBuf) + size;
    SeriesBuf* b;
    uint32_t flags = unit | F_IN_USE;
    if (library_loading && unit == sizeof(Cell)) flags |= F_LIBRARY_CODE;
    if (external) {
        b = static_cast<SeriesBuf*>(std::aligned_alloc(16, fp));
        if (!b) fatal_out_of_memory();
        flags |= F_EXTERNAL;
    } else if (fp >= FRAME_SIZE_CAP) {
        size_t total = round_up(sizeof(BigBlock) + fp, platform::page_size());
        BigBlock* blk = take_spare(total);
        if (!blk) {
            blk = static_cast<BigBlock*>(os_block(total));
            if (!blk) raise_no_memory();
            blk->total = total;
        }
        blk->next = frames.big;
        frames.big = blk;
        b = blk->buffer();
        flags |= F_BIG;
        collection_wanted = true;
        // The whole block is the buffer's room (a spare may be larger than asked).
        size = std::min<size_t>((blk->total - sizeof(BigBlock) - sizeof(SeriesBuf)) & ~size_t(15), 0x7FFFFFF0u);
    } else {
        SeriesFrame* f = frame_for(fp);
        b = reinterpret_cast<SeriesBuf*>(f->heap);
        f->heap += fp;
    }
    note_allocation(fp);
    b->flags = flags;
    b->node = 0;
    b->size = uint32_t(size);
    b->tail = 0;
    return b;
}

uint32_t attach(SeriesBuf* b) {
    uint32_t node = take_node();
    node_table[node] = b;
    b->node = node;
    return node;
}

}  // namespace

void init() {
    if (node_table) return;
    size_t table_bytes = size_t(MAX_NODE_FRAMES) * NODES_PER_FRAME * sizeof(SeriesBuf*) + 64;
    node_table = static_cast<SeriesBuf**>(platform::reserve_address_space(table_bytes));
    if (!node_table) fatal_out_of_memory();
    new_node_frame();
    frames.current = new_series_frame(INITIAL_FRAME_SIZE);
    frames.next_frame_size = INITIAL_FRAME_SIZE * 2;
}

uint32_t new_series(size_t count, uint32_t unit) {
    return attach(allocate_buffer(count * unit, unit, false));
}

uint32_t new_cell_series(size_t n) { return new_series(n, 16); }

SeriesBuf* grow(uint32_t node, size_t new_size) {
    SeriesBuf* old = buf(node);
    if (new_size == 0) new_size = size_t(old->size) * 2;
    if (new_size <= old->size) return old;
    bool external = (old->flags & F_EXTERNAL) != 0;
    SeriesBuf* b = allocate_buffer(new_size, old->unit(), external);
    old = buf(node);
    b->flags = (old->flags & ~(F_BIG | F_MARK)) | (b->flags & F_BIG);
    b->node = node;
    b->tail = old->tail;
    std::memcpy(b->data(), old->data(), old->tail);
    node_table[node] = b;
    if (external) {
        std::free(old);
    } else {
        old->node = 0;
        old->flags &= ~F_IN_USE;
    }
    return b;
}

SeriesBuf* ensure_room(uint32_t node, size_t extra) {
    SeriesBuf* b = buf(node);
    size_t need = size_t(b->tail) + extra;
    if (need <= b->size) return b;
    size_t doubled = size_t(b->size) * 2;
    return grow(node, need > doubled ? need : doubled);
}

uint32_t duplicate_series(uint32_t node) {
    SeriesBuf* src = buf(node);
    uint32_t n = new_series(src->size, 1);
    src = buf(node);
    SeriesBuf* b = buf(n);
    b->flags = (src->flags & ~(F_OWNED | F_BIG | F_EXTERNAL | F_MARK | F_NO_CODE)) | (b->flags & F_BIG) | F_IN_USE;
    b->tail = src->tail;
    std::memcpy(b->data(), src->data(), src->tail);
    return n;
}

uint32_t copy_range(uint32_t node, uint32_t first_unit, uint32_t count) {
    SeriesBuf* src = buf(node);
    uint32_t unit = src->unit();
    uint32_t n = new_series(count, unit);
    src = buf(node);
    SeriesBuf* b = buf(n);
    b->flags = (src->flags & ~(F_OWNED | F_BIG | F_EXTERNAL | F_MARK | F_NO_CODE)) | (b->flags & F_BIG) | F_IN_USE;
    std::memcpy(b->data(), src->data() + size_t(first_unit) * unit, size_t(count) * unit);
    b->tail = count * unit;
    return n;
}

Cell* append_cell(uint32_t node) {
    SeriesBuf* b = ensure_room(node, sizeof(Cell));
    Cell* c = b->cell_tail();
    set_unset(c);
    b->tail += sizeof(Cell);
    return c;
}

size_t total_reserved() { return frames.total_reserved; }

size_t bytes_in_use() {
    size_t n = 0;
    for (SeriesFrame* f = frames.first; f; f = f->next) n += size_t(f->heap - f->start());
    for (BigBlock* b = frames.big; b; b = b->next) n += footprint(b->buffer());
    return n;
}

uint32_t nodes_in_use() {
    uint32_t n = 0;
    for (uint32_t f = 0; f < frames.node_frame_count; f++)
        if (frames.node_frames[f].live) n += frames.node_frames[f].in_use;
    return n;
}

// ---- collector support ----

void free_node(uint32_t node) {
    uint32_t f = node_frame_of(node);
    NodeFrame& nf = frames.node_frames[f];
    node_table[node] = reinterpret_cast<SeriesBuf*>((uintptr_t(nf.free_head) << 1) | 1);
    nf.free_head = node;
    nf.in_use--;
}

void release_series_frame(SeriesFrame* f, bool keep) {
    if (f->prev) f->prev->next = f->next; else frames.first = f->next;
    if (f->next) f->next->prev = f->prev; else frames.last = f->prev;
    if (frames.current == f) frames.current = frames.last;
    if (keep && spare_frame_bytes + f->total <= SPARE_FRAME_LIMIT) {
        spare_frames.push_back(f);
        spare_frame_bytes += f->total;
        return;
    }
    os_release(f, f->total);
}

void release_spare_frames() {
    for (SeriesFrame* f : spare_frames) os_release(f, f->total);
    spare_frames.clear();
    spare_frame_bytes = 0;
}

void evacuate_frames(void (*release_node)(uint32_t node)) {
    std::vector<SeriesFrame*> old;
    size_t live = 0;
    for (SeriesFrame* f = frames.first; f; f = f->next) {
        old.push_back(f);
        for (uint8_t* p = f->start(); p < f->heap; p += footprint(reinterpret_cast<SeriesBuf*>(p))) {
            auto* b = reinterpret_cast<SeriesBuf*>(p);
            if ((b->flags & F_IN_USE) && (b->flags & F_MARK)) live += footprint(b);
        }
    }
    // Room for what the program allocates until the next safe point, as a fresh frame has.
    size_t want = live + INITIAL_FRAME_SIZE;
    SeriesFrame* to = nullptr;
    if (spare_frame && size_t(spare_frame->end - spare_frame->start()) >= want) {
        to = spare_frame;
        to->heap = to->start();
        SeriesFrame* after = nullptr;   // linked in address order, as new frames are
        for (SeriesFrame* f = frames.first; f && f < to; f = f->next) after = f;
        to->prev = after;
        to->next = after ? after->next : frames.first;
        if (to->next) to->next->prev = to; else frames.last = to;
        if (after) after->next = to; else frames.first = to;
    } else {
        if (spare_frame) os_release(spare_frame, spare_frame->total);
        to = new_series_frame(want);
    }
    spare_frame = nullptr;
    for (SeriesFrame* f : old) {
        for (uint8_t* p = f->start(); p < f->heap;) {
            auto* b = reinterpret_cast<SeriesBuf*>(p);
            size_t fp = footprint(b);
            if ((b->flags & F_IN_USE) && (b->flags & F_MARK)) {
                b->flags &= ~F_MARK;
                std::memcpy(to->heap, p, fp);
                node_table[b->node] = reinterpret_cast<SeriesBuf*>(to->heap);
                to->heap += fp;
            } else if (b->flags & F_IN_USE) {
                release_node(b->node);
            }
            p += fp;
        }
        poison(f->start(), size_t(f->heap - f->start()));
        if (f->prev) f->prev->next = f->next; else frames.first = f->next;
        if (f->next) f->next->prev = f->prev; else frames.last = f->prev;
        f->next = f->prev = nullptr;
        // The largest frame left stays for the next evacuation (its pages are touched).
        if (!spare_frame || f->total > spare_frame->total) {
            if (spare_frame) os_release(spare_frame, spare_frame->total);
            spare_frame = f;
        } else {
            os_release(f, f->total);
        }
    }
    frames.current = to;
}

void move_big_buffers() {
    for (BigBlock** link = &frames.big; *link;) {
        BigBlock* blk = *link;
        SeriesBuf* b = blk->buffer();
        if (b->flags & F_MARK) {
            auto* to = static_cast<BigBlock*>(platform::move_pages(blk, blk->total));
            if (to) {
                *link = to;
                if (to->buffer()->node) node_table[to->buffer()->node] = to->buffer();
                blk = to;
            }
        }
        link = &blk->next;
    }
}

bool is_heap_buffer(const SeriesBuf* b) {
    auto p = reinterpret_cast<const uint8_t*>(b);
    for (SeriesFrame* f = frames.first; f; f = f->next)
        if (p >= f->start() && p + sizeof(SeriesBuf) <= f->heap) return p + footprint(b) <= f->heap;
    for (BigBlock* blk = frames.big; blk; blk = blk->next)
        if (blk->buffer() == b) return reinterpret_cast<const uint8_t*>(b) + footprint(b) <= reinterpret_cast<const uint8_t*>(blk) + blk->total;
    return false;
}

void sweep_big_buffers(void (*release_node)(uint32_t node), bool keep_spares) {
    release_spares();
    BigBlock** link = &frames.big;
    while (BigBlock* blk = *link) {
        SeriesBuf* b = blk->buffer();
        if (b->flags & F_MARK) {
            b->flags &= ~F_MARK;
            link = &blk->next;
        } else {
            *link = blk->next;
            if (b->node) release_node(b->node);
            keep_spare(blk, keep_spares);
        }
    }
}

// A node frame the collection emptied goes back to the system only when no node was taken
// from it since the previous review: a program that makes short-lived series refills the same
// frames every cycle, and releasing them would cost it fresh pages and a new free list each time.
void review_node_frames(uint32_t) {
    bool current_set = false;
    for (uint32_t f = 0; f < frames.node_frame_count; f++) {
        NodeFrame& nf = frames.node_frames[f];
        if (!nf.live) continue;
        bool taken = nf.taken;
        nf.taken = false;
        if (nf.in_use == 0 && f != 0 && !taken) {
            nf.live = false;
            platform::discard_pages(&node_table[f * NODES_PER_FRAME + 1],
                                    NODES_PER_FRAME * sizeof(SeriesBuf*));
            frames.total_reserved -= NODES_PER_FRAME * sizeof(SeriesBuf*);
            continue;
        }
        if (!current_set && has_free_node(nf)) {
            frames.current_node_frame = f;
            current_set = true;
        }
    }
    while (frames.node_frame_count > 0 && !frames.node_frames[frames.node_frame_count - 1].live)
        frames.node_frame_count--;
}

void poison(void* p, size_t n) { std::memset(p, 0xDB, n); }

// A size that no buffer can have, or memory the system refuses: internal/no-memory.
void raise_no_memory() { error::raise(error::ERR_INTERNAL_NO_MEMORY); }

}  // namespace zel::memory
