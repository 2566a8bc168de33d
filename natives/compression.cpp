// compress and decompress: raw deflate, zlib and gzip data as binary! values.
#include <algorithm>
#include <new>
#include <string>

#include "core/memory.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/series/string.h"
#include "io/compress.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

using memory::buf;

namespace {

// The largest series buffer a binary can have.
constexpr size_t MAX_BINARY = 0x7FFFFFF0u;

compress::Framing method_of(const Cell* method) {
    uint32_t s = word_symbol(method);
    if (symbol::same_canonical(s, sym(SYM_ZLIB))) return compress::Framing::ZLIB;
    if (symbol::same_canonical(s, sym(SYM_DEFLATE))) return compress::Framing::DEFLATE;
    if (symbol::same_canonical(s, sym(SYM_GZIP))) return compress::Framing::GZIP;
    error::raise(error::ERR_SCRIPT_INVALID_ARG, method);
}

// The bytes of a binary! from its index to its tail.
void binary_bytes(const Cell* bin, const uint8_t** bytes, size_t* n) {
    SeriesBuf* b = buf(series_node(bin));
    size_t head = size_t(std::max(series_head(bin), 0));
    *bytes = b->data() + std::min<size_t>(head, b->tail);
    *n = head < b->tail ? b->tail - head : 0;
}

void set_binary_result(uint32_t node, size_t length) {
    buf(node)->tail = uint32_t(length);
    Cell r;
    set_series(&r, TYPE_BINARY, node);
    stack::set_result(&r);
}

// compress: a string as its UTF-8 bytes, a binary from its index. The first buffer is large
// enough for any input; a smaller answer is still retried with the size asked for.
void compress_(const int32_t* refs) {
    compress::Framing method = method_of(arg(1));
    std::string text;
    const uint8_t* in;
    size_t n;
    if (type_of(arg(0)) == TYPE_BINARY) {
        binary_bytes(arg(0), &in, &n);
    } else {
        text = string::to_utf8(arg(0));
        in = reinterpret_cast<const uint8_t*>(text.data());
        n = text.size();
    }
    size_t want = compress::deflate_bound(n) + 18;
    for (int attempt = 0; attempt < 3; attempt++) {
        if (want > MAX_BINARY) memory::raise_no_memory();
        uint32_t node = memory::new_series(want, 1);
        if (type_of(arg(0)) == TYPE_BINARY) binary_bytes(arg(0), &in, &n);
        size_t len = buf(node)->size;
        int r;
        try {
            switch (method) {
                case compress::Framing::DEFLATE:
                    r = compress::deflate(buf(node)->data(), &len, in, n) ? compress::TOO_SMALL : compress::OK;
                    break;
                case compress::Framing::ZLIB: r = compress::zlib_encode(buf(node)->data(), &len, in, n); break;
                default: r = compress::gzip_encode(buf(node)->data(), &len, in, n); break;
            }
        } catch (std::bad_alloc&) {
            memory::raise_no_memory();
        }
        if (r == compress::OK) return set_binary_result(node, len);
        if (r != compress::TOO_SMALL) break;
        want = len;
    }
    error::raise(error::ERR_SCRIPT_INVALID_DATA, arg(1));
}

// The output series of decompress grows as decoding proves it needs room, never past what
// the data could expand to.
struct Growth {
    uint32_t node;
    size_t bound;
};

uint8_t* grow_output(void* owner, size_t produced, size_t need, size_t* capacity) {
    Growth& g = *static_cast<Growth*>(owner);
    if (need > g.bound) return nullptr;
    if (need > MAX_BINARY) memory::raise_no_memory();   // more than a binary can hold
    SeriesBuf* b = buf(g.node);
    size_t size = std::max(need, std::min({size_t(b->size) * 2, g.bound, MAX_BINARY}));
    b->tail = uint32_t(produced);
    b = memory::grow(g.node, size);
    *capacity = b->size;
    return b->data();
}

uint32_t read_le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// decompress: the first buffer is sized from /size, or for gzip from the trailer's size, or
// else a guess; none of them is trusted beyond what the input could expand to.
void decompress(const int32_t* refs) {
    compress::Framing method = method_of(arg(1));
    const Cell* size = ref_arg(refs, 0);
    if (size && int_value(size) < 0) error::raise(error::ERR_SCRIPT_INVALID_ARG, size);
    const uint8_t* in;
    size_t n;
    binary_bytes(arg(0), &in, &n);
    Growth g{0, compress::expansion_bound(n)};
    size_t hint = 4 * n;
    if (method == compress::Framing::GZIP && n >= 18) hint = read_le32(in + n - 4);
    else if (size) hint = size_t(int_value(size));
    hint = std::min({std::max<size_t>(hint, 64), g.bound, MAX_BINARY});
    g.node = memory::new_series(hint, 1);
    binary_bytes(arg(0), &in, &n);
    compress::GrowableOutput out;
    out.data = buf(g.node)->data();
    out.capacity = buf(g.node)->size;
    out.grow = grow_output;
    out.owner = &g;
    size_t produced = 0;
    int r = compress::decode(method, out, &produced, in, n);
    if (r != compress::OK) error::raise(error::ERR_SCRIPT_INVALID_DATA, arg(1));
    set_binary_result(g.node, produced);
}

}  // namespace

void register_compression() {
    set<SLOT_compress, compress_>();
    set<SLOT_decompress, decompress>();
}

}  // namespace zel::natives
