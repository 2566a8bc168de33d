// The plain checksums: CRC-32 (ISO 3309, reflected polynomial 0xEDB88320) and Adler-32. The
// gzip and zlib framings of the compression code call them directly.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zel::checksum {

// `checksum/crc32`: the CRC-32 of n bytes (register starts at all ones, result complemented).
uint32_t crc32(const uint8_t* bytes, size_t n);
// `checksum/adler32`: the Adler-32 of n bytes (1 for none).
uint32_t adler32(const uint8_t* bytes, size_t n);

}  // namespace zel::checksum
