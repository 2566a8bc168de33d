// The set operation natives: union intersect unique difference exclude. One body checks
// that the two sets go together and hands the work to the set operation of the first set's
// datatype: blocks and hashes, strings, bitsets, typesets and, for difference only, dates.
//
// Operation codes: 8 unique, 9 union, 10 intersect, 11 exclude, 12 difference. Every native
// has the refinements /case and /skip size, in that order. None of them evaluates Zel code.
#include "core/error.h"
#include "core/stack.h"
#include "datatypes/scalar/bitset.h"
#include "datatypes/scalar/date.h"
#include "datatypes/scalar/typeset.h"
#include "core/block_ops.h"
#include "datatypes/series/block_handlers.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

namespace {

enum Code : int32_t { UNIQUE = 8, UNION = 9, INTERSECT = 10, EXCLUDE = 11, DIFFERENCE = 12 };

inline bool block_like(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_HASH; }

// `natives/set-op`.
void set_op(int slot, int32_t code, const int32_t* refs) {
    bool unary = code == UNIQUE;
    Cell* a = arg(0);
    Cell* b = unary ? arg(0) : arg(1);
    bool case_sensitive = used(refs, 0);
    int32_t skip = 1;
    if (Cell* size = ref_arg(refs, 1)) {
        if (type_of(size) != TYPE_INTEGER) series::raise_invalid_refine(SYM_SKIP, size);
        skip = int_value(size);
    }
    uint32_t ta = type_of(a), tb = type_of(b);
    if (!unary && (block_like(ta) ? !block_like(tb) : ta != tb)) {
        Cell da, db;
        set_datatype(&da, ta);
        set_datatype(&db, tb);
        error::raise(error::ERR_SCRIPT_EXPECT_VAL, &da, &db);
    }
    switch (ta) {
        case TYPE_BLOCK: case TYPE_HASH: {
            Cell out;
            block::set_operation(&out, case_sensitive, skip, code, a, b);
            stack::set_result(&out);
            return;
        }
        case TYPE_STRING: {
            Cell out;
            string::set_operation(&out, case_sensitive, skip, code, a, b);
            stack::set_result(&out);
            return;
        }
        case TYPE_BITSET: {
            Cell out;
            bitset::set_operation(&out, code, a, b);
            stack::set_result(&out);
            return;
        }
        case TYPE_TYPESET:
            typeset::bitwise_op(code);
            return;
        case TYPE_DATE:
            if (code != DIFFERENCE) raise_arg_type(slot, 0, ta);
            date::difference_as_time(a, b);
            stack::keep_result_slot();
            return;
        default:
            raise_arg_type(slot, 0, ta);
    }
}

void union_(const int32_t* refs) { set_op(SLOT_union_, UNION, refs); }
void intersect(const int32_t* refs) { set_op(SLOT_intersect, INTERSECT, refs); }
void unique(const int32_t* refs) { set_op(SLOT_unique, UNIQUE, refs); }
void difference(const int32_t* refs) { set_op(SLOT_difference, DIFFERENCE, refs); }
void exclude(const int32_t* refs) { set_op(SLOT_exclude, EXCLUDE, refs); }

}  // namespace

void register_set_ops() {
    set<SLOT_union_, union_>();
    set<SLOT_intersect, intersect>();
    set<SLOT_unique, unique>();
    set<SLOT_difference, difference>();
    set<SLOT_exclude, exclude>();
}

}  // namespace zel::natives
