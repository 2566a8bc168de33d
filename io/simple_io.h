// `simple-io`: reading and writing whole files, directory listings, delete, rename and query,
// as file! values see them. File names are file! (or other text) values whose text is the
// POSIX path; results are language values. None of these evaluates Zel code.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/cell.h"

namespace zel::simple_io {

// `simple-io/dir-path?`: the path ends in "/" or "\", is "." or "..", or ends in a slash
// followed by "." or "..".
bool is_dir_path(const Cell* file);

// The native path of a file! (its text from the head, as UTF-8).
std::string native_path(const Cell* file);

// Builds the value of bytes read from a file or a reply: a binary!, a block! of lines (cut
// at LF, a CR before an LF dropped) or a string! decoded from UTF-8 (a malformed sequence
// raises access/invalid-utf8).
void bytes_to_value(Cell* out, const uint8_t* bytes, size_t n, bool binary, bool lines);

// `simple-io/read`: a directory path lists the directory, anything else reads the file
// (part: a byte count, seek: a byte offset, either integer! or float! or nullptr).
// Raises access/cannot-open with the file when it cannot be opened or read.
void read(Cell* out, const Cell* file, const Cell* part, const Cell* seek, bool binary, bool lines);

// `simple-io/read-dir`: a block of file! names; raises access/cannot-open.
void read_dir(Cell* out, const Cell* dir);

// `simple-io/write`: writes the data to the file (nullptr: the standard output). A string is
// written as UTF-8, a binary! as its bytes, anything else formed; part limits the data (code
// points or bytes); with lines a block is written one value per line, each followed by LF,
// and other data gets a final LF. A seek that is not an integer raises
// script/invalid-refine-arg, a negative one too. Raises access/cannot-open with the file
// when the file cannot be opened or not every byte could be written.
void write(const Cell* file, const Cell* data, const Cell* part, const Cell* seek, bool append, bool lines,
           bool final_line_end = false);

// `simple-io/delete`: removes the directory (a directory path) or the file; true when done.
bool delete_path(const Cell* file);
// `simple-io/rename`: true when done.
bool rename(const Cell* from, const Cell* to);
// `simple-io/query`: the last write time as a UTC date!, or none (missing, or a directory
// path that names no directory).
void query(Cell* out, const Cell* file);

}  // namespace zel::simple_io
