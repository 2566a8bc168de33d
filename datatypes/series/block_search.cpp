// block!'s search, sort and set operations: find, select, put, sort with its comparison
// adapters, and the five set operations the set natives call. paren! and hash! inherit
// them; a hash! answers find and select through its table (hash.h).
//
// Only sort with a function comparator evaluates Zel code. It sorts a copy of the records
// (kept alive by a rooted copy of the block range) and writes the result back only when the
// sort returned, so a comparator that errors, throws, breaks, changes the block or answers
// inconsistently leaves the block as it was, or sorted, never broken.
#include <algorithm>
#include <vector>

#include "core/actions.h"
#include "core/collector.h"
#include "core/error.h"
#include "core/hashtable.h"
#include "core/interpreter.h"
#include "core/stack.h"
#include "core/typeset_bits.h"
#include "core/block.h"
#include "core/block_ops.h"
#include "datatypes/series/block_handlers.h"
#include "datatypes/series/hash.h"
#include "datatypes/series/series.h"
#include "datatypes/series/sort.h"

namespace zel::block {

using memory::buf;
using series::Change;
using series::notify_owner;

namespace {

// ---- find and select ----

// What a search compares at each position: one value, cells of a datatype, cells whose type
// is in a typeset, or a sequence of cells.
enum class Mode { VALUE, DATATYPE, TYPESET, SEQUENCE };

struct Matcher {
    Cell value;
    std::vector<Cell> seq;
    int32_t op;
    Mode mode;

    // Whether the cells at i of the node match, without running past bound (exclusive).
    bool at(uint32_t node, uint32_t i, uint32_t bound) const {
        const Cell* c = buf(node)->cells();
        switch (mode) {
            case Mode::DATATYPE: return type_of(&c[i]) == datatype_value(&value);
            case Mode::TYPESET: return typeset_bits::has(&value, type_of(&c[i]));
            case Mode::SEQUENCE:
                if (i + seq.size() > bound) return false;
                for (size_t k = 0; k < seq.size(); k++) {
                    Cell x = buf(node)->cells()[i + k];
                    if (!actions::compare(&x, &seq[k], op)) return false;
                }
                return true;
            default: {
                Cell x = c[i];
                return actions::compare(&x, &value, op);
            }
        }
    }
};

// Where a search found its value: the position, the cells the match covers, and what
// /tail adds to the position.
struct Found {
    int64_t position = -1;
    int64_t width = 1;
    int64_t tail_step = 1;
};

// Whether a hash! may answer the search from its table: not for /match, nor for values that
// are not compared as one value by equality (sequences, datatypes and typesets without
// /only, any-blocks unless compared by identity, objects unless /same).
bool table_applies(const actions::FindArgs& a, const Matcher& m) {
    if (a.match || m.mode != Mode::VALUE) return false;
    uint32_t vt = type_of(&m.value);
    if (is_any_block_type(vt)) return a.same && a.only;
    if (vt == TYPE_OBJECT) return a.same;
    return true;
}

// `block/find`'s search, shared by find, select and put.
Found locate(const actions::FindArgs& a) {
    Found f;
    Cell s = *a.series;
    uint32_t node = series_node(&s);
    int64_t len = buf(node)->length();
    int64_t head = series_head(&s) < 0 ? 0 : series_head(&s);
    int64_t step = 1;
    if (a.skip) {
        if (type_of(a.skip) != TYPE_INTEGER) series::raise_invalid_refine(SYM_SKIP, a.skip);
        step = int_value(a.skip);
        if (step < 1) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, a.skip);
    }
    int64_t limit = len - 1;   // the last position that may match
    bool has_part = a.part != nullptr;
    int64_t part_n = has_part ? series::part_count(&s, a.part) : 0;
    if (len == 0 || (head >= len && !a.reverse)) return f;
    if (head > len) head = len;
    if (has_part) {
        if (part_n < 1) return f;
        limit = std::min<int64_t>(head + part_n - 1, len - 1);
    }
    Matcher m{*a.value, {}, a.same ? actions::OP_SAME : a.case_sensitive ? actions::OP_STRICT_EQUAL : actions::OP_FIND,
              Mode::VALUE};
    uint32_t vt = type_of(a.value);
    if (!a.only && vt == TYPE_DATATYPE) {
        m.mode = Mode::DATATYPE;
    } else if (!a.only && vt == TYPE_TYPESET) {
        m.mode = Mode::TYPESET;
    } else if (!a.only && is_any_block_type(vt)) {
        m.mode = Mode::SEQUENCE;
        m.seq.assign(block::head(a.value), block::head(a.value) + length(a.value));
        if (m.seq.empty()) return f;
    }
    int64_t width = m.mode == Mode::SEQUENCE ? int64_t(m.seq.size()) : 1;
    bool backward = a.reverse || a.last;
    int64_t start;
    if (!backward) start = head;
    else if (has_part) start = limit;
    else if (a.last) start = len - width;
    else start = head - width;
    uint32_t bound = uint32_t(backward ? (has_part ? limit + 1 : len) : limit + 1);
    int64_t found = -1;
    uint32_t table = type_of(&s) == TYPE_HASH && table_applies(a, m) ? hash::synced_table(&s) : 0;
    if (table) {
        int64_t from = backward ? std::min(start, len - 1) : start;
        if (from >= 0 || !backward) {
            found = hashtable::lookup(table, &m.value, int32_t(from), int32_t(step), m.op, backward);
            if (!backward && found > limit) found = -1;
        }
    } else if (a.match) {
        if (start >= 0 && start <= limit && m.at(node, uint32_t(start), bound)) found = start;
    } else if (!backward) {
        for (int64_t i = start; i <= limit; i += step)
            if (m.at(node, uint32_t(i), bound)) {
                found = i;
                break;
            }
    } else {
        for (int64_t i = std::min(start, len - 1); i >= 0; i -= step)
            if (m.at(node, uint32_t(i), bound)) {
                found = i;
                break;
            }
    }
    f.position = found;
    f.width = width;
    f.tail_step = m.mode == Mode::SEQUENCE ? width : (backward ? 1 : step);
    return f;
}

}  // namespace

// `block/find`: the series at the match (after it with /tail), or none.
Cell* find(const actions::FindArgs& a) {
    Found f = locate(a);
    Cell* out = stack::push();
    set_none(out);
    if (f.position < 0) return out;
    *out = *a.series;
    int64_t pos = f.position + (a.tail ? f.tail_step : 0);
    int64_t len = buf(series_node(out))->length();
    set_series_head(out, int32_t(pos > len ? len : pos));
    return out;
}

// `block/select`: the value after the match (after the whole matched sequence), or none.
Cell* select(const actions::FindArgs& a_in) {
    actions::FindArgs a = a_in;
    a.tail = a.match = false;
    Found f = locate(a);
    Cell* out = stack::push();
    set_none(out);
    if (f.position < 0) return out;
    int64_t next = f.position + f.width;
    const SeriesBuf* b = buf(series_node(a.series));
    if (next < int64_t(b->length())) *out = buf(series_node(a.series))->cells()[next];
    return out;
}

// `block/put`: the value goes after the key (an any-block key is searched as a sequence and
// the value goes after it); a missing key is appended with the value.
Cell* put(Cell* series, Cell* key, Cell* value, bool case_sensitive) {
    actions::FindArgs a{series, key, nullptr, false, case_sensitive, false, false,
                        nullptr, nullptr, false, false, false, false};
    uint32_t node = series_node(series);
    // Where the value goes: after the key, or (a missing key) at the tail after the key.
    auto locate_slot = [&](bool& found) -> int64_t {
        Found f = locate(a);
        found = f.position >= 0;
        return found ? f.position + f.width : int64_t(buf(node)->length());
    };
    bool found;
    int64_t at = locate_slot(found);
    notify_owner(series, Change::PUT, value, int32_t(at), found ? 1 : 2);
    // The owner's handler may have changed the block: the key is looked for again.
    at = locate_slot(found);
    Cell k = *key, v = *value;
    if (!found) block::append(node, &k);
    if (found && at < int64_t(buf(node)->length())) buf(node)->cells()[at] = v;
    else block::append(node, &v);
    notify_owner(series, Change::PUT_ED, value, int32_t(at), found ? 1 : 2);
    return value;
}

// ---- sort ----

// Reads a comparator's answer: true puts x first; false and none put x after y; a number is
// three-way; anything else puts x first.
int32_t comparator_answer(const Cell* r) {
    switch (type_of(r)) {
        case TYPE_LOGIC: return logic_value(r) ? -1 : 1;
        case TYPE_NONE: return 1;
        case TYPE_INTEGER: return int_value(r) < 0 ? -1 : int_value(r) > 0 ? 1 : 0;
        case TYPE_FLOAT: {
            double d = float_value(r);
            return d < 0 ? -1 : d > 0 ? 1 : 0;
        }
        default: return -1;
    }
}

namespace {

// The sort flags of the comparison adapters: the op, /reverse, whole records (/all) or the
// cell to compare on, and the function comparator with its two record blocks.
struct SortContext {
    int32_t op = actions::OP_SORT;
    bool reverse = false;
    bool all = false;
    uint32_t offset = 0;   // the cell compared inside a record
    uint32_t size = 1;     // cells in a record
    const Cell* function = nullptr;
    Cell* x_block = nullptr;
    Cell* y_block = nullptr;
};

// One pair of values in sort order; values that cannot be compared order by type id.
int32_t compare_cells(const Cell* a, const Cell* b, int32_t op) {
    Cell x = *a, y = *b;
    int32_t r = actions::compare_raw(&x, &y, op);
    if (r == -2) {
        uint32_t tx = type_of(&x), ty = type_of(&y);
        return tx < ty ? -1 : tx > ty ? 1 : 0;
    }
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// `block/sort-compare-values`.
int32_t sort_compare_values(const void* pa, const void* pb, void* context) {
    const auto* c = static_cast<const SortContext*>(context);
    const Cell* a = static_cast<const Cell*>(pa);
    const Cell* b = static_cast<const Cell*>(pb);
    if (c->reverse) std::swap(a, b);
    if (!c->all) return compare_cells(a + c->offset, b + c->offset, c->op);
    for (uint32_t k = 0; k < c->size; k++)
        if (int32_t r = compare_cells(a + k, b + k, c->op)) return r;
    return 0;
}

void fill_record_block(Cell* block, const Cell* record, uint32_t size) {
    uint32_t node = series_node(block);
    buf(node)->tail = 0;
    set_series_head(block, 0);
    block::append_cells(node, record, size);
}

// `block/sort-compare-function`: calls the comparator with the two values (the two records
// under /all); an error, or a break, return or throw on its way up, leaves as an exception.
int32_t sort_compare_function(const void* pa, const void* pb, void* context) {
    const auto* c = static_cast<const SortContext*>(context);
    const Cell* a = static_cast<const Cell*>(pa);
    const Cell* b = static_cast<const Cell*>(pb);
    if (c->reverse) std::swap(a, b);
    Cell args[2];
    if (c->all) {
        fill_record_block(c->x_block, a, c->size);
        fill_record_block(c->y_block, b, c->size);
        args[0] = *c->x_block;
        args[1] = *c->y_block;
    } else {
        args[0] = a[c->offset];
        args[1] = b[c->offset];
    }
    Cell* mark = stack::top;
    interp::call_with_args(c->function, sym(SYM_COMPARE), args, 2);
    Cell answer = *mark;
    stack::top = mark;
    return comparator_answer(&answer);
}

[[noreturn]] void raise_bad_refines() { error::raise(error::ERR_SCRIPT_BAD_REFINES); }

// A range of integer! cells alone (the common sort of numbers) is sorted where it lies with a
// direct comparison of the values; nothing evaluates, so the cells cannot move meanwhile.
// Returns false, changing nothing, when some cell is not an integer!.
bool sort_integers_in_place(Cell* cells, size_t n, bool reverse, bool stable) {
    for (size_t i = 0; i < n; i++)
        if (type_of(&cells[i]) != TYPE_INTEGER) return false;
    auto less = [](const Cell& a, const Cell& b) { return int_value(&a) < int_value(&b); };
    auto greater = [](const Cell& a, const Cell& b) { return int_value(&b) < int_value(&a); };
    if (stable) {
        if (reverse) std::stable_sort(cells, cells + n, greater);
        else std::stable_sort(cells, cells + n, less);
    } else {
        if (reverse) std::sort(cells, cells + n, greater);
        else std::sort(cells, cells + n, less);
    }
    return true;
}

}  // namespace

// `block/sort`.
Cell* sort(Cell* series, bool case_sensitive, Cell* skip, Cell* comparator, Cell* part, bool all, bool reverse,
           bool stable) {
    // The refinements' kinds first.
    int32_t size = 1;
    if (skip) {
        if (type_of(skip) != TYPE_INTEGER) series::raise_invalid_refine(SYM_SKIP, skip);
        size = int_value(skip);
        if (size < 1) series::raise_invalid_refine(SYM_SKIP, skip);
    }
    if (all && !skip) raise_bad_refines();
    SortContext ctx;
    ctx.op = case_sensitive ? actions::OP_CASE_SORT : actions::OP_SORT;
    ctx.reverse = reverse;
    ctx.all = all;
    ctx.size = uint32_t(size);
    if (comparator) {
        uint32_t ct = type_of(comparator);
        if (ct == TYPE_INTEGER) {
            if (!skip || all) raise_bad_refines();
            int32_t k = int_value(comparator);
            if (k < 1 || k > size) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, comparator);
            ctx.offset = uint32_t(k - 1);
        } else if (is_any_function_type(ct)) {
            ctx.function = comparator;
        } else {
            series::raise_invalid_refine(SYM_COMPARE, comparator);
        }
    }
    // The range: from the head to the tail, or the /part count (before the head when negative).
    uint32_t node = series_node(series);
    int64_t len = buf(node)->length();
    int64_t start = series_head(series) < 0 ? 0 : std::min<int64_t>(series_head(series), len);
    int64_t count = len - start;
    if (part) {
        int64_t n = series::part_count(series, part);
        if (n < 0) {
            if (start + n < 0) return series;
            start += n;
            count = -n;
            set_series_head(series, int32_t(start));
        } else if (n < count) {
            count = n;
        }
    }
    if (count <= 0) return series;
    if (size > count || count % size != 0) series::raise_invalid_refine(SYM_SKIP, skip);
    size_t records = size_t(count / size);

    notify_owner(series, Change::SORT, nullptr, int32_t(start), int32_t(count));
    // The owner's handler may have cut the block short: what is left of the range is sorted.
    len = buf(node)->length();
    if (start > len) start = len;
    if (start + count > len) {
        count = len - start;
        if (count % size != 0) series::raise_invalid_refine(SYM_SKIP, skip);
        records = size_t(count / size);
    }
    if (!ctx.function && size == 1 && sort_integers_in_place(buf(node)->cells() + start, size_t(count), reverse, stable)) {
        notify_owner(series, Change::SORTED, nullptr, int32_t(start), int32_t(count));
        return series;
    }
    std::vector<Cell> recs(buf(node)->cells() + start, buf(node)->cells() + start + count);
    size_t width = size_t(size) * sizeof(Cell);
    if (ctx.function) {
        // The comparator may change or empty the block: a copy keeps the values alive, and
        // the blocks handed to an /all comparator are made once per sort.
        collector::RootedCell keep, x, y;
        set_series(&keep, TYPE_BLOCK, memory::copy_range(node, uint32_t(start), uint32_t(count)));
        if (all) {
            block::init_cell(&x, size);
            block::init_cell(&y, size);
            ctx.x_block = &x;
            ctx.y_block = &y;
        }
        if (stable) sort::merge(recs.data(), records, width, sort_compare_function, &ctx);
        else sort::quick(recs.data(), records, width, sort_compare_function, &ctx);
    } else {
        if (stable) sort::merge(recs.data(), records, width, sort_compare_values, &ctx);
        else sort::quick(recs.data(), records, width, sort_compare_values, &ctx);
    }
    // Write back what still fits (a comparator may have shortened the block).
    SeriesBuf* b = buf(node);
    int64_t room = int64_t(b->length()) - start;
    if (room > 0) std::copy(recs.begin(), recs.begin() + std::min<int64_t>(room, count), b->cells() + start);
    notify_owner(series, Change::SORTED, nullptr, int32_t(start), int32_t(count));
    return series;
}

// ---- set operations ----

namespace {

// A series' records for a set operation: its node, head and cell count from the head.
struct Records {
    Cell value;
    uint32_t node;
    uint32_t head;
    uint32_t count;

    explicit Records(const Cell* v) : value(*v), node(series_node(v)) {
        uint32_t len = buf(node)->length();
        int32_t h = series_head(v);
        head = h < 0 ? 0 : (uint32_t(h) > len ? len : uint32_t(h));
        set_series_head(&value, int32_t(head));
        count = len - head;
    }
    Cell cell(uint32_t i) const { return buf(node)->cells()[head + i]; }
};

struct SetOperation {
    int32_t op;         // equal or strict-equal
    uint32_t skip;
    uint32_t result;    // the result block
    uint32_t table;     // indexes the first cells of the result's records
    std::vector<uint32_t> starts = {};   // where the result's records start (a record cut
                                         // short at a series' end shifts those after it)

    // Whether the other series holds a record whose first cell equals key: through its
    // table, or by comparing every record for an any-block key.
    bool member(const Cell& key, const Records& other, uint32_t other_table) const {
        if (is_any_block_type(type_of(&key))) {
            for (uint32_t i = 0; i < other.count; i += skip) {
                Cell c = other.cell(i);
                if (actions::compare(&c, &key, op)) return true;
            }
            return false;
        }
        return hashtable::lookup(other_table, &key, int32_t(other.head), int32_t(skip), op, false) >= 0;
    }

    bool in_result(const Cell& key) const {
        if (is_any_block_type(type_of(&key))) {
            for (uint32_t i : starts) {
                Cell c = buf(result)->cells()[i];
                if (actions::compare(&c, &key, op)) return true;
            }
            return false;
        }
        return hashtable::lookup(table, &key, 0, 1, op, false) >= 0;
    }

    // Appends every record of from whose first cell passes (membership in other equal to
    // want, when other is given) and is not in the result yet.
    void pass(const Records& from, const Records* other, uint32_t other_table, bool want) {
        for (uint32_t i = 0; i < from.count; i += skip) {
            Cell key = from.cell(i);
            if (other && member(key, *other, other_table) != want) continue;
            if (in_result(key)) continue;
            uint32_t at = buf(result)->length();
            uint32_t n = std::min(skip, from.count - i);
            block::append_cells(result, buf(from.node)->cells() + from.head + i, n);
            starts.push_back(at);
            if (!is_any_block_type(type_of(&key))) hashtable::insert_position(table, at);
        }
    }
};

// The table that answers membership in a series: a hash!'s own, else a scratch table over
// the first cells of its records.
uint32_t membership_table(const Records& r, uint32_t skip) {
    if (uint32_t own = hash::synced_table(&r.value)) return own;
    uint32_t t = hashtable::create(std::max<uint32_t>(r.count / skip, 1), r.node, hashtable::KIND_HASH, false);
    for (uint64_t i = r.head; i < uint64_t(r.head) + r.count; i += skip) hashtable::insert_position(t, uint32_t(i));
    return t;
}

}  // namespace

// `block/set-operation`: unique (8), union (9), intersect (10), exclude (11), difference (12)
// of a and b, record by record of skip cells, into out: a new series of a's type at head 0.
void set_operation(Cell* out, bool case_sensitive, int32_t skip, int32_t code, const Cell* a, const Cell* b) {
    if (skip < 1) {
        Cell s;
        set_integer(&s, skip);
        series::raise_invalid_refine(SYM_SKIP, &s);
    }
    if (code < 8 || code > 12) error::raise(error::ERR_INTERNAL_NOT_DONE);
    Records ra(a), rb(b ? b : a);
    uint32_t size = ra.count + (code == 9 ? rb.count : 0);
    SetOperation op{case_sensitive ? actions::OP_STRICT_EQUAL : actions::OP_EQUAL, uint32_t(skip), 0, 0};
    op.result = block::new_node(size);
    op.table = hashtable::create(std::max<uint32_t>(size / uint32_t(skip), 1), op.result, hashtable::KIND_HASH, false);
    switch (code) {
        case 8: op.pass(ra, nullptr, 0, false); break;
        case 9:
            op.pass(ra, nullptr, 0, false);
            op.pass(rb, nullptr, 0, false);
            break;
        case 10: op.pass(ra, &rb, membership_table(rb, op.skip), true); break;
        case 11: op.pass(ra, &rb, membership_table(rb, op.skip), false); break;
        case 12:
            op.pass(ra, &rb, membership_table(rb, op.skip), false);
            op.pass(rb, &ra, membership_table(ra, op.skip), false);
            break;
    }
    uint32_t t = type_of(a);
    set_series(out, t, op.result, 0, 0);
    if (t == TYPE_HASH) {
        // A hash! indexes every one of its cells.
        hashtable::reindex(op.table, 0, 1);
        hash::set_table_node(out, op.table);
    }
}

}  // namespace zel::block
