// The Zelbin reader for both modes (user dialect). Containers are placed in their slot before
// their contents are read, so that a reference path met inside a container (a cycle) reaches
// it. Every number is read through bounds-checked helpers; every count and length is checked
// against the bytes left before anything is allocated for it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "core/callable.h"
#include "core/context.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/symbol.h"
#include "datatypes/scalar/date.h"
#include "datatypes/scalar/pair.h"
#include "datatypes/scalar/tuple.h"
#include "datatypes/series/hash.h"
#include "datatypes/series/image.h"
#include "datatypes/series/map.h"
#include "datatypes/series/string.h"
#include "io/startup_lz.h"
#include "io/zelbin.h"
#include "io/zelbin_format.h"
#include "natives/natives.h"

namespace zel::zelbin {

using memory::buf;

namespace {

// A cell by node and index: the address is derived at each use, since the buffers of the
// root block may move as it grows.
struct Target {
    uint32_t node, index;
    Cell* cell() const { return &buf(node)->cells()[index]; }
};

// What a record's header said.
struct Head {
    const uint8_t* at;     // where the record starts
    uint32_t type;
    uint32_t plain;        // the plain header word (0 in the compact mode)
    bool flag;             // the compact type byte's bit 6
    bool shared;
    bool new_line;
    bool set;              // boot dialect: set this word to the next record's value
};

class Reader {
public:
    Reader(const uint8_t* p, const uint8_t* end, size_t offset_of_p, bool compact, uint32_t root, bool boot)
        : p_(p), end_(end), origin_(p - offset_of_p), compact_(compact), boot_(boot), root_(root) {}
    void run(bool with_symbols, const Cell* data_arg);

private:
    [[noreturn]] void fail(const uint8_t* at) const {
        Cell pos;
        set_integer(&pos, int32_t(at - origin_ + 1));
        error::raise(error::ERR_SCRIPT_ZB_INVALID_RECORD, &pos);
    }
    size_t left() const { return size_t(end_ - p_); }
    void need(size_t n) const {
        if (left() < n) fail(p_);
    }
    uint8_t byte() {
        need(1);
        return *p_++;
    }
    uint32_t raw32() {
        need(4);
        uint32_t v = uint32_t(p_[0]) | uint32_t(p_[1]) << 8 | uint32_t(p_[2]) << 16 | uint32_t(p_[3]) << 24;
        p_ += 4;
        return v;
    }
    uint32_t uleb() {
        const uint8_t* at = p_;
        uint32_t v = 0;
        for (int shift = 0;; shift += 7) {
            uint8_t b = byte();
            if (shift == 28 && (b & 0xF0)) fail(at);   // more than 32 bits
            v |= uint32_t(b & 0x7F) << shift;
            if (!(b & 0x80)) return v;
        }
    }
    uint32_t num() { return compact_ ? uleb() : raw32(); }
    int32_t snum() { return compact_ ? unzigzag(uleb()) : int32_t(raw32()); }
    // A count of records that follow: each takes at least one byte (a word when plain).
    uint32_t record_count() {
        const uint8_t* at = p_;
        uint32_t n = num();
        if (n > left() / (compact_ ? 1 : 4)) fail(at);
        return n;
    }
    void skip_padding() {
        while ((p_ - records_) % 4) byte();
    }

    uint32_t symbol(uint32_t index, const uint8_t* at);
    Head read_head();
    // Decodes one record into t; false for a boot set record, which leaves no value.
    bool record(Target t);
    bool set_record(Target t, const Head& h);
    void put(Target t, const Cell& v, const Head& h) {
        Cell* c = t.cell();
        *c = v;
        set_new_line(c, h.new_line);
    }
    std::vector<uint32_t> path();
    Cell walk(const std::vector<uint32_t>& path, const uint8_t* at);
    bool child(Cell* cur, uint32_t k);

    void scalar(Target t, const Head& h);
    void decimal(Target t, const Head& h);
    void series(Target t, const Head& h);
    void block_body(Target t, const Head& h, int32_t head);
    void map_body(Target t, const Head& h);
    void image_value(Target t, const Head& h);
    void word(Target t, const Head& h);
    int32_t index_in(uint32_t ctx, uint32_t sym, int32_t written, const uint8_t* at);
    uint32_t object_context(bool owner_flag, std::vector<int32_t>& slots, bool* values);
    void context_values(uint32_t ctx, const std::vector<int32_t>& slots);
    void object(Target t, const Head& h);
    void owner_of_word(Cell& word, Target t, const Head& h);
    void function(Cell* made);
    void callable(Target t, const Head& h);
    void error_value(Target t, const Head& h);
    Cell decode_scratch(uint32_t* node);

    const uint8_t* p_;
    const uint8_t* end_;
    const uint8_t* origin_;    // byte 0 of the data, for error positions
    const uint8_t* records_ = nullptr;
    bool compact_;
    bool boot_;          // the boot dialect: set records, words naming contexts by literal index
    uint32_t root_;
    uint32_t root_base_ = 0;
    uint32_t symbol_count_ = 0, strings_size_ = 0;
    const uint8_t* offsets_ = nullptr;
    const uint8_t* strings_ = nullptr;
    std::vector<uint32_t> symbol_ids_;   // interned on first use, 0 until then
    // The global context's slot of each symbol a global word names, -1 until its first word:
    // the global context only grows while a decode runs, so a slot found stays its slot.
    std::vector<int32_t> global_slots_;
    int32_t global_slot(uint32_t index, uint32_t sym) {
        int32_t& slot = global_slots_[index];
        if (slot < 0) slot = context::global_index(sym);
        return slot;
    }

    // A function is made only once its spec and body are read; a reference that reaches it
    // before (through an object its body refers to) finds a pending mark in its slot and is
    // recorded here, to be completed when the function is made.
    struct Fixup {
        Target t;
        bool word;           // a word to bind to the function's context, else the function
        uint32_t type, sym;
        int32_t written;
        bool new_line;
    };
    std::vector<std::vector<Fixup>> pending_;
    static constexpr uint32_t PENDING = 0x5A4C5045;   // in data word 1 of a none! cell
    static bool is_pending(const Cell& c) { return type_of(&c) == TYPE_NONE && data_word(&c, 0) == PENDING; }
    uint32_t mark_pending(Target t) {
        uint32_t id = uint32_t(pending_.size());
        pending_.emplace_back();
        Cell m;
        set_none(&m);
        set_data_word(&m, 0, PENDING);
        set_data_word(&m, 1, id);
        *t.cell() = m;
        return id;
    }
    void wait_for(const Cell& mark, Target t, const Head& h, bool word, uint32_t sym = 0, int32_t written = 0) {
        pending_[data_word(&mark, 1)].push_back({t, word, h.type, sym, written, h.new_line});
        put(t, mark, h);
    }
    void resolve(uint32_t id, const Cell& fn);
};

void Reader::resolve(uint32_t id, const Cell& fn) {
    std::vector<Fixup> fixups;
    fixups.swap(pending_[id]);
    for (const Fixup& f : fixups) {
        Cell v = fn;
        if (f.word) set_word(&v, f.type, callable_ctx(&fn), f.sym, index_in(callable_ctx(&fn), f.sym, f.written, p_));
        else v.header = TYPE_FUNCTION;
        Cell* c = f.t.cell();
        *c = v;
        set_new_line(c, f.new_line);
    }
}

void Reader::run(bool with_symbols, const Cell* data_arg) {
    if (!compact_ && left() < 8) error::raise(error::ERR_SCRIPT_INVALID_DATA, data_arg);
    num();   // the record count: not used
    const uint8_t* at = p_;
    uint32_t size = num();
    if (with_symbols) {
        const uint8_t* sat = p_;
        uint32_t n = num(), s = num();
        if (n > left() / 4) fail(sat);
        offsets_ = p_;
        p_ += 4 * size_t(n);
        if (s > left() || (s > 0 && p_[s - 1] != 0)) fail(sat);
        strings_ = p_;
        p_ += s;
        symbol_count_ = n;
        strings_size_ = s;
        symbol_ids_.assign(n, 0);
        global_slots_.assign(n, -1);
    }
    if (size > left()) fail(at);
    records_ = p_;
    end_ = p_ + size;
    root_base_ = buf(root_)->length();
    while (p_ < end_) {
        uint32_t index = buf(root_)->length();
        memory::append_cell(root_);
        if (!record({root_, index})) buf(root_)->tail -= sizeof(Cell);   // a set record
    }
}

uint32_t Reader::symbol(uint32_t index, const uint8_t* at) {
    if (index >= symbol_count_) fail(at);
    if (symbol_ids_[index]) return symbol_ids_[index];
    const uint8_t* o = offsets_ + 4 * size_t(index);
    uint32_t off = uint32_t(o[0]) | uint32_t(o[1]) << 8 | uint32_t(o[2]) << 16 | uint32_t(o[3]) << 24;
    if (off >= strings_size_) fail(at);
    const void* nul = std::memchr(strings_ + off, 0, strings_size_ - off);
    if (!nul) fail(at);
    size_t n = size_t(static_cast<const uint8_t*>(nul) - (strings_ + off));
    if (n == 0) fail(at);
    return symbol_ids_[index] = symbol::intern(reinterpret_cast<const char*>(strings_ + off), n);
}

Head Reader::read_head() {
    Head h{p_, 0, 0, false, false, false, false};
    if (compact_) {
        uint8_t b;
        for (;;) {
            b = byte();
            if (b == PREFIX_NEW_LINE) h.new_line = true;
            else if (b == PREFIX_SHARED) h.shared = true;
            else if (b == PREFIX_SET && boot_) h.set = true;
            else if (b == PREFIX_SET) fail(h.at);   // boot dialect only
            else break;
        }
        if (b >= 0x80) {
            if (h.shared || h.set) fail(h.at);
            h.type = b;   // 0x80 and above: the special bytes, told apart by record()
            return h;
        }
        h.flag = (b & 0x40) != 0;
        h.type = b & 0x3F;
        if (h.type == 0x3F) h.type = uleb();
        if (h.type == 0) fail(h.at);
        if (h.set && (h.type < TYPE_WORD || h.type > TYPE_ISSUE)) fail(h.at);
        return h;
    }
    uint32_t w;
    do {   // zero words are padding
        h.at = p_;
        w = raw32();
    } while ((w & 0xFF) == 0);
    h.plain = w;
    h.type = w & 0xFF;
    h.shared = (w & H_SHARED) != 0;
    h.new_line = (w & H_NEW_LINE) != 0;
    return h;
}

std::vector<uint32_t> Reader::path() {
    const uint8_t* at = p_;
    if (!compact_ && raw32() != TYPE_REFERENCE) fail(at);
    uint32_t n = num();
    if (n < 1 || n > MAX_PATH || n > left() / (compact_ ? 1 : 4)) fail(at);
    std::vector<uint32_t> indexes(n);
    for (auto& i : indexes) i = num();
    return indexes;
}

// One step of a reference path: the k-th value within cur.
bool Reader::child(Cell* cur, uint32_t k) {
    uint32_t t = type_of(cur);
    if (is_any_block_type(t) || t == TYPE_MAP) {
        SeriesBuf* b = buf(series_node(cur));
        if (k >= b->length()) return false;
        *cur = b->cells()[k];
        return true;
    }
    uint32_t ctx;
    if (t == TYPE_OBJECT) {
        ctx = object_ctx(cur);
    } else if (t == TYPE_ERROR) {
        if (k > 5) return false;
        *cur = *error::field(cur, error::Field(error::F_ARG1 + k));
        return true;
    } else if (is_any_word_type(t) && word_context(cur) && word_context(cur) != context::global) {
        ctx = word_context(cur);
        const Cell* owner = context::owner(ctx);
        if (type_of(owner) == TYPE_FUNCTION) return child(&(*cur = *owner), k);
    } else if (t == TYPE_FUNCTION || (t == TYPE_OP && op_source_type(cur) == TYPE_FUNCTION)) {
        if (k == 0) {
            set_series(cur, TYPE_BLOCK, callable_spec(cur));
            return true;
        }
        if (k == 1) {
            *cur = buf(callable_aux(cur))->cells()[callable::AUX_BODY];
            return true;
        }
        return false;
    } else {
        return false;
    }
    if (k >= context::word_count(ctx) || !context::values(ctx)) return false;
    *cur = context::values(ctx)[word_index(context::word_at(ctx, k))];
    return true;
}

Cell Reader::walk(const std::vector<uint32_t>& path, const uint8_t* at) {
    SeriesBuf* r = buf(root_);
    if (path[0] >= r->length() - root_base_) fail(at);
    Cell cur = r->cells()[root_base_ + path[0]];
    for (size_t i = 1; i < path.size(); i++)
        if (!child(&cur, path[i])) fail(at);
    return cur;
}

bool Reader::record(Target t) {
    interp::check_native_stack();
    Head h = read_head();
    if (h.set) return set_record(t, h);
    if (compact_ && h.type >= 0x80) {
        Cell v;
        if (h.type < BYTE_TRUE) set_integer(&v, int32_t(h.type - BYTE_SMALL_INT));
        else if (h.type == BYTE_TRUE || h.type == BYTE_FALSE) set_logic(&v, h.type == BYTE_TRUE);
        else if (h.type == BYTE_REFERENCE) v = walk(path(), h.at);
        else fail(h.at);
        if (is_pending(v)) wait_for(v, t, h, false);
        else put(t, v, h);
        return true;
    }
    if (!compact_ && h.type == TYPE_REFERENCE) {
        p_ = h.at;   // the reference record is read whole
        Cell v = walk(path(), h.at);
        if (is_pending(v)) wait_for(v, t, h, false);
        else put(t, v, h);
        return true;
    }
    switch (h.type) {
        case TYPE_UNSET: case TYPE_NONE: case TYPE_DATATYPE: case TYPE_LOGIC: case TYPE_CHAR:
        case TYPE_INTEGER: case TYPE_PAIR: case TYPE_POINT2D: case TYPE_POINT3D: case TYPE_DATE:
        case TYPE_MONEY: case TYPE_TUPLE: case TYPE_TYPESET: case TYPE_ISSUE:
            if (h.shared) fail(h.at);
            scalar(t, h);
            return true;
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME:
            if (h.shared) fail(h.at);
            decimal(t, h);
            return true;
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
            word(t, h);
            return true;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
        case TYPE_GET_PATH: case TYPE_HASH: case TYPE_MAP: case TYPE_STRING: case TYPE_FILE: case TYPE_URL:
        case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: case TYPE_BINARY: case TYPE_BITSET: case TYPE_VECTOR:
            series(t, h);
            return true;
        case TYPE_IMAGE:
            image_value(t, h);
            return true;
        case TYPE_OBJECT:
            object(t, h);
            return true;
        case TYPE_FUNCTION: case TYPE_NATIVE: case TYPE_ACTION: case TYPE_OP:
            callable(t, h);
            return true;
        case TYPE_ERROR:
            error_value(t, h);
            return true;
        case TYPE_ROUTINE: case TYPE_TRIPLE: case TYPE_HANDLE: case TYPE_PORT: case TYPE_EVENT: {
            Cell dt;
            set_datatype(&dt, h.type);
            error::raise(error::ERR_ACCESS_NO_CODEC, &dt);
        }
        default:
            fail(h.at);
    }
}

// Boot dialect: a word, then the record of its value, which is assigned to it.
bool Reader::set_record(Target t, const Head& h) {
    if (t.node != root_) fail(h.at);
    Head word_head = h;
    word_head.set = false;
    word(t, word_head);
    Cell w = *t.cell();
    uint32_t node;
    Cell v = decode_scratch(&node);
    if (!word_context(&w) || word_index(&w) < 0) fail(h.at);
    Cell* slot = context::value_at(word_context(&w), word_index(&w));
    if (!slot) fail(h.at);
    *slot = v;
    return false;
}

void Reader::scalar(Target t, const Head& h) {
    Cell v;
    switch (h.type) {
        case TYPE_UNSET: set_unset(&v); break;
        case TYPE_NONE: set_none(&v); break;
        case TYPE_DATATYPE: {
            uint32_t id = num();
            if (id < 1 || id > TYPE_MAX) fail(h.at);
            set_datatype(&v, id);
            break;
        }
        case TYPE_LOGIC:   // compact logic values are the bytes 0xC2 and 0xC3
            if (compact_) fail(h.at);
            set_logic(&v, raw32() != 0);
            break;
        case TYPE_CHAR: {
            uint32_t cp = num();
            if (cp > 0x10FFFF) fail(h.at);
            set_char(&v, cp);
            break;
        }
        case TYPE_INTEGER: set_integer(&v, snum()); break;
        case TYPE_PAIR: {
            int32_t x = snum(), y = snum();
            v.header = TYPE_PAIR;
            set_data_word(&v, 0, 0);
            pair::set_x(&v, x);
            pair::set_y(&v, y);
            break;
        }
        case TYPE_POINT2D: case TYPE_POINT3D:
            v.header = h.type;
            set_data_word(&v, 0, raw32());
            set_data_word(&v, 1, raw32());
            set_data_word(&v, 2, h.type == TYPE_POINT3D ? raw32() : 0);
            break;
        case TYPE_DATE: {
            uint32_t w = raw32();
            uint32_t month = (w >> 12) & 0xF, day = (w >> 7) & 0x1F;
            if (month < 1 || month > 12 || day < 1) fail(h.at);
            double seconds = 0;
            if (!compact_) {
                uint64_t hi = raw32(), lo = raw32();
                uint64_t bits = hi << 32 | lo;
                std::memcpy(&seconds, &bits, 8);
            } else if (h.flag) {
                uint64_t lo = raw32(), hi = raw32();
                uint64_t bits = hi << 32 | lo;
                std::memcpy(&seconds, &bits, 8);
            }
            if (!date::has_time(w)) seconds = 0;
            date::set_cell(&v, w, seconds);
            break;
        }
        case TYPE_MONEY: {
            need(12);
            v.header = TYPE_MONEY;
            std::memcpy(payload_bytes(&v), p_, 12);
            for (int i = 1; i < 12; i++)
                if ((p_[i] >> 4) > 9 || (p_[i] & 0xF) > 9) fail(h.at);
            p_ += 12;
            bool negative = compact_ ? h.flag : (h.plain & H_MONEY_SIGN) != 0;
            if (negative) v.header |= HEADER_MONEY_SIGN;
            break;
        }
        case TYPE_TUPLE: {
            uint32_t n = compact_ ? (h.flag ? byte() : 3) : (h.plain >> 8) & 0xF;
            if (n < 1 || n > 12) fail(h.at);
            size_t stored = compact_ ? n : 12;
            need(stored);
            tuple::write_cell(&v, p_, n);
            p_ += stored;
            break;
        }
        case TYPE_TYPESET: {
            uint32_t k = compact_ ? byte() : 12;
            if (k > 12) fail(h.at);
            need(k);
            v.header = TYPE_TYPESET;
            clear_payload(&v);
            std::memcpy(payload_bytes(&v), p_, k);
            p_ += k;
            break;
        }
        case TYPE_ISSUE: {
            const uint8_t* at = p_;
            set_word(&v, TYPE_ISSUE, 0, symbol(num(), at), -1);
            break;
        }
    }
    put(t, v, h);
}

void Reader::decimal(Target t, const Head& h) {
    double d;
    if (compact_ && h.flag) {
        int32_t i = unzigzag(uleb());
        d = h.type == TYPE_PERCENT ? double(i) / 100 : double(i);
    } else {
        uint64_t a = raw32(), b = raw32();
        uint64_t bits = compact_ ? (b << 32 | a) : (a << 32 | b);
        std::memcpy(&d, &bits, 8);
    }
    Cell v;
    set_float_bits(&v, h.type, d);
    put(t, v, h);
}

// The storage kind of a series type: a shared record must reach a value of its own kind.
int storage_kind(uint32_t t) {
    if (is_any_block_type(t)) return 1;
    if (is_text_type(t)) return 2;
    if (t == TYPE_BINARY) return 3;
    if (t == TYPE_BITSET) return 4;
    if (t == TYPE_MAP) return 5;
    if (t == TYPE_VECTOR) return 6;
    return 0;
}

void Reader::series(Target t, const Head& h) {
    int32_t head = 0;
    if (h.type != TYPE_MAP && h.type != TYPE_BITSET) {
        const uint8_t* at = p_;
        uint32_t n = compact_ ? (h.flag ? uleb() : 0) : raw32();
        if (n > 0x7FFFFFFFu) fail(at);
        head = int32_t(n);
    }
    if (h.shared) {
        Cell v = walk(path(), h.at);
        if (storage_kind(type_of(&v)) != storage_kind(h.type)) fail(h.at);
        bool was_hash = type_of(&v) == TYPE_HASH;
        if (h.type != TYPE_MAP && h.type != TYPE_BITSET) {
            v.header = h.type;
            set_series_head(&v, int32_t(head));
            if (h.type != TYPE_HASH && is_any_block_type(h.type)) set_series_extra(&v, 0);
        }
        put(t, v, h);
        if (h.type == TYPE_HASH && !was_hash) hash::index_cell(t.cell());
        return;
    }
    if (is_any_block_type(h.type)) return block_body(t, h, head);
    if (h.type == TYPE_MAP) return map_body(t, h);
    const uint8_t* at = p_;
    uint32_t unit = 1, length, elem = 0;
    auto valid_vector = [](uint32_t e, uint32_t u) {
        if (e == TYPE_INTEGER || e == TYPE_CHAR) return u == 1 || u == 2 || u == 4;
        return (e == TYPE_FLOAT || e == TYPE_PERCENT) && (u == 4 || u == 8);
    };
    if (h.type == TYPE_VECTOR) {
        if (compact_) {
            uint32_t k = byte();
            elem = k >> 2;
            unit = 1u << (k & 3);
            length = uleb();
        } else {
            unit = (h.plain >> 8) & 0xFF;
            length = raw32();
            elem = raw32();
        }
        if (!valid_vector(elem, unit)) fail(at);
    } else if (is_text_type(h.type)) {
        if (compact_) {
            uint32_t u = uleb();
            if ((u & 3) == 3) fail(at);
            unit = 1u << (u & 3);
            length = u >> 2;
        } else {
            unit = (h.plain >> 8) & 0xFF;
            if (unit != 1 && unit != 2 && unit != 4) fail(h.at);
            length = raw32();
        }
    } else {
        length = num();
    }
    uint64_t bytes = uint64_t(length) * unit;
    if (bytes > left()) fail(at);
    uint32_t node = is_text_type(h.type) ? string::new_node(size_t(bytes), unit)
                  : memory::new_series(size_t(bytes ? bytes : unit) / unit, h.type == TYPE_VECTOR ? unit : 1);
    SeriesBuf* b = buf(node);
    if (bytes) std::memcpy(b->data(), p_, size_t(bytes));
    b->tail = uint32_t(bytes);
    if (h.type == TYPE_BITSET && (compact_ ? h.flag : (h.plain & H_COMPLEMENT) != 0)) b->flags |= F_BITSET_COMPLEMENT;
    p_ += bytes;
    if (!compact_) skip_padding();
    Cell v;
    set_series(&v, h.type, node, head, elem);
    put(t, v, h);
}

// Blocks, parens, paths and hashes: placed first, then filled (a cycle finds them).
void Reader::block_body(Target t, const Head& h, int32_t head) {
    uint32_t n = record_count();
    uint32_t node = memory::new_cell_series(n ? n : 1);
    Cell v;
    set_series(&v, h.type == TYPE_HASH ? TYPE_BLOCK : h.type, node, head);
    put(t, v, h);
    for (uint32_t i = 0; i < n; i++) {
        memory::append_cell(node);
        record({node, i});
    }
    if (h.type == TYPE_HASH) {
        Cell* c = t.cell();
        c->header = (c->header & ~HEADER_TYPE_MASK) | TYPE_HASH;
        hash::index_cell(c);
    }
}

// A map: its pairs are read into a block that stands in its place, then made into the map.
void Reader::map_body(Target t, const Head& h) {
    const uint8_t* at = p_;
    uint32_t n = record_count();
    if (n % 2) fail(at);
    uint32_t node = memory::new_cell_series(n ? n : 1);
    Cell v;
    set_series(&v, TYPE_BLOCK, node);
    put(t, v, h);
    for (uint32_t i = 0; i < n; i++) {
        memory::append_cell(node);
        record({node, i});
    }
    Cell m;
    map::from_cells(&m, buf(node)->cells(), n);
    put(t, m, h);
}

// image!: the head, then the size and the pixels, or a reference to an image read before.
// The sides are checked, and the pixels against the bytes left, before the buffer is made;
// a head past the last pixel is never written (the image actions keep heads within it).
void Reader::image_value(Target t, const Head& h) {
    const uint8_t* at = p_;
    const uint32_t head = compact_ ? (h.flag ? uleb() : 0) : raw32();
    Cell v;
    if (h.shared) {
        v = walk(path(), h.at);
        if (type_of(&v) != TYPE_IMAGE) fail(h.at);
    } else {
        const uint8_t* sat = p_;
        uint32_t w, ht;
        if (compact_) {
            w = uleb();
            ht = uleb();
        } else {
            uint32_t size = raw32();
            w = size & 0xFFFF;
            ht = size >> 16;
        }
        if (w > image::MAX_SIDE || ht > image::MAX_SIDE) fail(sat);
        const uint64_t bytes = uint64_t(w) * ht * 4;
        if (bytes > left()) fail(sat);
        uint32_t node = 0;
        if (bytes) {
            node = image::new_buffer(w, ht);
            std::memcpy(image::buffer_pixels(node), p_, size_t(bytes));
            p_ += bytes;
        }
        image::init_cell(&v, node, w, ht);
    }
    if (head > image::pixel_count(&v)) fail(at);
    set_series_head(&v, int32_t(head));
    put(t, v, h);
}

// A word: by symbol in the global context, or bound to the context of the owner that its
// reference reaches or that follows it.
void Reader::word(Target t, const Head& h) {
    const uint8_t* at = p_;
    const uint32_t index = num();
    uint32_t sym = symbol(index, at);
    bool bound = compact_ ? h.flag : (h.plain & H_GLOBAL) == 0;
    Cell w;
    if (!bound) {
        if (!compact_) raw32();   // the index in the global context: looked up again
        set_word(&w, h.type, context::global, sym, global_slot(index, sym));
        return put(t, w, h);
    }
    if (boot_ && compact_) {
        // The context is that of the literal-table cell named by index, counted from the
        // first value of this decode.
        const uint8_t* lat = p_;
        uint32_t literal = uleb();
        int32_t index = unzigzag(uleb());
        SeriesBuf* r = buf(root_);
        if (literal >= r->length() - root_base_) fail(lat);
        const Cell* c = &r->cells()[root_base_ + literal];
        uint32_t ct = type_of(c), ctx = 0;
        if (ct == TYPE_OBJECT || ct == TYPE_FUNCTION || ct == TYPE_ERROR) ctx = value_context(c);
        else if (is_any_word_type(ct)) ctx = word_context(c);
        if (!ctx) fail(lat);
        if (index < 0) index = index_in(ctx, sym, -2, lat);
        else if (uint32_t(index) >= context::word_count(ctx)) fail(lat);
        set_word(&w, h.type, ctx, sym, index);
        return put(t, w, h);
    }
    int32_t written = snum();   // the index in its context: looked up again by symbol
    if (h.shared) {
        Cell owner = walk(path(), h.at);
        if (is_pending(owner)) return wait_for(owner, t, h, true, sym, written);
        uint32_t ot = type_of(&owner), ctx = 0;
        if (ot == TYPE_OBJECT || ot == TYPE_FUNCTION || ot == TYPE_OP) ctx = value_context(&owner);
        else if (is_any_word_type(ot)) ctx = word_context(&owner);
        if (!ctx || ctx == context::global) fail(h.at);
        set_word(&w, h.type, ctx, sym, index_in(ctx, sym, written, h.at));
        return put(t, w, h);
    }
    set_word(&w, h.type, 0, sym, written);
    owner_of_word(w, t, h);
}

// A bound word's slot, found by its symbol; a word written with index -1 (self) reads the
// context's owner and keeps that index.
int32_t Reader::index_in(uint32_t ctx, uint32_t sym, int32_t written, const uint8_t* at) {
    int32_t index = context::index_of(ctx, sym, false);
    if (index < 0) index = context::index_of(ctx, sym, true);
    if (index < 0 && written != -1) fail(at);
    return index < 0 ? -1 : index;
}

// The owner record after a word: the word is bound and placed before the owner's values are
// read, so that references through the word reach them.
void Reader::owner_of_word(Cell& w, Target t, const Head& h) {
    const uint8_t* at = p_;
    uint32_t type = compact_ ? byte() : (raw32() & 0xFF);
    uint32_t ctx;
    std::vector<int32_t> slots;
    bool values = false;
    if (type == TYPE_OBJECT) {
        snum();   // class id
        ctx = object_context(false, slots, &values);
        Cell o;
        object::wrap(&o, ctx, -1);
    } else if (type == TYPE_FUNCTION) {
        uint32_t id = mark_pending(t);
        Cell f;
        function(&f);
        resolve(id, f);
        ctx = callable_ctx(&f);
    } else {
        fail(at);
    }
    set_word(&w, h.type, ctx, word_symbol(&w), index_in(ctx, word_symbol(&w), word_index(&w), h.at));
    put(t, w, h);
    if (values) context_values(ctx, slots);
}

// An object's class id and context record up to its values: a new object context with the
// words read (a word twice is damaged data).
uint32_t Reader::object_context(bool owner_flag, std::vector<int32_t>& slots, bool* values) {
    if (owner_flag) {
        snum();
        snum();
    }
    const uint8_t* at = p_;
    bool stack;
    if (compact_) {
        if (byte() != TYPE_CONTEXT) fail(at);
        uint8_t flags = byte();
        stack = flags & 4;
        *values = (flags & 16) && !stack;
    } else {
        uint32_t w = raw32();
        if ((w & 0xFF) != TYPE_CONTEXT) fail(at);
        stack = w & (1u << 29);
        *values = (w & (1u << 30)) && !stack;
    }
    uint32_t n = record_count();
    uint32_t ctx = context::allocate(n, false, true, context::KIND_OBJECT);
    slots.resize(n);
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t* sat = p_;
        uint32_t sym = symbol(num(), sat);
        uint32_t before = context::word_count(ctx);
        slots[i] = context::add_word(ctx, sym, false);
        if (context::word_count(ctx) != before + 1) fail(sat);
    }
    return ctx;
}

void Reader::context_values(uint32_t ctx, const std::vector<int32_t>& slots) {
    uint32_t values = context::values_node(ctx);
    for (int32_t slot : slots) record({values, uint32_t(slot)});
}

void Reader::object(Target t, const Head& h) {
    if (h.shared) {
        Cell v = walk(path(), h.at);
        if (is_any_word_type(type_of(&v)) && word_context(&v)) v = *context::owner(word_context(&v));
        if (type_of(&v) != TYPE_OBJECT) fail(h.at);
        return put(t, v, h);
    }
    bool owner = compact_ ? h.flag : (h.plain & H_OWNER) != 0;
    int32_t class_id = snum();   // objects from outside get a class of their own (-1)
    std::vector<int32_t> slots;
    bool values = false;
    uint32_t ctx = object_context(owner, slots, &values);
    Cell o;
    object::wrap(&o, ctx, boot_ ? class_id : -1);
    put(t, o, h);
    if (values) context_values(ctx, slots);
}

// A scratch block of one cell, for records that are parts of another (specs, bodies).
Cell Reader::decode_scratch(uint32_t* node) {
    *node = memory::new_cell_series(1);
    memory::append_cell(*node);
    record({*node, 0});
    return buf(*node)->cells()[0];
}

// A function: lengths, context, spec and body, made again as the func native makes one.
void Reader::function(Cell* made) {
    const uint8_t* at = p_;
    uint32_t spec_len = num(), body_len = num();
    if (spec_len > left() || body_len > left()) fail(at);
    std::vector<int32_t> slots;
    bool values = false;
    uint32_t ctx = object_context(false, slots, &values);
    if (values) context_values(ctx, slots);   // read and dropped: the function makes its own
    uint32_t s_node, b_node;
    Cell spec = decode_scratch(&s_node);
    Cell body = decode_scratch(&b_node);
    if (type_of(&spec) != TYPE_BLOCK || type_of(&body) != TYPE_BLOCK) fail(at);
    uint32_t flags = callable::check_spec(&spec);
    callable::make_function(made, &spec, &body, flags);
}

void Reader::callable(Target t, const Head& h) {
    if (h.type == TYPE_OP) {
        if (h.shared) fail(h.at);
        uint32_t id = mark_pending(t);
        uint32_t node;
        Cell source = decode_scratch(&node);
        if (!is_callable_type(type_of(&source)) || type_of(&source) == TYPE_ROUTINE) fail(h.at);
        Cell op;
        callable::make_op(&op, &source);
        put(t, op, h);
        if (type_of(&source) == TYPE_FUNCTION) resolve(id, source);
        else if (!pending_[id].empty()) fail(h.at);
        return;
    }
    if (h.type == TYPE_FUNCTION) {
        Cell f;
        if (h.shared) {
            f = walk(path(), h.at);
            if (is_pending(f)) return wait_for(f, t, h, false);
            if (is_any_word_type(type_of(&f)) && word_context(&f)) f = *context::owner(word_context(&f));
            if (type_of(&f) == TYPE_OP) f.header = TYPE_FUNCTION;
            if (type_of(&f) != TYPE_FUNCTION) fail(h.at);
        } else {
            uint32_t id = mark_pending(t);
            function(&f);
            put(t, f, h);
            return resolve(id, f);
        }
        return put(t, f, h);
    }
    // native!, action!: the slot must name one (natives 1-107, actions 1-62 but 8 and 9).
    const uint8_t* at = p_;
    uint32_t slot = num();
    bool ok = h.type == TYPE_NATIVE ? slot >= 1 && slot <= 107 : slot >= 1 && slot <= 62 && slot != 8 && slot != 9;
    if (!ok || h.shared) fail(at);
    uint32_t node;
    Cell spec = decode_scratch(&node);
    if (type_of(&spec) != TYPE_BLOCK) fail(at);
    Cell v;
    callable::make_native(&v, h.type, &spec, int32_t(slot));
    put(t, v, h);
}

void Reader::error_value(Target t, const Head& h) {
    if (h.shared) {
        Cell v = walk(path(), h.at);
        if (type_of(&v) != TYPE_ERROR) fail(h.at);
        return put(t, v, h);
    }
    Cell code;
    set_integer(&code, int32_t(num()));
    Cell e;
    error::make_from_spec(&e, &code);
    put(t, e, h);
    uint32_t values = context::values_node(object_ctx(&e));
    for (uint32_t f = error::F_ARG1; f <= error::F_STACK; f++) record({values, f});
}

}  // namespace

// A boot image that cannot be read ends start-up.
[[noreturn]] void boot_failure(const char* message) {
    std::fprintf(stderr, "%s\n", message);
    std::exit(1);
}

void decode_in(const uint8_t* data, size_t len, uint32_t dest, const Cell* data_arg, bool boot) {
    if (len < 8 || std::memcmp(data, MAGIC, 6) != 0) {
        if (boot) boot_failure("Error: Not a Zelbin file!");
        error::raise(error::ERR_SCRIPT_INVALID_DATA, data_arg);
    }
    const uint8_t flags = data[7];
    const uint8_t* p = data + 8;
    const uint8_t* end = data + len;
    std::unique_ptr<uint8_t, void (*)(uint8_t*)> inflated(nullptr, startup_lz::free);
    if (flags & F_COMPRESSED) {
        size_t n = 0;
        inflated.reset(startup_lz::decompress(p, len - 8, &n));
        if (!inflated && boot) boot_failure("Error: Zelbin compressed data corrupted!");
        if (!inflated) error::raise(error::ERR_SCRIPT_INVALID_DATA, data_arg);
        p = inflated.get();
        end = p + n;
    }
    Reader r(p, end, 8, (flags & F_COMPACT) != 0, dest, boot);
    r.run((flags & F_SYMBOLS) != 0, data_arg);
}

void decode(const uint8_t* data, size_t len, uint32_t dest, const Cell* data_arg) {
    decode_in(data, len, dest, data_arg, false);
}

void boot_load(const uint8_t* image, size_t len, uint32_t dest) {
    Cell none;
    set_none(&none);
    decode_in(image, len, dest, &none, true);
}

}  // namespace zel::zelbin
