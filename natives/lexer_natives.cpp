// transcode: the lexer entry of the language. Binary input is lexed in place from its index;
// string input goes through the lexer's string entry, which converts it to UTF-8 first.
#include <algorithm>

#include "core/memory.h"
#include "core/stack.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

using memory::buf;

namespace {

enum TranscodeRef { R_NEXT, R_ONE, R_PRESCAN, R_SCAN, R_PART, R_INTO, R_TRACE };

// The answer of a scan-only call: the datatype of the token, or none when there was none.
void type_answer(Cell* out, uint32_t type) {
    if (type == 0) set_none(out);
    else set_datatype(out, type);
}

void transcode(const int32_t* refs) {
    Cell* src = arg(0);
    bool binary = type_of(src) == TYPE_BINARY;
    SeriesBuf* b = buf(series_node(src));
    uint32_t length = binary ? b->tail : b->length();
    uint32_t index = uint32_t(std::clamp<int32_t>(series_head(src), 0, int32_t(length)));
    uint32_t end = length;

    if (Cell* part = ref_arg(refs, R_PART)) {
        int64_t count;
        if (type_of(part) == TYPE_INTEGER) {
            count = int_value(part);
        } else {
            // A binary! part is a position in the same series.
            if (!binary || series_node(part) != series_node(src))
                error::raise(error::ERR_SCRIPT_NOT_SAME_TYPE);
            count = int64_t(series_head(part)) - int64_t(index);
        }
        count = std::clamp<int64_t>(count, 0, int64_t(length - index));
        end = index + uint32_t(count);
    }

    // A byte-order mark at the start is not part of the text.
    if (binary) {
        const uint8_t* p = b->data() + index;
        if (end - index >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) index += 3;
    } else if (index < end && string::char_at(b, index) == 0xFEFF) {
        index++;
    }

    bool next = used(refs, R_NEXT);
    bool one = used(refs, R_ONE);
    bool prescan = used(refs, R_PRESCAN);
    bool scan = used(refs, R_SCAN);
    lexer::Options opt;
    opt.one_value = next || one || scan;
    opt.prescan = prescan;
    opt.load = !(scan || prescan);
    opt.callback = ref_arg(refs, R_TRACE);
    opt.into = ref_arg(refs, R_INTO);

    // The input as the lexer sees it: the series at the (BOM-adjusted) index.
    Cell* input = stack::push_copy(src);
    set_series_head(input, int32_t(index));
    opt.input = input;
    Cell* result = stack::push_none();
    size_t stop = 0;
    uint32_t type;
    if (binary) {
        const uint8_t* text = buf(series_node(input))->data() + index;
        type = lexer::transcode(result, text, end - index, opt, &stop);
    } else {
        type = lexer::load_string(result, input, int32_t(end - index), opt, &stop);
    }

    // The position after what was read (the callback may have moved nothing of the source's
    // own index: the input cell is the lexer's copy).
    Cell rest = *src;
    set_series_head(&rest, int32_t(index + uint32_t(std::min<size_t>(stop, end - index))));

    Cell answer;
    if (scan || prescan) type_answer(&answer, type);
    else answer = *result;
    if (next) {
        // The value (or type) and the input after it.
        Cell* pair = stack::push_copy(&answer);
        stack::push_copy(&rest);
        uint32_t node = block::new_node(2);
        block::append(node, pair);
        block::append(node, pair + 1);
        Cell out;
        set_series(&out, TYPE_BLOCK, node);
        return stack::set_result(&out);
    }
    stack::set_result(&answer);
}

}  // namespace

void register_lexer() { set<SLOT_transcode, transcode>(); }

}  // namespace zel::natives
