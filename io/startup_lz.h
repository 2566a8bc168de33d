// The start-up LZ format: the system's own small LZ77 format of compressed start-up data
// (the boot image payload). Layout, all integers 32-bit little-endian: payload size,
// uncompressed size, then chunks until the payload is used up. A chunk is its output size n
// (1 to 1,048,576) followed by a least-significant-bit-first stream that produces exactly n
// bytes and ends at a byte boundary; references reach only into the chunk's own output.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zel::startup_lz {

constexpr size_t MAX_CHUNK = 1048576;

// `startup-lz/decompress`: decodes a compressed block of block_len bytes into a new buffer
// (released with startup_lz::free), storing the bytes produced in *out_size when given.
// Returns nullptr for corrupt data: a payload that does not fit the block, an uncompressed
// size beyond what the payload could hold, a chunk size out of range, output past the
// uncompressed size, a reference before the chunk, a copy past the chunk, or a bit stream
// that runs past the payload.
uint8_t* decompress(const uint8_t* block, size_t block_len, size_t* out_size);
// `startup-lz/free`
void free(uint8_t* buffer);

}  // namespace zel::startup_lz
