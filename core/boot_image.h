// The boot image: the library's code in the Zelbin format (compact, with its symbol table,
// uncompressed), written at build time by tools/boot_image.cpp from library/*.zel and
// embedded in the executable. Its one top-level value is a block of file names and code
// blocks, in file-name order.
#pragma once
#include <cstddef>

namespace zel::embedded {

extern const unsigned char boot_image[];
extern const size_t boot_image_size;

}  // namespace zel::embedded
