// The Zelbin writers, plain and compact: one walk over the value, emitting records in either
// encoding. Every series buffer and context written is remembered with its path (the record
// counters of the levels above it), so that a second reference is written as a reference
// record instead of its contents.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/callable.h"
#include "core/context.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/symbol.h"
#include "datatypes/scalar/date.h"
#include "datatypes/scalar/money.h"
#include "datatypes/scalar/pair.h"
#include "datatypes/scalar/tuple.h"
#include "datatypes/series/image.h"
#include "datatypes/series/vector.h"
#include "io/zelbin.h"
#include "io/zelbin_format.h"

namespace zel::zelbin {

using memory::buf;

namespace {

// An open-addressing table from a 32-bit key (a node or symbol id) to a 32-bit value. A slot
// is in use when its stamp is the table's current one, so clearing is one increment.
class IdTable {
public:
    IdTable() { reset(1024); }
    const uint32_t* find(uint32_t key) const {
        for (size_t i = slot(key);; i = (i + 1) & mask_) {
            if (stamps_[i] != stamp_) return nullptr;
            if (keys_[i] == key) return &values_[i];
        }
    }
    void insert(uint32_t key, uint32_t value) {
        if (2 * (count_ + 1) > keys_.size()) grow();
        size_t i = slot(key);
        while (stamps_[i] == stamp_) i = (i + 1) & mask_;
        stamps_[i] = stamp_;
        keys_[i] = key;
        values_[i] = value;
        count_++;
    }
    // Empties the table; one grown very large is given back first.
    void clear() {
        if (keys_.size() > (size_t(1) << 20)) reset(1024);
        if (++stamp_ == 0) reset(keys_.size());
        count_ = 0;
    }

private:
    size_t slot(uint32_t key) const { return (key * 2654435761u) & mask_; }
    void reset(size_t n) {
        keys_.assign(n, 0);
        values_.assign(n, 0);
        stamps_.assign(n, 0);
        mask_ = n - 1;
        stamp_ = 1;
        count_ = 0;
    }
    void grow() {
        std::vector<uint32_t> keys = keys_, values = values_, stamps = stamps_;
        uint32_t old = stamp_;
        reset(keys.size() * 2);
        for (size_t i = 0; i < keys.size(); i++)
            if (stamps[i] == old) insert(keys[i], values[i]);
    }
    std::vector<uint32_t> keys_, values_, stamps_;
    size_t mask_ = 0, count_ = 0;
    uint32_t stamp_ = 1;
};

// A remembered path: a run of the path pool.
struct PathRef {
    uint32_t start, length;
};

// The writer's stores, kept from one encode to the next (they are emptied at the start of
// each), so that repeated encodes do not take fresh memory from the system each time.
struct Store {
    std::vector<uint8_t> out;             // the records
    std::vector<uint32_t> levels;         // record counter of each level
    IdTable seen;                         // node -> index in paths
    std::vector<PathRef> paths;
    std::vector<uint32_t> pool;           // the counters of every remembered path
    IdTable symbols;                      // symbol id -> index
    std::vector<uint32_t> offsets;
    std::vector<uint8_t> strings;
    std::vector<uint32_t> own_contexts;   // contexts of the functions whose body is being written
    void clear() {
        if (out.capacity() > (size_t(64) << 20)) std::vector<uint8_t>().swap(out);
        out.clear();
        levels.clear();
        seen.clear();
        paths.clear();
        pool.clear();
        symbols.clear();
        offsets.clear();
        strings.clear();
        own_contexts.clear();
    }
};

Store& store() {
    static Store s;
    return s;
}

class Writer {
public:
    explicit Writer(bool compact) : compact_(compact) {
        store().clear();
        levels_.push_back(0);
    }
    void value(const Cell* v);
    void finish(Cell* out);

private:
    // ---- numbers ----
    void byte(uint8_t b) { out_.push_back(b); }
    void raw32(uint32_t v) {
        for (int k = 0; k < 4; k++) out_.push_back(uint8_t(v >> (8 * k)));
    }
    void uleb(uint32_t v) {
        while (v >= 0x80) {
            out_.push_back(uint8_t(v | 0x80));
            v >>= 7;
        }
        out_.push_back(uint8_t(v));
    }
    void sleb(int32_t v) { uleb(zigzag(v)); }
    // An unsigned number: a word in the plain mode, a uLEB in the compact one.
    void num(uint32_t v) { compact_ ? uleb(v) : raw32(v); }
    void snum(int32_t v) { compact_ ? sleb(v) : raw32(uint32_t(v)); }
    void bytes(const uint8_t* p, size_t n) { out_.insert(out_.end(), p, p + n); }
    void pad4() {
        while (out_.size() % 4) out_.push_back(0);
    }
    void double_hi_lo(double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        raw32(uint32_t(bits >> 32));
        raw32(uint32_t(bits));
    }

    // ---- record headers ----
    // The plain header word or the compact prefixes and type byte. flag is the compact
    // type byte's bit 6; plain_bits the type-specific bits of the plain header.
    void header(const Cell* v, uint32_t type, bool flag, uint32_t plain_bits, bool shared = false) {
        if (compact_) {
            if (has_new_line(v)) byte(PREFIX_NEW_LINE);
            if (shared) byte(PREFIX_SHARED);
            compact_type(type, flag);
        } else {
            raw32(type | plain_bits | (shared ? H_SHARED : 0) | (has_new_line(v) ? H_NEW_LINE : 0));
        }
    }
    void compact_type(uint32_t type, bool flag) {
        if (type < 63) {
            byte(uint8_t(type | (flag ? 0x40 : 0)));
        } else {
            byte(uint8_t(0x3F | (flag ? 0x40 : 0)));
            uleb(type);
        }
    }

    uint32_t symbol_index(uint32_t sym);
    void reference(const PathRef* path);
    const PathRef* find(uint32_t node) const {
        if (no_share_) return nullptr;
        const uint32_t* i = seen_.find(node);
        return i ? &paths_[*i] : nullptr;
    }
    void remember(uint32_t node) {
        if (no_share_) return;
        seen_.insert(node, uint32_t(paths_.size()));
        paths_.push_back({uint32_t(pool_.size()), uint32_t(levels_.size())});
        pool_.insert(pool_.end(), levels_.begin(), levels_.end());
    }
    void counted() { levels_.back()++; }

    void scalar(const Cell* v, uint32_t t);
    void decimal(const Cell* v, uint32_t t);
    void series(const Cell* v, uint32_t t);
    void series_body(const Cell* v, uint32_t t, uint32_t node);
    void image_value(const Cell* v);
    void word(const Cell* v, uint32_t t);
    void context_body(uint32_t ctx);
    void object_body(const Cell* o);
    void function_body(const Cell* f);
    void owner_record(const Cell* owner);
    void callable(const Cell* v, uint32_t t);
    void error_value(const Cell* v);
    bool global_word(const Cell* v) const;

    bool compact_;
    std::vector<uint8_t>& out_ = store().out;
    std::vector<uint32_t>& levels_ = store().levels;
    IdTable& seen_ = store().seen;
    std::vector<PathRef>& paths_ = store().paths;
    std::vector<uint32_t>& pool_ = store().pool;
    IdTable& symbols_ = store().symbols;
    std::vector<uint32_t>& offsets_ = store().offsets;
    std::vector<uint8_t>& strings_ = store().strings;
    std::vector<uint32_t>& own_contexts_ = store().own_contexts;
    int no_share_ = 0;   // inside a native's spec: written whole, neither shared nor remembered
};

uint32_t Writer::symbol_index(uint32_t sym) {
    if (const uint32_t* i = symbols_.find(sym)) return *i;
    uint32_t index = uint32_t(offsets_.size());
    symbols_.insert(sym, index);
    offsets_.push_back(uint32_t(strings_.size()));
    std::string_view text = symbol::spelling(sym);
    strings_.insert(strings_.end(), text.begin(), text.end());
    strings_.push_back(0);
    if (!compact_)
        while (strings_.size() % 8) strings_.push_back(0);
    return index;
}

void Writer::reference(const PathRef* path) {
    if (!compact_) raw32(TYPE_REFERENCE);
    num(path->length);
    for (uint32_t k = 0; k < path->length; k++) num(pool_[path->start + k]);
}

void Writer::value(const Cell* v) {
    interp::check_native_stack();
    const uint32_t t = type_of(v);
    switch (t) {
        case TYPE_UNSET: case TYPE_NONE: case TYPE_DATATYPE: case TYPE_LOGIC: case TYPE_CHAR:
        case TYPE_INTEGER: case TYPE_PAIR: case TYPE_POINT2D: case TYPE_POINT3D: case TYPE_DATE:
        case TYPE_MONEY: case TYPE_TUPLE: case TYPE_TYPESET: case TYPE_ISSUE:
            scalar(v, t);
            break;
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME:
            decimal(v, t);
            break;
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
            word(v, t);
            break;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
        case TYPE_GET_PATH: case TYPE_HASH: case TYPE_MAP: case TYPE_STRING: case TYPE_FILE: case TYPE_URL:
        case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: case TYPE_BINARY: case TYPE_BITSET: case TYPE_VECTOR:
            series(v, t);
            break;
        case TYPE_IMAGE:
            image_value(v);
            break;
        case TYPE_OBJECT: {
            const PathRef* path = find(object_ctx(v));
            header(v, t, false, 0, path != nullptr);
            if (path) {
                reference(path);
            } else {
                remember(object_ctx(v));
                levels_.push_back(0);
                object_body(v);
                levels_.pop_back();
            }
            counted();
            break;
        }
        case TYPE_FUNCTION: case TYPE_NATIVE: case TYPE_ACTION: case TYPE_OP:
            callable(v, t);
            counted();
            break;
        case TYPE_ERROR:
            error_value(v);
            counted();
            break;
        default: {
            Cell dt;
            set_datatype(&dt, t);
            error::raise(error::ERR_ACCESS_NO_CODEC, &dt);
        }
    }
}

void Writer::scalar(const Cell* v, uint32_t t) {
    switch (t) {
        case TYPE_UNSET: case TYPE_NONE:
            header(v, t, false, 0);
            break;
        case TYPE_DATATYPE:
            header(v, t, false, 0);
            num(datatype_value(v));
            break;
        case TYPE_LOGIC:
            if (compact_) {
                if (has_new_line(v)) byte(PREFIX_NEW_LINE);
                byte(logic_value(v) ? BYTE_TRUE : BYTE_FALSE);
            } else {
                header(v, t, false, 0);
                raw32(logic_value(v) ? 1 : 0);
            }
            break;
        case TYPE_CHAR:
            header(v, t, false, 0);
            num(char_value(v));
            break;
        case TYPE_INTEGER: {
            int32_t n = int_value(v);
            if (compact_ && n >= 0 && n <= 63) {
                if (has_new_line(v)) byte(PREFIX_NEW_LINE);
                byte(uint8_t(BYTE_SMALL_INT + n));
            } else {
                header(v, t, false, 0);
                snum(n);
            }
            break;
        }
        case TYPE_PAIR:
            header(v, t, false, 0);
            snum(pair::x_of(v));
            snum(pair::y_of(v));
            break;
        case TYPE_POINT2D: case TYPE_POINT3D:
            header(v, t, false, 0);
            raw32(data_word(v, 0));
            raw32(data_word(v, 1));
            if (t == TYPE_POINT3D) raw32(data_word(v, 2));
            break;
        case TYPE_DATE: {
            uint32_t w = date::word_of(v);
            bool timed = date::has_time(w);
            header(v, t, timed, 0);
            raw32(w);
            if (!compact_) {
                double_hi_lo(date::seconds_of(v));
            } else if (timed) {
                raw32(data_word(v, 1));
                raw32(data_word(v, 2));
            }
            break;
        }
        case TYPE_MONEY:
            header(v, t, money::sign_bit(v), money::sign_bit(v) ? H_MONEY_SIGN : 0);
            bytes(payload_bytes(v), 12);
            break;
        case TYPE_TUPLE: {
            uint32_t n = tuple::count(v);
            if (compact_) {
                header(v, t, n != 3, 0);
                if (n != 3) byte(uint8_t(n));
                bytes(tuple::bytes(v), n);
            } else {
                header(v, t, false, n << 8);
                bytes(tuple::bytes(v), 12);
            }
            break;
        }
        case TYPE_TYPESET: {
            const uint8_t* b = payload_bytes(v);
            header(v, t, false, 0);
            if (compact_) {
                uint32_t k = 12;
                while (k > 0 && b[k - 1] == 0) k--;
                byte(uint8_t(k));
                bytes(b, k);
            } else {
                bytes(b, 12);
            }
            break;
        }
        case TYPE_ISSUE:
            header(v, t, false, 0);
            num(symbol_index(word_symbol(v)));
            break;
    }
    counted();
}

// float!, percent!, time!: a whole number in the compact mode when that is exact.
void Writer::decimal(const Cell* v, uint32_t t) {
    double d = float_value(v);
    if (!compact_) {
        while (out_.size() % 8) out_.push_back(0);
        header(v, t, false, 0);
        double_hi_lo(d);
        counted();
        return;
    }
    int32_t i = 0;
    bool integral = false;
    if (t == TYPE_PERCENT) {
        if (d >= -21474836.0 && d <= 21474836.0) {
            i = int32_t(d >= 0.0 ? d * 100 + 0.5 : d * 100 - 0.5);
            integral = double(i) / 100 == d;
        }
    } else if (d >= -2147483000.0 && d <= 2147483000.0) {
        i = int32_t(d);
        integral = double(i) == d;
    }
    if (i == 0 && std::signbit(d)) integral = false;
    header(v, t, integral, 0);
    if (integral) {
        sleb(i);
    } else {
        raw32(data_word(v, 1));   // the double's low word, then its high word
        raw32(data_word(v, 2));
    }
    counted();
}

void Writer::series(const Cell* v, uint32_t t) {
    uint32_t node = series_node(v);
    const PathRef* path = find(node);
    int32_t head = t == TYPE_MAP || t == TYPE_BITSET ? 0 : std::max(series_head(v), 0);
    bool flag = head != 0;
    uint32_t plain_bits = 0;
    if (is_text_type(t) || t == TYPE_BINARY || t == TYPE_VECTOR) {
        plain_bits = buf(node)->unit() << 8;
    } else if (t == TYPE_BITSET) {
        flag = (buf(node)->flags & F_BITSET_COMPLEMENT) != 0;
        if (flag) plain_bits = H_COMPLEMENT;
    }
    header(v, t, flag, plain_bits, path != nullptr);
    if (t != TYPE_MAP && t != TYPE_BITSET) {
        if (!compact_) raw32(uint32_t(head));
        else if (head) uleb(uint32_t(head));
    }
    if (path) {
        reference(path);
    } else {
        remember(node);
        levels_.push_back(0);
        series_body(v, t, node);
        levels_.pop_back();
    }
    counted();
}

void Writer::series_body(const Cell* v, uint32_t t, uint32_t node) {
    if (t == TYPE_MAP) {
        // Live pairs only: a removed pair's value cell has a header of 0.
        uint32_t n = buf(node)->length() / 2, live = 0;
        for (uint32_t i = 0; i < n; i++) live += buf(node)->cells()[2 * i + 1].header != 0;
        num(2 * live);
        for (uint32_t i = 0; i < n; i++) {
            if (buf(node)->cells()[2 * i + 1].header == 0) continue;
            Cell key = buf(node)->cells()[2 * i], val = buf(node)->cells()[2 * i + 1];
            value(&key);
            value(&val);
        }
        return;
    }
    if (is_any_block_type(t)) {
        uint32_t n = buf(node)->length();
        num(n);
        for (uint32_t i = 0; i < n; i++) {
            Cell c = buf(node)->cells()[i];
            value(&c);
        }
        return;
    }
    SeriesBuf* b = buf(node);
    if (t == TYPE_VECTOR) {
        // Plain: length in elements, the element type; compact: one byte of element type and
        // unit, then the length.
        if (compact_) {
            byte(uint8_t(vector::elem_type(v) * 4 + b->unit_shift()));
            uleb(b->length());
        } else {
            raw32(b->length());
            raw32(vector::elem_type(v));
        }
    } else if (is_text_type(t)) {
        uint32_t unit = b->unit();
        if (compact_) uleb(b->length() * 4 + (unit == 1 ? 0 : unit == 2 ? 1 : 2));
        else raw32(b->length());
    } else {
        num(b->tail);
    }
    bytes(b->data(), b->tail);
    if (!compact_) pad4();
}

// image!: head, then the size and the pixels in one copy, or a reference to the buffer
// written before. An image without pixels (width or height 0) has no buffer to share and is
// written whole each time.
void Writer::image_value(const Cell* v) {
    const uint32_t node = series_node(v);
    const PathRef* path = node ? find(node) : nullptr;
    const int32_t head = std::max(series_head(v), 0);
    header(v, TYPE_IMAGE, head != 0, 0, path != nullptr);
    if (!compact_) raw32(uint32_t(head));
    else if (head) uleb(uint32_t(head));
    if (path) {
        reference(path);
    } else {
        if (node) remember(node);
        const uint32_t w = node ? image::buffer_width(node) : image::width_of(v);
        const uint32_t h = node ? image::buffer_height(node) : image::height_of(v);
        if (compact_) {
            uleb(w);
            uleb(h);
        } else {
            raw32(image::size_word(w, h));
        }
        if (node) bytes(reinterpret_cast<const uint8_t*>(image::buffer_pixels(node)), size_t(w) * h * 4);
    }
    counted();
}

// A word bound to the global context, unbound, or bound to a context whose owner is not an
// object or a function, is written by its symbol alone; so is a word of the function whose
// body is being written (making the function binds its body again).
bool Writer::global_word(const Cell* v) const {
    uint32_t ctx = word_context(v);
    if (ctx == 0 || ctx == context::global) return true;
    uint32_t owner = type_of(context::owner(ctx));
    if (owner != TYPE_OBJECT && owner != TYPE_FUNCTION) return true;
    for (uint32_t c : own_contexts_)
        if (c == ctx) return true;
    return false;
}

void Writer::word(const Cell* v, uint32_t t) {
    uint32_t sym = symbol_index(word_symbol(v));
    if (global_word(v)) {
        header(v, t, false, H_GLOBAL);
        num(sym);
        if (!compact_) raw32(uint32_t(word_index(v)));
        counted();
        return;
    }
    uint32_t ctx = word_context(v);
    const PathRef* path = find(ctx);
    header(v, t, true, 0, path != nullptr);
    num(sym);
    snum(word_index(v));
    if (path) {
        reference(path);
    } else {
        remember(ctx);
        levels_.push_back(0);
        Cell owner = *context::owner(ctx);
        owner_record(&owner);
        levels_.pop_back();
    }
    counted();
}

// The record of a word's context owner, written whole: the context is already remembered
// at the word's path.
void Writer::owner_record(const Cell* owner) {
    if (type_of(owner) == TYPE_OBJECT) {
        if (compact_) byte(TYPE_OBJECT);
        else raw32(TYPE_OBJECT);
        object_body(owner);
    } else {
        if (compact_) byte(TYPE_FUNCTION);
        else raw32(TYPE_FUNCTION);
        function_body(owner);
    }
}

// The context record: kind and flags, the words, and the values when it holds them.
void Writer::context_body(uint32_t ctx) {
    const uint32_t n = context::word_count(ctx);
    const uint32_t h = context::record(ctx)->header;
    const bool stack = context::on_stack(ctx);
    const Cell* values = context::values(ctx);
    bool present = false;
    for (uint32_t i = 0; values && i < n && !present; i++)
        present = type_of(&values[word_index(context::word_at(ctx, i))]) != TYPE_UNSET;
    const uint32_t kind = uint32_t(context::kind(ctx)), own = (h & context::OBJECT_FLAG) ? 1 : 0;
    if (compact_) {
        byte(TYPE_CONTEXT);
        byte(uint8_t(kind | (stack ? 4 : 0) | own << 3 | (present ? 16 : 0)));
    } else {
        raw32(TYPE_CONTEXT | kind << 26 | own << 28 | (stack ? 1u << 29 : 0) | (present ? 1u << 30 : 0));
    }
    num(n);
    for (uint32_t i = 0; i < n; i++) num(symbol_index(word_symbol(context::word_at(ctx, i))));
    if (!present || stack) return;
    for (uint32_t i = 0; i < n; i++) {
        Cell c = context::values(ctx)[word_index(context::word_at(ctx, i))];
        value(&c);
    }
}

void Writer::object_body(const Cell* o) {
    snum(object_class(o));
    context_body(object_ctx(o));
}

// A function: its spec and body lengths, its context, then its spec and body (paths 0 and 1).
void Writer::function_body(const Cell* f) {
    Cell spec, body = memory::buf(callable_aux(f))->cells()[callable::AUX_BODY];
    set_series(&spec, TYPE_BLOCK, callable_spec(f));
    num(buf(callable_spec(f))->length());
    num(type_of(&body) == TYPE_BLOCK ? buf(series_node(&body))->length() : 0);
    context_body(callable_ctx(f));
    own_contexts_.push_back(callable_ctx(f));
    uint32_t saved = levels_.back();
    levels_.back() = 0;
    value(&spec);
    value(&body);
    levels_.back() = saved;
    own_contexts_.pop_back();
}

void Writer::callable(const Cell* v, uint32_t t) {
    if (t == TYPE_OP) {
        uint32_t source = op_source_type(v);
        if (source != TYPE_FUNCTION && source != TYPE_NATIVE && source != TYPE_ACTION) {
            Cell dt;
            set_datatype(&dt, source);
            error::raise(error::ERR_ACCESS_NO_CODEC, &dt);
        }
        header(v, t, false, source << 16);
        Cell under = *v;
        under.header = source;
        callable(&under, source);
        return;
    }
    if (t == TYPE_FUNCTION) {
        const PathRef* path = find(callable_ctx(v));
        header(v, t, false, 0, path != nullptr);
        if (path) {
            reference(path);
        } else {
            remember(callable_ctx(v));
            levels_.push_back(0);
            function_body(v);
            levels_.pop_back();
        }
        return;
    }
    // native!, action!: the slot, then the spec, which is no value of its own for the paths.
    header(v, t, false, 0);
    num(callable_slot(v));
    Cell spec;
    set_series(&spec, TYPE_BLOCK, callable_spec(v));
    no_share_++;
    levels_.push_back(0);
    value(&spec);
    levels_.pop_back();
    no_share_--;
}

// error!: the code, then arg1, arg2, arg3, near, where and stack (paths 0 to 5).
void Writer::error_value(const Cell* v) {
    const PathRef* path = find(object_ctx(v));
    header(v, TYPE_ERROR, false, 0, path != nullptr);
    if (path) {
        // A second reference to one error: written again as a reference.
        reference(path);
        return;
    }
    remember(object_ctx(v));
    const Cell* code = error::field(v, error::F_CODE);
    num(type_of(code) == TYPE_INTEGER ? uint32_t(int_value(code)) : 0);
    levels_.push_back(0);
    for (int f = error::F_ARG1; f <= error::F_STACK; f++) {
        Cell c = *error::field(v, error::Field(f));
        value(&c);
    }
    levels_.pop_back();
}

// Header, symbol table and records into one new binary.
void Writer::finish(Cell* out) {
    const uint32_t count = uint32_t(offsets_.size());
    const bool with_symbols = count > 0;
    std::vector<uint8_t> head(MAGIC, MAGIC + 6);
    head.push_back(VERSION);
    head.push_back(uint8_t((compact_ ? F_COMPACT : 0) | (with_symbols ? F_SYMBOLS : 0)));
    auto put32 = [&](uint32_t v) {
        for (int k = 0; k < 4; k++) head.push_back(uint8_t(v >> (8 * k)));
    };
    auto put_uleb = [&](uint32_t v) {
        while (v >= 0x80) {
            head.push_back(uint8_t(v | 0x80));
            v >>= 7;
        }
        head.push_back(uint8_t(v));
    };
    if (compact_) {
        put_uleb(1);
        put_uleb(uint32_t(out_.size()));
        if (with_symbols) {
            put_uleb(count);
            put_uleb(uint32_t(strings_.size()));
        }
    } else {
        put32(1);
        put32(uint32_t(out_.size()));
        if (with_symbols) {
            put32(count);
            put32(uint32_t(strings_.size()));
        }
    }
    if (with_symbols)
        for (uint32_t o : offsets_) put32(o);
    size_t total = head.size() + strings_.size() + out_.size();
    if (total > 0x7FFFFFF0u) memory::raise_no_memory();
    uint32_t node = memory::new_series(total, 1);
    uint8_t* p = buf(node)->data();
    std::memcpy(p, head.data(), head.size());
    p += head.size();
    if (!strings_.empty()) std::memcpy(p, strings_.data(), strings_.size());
    p += strings_.size();
    if (!out_.empty()) std::memcpy(p, out_.data(), out_.size());
    buf(node)->tail = uint32_t(total);
    set_series(out, TYPE_BINARY, node);
}

}  // namespace

void encode(Cell* out, const Cell* value, bool compact) {
    Writer w(compact);
    Cell v = *value;
    w.value(&v);
    w.finish(out);
}

}  // namespace zel::zelbin
