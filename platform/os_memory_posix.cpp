// POSIX page memory (mmap/munmap/madvise).
#include "platform/os_memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace zel::platform {

void* allocate_pages(size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

bool free_pages(void* address, size_t size) { return munmap(address, size) == 0; }

void* reserve_address_space(size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void discard_pages(void* address, size_t size) { madvise(address, size, MADV_DONTNEED); }

size_t page_size() { return (size_t)sysconf(_SC_PAGESIZE); }

}  // namespace zel::platform
