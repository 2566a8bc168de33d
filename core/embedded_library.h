// The library source files (library/*.zel), embedded at build time in file-name order.
#pragma once
#include <cstddef>

namespace zel::embedded {

struct LibraryFile {
    const char* name;
    const char* text;
    size_t length;
};

extern const LibraryFile library_files[];
extern const int library_file_count;

}  // namespace zel::embedded
