// Frame bookkeeping of the memory manager, shared with the collector only.
#pragma once
#include <cstdint>
#include <vector>

#include "core/memory.h"

namespace zel::memory {

constexpr uint32_t NODES_PER_FRAME = 10000;
constexpr uint32_t MAX_NODE_FRAMES = 8192;
constexpr size_t INITIAL_FRAME_SIZE = 1u << 20;   // 1 MB
constexpr size_t FRAME_SIZE_CAP = 2u << 20;       // 2 MB, also the big-buffer threshold
constexpr size_t MIN_FRAME_ROOM = 52428;          // a frame with less room is not worth filling

struct SeriesFrame {
    SeriesFrame* next;
    SeriesFrame* prev;
    size_t total;     // OS block size
    uint8_t* heap;    // first free byte
    uint8_t* end;     // one past the frame
    uint64_t pad;
    uint8_t* start() { return reinterpret_cast<uint8_t*>(this + 1); }
};
static_assert(sizeof(SeriesFrame) % 16 == 0);

struct BigBlock {
    BigBlock* next;
    size_t total;     // OS block size
    SeriesBuf* buffer() { return reinterpret_cast<SeriesBuf*>(this + 1); }
};
static_assert(sizeof(BigBlock) % 16 == 0);

struct NodeFrame {
    bool live = false;
    uint32_t free_head = 0;   // first free node id, 0 when the free list is empty
    uint32_t fresh = 0;       // nodes from the frame's start taken at least once; none after
                              // them is in use (their entries read as 0 or as free links)
    uint32_t in_use = 0;
    bool taken = false;       // a node was taken since the last review
};

struct FrameLists {
    SeriesFrame* first = nullptr;
    SeriesFrame* last = nullptr;
    SeriesFrame* current = nullptr;
    size_t next_frame_size = INITIAL_FRAME_SIZE;
    BigBlock* big = nullptr;
    NodeFrame node_frames[MAX_NODE_FRAMES];
    uint32_t node_frame_count = 0;   // frames ever made (highest index + 1)
    uint32_t current_node_frame = 0;
    size_t total_reserved = 0;
    size_t allocated_since_collection = 0;
    size_t collection_budget = 8u << 20;
    std::vector<uint32_t> external_nodes;   // series allocated outside the frames
};
extern FrameLists frames;

inline bool node_is_free_link(uintptr_t v) { return (v & 1) != 0; }
inline bool has_free_node(const NodeFrame& nf) { return nf.free_head != 0 || nf.fresh < NODES_PER_FRAME; }
inline uint32_t node_frame_of(uint32_t node) { return (node - 1) / NODES_PER_FRAME; }
inline size_t footprint(const SeriesBuf* b) { return sizeof(SeriesBuf) + b->size; }

// Puts a dead node back on its frame's free list.
void free_node(uint32_t node);
// Unlinks an empty series frame. With keep set it stays mapped as a spare for the next new
// frame until release_spare_frames; else it goes back to the OS.
void release_series_frame(SeriesFrame* f, bool keep = false);
// Returns the spare series frames to the OS.
void release_spare_frames();
// Unlinks an empty series frame and returns it to the OS.
void release_series_frame(SeriesFrame* f);

// ---- collector stress: every live buffer moves at every cycle ----
// Copies every marked buffer of the series frames into another frame (release_node takes
// the nodes of dead ones) and poisons what they leave; the frame left is kept for the next
// evacuation, so that the copies land at other addresses each time.
void evacuate_frames(void (*release_node)(uint32_t node));
// Moves every marked big buffer to a new address (its pages are remapped); the old
// addresses are unmapped.
void move_big_buffers();
// True when p lies in the used part of a series frame or is a big buffer (the heap verifier).
bool is_heap_buffer(const SeriesBuf* b);
// Releases every unmarked big buffer and clears the marks of the others; the nodes of the
// released buffers go to release_node. Released blocks are kept as spares for later big
// buffers when keep_spares is set, else returned to the OS.
void sweep_big_buffers(void (*release_node)(uint32_t node), bool keep_spares);
// Returns node frames without nodes in use from which no node was taken since the previous
// review; picks the current frame.
void review_node_frames(uint32_t cycle);
// Fills freed memory with a poison byte (stress mode), so stale pointers read garbage.
void poison(void* p, size_t n);

}  // namespace zel::memory
