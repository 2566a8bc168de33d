// Deflate (RFC 1951) with zlib (RFC 1950) and gzip (RFC 1952) framing: the system's own
// compressor and decoder, behind the compress and decompress natives.
//
// Every routine works on whole buffers in one call and writes into an output buffer the
// caller owns: `*len` holds the output capacity on entry and the bytes produced (or needed)
// on return. A buffer that is too small is reported with the exact size to retry with. No
// routine reads outside its input or writes outside its output, whatever the data.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zel::compress {

// The result codes shared by the decoders and the framings.
enum Result : int {
    OK = 0,
    TOO_SMALL = 1,          // the output buffer is too small; *len holds the size needed
    BAD_DATA = 2,           // wrong header, checksum mismatch, truncated or trailing data
    STORED_PAST_INPUT = 3,  // a stored block longer than the input left
    BAD_BLOCK_TYPE = 4,     // block type 3
    BAD_DISTANCE = 5,       // a distance reaching before the start of the output
};

// `compress/deflate`: a raw deflate stream of the input. Returns true when the output buffer
// was too small (*len then holds the size needed), false when the stream fit.
bool deflate(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len);

// `compress/inflate`: decodes a raw deflate stream. Bytes past the capacity are counted, not
// stored, so TOO_SMALL comes back with the full size.
int inflate(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len);

int zlib_encode(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len);
int zlib_decode(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len);
int gzip_encode(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len);
int gzip_decode(uint8_t* out, size_t* len, const uint8_t* in, size_t in_len);

// An output the decoder may grow instead of overflowing (the natives decode into a series
// this way, so that no size read from the data is trusted). grow is asked for room for at
// least `need` bytes in all; it returns the new buffer (contents kept) and its capacity, or
// nullptr to refuse, after which the decoder only counts.
struct GrowableOutput {
    uint8_t* data = nullptr;
    size_t capacity = 0;
    uint8_t* (*grow)(void* owner, size_t produced, size_t need, size_t* capacity) = nullptr;
    void* owner = nullptr;
};

// The framings decoded into a growable output; *produced receives the bytes produced (or
// needed when the output refused to grow).
enum class Framing { DEFLATE, ZLIB, GZIP };
int decode(Framing framing, GrowableOutput& out, size_t* produced, const uint8_t* in, size_t in_len);

// The most bytes a deflate stream of in_len bytes can decode to (258 bytes for every two
// bits), plus slack: sizes read from compressed data are only hints below this bound.
inline size_t expansion_bound(size_t in_len) { return in_len * 1032 + 64; }

// The largest output deflate can give for in_len bytes (stored blocks and their headers).
size_t deflate_bound(size_t in_len);

}  // namespace zel::compress
