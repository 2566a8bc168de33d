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
#include "core/types.h"

namespace zel::collector {

State state;

namespace {

using memory::buf;

std::vector<Cell*> static_cells;
std::vector<std::pair<uint32_t*, NodeRootKind>> node_roots;
std::vector<void (*)()> root_markers;
std::vector<void (*)()> external_roots;
void (*image_buffer_marker)(uint32_t node) = nullptr;
// The RootGuard stack: an array indexed by depth (guards nest strictly).
std::vector<Cell*> guards(256);
size_t guard_count = 0;
std::vector<uint32_t> mark_stack;   // cell buffers whose cells still need marking

inline bool live_node(uint32_t node) {
    if (node == 0 || node > memory::frames.node_frame_count * memory::NODES_PER_FRAME) return false;
    uintptr_t v = reinterpret_cast<uintptr_t>(memory::node_table[node]);
    return v != 0 && !memory::node_is_free_link(v);
}

// The root section being marked, for the heap verifier's reports.
const char* marking_section = "";

[[noreturn, gnu::cold]] void heap_fault(const char* what, uint32_t node) {
    std::fprintf(stderr, "*** Heap verifier: %s (node %u, cycle %u, while marking %s)\n", what, node,
                 state.cycles, marking_section);
    std::abort();
}

// Sets the mark; true when the buffer was not marked before.
inline bool set_mark(uint32_t node) {
    if (!live_node(node)) {
        if (node && state.verify) heap_fault("a reachable value references a dead node", node);
        return false;
    }
    SeriesBuf* b = buf(node);
    if (b->flags & F_MARK) return false;
    b->flags |= F_MARK;
    return true;
}

// ---- layout-driven marking ----
//
// mark_cell is a switch generated from types.def: each type's case marks its three data words
// by their layout kinds, resolved at compile time, so a case costs what a hand-written one
// would. Under the heap verifier the same walk also checks each node-holding word: a required
// node is present, and a node names a buffer of the kind the layout says.

using types::Word;

[[noreturn, gnu::cold]] void layout_fault(const Cell* c, int word, const char* what, uint32_t node) {
    static char text[160];
    const char* name = types::info(type_of(c)).name;
    std::snprintf(text, sizeof text, "a %s value's d%d %s", name ? name : "internal", word + 1, what);
    heap_fault(text, node);
}

inline bool is_cell_buffer(uint32_t node) { return buf(node)->unit() == sizeof(Cell); }

// Marks the buffer a node-holding word names, as cells or as bytes; under the verifier also
// checks that the word names a buffer of that kind (and one at all when required).
template <bool Cells, bool Verify>
inline void mark_buffer_word(const Cell* c, int word, uint32_t node, bool required) {
    if constexpr (Verify) {
        if (!node) {
            if (required) layout_fault(c, word, "holds no node", 0);
            return;
        }
        if (live_node(node) && is_cell_buffer(node) != Cells)
            layout_fault(c, word, Cells ? "names a buffer that holds no cells" : "names a buffer of cells", node);
    }
    if constexpr (Cells) mark_node_cells(node);
    else mark_node_bytes(node);
}

template <Word W, bool Verify>
inline void mark_word(const Cell* c, int word, uint32_t v) {
    if constexpr (W == Word::NOTHING) {
        return;
    } else if constexpr (W == Word::CELLS || W == Word::CELLS_OPT) {
        if (W == Word::CELLS_OPT && !Verify && !v) return;
        mark_buffer_word<true, Verify>(c, word, v, W == Word::CELLS);
    } else if constexpr (W == Word::BYTES || W == Word::BYTES_OPT) {
        if (W == Word::BYTES_OPT && !Verify && !v) return;
        mark_buffer_word<false, Verify>(c, word, v, W == Word::BYTES);
    } else if constexpr (W == Word::TABLE || W == Word::TABLE_OPT) {
        if (W == Word::TABLE_OPT && !Verify && !v) return;
        if constexpr (Verify)
            if (W == Word::TABLE && !v) layout_fault(c, word, "holds no table", 0);
        hashtable::mark(v);
    } else if constexpr (W == Word::BINDING) {
        // An arguments-cache refinement keeps a stack slot here, not a context.
        if (v && !(c->header & callable::CACHE_REFINEMENT)) mark_buffer_word<true, Verify>(c, word, v, false);
    } else if constexpr (W == Word::CONTEXT_VALUES) {
        // Values that live on the value stack are marked with the stack.
        if (v && !(c->header & context::ON_STACK)) mark_buffer_word<true, Verify>(c, word, v, false);
    } else if constexpr (W == Word::OP_SOURCE_WORD) {
        // types.h checks that only function! and routine! hold a node in this word.
        uint32_t source = (c->header >> callable::OP_SOURCE_SHIFT) & 0xFF;
        if ((source == TYPE_FUNCTION || source == TYPE_ROUTINE) && v) mark_buffer_word<true, Verify>(c, word, v, false);
    } else if constexpr (W == Word::IMAGE_PIXELS) {
        // The pixel buffer, then its externals record (an image without pixels has no buffer).
        if (v) {
            mark_buffer_word<false, Verify>(c, word, v, false);
            if (image_buffer_marker) image_buffer_marker(v);
        }
    } else {
        static_assert(W == Word::NOTHING, "a layout kind the collector does not mark");
    }
}

template <bool Verify, Word D1, Word D2, Word D3>
inline void mark_words(const Cell* c) {
    mark_word<D1, Verify>(c, 0, data_word(c, 0));
    mark_word<D2, Verify>(c, 1, data_word(c, 1));
    mark_word<D3, Verify>(c, 2, data_word(c, 2));
}

template <bool Verify>
void mark_by_layout(const Cell* c) {
    using enum Word;
    switch (type_of(c)) {
#define ZEL_MARK_CASE(id, w1, w2, w3)                                   \
    case id:                                                            \
        if constexpr (types::Layout{{w1, w2, w3}}.holds_nodes()) mark_words<Verify, w1, w2, w3>(c); \
        break;
#define ZEL_MARK_CASE_OF(id, words) ZEL_MARK_CASE(id, words)
#define ZEL_TYPE(id, name, cname, parent, layout, ...) ZEL_MARK_CASE_OF(id, ZEL_UNPACK layout)
#define ZEL_INTERNAL_TYPE(id, cname, layout) ZEL_MARK_CASE_OF(id, ZEL_UNPACK layout)
#define ZEL_UNPACK(w1, w2, w3) w1, w2, w3
#include "core/types.def"
#undef ZEL_TYPE
#undef ZEL_INTERNAL_TYPE
#undef ZEL_UNPACK
#undef ZEL_MARK_CASE_OF
#undef ZEL_MARK_CASE
        default:
            break;
    }
}

template <bool Verify>
void drain_stack() {
    while (!mark_stack.empty()) {
        uint32_t node = mark_stack.back();
        mark_stack.pop_back();
        SeriesBuf* b = buf(node);
        Cell* c = b->cells();
        Cell* end = c + b->length();
        for (; c < end; c++) mark_by_layout<Verify>(c);
    }
}

void drain() {
    if (state.verify) drain_stack<true>();
    else drain_stack<false>();
}

void mark_roots() {
    marking_section = "static cells";
    for (Cell* c : static_cells) mark_cell(c);
    marking_section = "node roots";
    for (auto& [node, kind] : node_roots) {
        switch (kind) {
            case NodeRootKind::Cells: mark_node_cells(*node); break;
            case NodeRootKind::Bytes: mark_node_bytes(*node); break;
            case NodeRootKind::Table: hashtable::mark(*node); break;
        }
    }
    marking_section = "root guards";
    for (size_t i = 0; i < guard_count; i++) mark_cell(guards[i]);
    marking_section = "root markers";
    for (auto m : root_markers) m();
    marking_section = "external roots";
    for (auto m : external_roots)
        if (m) m();
    marking_section = "reachable buffers";
    drain();
    marking_section = "owners table";
}

// The heap verifier (collector stress in debug builds, or ZEL_GC_VERIFY=1): after a cycle,
// every node in use names a live buffer that names it back and lies in the heap, every
// buffer's tail is within its size, and no mark is left. Dangling references are caught
// while marking (set_mark).
void verify_heap() {
    using namespace memory;
    for (SeriesFrame* f = frames.first; f; f = f->next) {
        uint8_t* p = f->start();
        while (p < f->heap) {
            auto* b = reinterpret_cast<SeriesBuf*>(p);
            if (b->size % 16 || p + footprint(b) > f->heap) heap_fault("a buffer overruns its frame", b->node);
            if (b->flags & F_IN_USE) {
                if (!live_node(b->node) || node_table[b->node] != b) heap_fault("a buffer's node does not name it", b->node);
                if (b->tail > b->size) heap_fault("a buffer's tail is beyond its size", b->node);
                if (b->flags & F_MARK) heap_fault("a mark outlives its cycle", b->node);
            }
            p += footprint(b);
        }
    }
    for (uint32_t f = 0; f < frames.node_frame_count; f++) {
        if (!frames.node_frames[f].live) continue;
        uint32_t first = f * NODES_PER_FRAME + 1;
        for (uint32_t node = first; node < first + frames.node_frames[f].fresh; node++) {
            uintptr_t v = reinterpret_cast<uintptr_t>(node_table[node]);
            if (node_is_free_link(v)) continue;
            if (v == 0) heap_fault("a node in use names no buffer", node);
            SeriesBuf* b = node_table[node];
            if (!(b->flags & F_EXTERNAL) && !is_heap_buffer(b)) heap_fault("a node names memory outside the heap", node);
            if (b->node != node || !(b->flags & F_IN_USE)) heap_fault("a node names a buffer that is not its own", node);
            if (b->tail > b->size) heap_fault("a buffer's tail is beyond its size", node);
            if (b->tail % b->unit()) heap_fault("a buffer's tail splits a unit", node);
        }
    }
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
    if (state.stress) {
        // Under stress every live buffer moves, also those a slide would leave in place.
        move_big_buffers();
        evacuate_frames(queue_free_node);
        return;
    }
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
    // Return the frames left empty, but the first and the last; they stay spare until the
    // next cycle, for the frames made meanwhile.
    memory::release_spare_frames();
    for (SeriesFrame* f = frames.first; f;) {
        SeriesFrame* next = f->next;
        if (f != frames.first && f != frames.last && f->heap == f->start()) release_series_frame(f, true);
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
    auto flag = [](const char* name) {
        const char* v = std::getenv(name);
        return v && v[0] && v[0] != '0';
    };
    state.stress = flag("ZEL_GC_STRESS");
#ifdef NDEBUG
    state.verify = flag("ZEL_GC_VERIFY");
#else
    state.verify = state.stress || flag("ZEL_GC_VERIFY");
#endif
}

void stress_point() {
    if (state.stress) run_cycle();
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
    if (state.verify) mark_by_layout<true>(c);
    else mark_by_layout<false>(c);
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
    if (state.verify) verify_heap();
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
void set_image_buffer_marker(void (*marker)(uint32_t node)) { image_buffer_marker = marker; }
void remove_external_root(void (*callback)()) {
    for (auto& m : external_roots)
        if (m == callback) { m = nullptr; break; }
}

RootGuard::RootGuard(Cell* c) : depth_(guard_count) {
    if (guard_count == guards.size()) guards.resize(guards.size() * 2);
    guards[guard_count++] = c;
}
RootGuard::~RootGuard() {
#ifndef NDEBUG
    // Guards are released in the reverse order of their making: a guard made later and still
    // registered, or this one already cut off by a catch site, is a rooting fault.
    if (guard_count != depth_ + 1) {
        std::fprintf(stderr, "*** Root guards released out of order (depth %zu, %zu registered)\n", depth_, guard_count);
        std::abort();
    }
#endif
    if (guard_count > depth_) guard_count = depth_;
}
size_t guard_depth() { return guard_count; }
void restore_guard_depth(size_t depth) {
    if (guard_count > depth) guard_count = depth;
}

}  // namespace zel::collector
