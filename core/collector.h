// Garbage collector: mark from precise roots, then compact the series frames.
//
// Collections run only at safe points: between two expressions in the interpreter, and in
// `recycle`. They may move every series buffer (node ids stay valid). The rule for native
// code follows: any call that can evaluate Zel code may move every buffer and change any
// series. After such a call, re-derive buffer pointers from nodes. A value needed across the
// call lives in a value-stack cell or under a RootGuard.
//
// Roots, by section (mark_roots): the registered static cells and node roots, the RootGuard
// stack, the root markers of other units (value stack and call frames, symbol table, lexer
// states ...), and the external root callbacks.
#pragma once
#include <cstdint>
#include <vector>

#include "core/cell.h"

namespace zel::collector {

struct State {
    uint32_t cycles = 0;
    bool active = false;      // allocation-triggered collections only while set
    bool collecting = false;
    bool stress = false;      // ZEL_GC_STRESS: collect and move every buffer at every safe point
    bool verify = false;      // heap verifier after each cycle (stress in debug builds, ZEL_GC_VERIFY)
};
extern State state;

void init();
// One full cycle, whatever the active flag (recycle).
void run_cycle();

void collect_at_safe_point();
// A cycle under stress only, whatever the active flag: start-up calls it between its steps.
void stress_point();
// Called between expressions: collects when the allocation budget is spent (or always under
// stress). Cheap when nothing is due.
inline void safe_point();

// The node-release queue: a dead node (0 is ignored) waits there until the queue is flushed
// (when full, and once per cycle after the sweep), which returns the nodes to their frames.
void queue_free_node(uint32_t node);
void flush_free_nodes();

// ---- marking, for root markers and external roots ----
void mark_cell(const Cell* c);
void mark_cells(const Cell* first, const Cell* end);
// Marks a buffer of cells and, transitively, everything its cells reach.
void mark_node_cells(uint32_t node);
// Marks a buffer whose contents hold no references.
void mark_node_bytes(uint32_t node);
bool is_marked(uint32_t node);
// Marks everything reachable from the buffers marked so far (a root section that marks in
// steps, as the owners table does after the other roots, calls it between steps).
void drain_marks();

// ---- root registration ----
// A C++ static cell that holds a value for the life of the process.
void register_static_cell(Cell* c);
enum class NodeRootKind { Cells, Bytes, Table };
// A C++ static that holds a node id.
void register_node_root(uint32_t* node, NodeRootKind kind);
// A unit's own root section (value stack, frames, lexer states ...).
void add_root_marker(void (*marker)());
// External root callbacks (slots are not reused after removal).
void add_external_root(void (*callback)());
void remove_external_root(void (*callback)());
// Called for every reachable image! buffer, after the buffer is marked, so that the image
// layer marks the externals record the buffer names (set by the image! unit when it registers).
void set_image_buffer_marker(void (*marker)(uint32_t node));

// Keeps C++ local cells alive across safe points, in LIFO order.
class RootGuard {
public:
    explicit RootGuard(Cell* c);
    RootGuard(const RootGuard&) = delete;
    RootGuard& operator=(const RootGuard&) = delete;
    ~RootGuard();
private:
    size_t depth_;
};
// A C++ local cell, unset at first, kept alive across safe points for its scope.
class RootedCell {
public:
    RootedCell() : guard_(&cell_) { cell_ = Cell{TYPE_UNSET, 0, 0, 0}; }
    Cell* operator&() { return &cell_; }
    Cell& operator*() { return cell_; }
    Cell* operator->() { return &cell_; }
private:
    Cell cell_;
    RootGuard guard_;
};

// The guard stack's depth, saved and restored by unwinding catch sites.
size_t guard_depth();
void restore_guard_depth(size_t depth);

}  // namespace zel::collector

#include "core/memory.h"

namespace zel::collector {
inline void safe_point() {
    if (memory::collection_wanted || state.stress) collect_at_safe_point();
}
}  // namespace zel::collector
