// Huffman code construction for the deflate compressor: length-limited code lengths from
// symbol frequencies, and the canonical codes of RFC 1951 for given lengths.
#pragma once
#include <cstdint>

namespace zel::compress {

// `compress/huffman-lengths`: code lengths (at most limit bits) for n symbols. Symbols with
// frequency 0 get length 0, except that at least two symbols always get a code (a tree of
// one symbol is not a code).
void huffman_lengths(const uint32_t* freq, int n, int limit, uint8_t* lengths);

// `compress/canonical-codes`: the canonical code of every symbol with a non-zero length,
// bit-reversed within its length (deflate writes codes least significant bit first).
void canonical_codes(const uint8_t* lengths, int n, uint16_t* codes);

}  // namespace zel::compress
