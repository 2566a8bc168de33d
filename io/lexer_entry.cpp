// The lexer's frame around the scanner: the entries (transcode, load-string), the chain of
// per-call states, the shared value buffer, series nesting, callback events and syntax errors.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/callable.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/series/string.h"
#include "io/lexer_internal.h"
#include "io/lexer_scalars.h"

namespace zel::lexer {

State* innermost = nullptr;
Cell* value_cells = nullptr;

namespace {

State* chain_head = nullptr;
uint32_t value_capacity = 0;
constexpr uint32_t INITIAL_CELLS = 1000;

// UTF-8 work area of load-string: a bump area; nested calls stack their texts in it.
constexpr size_t WORK_BYTES = 100000;
uint8_t* work_area = nullptr;
size_t work_used = 0;

// Symbols of the event words and of the callback's frame name.
uint32_t event_symbols[6];
uint32_t callback_symbol = 0;

const char* const event_names[6] = {"prescan", "scan", "load", "open", "close", "error"};

int event_slot(uint32_t event) { return __builtin_ctz(event); }

void grow_value_buffer() {
    uint64_t want = value_capacity ? uint64_t(value_capacity) * 2 : INITIAL_CELLS;
    if (want > 0x7FFFFFFFu / sizeof(Cell)) error::raise(error::ERR_INTERNAL_NO_MEMORY);
    Cell* moved = static_cast<Cell*>(std::realloc(value_cells, size_t(want) * sizeof(Cell)));
    if (!moved) error::raise(error::ERR_INTERNAL_NO_MEMORY);
    // States hold indexes, so nothing else needs moving.
    value_cells = moved;
    value_capacity = uint32_t(want);
}

// ---- input positions for callbacks ----

// The input series' index of a byte position: characters for string! input (counted
// incrementally from the last converted pair), bytes otherwise.
uint32_t position_to_index(State& s, size_t pos) {
    if (!s.string_input) return s.input_base + uint32_t(pos);
    size_t p = s.cached_pos;
    uint32_t index = s.cached_index;
    if (pos >= p) {
        for (; p < pos; p++)
            if ((s.text[p] & 0xC0) != 0x80) index++;
    } else {
        for (; p > pos; p--)
            if ((s.text[p - 1] & 0xC0) != 0x80) index--;
    }
    s.cached_pos = pos;
    s.cached_index = index;
    return s.input_base + index;
}

// The byte position of an input index (clamped to the input).
size_t index_to_position(State& s, int64_t index) {
    int64_t rel = index - int64_t(s.input_base);
    if (rel <= 0) return 0;
    if (!s.string_input) return size_t(rel) > s.end ? s.end : size_t(rel);
    size_t p = s.cached_pos;
    int64_t at = s.cached_index;
    if (p < s.end && (s.text[p] & 0xC0) == 0x80) {
        // The cached position is inside a character (a token may end there): start from the
        // character's first byte, which the cached index had already counted.
        while (p > 0 && (s.text[p] & 0xC0) == 0x80) p--;
        if ((s.text[p] & 0xC0) != 0x80) at--;
    }
    while (at < rel && p < s.end) {
        p++;
        while (p < s.end && (s.text[p] & 0xC0) == 0x80) p++;
        at++;
    }
    while (at > rel && p > 0) {
        p--;
        while (p > 0 && (s.text[p] & 0xC0) == 0x80) p--;
        at--;
    }
    s.cached_pos = p;
    s.cached_index = uint32_t(at);
    return p;
}

// Binary input lives in a series buffer that a collection during a callback may move.
void refresh_input(State& s) {
    if (s.binary_node) {
        SeriesBuf* b = memory::buf(s.binary_node);
        s.text = b->data() + s.binary_offset;
        size_t room = b->tail > s.binary_offset ? b->tail - s.binary_offset : 0;
        if (s.end > room) s.end = room;
        if (s.pos > s.end) s.pos = s.end;
    }
}

uint32_t event_mask_of(const Cell* fn) {
    if (type_of(fn) != TYPE_FUNCTION) return EV_ALL;
    const Cell* body = &memory::buf(callable_aux(fn))->cells()[callable::AUX_BODY];
    if (type_of(body) != TYPE_BLOCK) return EV_ALL;
    SeriesBuf* bb = memory::buf(series_node(body));
    uint32_t h = uint32_t(series_head(body));
    if (h >= bb->length()) return EV_ALL;
    const Cell* first = bb->cells() + h;
    if (type_of(first) != TYPE_BLOCK) return EV_ALL;
    uint32_t mask = 0;
    SeriesBuf* eb = memory::buf(series_node(first));
    for (uint32_t i = uint32_t(series_head(first)); i < eb->length(); i++) {
        const Cell* w = eb->cells() + i;
        if (!is_any_word_type(type_of(w))) continue;
        for (int k = 0; k < 6; k++)
            if (symbol::same_canonical(word_symbol(w), event_symbols[k])) mask |= 1u << k;
    }
    return mask;
}

// Makes a binary! holding a copy of the text, so a callback always has an input series.
void copy_as_binary(Cell* out, const uint8_t* text, size_t len) {
    uint32_t node = memory::new_series(len ? len : 1, 1);
    SeriesBuf* b = memory::buf(node);
    std::memcpy(b->data(), text, len);
    b->tail = uint32_t(len);
    set_series(out, TYPE_BINARY, node);
}

void set_string(Cell* out, std::string_view text) { string::from_utf8(out, text); }

// The message text of an error: whole characters from start up to the first LF, the input
// end, or the first character boundary at or beyond 30 bytes.
void error_text(const State& s, size_t start, Cell* out) {
    size_t p = start < s.end ? start : s.end;
    size_t limit = p + 30;
    while (p < s.end && s.text[p] != '\n' && p < limit) p++;
    while (p < s.end && (s.text[p] & 0xC0) == 0x80) p++;
    size_t from = start < s.end ? start : s.end;
    set_string(out, std::string_view(reinterpret_cast<const char*>(s.text) + from, p - from));
}

char closing_char(uint32_t kind) {
    return (kind == TYPE_PAREN || kind == TYPE_POINT2D || kind == TYPE_POINT3D) ? ')' : ']';
}

// Replaces the innermost marker by a value built from the cells after it.
void build_closed(State& s, int64_t m, uint32_t target, Cell* out) {
    Cell* mk = cell_at(uint32_t(m));
    uint32_t first = uint32_t(m) + 1;
    uint32_t n = s.tail - first;
    if (!s.load) {
        // Nothing is returned from a call that does not load: a placeholder keeps the count.
        set_none(out);
        return;
    }
    if (target == TYPE_MAP) {
        if (n % 2 != 0) throw_error(s, marker_start(mk), TYPE_MAP);
        for (uint32_t i = 0; i < n; i += 2)
            if (!is_map_key_type(type_of(cell_at(first + i)))) throw_error(s, marker_start(mk), TYPE_MAP);
        make_map(out, cell_at(first), n);
        return;
    }
    if (target == KIND_POINT) {
        uint32_t commas = marker_commas(mk);
        double c[3] = {0, 0, 0};
        uint32_t t = commas >= 2 ? TYPE_POINT3D : TYPE_POINT2D;
        if (n != commas + 1 || n < 2 || n > 3) throw_error(s, marker_start(mk), int32_t(t));
        for (uint32_t i = 0; i < n; i++) {
            const Cell* v = cell_at(first + i);
            if (type_of(v) == TYPE_INTEGER) c[i] = int_value(v);
            else if (type_of(v) == TYPE_FLOAT) c[i] = float_value(v);
            else throw_error(s, marker_start(mk), int32_t(t));
        }
        if (n == 2) make_point2d(out, c[0], c[1]);
        else make_point3d(out, c[0], c[1], c[2]);
        return;
    }
    uint32_t node = memory::new_cell_series(n ? n : 1);
    SeriesBuf* b = memory::buf(node);
    std::memcpy(b->cells(), cell_at(first), size_t(n) * sizeof(Cell));
    b->tail = n * uint32_t(sizeof(Cell));
    set_series(out, target, node);
}

void unchain(State& s) {
    if (s.parent) s.parent->next = nullptr;
    else chain_head = nullptr;
    innermost = s.parent;
    // A large load leaves a large buffer behind: give it back once no call is running.
    if (!chain_head && value_capacity > 64 * INITIAL_CELLS) {
        if (Cell* smaller = static_cast<Cell*>(std::realloc(value_cells, INITIAL_CELLS * sizeof(Cell)))) {
            value_cells = smaller;
            value_capacity = INITIAL_CELLS;
        }
    }
}

}  // namespace

// ---- value buffer ----

uint32_t new_cell(State& s) {
    if (s.tail >= value_capacity) grow_value_buffer();
    uint32_t i = s.tail++;
    Cell* c = cell_at(i);
    set_unset(c);
    if (s.new_line) c->header |= HEADER_NEW_LINE;
    return i;
}

void append_value(State& s, const Cell& v) {
    Cell copy = v;
    uint32_t i = new_cell(s);
    uint32_t nl = cell_at(i)->header & HEADER_NEW_LINE;
    *cell_at(i) = copy;
    cell_at(i)->header = (copy.header & ~HEADER_NEW_LINE) | nl;
}

int64_t innermost_marker(const State& s) {
    if (s.mark <= s.head) return -1;
    return is_marker(cell_at(s.mark - 1)) ? int64_t(s.mark - 1) : -1;
}

bool in_path(const State& s) {
    int64_t m = innermost_marker(s);
    return m >= 0 && is_any_path_type(marker_kind(cell_at(uint32_t(m))));
}

// ---- series nesting ----

void open_series(State& s, uint32_t kind, size_t start, size_t end) {
    int64_t m = innermost_marker(s);
    if (m >= 0 && marker_kind(cell_at(uint32_t(m))) == KIND_POINT) throw_error(s, start, TYPE_POINT2D);
    if (!fire_event(s, EV_OPEN, int32_t(kind), start, end)) return;
    uint32_t i = new_cell(s);
    Cell* c = cell_at(i);
    c->header = MARKER_TYPE | (c->header & HEADER_NEW_LINE);
    set_marker(c, i - s.mark, kind, uint32_t(start));
    s.mark = i + 1;
    s.start_state = START_TOKEN;
}

void close_series(State& s, int32_t kind, size_t start, bool from_cleanup) {
    int64_t m = innermost_marker(s);
    if (m < 0) {
        s.series_type = kind > 0 ? kind : int32_t(TYPE_BLOCK);
        throw_error(s, start, CODE_MISSING);
    }
    uint32_t mkind = marker_kind(cell_at(uint32_t(m)));
    if (!from_cleanup && type_of(&s.callback) != TYPE_NONE) {
        if (!fire_event(s, EV_CLOSE, int32_t(mkind), marker_start(cell_at(uint32_t(m))), s.pos)) return;
        m = innermost_marker(s);
        if (m < 0) throw_error(s, start, CODE_MISSING);
        mkind = marker_kind(cell_at(uint32_t(m)));
    }
    uint32_t target = mkind;
    if (kind >= 0 && uint32_t(kind) != mkind) {
        if (kind == TYPE_BLOCK && mkind == TYPE_MAP) target = TYPE_MAP;
        else if (kind == TYPE_SET_PATH && mkind == TYPE_PATH) target = TYPE_SET_PATH;
        else if (kind == TYPE_PAREN && mkind == KIND_POINT) target = KIND_POINT;
        else {
            s.series_type = int32_t(mkind);
            throw_error(s, start, CODE_MISSING);
        }
    }
    Cell v;
    build_closed(s, m, target, &v);
    Cell* mk = cell_at(uint32_t(m));
    uint32_t back = marker_back(mk);
    if (has_new_line(mk)) v.header |= HEADER_NEW_LINE;
    *mk = v;
    s.tail = uint32_t(m) + 1;
    s.mark = uint32_t(m) - back;
    uint32_t made = target == KIND_POINT ? type_of(&v) : target;
    if (!s.load) made = target == KIND_POINT ? TYPE_POINT2D : target;
    s.last_type = s.token_type = int32_t(made);
    s.start_state = in_path(s) ? START_PATH : START_TOKEN;
}

void close_all(State& s) {
    int64_t m;
    while ((m = innermost_marker(s)) >= 0) {
        Cell* mk = cell_at(uint32_t(m));
        uint32_t kind = marker_kind(mk);
        if (kind == TYPE_BLOCK || kind == TYPE_PAREN) {
            close_series(s, -1, marker_start(mk), true);
            continue;
        }
        // Any other marker is dropped; its values join the enclosing series.
        uint32_t back = marker_back(mk);
        std::memmove(mk, mk + 1, size_t(s.tail - uint32_t(m) - 1) * sizeof(Cell));
        s.tail--;
        s.mark = uint32_t(m) - back;
    }
    s.start_state = START_TOKEN;
}

// ---- events ----

bool fire_event(State& s, uint32_t event, int32_t type, size_t start, size_t end, const Cell* value) {
    if (type_of(&s.callback) == TYPE_NONE) return true;
    if (event == EV_SCAN && type == -T_ERROR) {
        event = EV_ERROR;
        type = TYPE_ERROR;
    }
    if (!(s.event_mask & event)) return true;
    if (event == EV_PRESCAN && type == -T_PAREN_OPEN && point_ahead(s, start + 1)) return true;
    if (type == TYPE_POINT2D || type == TYPE_POINT3D) {
        // A point's token is reported with its parentheses.
        if (start > 0 && s.text[start - 1] == '(') start--;
        if (end < s.end && s.text[end] == ')') end++;
    }
    if (start > s.end) start = s.end;
    if (end < start) end = start;
    if (end > s.end) end = s.end;

    Cell args[5];
    word::make_global(&args[0], TYPE_WORD, event_symbols[event_slot(event)]);
    bool at_start = event == EV_OPEN || (event == EV_PRESCAN && type <= 0);
    uint32_t passed_index = position_to_index(s, at_start ? start : end);
    args[1] = s.input;
    set_series_head(&args[1], int32_t(passed_index));
    if (type == 0) set_none(&args[2]);
    else if (type > 0) set_datatype(&args[2], uint32_t(type));
    else exit_state_value(&args[2], -type);
    set_integer(&args[3], s.line);
    if (value) {
        args[4] = *value;
    } else {
        int32_t a = int32_t(position_to_index(s, start) - s.input_base) + 1;
        int32_t b = int32_t(position_to_index(s, end) - s.input_base) + 1;
        make_pair(&args[4], a, b);
    }

    Cell* slot = stack::top;
    Cell fn = s.callback;
    interp::call_with_args(&fn, callback_symbol, args, 5);
    if (stack::unwinding()) stack::raise_pending();
    // call_with_args leaves the result in the slot where the function was pushed; the
    // argument cells above it still hold the callback's final values, so a callback that
    // moved its input argument is seen here.
    bool answer = !is_falsy(slot) && type_of(slot) != TYPE_UNSET;
    Cell moved = slot[2];
    stack::top = slot;

    refresh_input(s);
    if (type_of(&moved) == type_of(&s.input) && series_node(&moved) == series_node(&s.input) &&
        uint32_t(series_head(&moved)) != passed_index) {
        s.pos = index_to_position(s, series_head(&moved));
    }
    return answer;
}

// ---- errors ----

void throw_error(State& s, size_t start, int32_t code) {
    if (!s.load) {
        s.token_type = TYPE_ERROR;
        s.last_type = TYPE_ERROR;
        throw ScanStop{};
    }
    if (start == NO_START) {
        int64_t m = innermost_marker(s);
        start = m >= 0 ? marker_start(cell_at(uint32_t(m))) : 0;
    }
    bool inside_path = in_path(s);
    if (type_of(&s.callback) != TYPE_NONE) {
        int32_t type = code > 0                ? code
                       : s.series_type > 0     ? s.series_type
                       : s.token_type > 0      ? s.token_type
                       : s.type_override >= 0  ? s.type_override
                                               : int32_t(TYPE_ERROR);
        if (inside_path) close_series(s, -1, start, true);
        if (!fire_event(s, EV_ERROR, type, s.token_start, s.pos > s.token_start ? s.pos : s.token_start))
            throw TokenDropped{};
        refresh_input(s);
    }
    Cell line, message, arg2;
    set_string(&line, "(line " + std::to_string(s.line) + ")");
    error_text(s, start, &message);
    char at = start < s.end ? char(s.text[start]) : '_';
    close_all(s);
    if (inside_path && code > 0 && !is_any_path_type(uint32_t(code))) code = CODE_BAD_CHAR;
    // Values finished before the error stay available to a target block.
    if (type_of(&s.into) != TYPE_NONE && s.tail > s.head) {
        uint32_t node = series_node(&s.into);
        uint32_t n = s.tail - s.head;
        SeriesBuf* b = memory::ensure_room(node, size_t(n) * sizeof(Cell));
        std::memcpy(b->cell_tail(), cell_at(s.head), size_t(n) * sizeof(Cell));
        b->tail += n * uint32_t(sizeof(Cell));
        s.tail = s.head;
    }
    switch (code) {
        case CODE_BAD_CHAR:
            error::raise(error::ERR_SYNTAX_BAD_CHAR, &line, &message);
        case CODE_MALCONSTRUCT:
            error::raise(error::ERR_SYNTAX_MALCONSTRUCT, &line, &message);
        case CODE_MISSING:
        case CODE_MISSING_END: {
            uint32_t kind = s.series_type > 0 ? uint32_t(s.series_type) : TYPE_BLOCK;
            char closing = closing_char(kind);
            if (code == CODE_MISSING && at == closing) closing = closing == ']' ? '[' : '(';
            set_string(&arg2, std::string(1, closing));
            error::raise(error::ERR_SYNTAX_MISSING, &line, &arg2, &message);
        }
        default:
            set_datatype(&arg2, code > 0 ? uint32_t(code) : uint32_t(TYPE_ERROR));
            error::raise(error::ERR_SYNTAX_INVALID, &line, &arg2, &message);
    }
}

// ---- entries ----

void init() {
    install_structural_scanners();
    install_loaders();
    if (!value_cells) grow_value_buffer();
    if (!work_area) {
        work_area = static_cast<uint8_t*>(std::malloc(WORK_BYTES));
        if (!work_area) error::raise(error::ERR_INTERNAL_NO_MEMORY);
    }
    for (int k = 0; k < 6; k++) event_symbols[k] = symbol::intern(event_names[k]);
    callback_symbol = symbol::intern("lexer-callback");
    static bool registered = false;
    if (!registered) {
        collector::add_root_marker(mark_states);
        registered = true;
    }
}

void mark_states() {
    for (State* s = chain_head; s; s = s->next) {
        collector::mark_cells(cell_at(s->head), cell_at(s->tail));
        collector::mark_cell(&s->callback);
        collector::mark_cell(&s->input);
        collector::mark_cell(&s->into);
    }
}

uint32_t transcode(Cell* result, const uint8_t* text, size_t len, const Options& opt, size_t* stop) {
    State s;
    s.parent = innermost;
    s.head = innermost ? innermost->tail : 0;
    s.mark = s.tail = s.head;
    s.text = text;
    s.end = len;
    s.load = !opt.prescan && opt.load;
    set_none(&s.callback);
    set_none(&s.input);
    set_none(&s.into);
    if (opt.into && type_of(opt.into) == TYPE_BLOCK) s.into = *opt.into;
    if (opt.input && (is_text_type(type_of(opt.input)) || type_of(opt.input) == TYPE_BINARY)) {
        s.input = *opt.input;
        if (type_of(opt.input) == TYPE_BINARY) {
            SeriesBuf* b = memory::buf(series_node(opt.input));
            if (text >= b->data() && text <= b->data() + b->tail) {
                s.binary_node = series_node(opt.input);
                s.binary_offset = size_t(text - b->data());
                s.input_base = uint32_t(s.binary_offset);
            } else {
                s.input_base = uint32_t(series_head(opt.input) < 0 ? 0 : series_head(opt.input));
            }
        } else {
            s.string_input = true;
            s.input_base = uint32_t(series_head(opt.input) < 0 ? 0 : series_head(opt.input));
        }
    }
    std::unique_ptr<uint8_t[]> own_copy;
    if (opt.callback && (type_of(opt.callback) == TYPE_FUNCTION || type_of(opt.callback) == TYPE_ROUTINE)) {
        s.callback = *opt.callback;
        s.event_mask = event_mask_of(opt.callback);
        if (type_of(&s.input) == TYPE_NONE) copy_as_binary(&s.input, text, len);
        if (s.binary_node) {
            // A callback may change or shrink the binary while it is read: lex a copy of
            // its bytes (positions still count from the binary's own index).
            own_copy.reset(new uint8_t[len ? len : 1]);
            std::memcpy(own_copy.get(), text, len);
            s.text = own_copy.get();
            s.binary_node = 0;
        }
    }
    if (innermost) innermost->next = &s;
    else chain_head = &s;
    innermost = &s;

    bool silent = false;
    try {
        try {
            scan(s, opt.one_value, opt.prescan);
            if (s.tail > s.head) {
                if (opt.prescan && s.start_state == START_PATH && s.token_type != TYPE_ERROR) {
                    const Cell* last = cell_at(s.tail - 1);
                    if (is_marker(last)) s.token_type = int32_t(marker_kind(last));
                } else {
                    int64_t m = innermost_marker(s);
                    if (m >= 0) {
                        uint32_t kind = marker_kind(cell_at(uint32_t(m)));
                        s.series_type = int32_t(kind);
                        if (is_any_path_type(kind)) throw_error(s, NO_START, TYPE_PATH);
                        bool paren = kind == TYPE_PAREN || kind == TYPE_POINT2D || kind == TYPE_POINT3D;
                        s.open_at_end = paren ? '(' : '[';
                        throw_error(s, marker_start(cell_at(uint32_t(m))), CODE_MISSING_END);
                    }
                }
            }
        } catch (ScanStop&) {
            s.token_type = TYPE_ERROR;
        } catch (TokenDropped&) {
            silent = true;
        }
        if (silent) {
            if (result) set_none(result);
        } else if (s.load && s.token_type != TYPE_ERROR) {
            uint32_t n = s.tail - s.head;
            bool into = type_of(&s.into) == TYPE_BLOCK;
            if (opt.one_value && n >= 1) {
                Cell first = *cell_at(s.head);
                if (into) {
                    SeriesBuf* b = memory::ensure_room(series_node(&s.into), sizeof(Cell));
                    *b->cell_tail() = first;
                    b->tail += uint32_t(sizeof(Cell));
                    if (result) *result = s.into;
                } else if (result) {
                    *result = first;
                }
            } else if (into) {
                uint32_t node = series_node(&s.into);
                SeriesBuf* b = memory::ensure_room(node, size_t(n) * sizeof(Cell));
                std::memcpy(b->cell_tail(), cell_at(s.head), size_t(n) * sizeof(Cell));
                b->tail += n * uint32_t(sizeof(Cell));
                if (result) *result = s.into;
            } else if (result) {
                uint32_t node = memory::new_cell_series(n ? n : 1);
                SeriesBuf* b = memory::buf(node);
                std::memcpy(b->cells(), cell_at(s.head), size_t(n) * sizeof(Cell));
                b->tail = n * uint32_t(sizeof(Cell));
                set_series(result, TYPE_BLOCK, node);
            }
        } else if (result && !s.load) {
            set_none(result);
        }
    } catch (...) {
        if (opt.open_at_end) *opt.open_at_end = s.open_at_end;
        unchain(s);
        throw;
    }
    if (opt.open_at_end) *opt.open_at_end = s.open_at_end;
    if (stop) {
        size_t pos = s.pos < s.end ? s.pos : s.end;
        *stop = s.string_input ? position_to_index(s, pos) - s.input_base : pos;
    }
    unchain(s);
    return uint32_t(s.token_type);
}

uint32_t load_string(Cell* result, const Cell* str, int32_t chars, const Options& opt, size_t* stop_chars) {
    SeriesBuf* b = memory::buf(series_node(str));
    uint32_t unit = b->unit();
    int32_t head = series_head(str);
    uint32_t first = head < 0 ? 0 : uint32_t(head);
    uint32_t length = b->length() > first ? b->length() - first : 0;
    uint32_t count = (chars < 0 || uint32_t(chars) > length) ? length : uint32_t(chars);
    size_t need = unit == 4 ? size_t(count) * 4 : size_t(count) * (unit + 1);

    // Room in the work area, or a block of its own for this call.
    size_t saved_used = work_used;
    uint8_t* own = nullptr;
    uint8_t* out;
    if (WORK_BYTES - work_used >= need) {
        out = work_area + work_used;
        work_used += need;
    } else {
        own = static_cast<uint8_t*>(std::malloc(need + 1));
        if (!own) error::raise(error::ERR_INTERNAL_NO_MEMORY);
        out = own;
    }
    size_t n = 0;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t cp = string::char_at(b, first + i);
        if (cp < 0x80) {
            out[n++] = uint8_t(cp);
        } else if (cp < 0x800) {
            out[n++] = uint8_t(0xC0 | (cp >> 6));
            out[n++] = uint8_t(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out[n++] = uint8_t(0xE0 | (cp >> 12));
            out[n++] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
            out[n++] = uint8_t(0x80 | (cp & 0x3F));
        } else {
            out[n++] = uint8_t(0xF0 | ((cp >> 18) & 0x07));
            out[n++] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
            out[n++] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
            out[n++] = uint8_t(0x80 | (cp & 0x3F));
        }
    }
    Options o = opt;
    Cell input = *str;
    o.input = &input;
    uint32_t type;
    try {
        type = transcode(result, out, n, o, stop_chars);
    } catch (...) {
        work_used = saved_used;
        std::free(own);
        throw;
    }
    work_used = saved_used;
    std::free(own);
    return type;
}

void load_utf8(Cell* out_block, std::string_view text) {
    Options o;
    transcode(out_block, reinterpret_cast<const uint8_t*>(text.data()), text.size(), o, nullptr);
}

char open_at_end(const uint8_t* text, size_t len) {
    Options o;
    o.load = false;
    char open = 0;
    o.open_at_end = &open;
    transcode(nullptr, text, len, o, nullptr);
    return open;
}

uint32_t scan_type(const uint8_t* text, size_t len) {
    Options o;
    o.one_value = true;
    o.load = false;
    return transcode(nullptr, text, len, o, nullptr);
}

}  // namespace zel::lexer
