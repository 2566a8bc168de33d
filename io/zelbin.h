// Zelbin: the system's binary serialization of values. One value, with every series, context,
// object and function it reaches, becomes a binary! and is rebuilt from it; a series or
// context met twice is written once and referred to by the path at which it was first written,
// so shared buffers and cycles survive.
//
// Two modes share one header, one symbol table and one record model: the plain mode (every
// number a 32-bit little-endian word) and the compact mode (LEB128 numbers, one-byte type
// codes). Both writers produce the user dialect; the reader takes data of either mode, plain
// or compressed with the start-up LZ format, in the user dialect or in the boot dialect of
// the boot image.
//
// Neither side evaluates Zel code, so no collection runs during an encode or a decode. Every
// count, length, symbol reference and path read from the data is checked against what the
// data holds before it is used.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/cell.h"

namespace zel::zelbin {

enum Flags : uint8_t { F_COMPACT = 1, F_COMPRESSED = 2, F_SYMBOLS = 4 };

// `zelbin/encode` and `zelbin/encode-compact`: a new binary! holding the value, written into
// out. Raises access/no-codec for a value that cannot be serialized (routine!, triple!,
// handle!, port!, event!).
void encode(Cell* out, const Cell* value, bool compact);

// `zelbin/decode` (user dialect): decodes len bytes of data, appending the top-level values
// to the block node dest. `data_arg` is the value named by invalid-data errors. Raises
// script/invalid-data for a wrong magic, a header too short or corrupt compressed data, and
// script/zb-invalid-record (with the 1-based byte offset) for damaged records.
void decode(const uint8_t* data, size_t len, uint32_t dest, const Cell* data_arg);

// `zelbin/boot-load`: decodes the boot image (boot dialect: set records, words naming their
// contexts by literal index, objects keeping their class ids) into the block node dest, whose
// cells from its length before the call on are the boot literal table. A wrong magic or
// corrupt compressed data ends the process with a message and status 1.
void boot_load(const uint8_t* image, size_t len, uint32_t dest);

}  // namespace zel::zelbin
