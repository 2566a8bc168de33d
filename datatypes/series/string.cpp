// string! action handlers: make, to, form, mold, compare, append/insert, change, eval-path,
// swap and take, and the registration of string! with the handlers of its other units
// (search: string_search.cpp, sort: string_sort.cpp, trim: string_trim.cpp). file!, url!,
// tag!, email! and ref! inherit most of them, binary! inherits find, select, sort, swap and
// take, so several handlers know those types.
//
// The handlers evaluate no Zel code of their own; only the owner notification may, and the
// modifying handlers notify before they read any position or gather any text. Buffers
// otherwise move only when they grow: every SeriesBuf* is re-derived after a call that may
// grow one.
#include <cstring>
#include <vector>

#include "core/actions.h"
#include "core/error.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/datatypes.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/series/string_internal.h"

namespace zel::string {

using memory::buf;
using namespace actions;
using series::Change;

// ---- text runs (string_internal.h) ----

void tell_owner_of(const Cell* s, Change c, const Cell* value, int32_t index, int32_t part) {
    series::notify_owner(s, c, value, index, part);
}

Run run_of_string(const Cell* str) {
    uint32_t h = head_index(str);
    return Run{series_node(str), h, total_length(str) - h};
}

Run run_of_word(const Cell* w) {
    uint32_t node = symbol::spelling_string(word_symbol(w));
    return Run{node, 0, buf(node)->length()};
}

Run text_run(const Cell* v) { return is_any_word_type(type_of(v)) ? run_of_word(v) : run_of_string(v); }

namespace {

// Forms the values of an any-block from its head into node, without separators. A budget
// (>= 0) limits the code points added: the text that overshoots it is cut back.
void append_formed_values(uint32_t node, const Cell* block, int64_t budget) {
    uint32_t start = buf(node)->length();
    uint32_t bnode = series_node(block);
    int32_t h = series_head(block);
    for (uint32_t i = h < 0 ? 0 : uint32_t(h); i < buf(bnode)->length(); i++) {
        Cell v = buf(bnode)->cells()[i];
        if (budget >= 0) {
            int64_t used = int64_t(buf(node)->length()) - start;
            if (used >= budget) break;
            form_into(&v, node, int32_t(budget - used));
        } else {
            form_into(&v, node);
        }
    }
    if (budget >= 0) truncate(node, uint32_t(start + budget));
}

}  // namespace

Run text_of(const Cell* value, int64_t part) {
    uint32_t t = type_of(value);
    Run r;
    if (is_plain_text(t)) {
        r = run_of_string(value);
    } else if (t == TYPE_CHAR) {
        r = Run{new_node(4), 0, 1};
        append_char(r.node, char_value(value));
    } else if (t == TYPE_TAG) {
        Run inner = run_of_string(value);
        uint32_t n = new_node(size_t(inner.count) + 2, 1);
        widen(n, buf(inner.node)->unit());
        append_char(n, '<');
        append_range(n, inner.node, inner.from, inner.from + inner.count);
        append_char(n, '>');
        r = Run{n, 0, buf(n)->length()};
    } else if (t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH) {
        uint32_t n = new_node(16);
        append_formed_values(n, value, part);
        return Run{n, 0, buf(n)->length()};
    } else {
        uint32_t n = new_node(16);
        form_into(value, n, part >= 0 && part < 0x7FFFFFFF ? int32_t(part) : -1);
        r = Run{n, 0, buf(n)->length()};
    }
    if (part >= 0 && part < r.count) r.count = uint32_t(part);
    return r;
}

namespace {

// ---- make, to, form, mold ----

void string_to(Cell* out, Cell* proto, Cell* spec, uint32_t type);

void string_make(Cell* result, Cell* proto, Cell* spec, uint32_t type) {
    uint32_t st = type_of(spec);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        int32_t n = make::spec_to_size(spec);
        if (n < 0) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, spec);
        Cell* out = stack::push();
        init_cell(out, size_t(n), type);
        *result = *out; return;
    }
    if (type == TYPE_BINARY) {
        Cell dt;
        set_datatype(&dt, TYPE_BINARY);
        if (st == TYPE_MONEY) error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
        auto conv = reinterpret_cast<MakeFn>(handler_of(TYPE_BINARY, ACT_TO));
        if (!conv || conv == &string_to) error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
        conv(result, proto, spec, type); return;
    }
    string_to(result, proto, spec, type);
}

// The UTF-8 bytes of a binary! from its head, decoded into a new string node.
uint32_t decode_binary(const Cell* bin) {
    const SeriesBuf* b = buf(series_node(bin));
    int32_t h = series_head(bin);
    uint32_t from = h < 0 ? 0 : (uint32_t(h) > b->tail ? b->tail : uint32_t(h));
    std::string bytes(reinterpret_cast<const char*>(b->data()) + from, b->tail - from);
    int32_t remaining = 0;
    uint32_t node = decode_utf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0, &remaining, false);
    if (remaining > 0) {
        // A sequence cut short by the end: name the bytes that were left undecoded.
        uint32_t left = memory::new_series(size_t(remaining), 1);
        SeriesBuf* lb = buf(left);
        std::memcpy(lb->data(), bytes.data() + bytes.size() - size_t(remaining), size_t(remaining));
        lb->tail = uint32_t(remaining);
        Cell arg;
        set_series(&arg, TYPE_BINARY, left);
        error::raise(error::ERR_ACCESS_INVALID_UTF8, &arg);
    }
    return node;
}

void string_to(Cell* out, Cell* proto, Cell* spec, uint32_t type) {
    uint32_t st = type_of(spec);
    if (is_text_type(st)) {
        Run r = run_of_string(spec);
        set_series(out, type, memory::copy_range(r.node, r.from, r.count));
    } else if (st == TYPE_BINARY) {
        set_series(out, type, decode_binary(spec));
    } else if (st == TYPE_BLOCK || st == TYPE_PAREN || st == TYPE_HASH) {
        init_cell(out, 16, type);
        append_formed_values(series_node(out), spec, -1);
    } else if (st == TYPE_NONE) {
        // The error names string! whichever text type was asked for.
        Cell dt;
        set_datatype(&dt, TYPE_STRING);
        error::raise(error::ERR_SCRIPT_BAD_TO_ARG, &dt, spec);
    } else {
        init_cell(out, 16, type);
        // A refinement keeps its slash everywhere but in a plain string.
        if (st == TYPE_REFINEMENT && type != TYPE_STRING) mold_into(spec, series_node(out));
        else form_into(spec, series_node(out));
    }
    retype(out, type);
}

int32_t string_form(const Cell* value, uint32_t buffer, const Cell* part, int32_t limit) {
    Run r = run_of_string(value);
    uint32_t n = r.count;
    if (limit < 0) n = 0;
    else if (uint32_t(limit) < n) n = uint32_t(limit);
    append_range(buffer, r.node, r.from, r.from + n);
    int64_t left = int64_t(limit) - r.count;
    return left < INT32_MIN ? INT32_MIN : int32_t(left);
}

// Which "{" of code points [head, end) find their matching "}" before end, in one pass:
// with depth(k) the count of "{" minus "}" before offset k, the brace at offset i is matched
// when the depth later falls back to depth(i), that is when the lowest depth after it is at
// most depth(i). Returns one flag per offset (set only for matched braces).
std::vector<bool> matched_braces(uint32_t node, uint32_t head, uint32_t end) {
    uint32_t n = end - head;
    std::vector<int32_t> depth(size_t(n) + 1, 0);
    const SeriesBuf* b = buf(node);
    for (uint32_t k = 0; k < n; k++) {
        uint32_t c = char_at(b, head + k);
        depth[k + 1] = depth[k] + (c == '{' ? 1 : c == '}' ? -1 : 0);
    }
    std::vector<bool> matched(n, false);
    int32_t lowest = depth[n];
    for (uint32_t k = n; k-- > 0;) {
        if (char_at(b, head + k) == '{') matched[k] = lowest <= depth[k];
        if (depth[k] < lowest) lowest = depth[k];
    }
    return matched;
}

int32_t string_mold(const Cell* value, uint32_t out, bool only, bool all, bool flat, const Cell* part,
                    int32_t limit, int32_t indent) {
    Run r = run_of_string(value);
    uint32_t node = r.node, head = r.from;
    uint32_t end = head + r.count;
    if (limit < 0) end = head;
    else if (uint32_t(limit) < r.count) end = head + uint32_t(limit);

    uint32_t quotes = 0, lines = 0;
    for (uint32_t i = head; i < end; i++) {
        uint32_t c = char_at(buf(node), i);
        if (c == '"') quotes++;
        else if (c == '\n') lines++;
    }
    bool braces = lines >= 3 || quotes > 0 || r.count >= 50;
    append_char(out, braces ? '{' : '"');
    int32_t depth = 0;
    bool balanced = true;
    std::vector<bool> matched;
    if (braces) matched = matched_braces(node, head, end);
    for (uint32_t i = head; i < end; i++) {
        uint32_t c = char_at(buf(node), i);
        if (!braces) {
            append_escaped(out, c, ESCAPE_STRING, all);
            continue;
        }
        switch (c) {
            case '{':
                if (balanced && !matched[i - head]) balanced = false;
                if (balanced) depth++;
                else append_char(out, '^');
                append_char(out, c);
                break;
            case '}':
                if (depth < 1) append_char(out, '^');
                else depth--;
                append_char(out, c);
                break;
            case '"': append_char(out, c); break;
            case '^': append_ascii(out, "^^"); break;
            default: append_escaped(out, c, ESCAPE_STRING, all); break;
        }
    }
    append_char(out, braces ? '}' : '"');
    int64_t left = int64_t(limit) - (end - head) - 2;
    return left < INT32_MIN ? INT32_MIN : int32_t(left);
}

// ---- compare ----

int32_t string_compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(a) != type_of(b)) {
        // Different text types are only ever equal or not.
        if (!is_text_type(type_of(b)) || (op != OP_EQUAL && op != OP_NOT_EQUAL)) return -2;
    }
    return compare_text(a, b, op, false);
}


// ---- append, insert, change ----

// The owner hears of a change before the text is gathered: its handler may run Zel code
// and change either series, so positions are read after it. A char! is written straight
// into the target, every other value through its text run (text_of).
void string_insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append) {
    Change before = append ? Change::APPEND : Change::INSERT;
    tell_owner(series, before, value, int32_t(append ? total_length(series) : head_index(series)), part);
    uint32_t node = series_node(series);
    uint32_t at = append ? total_length(series) : head_index(series);
    uint32_t times = dup < 1 ? 1 : uint32_t(dup);
    uint32_t count = 1;
    uint32_t vt = type_of(value);
    if (vt == TYPE_CHAR) {
        splice_char(node, at, 0, char_value(value), times);
    } else if (vt == TYPE_INTEGER && part < 0 && times == 1 && at == total_length(series) &&
               is_text_type(type_of(series))) {
        // The common append of a number: its digits go straight to the tail.
        integer::DecimalText digits = integer::to_decimal_text(int_value(value));
        append_ascii(node, digits.view());
        count = digits.length;
    } else if (is_plain_text(vt) && part < 0) {
        Run r = run_of_string(value);
        splice(node, at, 0, r.node, r.from, r.count, times);
        count = r.count;
    } else {
        Run r = text_of(value, part);
        splice(node, at, 0, r.node, r.from, r.count, times);
        count = r.count;
    }
    uint64_t past = uint64_t(at) + uint64_t(count) * times;
    tell_owner(series, append ? Change::APPENDED : Change::INSERTED, value, int32_t(at), int32_t(past - at));
    if (append) {
        set_series_head(series, 0);
    } else {
        uint32_t total = buf(series_node(series))->length();
        set_series_head(series, int32_t(past > total ? total : past));
    }
}

void string_change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
    tell_owner(series, Change::CHANGE, value, int32_t(head_index(series)), part);
    uint32_t node = series_node(series);
    uint32_t total = buf(node)->length();
    uint32_t at = head_index(series);
    uint32_t times = dup < 1 ? 1 : uint32_t(dup);
    bool is_char = type_of(value) == TYPE_CHAR;
    Run r = is_char ? Run{0, 0, 1} : text_of(value, -1);
    uint64_t inserted = uint64_t(r.count) * times;
    uint64_t left = total - at;
    uint64_t replaced = part >= 0 ? uint64_t(part) : inserted;
    if (replaced > left) replaced = left;
    if (is_char) splice_char(node, at, uint32_t(replaced), char_value(value), times);
    else splice(node, at, uint32_t(replaced), r.node, r.from, r.count, times);
    tell_owner(series, Change::CHANGED, value, int32_t(at), int32_t(inserted));
    set_series_head(series, int32_t(at + inserted));
}

// ---- eval-path ----

void string_eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const PathStep& step) {
    uint32_t et = type_of(element), pt = type_of(parent);
    if (et == TYPE_INTEGER) {
        if (!value) {
            get<PickFn>(pt, ACT_PICK)(out, parent, int_value(element), element);
            return;
        }
        get<PokeFn>(pt, ACT_POKE)(out, parent, int_value(element), value, element);
        *out = *value;
        return;
    }
    if (et == TYPE_WORD) error::raise(error::ERR_SCRIPT_INVALID_PATH, step.path ? step.path : element, element);
    FindArgs fa{parent, element, nullptr, false, step.case_sensitive, false, false, nullptr, nullptr,
                false, false, false, false};
    if (!value) { string_select(out, fa); return; }
    Cell* found = stack::push();   // poke may run the owner's change handler
    string_find(found, fa);
    if (type_of(found) == TYPE_NONE)
        error::raise(error::ERR_SCRIPT_BAD_PATH_SET, step.path ? step.path : element, element);
    Cell index;
    set_integer(&index, 2);
    get<PokeFn>(pt, ACT_POKE)(out, found, 2, value, &index);
    *out = *value;
}

// ---- swap, take ----

void string_swap(Cell* a, Cell* b) {
    uint32_t bt = type_of(b);
    if (!is_text_type(bt) && bt != TYPE_BINARY) error::raise(error::ERR_SCRIPT_INVALID_ARG, b);
    if (length(a) < 1 || length(b) < 1) return;
    // A binary holds bytes: a wider code point cannot go there (checked before any change).
    Cell bad;
    uint32_t ca = char_at_index(a, head_index(a)), cb = char_at_index(b, head_index(b));
    if (type_of(a) == TYPE_BINARY && cb > 0xFF) { set_char(&bad, cb); error::raise(error::ERR_SCRIPT_INVALID_ARG, &bad); }
    if (bt == TYPE_BINARY && ca > 0xFF) { set_char(&bad, ca); error::raise(error::ERR_SCRIPT_INVALID_ARG, &bad); }
    tell_owner(a, Change::SWAP, nullptr, int32_t(head_index(a)), 1);
    tell_owner(b, Change::SWAP, nullptr, int32_t(head_index(b)), 1);
    if (length(a) < 1 || length(b) < 1) return;
    uint32_t ha = head_index(a), hb = head_index(b);
    ca = char_at_index(a, ha);
    cb = char_at_index(b, hb);
    if ((type_of(a) == TYPE_BINARY && cb > 0xFF) || (bt == TYPE_BINARY && ca > 0xFF)) return;
    write_char(series_node(a), ha, cb);
    write_char(series_node(b), hb, ca);
    tell_owner(a, Change::SWAPED, nullptr, int32_t(ha), 1);
    tell_owner(b, Change::SWAPED, nullptr, int32_t(hb), 1);
}

void string_take(Cell* out, Cell* series, Cell* part, bool deep, bool last) {
    series::take(out, series, part, deep, last);
    if (part || type_of(out) != type_of(series)) return;
    // A single taken element is returned as itself.
    if (length(out) != 1) return;
    Cell taken = *out;
    series::element_value(out, &taken, head_index(&taken));
}

}  // namespace

}  // namespace zel::string

namespace zel::datatypes {

void register_string() {
    using namespace zel::string;
    constexpr auto I = actions::INHERIT;
    actions::TypeSpec spec{TYPE_STRING, {}};
    auto set = [&](auto action, auto fn) { actions::put(spec, action, fn); };
    set(ACT_MAKE, &string_make);
    set(ACT_RANDOM, I);
    set(ACT_REFLECT, I);
    set(ACT_TO, &string_to);
    set(ACT_FORM, &string_form);
    set(ACT_MOLD, &string_mold);
    set(ACT_EVAL_PATH, &string_eval_path);
    set(ACT_COMPARE, &string_compare);
    set(ACT_APPEND, &string_insert);
    set(ACT_INSERT, &string_insert);
    set(ACT_CHANGE, &string_change);
    set(ACT_FIND, &string_find);
    set(ACT_SELECT, &string_select);
    set(ACT_SORT, &string_sort);
    set(ACT_SWAP, &string_swap);
    set(ACT_TAKE, &string_take);
    set(ACT_TRIM, &string_trim);
    for (int a : std::initializer_list<int>{ACT_AT, ACT_BACK, ACT_CLEAR, ACT_COPY, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_LENGTH_Q, ACT_MOVE,
                  ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SKIP, ACT_TAIL, ACT_TAIL_Q, ACT_MODIFY})
        set(a, I);
    actions::register_type(spec);
}

void register_text_type(uint32_t id, actions::FormFn form, actions::MoldFn mold,
                        actions::EvalPathFn eval_path, bool paths) {
    constexpr auto I = actions::INHERIT;
    actions::TypeSpec spec{id, {}};
    auto set = [&](auto action, auto fn) { actions::put(spec, action, fn); };
    for (int a : std::initializer_list<int>{ACT_MAKE, ACT_REFLECT, ACT_TO, ACT_FORM, ACT_MOLD, ACT_COMPARE, ACT_APPEND, ACT_AT,
                  ACT_BACK, ACT_CHANGE, ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT,
                  ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP,
                  ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY})
        set(a, I);
    if (form) set(ACT_FORM, form);
    if (mold) set(ACT_MOLD, mold);
    if (paths && eval_path) set(ACT_EVAL_PATH, eval_path);
    else if (paths) set(ACT_EVAL_PATH, I);
    actions::register_type(spec);
}

}  // namespace zel::datatypes
