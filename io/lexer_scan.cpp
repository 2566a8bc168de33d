// The scanning loop (one table walk per token) and the scanners of the structural token
// classes 1-13: end, error, brackets, braced strings, maps, paths, construction syntax,
// comments and commas.
#include <cstring>

#include "core/context.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/series/utf8.h"
#include "io/lexer_internal.h"

namespace zel::lexer {

Handler scanners[CLASS_COUNT + 1];
Handler loaders[CLASS_COUNT + 1];

namespace {

bool has_callback(const State& s) { return type_of(&s.callback) != TYPE_NONE; }

// The type an event reports for a token: its datatype, or its class's exit-states entry.
int32_t event_type(const State& s, int cls) { return s.token_type > 0 ? s.token_type : -cls; }

// Bytes of the UTF-8 character at p (1 for a stray byte).
size_t char_length(const State& s, size_t p) {
    size_t len;
    utf8::decode(s.text + p, s.end - p, len);
    return len ? len : 1;
}

// Classes whose token is followed by a closing byte the table did not consume.
bool ends_with_delimiter(const State& s, int cls, size_t start) {
    switch (cls) {
        case T_BLOCK_OPEN: case T_BLOCK_CLOSE: case T_PAREN_OPEN: case T_PAREN_CLOSE:
        case T_BRACE_OPEN: case T_BRACE_CLOSE: case T_MAP_OPEN: case T_PATH: case T_CONSTRUCT:
        case T_COMMA: case T_STRING: case T_CHAR: case T_BINARY: case T_PERCENT: case T_POINT:
        case T_TAG:
            return true;
        case T_FILE:
            return start + 1 < s.end && s.text[start + 1] == '"';
        default:
            return false;
    }
}

// Leading Unicode white space of a word token (lexer/skip-unicode-space): the first
// position that is not such a space.
size_t skip_unicode_space(State& s, size_t start, size_t end) {
    size_t p = start;
    while (p < end && s.text[p] >= 0x80) {
        size_t len;
        uint32_t cp = utf8::decode(s.text + p, end - p, len);
        if (cp == utf8::INVALID) throw_error(s, start, TYPE_WORD);
        if (!is_unicode_space(cp)) break;
        p += len;
    }
    return p;
}

// ---- structural scanners ----

void scan_end(State& s, size_t, size_t, uint32_t, bool) { s.pos = s.end; }

void scan_error(State& s, size_t start, size_t end, uint32_t, bool) {
    uint32_t type = s.prev_state < STATE_COUNT ? tables.type[s.prev_state] : 0;
    int32_t code = type == 0 ? CODE_BAD_CHAR : int32_t(type);
    bool series = is_any_path_type(type) || type == TYPE_BLOCK || type == TYPE_PAREN;
    // Text that ran out inside a braced string, a raw string or a binary could go on.
    if (end >= s.end) {
        switch (s.prev_state) {
            case 4: case 5: case 10: case 11: case 17: case 18: s.open_at_end = '{'; break;
            default: break;
        }
    }
    if (series) start = NO_START;
    else if (s.start_state == START_BRACED) start = s.brace_start;
    else if (s.start_state == START_POINT && start > 0) start--;   // from the '(' of the point
    throw_error(s, start, code);
}

void scan_block_open(State& s, size_t, size_t end, uint32_t, bool) {
    s.pos = end + 1;
    open_series(s, TYPE_BLOCK, end, end + 1);
}

void scan_block_close(State& s, size_t, size_t end, uint32_t, bool) {
    s.pos = end + 1;
    close_series(s, TYPE_BLOCK, end);
}

void scan_paren_open(State& s, size_t, size_t end, uint32_t, bool) {
    s.pos = end + 1;
    if (point_ahead(s, end + 1)) {
        // The whole point is read as one token from the point start state.
        s.start_state = START_POINT;
        s.token_type = 0;
        return;
    }
    open_series(s, TYPE_PAREN, end, end + 1);
}

void scan_paren_close(State& s, size_t, size_t end, uint32_t, bool) {
    s.pos = end + 1;
    close_series(s, TYPE_PAREN, end);
}

void scan_brace_open(State& s, size_t, size_t end, uint32_t flags, bool) {
    if (s.brace_nesting == 0) {
        s.brace_start = end;
        s.brace_flags = 0;
        s.saved_lines = s.lines_spanned;
        if (s.lines_spanned > 0) s.brace_flags |= FLAG_BRACE_NEW_LINE;
        fire_event(s, EV_OPEN, TYPE_STRING, end, end + 1);
    }
    s.brace_nesting++;
    s.brace_flags |= flags;
    s.start_state = START_BRACED;
    s.pos = end + 1;
}

void scan_brace_close(State& s, size_t, size_t end, uint32_t flags, bool load) {
    s.brace_flags |= flags;
    s.pos = end + 1;
    if (--s.brace_nesting > 0) {
        if (s.pos >= s.end) {
            s.open_at_end = '{';
            throw_error(s, s.brace_start, TYPE_STRING);
        }
        s.start_state = START_BRACED;
        return;
    }
    s.brace_nesting = 0;
    s.start_state = START_TOKEN;
    size_t open = s.brace_start;
    uint32_t text_flags = s.brace_flags;
    fire_event(s, EV_CLOSE, TYPE_STRING, open, s.pos);
    // The string takes the new-line flag of its opening brace.
    s.lines_spanned = (text_flags & FLAG_BRACE_NEW_LINE) ? 1 : 0;
    s.new_line = s.lines_spanned > 0;
    s.token_start = open;
    if (load) {
        if (!fire_event(s, EV_SCAN, TYPE_STRING, open, s.pos)) return;
        uint32_t before = s.tail;
        load_text(s, open + 1, end, text_flags, TYPE_STRING, true, false, true);
        if (s.tail > before && has_callback(s)) {
            Cell v = *cell_at(s.tail - 1);
            if (!fire_event(s, EV_LOAD, TYPE_STRING, open, s.pos, &v)) s.tail = before;
        }
    } else {
        load_text(s, open + 1, end, text_flags, TYPE_STRING, true, false, false);
        fire_event(s, EV_SCAN, TYPE_STRING, open, s.pos);
    }
    s.token_type = TYPE_STRING;
}

void scan_map_open(State& s, size_t start, size_t end, uint32_t, bool) {
    if (s.text[start] != '#') throw_error(s, start, TYPE_MAP);
    s.pos = end + 1;
    open_series(s, TYPE_MAP, start, end + 1);
}

void scan_path(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    uint32_t kind = TYPE_PATH;
    size_t head = start;
    if (s.text[start] == '\'') kind = TYPE_LIT_PATH, head++;
    else if (s.text[start] == ':') kind = TYPE_GET_PATH, head++;
    s.pos = end + 1;
    open_series(s, kind, start, end + 1);
    if (head >= end) throw_error(s, NO_START, int32_t(kind));
    if (load && fire_event(s, EV_SCAN, TYPE_WORD, start, end)) {
        uint32_t before = s.tail;
        load_word(s, head, end, flags & ~FLAG_COLON, true);
        s.pos = end + 1;
        if (s.tail > before) {
            cell_at(before)->header &= ~HEADER_NEW_LINE;   // the head is inside the path
            if (has_callback(s)) {
                Cell v = *cell_at(s.tail - 1);
                if (!fire_event(s, EV_LOAD, TYPE_WORD, start, end, &v)) s.tail = before;
            }
        }
    }
    s.start_state = START_PATH;
    if (s.pos >= s.end) throw_error(s, NO_START, int32_t(kind));
}

// Construction syntax #(...): logic, none and unset words, or a datatype name.
void scan_construct(State& s, size_t start, size_t end, uint32_t, bool load) {
    s.pos = end + 1;
    size_t a = start + 2;
    std::string_view text(reinterpret_cast<const char*>(s.text) + a, end > a ? end - a : 0);
    auto same = [&](std::string_view name) {
        if (text.size() != name.size()) return false;
        for (size_t i = 0; i < name.size(); i++) {
            char c = text[i];
            if (c >= 'A' && c <= 'Z') c = char(c + 32);
            char n = name[i];
            if (n >= 'A' && n <= 'Z') n = char(n + 32);
            if (c != n) return false;
        }
        return true;
    };
    Cell v;
    if (same("true")) set_logic(&v, true);
    else if (same("false")) set_logic(&v, false);
    else if (same("none")) set_none(&v);
    else if (same("unset")) set_unset(&v);
    else {
        uint32_t found = 0;
#define ZEL_TYPE(id, name, cname, ...) if (!found && same(name)) found = id;
#include "core/types.def"
#undef ZEL_TYPE
        if (!found) throw_error(s, start, CODE_MALCONSTRUCT);
        set_datatype(&v, found);
    }
    // The value's type is the token's type, so one-value calls stop after it.
    s.token_type = int32_t(type_of(&v));
    if (load) append_value(s, v);
}

void scan_comment(State& s, size_t start, size_t end, uint32_t, bool) {
    s.pos = end;
    fire_event(s, EV_SCAN, -T_COMMENT, start, end);
}

void scan_comma(State& s, size_t start, size_t end, uint32_t, bool) {
    s.pos = end + 1;
    int64_t m = innermost_marker(s);
    if (m >= 0) {
        Cell* mk = cell_at(uint32_t(m));
        uint32_t kind = marker_kind(mk);
        uint32_t commas = marker_commas(mk);
        if (kind == TYPE_PAREN) {
            set_marker_kind(mk, KIND_POINT, 1);
            return;
        }
        if (kind == KIND_POINT) {
            if (commas >= 2) throw_error(s, end, TYPE_POINT3D);
            set_marker_kind(mk, KIND_POINT, commas + 1);
            return;
        }
    }
    throw_error(s, end, TYPE_POINT2D);
}

}  // namespace

bool point_ahead(const State& s, size_t from) {
    if (from > s.end || s.end - from < 4) return false;
    for (size_t p = from; p < s.end; p++) {
        uint8_t b = s.text[p];
        if (b == ',') return true;
        if (!is_point_byte(b)) return false;
    }
    return true;
}

void path_element_end(State& s) {
    while (in_path(s)) {
        size_t p = s.pos;
        if (p < s.end && s.text[p] == '/') {
            s.pos = p + 1;
            if (s.pos >= s.end) throw_error(s, NO_START, TYPE_PATH);
            s.start_state = START_PATH;
            return;
        }
        int64_t marker = innermost_marker(s);
        if (p < s.end && s.text[p] == ':') {
            if (p + 1 < s.end && s.text[p + 1] == '/') throw_error(s, NO_START, TYPE_PATH);
            s.pos = p + 1;
            close_series(s, TYPE_SET_PATH, p);
        } else {
            // Any other byte (a delimiter, or one that cannot continue a path) ends it.
            close_series(s, -1, p);
        }
        if (innermost_marker(s) == marker) {
            // A callback declined the close: the path's values stay open in the buffer.
            s.start_state = START_TOKEN;
            return;
        }
    }
}

void install_structural_scanners() {
    for (auto& h : scanners) h = nullptr;
    scanners[T_END] = scan_end;
    scanners[T_ERROR] = scan_error;
    scanners[T_BLOCK_OPEN] = scan_block_open;
    scanners[T_BLOCK_CLOSE] = scan_block_close;
    scanners[T_PAREN_OPEN] = scan_paren_open;
    scanners[T_PAREN_CLOSE] = scan_paren_close;
    scanners[T_BRACE_OPEN] = scan_brace_open;
    scanners[T_BRACE_CLOSE] = scan_brace_close;
    scanners[T_MAP_OPEN] = scan_map_open;
    scanners[T_PATH] = scan_path;
    scanners[T_CONSTRUCT] = scan_construct;
    scanners[T_COMMENT] = scan_comment;
    scanners[T_COMMA] = scan_comma;
}

// ---- the scanning loop (lexer/scan) ----

void scan(State& s, bool one_value, bool prescan) {
    const uint32_t* char_class = tables.char_class;
    const uint8_t* next = tables.next;
    s.line = 1;
    int32_t carried_lines = 0;   // line breaks before a word restarted past its white space

    while (true) {
        // 1-3: walk the state table over one token.
        uint32_t flags = 0;
        uint8_t start_state = s.start_state;
        int state = start_state;
        int prev = start_state;
        int32_t first_line = s.line;
        size_t skip = 0;
        size_t p = s.pos;
        const size_t token_from = s.pos;
        {
            const uint8_t* text = s.text;
            size_t end = s.end;
            int32_t line = s.line;
            while (p < end) {
                uint32_t entry = char_class[text[p]];
                flags |= entry;
                uint8_t col = uint8_t(entry);
                prev = state;
                state = next[state * COLUMN_COUNT + col];
                skip += tables.skip[state];
                if (state > FINAL_BASE) break;
                line += tables.line[col];
                p++;
            }
            s.line = line;
        }
        if (state <= FINAL_BASE) {
            prev = state;
            state = next[state * COLUMN_COUNT + COL_END];
            skip += tables.skip[state];
            if (state <= FINAL_BASE) state = FINAL_BASE + T_ERROR;
        }

        // 4: the token.
        int cls = state - FINAL_BASE;
        size_t start = s.pos + skip;
        if (start > p) start = p;
        // The value starts a line when a line break came before the token (line breaks
        // inside a raw string, binary or tag do not count).
        // A point is read after its '(': the line break before the '(' counts.
        bool new_line = carried_lines > 0 || (start_state == START_POINT && s.new_line);
        if (!new_line && s.line != first_line)
            new_line = std::memchr(s.text + s.pos, '\n', start - s.pos) != nullptr;
        s.new_line = new_line;
        s.pos = p;
        s.token_end = p;
        s.lines_spanned = s.line - first_line + carried_lines;
        carried_lines = 0;
        s.prev_state = uint8_t(prev);
        s.type_override = -1;
        s.token_type = tables.type[state];
        s.token_start = start;
        if (ends_with_delimiter(s, cls, start) && p < s.end) s.pos = p + 1;
        if (cls == T_POINT) s.start_state = in_path(s) ? START_PATH : START_TOKEN;

        try {
            // 5: prescan runs the structural and string scanners at once.
            bool scanned = false;
            if (prescan && cls <= T_STRING) {
                Handler h = cls == T_STRING ? loaders[cls] : scanners[cls];
                h(s, start, p, flags, false);
                scanned = true;
            }

            // 6: a word drops its leading Unicode white space and is scanned again.
            if (cls == T_WORD && s.text[start] >= 0x80) {
                size_t q = skip_unicode_space(s, start, p);
                if (q > start) {
                    carried_lines = s.lines_spanned;
                    if (q < p) {
                        s.pos = q;
                        continue;
                    }
                    if (s.pos < s.end) continue;
                    cls = T_END;
                    s.token_type = 0;
                    carried_lines = 0;
                }
            }

            // 7: the prescan event decides whether the token goes on.
            // A callback that moves the input makes the lexer go on from there once the
            // token is handled (the handlers leave the position at the token's end).
            bool goes_on;
            size_t moved_to = NO_START;
            if (has_callback(s) && start_state != START_BRACED) {
                size_t before = s.pos;
                goes_on = fire_event(s, EV_PRESCAN, event_type(s, cls), start, p);
                if (s.pos != before) moved_to = s.pos;
            } else {
                goes_on = !prescan;
            }

            // 8: scan and load.
            if (goes_on) {
                bool want_load = s.load || !one_value;
                if (cls >= T_STRING) {
                    bool scan_events = has_callback(s) && (s.event_mask & EV_SCAN);
                    if (!scanned && (!s.load || scan_events)) {
                        Handler h = cls <= T_ISSUE && scanners[cls] ? scanners[cls] : loaders[cls];
                        h(s, start, p, flags, false);
                        if (has_callback(s)) {
                            size_t before = s.pos;
                            want_load = fire_event(s, EV_SCAN, event_type(s, cls), start, p);
                            if (s.pos != before) moved_to = s.pos;
                        }
                    }
                    if (want_load) {
                        uint32_t before = s.tail;
                        loaders[cls](s, start, p, flags, true);
                        if (s.tail > before && has_callback(s)) {
                            Cell v = *cell_at(s.tail - 1);
                            if (!fire_event(s, EV_LOAD, event_type(s, cls), start, p, &v)) s.tail = before;
                        }
                    }
                } else if (!scanned) {
                    scanners[cls](s, start, p, flags, s.load);
                }
                if (moved_to != NO_START) s.pos = moved_to;
            }

            // 9: after a path element, close the path or step over its next '/'.
            if (cls != T_PATH && cls != T_ERROR && in_path(s)) {
                bool element = false;
                if (start_state == START_PATH) element = cls != T_PAREN_OPEN;
                else if (start_state == START_POINT) element = true;
                else if (cls == T_PAREN_CLOSE) element = s.start_state == START_PATH;
                if (element) path_element_end(s);
            }
        } catch (TokenDropped&) {
            // An error callback declined the error: go on after the token (at least one
            // character on), from wherever the callback left the input.
            if (s.pos <= s.token_start) s.pos = s.token_start < s.end ? s.token_start + char_length(s, s.token_start) : s.end;
            if (s.start_state == START_BRACED || s.start_state == START_POINT) {
                s.brace_nesting = 0;
                s.start_state = in_path(s) ? START_PATH : START_TOKEN;
            }
            s.token_type = TYPE_ERROR;
            s.last_type = s.token_type;
            if (s.pos >= s.end) break;
            continue;
        }

        // A token that moved nothing (a bad byte whose prescan was declined) is stepped over,
        // so that every scan ends.
        if (s.pos == token_from && s.start_state == start_state && s.pos < s.end)
            s.pos += char_length(s, s.pos);

        // 10: one value, or one prescanned token, is enough.
        s.last_type = s.token_type;
        if ((one_value || prescan) && s.token_type > 0 && cls != T_PATH &&
            s.start_state != START_PATH && s.start_state != START_BRACED) {
            uint32_t n = s.tail - s.head;
            if (n == 0 || (n == 1 && !is_marker(cell_at(s.head)))) break;
        }
        // 11: go on while input remains.
        if (s.pos >= s.end) break;
    }

    // 12: an unclosed braced string.
    if (s.start_state == START_BRACED) {
        s.open_at_end = '{';
        throw_error(s, s.brace_start, TYPE_STRING);
    }
}

}  // namespace zel::lexer
