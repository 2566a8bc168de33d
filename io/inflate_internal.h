// The decoder's entry for the framings: decodes into a growable output and also says how
// many input bytes the deflate stream took.
#pragma once
#include <cstddef>
#include <cstdint>

#include "io/compress.h"

namespace zel::compress {

int inflate_into(GrowableOutput& out, size_t* produced, const uint8_t* in, size_t in_len, size_t* consumed);

}  // namespace zel::compress
