// UTF-8 byte sequences, strict as RFC 3629 says: overlong forms (C0 and C1 leads, overlong 3-
// and 4-byte forms), surrogates D800-DFFF and values above 10FFFF are invalid; U+FFFE and
// U+FFFF are ordinary characters. One decoder serves the lexer and all text decoding.
//
// Nothing here allocates. The encoders that take a code point raise script/invalid-char for
// one above 0x10FFFF (`utf8/char-length`, `utf8/encode-char`, `utf8/encode-char-bounded`).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace zel::utf8 {

constexpr uint32_t INVALID = 0xFFFFFFFFu;
constexpr uint32_t REPLACEMENT = 0xFFFD;

// Decodes one code point at p (n bytes available). Sets len to the bytes taken; returns
// INVALID (len = 1) for a malformed or cut sequence.
uint32_t decode(const uint8_t* p, size_t n, size_t& len);
// The same where text must go on: a malformed or cut sequence gives U+FFFD (len = 1).
inline uint32_t decode_or_replace(const uint8_t* p, size_t n, size_t& len) {
    uint32_t cp = decode(p, n, len);
    return cp == INVALID ? REPLACEMENT : cp;
}
// True when the n bytes at p (fewer than their lead byte announces) could still become a
// valid sequence: the input was cut short, not malformed.
bool is_cut(const uint8_t* p, size_t n);
// `utf8/decode-step`: decodes at p (before end); returns the pointer past the sequence and
// sets cp, or -1 with the one rejected byte consumed.
const uint8_t* decode_step(const uint8_t* p, const uint8_t* end, int32_t& cp);
// `utf8/count-chars`: code points between p and end (a rejected byte counts as one).
size_t count_chars(const uint8_t* p, const uint8_t* end);
// `utf8/skip-chars`: the pointer after n code points, stopping early at end.
const uint8_t* skip_chars(const uint8_t* p, const uint8_t* end, size_t n);
// `utf8/sequence-length`: 4, 3 or 2 by the top bits of a lead byte; 0 for ASCII and
// continuation bytes.
inline int sequence_length(uint8_t lead) {
    return (lead & 0xF0) == 0xF0 ? 4 : (lead & 0xE0) == 0xE0 ? 3 : (lead & 0xC0) == 0xC0 ? 2 : 0;
}

// Bytes of the encoding of cp (no check).
inline size_t encoded_length(uint32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }
// `utf8/char-length`: the same, raising for a value above 0x10FFFF.
int char_length(uint32_t cp);
// Appends the encoding of cp (no check).
void encode(std::string& out, uint32_t cp);
// `utf8/encode-char`: writes 1 to 4 bytes at dst; returns the count.
int encode_char(uint32_t cp, uint8_t* dst);
// `utf8/encode-char-bounded`: writes only the leading bytes of the sequence that fit room
// (none when room <= 0); returns the count written.
int encode_char_bounded(uint32_t cp, uint8_t* dst, int64_t room);

}  // namespace zel::utf8
