// Garbage collector: marking from precise roots with an explicit mark stack, then compaction
// of the series frames (see collector.h).
#include "core/collector.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/callable.h"
#include "core/context.h"
#include "core/externals.h"
#include "core/hashtable.h"
#include "core/memory_frames.h"
#include "core/ownership.h"
#include "datatypes/series/image.h"

namespace zel::collector {

State state;

namespace {

using memory::buf;

std::vector<Cell*> static_cells;
std::vector<std::pair<uint32_t*, NodeRootKind>> node_roots;
std::vector<void (*)()> root_markers;
std::vector<void (*)()> external_roots;
// The RootGuard stack: an array indexed by depth (guards nest strictly).
std::vector<Cell*> guards(4096);
size_t guard_count = 0;
std::vector<uint32_t> mark_stack;   // cell buffers whose cells still need marking

inline bool live_node(uint32_t node) {
    if (node == 0 || node > memory::frames.node_frame_count * memory::NODES_PER_FRAME) return false;
    uintptr_t v = reinterpret_cast<uintptr_t>(memory::node_table[node]);
    return v != 0 && !memory::node_is_free_link(v);
}

// Sets the mark; true when the buffer was not marked before.
inline bool set_mark(uint32_t node) {
    if (!live_node(node)) return false;
    SeriesBuf* b = buf(node);
    if (b->flags & F_MARK) return false;
    b->flags |= F_MARK;
    return true;
}

void drain() {
    while (!mark_stack.empty()) {
        uint32_t node = mark_stack.back();
        mark_stack.pop_back();
        SeriesBuf* b = buf(node);
        Cell* c = b->cells();
        Cell* end = c + b->length();
        for (; c < end; c++) mark_cell(c);
    }
}

void mark_roots() {
    for (Cell* c : static_cells) mark_cell(c);
    for (auto& [node, kind] : node_roots) {
        switch (kind) {
            case NodeRootKind::Cells: mark_node_cells(*node); break;
            case NodeRootKind::Bytes: mark_node_bytes(*node); break;
            case NodeRootKind::Table: hashtable::mark(*node); break;
        }
    }
    for (size_t i = 0; i < guard_count; i++) mark_cell(guards[i]);
    for (auto m : root_markers) m();
    for (auto m : external_roots)
        if (m) m();
    drain();
}

// The node-release queue: the nodes of dead buffers found during a cycle are queued and
// returned to their frames in one pass (a full queue is flushed first).
constexpr size_t NODE_RELEASE_QUEUE_SIZE = 20000;
uint32_t node_release_queue[NODE_RELEASE_QUEUE_SIZE];
size_t nodes_queued = 0;

// Slides the live buffers of every series frame down (into the previous frame's free tail
// while it has room), fixing each moved buffer's node; dead buffers release their nodes.
void compact() {
    using namespace memory;
    SeriesFrame* prev = nullptr;
    for (SeriesFrame* f = frames.first; f; f = f->next) {
        uint8_t* p = f->start();
        uint8_t* old_heap = f->heap;
        uint8_t* dest = p;
        bool may_move_to_prev = prev != nullptr;
        while (p < old_heap) {
            auto* b = reinterpret_cast<SeriesBuf*>(p);
            size_t fp = footprint(b);
            bool in_use = (b->flags & F_IN_USE) != 0;
            if (in_use && (b->flags & F_MARK)) {
                b->flags &= ~F_MARK;
                size_t room = may_move_to_prev ? size_t(prev->end - prev->heap) : 0;
                if (may_move_to_prev && room > MIN_FRAME_ROOM && prev->heap + fp < prev->end) {
                    std::memcpy(prev->heap, p, fp);
                    node_table[b->node] = reinterpret_cast<SeriesBuf*>(prev->heap);
                    prev->heap += fp;
                } else {
                    may_move_to_prev = false;
                    if (dest != p) {
                        uint32_t node = b->node;
                        std::memmove(dest, p, fp);
                        node_table[node] = reinterpret_cast<SeriesBuf*>(dest);
                    }
                    dest += fp;
                }
            } else if (in_use) {
                queue_free_node(b->node);
            }
            p += fp;
        }
        f->heap = dest;
        if (state.stress) poison(dest, size_t(old_heap - dest));
        prev = f;
    }
    // Return the frames left empty, but the first and the last; outside stress mode they
    // stay spare until the next cycle (stress mode wants freed memory to fault).
    memory::release_spare_frames();
    for (SeriesFrame* f = frames.first; f;) {
        SeriesFrame* next = f->next;
        if (f != frames.first && f != frames.last && f->heap == f->start())
            release_series_frame(f, !state.stress);
        f = next;
    }
    if (!frames.current) frames.current = frames.last;
}

void clear_external_marks() {
    // Buffers outside the frames are never swept; their marks are cleared here.
    for (uint32_t node : memory::frames.external_nodes)
        if (live_node(node)) buf(node)->flags &= ~F_MARK;
}

}  // namespace

void init() {
    const char* stress = std::getenv("ZEL_GC_STRESS");
    state.stress = stress && stress[0] && stress[0] != '0';
}

void mark_node_bytes(uint32_t node) { set_mark(node); }

void drain_marks() { drain(); }

bool is_marked(uint32_t node) { return live_node(node) && (buf(node)->flags & F_MARK); }

void mark_node_cells(uint32_t node) {
    if (set_mark(node)) mark_stack.push_back(node);
}

void mark_cells(const Cell* first, const Cell* end) {
    for (; first < end; first++) mark_cell(first);
}

void mark_cell(const Cell* c) {
    switch (type_of(c)) {
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
        case TYPE_REFINEMENT: case TYPE_ISSUE:
            // An arguments-cache refinement keeps a stack slot in d1, not a context.
            if (c->d1 && !(c->header & callable::CACHE_REFINEMENT)) mark_node_cells(c->d1);
            break;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH:
        case TYPE_SET_PATH: case TYPE_GET_PATH:
            mark_node_cells(c->d2);
            break;
        case TYPE_HASH: case TYPE_MAP:
            mark_node_cells(c->d2);
            if (c->d3) hashtable::mark(c->d3);
            break;
        case TYPE_SYMBOL:
            mark_node_bytes(c->d3);
            if (c->d2) mark_node_bytes(c->d2);
            break;
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL:
        case TYPE_REF: case TYPE_STRING_VIEW:
            mark_node_bytes(c->d2);
            if (c->d3) mark_node_bytes(c->d3);
            break;
        case TYPE_BITSET: case TYPE_VECTOR: case TYPE_BINARY:
            mark_node_bytes(c->d2);
            break;
        case TYPE_IMAGE:
            // The buffer, then its externals record (an image without pixels has no buffer).
            if (c->d2) {
                mark_node_bytes(c->d2);
                image::collect_hook(c->d2);
            }
            break;
        case TYPE_OBJECT: case TYPE_ERROR: case TYPE_PORT:
            mark_node_cells(c->d1);
            if (c->d3) mark_node_cells(c->d3);
            break;
        case TYPE_CONTEXT:
            hashtable::mark(c->d1);
            if (!(c->header & context::ON_STACK) && c->d2) mark_node_cells(c->d2);
            if (c->d3) mark_node_cells(c->d3);
            break;
        case TYPE_FUNCTION: case TYPE_ROUTINE:
            mark_node_cells(c->d1);
            mark_node_cells(c->d2);
            mark_node_cells(c->d3);
            break;
        case TYPE_NATIVE: case TYPE_ACTION:
            if (c->d2) mark_node_cells(c->d2);
            if (c->d3) mark_node_cells(c->d3);
            break;
        case TYPE_OP: {
            uint32_t source = (c->header >> callable::OP_SOURCE_SHIFT) & 0xFF;
            if (c->d2) mark_node_cells(c->d2);
            if (c->d3) mark_node_cells(c->d3);
            if ((source == TYPE_FUNCTION || source == TYPE_ROUTINE) && c->d1) mark_node_cells(c->d1);
            break;
        }
        default:
            break;
    }
}

void run_cycle() {
    if (state.collecting) return;
    state.collecting = true;
    mark_roots();
    // Owners-table entries: payloads of reachable keys are marked, dead entries dropped.
    ownership::after_marking();
    // Externals records that no live value marked release their resources now.
    externals::sweep();
    compact();
    memory::sweep_big_buffers(queue_free_node, !state.stress);
    flush_free_nodes();
    memory::review_node_frames(state.cycles);
    clear_external_marks();
    state.cycles++;
    size_t live = memory::bytes_in_use();
    memory::frames.collection_budget = std::max<size_t>(8u << 20, live);
    memory::frames.allocated_since_collection = 0;
    memory::collection_wanted = false;
    state.collecting = false;
}

void collect_at_safe_point() {
    if (!state.active) {
        memory::collection_wanted = false;
        memory::frames.allocated_since_collection = 0;
        return;
    }
    run_cycle();
}

void queue_free_node(uint32_t node) {
    if (!node) return;
    if (nodes_queued == NODE_RELEASE_QUEUE_SIZE) flush_free_nodes();
    node_release_queue[nodes_queued++] = node;
}

void flush_free_nodes() {
    for (size_t i = 0; i < nodes_queued; i++) memory::free_node(node_release_queue[i]);
    nodes_queued = 0;
}

void register_static_cell(Cell* c) { static_cells.push_back(c); }
void register_node_root(uint32_t* node, NodeRootKind kind) { node_roots.emplace_back(node, kind); }
void add_root_marker(void (*marker)()) { root_markers.push_back(marker); }
void add_external_root(void (*callback)()) { external_roots.push_back(callback); }
void remove_external_root(void (*callback)()) {
    for (auto& m : external_roots)
        if (m == callback) { m = nullptr; break; }
}

RootGuard::RootGuard(Cell* c) : depth_(guard_count) {
    if (guard_count == guards.size()) guards.resize(guards.size() * 2);
    guards[guard_count++] = c;
}
RootGuard::~RootGuard() {
    if (guard_count > depth_) guard_count = depth_;
}
size_t guard_depth() { return guard_count; }
void restore_guard_depth(size_t depth) {
    if (guard_count > depth) guard_count = depth;
}

}  // namespace zel::collector
