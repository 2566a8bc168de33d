// The parse dialect engine and the `parse` native (see parse.h).
//
// One call's walk state lives in a Walk: value-stack cells for the input (its head index is the
// input position), the current rule block, a scratch cell for single matched values and kept
// values, and two cells for values in transit; integers for the rule position and the flags.
// The rule stack holds the open levels, three cells each:
//   block level      c0 none!   c1 triple(rule position of the block value in its parent,
//                                         input index at entry, remaining count)
//                               c2 the parent rule block (its head as it was)
//   iteration level  c0 triple(minimum, maximum or -1, counter), or the target word of copy
//                       and set (case and collect keep a saved value in the maximum slot)
//                    c1 triple(rule position of the keyword or of its last argument word,
//                              input index where the current attempt started, remaining count)
//                    c2 triple(command code of the last child level that closed directly
//                              below it (read by keep), command code, pick flag)
// Rule positions are absolute indexes into the rule block's buffer.
#include "natives/parse.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <string>
#include <vector>

#include "core/actions.h"
#include "core/collector.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/typeset_bits.h"
#include "core/word.h"
#include "datatypes/scalar/triple.h"
#include "core/block.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::parse {

using memory::buf;

namespace {

uint32_t rule_stack = 0;     // block of the open levels of every running call
uint32_t series_stack = 0;   // block of the inputs of every running call and open `into`

// ---- command codes of iteration levels ----
enum Code : int32_t {
    C_REPEAT = -1, C_TO = -2, C_THRU = -3, C_COPY = -4, C_SET = -5, C_NOT = -6, C_INTO = -7,
    C_REMOVE = -9, C_WHILE = -11, C_COLLECT = -12, C_KEEP = -13, C_KEEP_PAREN = -14,
    C_AHEAD = -16, C_CHANGE = -17, C_CHANGE_ONLY = -18, C_CASE = -19,
};

// ---- keywords ----
enum Keyword : uint8_t {
    K_UNKNOWN = 0, K_ANY, K_BREAK, K_COPY, K_END, K_FAIL, K_INTO, K_OPT, K_NOT, K_QUOTE, K_CASE,
    K_REJECT, K_SET, K_SKIP, K_SOME, K_THRU, K_TO, K_NONE, K_BAR, K_DASH, K_IF, K_REMOVE, K_WHILE,
    K_INSERT, K_ONLY, K_COLLECT, K_KEEP, K_PICK, K_AHEAD, K_AFTER, K_CHANGE, K_COUNT,
    K_RULE_WORD = 255,
};
const SymId KEYWORD_SYMS[K_COUNT] = {
    SYM_COUNT, SYM_ANY, SYM_BREAK, SYM_COPY, SYM_END, SYM_FAIL, SYM_INTO, SYM_OPT, SYM_NOT, SYM_QUOTE,
    SYM_CASE, SYM_REJECT, SYM_SET, SYM_SKIP, SYM_SOME, SYM_THRU, SYM_TO, SYM_NONE, SYM_BAR, SYM_DASH,
    SYM_IF, SYM_REMOVE, SYM_WHILE, SYM_INSERT, SYM_ONLY, SYM_COLLECT, SYM_KEEP, SYM_PICK, SYM_AHEAD,
    SYM_AFTER, SYM_CHANGE,
};
uint32_t keyword_canon[K_COUNT];
std::vector<uint8_t> keyword_by_symbol;   // by symbol id: 0 not looked at yet

uint8_t keyword_slow(uint32_t s) {
    uint32_t c = symbol::canonical(s);
    uint8_t k = K_RULE_WORD;
    for (int i = 1; i < K_COUNT; i++)
        if (keyword_canon[i] == c) k = uint8_t(i);
    if (s >= keyword_by_symbol.size()) keyword_by_symbol.resize(size_t(s) + 256, 0);
    keyword_by_symbol[s] = k;
    return k;
}
inline uint8_t keyword_of(uint32_t s) {
    if (s < keyword_by_symbol.size() && keyword_by_symbol[s]) return keyword_by_symbol[s];
    return keyword_slow(s);
}

// The trace events.
enum Event { EV_PUSH, EV_POP, EV_FETCH, EV_MATCH, EV_ITERATE, EV_PAREN, EV_END, EV_COUNT };
const char* const EVENT_NAMES[EV_COUNT] = {"push", "pop", "fetch", "match", "iterate", "paren", "end"};
uint32_t event_symbol[EV_COUNT];

enum InKind { IN_BLOCK, IN_STRING, IN_BINARY };
inline InKind kind_of_type(uint32_t t) {
    if (t == TYPE_BINARY) return IN_BINARY;
    if (is_any_block_type(t)) return IN_BLOCK;
    return IN_STRING;
}

// What one step of the walk goes on with.
enum State { S_FETCH, S_DISPATCH, S_AFTER, S_BACKTRACK, S_CLOSE_BLOCK, S_RESOLVE, S_POP, S_ARGUMENT, S_END };
enum Outcome { R_END, R_STOP, R_UNWIND };

struct Walk {
    Cell* input;      // the current input; its head index is the input position
    Cell* rules;      // the current rule block
    Cell* scratch;    // single matched values, the kept paren value, the copied series
    Cell* val;        // the rule value being dispatched
    Cell* aux;        // values in transit (words to set, edit values)
    const Cell* callback;
    int32_t rpos = 0;
    bool match = true;
    bool brk = false;
    int case_mode = 0;
    int64_t limit = -1;
    int collect_depth = 0;
    uint32_t rule_base = 0;     // first rule-stack cell of this call
    uint32_t series_base = 0;   // the call's input cell on the series stack
    uint32_t collect_base = 0;  // value-stack index of the first collect entry
    InKind kind = IN_STRING;
};

// ---- small accessors ----
inline SeriesBuf* rs() { return buf(rule_stack); }
inline uint32_t rs_len() { return rs()->length(); }
inline uint32_t ss_len() { return buf(series_stack)->length(); }
inline Cell* level(uint32_t k) { SeriesBuf* b = rs(); return b->cells() + b->length() - LEVEL_CELLS + k; }
inline bool top_is_iter(const Walk& w) { return rs_len() > w.rule_base && type_of(level(0)) != TYPE_NONE; }
inline void drop_level() { rs()->tail -= LEVEL_CELLS * sizeof(Cell); }
inline int32_t level_code() { return triple::b_of(level(2)); }

inline int32_t pos(const Walk& w) { return series_head(w.input); }
inline void set_pos(Walk& w, int64_t p) { set_series_head(w.input, int32_t(p)); }
inline int32_t in_len(const Walk& w) { return int32_t(buf(series_node(w.input))->length()); }
inline int32_t end_index(const Walk& w) {
    int32_t n = in_len(w);
    return w.limit >= 0 && w.limit < n ? int32_t(w.limit) : n;
}
inline bool at_end(const Walk& w) { return pos(w) >= end_index(w); }
inline int32_t remaining(const Walk& w) { int32_t r = in_len(w) - pos(w); return r < 0 ? 0 : r; }

inline int32_t rule_len(const Walk& w) { return int32_t(buf(series_node(w.rules))->length()); }
inline const Cell* rule_at(const Walk& w, int32_t i) { return buf(series_node(w.rules))->cells() + i; }

inline bool folding(const Walk& w) { return w.case_mode != 2; }
inline uint32_t fold_cp(uint32_t c) {
    if (c < 128) return (c >= 'a' && c <= 'z') ? c - 32 : c;
    return string::fold(c);
}

void set_input(Walk& w, const Cell* series) {
    *w.input = *series;
    w.kind = kind_of_type(type_of(series));
    int32_t h = series_head(series), n = in_len(w);
    if (h < 0) h = 0;
    if (h > n) h = n;
    set_pos(w, h);
}

// ---- errors ----
void keyword_word(Cell* out, uint8_t k) { runtime_words::make_word(out, KEYWORD_SYMS[k]); }
[[noreturn]] void raise_end(uint8_t k) {
    Cell w;
    keyword_word(&w, k);
    error::raise(error::ERR_SCRIPT_PARSE_END, &w);
}
[[noreturn]] void raise_rule(const Cell* v) {
    Cell c = *v;
    error::raise(error::ERR_SCRIPT_PARSE_RULE, &c);
}

// ---- a keyword's arguments in the rule block ----
// The keyword the word at rule position i names (K_RULE_WORD for another word), K_UNKNOWN
// when the rule ends before i (n is the rule block's length) or the cell there is no word.
uint8_t keyword_at(const Walk& w, int32_t i, int32_t n) {
    if (i >= n) return K_UNKNOWN;
    const Cell* c = rule_at(w, i);
    return type_of(c) == TYPE_WORD ? keyword_of(word_symbol(c)) : uint8_t(K_UNKNOWN);
}
// Steps i over the optional modifier keyword k (only, pick) standing there; true when it did.
bool skip_keyword(const Walk& w, int32_t& i, int32_t n, uint8_t k) {
    if (keyword_at(w, i, n) != k) return false;
    i++;
    return true;
}
// The argument of keyword k at rule position i; raises parse-end for k when the rule ends first.
Cell argument_at(const Walk& w, int32_t i, int32_t n, uint8_t k) {
    if (i >= n) raise_end(k);
    return *rule_at(w, i);
}

// ---- stacks ----
[[noreturn]] void raise_stack() { error::raise(error::ERR_SCRIPT_PARSE_STACK); }
inline void check_stacks() {
    if (rs_len() > STACK_LIMIT || ss_len() > STACK_LIMIT) raise_stack();
}

// Pushes one level's three cells (the arguments are locals or value-stack cells, never cells
// of the rule stack itself, which may move when it grows).
inline void push_level(const Cell& c0, const Cell& c1, const Cell& c2) {
    SeriesBuf* b = rs();
    constexpr uint32_t bytes = LEVEL_CELLS * sizeof(Cell);
    if (b->tail + bytes > b->size) b = memory::ensure_room(rule_stack, bytes);
    Cell* d = b->cell_tail();
    d[0] = c0;
    d[1] = c1;
    d[2] = c2;
    b->tail += bytes;
}

// Opens a block level for the block value met at rule position value_pos: the block becomes
// the current rule block.
void open_block(Walk& w, const Cell* block_value, int32_t value_pos) {
    check_stacks();
    Cell blk = *block_value;
    Cell c0, c1;
    set_none(&c0);
    triple::write_cell(&c1, value_pos, pos(w), remaining(w));
    push_level(c0, c1, *w.rules);
    *w.rules = blk;
    int32_t h = series_head(&blk), n = rule_len(w);
    if (h < 0) h = 0;
    if (h > n) h = n;
    w.rpos = h - 1;
    w.match = true;
}

// Opens an iteration level whose keyword (or last argument word) stands at kw_pos; the rule
// position moves to the argument.
void open_iter(Walk& w, const Cell& c0, int32_t kw_pos, int32_t code, int32_t flag) {
    check_stacks();
    Cell c1, c2;
    triple::write_cell(&c1, kw_pos, pos(w), remaining(w));
    triple::write_cell(&c2, 0, code, flag);
    push_level(c0, c1, c2);
    w.rpos = kw_pos + 1;
}
void open_repeat(Walk& w, int32_t min, int32_t max, int32_t kw_pos, int32_t code) {
    Cell c0;
    triple::write_cell(&c0, min, max, 1);
    open_iter(w, c0, kw_pos, code, 0);
}

// ---- evaluation ----

// Evaluates a paren; with keep its value goes to the scratch cell. False when an unwinding is
// pending (the walk ends at once).
bool eval_paren(Walk& w, const Cell* paren, bool keep) {
    Cell p = *paren;
    Cell* mark = stack::top;
    interp::eval_block(&p, false);
    if (stack::unwinding()) return false;
    if (keep) *w.scratch = *(stack::top - 1);
    stack::top = mark;
    return true;
}

// After an evaluation: the rule position stays inside the (possibly changed) rule block and
// the input position inside the (possibly shorter) input.
void settle_after_eval(Walk& w) {
    int32_t n = rule_len(w);
    if (w.rpos >= n) w.rpos = n - 1;
    if (pos(w) > in_len(w)) set_pos(w, in_len(w));
}

// Calls the trace callback; false when it asks to stop.
bool fire(Walk& w, Event ev) {
    Cell args[5];
    word::make_global(&args[0], TYPE_WORD, event_symbol[ev]);
    set_logic(&args[1], w.match);
    args[2] = *w.rules;
    set_series_head(&args[2], w.rpos < 0 ? 0 : int32_t(w.rpos));
    args[3] = *w.input;
    set_series(&args[4], TYPE_BLOCK, rule_stack, int32_t(w.rule_base));
    Cell fn = *w.callback;
    collector::RootGuard g0(&args[2]);
    collector::RootGuard g1(&args[3]);
    collector::RootGuard g2(&fn);
    bool at_rule_end = w.rpos >= rule_len(w);
    Cell* mark = stack::top;
    interp::call_with_args(&fn, sym(SYM_PARSE_CALLBACK), args, 5);
    Cell answer = *mark;
    stack::top = mark;
    // A walk that stood at the end of its rule block stays there: the end decides the result.
    if (at_rule_end) w.rpos = rule_len(w);
    else settle_after_eval(w);
    return type_of(&answer) == TYPE_LOGIC && logic_value(&answer);
}

// ---- matching single values ----

// Reads unit i of a text or binary buffer.
inline uint32_t unit_at(const SeriesBuf* b, uint32_t i) { return string::char_at(b, i); }

// Whether the code points [from, from + count) of lit_node equal the input units at p (the
// caller checked that they fit).
bool run_equal(const SeriesBuf* in, int32_t p, const SeriesBuf* lit, uint32_t from, uint32_t count, bool fold) {
    for (uint32_t k = 0; k < count; k++) {
        uint32_t a = unit_at(in, uint32_t(p) + k), c = unit_at(lit, from + k);
        if (a != c && (!fold || fold_cp(a) != fold_cp(c))) return false;
    }
    return true;
}

// The UTF-8 bytes of a text run (binary input compares text literals by their UTF-8 form).
std::string utf8_of_run(uint32_t node, uint32_t from, uint32_t count) {
    std::string s;
    const SeriesBuf* b = buf(node);
    for (uint32_t k = 0; k < count; k++) {
        uint32_t cp = unit_at(b, from + k);
        char tmp[4];
        int n = 0;
        if (cp < 0x80) tmp[n++] = char(cp);
        else if (cp < 0x800) { tmp[n++] = char(0xC0 | (cp >> 6)); tmp[n++] = char(0x80 | (cp & 0x3F)); }
        else if (cp < 0x10000) {
            tmp[n++] = char(0xE0 | (cp >> 12)); tmp[n++] = char(0x80 | ((cp >> 6) & 0x3F)); tmp[n++] = char(0x80 | (cp & 0x3F));
        } else {
            tmp[n++] = char(0xF0 | ((cp >> 18) & 7)); tmp[n++] = char(0x80 | ((cp >> 12) & 0x3F));
            tmp[n++] = char(0x80 | ((cp >> 6) & 0x3F)); tmp[n++] = char(0x80 | (cp & 0x3F));
        }
        s.append(tmp, size_t(n));
    }
    return s;
}

bool bytes_equal(const SeriesBuf* in, int32_t p, const std::string& bytes, bool fold) {
    const uint8_t* d = in->data() + p;
    for (size_t k = 0; k < bytes.size(); k++) {
        uint32_t a = d[k], c = uint8_t(bytes[k]);
        if (a != c && (!fold || fold_cp(a) != fold_cp(c))) return false;
    }
    return true;
}

inline bool bitset_test(const Cell* bs, uint32_t cp) { return string::bitset_has(bs, cp); }

bool is_text_literal(uint32_t t) { return is_text_type(t); }

// A text literal's run: its own buffer from its head (a tag without its brackets).
struct TextRun {
    uint32_t node, from, count;
    bool tag;
};
TextRun text_run_of(const Cell* lit) {
    uint32_t n = buf(series_node(lit))->length();
    int32_t h = series_head(lit);
    uint32_t from = h < 0 ? 0 : (uint32_t(h) > n ? n : uint32_t(h));
    return TextRun{series_node(lit), from, n - from, type_of(lit) == TYPE_TAG};
}

// Matches the literal at the input position p of string input; returns the number of units
// matched, or -1.
int64_t match_text_at(const Walk& w, int32_t p, const Cell* lit) {
    int32_t end = end_index(w);
    const SeriesBuf* in = buf(series_node(w.input));
    uint32_t t = type_of(lit);
    bool fold = folding(w);
    if (t == TYPE_CHAR) {
        if (p >= end) return -1;
        uint32_t a = unit_at(in, uint32_t(p)), c = char_value(lit);
        return (a == c || (fold && fold_cp(a) == fold_cp(c))) ? 1 : -1;
    }
    if (t == TYPE_BITSET) {
        if (p >= end) return -1;
        return bitset_test(lit, unit_at(in, uint32_t(p))) ? 1 : -1;
    }
    if (is_text_literal(t)) {
        TextRun r = text_run_of(lit);
        int64_t total = int64_t(r.count) + (r.tag ? 2 : 0);
        if (int64_t(p) + total > end) return -1;
        if (r.tag) {
            if (unit_at(in, uint32_t(p)) != '<' || unit_at(in, uint32_t(p + total - 1)) != '>') return -1;
            return run_equal(in, p + 1, buf(r.node), r.from, r.count, fold) ? total : -1;
        }
        return run_equal(in, p, buf(r.node), r.from, r.count, fold) ? total : -1;
    }
    // Any other value matches by its formed text.
    Cell formed;
    actions::form_value(&formed, lit);
    TextRun r = text_run_of(&formed);
    if (int64_t(p) + r.count > end) return -1;
    return run_equal(buf(series_node(w.input)), p, buf(r.node), r.from, r.count, fold) ? int64_t(r.count) : -1;
}

// The bytes a literal stands for on binary input (text as UTF-8, a tag with its brackets).
bool literal_bytes(const Cell* lit, std::string& out) {
    uint32_t t = type_of(lit);
    if (t == TYPE_BINARY) {
        TextRun r = text_run_of(lit);
        out.assign(reinterpret_cast<const char*>(buf(r.node)->data()) + r.from, r.count);
        return true;
    }
    if (is_text_literal(t)) {
        TextRun r = text_run_of(lit);
        out = utf8_of_run(r.node, r.from, r.count);
        if (r.tag) out = "<" + out + ">";
        return true;
    }
    if (t == TYPE_CHAR) {
        uint32_t cp = char_value(lit);
        if (cp < 0x100) out.assign(1, char(cp));
        else {
            Cell s;
            string::init_cell(&s, 8);
            string::append_char(series_node(&s), cp);
            out = utf8_of_run(series_node(&s), 0, 1);
        }
        return true;
    }
    if (t == TYPE_INTEGER) {
        int32_t v = int_value(lit);
        if (v < 0 || v > 255) return false;
        out.assign(1, char(v));
        return true;
    }
    Cell formed;
    actions::form_value(&formed, lit);
    TextRun r = text_run_of(&formed);
    out = utf8_of_run(r.node, r.from, r.count);
    return true;
}

// Matches on binary input; pre, when given, holds the literal's bytes computed once by a loop.
int64_t match_binary_at(const Walk& w, int32_t p, const Cell* lit, const std::string* pre) {
    int32_t end = end_index(w);
    const SeriesBuf* in = buf(series_node(w.input));
    if (type_of(lit) == TYPE_BITSET) {
        if (p >= end) return -1;
        return bitset_test(lit, in->data()[p]) ? 1 : -1;
    }
    std::string own;
    if (!pre) {
        if (!literal_bytes(lit, own)) return -1;
        pre = &own;
    }
    const std::string& bytes = *pre;
    if (int64_t(p) + int64_t(bytes.size()) > end) return -1;
    return bytes_equal(buf(series_node(w.input)), p, bytes, folding(w)) ? int64_t(bytes.size()) : -1;
}

// `parse/match-value`: the comparison used on block input.
bool match_value(const Cell* elem, const Cell* lit, int case_mode) {
    uint32_t t = type_of(lit);
    int32_t op;
    if (t == TYPE_LIT_WORD || t == TYPE_LIT_PATH) op = case_mode == 2 ? actions::OP_STRICT_LIT : actions::OP_EQUAL_LIT;
    else op = case_mode == 2 ? actions::OP_STRICT_EQUAL : actions::OP_EQUAL;
    return actions::compare(elem, lit, op);
}

int64_t match_block_at(const Walk& w, int32_t p, const Cell* lit) {
    if (p >= end_index(w)) return -1;
    Cell elem = buf(series_node(w.input))->cells()[p];
    return match_value(&elem, lit, w.case_mode) ? 1 : -1;
}

// Matches a literal at position p of the current input: units matched, or -1.
int64_t match_at(const Walk& w, int32_t p, const Cell* lit, const std::string* pre = nullptr) {
    switch (w.kind) {
        case IN_BLOCK: return match_block_at(w, p, lit);
        case IN_BINARY: return match_binary_at(w, p, lit, pre);
        default: return match_text_at(w, p, lit);
    }
}

// The literal match step: moves past a match and sets the match flag.
void literal_match(Walk& w, const Cell* lit) {
    int32_t p = pos(w);
    if (p >= end_index(w)) {
        uint32_t t = type_of(lit);
        w.match = w.kind == IN_STRING && (t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL) &&
                  text_run_of(lit).count == 0;
        return;
    }
    int64_t n = match_at(w, p, lit);
    w.match = n >= 0;
    if (n > 0) set_pos(w, p + n);
}

// ---- fast loops over string units ----
template <typename Unit>
int32_t count_bitset_run(const Unit* d, int32_t p, int32_t end, int64_t max, const Cell* bs) {
    const SeriesBuf* b = buf(series_node(bs));
    const uint8_t* bits = b->data();
    uint32_t nbytes = b->tail;
    bool comp = (b->flags & F_BITSET_COMPLEMENT) != 0;
    int32_t q = p;
    int64_t stop = max < 0 ? end : std::min<int64_t>(end, int64_t(p) + max);
    while (q < stop) {
        uint32_t c = d[q];
        uint32_t byte = c >> 3;
        bool in = byte < nbytes ? (bits[byte] & (0x80u >> (c & 7))) != 0 : comp;
        if (!in) break;
        q++;
    }
    return q - p;
}

template <typename Unit>
int32_t count_char_run(const Unit* d, int32_t p, int32_t end, int64_t max, uint32_t cp, bool fold) {
    int64_t stop = max < 0 ? end : std::min<int64_t>(end, int64_t(p) + max);
    int32_t q = p;
    if (fold) {
        uint32_t want = fold_cp(cp);
        while (q < stop && fold_cp(d[q]) == want) q++;
    } else {
        while (q < stop && d[q] == cp) q++;
    }
    return q - p;
}

// Consecutive units from p in the bitset or equal to the char, at most max (-1: no maximum).
int32_t count_unit_run(const Walk& w, int32_t p, int64_t max, const Cell* lit) {
    const SeriesBuf* b = buf(series_node(w.input));
    int32_t end = end_index(w);
    bool bs = type_of(lit) == TYPE_BITSET;
    bool fold = w.kind == IN_STRING && folding(w);
    uint32_t cp = bs ? 0 : char_value(lit);
    switch (b->unit()) {
        case 1: {
            const uint8_t* d = b->data();
            return bs ? count_bitset_run(d, p, end, max, lit) : count_char_run(d, p, end, max, cp, fold);
        }
        case 2: {
            const uint16_t* d = reinterpret_cast<const uint16_t*>(b->data());
            return bs ? count_bitset_run(d, p, end, max, lit) : count_char_run(d, p, end, max, cp, fold);
        }
        default: {
            const uint32_t* d = reinterpret_cast<const uint32_t*>(b->data());
            return bs ? count_bitset_run(d, p, end, max, lit) : count_char_run(d, p, end, max, cp, fold);
        }
    }
}

// The repetition of a literal argument, without levels.
bool repeat_literal_in(Walk& w, const Cell* lit, int32_t min, int32_t max);

// `parse/repeat-literal`: a value that matches string input by its formed text is formed once
// here, not at every step of the loop.
bool repeat_literal(Walk& w, const Cell* lit, int32_t min, int32_t max) {
    uint32_t t = type_of(lit);
    if (w.kind != IN_STRING || t == TYPE_CHAR || t == TYPE_BITSET || is_text_literal(t))
        return repeat_literal_in(w, lit, min, max);
    Cell* formed = stack::push_unset();
    actions::form_value(formed, lit);
    bool r = repeat_literal_in(w, formed, min, max);
    stack::drop(1);
    return r;
}

bool repeat_literal_in(Walk& w, const Cell* lit, int32_t min, int32_t max) {
    int32_t p = pos(w);
    int32_t rem = in_len(w) - p;
    if (rem <= 0 || rem < min) return min == 0;
    uint32_t t = type_of(lit);
    if (w.kind != IN_BLOCK && (t == TYPE_BITSET || (t == TYPE_CHAR && w.kind == IN_STRING))) {
        int32_t n = count_unit_run(w, p, max, lit);
        set_pos(w, p + n);
        return n >= min;
    }
    int64_t count = 0;
    int32_t end = end_index(w);
    std::string bytes;
    const std::string* pre = nullptr;
    if (w.kind == IN_BINARY && t != TYPE_BITSET) {
        if (!literal_bytes(lit, bytes)) return min == 0;
        pre = &bytes;
    }
    while (true) {
        if (max >= 0 && count >= max) break;
        int32_t q = pos(w);
        if (q >= end) break;
        int64_t n = match_at(w, q, lit, pre);
        if (n < 0) break;
        count++;
        set_pos(w, q + n);
        if (n == 0) break;   // an empty literal matches once: it cannot make progress
    }
    // A failed last attempt is not counted; either way the count must lie within the bounds.
    return count >= min && (max < 0 || count <= max);
}

// `parse/search-to-thru` of a literal: true when found; the input moves to the match (to) or
// past it (thru).
bool search_literal(Walk& w, const Cell* lit, bool thru) {
    int32_t p = pos(w), end = end_index(w);
    uint32_t t = type_of(lit);
    if (w.kind == IN_BLOCK) {
        for (int32_t q = p; q < end; q++) {
            Cell elem = buf(series_node(w.input))->cells()[q];
            if (match_value(&elem, lit, w.case_mode)) {
                set_pos(w, thru ? q + 1 : q);
                return true;
            }
        }
        return false;
    }
    if (w.kind == IN_STRING) {
        if (!(t == TYPE_CHAR || t == TYPE_BITSET || is_text_literal(t))) raise_rule(lit);
    } else if (!(t == TYPE_CHAR || t == TYPE_BITSET || t == TYPE_BINARY || is_text_literal(t) || t == TYPE_INTEGER)) {
        raise_rule(lit);
    }
    if (t == TYPE_CHAR || t == TYPE_BITSET) {
        const SeriesBuf* b = buf(series_node(w.input));
        bool fold = w.kind == IN_STRING && folding(w) && t == TYPE_CHAR;
        uint32_t want = t == TYPE_CHAR ? char_value(lit) : 0;
        if (fold) want = fold_cp(want);
        if (w.kind == IN_BINARY && t == TYPE_CHAR && want > 0xFF) {
            // a char beyond one byte on binary input: its UTF-8 bytes
        } else {
            for (int32_t q = p; q < end; q++) {
                uint32_t c = unit_at(b, uint32_t(q));
                bool hit = t == TYPE_BITSET ? bitset_test(lit, c) : (fold ? fold_cp(c) : c) == want;
                if (hit) {
                    set_pos(w, thru ? q + 1 : q);
                    return true;
                }
            }
            return false;
        }
    }
    int64_t len;
    std::string bytes;
    const std::string* pre = nullptr;
    if (w.kind == IN_BINARY) {
        if (!literal_bytes(lit, bytes)) return false;
        len = int64_t(bytes.size());
        pre = &bytes;
    } else {
        TextRun r = text_run_of(lit);
        len = int64_t(r.count) + (r.tag ? 2 : 0);
    }
    if (end - p < len) return false;
    for (int32_t q = p; int64_t(q) + len <= end; q++) {
        if (match_at(w, q, lit, pre) >= 0) {
            set_pos(w, thru ? q + len : q);
            return true;
        }
    }
    return false;
}

// Whether a value is a literal for the fast paths of an argument.
inline bool is_plain_literal(uint32_t t) {
    return !(t == TYPE_WORD || t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_INTEGER || t == TYPE_DATATYPE ||
             t == TYPE_TYPESET || t == TYPE_SET_WORD || t == TYPE_GET_WORD || t == TYPE_PATH);
}

// The type match of a datatype! or typeset! rule.
void type_match(Walk& w, const Cell* rule) {
    if (w.kind == IN_STRING) error::raise(error::ERR_SCRIPT_PARSE_UNSUPPORTED);
    if (at_end(w)) { w.match = false; return; }
    uint32_t et;
    int32_t p = pos(w);
    if (w.kind == IN_BLOCK) {
        et = type_of(buf(series_node(w.input))->cells() + p);
        bool hit = type_of(rule) == TYPE_DATATYPE ? et == datatype_value(rule) : typeset_bits::has(rule, et);
        w.match = hit;
        if (hit) set_pos(w, p + 1);
        return;
    }
    // Binary input: one value scanned from the bytes at the position (`parse/match-datatype-binary`).
    const SeriesBuf* b = buf(series_node(w.input));
    std::string bytes(reinterpret_cast<const char*>(b->data()) + p, size_t(end_index(w) - p));
    lexer::Options opt;
    opt.one_value = true;
    Cell* scanned = stack::push_unset();
    size_t stop = 0;
    // bad syntax is no match: the lexer's error stops here
    uint32_t level = stack::capture([&] {
        lexer::transcode(scanned, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), opt, &stop);
    });
    et = level == stack::LEVEL_NONE ? type_of(scanned) : 0;
    stack::drop(1);
    bool hit = et != 0 && et != TYPE_UNSET && stop > 0 &&
               (type_of(rule) == TYPE_DATATYPE ? et == datatype_value(rule) : typeset_bits::has(rule, et));
    w.match = hit;
    if (hit) set_pos(w, p + int64_t(std::min<size_t>(stop, bytes.size())));
}

// ---- markers and edit values ----

// Whether the value is a marker: a word or get-word holding a series of the input's type over
// the input's buffer. out receives the series.
bool marker_of(const Walk& w, const Cell* v, Cell* out) {
    uint32_t t = type_of(v);
    if (t != TYPE_WORD && t != TYPE_GET_WORD) return false;
    if (t == TYPE_WORD && keyword_of(word_symbol(v)) != K_RULE_WORD) return false;
    const Cell* c = word::value_or_null(v);
    if (!c) return false;
    if (type_of(c) != type_of(w.input) || series_node(c) != series_node(w.input)) return false;
    *out = *c;
    return true;
}

// The input between a marker's position and the current one (either may come first), as
// [from, to) clipped to the input.
std::pair<int32_t, int32_t> marker_span(const Walk& w, const Cell* marker) {
    int32_t mp = series_head(marker), p = pos(w);
    int32_t lo = std::min(mp, p), hi = std::max(mp, p);
    int32_t len = in_len(w);
    if (lo < 0) lo = 0;
    if (hi > len) hi = len;
    if (lo > hi) lo = hi;
    return {lo, hi};
}

// The value an insert or change puts in, into w.aux: a paren's value, a word's value, or the
// value itself. False when an unwinding is pending.
bool edit_value(Walk& w, const Cell* v_in, bool& fired_paren) {
    Cell v = *v_in;
    uint32_t t = type_of(&v);
    fired_paren = false;
    if (t == TYPE_PATH) raise_rule(&v);
    if (t == TYPE_PAREN) {
        if (!eval_paren(w, &v, true)) return false;
        *w.aux = *w.scratch;
        fired_paren = true;
        return true;
    }
    if (t == TYPE_WORD) {
        *w.aux = *word::get(&v);
        return true;
    }
    *w.aux = v;
    return true;
}

// Runs the input type's insert action at index with the value in w.aux; returns the number
// of elements inserted.
int32_t insert_into_input(Walk& w, int32_t at, bool only) {
    int32_t before = in_len(w);
    Cell* target = stack::push_copy(w.input);
    set_series_head(target, int32_t(at));
    Cell* value = stack::push_copy(w.aux);
    actions::get<actions::InsertFn>(type_of(target), ACT_INSERT)(target, value, -1, only, 1, false);
    stack::drop(2);
    return in_len(w) - before;
}

// Changes count elements at index with w.aux; the input position becomes the series just
// after the new content.
void change_input(Walk& w, int32_t at, int32_t count, bool only) {
    Cell* target = stack::push_copy(w.input);
    set_series_head(target, int32_t(at));
    Cell* value = stack::push_copy(w.aux);
    actions::get<actions::ChangeFn>(type_of(target), ACT_CHANGE)(target, value, count, only, 1);
    int32_t after = series_head(target);
    stack::drop(2);
    int32_t n = in_len(w);
    set_pos(w, after > n ? n : after);
}

void remove_from_input(Walk& w, int32_t at, int32_t count) {
    if (count <= 0) return;
    Cell* target = stack::push_copy(w.input);
    set_series_head(target, int32_t(at));
    Cell* part = stack::push();
    set_integer(part, count);
    actions::get<actions::RemoveFn>(type_of(target), ACT_REMOVE)(target, part, nullptr);
    stack::drop(2);
}

// A new series of the input's type holding the elements [from, to) of the input, into out.
void copy_range(Walk& w, int32_t from, int32_t to, Cell* out) {
    int32_t n = in_len(w);
    if (from > n) from = n;
    if (to > n) to = n;
    if (to < from) to = from;
    Cell* src = stack::push_copy(w.input);
    set_series_head(src, from);
    Cell* part = stack::push();
    set_integer(part, to - from);
    Cell* copied = stack::push_unset();
    actions::get<actions::CopyFn>(type_of(src), ACT_COPY)(copied, src, part, false, nullptr);
    *out = *copied;
    stack::drop(3);
}

// ---- collect ----

inline bool is_series_target(uint32_t t) {
    return is_any_block_type(t) || is_text_type(t) || t == TYPE_BINARY;
}
// Whether a collect target series can take the values of the current input.
bool target_compatible(const Walk& w, uint32_t t) {
    if (is_any_block_type(t)) return true;
    if (is_text_type(t)) return w.kind != IN_BLOCK;
    if (t == TYPE_BINARY) return w.kind == IN_BINARY;
    return false;
}

// Puts one kept value into the topmost collect target.
void keep_one(Walk& w, const Cell* value_in) {
    Cell* v = stack::push_copy(value_in);
    Cell* entry = stack::at_index(stack::index_of(stack::top) - 2);   // the entry below v
    uint32_t et = type_of(entry);
    if (et == TYPE_BLOCK) {
        block::append(series_node(entry), v);
        stack::drop(1);
        return;
    }
    // into (get-word!) or after (refinement!): the word's series.
    Cell wd = *entry;
    retype(&wd, TYPE_WORD);
    Cell* target = stack::push_copy(word::get(&wd));
    uint32_t tt = type_of(target);
    if (!is_series_target(tt) || !target_compatible(w, tt)) error::raise(error::ERR_SCRIPT_PARSE_INTO_TYPE);
    bool append = et == TYPE_REFINEMENT;
    bool only = is_any_block_type(tt);
    if (!append) {
        int32_t n = int32_t(buf(series_node(target))->length());
        if (series_head(target) > n) set_series_head(target, n);
    }
    actions::get<actions::InsertFn>(tt, append ? ACT_APPEND : ACT_INSERT)(target, v, -1, only, 1, append);
    if (!append) {
        // the word follows the insertion point, so that the kept values stay in order
        Cell* cur = stack::push_copy(word::get(&wd));
        set_series_head(cur, series_head(target));
        word::set(&wd, cur);
        stack::drop(1);
    }
    stack::drop(2);
}

// `parse/keep-range`: a range of two or more elements kept into an into/after target goes in
// element by element, as the input holds them. Only binary input into a text target differs
// from keeping a copy of the range (the insert action would take a binary as one value): its
// bytes go in as the characters 0-255, whatever unit the target's buffer has at the moment.
// False when the target does not qualify; nothing is done then.
bool keep_range(Walk& w, int32_t from, int32_t to) {
    if (w.kind != IN_BINARY) return false;
    const Cell* entry = stack::top - 1;
    uint32_t et = type_of(entry);
    if (et != TYPE_GET_WORD && et != TYPE_REFINEMENT) return false;
    Cell wd = *entry;
    retype(&wd, TYPE_WORD);
    const Cell* target = word::get(&wd);
    if (!is_text_type(type_of(target))) return false;
    uint32_t count = uint32_t(to - from);
    // Held under a root guard: keep_one finds the collect entry just below the value stack top.
    Cell text;
    string::init_cell(&text, count);
    collector::RootGuard keep(&text);
    uint32_t node = series_node(&text);
    std::memcpy(buf(node)->data(), buf(series_node(w.input))->data() + from, count);
    buf(node)->tail = count;
    keep_one(w, &text);
    return true;
}

// ---- the walk ----

#define FIRE(ev) \
    do { if (w.callback && !fire(w, ev)) return R_STOP; } while (0)

// Resolves the top iteration level; sets st.
Outcome resolve(Walk& w, State& st);

// Matches the literal in w.val (written in the rules, or the word a rule word holds when it
// is a keyword's argument): `to` and `thru` search for it and repetitions repeat it without
// levels (both close their level next); otherwise one match at the position. Gives the next
// state; the caller fires the match event.
State match_literal_argument(Walk& w, int32_t code) {
    if (code == C_TO || code == C_THRU) {
        w.match = search_literal(w, w.val, code == C_THRU);
        return S_POP;
    }
    if (code == C_REPEAT || code == C_WHILE) {
        Cell* c0 = level(0);
        w.match = repeat_literal(w, w.val, triple::a_of(c0), triple::b_of(c0));
        return S_POP;
    }
    literal_match(w, w.val);
    return S_AFTER;
}

Outcome run(Walk& w) {
    open_block(w, w.rules, -1);
    FIRE(EV_PUSH);
    State st = S_FETCH;
    int32_t arg_code = 0;   // the code of a level whose argument is being dispatched
    for (;;) {
        switch (st) {
            case S_FETCH: {
                int32_t n = rule_len(w);
                if (w.rpos < n) w.rpos++;
                if (w.rpos >= n) {
                    st = top_is_iter(w) ? S_RESOLVE : S_CLOSE_BLOCK;
                    break;
                }
                FIRE(EV_FETCH);
                if (w.rpos >= rule_len(w)) break;   // the callback shortened the rules
                *w.val = *rule_at(w, w.rpos);
                arg_code = 0;
                st = S_DISPATCH;
                break;
            }
            case S_ARGUMENT: {
                int32_t code = level_code();
                if (w.rpos >= rule_len(w)) {
                    switch (code) {
                        case C_TO: raise_end(K_TO);
                        case C_THRU: raise_end(K_THRU);
                        case C_NOT: raise_end(K_NOT);
                        case C_REMOVE: raise_end(K_REMOVE);
                        case C_WHILE: raise_end(K_WHILE);
                        case C_COLLECT: raise_end(K_COLLECT);
                        case C_KEEP: case C_KEEP_PAREN: raise_end(K_KEEP);
                        case C_AHEAD: raise_end(K_AHEAD);
                        default: break;
                    }
                    w.match = true;
                    st = S_AFTER;
                    break;
                }
                *w.val = *rule_at(w, w.rpos);
                if (code == C_KEEP_PAREN && type_of(w.val) == TYPE_PAREN) {
                    if (!eval_paren(w, w.val, true)) return R_UNWIND;
                    settle_after_eval(w);
                    FIRE(EV_PAREN);
                    w.match = true;
                    st = S_AFTER;
                    break;
                }
                arg_code = code;
                st = S_DISPATCH;
                break;
            }
            case S_DISPATCH: {
                uint32_t t = type_of(w.val);
                int32_t code = arg_code;
                arg_code = 0;
                switch (t) {
                    case TYPE_WORD: {
                        uint8_t k = keyword_of(word_symbol(w.val));
                        if (k == K_RULE_WORD) {
                            const Cell* v = word::value_or_null(w.val);
                            if (!v || type_of(v) == TYPE_UNSET) raise_rule(w.val);
                            bool is_arg = code != 0 && code != C_COLLECT && code != C_KEEP && code != C_KEEP_PAREN;
                            if (type_of(v) == TYPE_WORD) {
                                if (!is_arg) raise_rule(v);
                                Cell lit = *v;
                                *w.val = lit;
                                st = match_literal_argument(w, code);
                                FIRE(EV_MATCH);
                                break;
                            }
                            *w.val = *v;
                            arg_code = code;
                            st = S_DISPATCH;   // the value stands in place of the word
                            break;
                        }
                        // ---- keywords ----
                        int32_t kw = w.rpos;
                        int32_t n = rule_len(w);
                        switch (k) {
                            case K_ANY: case K_SOME: case K_OPT: case K_WHILE: {
                                if (k != K_WHILE && kw + 1 >= n) raise_end(k);
                                int32_t min = k == K_SOME ? 1 : 0;
                                int32_t max = k == K_OPT ? 1 : -1;
                                open_repeat(w, min, max, kw, k == K_WHILE ? C_WHILE : C_REPEAT);
                                FIRE(EV_PUSH);
                                st = S_ARGUMENT;
                                break;
                            }
                            case K_SKIP:
                                if (at_end(w)) w.match = false;
                                else { w.match = true; set_pos(w, pos(w) + 1); }
                                FIRE(EV_MATCH);
                                st = S_AFTER;
                                break;
                            case K_END:
                                if (code == C_TO || code == C_THRU) {
                                    set_pos(w, end_index(w));
                                    w.match = true;
                                    FIRE(EV_MATCH);
                                    st = S_POP;
                                    break;
                                }
                                w.match = at_end(w);
                                FIRE(EV_MATCH);
                                st = S_AFTER;
                                break;
                            case K_NONE:
                                w.match = true;
                                FIRE(EV_MATCH);
                                st = S_AFTER;
                                break;
                            case K_FAIL:
                                w.match = false;
                                FIRE(EV_MATCH);
                                st = S_AFTER;
                                break;
                            case K_BREAK: case K_REJECT:
                                w.match = k == K_BREAK;
                                w.brk = true;
                                w.rpos = n;
                                FIRE(EV_MATCH);
                                st = S_AFTER;
                                break;
                            case K_BAR:
                                w.rpos = n;
                                st = top_is_iter(w) ? S_RESOLVE : S_CLOSE_BLOCK;
                                break;
                            case K_TO: case K_THRU:
                                open_repeat(w, 0, -1, kw, k == K_TO ? C_TO : C_THRU);
                                FIRE(EV_PUSH);
                                st = S_ARGUMENT;
                                break;
                            case K_AHEAD: case K_NOT:
                                open_repeat(w, 0, -1, kw, k == K_AHEAD ? C_AHEAD : C_NOT);
                                FIRE(EV_PUSH);
                                st = S_ARGUMENT;
                                break;
                            case K_IF: {
                                if (kw + 1 >= n || type_of(rule_at(w, kw + 1)) != TYPE_PAREN) raise_end(K_IF);
                                w.rpos = kw + 1;
                                Cell p = *rule_at(w, w.rpos);
                                if (!eval_paren(w, &p, true)) return R_UNWIND;
                                settle_after_eval(w);
                                FIRE(EV_PAREN);
                                w.match = !is_falsy(w.scratch);
                                FIRE(EV_MATCH);
                                st = S_AFTER;
                                break;
                            }
                            case K_QUOTE: {
                                *w.val = argument_at(w, kw + 1, n, K_QUOTE);
                                w.rpos = kw + 1;
                                literal_match(w, w.val);
                                FIRE(EV_MATCH);
                                st = S_AFTER;
                                break;
                            }
                            case K_CASE: {
                                Cell flag = argument_at(w, kw + 1, n, K_CASE);
                                if (type_of(&flag) == TYPE_WORD) flag = *word::get(&flag);
                                Cell c0;
                                triple::write_cell(&c0, 0, w.case_mode, 1);
                                open_iter(w, c0, kw + 1, C_CASE, 0);
                                w.case_mode = is_falsy(&flag) ? 0 : 2;
                                FIRE(EV_PUSH);
                                st = S_ARGUMENT;
                                break;
                            }
                            case K_COPY: case K_SET: {
                                if (kw + 2 >= n || type_of(rule_at(w, kw + 1)) != TYPE_WORD) raise_end(k);
                                Cell target = *rule_at(w, kw + 1);
                                open_iter(w, target, kw + 1, k == K_COPY ? C_COPY : C_SET, 0);
                                FIRE(EV_PUSH);
                                st = S_ARGUMENT;
                                break;
                            }
                            case K_INTO: {
                                if (w.kind != IN_BLOCK) {
                                    Cell in = *w.input;
                                    error::raise(error::ERR_SCRIPT_PARSE_BLOCK, &in);
                                }
                                Cell sub = argument_at(w, kw + 1, n, K_INTO);
                                if (type_of(&sub) == TYPE_WORD) {
                                    const Cell* v = word::value_or_null(&sub);
                                    if (!v || type_of(v) != TYPE_BLOCK) raise_end(K_INTO);
                                    sub = *v;
                                } else if (type_of(&sub) != TYPE_BLOCK) {
                                    raise_end(K_INTO);
                                }
                                open_repeat(w, 0, -1, kw, C_INTO);
                                FIRE(EV_PUSH);
                                int32_t p = pos(w);
                                Cell elem;
                                if (!at_end(w)) elem = buf(series_node(w.input))->cells()[p];
                                if (at_end(w) || !is_series_target(type_of(&elem))) {
                                    w.match = false;
                                    FIRE(EV_MATCH);
                                    st = S_POP;
                                    break;
                                }
                                check_stacks();
                                // the outer input keeps its position in its series-stack cell
                                Cell* outer = buf(series_stack)->cells() + ss_len() - 1;
                                *outer = *w.input;
                                block::append(series_stack, &elem);
                                *w.val = sub;
                                set_input(w, &elem);
                                open_block(w, w.val, w.rpos);
                                FIRE(EV_PUSH);
                                st = S_FETCH;
                                break;
                            }
                            case K_REMOVE: {
                                Cell a = argument_at(w, kw + 1, n, K_REMOVE);
                                if (type_of(&a) == TYPE_PATH) raise_rule(&a);
                                Cell m;
                                if (marker_of(w, &a, &m)) {
                                    auto [lo, hi] = marker_span(w, &m);
                                    remove_from_input(w, lo, hi - lo);
                                    set_pos(w, std::min(lo, in_len(w)));
                                    w.rpos = kw + 1;
                                    w.match = true;
                                    FIRE(EV_MATCH);
                                    st = S_AFTER;
                                    break;
                                }
                                open_repeat(w, 0, -1, kw, C_REMOVE);
                                FIRE(EV_PUSH);
                                st = S_ARGUMENT;
                                break;
                            }
                            case K_INSERT: {
                                int32_t i = kw + 1;
                                bool only = skip_keyword(w, i, n, K_ONLY);
                                Cell a = argument_at(w, i, n, K_INSERT);
                                Cell m;
                                int32_t at = pos(w);
                                bool marker = marker_of(w, &a, &m);
                                if (marker) {
                                    i++;
                                    Cell ins;
                                    keyword_word(&ins, K_INSERT);
                                    if (i >= n) error::raise(error::ERR_SCRIPT_PARSE_RULE, &ins);
                                    at = series_head(&m);
                                    if (at < 0) at = 0;
                                    if (at > in_len(w)) at = in_len(w);
                                    a = *rule_at(w, i);
                                }
                                w.rpos = i;
                                bool fired;
                                if (!edit_value(w, &a, fired)) return R_UNWIND;
                                settle_after_eval(w);
                                if (fired) FIRE(EV_PAREN);
                                int32_t p = pos(w);
                                int32_t added = insert_into_input(w, at, only);
                                set_pos(w, at <= p ? p + added : p);
                                st = S_AFTER;   // the match flag stays as it was (true here)
                                break;
                            }
                            case K_CHANGE: {
                                int32_t i = kw + 1;
                                bool only = false;
                                Cell chg;
                                keyword_word(&chg, K_CHANGE);
                                if (skip_keyword(w, i, n, K_ONLY)) {
                                    only = true;
                                    if (i >= n) error::raise(error::ERR_SCRIPT_PARSE_RULE, &chg);
                                }
                                Cell a = argument_at(w, i, n, K_CHANGE);
                                if (type_of(&a) == TYPE_PATH) raise_rule(&a);
                                Cell m;
                                if (marker_of(w, &a, &m)) {
                                    i++;
                                    if (i >= n) error::raise(error::ERR_SCRIPT_PARSE_RULE, &chg);
                                    Cell v = *rule_at(w, i);
                                    w.rpos = i;
                                    bool fired;
                                    if (!edit_value(w, &v, fired)) return R_UNWIND;
                                    settle_after_eval(w);
                                    if (fired) FIRE(EV_PAREN);
                                    auto [lo, hi] = marker_span(w, &m);
                                    change_input(w, lo, hi - lo, only);
                                    w.match = true;
                                    st = S_AFTER;
                                    break;
                                }
                                open_repeat(w, 0, -1, i - 1, only ? C_CHANGE_ONLY : C_CHANGE);
                                FIRE(EV_PUSH);
                                st = S_ARGUMENT;
                                break;
                            }
                            case K_COLLECT: {
                                int32_t i = kw + 1;
                                Cell c0;
                                triple::write_cell(&c0, 0, -1, 1);
                                w.collect_depth++;
                                uint8_t sub = keyword_at(w, i, n);
                                if (sub != K_SET && sub != K_INTO && sub != K_AFTER) sub = K_RULE_WORD;
                                if (sub == K_RULE_WORD) {
                                    Cell* b = stack::push();
                                    block::init_cell(b, 8);
                                } else {
                                    i++;
                                    if (i >= n || type_of(rule_at(w, i)) != TYPE_WORD) raise_end(K_COLLECT);
                                    Cell wd = *rule_at(w, i);
                                    if (sub == K_SET) {
                                        stack::push_copy(&wd);
                                        Cell* b = stack::push();
                                        block::init_cell(b, 8);
                                    } else {
                                        const Cell* tv = word::get(&wd);
                                        uint32_t tt = type_of(tv);
                                        if (!is_series_target(tt) || !target_compatible(w, tt))
                                            error::raise(error::ERR_SCRIPT_PARSE_INTO_TYPE);
                                        if (series_node(tv) == series_node(w.input))
                                            error::raise(error::ERR_SCRIPT_PARSE_INTO_BAD);
                                        triple::write_cell(&c0, 0, series_head(tv), 1);
                                        Cell* e = stack::push_copy(&wd);
                                        retype(e, sub == K_INTO ? TYPE_GET_WORD : TYPE_REFINEMENT);
                                    }
                                }
                                open_iter(w, c0, sub == K_RULE_WORD ? kw : i, C_COLLECT, 0);
                                FIRE(EV_PUSH);
                                st = S_ARGUMENT;
                                break;
                            }
                            case K_KEEP: {
                                if (w.collect_depth <= 0) error::raise(error::ERR_SCRIPT_PARSE_KEEP);
                                int32_t i = kw + 1;
                                int32_t flag = skip_keyword(w, i, n, K_PICK) ? 1 : 0;
                                int32_t c = (i < n && type_of(rule_at(w, i)) == TYPE_PAREN) ? C_KEEP_PAREN : C_KEEP;
                                Cell c0;
                                triple::write_cell(&c0, 0, -1, 1);
                                open_iter(w, c0, i - 1, c, flag);
                                FIRE(EV_PUSH);
                                st = S_ARGUMENT;
                                break;
                            }
                            default:   // -, only, pick, after standing alone
                                raise_rule(w.val);
                        }
                        break;
                    }
                    case TYPE_BLOCK:
                        open_block(w, w.val, w.rpos);
                        FIRE(EV_PUSH);
                        st = S_FETCH;
                        break;
                    case TYPE_DATATYPE: case TYPE_TYPESET:
                        type_match(w, w.val);
                        FIRE(EV_MATCH);
                        st = S_AFTER;
                        break;
                    case TYPE_SET_WORD: {
                        Cell wd = *w.val;
                        *w.aux = *w.input;
                        word::set(&wd, w.aux);
                        settle_after_eval(w);
                        st = S_FETCH;
                        break;
                    }
                    case TYPE_GET_WORD: {
                        Cell wd = *w.val;
                        const Cell* v = word::value_or_null(&wd);
                        if (!v || type_of(v) != type_of(w.input) || series_node(v) != series_node(w.input))
                            error::raise(error::ERR_SCRIPT_PARSE_INVALID_REF, &wd);
                        int32_t h = series_head(v);
                        if (h < 0) h = 0;
                        if (h > in_len(w)) h = in_len(w);
                        set_pos(w, h);
                        w.match = true;
                        st = S_AFTER;
                        break;
                    }
                    case TYPE_INTEGER: {
                        int32_t nmin = int_value(w.val);
                        Cell ncell = *w.val;
                        if (nmin < 0) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, &ncell);
                        int32_t n = rule_len(w);
                        int32_t kw = w.rpos;
                        int32_t nmax = nmin;
                        if (kw + 1 < n) {
                            Cell next = *rule_at(w, kw + 1);
                            if (type_of(&next) == TYPE_WORD && keyword_of(word_symbol(&next)) == K_RULE_WORD) {
                                const Cell* v = word::value_or_null(&next);
                                if (v && type_of(v) == TYPE_INTEGER) next = *v;
                            }
                            if (type_of(&next) == TYPE_INTEGER) {
                                kw++;
                                nmax = int_value(&next);
                                if (kw + 1 >= n) raise_rule(&ncell);
                                if (nmin > nmax) raise_rule(&ncell);
                                if (nmax < 0) error::raise(error::ERR_SCRIPT_OUT_OF_RANGE, &next);
                            }
                        } else {
                            raise_rule(&ncell);
                        }
                        if (nmin == 0 && nmax == 0) {
                            w.rpos = kw + 1;   // the rule is skipped without being tried
                            w.match = true;
                            st = S_AFTER;
                            break;
                        }
                        open_repeat(w, nmin, nmax, kw, C_REPEAT);
                        FIRE(EV_PUSH);
                        st = S_ARGUMENT;
                        break;
                    }
                    case TYPE_PAREN: {
                        if (!eval_paren(w, w.val, false)) return R_UNWIND;
                        settle_after_eval(w);
                        FIRE(EV_PAREN);
                        st = S_AFTER;
                        break;
                    }
                    case TYPE_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
                        raise_rule(w.val);
                    default: {
                        st = match_literal_argument(w, code);
                        FIRE(EV_MATCH);
                        break;
                    }
                }
                break;
            }
            case S_AFTER:
                if (top_is_iter(w)) st = S_RESOLVE;
                else st = w.match ? S_FETCH : S_BACKTRACK;
                break;
            case S_BACKTRACK: {
                Cell* c1 = level(1);
                int32_t back = triple::b_of(c1);
                if (back > in_len(w)) back = in_len(w);
                set_pos(w, back);
                int32_t n = rule_len(w);
                int32_t found = -1;
                const Cell* cells = buf(series_node(w.rules))->cells();
                uint32_t bar = sym(SYM_BAR);
                for (int32_t i = w.rpos + 1; i < n; i++) {
                    const Cell* c = cells + i;
                    if (type_of(c) == TYPE_WORD &&
                        (word_symbol(c) == bar || keyword_of(word_symbol(c)) == K_BAR)) {
                        found = i;
                        break;
                    }
                }
                if (found < 0) {
                    st = S_CLOSE_BLOCK;
                    break;
                }
                w.rpos = found;
                w.match = true;
                st = S_FETCH;
                break;
            }
            case S_CLOSE_BLOCK: {
                if (rs_len() - w.rule_base <= LEVEL_CELLS) {
                    FIRE(EV_POP);
                    st = S_END;
                    break;
                }
                FIRE(EV_POP);
                Cell* c1 = level(1);
                int32_t back = triple::a_of(c1);
                *w.rules = *level(2);
                drop_level();
                int32_t n = rule_len(w);
                w.rpos = back >= n ? n - 1 : back;
                if (top_is_iter(w)) st = S_RESOLVE;
                else st = w.match ? S_FETCH : S_BACKTRACK;
                break;
            }
            case S_RESOLVE: {
                if (!top_is_iter(w)) {
                    st = S_FETCH;
                    break;
                }
                Outcome o = resolve(w, st);
                if (o != R_END) return o;
                break;
            }
            case S_POP: {
                FIRE(EV_POP);
                int32_t code = level_code();
                drop_level();
                if (top_is_iter(w)) triple::set_a(level(2), code);
                st = S_AFTER;
                break;
            }
            case S_END:
                return R_END;
        }
    }
}

// Sets a word from a level cell (copy and set targets) to the value in w.aux.
void set_target(Walk& w, const Cell* word_cell) {
    Cell wd = *word_cell;
    word::set(&wd, w.aux);
    settle_after_eval(w);
}

Outcome resolve(Walk& w, State& st) {
    int32_t code = level_code();
    int32_t start = triple::b_of(level(1));
    switch (code) {
        case C_REPEAT: case C_WHILE: {
            Cell* c0 = level(0);
            int32_t min = triple::a_of(c0), max = triple::b_of(c0), counter = triple::c_of(c0);
            bool cont = w.match;
            if (w.match && max != -1) cont = counter < max;
            if (code == C_REPEAT && pos(w) == start && remaining(w) >= triple::c_of(level(1))) {
                cont = false;
                w.brk = false;
            }
            if (w.brk) {
                cont = false;
                w.brk = false;
            }
            if (cont) {
                Cell* c1 = level(1);
                triple::set_b(c1, pos(w));
                triple::set_c(c1, int32_t(remaining(w)));
                triple::set_c(level(0), int32_t(counter + 1));
                w.rpos = triple::a_of(c1);
                FIRE(EV_ITERATE);
                st = S_FETCH;
                return R_END;
            }
            if (!w.match) {
                if (!(counter - 1 < min && min != 0)) w.match = true;
            }
            if (w.match && counter < min) w.match = false;
            st = S_POP;
            return R_END;
        }
        case C_TO: case C_THRU: {
            if (w.match) {
                if (code == C_TO) set_pos(w, start);
                st = S_POP;
                return R_END;
            }
            if (start < end_index(w)) {
                start++;
                set_pos(w, start);
                Cell* c1 = level(1);
                triple::set_b(c1, int32_t(start));
                triple::set_c(c1, int32_t(remaining(w)));
                w.rpos = triple::a_of(c1);
                w.match = true;
                FIRE(EV_POP);
                FIRE(EV_ITERATE);
                st = S_FETCH;
                return R_END;
            }
            w.match = false;
            st = S_POP;
            return R_END;
        }
        case C_COPY: {
            if (w.match) {
                copy_range(w, start, pos(w), w.aux);
                *w.scratch = *w.aux;
                set_target(w, level(0));
            }
            st = S_POP;
            return R_END;
        }
        case C_SET: {
            if (w.match) {
                int32_t p = pos(w);
                if (p > start && start < in_len(w)) series::element_value(w.aux, w.input, uint32_t(start));
                else set_none(w.aux);
                set_target(w, level(0));
            }
            st = S_POP;
            return R_END;
        }
        case C_NOT:
            w.match = !w.match;
            set_pos(w, std::min(start, in_len(w)));
            st = S_POP;
            return R_END;
        case C_AHEAD:
            set_pos(w, std::min(start, in_len(w)));
            st = S_POP;
            return R_END;
        case C_CASE:
            w.case_mode = triple::b_of(level(0));
            st = S_POP;
            return R_END;
        case C_INTO: {
            bool ok = w.match && at_end(w);
            // drop the inner input; the outer one comes back with its saved position
            buf(series_stack)->tail -= sizeof(Cell);
            Cell outer = buf(series_stack)->cells()[ss_len() - 1];
            set_input(w, &outer);
            if (ok) set_pos(w, std::min(pos(w) + 1, in_len(w)));
            w.match = ok;
            st = S_POP;
            return R_END;
        }
        case C_REMOVE: {
            if (w.match) {
                int32_t count = pos(w) - start;
                remove_from_input(w, start, count);
                set_pos(w, std::min(start, in_len(w)));
            }
            st = S_POP;
            return R_END;
        }
        case C_CHANGE: case C_CHANGE_ONLY: {
            int32_t i = w.rpos + 1;
            if (i >= rule_len(w)) raise_end(K_CHANGE);
            Cell v = *rule_at(w, i);
            if (type_of(&v) == TYPE_PATH) raise_rule(&v);
            w.rpos = i;
            if (w.match) {
                bool fired;
                if (!edit_value(w, &v, fired)) return R_UNWIND;
                settle_after_eval(w);
                if (fired) FIRE(EV_PAREN);
                int32_t count = pos(w) - start;
                if (count < 0) count = 0;
                change_input(w, std::min(start, in_len(w)), count, code == C_CHANGE_ONLY);
            }
            st = S_POP;
            return R_END;
        }
        case C_COLLECT: {
            w.collect_depth--;
            Cell* e = stack::top - 1;
            uint32_t first = w.collect_base;
            if (type_of(e) == TYPE_BLOCK) {
                if (stack::index_of(e) != first) {
                    Cell* below = e - 1;
                    uint32_t bt = type_of(below);
                    if (bt == TYPE_WORD) {
                        Cell wd = *below;
                        *w.aux = *e;
                        stack::drop(2);
                        word::set(&wd, w.aux);
                        settle_after_eval(w);
                    } else if (bt == TYPE_BLOCK) {
                        block::append(series_node(below), e);
                        stack::drop(1);
                    } else {
                        // into / after: the block goes into the target as one value
                        Cell blk = *e;
                        stack::drop(1);
                        keep_one(w, &blk);
                    }
                }
            } else {
                // into / after: the word's series goes back to where it stood
                Cell wd = *e;
                retype(&wd, TYPE_WORD);
                stack::drop(1);
                Cell* cur = stack::push_copy(word::get(&wd));
                set_series_head(cur, triple::b_of(level(0)));
                word::set(&wd, cur);
                stack::drop(1);
                settle_after_eval(w);
            }
            st = S_POP;
            return R_END;
        }
        case C_KEEP: case C_KEEP_PAREN: {
            if (w.match) {
                bool pick = triple::c_of(level(2)) != 0;
                int32_t child = triple::a_of(level(2));
                if (code == C_KEEP_PAREN) {
                    // the kept block stays in the scratch cell (rooted) while its values go
                    Cell v = *w.scratch;
                    if (pick && type_of(&v) == TYPE_BLOCK) {
                        for (int32_t i = std::max(0, series_head(&v)); i < int32_t(buf(series_node(&v))->length()); i++) {
                            Cell item = buf(series_node(&v))->cells()[i];
                            keep_one(w, &item);
                        }
                    } else {
                        keep_one(w, &v);
                    }
                } else if (child == C_COPY) {
                    keep_one(w, w.scratch);
                } else {
                    int32_t p = std::min(pos(w), in_len(w));
                    if (pick) {
                        for (int32_t i = start; i < p && i < in_len(w); i++) {
                            series::element_value(w.aux, w.input, uint32_t(i));
                            keep_one(w, w.aux);
                        }
                    } else if (p - start > 1) {
                        if (!keep_range(w, start, p)) {
                            copy_range(w, start, p, w.aux);
                            keep_one(w, w.aux);
                        }
                    } else if (p - start == 1) {
                        series::element_value(w.aux, w.input, uint32_t(start));
                        keep_one(w, w.aux);
                    }
                }
                settle_after_eval(w);
            }
            st = S_POP;
            return R_END;
        }
        default:
            error::raise(error::ERR_INTERNAL_NOT_DONE);
    }
}

// Releases one call's part of both stacks, whatever way the call ends.
class StackScope {
public:
    StackScope(uint32_t rule_mark, uint32_t series_mark) : rule_mark_(rule_mark), series_mark_(series_mark) {}
    ~StackScope() {
        SeriesBuf* r = buf(rule_stack);
        if (r->length() > rule_mark_) r->tail = rule_mark_ * sizeof(Cell);
        SeriesBuf* s = buf(series_stack);
        if (s->length() > series_mark_) s->tail = series_mark_ * sizeof(Cell);
    }
private:
    uint32_t rule_mark_, series_mark_;
};

}  // namespace

void init() {
    rule_stack = block::new_node(100);
    series_stack = block::new_node(8);
    static bool registered = false;
    if (!registered) {
        collector::register_node_root(&rule_stack, collector::NodeRootKind::Cells);
        collector::register_node_root(&series_stack, collector::NodeRootKind::Cells);
        registered = true;
    }
    for (int i = 1; i < K_COUNT; i++) keyword_canon[i] = symbol::canonical(sym(KEYWORD_SYMS[i]));
    keyword_by_symbol.assign(keyword_by_symbol.size(), 0);
    for (int e = 0; e < EV_COUNT; e++) event_symbol[e] = symbol::intern(EVENT_NAMES[e]);
}

uint32_t rule_stack_cells() { return rule_stack ? buf(rule_stack)->length() : 0; }
uint32_t series_stack_cells() { return series_stack ? buf(series_stack)->length() : 0; }

bool process(Cell* result, const Cell* input, const Cell* rules, int case_mode, int64_t limit,
             const Cell* callback) {
    Walk w;
    // Nested calls: a call that starts while another runs leaves a mark of the outer heads.
    uint32_t rule_mark = rs_len(), series_mark = ss_len();
    StackScope scope(rule_mark, series_mark);
    if (rule_mark > 0) {
        Cell m;
        triple::write_cell(&m, int32_t(series_mark), int32_t(rule_mark), 0);
        block::append(rule_stack, &m);
    }
    w.rule_base = rs_len();
    w.scratch = stack::push_unset();
    w.input = stack::push_copy(input);
    w.rules = stack::push_copy(rules);
    w.val = stack::push_unset();
    w.aux = stack::push_unset();
    Cell* cb = nullptr;
    if (callback) cb = stack::push_copy(callback);
    w.callback = cb;
    w.case_mode = case_mode;
    w.limit = limit;
    set_input(w, input);
    w.series_base = ss_len();
    block::append(series_stack, w.input);
    w.collect_base = stack::index_of(stack::top);
    Outcome o = run(w);
    if (o == R_UNWIND) return false;
    if (o == R_STOP) {
        set_logic(result, w.match);
        return true;
    }
    if (w.match) w.match = w.rpos >= rule_len(w);
    int64_t rem = remaining(w);
    if (w.limit >= 0 && rem > 0) rem = w.limit - pos(w);
    if (rem > 0 && ss_len() - w.series_base == 1) w.match = false;
    if (w.callback && !fire(w, EV_END)) {
        set_logic(result, w.match);
        return true;
    }
    Cell* first = stack::at_index(w.collect_base);
    if (stack::index_of(stack::top) > w.collect_base && type_of(first) == TYPE_BLOCK) *result = *first;
    else set_logic(result, w.match);
    return true;
}

}  // namespace zel::parse

namespace zel::natives {

namespace {

// `parse`: input, rules, /case, /part length, /trace callback.
void parse_native(const int32_t* refs) {
    Cell* input = arg(0);
    int case_mode = used(refs, 0) ? 2 : 0;
    int64_t limit = -1;
    {
        int32_t n = int32_t(memory::buf(series_node(input))->length());
        if (series_head(input) < 0) set_series_head(input, 0);
        if (series_head(input) > n) set_series_head(input, n);
    }
    if (Cell* part = ref_arg(refs, 1)) {
        int64_t at = series_head(input);
        uint32_t pt = type_of(part);
        if (pt == TYPE_INTEGER) limit = at + int_value(part);
        else if (pt == TYPE_FLOAT || pt == TYPE_PERCENT) {
            double d = float_value(part);
            if (!(d > -2147483648.0 && d < 2147483648.0)) series::raise_invalid_refine(SYM_PART, part);
            limit = at + int64_t(d);
        } else if (pt == type_of(input) && series_node(part) == series_node(input)) {
            limit = series_head(part);
        } else {
            series::raise_invalid_refine(SYM_PART, part);
        }
        if (limit < at) limit = at;
    }
    Cell* callback = ref_arg(refs, 2);
    Cell* result = stack::push_unset();
    if (!parse::process(result, input, arg(1), case_mode, limit, callback)) return;
    stack::set_result(result);
}

}  // namespace

void register_parse() {
    parse::init();
    set<SLOT_parse, parse_native>();
}

}  // namespace zel::natives
