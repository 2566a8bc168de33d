// Natives of the text encodings of values: percent escapes (dehex, enhex), the base encodings
// (debase, enbase) and the local spelling of a file (to-local-file). The work is the binary!
// and url! datatypes'; these natives fix the arguments, defaults and errors. None of them
// evaluates Zel code.
#include <string>

#include "core/error.h"
#include "core/memory.h"
#include "core/stack.h"
#include "datatypes/series/binary.h"
#include "datatypes/series/string.h"
#include "datatypes/series/url.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

using memory::buf;

namespace {

// The base of /base (64 without it); raises script/invalid-arg for a base not known.
int base_of(int slot, const int32_t* refs) {
    Cell* base = ref_arg(refs, 0);
    if (!base) return 64;
    if (type_of(base) != TYPE_INTEGER) raise_arg_type(slot, refs[0], type_of(base));
    if (!binary::is_known_base(int_value(base))) error::raise(error::ERR_SCRIPT_INVALID_ARG, base);
    return int_value(base);
}

// dehex: a new string! with the argument's %XX escapes decoded.
void dehex(const int32_t* refs) {
    const Cell* value = arg(0);
    uint32_t unit = buf(series_node(value))->unit();
    Cell r;
    string::init_cell_unit(&r, size_t(string::length(value) + 1) * unit, unit);
    url::percent_decode(value, series_node(&r));
    stack::set_result(&r);
}

// enhex: a new string! with the argument percent-encoded: a string! keeps only the unreserved
// characters bare, a file!, url! or other text every character a url may show bare.
void enhex(const int32_t* refs) {
    const Cell* value = arg(0);
    Cell r;
    string::init_cell(&r, size_t(string::length(value)) + 16);
    url::percent_encode(value, series_node(&r), type_of(value) == TYPE_STRING ? url::MODE_UNRESERVED : url::MODE_FILE);
    stack::set_result(&r);
}

// debase: the bytes a base-2, 16, 58 or 64 text stands for, or none when the text is invalid.
void debase(const int32_t* refs) {
    int base = base_of(SLOT_debase, refs);
    const Cell* value = arg(0);
    uint32_t node = series_node(value);
    uint32_t from = string::head_index(value);
    const SeriesBuf* b = buf(node);
    Cell r;
    set_none(&r);
    binary::decode(base, b->data() + size_t(from) * b->unit(), b->length() - from, b->unit(), &r);
    stack::set_result(&r);
}

// enbase: the base-2, 16, 58 or 64 text of a binary! (from its index) or of a string's UTF-8.
void enbase(const int32_t* refs) {
    int base = base_of(SLOT_enbase, refs);
    const Cell* value = arg(0);
    std::string utf8;
    const uint8_t* bytes;
    size_t n;
    if (type_of(value) == TYPE_BINARY) {
        bytes = binary::head_address(value);
        n = binary::length(value);
    } else {
        utf8 = string::to_utf8(value);
        bytes = reinterpret_cast<const uint8_t*>(utf8.data());
        n = utf8.size();
    }
    size_t size = binary::encoded_size(base, n);
    if (size > 0x7FFFFFF0u) error::raise(error::ERR_SCRIPT_TOO_LONG);
    // The new buffer never moves the argument's: an allocation does not collect.
    uint32_t node = string::new_node(size, 1);
    if (type_of(value) == TYPE_BINARY) bytes = binary::head_address(value);
    char* start = reinterpret_cast<char*>(buf(node)->data());
    char* end = binary::encode(base, start, bytes, n);
    buf(node)->tail = uint32_t(end - start);
    Cell r;
    set_series(&r, TYPE_STRING, node);
    stack::set_result(&r);
}

// to-local-file: the path as the operating system spells it; with /full a relative path gets
// the current directory in front.
void to_local_file(const int32_t* refs) {
    std::string path = url::to_local_path(arg(0), used(refs, 0));
    Cell r;
    string::from_utf8(&r, path);
    stack::set_result(&r);
}

}  // namespace

void register_encodings() {
    set<SLOT_dehex, dehex>();
    set<SLOT_enhex, enhex>();
    set<SLOT_debase, debase>();
    set<SLOT_enbase, enbase>();
    set<SLOT_to_local_file, to_local_file>();
}

}  // namespace zel::natives
