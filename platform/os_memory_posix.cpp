// POSIX page memory (mmap/munmap/madvise).
#include "platform/os_memory.h"

#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

namespace zel::platform {

namespace {
constexpr size_t HUGE_PAGE_HINT = size_t(4) << 20;
}  // namespace

void* allocate_pages(size_t size, bool populate) {
    // Pages mapped in one call cost far less than a fault each; large blocks rely on huge
    // pages instead.
    int extra = populate && size < HUGE_PAGE_HINT ? MAP_POPULATE : 0;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | extra, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    // Large blocks ask for huge pages: one fault per 2 MB instead of one per page.
    if (size >= HUGE_PAGE_HINT) madvise(p, size, MADV_HUGEPAGE);
    return p;
}

bool free_pages(void* address, size_t size) { return munmap(address, size) == 0; }

void* reserve_address_space(size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void commit_pages(void* address, size_t size) {
#ifdef MADV_POPULATE_WRITE
    // The range need not be page-aligned: widen it to whole pages.
    uintptr_t page = page_size();
    uintptr_t from = reinterpret_cast<uintptr_t>(address) & ~(page - 1);
    uintptr_t to = (reinterpret_cast<uintptr_t>(address) + size + page - 1) & ~(page - 1);
    madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)address;
    (void)size;
#endif
}

void discard_pages(void* address, size_t size) { madvise(address, size, MADV_DONTNEED); }

void* move_pages(void* address, size_t size) {
    // A fresh reservation is the destination: the move cannot land where the pages were.
    void* dest = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (dest == MAP_FAILED) return nullptr;
    void* moved = mremap(address, size, size, MREMAP_MAYMOVE | MREMAP_FIXED, dest);
    if (moved == MAP_FAILED) {
        munmap(dest, size);
        return nullptr;
    }
    return moved;
}

size_t page_size() { return (size_t)sysconf(_SC_PAGESIZE); }

}  // namespace zel::platform
