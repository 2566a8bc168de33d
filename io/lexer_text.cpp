// Loaders of the text and word token classes: strings (quoted, braced, raw), caret escapes,
// characters, files, urls, emails, tags, refs, binaries, words, refinements and issues.
#include <cstring>

#include "core/context.h"
#include "core/hex_digit.h"
#include "core/memory.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/series/string.h"
#include "datatypes/series/utf8.h"
#include "io/lexer_internal.h"

namespace zel::lexer {

namespace {

inline bool ascii_iequal(const uint8_t* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        uint8_t c = a[i];
        if (c >= 'A' && c <= 'Z') c = uint8_t(c + 32);
        if (c != uint8_t(b[i])) return false;
    }
    return true;
}

// lexer/scan-escape: decodes the caret escape at p (text[p] is '^'); returns the position
// after it. Raises error t for a malformed escape.
size_t scan_escape(State& s, size_t p, size_t end, uint32_t t, uint32_t& cp) {
    if (p + 1 >= end) throw_error(s, s.token_start, int32_t(t));
    uint8_t c = s.text[p + 1];
    if (c == '(') {
        size_t a = p + 2, q = a;
        uint32_t v = 0;
        while (q < end && q - a < 7 && hex_digit_value(s.text[q]) >= 0) v = (v << 4) | uint32_t(hex_digit_value(s.text[q++]));
        size_t n = q - a;
        if (n >= 1 && n <= 6 && q < end && s.text[q] == ')') {
            if (v > 0x10FFFF) throw_error(s, s.token_start, int32_t(t));
            cp = v;
            return q + 1;
        }
        static const struct { const char* name; uint32_t code; } names[] = {
            {"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10}, {"page", 12}, {"esc", 27}, {"del", 127},
        };
        for (const auto& e : names) {
            size_t len = std::strlen(e.name);
            if (a + len < end && ascii_iequal(s.text + a, e.name, len) && s.text[a + len] == ')') {
                cp = e.code;
                return a + len + 1;
            }
        }
        throw_error(s, s.token_start, int32_t(t));
    }
    switch (c) {
        case '"': cp = '"'; break;
        case '-': cp = '\t'; break;
        case '/': cp = '\n'; break;
        case '^': cp = '^'; break;
        case '{': cp = '{'; break;
        case '}': cp = '}'; break;
        case '~': cp = 0x7F; break;
        case '@': cp = 0; break;
        default:
            if (c >= 'a' && c <= 'z') cp = uint32_t(c - 'a' + 1);
            else if (c >= 0x40 && c <= 0x5F) cp = uint32_t(c - 0x40);
            else if (c >= 0x80) {
                size_t len;
                cp = utf8::decode(s.text + p + 1, end - p - 1, len);
                if (cp == utf8::INVALID) throw_error(s, s.token_start, int32_t(t));
                return p + 1 + len;
            } else {
                cp = c;
            }
    }
    return p + 2;
}

bool percent_escape_at(const State& s, size_t p, size_t end) {
    return s.text[p] == '%' && p + 2 < end && hex_digit_value(s.text[p + 1]) >= 0 &&
           hex_digit_value(s.text[p + 2]) >= 0;
}

// lexer/decode-percent: the %xx escapes at p forming one character (the bytes are UTF-8); an
// invalid sequence gives U+FFFD for its first escape.
size_t decode_percent(const State& s, size_t p, size_t end, uint32_t& cp) {
    auto byte_at = [&](size_t q) { return hex_digit_value(s.text[q + 1]) * 16 + hex_digit_value(s.text[q + 2]); };
    int first = byte_at(p);
    if (first < 0x80) {
        cp = uint32_t(first);
        return p + 3;
    }
    uint8_t bytes[4];
    bytes[0] = uint8_t(first);
    size_t need = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    size_t got = 1;
    size_t q = p + 3;
    while (got < need && q < end && percent_escape_at(s, q, end) && (byte_at(q) & 0xC0) == 0x80) {
        bytes[got++] = uint8_t(byte_at(q));
        q += 3;
    }
    size_t len;
    cp = utf8::decode(bytes, got, len);
    if (cp == utf8::INVALID || len != got) {
        cp = 0xFFFD;
        return p + 3;
    }
    return q;
}
inline uint32_t unit_for(uint32_t cp) { return cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4; }

inline void put_unit(SeriesBuf* b, uint32_t index, uint32_t cp) {
    switch (b->unit()) {
        case 1: b->data()[index] = uint8_t(cp); break;
        case 2: reinterpret_cast<uint16_t*>(b->data())[index] = uint16_t(cp); break;
        default: reinterpret_cast<uint32_t*>(b->data())[index] = cp; break;
    }
}

// ---- symbol cache ----
// Sources repeat a few words many times. A direct-mapped cache from a word's bytes to its
// symbol (and the symbol's slot in the global context) answers most lookups with one hash
// over the bytes and one compare, without walking the symbol table's and the global
// context's buckets. Symbols are never removed or renumbered while their table lives, and
// words are never removed from a context (a case variant shares its first spelling's slot),
// so an entry stays true; the entries are dropped when the symbol table or the global
// context is made anew.
struct SymbolCacheEntry {
    uint32_t symbol;        // 0: empty
    int32_t global_index;   // the slot in the global context, -1 until a word asked for it
    uint8_t length;
    char text[23];
};
static_assert(sizeof(SymbolCacheEntry) == 32);
constexpr size_t SYMBOL_CACHE_SLOTS = 4096;
constexpr size_t SYMBOL_CACHE_MAX_LENGTH = sizeof(SymbolCacheEntry::text);
SymbolCacheEntry symbol_cache[SYMBOL_CACHE_SLOTS];
uint32_t symbol_cache_table = 0;    // the symbol table the entries belong to (0: none yet)
uint32_t symbol_cache_global = 0;   // the global context their slots belong to

// The cache entry for the bytes, filled with the symbol (nullptr for a text too long to keep).
SymbolCacheEntry* symbol_cache_entry(const char* text, size_t len) {
    if (len > SYMBOL_CACHE_MAX_LENGTH) return nullptr;
    if (symbol_cache_table != symbol::table_node || symbol_cache_global != context::global) {
        if (symbol_cache_table) std::memset(symbol_cache, 0, sizeof symbol_cache);
        symbol_cache_table = symbol::table_node;
        symbol_cache_global = context::global;
    }
    uint64_t h = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < len; i++) h = (h ^ uint8_t(text[i])) * 0x100000001B3ull;
    SymbolCacheEntry& e = symbol_cache[(h ^ (h >> 32)) & (SYMBOL_CACHE_SLOTS - 1)];
    if (e.symbol && e.length == len && std::memcmp(e.text, text, len) == 0) return &e;
    e.symbol = symbol::intern(text, len);
    e.global_index = -1;
    e.length = uint8_t(len);
    std::memcpy(e.text, text, len);
    return &e;
}

uint32_t cached_intern(const char* text, size_t len) {
    SymbolCacheEntry* e = symbol_cache_entry(text, len);
    return e ? e->symbol : symbol::intern(text, len);
}

// A word of type t bound to the global context, its symbol spelled by the bytes.
void make_global_word(Cell* out, uint32_t t, const char* text, size_t len) {
    SymbolCacheEntry* e = symbol_cache_entry(text, len);
    if (!e) {
        word::make_global(out, t, symbol::intern(text, len));
        return;
    }
    if (e->global_index < 0) e->global_index = context::global_index(e->symbol);
    set_word(out, t, context::global, e->symbol, e->global_index);
}

// The UTF-8 text of a word-like token, checked (error t for an invalid sequence).
uint32_t intern_checked(State& s, size_t a, size_t b, uint32_t flags, uint32_t t, bool load) {
    if (flags & FLAG_NON_ASCII) {
        for (size_t p = a; p < b;) {
            size_t len;
            if (utf8::decode(s.text + p, b - p, len) == utf8::INVALID) throw_error(s, s.token_start, int32_t(t));
            p += len;
        }
    }
    // A scan builds nothing, so it interns nothing either.
    return load ? cached_intern(reinterpret_cast<const char*>(s.text) + a, b - a) : 0;
}

// lexer/find-unicode-space: the first Unicode white space inside a word, or end.
size_t find_unicode_space(State& s, size_t a, size_t b) {
    for (size_t p = a; p < b;) {
        if (s.text[p] < 0x80) {
            p++;
            continue;
        }
        size_t len;
        uint32_t cp = utf8::decode(s.text + p, b - p, len);
        if (cp == utf8::INVALID) throw_error(s, s.token_start, TYPE_WORD);
        if (is_unicode_space(cp)) return p;
        p += len;
    }
    return b;
}

// ---- the loaders ----

void load_string(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    s.pos = end + 1;
    load_text(s, start + 1, end, flags, TYPE_STRING, true, false, load);
}

void load_word_token(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    load_word(s, start, end, flags, load);
}

void load_issue(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    s.pos = end;
    // A number before the # (a binary base without its braces, as in 12#ab) is no issue.
    if (end - start < 2 || s.text[start] != '#') throw_error(s, start, TYPE_ISSUE);
    uint32_t sym = intern_checked(s, start + 1, end, flags, TYPE_ISSUE, load);
    if (!load) return;
    Cell v;
    set_word(&v, TYPE_ISSUE, context::global, sym, -1);
    append_value(s, v);
}

void load_refinement(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    s.pos = end;
    // A quote or colon before the slash ('/a, :/a) makes no refinement.
    if (end - start < 2 || s.text[start] != '/') throw_error(s, start, TYPE_REFINEMENT);
    uint32_t sym = intern_checked(s, start + 1, end, flags, TYPE_REFINEMENT, load);
    if (!load) return;
    Cell v;
    word::make_global(&v, TYPE_REFINEMENT, sym);
    append_value(s, v);
}

void load_char(State& s, size_t start, size_t end, uint32_t, bool load) {
    s.pos = end + 1;
    size_t a = start + 2;
    if (a >= end) throw_error(s, start, TYPE_CHAR);
    uint32_t cp;
    size_t q;
    if (s.text[a] == '^') {
        q = scan_escape(s, a, end, TYPE_CHAR, cp);
    } else {
        size_t len;
        cp = utf8::decode(s.text + a, end - a, len);
        if (cp == utf8::INVALID) throw_error(s, start, TYPE_CHAR);
        q = a + len;
    }
    if (q != end || cp > 0x10FFFF) throw_error(s, start, TYPE_CHAR);
    if (!load) return;
    Cell v;
    set_char(&v, cp);
    append_value(s, v);
}

void load_file(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    s.type_override = TYPE_FILE;
    if (start + 1 < end && s.text[start + 1] == '"') {
        if (end >= s.end || s.text[end] != '"') throw_error(s, start, TYPE_FILE);
        s.pos = end + 1;
        load_text(s, start + 2, end, flags, TYPE_FILE, true, false, load);
    } else {
        s.pos = end;
        load_text(s, start + 1, end, flags, TYPE_FILE, false, true, load);
    }
}

void load_tag(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    s.type_override = TYPE_TAG;
    if (s.text[start] != '<') throw_error(s, start, TYPE_TAG);
    s.pos = end + 1;
    load_text(s, start + 1, end, flags, TYPE_TAG, false, false, load);
}

void load_url(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    s.type_override = TYPE_URL;
    if (s.text[start] == ':') throw_error(s, start, TYPE_SET_WORD);
    if (s.text[start] == '\'') throw_error(s, start, TYPE_LIT_WORD);
    s.pos = end;
    load_text(s, start, end, flags, TYPE_URL, false, (flags & FLAG_PERCENT) != 0, load);
}

void load_email(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    s.type_override = TYPE_EMAIL;
    s.pos = end;
    load_text(s, start, end, flags, TYPE_EMAIL, false, false, load);
}

void load_ref(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    s.type_override = TYPE_REF;
    s.pos = end;
    load_text(s, start + 1, end, flags, TYPE_REF, false, false, load);
}

// %{...}%, %%{...}%% ...: the text between the braces, verbatim. A token that closed with
// fewer % signs than it opened with goes on to the next } followed by as many.
void load_raw_string(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    size_t n = 0;
    while (start + n < end && s.text[start + n] == '%') n++;
    size_t m = 0;
    while (m < end - start && s.text[end - 1 - m] == '%') m++;
    if (n == 0 || start + n >= end || s.text[start + n] != '{' || end - m - 1 <= start + n ||
        s.text[end - m - 1] != '}')
        throw_error(s, start, TYPE_STRING);
    if (m > n) throw_error(s, start, TYPE_STRING);
    size_t text_start = start + n + 1;
    size_t text_end = end - m - 1;
    size_t after = end;
    if (m < n) {
        // Search the closing brace with n percent signs after the token.
        size_t q = end - m;
        for (;;) {
            while (q < s.end && s.text[q] != '}') q++;
            if (q >= s.end) {
                s.open_at_end = '{';
                throw_error(s, start, TYPE_STRING);
            }
            size_t k = 0;
            while (q + 1 + k < s.end && s.text[q + 1 + k] == '%') k++;
            if (k >= n) {
                if (k > n) throw_error(s, start, TYPE_STRING);
                break;
            }
            q++;
        }
        for (size_t i = end; i < q; i++) {
            flags |= byte_flags(s.text[i]);
            if (s.text[i] == '\n') s.line++;
        }
        text_end = q;
        after = q + 1 + n;
        s.token_end = after;
    }
    s.pos = after;
    if (!load) {
        fire_event(s, EV_OPEN, TYPE_STRING, start, start + n + 1);
        fire_event(s, EV_CLOSE, TYPE_STRING, start, after);
    }
    load_text(s, text_start, text_end, flags, TYPE_STRING, false, false, load);
}

// Binary literals: #{...} (base 16), 2#{...}, 16#{...}, 64#{...}. Blanks and ; comments are
// skipped inside. Base 64 takes = padding; an unpadded final group of two or three digits
// reads as if padded, a single leftover digit is an error.
void load_binary(State& s, size_t start, size_t end, uint32_t, bool load) {
    s.pos = end + 1;
    size_t hash = start;
    while (hash < end && s.text[hash] != '#') hash++;
    uint32_t base = 16;
    if (hash > start) {
        base = 0;
        for (size_t i = start; i < hash; i++) {
            uint8_t c = s.text[i];
            if (c < '0' || c > '9' || base > 1000) throw_error(s, start, TYPE_BINARY);
            base = base * 10 + (c - '0');
        }
    }
    if (base != 2 && base != 16 && base != 64) throw_error(s, start, TYPE_BINARY);
    size_t a = hash + 2;   // after "#{"
    size_t cap = base == 16 ? (end - a) / 2 : base == 2 ? (end - a) / 8 : (end - a) * 3 / 4;
    uint32_t node = 0;
    uint8_t* out = nullptr;
    if (load) {
        node = memory::new_series(cap ? cap : 1, 1);
        out = memory::buf(node)->data();
    }
    size_t written = 0, digits = 0, pad = 0;
    uint32_t acc = 0;
    const uint32_t bits = base == 16 ? 4 : base == 2 ? 1 : 6;
    const uint32_t group = base == 16 ? 2 : base == 2 ? 8 : 4;   // digits per whole group
    for (size_t p = a; p < end; p++) {
        uint8_t c = s.text[p];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == ';') {
            while (p < end && s.text[p] != '\n') p++;
            continue;
        }
        int v = -1;
        if (base == 16) {
            v = hex_digit_value(c);
        } else if (base == 2) {
            v = c == '0' ? 0 : c == '1' ? 1 : -1;
        } else if (c == '=') {
            // Padding completes a group of two or three digits, and only padding follows.
            if (digits % 4 < 2 || (digits + pad) % 4 == 0) throw_error(s, start, TYPE_BINARY);
            pad++;
            continue;
        } else if (!pad) {
            if (c >= 'A' && c <= 'Z') v = c - 'A';
            else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
            else if (c >= '0' && c <= '9') v = c - '0' + 52;
            else if (c == '+') v = 62;
            else if (c == '/') v = 63;
        }
        if (v < 0) throw_error(s, start, TYPE_BINARY);
        acc = (acc << bits) | uint32_t(v);
        if (++digits % group == 0) {
            if (out) {
                if (base == 64) {
                    out[written++] = uint8_t(acc >> 16);
                    out[written++] = uint8_t(acc >> 8);
                }
                out[written++] = uint8_t(acc);
            }
            acc = 0;
        }
    }
    size_t left = digits % group;
    if (base == 64) {
        if (left == 1 || (pad && (left + pad) % 4 != 0)) throw_error(s, start, TYPE_BINARY);
        if (left && out) {
            acc <<= 6 * (4 - left);
            out[written++] = uint8_t(acc >> 16);
            if (left == 3) out[written++] = uint8_t(acc >> 8);
        }
    } else if (left) {
        throw_error(s, start, TYPE_BINARY);
    }
    if (!load) return;
    memory::buf(node)->tail = uint32_t(written);
    Cell v;
    set_series(&v, TYPE_BINARY, node);
    append_value(s, v);
}

}  // namespace

void load_text(State& s, size_t start, size_t end, uint32_t flags, uint32_t t, bool escapes,
               bool percent, bool load) {
    uint32_t err = s.type_override >= 0 ? uint32_t(s.type_override) : t;
    uint32_t unit = 1u << (flags >> 30);
    if (unit > 4) unit = 4;
    if (escapes && (flags & FLAG_CARET) && unit < 4) {
        // ^(...) escapes of three or more hex digits need wider units.
        for (size_t p = start; p + 1 < end; p++) {
            if (s.text[p] != '^') continue;
            if (s.text[p + 1] == '(') {
                size_t q = p + 2;
                while (q < end && hex_digit_value(s.text[q]) >= 0) q++;
                size_t n = q - (p + 2);
                if (n >= 5) unit = 4;
                else if (n >= 3 && unit < 2) unit = 2;
            }
            p++;
        }
    }
    size_t cap = end > start ? end - start : 1;
    if (!(flags & FLAG_NON_ASCII) && !(escapes && (flags & FLAG_CARET)) && !(percent && (flags & FLAG_PERCENT))) {
        // Plain ASCII text: its bytes are the characters.
        if (!load) return;
        uint32_t node = memory::new_series(cap, 1);
        SeriesBuf* b = memory::buf(node);
        std::memcpy(b->data(), s.text + start, end - start);
        b->tail = uint32_t(end - start);
        Cell v;
        set_series(&v, t, node);
        append_value(s, v);
        return;
    }
    uint32_t node = 0;
    SeriesBuf* b = nullptr;
    if (load) {
        node = memory::new_series(cap, unit);
        b = memory::buf(node);
    }
    uint32_t n = 0;
    for (size_t p = start; p < end;) {
        uint8_t c = s.text[p];
        uint32_t cp;
        if (c < 0x80) {
            if (escapes && c == '^') {
                p = scan_escape(s, p, end, err, cp);
            } else if (percent && c == '%' && percent_escape_at(s, p, end)) {
                p = decode_percent(s, p, end, cp);
            } else {
                cp = c;
                p++;
            }
        } else {
            size_t len;
            cp = utf8::decode(s.text + p, end - p, len);
            if (cp == utf8::INVALID) throw_error(s, s.token_start, int32_t(err));
            p += len;
        }
        if (!load) continue;
        if (unit_for(cp) > b->unit()) {
            // Only percent escapes can need more room than the token's bytes announced.
            b->tail = n * b->unit();
            string::widen(node, unit_for(cp));
            b = memory::buf(node);
            if (b->size < cap * b->unit()) b = memory::grow(node, cap * b->unit());
        }
        put_unit(b, n++, cp);
    }
    if (!load) return;
    b->tail = n * b->unit();
    Cell v;
    set_series(&v, t, node);
    append_value(s, v);
}

void load_word(State& s, size_t start, size_t end, uint32_t flags, bool load) {
    if (flags & FLAG_MULTIBYTE) {
        size_t cut = find_unicode_space(s, start, end);
        if (cut < end) {
            end = cut;
            s.token_end = cut;
        }
    }
    // A colon that stopped the token (after =, and after a path element) belongs to the
    // word, except inside a path where it makes the path a set-path.
    if (end < s.end && s.text[end] == ':' && s.start_state != START_PATH) {
        uint8_t after = end + 1 < s.end ? s.text[end + 1] : 0;
        switch (byte_column(after)) {
            case COL_BLANK: case COL_LF: case COL_CONTROL: case COL_END: case COL_BLOCK_OPEN:
            case COL_BLOCK_CLOSE: case COL_PAREN_OPEN: case COL_PAREN_CLOSE: case COL_BRACE_OPEN:
            case COL_BRACE_CLOSE: case COL_DQUOTE: case COL_SEMICOLON:
                end++;
                s.token_end = end;
                flags |= FLAG_COLON;
                break;
            default:
                throw_error(s, start, TYPE_WORD);
        }
    }
    s.pos = end;
    uint32_t t = TYPE_WORD;
    size_t a = start, b = end;
    if (s.text[a] == '\'') {
        t = TYPE_LIT_WORD;
        a++;
    }
    if (flags & FLAG_COLON) {
        size_t colons = 0;
        for (size_t p = start; p < end; p++) colons += s.text[p] == ':';
        if (t == TYPE_LIT_WORD) throw_error(s, start, TYPE_LIT_WORD);
        if (colons == 1 && s.text[start] == ':') {
            t = TYPE_GET_WORD;
            a++;
        } else if (colons == 1 && s.text[end - 1] == ':') {
            t = TYPE_SET_WORD;
            b--;
        } else if (colons > 0) {
            throw_error(s, start, TYPE_WORD);
        }
    }
    if (a >= b) throw_error(s, start, int32_t(t));
    s.token_type = int32_t(t);
    intern_checked(s, a, b, flags, t, false);   // checks the bytes
    if (!load) return;
    Cell v;
    make_global_word(&v, t, reinterpret_cast<const char*>(s.text) + a, b - a);
    append_value(s, v);
}

void install_text_loaders() {
    loaders[T_STRING] = load_string;
    loaders[T_WORD] = load_word_token;
    loaders[T_ISSUE] = load_issue;
    loaders[T_REFINEMENT] = load_refinement;
    loaders[T_CHAR] = load_char;
    loaders[T_FILE] = load_file;
    loaders[T_BINARY] = load_binary;
    loaders[T_TAG] = load_tag;
    loaders[T_URL] = load_url;
    loaders[T_EMAIL] = load_email;
    loaders[T_RAW_STRING] = load_raw_string;
    loaders[T_REF] = load_ref;
}

}  // namespace zel::lexer
