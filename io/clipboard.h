// `clipboard`: the clipboard of the running process. This build has no windowing layer, so
// the clipboard lives in the process: what `write` puts there, `read` gives back (a copy).
#pragma once
#include "core/cell.h"

namespace zel::clipboard {

// `clipboard/read`: a string!, a block! of file! values, an image!, or none when empty.
void read(Cell* out);

// `clipboard/write`: none empties the clipboard; a string!, a block! (of files) or an image!
// is put there. Another datatype raises script/invalid-arg. True when it was placed.
bool write(const Cell* value);

}  // namespace zel::clipboard
