// Shared internals of the lexer units: tables, the per-call state, the value buffer and the
// handler signatures. Not for use outside io/lexer*.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/cell.h"
#include "io/lexer.h"

namespace zel::lexer {

// ---- byte columns of the state table ----
enum Column : uint8_t {
    COL_BLANK = 0, COL_LF, COL_DIGIT, COL_ZERO, COL_BLOCK_OPEN, COL_BLOCK_CLOSE, COL_PAREN_OPEN,
    COL_PAREN_CLOSE, COL_BRACE_OPEN, COL_BRACE_CLOSE, COL_DQUOTE, COL_HASH, COL_QUOTE, COL_COLON,
    COL_X, COL_T, COL_H, COL_LOWER_E, COL_UPPER_E, COL_LOWER_HEX, COL_UPPER_HEX, COL_SLASH,
    COL_BACKSLASH, COL_LESS, COL_GREATER, COL_EQUAL, COL_PERCENT, COL_COMMA, COL_SEMICOLON,
    COL_AT, COL_DOT, COL_DOLLAR, COL_PLUS, COL_MINUS, COL_CARET, COL_CONTROL, COL_HIGH,
    COL_LETTER, COL_BAD_LEAD, COL_END,
    COLUMN_COUNT
};

// ---- flag bits of the character class entries, OR-ed over a token ----
constexpr uint32_t FLAG_BRACE_NEW_LINE = 0x00020000;  // braced string began a line
constexpr uint32_t FLAG_PERCENT = 0x00040000;
constexpr uint32_t FLAG_GREATER = 0x00080000;
constexpr uint32_t FLAG_LESS = 0x00100000;
constexpr uint32_t FLAG_SIGN = 0x00200000;
constexpr uint32_t FLAG_NUL = 0x00400000;
constexpr uint32_t FLAG_HASH = 0x00800000;
constexpr uint32_t FLAG_EXPONENT = 0x01000000;
constexpr uint32_t FLAG_SEPARATOR = 0x02000000;
constexpr uint32_t FLAG_COLON = 0x04000000;
constexpr uint32_t FLAG_COMMA = 0x08000000;
constexpr uint32_t FLAG_DOT = 0x10000000;
constexpr uint32_t FLAG_CARET = 0x20000000;
constexpr uint32_t FLAG_LEAD_2_3 = 0x40000000;
constexpr uint32_t FLAG_LEAD_4 = 0x80000000;
constexpr uint32_t FLAG_MULTIBYTE = FLAG_LEAD_2_3 | FLAG_LEAD_4;
// UTF-8 continuation bytes (0x80-0xBF): with the lead-byte flags, a token without any of
// them is plain ASCII.
constexpr uint32_t FLAG_CONTINUATION = 0x00010000;
constexpr uint32_t FLAG_NON_ASCII = FLAG_MULTIBYTE | FLAG_CONTINUATION;

// ---- states and token classes ----
// States 0-64 recognise the tokens; state 65 (the one non-final number left below the final
// states) reads the byte after a caret inside a quoted file, so that %"a^"b" is one file.
constexpr int STATE_COUNT = 66;
constexpr int FINAL_BASE = 65;        // final state = FINAL_BASE + token class
constexpr int CLASS_COUNT = 36;
constexpr int TYPE_TABLE_STATES = 104;

enum TokenClass : int {
    T_END = 1, T_ERROR, T_BLOCK_OPEN, T_BLOCK_CLOSE, T_PAREN_OPEN, T_PAREN_CLOSE, T_BRACE_OPEN,
    T_BRACE_CLOSE, T_MAP_OPEN, T_PATH, T_CONSTRUCT, T_COMMENT, T_COMMA, T_STRING, T_WORD,
    T_ISSUE, T_INTEGER, T_REFINEMENT, T_CHAR, T_FILE, T_BINARY, T_PERCENT, T_FLOAT,
    T_SPECIAL_FLOAT, T_TUPLE, T_DATE, T_PAIR, T_POINT, T_TIME, T_MONEY, T_TAG, T_URL, T_EMAIL,
    T_HEX, T_RAW_STRING, T_REF
};

// Start states for the next token.
enum StartState : uint8_t { START_TOKEN = 0, START_BRACED = 4, START_POINT = 35, START_PATH = 59 };

struct Tables {
    uint32_t char_class[256];                      // column in the low byte, flags above
    uint8_t next[STATE_COUNT * COLUMN_COUNT];      // next state by state x 40 + column
    uint8_t skip[TYPE_TABLE_STATES];               // 1 for state 0: a skipped byte
    uint8_t line[COLUMN_COUNT];                    // 1 for LF
    uint8_t type[TYPE_TABLE_STATES];               // guessed datatype by state
};
// Built by the compiler (io/lexer_tables.cpp): read-only, ready before anything runs.
extern const Tables tables;

// Whether the code point is one of the Unicode white-space characters the lexer skips.
bool is_unicode_space(uint32_t cp);
// Bytes that may appear in the numbers of a point literal.
bool is_point_byte(uint8_t b);
// The kind word or datatype of exit-states entry k (1-36) written into out.
void exit_state_value(Cell* out, int k);

// ---- marker kinds (open-series markers in the value buffer) ----
constexpr uint32_t MARKER_TYPE = 31;      // a type code no lexed value has
constexpr uint32_t KIND_POINT = TYPE_POINT2D;

// Error codes passed to throw_error besides datatype ids.
enum ErrorCode : int32_t {
    CODE_BAD_CHAR = -1,
    CODE_MALCONSTRUCT = -2,
    CODE_MISSING = -3,       // a closing bracket without its opening, or of another kind
    CODE_MISSING_END = -4,   // a series still open at the end of the input
};
constexpr size_t NO_START = SIZE_MAX;

// ---- the per-call state (lexer-state) ----
struct State {
    State* next = nullptr;       // the state of a call nested in this one
    State* parent = nullptr;
    uint32_t head = 0;           // first value-buffer cell of this call
    uint32_t mark = 0;           // first cell of the innermost open series
    uint32_t tail = 0;           // next free cell
    const uint8_t* text = nullptr;   // input start
    size_t end = 0;              // input length in bytes
    size_t pos = 0;              // current position
    size_t token_end = 0;
    int32_t line = 1;
    int32_t lines_spanned = 0;   // lines the last token spanned (preceding line breaks included)
    bool new_line = false;       // a line break came before the last token
    int32_t type_override = -1;  // datatype a string loader must give
    int32_t token_type = 0;      // guessed datatype of the last token
    uint8_t start_state = START_TOKEN;
    uint8_t prev_state = 0;
    int32_t series_type = 0;     // type of the series an error concerns
    int32_t last_type = 0;
    size_t brace_start = 0;      // opening of the braced string being read
    int32_t brace_nesting = 0;
    uint32_t brace_flags = 0;
    int32_t saved_lines = 0;
    Cell callback;               // none when no callback
    uint32_t event_mask = 0;
    Cell input;                  // the input series, or none
    Cell into;                   // the target block, or none
    bool load = false;           // values are built
    size_t cached_pos = 0;       // last byte position converted to a character index
    uint32_t cached_index = 0;
    // Implementation fields.
    bool string_input = false;   // positions are reported in characters
    uint32_t input_base = 0;     // series index of the input start
    uint32_t binary_node = 0;    // binary! input whose buffer holds the text (re-derived)
    size_t binary_offset = 0;
    size_t token_start = 0;      // start of the token being handled
    char open_at_end = 0;        // the opening of a construct the input ran out inside of
};

// The innermost running call, or nullptr.
extern State* innermost;

// ---- the value buffer ----
extern Cell* value_cells;
inline Cell* cell_at(uint32_t i) { return value_cells + i; }
// Appends a cell (unset!) carrying the new-line flag when the token began a line; returns
// its index. Raises no-memory when the buffer cannot grow.
uint32_t new_cell(State& s);
// Appends a copy of v as new_cell does.
void append_value(State& s, const Cell& v);
inline bool is_marker(const Cell* c) { return (c->header & HEADER_TYPE_MASK) == MARKER_TYPE; }
// A marker's data words: the distance back to the enclosing marker's mark, the kind with
// the comma count of a point in the high 16 bits, and the source offset of the opening.
inline uint32_t marker_back(const Cell* c) { return data_word(c, 0); }
inline uint32_t marker_kind(const Cell* c) { return data_word(c, 1) & 0xFFFF; }
inline uint32_t marker_commas(const Cell* c) { return data_word(c, 1) >> 16; }
inline uint32_t marker_start(const Cell* c) { return data_word(c, 2); }
inline void set_marker_kind(Cell* c, uint32_t kind, uint32_t commas) { set_data_word(c, 1, kind | (commas << 16)); }
inline void set_marker(Cell* c, uint32_t back, uint32_t kind, uint32_t start) {
    set_data_word(c, 0, back);
    set_marker_kind(c, kind, 0);
    set_data_word(c, 2, start);
}
// The innermost open marker's index, or -1.
int64_t innermost_marker(const State& s);
bool in_path(const State& s);

// ---- handlers ----
// A handler receives the token [start, end), its flags and the load switch; it moves the
// position itself.
using Handler = void (*)(State& s, size_t start, size_t end, uint32_t flags, bool load);
extern Handler scanners[CLASS_COUNT + 1];
extern Handler loaders[CLASS_COUNT + 1];
void install_structural_scanners();
void install_loaders();        // all value loaders (lexer_numbers.cpp)
void install_text_loaders();   // the text and word loaders (lexer_text.cpp)

// The scanning loop (lexer/scan).
void scan(State& s, bool one_value, bool prescan);
// After a path element: closes the path or steps over the next '/'.
void path_element_end(State& s);

// ---- nesting, events, errors (lexer_entry.cpp) ----
void open_series(State& s, uint32_t kind, size_t start, size_t end);
// kind -1 keeps the marker's kind; from_cleanup suppresses the close event.
void close_series(State& s, int32_t kind, size_t start, bool from_cleanup = false);
void close_all(State& s);
// Fires an event (when its bit is in the mask) and returns the callback's answer (true when
// the event is not delivered). type: datatype id, 0 none, -k exit-states entry k. value: the
// loaded value for load events. May run Zel code.
bool fire_event(State& s, uint32_t event, int32_t type, size_t start, size_t end,
                const Cell* value = nullptr);
// lexer/throw-error: start NO_START = the innermost open series' opening. Never returns.
[[noreturn]] void throw_error(State& s, size_t start, int32_t code);

// Thrown to end a call that does not load values at its first bad token.
struct ScanStop {};
// Thrown when an error callback answered false: the token is dropped and lexing goes on.
struct TokenDropped {};

// ---- loaders shared between units ----
// Loads a word from [start, end) (prefix ' or : and suffix : decide its type).
void load_word(State& s, size_t start, size_t end, uint32_t flags, bool load);
// Builds (or with load false only checks) the text of [start, end) as a string of type t:
// escapes decodes caret escapes, percent decodes %xx. Errors are raised as datatype t.
void load_text(State& s, size_t start, size_t end, uint32_t flags, uint32_t t, bool escapes,
               bool percent, bool load);
// Whether the bytes are a point-literal opening (lexer/point-ahead?), from just after '('.
bool point_ahead(const State& s, size_t from);

// The character class flags of one byte.
inline uint32_t byte_flags(uint8_t b) { return tables.char_class[b] & 0xFFFFFF00u; }
inline uint8_t byte_column(uint8_t b) { return uint8_t(tables.char_class[b]); }

}  // namespace zel::lexer
