// file! and url!: strings with a type of their own (string! cell and buffer, every series
// action of string!). What differs: their mold, the joining of a path element, building a
// url! from a block, the local path of a file!, and percent-encoding and -decoding of text.
//
// The text of a file! uses "/" as its only separator; on this system it is the POSIX path
// itself (UTF-8), so the local form of a file is its text.
//
// None of these functions evaluates Zel code. Those taking a target node may grow it:
// re-derive every SeriesBuf* after calling them.
#pragma once
#include <cstdint>
#include <string>

#include "core/cell.h"

namespace zel::url {

// The mode of percent_encode that keeps only the unreserved characters (letters, digits and
// - . _ ~); any other mode keeps every character a molded file! or url! may show bare.
constexpr int MODE_UNRESERVED = 0xFE;
constexpr int MODE_FILE = 0xFF;

// Whether an ASCII code may stand bare in a molded file! or url! (`file-char-table`).
bool is_file_char(uint32_t c);
// Whether an ASCII code is unreserved (`url-unreserved-table`).
bool is_unreserved(uint32_t c);

// `url/percent-encode`: appends the percent-encoded UTF-8 form of the text of source (from its
// head) to target, a string node (upper-case hex digits).
void percent_encode(const Cell* source, uint32_t target, int mode);
// `url/percent-decode`: appends the text of source (from its head) to target with every valid
// %XX escape decoded; escapes of a UTF-8 sequence make one code point (U+FFFD when malformed);
// a "%" that starts no valid escape is kept as it stands.
void percent_decode(const Cell* source, uint32_t target);

// `file/to-windows-path`: appends the Windows spelling of the file (from its head) to target:
// "/" becomes "\", a leading one-letter segment a drive (/c/x gives c:\x), a leading other
// segment a UNC path. With full, a relative file gets the current directory in front.
void to_windows_path(const Cell* file, uint32_t target, bool full);
// The local (POSIX) path of a file! or string!: its text from the head; with full, a relative
// path gets the current directory and "/" in front.
std::string to_local_path(const Cell* file, bool full);

}  // namespace zel::url
