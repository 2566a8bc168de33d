// The routines of the Zelbin codec (system/codecs/zelbin): encode* and decode. The library
// source puts them into the codec object.
#include "library/zelbin_codec.h"

#include "core/error.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/routines.h"
#include "core/stack.h"
#include "core/block.h"
#include "io/lexer.h"
#include "io/zelbin.h"

namespace zel::library {

namespace {

using memory::buf;

// encode*: the value serialized, compact or plain.
void encode_routine(Cell* args) {
    Cell result;
    zelbin::encode(&result, &args[0], logic_value(&args[1]));
    args[0] = result;
}

// decode: a binary from its index (a file or URL is read first); one value comes back as
// itself, several as a block.
void decode_routine(Cell* args) {
    Cell* payload = &args[0];
    uint32_t t = type_of(payload);
    if (t == TYPE_FILE || t == TYPE_URL) {
        // read/binary payload
        Cell* code = stack::push();
        lexer::load_utf8(code, "read/binary");
        block::append(series_node(code), payload);
        interp::eval_block(code, false);
        if (stack::unwinding()) return;
        *payload = *(stack::top - 1);
        t = type_of(payload);
    }
    if (t != TYPE_BINARY) error::raise(error::ERR_SCRIPT_INVALID_DATA, payload);
    SeriesBuf* b = buf(series_node(payload));
    size_t head = size_t(series_head(payload) < 0 ? 0 : series_head(payload));
    size_t n = head < b->tail ? b->tail - head : 0;
    if (n <= 10) error::raise(error::ERR_SCRIPT_INVALID_DATA, payload);
    Cell* dest = stack::push();
    block::init_cell(dest, 8);
    zelbin::decode(buf(series_node(payload))->data() + head, n, series_node(dest), payload);
    SeriesBuf* d = buf(series_node(dest));
    args[0] = d->length() == 1 ? d->cells()[0] : *dest;
}

}  // namespace

void define_zelbin_routines() {
    routines::define("zelbin-encode*", "data [any-type!] compact? [logic!]", encode_routine);
    routines::define("zelbin-decode", "payload [any-type!]", decode_routine);
}

}  // namespace zel::library
