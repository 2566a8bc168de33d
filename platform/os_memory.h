// Page memory from the operating system: the only place that maps and unmaps memory.
#pragma once
#include <cstddef>

namespace zel::platform {

// Maps size bytes of zero-filled read-write memory; returns nullptr when the system refuses.
// populate maps every page at once (for memory that is about to be filled from its start).
void* allocate_pages(size_t size, bool populate = false);
// Returns pages from allocate_pages; false when the system refuses to take them back.
bool free_pages(void* address, size_t size);
// Reserves address space without committing it (pages commit on first touch).
void* reserve_address_space(size_t size);
// Maps the pages of a reserved range at once, for a range about to be written from its start
// (one call instead of a fault a page). Nothing when the system cannot: the pages then commit
// on first touch as before.
void commit_pages(void* address, size_t size);
// Gives the pages of a committed range back to the system; they read as zero afterwards.
void discard_pages(void* address, size_t size);
// Moves pages from allocate_pages to a new address without copying their contents; the old
// addresses are unmapped afterwards (a stale pointer into them faults). Returns the new
// address, or nullptr (the pages stay where they were) when the system refuses.
void* move_pages(void* address, size_t size);
size_t page_size();

}  // namespace zel::platform
