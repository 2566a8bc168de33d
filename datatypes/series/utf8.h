// Strict UTF-8 (RFC 3629): overlong forms and surrogates are invalid; U+FFFE and U+FFFF are
// ordinary characters. One decoder serves the lexer and all text decoding.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace zel::utf8 {

constexpr uint32_t INVALID = 0xFFFFFFFFu;

// Decodes one code point at p (n bytes available). Sets len to the bytes taken; returns
// INVALID (len = 1) for a malformed or cut sequence.
uint32_t decode(const uint8_t* p, size_t n, size_t& len);
// Appends the encoding of cp.
void encode(std::string& out, uint32_t cp);
// Bytes of the encoding of cp.
inline size_t encoded_length(uint32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

}  // namespace zel::utf8
