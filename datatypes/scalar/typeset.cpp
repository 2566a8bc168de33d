// typeset! (see typeset.h).
#include "datatypes/scalar/typeset.h"

#include <string_view>

#include "core/actions.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/stack.h"
#include "core/typeset_bits.h"
#include "core/word.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/datatype.h"
#include "core/block.h"
#include "datatypes/series/string.h"

namespace zel::typeset {

namespace {

using stack::arg;


bool is_plain_word(uint32_t t) { return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD; }

}  // namespace

Cell* append_new(uint32_t block_node, uint32_t w1, uint32_t w2, uint32_t w3) {
    Cell* c = memory::append_cell(block_node);
    c->header = TYPE_TYPESET;
    set_data_word(c, 0, w1);
    set_data_word(c, 1, w2);
    set_data_word(c, 2, w3);
    return c;
}

Cell* append_all_but_unset(uint32_t block_node) {
    Cell ts;
    ts.header = TYPE_TYPESET;
    typeset_bits::set_all_but_unset(&ts);
    return block::append(block_node, &ts);
}

Cell* append_from_spec(uint32_t block_node, const Cell* type_block) {
    Cell ts;
    clear_cell(&ts);
    int32_t n = block::length(type_block);
    for (int32_t i = 0; i < n; i++) {
        const Cell* el = block::head(type_block) + i;
        const Cell* v = is_plain_word(type_of(el)) ? word::get(el) : el;
        switch (type_of(v)) {
            case TYPE_DATATYPE: typeset_bits::add(&ts, datatype_value(v)); break;
            case TYPE_TYPESET: typeset_bits::unite(&ts, v); break;
            case TYPE_BLOCK: break;
            default:
                if (is_any_word_type(type_of(v))) {
                    typeset_bits::add(&ts, TYPE_OBJECT);
                    break;
                }
                error::raise(error::ERR_SCRIPT_INVALID_TYPE_SPEC, el);
        }
    }
    return block::append(block_node, &ts);
}

void add_type(Cell* ts, const Cell* value) {
    const Cell* v = is_plain_word(type_of(value)) ? word::get(value) : value;
    switch (type_of(v)) {
        case TYPE_TYPESET: typeset_bits::unite(ts, v); break;
        case TYPE_DATATYPE: typeset_bits::add(ts, datatype_value(v)); break;
        default: error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
    }
}

uint32_t count(const Cell* ts) {
    uint32_t n = 0;
    for (uint32_t t = 1; t <= actions::highest_type(); t++)
        if (typeset_bits::has(ts, t)) n++;
    return n;
}

void types_to_block(const Cell* ts_in, Cell* out) {
    Cell ts = *ts_in;
    block::init_cell(out, int64_t(count(&ts)));
    uint32_t node = series_node(out);
    for (uint32_t t = 1; t <= actions::highest_type(); t++) {
        if (!typeset_bits::has(&ts, t)) continue;
        Cell w;
        word::make_global(&w, TYPE_WORD, actions::type_word_symbol(t));
        block::append(node, &w);
    }
}

void set_operation(Cell* out, int32_t op, const Cell* a, const Cell* b) {
    Cell other;
    if (type_of(b) == TYPE_TYPESET) {
        other = *b;
    } else if (type_of(b) == TYPE_DATATYPE) {
        clear_cell(&other);
        typeset_bits::add(&other, datatype_value(b));
    } else {
        error::raise(error::ERR_SCRIPT_INVALID_ARG, b);
    }
    Cell r = *a;
    r.header = TYPE_TYPESET;
    for (int i = 0; i < 3; i++) {
        uint32_t w = data_word(&r, i), o = data_word(&other, i);
        switch (op) {
            case 5: case 9: w |= o; break;
            case 6: case 10: w &= o; break;
            case 7: case 12: w ^= o; break;
            case 11: w &= ~o; break;
            default: break;   // 8 (unique): the first typeset as it is
        }
        set_data_word(&r, i, w);
    }
    *out = r;
}

void bitwise_op(int32_t op) {
    set_operation(arg(0), op, arg(0), arg(1));
    stack::keep_result_slot();
}

Cell* push_copy(const Cell* ts) { return stack::push_copy(ts); }

namespace {

void make(Cell* out, Cell*, Cell* spec, uint32_t) {
    if (type_of(spec) == TYPE_TYPESET) {
        *out = *spec;
        out->header = TYPE_TYPESET;
        return;
    }
    if (type_of(spec) != TYPE_BLOCK) scalar::raise_bad_to(TYPE_TYPESET, spec);
    Cell blk = *spec;
    Cell ts;
    clear_cell(&ts);
    int32_t n = block::length(&blk);
    for (int32_t i = 0; i < n; i++) add_type(&ts, block::head(&blk) + i);
    *out = ts;
}

// The member names, each followed by a space; with a part limit, writing stops as soon as the
// budget is below 0.
int32_t write_members(const Cell* ts, uint32_t buffer, bool limited, int32_t budget, bool& any) {
    any = false;
    for (uint32_t t = 1; t <= actions::highest_type(); t++) {
        if (!typeset_bits::has(ts, t)) continue;
        if (limited && budget < 0) break;
        budget = scalar::emit(buffer, actions::type_name(t), budget);
        budget = scalar::emit(buffer, " ", budget);
        any = true;
    }
    return budget;
}

void drop_last_char(uint32_t buffer) {
    uint32_t len = memory::buf(buffer)->length();
    if (len) string::truncate(buffer, len - 1);
}

int32_t mold_text(const Cell* ts, uint32_t buffer, bool only, const Cell* part, int32_t budget) {
    bool any;
    if (only) {
        budget = write_members(ts, buffer, part != nullptr, budget, any);
        if (any) {
            drop_last_char(buffer);
            budget++;
        }
        return budget;
    }
    budget = scalar::emit(buffer, "make typeset! [", budget);
    budget = write_members(ts, buffer, part != nullptr, budget, any);
    if (any) {
        drop_last_char(buffer);
        budget++;
    }
    return scalar::emit(buffer, "]", budget);
}

int32_t form(const Cell* v, uint32_t buffer, const Cell* part, int32_t budget) {
    return mold_text(v, buffer, false, part, budget);
}
int32_t mold(const Cell* v, uint32_t buffer, bool only, bool, bool, const Cell* part, int32_t budget, int32_t) {
    return mold_text(v, buffer, only, part, budget);
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != TYPE_TYPESET) return -2;
    switch (op) {
        case actions::OP_SORT: case actions::OP_CASE_SORT: {
            uint32_t x = count(a), y = count(b);
            return (x > y) - (x < y);
        }
        case actions::OP_LESSER: case actions::OP_LESSER_EQUAL:
        case actions::OP_GREATER: case actions::OP_GREATER_EQUAL:
            return -2;
        default:
            return std::memcmp(payload_bytes(a), payload_bytes(b), 12) == 0 ? 0 : 1;
    }
}

void and_() { bitwise_op(6); }
void or_() { bitwise_op(5); }
void xor_() { bitwise_op(7); }
void complement(Cell* v) {
    for (int i = 0; i < 3; i++) set_data_word(v, i, ~data_word(v, i));
}

void find(Cell* out, const actions::FindArgs& args) {
    if (type_of(args.value) != TYPE_DATATYPE) error::raise(error::ERR_SCRIPT_INVALID_ARG, args.value);
    set_logic(out, typeset_bits::has(args.series, datatype_value(args.value)));
}

}  // namespace
}  // namespace zel::typeset

namespace zel::datatypes {

void register_typeset() {
    using namespace typeset;
    actions::TypeSpec spec{TYPE_TYPESET, {}};
    actions::put(spec, ACT_MAKE, &make);
    actions::put(spec, ACT_TO, &make);
    actions::put(spec, ACT_FORM, &form);
    actions::put(spec, ACT_MOLD, &mold);
    actions::put(spec, ACT_COMPARE, &compare);
    actions::put(spec, ACT_AND_T, &and_);
    actions::put(spec, ACT_COMPLEMENT, &complement);
    actions::put(spec, ACT_OR_T, &or_);
    actions::put(spec, ACT_XOR_T, &xor_);
    actions::put(spec, ACT_FIND, &find);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
