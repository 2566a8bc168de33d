// Text output (print prin) and the memory natives (stats recycle).
#include <string>

#include "core/actions.h"
#include "core/collector.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/memory_frames.h"
#include "core/print_hooks.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

using memory::buf;

namespace {

bool last_lf = false;

// The native buffer block: print and prin reduce a block argument into it, after whatever an
// outer print is holding there, and give the space back afterwards.
uint32_t print_buffer = 0;

uint32_t buffer_node() {
    if (!print_buffer) {
        print_buffer = memory::new_cell_series(32);
        collector::register_node_root(&print_buffer, collector::NodeRootKind::Cells);
    }
    return print_buffer;
}

// Gives the buffer space taken by one print back when the print ends, also when an error
// passes through.
struct BufferSpace {
    uint32_t from;   // the cell where this print's values start
    explicit BufferSpace(uint32_t node) : from(buf(node)->length()) {}
    ~BufferSpace() {
        SeriesBuf* b = buf(print_buffer);
        if (b->length() > from) b->tail = from * uint32_t(sizeof(Cell));
    }
};

// natives/print-value: the shared body of print and prin.
void print_value(bool new_line) {
    Cell* value = arg(0);
    std::string text;
    if (type_of(value) == TYPE_BLOCK) {
        uint32_t node = buffer_node();
        BufferSpace space(node);
        uint32_t index = uint32_t(series_head(value) < 0 ? 0 : series_head(value));
        while (index < buf(series_node(value))->length()) {
            index = interp::eval_next(value, index, true);
            if (stack::unwinding()) return;
            Cell* v = stack::top - 1;
            set_new_line(v, false);
            block::append(node, v);
            stack::top--;
        }
        Cell reduced;
        set_series(&reduced, TYPE_BLOCK, node, int32_t(space.from));
        Cell* formed = stack::push();
        set_none(formed);
        actions::form_value(formed, &reduced);
        text = string::to_utf8(formed);
    } else if (type_of(value) == TYPE_STRING) {
        text = string::to_utf8(value);
    } else {
        Cell* formed = stack::push();
        set_none(formed);
        actions::form_value(formed, value);
        text = string::to_utf8(formed);
    }
    print_hooks::call_print(text, new_line);
    last_lf = new_line;
    Cell nothing;
    set_unset(&nothing);
    stack::set_result(&nothing);
}

}  // namespace

bool last_line_feed() { return last_lf; }

namespace {

void print(const int32_t* refs) {
    print_value(true);
}

void prin(const int32_t* refs) {
    print_value(false);
}

// ---- memory ----

// A byte or node count as integer!, or float! above the integer range.
void set_count(Cell* c, uint64_t n) {
    if (n > 2147483647u) set_float(c, double(n));
    else set_integer(c, int32_t(n));
}

void append_count(uint32_t node, uint64_t n) {
    Cell c;
    set_count(&c, n);
    block::append(node, &c);
}

// A block of [free used total] appended to node.
void append_triple(uint32_t node, uint64_t free, uint64_t used, uint64_t total) {
    Cell b;
    block::init_cell(&b, 3);
    uint32_t bn = series_node(&b);
    append_count(bn, free);
    append_count(bn, used);
    append_count(bn, total);
    block::append(node, &b);
}

// stats/memory-info: node frames, series frames (each [free used total]), big buffer sizes,
// the total taken from the operating system and the total of the runtime's own heap blocks
// (not tracked separately here: 0).
void memory_info(Cell* out) {
    block::init_cell(out, 5);
    uint32_t node = series_node(out);
    const memory::FrameLists& f = memory::frames;

    Cell nodes;
    block::init_cell(&nodes, 4);
    block::append(node, &nodes);
    for (uint32_t i = 0; i < f.node_frame_count; i++) {
        const memory::NodeFrame& nf = f.node_frames[i];
        if (!nf.live) continue;
        append_triple(series_node(&nodes), memory::NODES_PER_FRAME - nf.in_use, nf.in_use, memory::NODES_PER_FRAME);
    }

    Cell frames;
    block::init_cell(&frames, 4);
    block::append(node, &frames);
    for (memory::SeriesFrame* s = f.first; s; s = s->next) {
        uint64_t total = uint64_t(s->end - s->start());
        uint64_t used = uint64_t(s->heap - s->start());
        append_triple(series_node(&frames), total - used, used, total);
    }

    Cell big;
    block::init_cell(&big, 4);
    block::append(node, &big);
    for (memory::BigBlock* b = f.big; b; b = b->next) append_count(series_node(&big), b->total);

    append_count(node, memory::total_reserved());
    append_count(node, 0);
}

// The bytes in use in the node frames (one table entry per live node), the series frames and
// the big buffers.
uint64_t bytes_in_use() {
    return uint64_t(memory::bytes_in_use()) + uint64_t(memory::nodes_in_use()) * sizeof(SeriesBuf*);
}

void stats(const int32_t* refs) {
    bool show = used(refs, 0), info = used(refs, 1);
    Cell r;
    if (show || info) {
        Cell* block = stack::push();
        set_none(block);
        memory_info(block);
        if (info && !show) {
            stack::set_result(block);
            return;
        }
        // /show: the library's show-memory-stats prints the block.
        Cell* fn = word::global_value("show-memory-stats");
        if (fn && is_callable_type(type_of(fn))) {
            Cell f = *fn;
            collector::RootGuard keep(&f);
            Cell* a = stack::push_copy(block);
            interp::call_with_args_status(&f, symbol::intern("show-memory-stats"), a, 1);
            if (stack::unwinding()) return;
        }
        set_unset(&r);
    } else {
        set_count(&r, bytes_in_use());
    }
    stack::set_result(&r);
}

void recycle(const int32_t* refs) {
    Cell r;
    if (used(refs, 0) || used(refs, 1)) {
        collector::state.active = used(refs, 0);
        set_unset(&r);
    } else {
        collector::run_cycle();
        set_count(&r, bytes_in_use());
    }
    stack::set_result(&r);
}

}  // namespace

void register_output() {
    set<SLOT_print, print>();
    set<SLOT_prin, prin>();
    set<SLOT_stats, stats>();
    set<SLOT_recycle, recycle>();
}

}  // namespace zel::natives
