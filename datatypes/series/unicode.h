// Text encodings between strings (code points in units of 1, 2 or 4 bytes) and the byte
// forms text takes outside the runtime: UTF-8, UTF-16LE and the code page 1251. The decoders
// into string buffers (UTF-8, UTF-16LE) and the UTF-8 sizing live in string.h with the
// storage they fill; here are the encoders into caller memory and into a string's scratch
// buffer, and the single-character and code-page conversions.
//
// Scratch buffer: the third data word of a text cell holds the node of a byte series that
// receives encoded copies of that value. It is made on first use, grown (never shrunk) when a
// later conversion needs more, and valid until the next conversion of the same cell; cell
// copies share it. Conversions into it may allocate (never collect) and evaluate nothing.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/cell.h"

namespace zel::unicode {

// `unicode/scratch-buffer`: the address of at least n bytes in the cell's scratch buffer.
uint8_t* scratch_buffer(Cell* str, size_t n);

// `unicode/decode-utf8-sequence`: one code point at p, count holding the bytes left; sets
// count to the bytes used. Returns utf8::INVALID when fewer bytes are left than the lead byte
// announces (and they could still become a valid sequence); raises access/invalid-utf8 with
// the bytes of a malformed sequence.
uint32_t decode_utf8_sequence(const uint8_t* p, size_t& count);

// `unicode/encode-utf8-into`: the UTF-8 of the string from its head, at most limit code points
// (limit < 0: to the tail), then a NUL byte when asked; returns the bytes written without the
// NUL. The caller gives enough room (string::utf8_size). Raises script/invalid-char above
// 0x10FFFF.
size_t encode_utf8_into(const Cell* str, uint8_t* dst, int64_t limit, bool nul);
// `unicode/encode-utf8-bounded`: the same within room bytes (the last character possibly
// cut); limit <= 0 or not below the length means all; the NUL, when asked, also fits the room.
size_t encode_utf8_bounded(const Cell* str, uint8_t* dst, size_t room, int64_t limit, bool nul);

// `unicode/to-wide-text-part`: NUL-terminated UTF-16LE of the string from its head in its
// scratch buffer, at most count code points (count < 0: all), a CR before each LF when cr is
// set. count receives the units written (inserted CRs and second halves of pairs included,
// NUL excluded). Returns nullptr when the text holds a code point above 0x10FFFF.
const uint16_t* to_wide_text_part(Cell* str, int64_t& count, bool cr);
// `unicode/to-wide-text`: the whole string, each LF written as CR LF.
const uint16_t* to_wide_text(Cell* str);

// `unicode/encode-utf16le-char`: one unit below 0x10000, else a surrogate pair (cp at most
// 0x10FFFF); returns the units written.
int encode_utf16le_char(uint32_t cp, uint16_t* dst);
// `unicode/latin1-to-utf16`: each byte of the NUL-terminated text as one unit, then a NUL
// unit; returns the units written without the NUL.
size_t latin1_to_utf16(const char* text, uint16_t* dst);

// `unicode/decode-cp1251`: 8-bit text of code page 1251 into target_node (its old content
// replaced, its unit kept or widened) or a new buffer; with cr, CR LF and a lone CR become LF.
// Returns the buffer's node.
uint32_t decode_cp1251(const uint8_t* text, size_t n, uint32_t target_node, bool cr);

}  // namespace zel::unicode
