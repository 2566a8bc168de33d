// The lexer's tables: the character classes, the state table with its skip, line and type
// tables, the Unicode white-space set, the point-number bytes, the float syntax automaton and
// the exit-states names. The compiler builds them from the constant descriptions below, so
// that start-up finds them finished in the executable's read-only data (a fault in a
// description stops the build).
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string_view>

#include "core/symbol.h"
#include "core/word.h"
#include "io/lexer_internal.h"

namespace zel::lexer {

namespace {

// ---- character classes ----

constexpr void set_column(Tables& tables, uint8_t first, uint8_t last, Column c) {
    for (int b = first; b <= last; b++) tables.char_class[b] = (tables.char_class[b] & ~0xFFu) | c;
}
constexpr void set_column(Tables& tables, const char* bytes, Column c) {
    for (; *bytes; bytes++) set_column(tables, uint8_t(*bytes), uint8_t(*bytes), c);
}
constexpr void add_flag(Tables& tables, const char* bytes, uint32_t flag) {
    for (; *bytes; bytes++) tables.char_class[uint8_t(*bytes)] |= flag;
}

constexpr void build_char_classes(Tables& tables) {
    // Every byte starts as a word byte; the specific columns follow.
    set_column(tables, 0x00, 0xFF, COL_LETTER);
    set_column(tables, 0x01, 0x1F, COL_CONTROL);
    set_column(tables, "\t\r ", COL_BLANK);
    set_column(tables, "\n", COL_LF);
    set_column(tables, '1', '9', COL_DIGIT);
    set_column(tables, "0", COL_ZERO);
    set_column(tables, "[", COL_BLOCK_OPEN);
    set_column(tables, "]", COL_BLOCK_CLOSE);
    set_column(tables, "(", COL_PAREN_OPEN);
    set_column(tables, ")", COL_PAREN_CLOSE);
    set_column(tables, "{", COL_BRACE_OPEN);
    set_column(tables, "}", COL_BRACE_CLOSE);
    set_column(tables, "\"", COL_DQUOTE);
    set_column(tables, "#", COL_HASH);
    set_column(tables, "'", COL_QUOTE);
    set_column(tables, ":", COL_COLON);
    set_column(tables, "xX", COL_X);
    set_column(tables, "T", COL_T);
    set_column(tables, "h", COL_H);
    set_column(tables, "e", COL_LOWER_E);
    set_column(tables, "E", COL_UPPER_E);
    set_column(tables, "abcdf", COL_LOWER_HEX);
    set_column(tables, "ABCDF", COL_UPPER_HEX);
    set_column(tables, "/", COL_SLASH);
    set_column(tables, "\\", COL_BACKSLASH);
    set_column(tables, "<", COL_LESS);
    set_column(tables, ">", COL_GREATER);
    set_column(tables, "=", COL_EQUAL);
    set_column(tables, "%", COL_PERCENT);
    set_column(tables, ",", COL_COMMA);
    set_column(tables, ";", COL_SEMICOLON);
    set_column(tables, "@", COL_AT);
    set_column(tables, ".", COL_DOT);
    set_column(tables, "$", COL_DOLLAR);
    set_column(tables, "+", COL_PLUS);
    set_column(tables, "-", COL_MINUS);
    set_column(tables, "^", COL_CARET);
    set_column(tables, 0x7F, 0xBF, COL_HIGH);
    set_column(tables, 0xC0, 0xC1, COL_BAD_LEAD);
    set_column(tables, 0xF8, 0xFF, COL_BAD_LEAD);
    set_column(tables, 0x00, 0x00, COL_END);

    add_flag(tables, "%", FLAG_PERCENT);
    add_flag(tables, ">", FLAG_GREATER);
    add_flag(tables, "<", FLAG_LESS);
    add_flag(tables, "+-", FLAG_SIGN);
    tables.char_class[0] |= FLAG_NUL;
    add_flag(tables, "#", FLAG_HASH);
    add_flag(tables, "eE", FLAG_EXPONENT);
    add_flag(tables, "'", FLAG_SEPARATOR);
    add_flag(tables, ":", FLAG_COLON);
    add_flag(tables, ",", FLAG_COMMA);
    add_flag(tables, ".", FLAG_DOT);
    add_flag(tables, "^", FLAG_CARET);
    for (int b = 0xC2; b <= 0xEF; b++) tables.char_class[b] |= FLAG_LEAD_2_3;
    for (int b = 0xF0; b <= 0xF7; b++) tables.char_class[b] |= FLAG_LEAD_4;
    for (int b = 0x80; b <= 0xBF; b++) tables.char_class[b] |= FLAG_CONTINUATION;
}

// ---- the state table ----
//
// One row per state: the default next state, then entries "columns -> target" separated by
// " | ". A target is a state number or "cN" for the final state of token class N. Column
// names: blank LF 1-9 0 [ ] ( ) { } dq # ' : x T h e E a-f A-F / bs < > = % , ; @ . $ + - ^
// control high letter bad end (dq is the double quote, bs the backslash, x stands for x and
// X, a-f for a-d and f, A-F for A-D and F, bad for the bad lead bytes).
struct Row {
    const char* fallback;
    const char* entries;
};

constexpr Row rows[STATE_COUNT] = {
    /* 0 */ {"52", "blank LF control -> 0 | 1-9 0 -> 23 | [ -> c3 | ] -> c4 | ( -> c5 | ) -> c6 | "
                   "{ -> c7 | } bs high bad -> c2 | dq -> 2 | # -> 16 | ' : -> 51 | E A-F -> 40 | "
                   "/ -> 13 | < -> 43 | = -> 58 | % -> 6 | , -> c13 | ; -> 1 | @ -> 57 | . -> 49 | "
                   "$ -> 36 | + - -> 47 | end -> c1"},
    /* 1 */ {"1", "LF end -> c12 | bad -> c2"},
    /* 2 */ {"2", "LF bad end -> c2 | dq -> c14 | ^ -> 3"},
    /* 3 */ {"2", "bad end -> c2"},
    /* 4 */ {"4", "{ -> c7 | } -> c8 | ^ -> 5 | bad end -> c2"},
    /* 5 */ {"4", "bad end -> c2"},
    /* 6 */ {"7", "blank LF [ ] ( ) } ; @ control end -> c15 | { -> 10 | dq -> 8 | : -> 54 | "
                  "% -> 9 | bad -> c2"},
    /* 7 */ {"7", "blank LF [ ] ( ) { } : ; @ end -> c20 | dq bad -> c2"},
    /* 8 */ {"8", "LF bad end -> c2 | dq -> c20 | ^ -> 65"},
    /* 9 */ {"7", "blank LF [ ] ( ) } dq bs ; control end -> c15 | { -> 10 | % -> 9 | bad -> c2"},
    /* 10 */ {"10", "} -> 11 | bad end -> c2"},
    /* 11 */ {"10", "} -> 11 | % -> 12 | bad end -> c2"},
    /* 12 */ {"c2", "blank LF [ ] ( ) { dq < ; control end -> c35 | % -> 12"},
    /* 13 */ {"14", "blank LF [ ] ( ) { } dq # ; @ control end -> c15 | : -> 53 | / -> 15 | "
                    ", bad -> c2"},
    /* 14 */ {"14", "blank LF [ ] ( ) { } dq / ; @ control end -> c18 | : , bad -> c2"},
    /* 15 */ {"52", "blank LF [ ] ( ) { } dq # ; @ control end -> c15 | / -> 15 | % , $ bad -> c2"},
    /* 16 */ {"22", "blank LF ] ) } : < > , bad -> c2 | [ -> c9 | ( -> 21 | { -> 17 | dq -> 19 | "
                    "; @ control end -> c16"},
    /* 17 */ {"c2", "blank LF 1-9 0 x T h e E a-f A-F / = + letter -> 17 | } -> c21 | ; -> 18"},
    /* 18 */ {"18", "LF -> 17 | bad end -> c2"},
    /* 19 */ {"19", "dq -> c19 | ^ -> 20 | bad end -> c2"},
    /* 20 */ {"19", "bad end -> c2"},
    /* 21 */ {"21", ") -> c11 | bad end -> c2"},
    /* 22 */ {"22", "blank LF [ ] ( ) { } dq ; @ control end -> c16 | : / bad -> c2"},
    /* 23 */ {"c17", "1-9 0 ' -> 23 | # -> 16 | : -> 31 | x -> 33 | T / - -> 30 | h -> 42 | "
                     "e -> 26 | E -> 27 | a-f bs > = $ + ^ high letter bad -> c2 | A-F -> 39 | "
                     "% -> c22 | @ -> 56 | . -> 24"},
    /* 24 */ {"c2", "blank LF [ ] ( ) { } dq / < , ; control end -> c23 | 1-9 0 ' -> 25 | "
                    "# -> 28 | x -> 33 | e E -> 26 | % -> c22"},
    /* 25 */ {"c23", "1-9 0 ' -> 25 | # T h a-f A-F bs > = $ + - ^ high letter bad -> c2 | "
                     "x -> 33 | e E -> 26 | % -> c22 | @ -> 56 | . -> 29"},
    /* 26 */ {"c2", "blank LF [ ] ( ) { } dq : / < , ; control end -> c23 | 1-9 0 + - -> 26 | "
                    "@ -> 56"},
    /* 27 */ {"c23", "1-9 0 -> 27 | # ' x T e a-f bs > = ; $ ^ high letter bad -> c2 | h -> 42 | "
                     "E A-F -> 40 | % -> c22 | @ -> 56 | . -> 29 | + - -> 26"},
    /* 28 */ {"c24", "1-9 -> c23 | # ' : % @ $ ^ bad -> c2 | "
                     "x T h e E a-f A-F > = . + - high letter -> 28"},
    /* 29 */ {"c2", "blank LF [ ] ( ) { } dq : / < ; control end -> c25 | 1-9 0 . -> 29"},
    /* 30 */ {"30", "blank LF [ ] ( ) { } dq < ; $ control end -> c26 | % , @ ^ high bad -> c2"},
    /* 31 */ {"c2", "1-9 0 -> 32"},
    /* 32 */ {"c2", "blank LF [ ] ( ) { } dq / < ; control end -> c29 | 1-9 0 : . -> 32"},
    /* 33 */ {"c2", "1-9 0 + - -> 34 | @ -> 56"},
    /* 34 */ {"c2", "blank LF [ ] ( ) { } dq : / < ; control end -> c27 | 1-9 0 e E . -> 34 | "
                    "@ -> 56"},
    /* 35 */ {"c2", "blank 1-9 0 ] # e E a-f A-F , . + - letter -> 35 | ) -> c28"},
    /* 36 */ {"c2", "1-9 0 -> 37"},
    /* 37 */ {"c2", "blank LF [ ] ( ) { } dq # : / < ; control end -> c30 | 1-9 0 ' -> 37 | "
                    ". -> 38"},
    /* 38 */ {"c2", "blank LF [ ] ( ) { } dq # : / < ; control end -> c30 | 1-9 0 ' -> 38"},
    /* 39 */ {"c2", "1-9 0 E A-F -> 39 | h -> 41 | @ -> 56"},
    /* 40 */ {"c15", "1-9 0 E A-F -> 40 | ' x T e a-f < > = . + - ^ high letter -> 52 | "
                     ": -> 53 | h -> 41 | / -> c10 | % , bad -> c2 | @ -> 56 | $ -> 37"},
    /* 41 */ {"52", "blank LF [ ] ( ) { } dq bs ; control end -> c34 | # % , bad -> c2 | "
                    ": -> 53 | / -> c10 | @ -> 56 | $ -> 37"},
    /* 42 */ {"c2", "blank LF [ ] ( ) { } dq bs < ; control end -> c34 | / -> c10 | @ -> 56 | "
                    "$ -> 37"},
    /* 43 */ {"44", "blank LF [ ] ( ) { } dq ; control end -> c15 | ' -> 46 | : -> 53 | "
                    "< -> 43 | > = - -> 52 | bad -> c2"},
    /* 44 */ {"44", "dq -> 45 | ' -> 46 | > -> c31 | bad end -> c2"},
    /* 45 */ {"45", "dq -> 44 | bad end -> c2"},
    /* 46 */ {"46", "' -> 44 | bad end -> c2"},
    /* 47 */ {"52", "blank LF [ ] ( ) { } dq # bs ; control end -> c15 | 1-9 0 -> 23 | "
                    "' % ^ bad -> c2 | / -> c10 | . -> 49 | $ -> 37"},
    /* 48 */ {"52", "blank LF [ ] ( ) { } dq # bs ; control end -> c15 | ' % $ ^ bad -> c2 | "
                    "/ -> c10"},
    /* 49 */ {"52", "blank LF [ ] ( ) { } dq # bs ; control end -> c15 | 1-9 0 + - -> 50 | "
                    ": -> 53 | / -> c10 | % , $ bad -> c2 | @ -> 56"},
    /* 50 */ {"c2", "blank LF [ ] ( ) { } dq : / < control end -> c23 | 1-9 0 e E + - -> 50 | "
                    "x -> 33 | % -> c22 | @ -> 56"},
    /* 51 */ {"c2", "x T h e E a-f A-F > . ^ high letter -> 52 | / -> 13 | < -> 43 | = -> 58 | "
                    "% -> 54 | + - -> 48"},
    /* 52 */ {"52", "blank LF [ ] ( ) { } dq # bs < ; control end -> c15 | : -> 53 | / -> c10 | "
                    "% , bad -> c2 | @ -> 56 | $ -> 36"},
    /* 53 */ {"55", "blank LF [ ] ( ) { } dq bs ; control end -> c15 | < bad -> c2"},
    /* 54 */ {"c2", "blank LF [ ] ( ) { } bs ; control end -> c15 | % -> 54"},
    /* 55 */ {"55", "blank LF [ ] ( ) { } dq bs < ; control end -> c32 | > ^ bad -> c2"},
    /* 56 */ {"c33", "1-9 0 x T h e E a-f A-F % . + - high letter -> 56 | "
                     "# ' : > = , @ $ ^ bad -> c2"},
    /* 57 */ {"57", "blank LF [ ] ( ) { } dq < ; control end -> c36 | "
                    "# ' bs > = , @ $ ^ bad -> c2"},
    /* 58 */ {"52", "blank LF [ ] ( ) { } dq : bs ; control end -> c15 | # % , @ $ bad -> c2 | "
                    "/ -> c10"},
    /* 59 */ {"c2", "1-9 0 -> 60 | ( -> c5 | ) -> c6 | dq -> 2 | # -> 63 | ' : -> 61 | "
                    "x T h e E a-f A-F > = . high letter -> 62 | < -> 43 | @ -> 57 | $ -> 36 | "
                    "+ - -> 64"},
    /* 60 */ {"c2", "blank LF [ ] ( ) { } dq : / < ; control end -> c17 | 1-9 0 ' -> 60 | "
                    "x -> 33 | e E -> 26 | % -> c22 | @ -> 56 | . -> 24"},
    /* 61 */ {"c2", "x T h e E a-f A-F < > = . + - high letter -> 62"},
    /* 62 */ {"62", "blank LF [ ] ( ) { } dq : / bs ; control end -> c15 | # % , bad -> c2 | "
                    "@ -> 56 | $ -> 36"},
    /* 63 */ {"22", "blank LF ] ( ) { } : / < > = , ; @ control bad end -> c2 | [ -> 21 | "
                    "dq -> 19"},
    /* 64 */ {"c15", "1-9 0 -> 60 | # ' < % , ^ bad -> c2 | "
                     "x T h e E a-f A-F > = . high letter -> 62 | @ -> 56 | $ -> 36 | + - -> 64"},
    // The byte after a caret inside a quoted file (%"a^"b" is one file).
    /* 65 */ {"8", "LF bad end -> c2"},
};

constexpr const char* column_names[COLUMN_COUNT] = {
    "blank", "LF", "1-9", "0", "[", "]", "(", ")", "{", "}", "dq", "#", "'", ":",
    "x", "T", "h", "e", "E", "a-f", "A-F", "/", "bs", "<", ">", "=", "%", ",", ";",
    "@", ".", "$", "+", "-", "^", "control", "high", "letter", "bad", "end",
};

[[noreturn]] void table_fault(const char* what, std::string_view text) {
    // The descriptions are constant data and the compiler reads them: reaching this call
    // while it does so stops the build.
    std::fprintf(stderr, "lexer tables: %s in \"%.*s\"\n", what, int(text.size()), text.data());
    std::abort();
}

constexpr uint8_t parse_target(std::string_view t) {
    bool final = !t.empty() && t[0] == 'c';
    if (final) t.remove_prefix(1);
    int n = 0;
    if (t.empty()) table_fault("empty target", t);
    for (char ch : t) {
        if (ch < '0' || ch > '9') table_fault("bad target", t);
        n = n * 10 + (ch - '0');
    }
    if (final) {
        if (n < 1 || n > CLASS_COUNT) table_fault("bad class", t);
        return uint8_t(FINAL_BASE + n);
    }
    if (n >= STATE_COUNT) table_fault("bad state", t);
    return uint8_t(n);
}

constexpr int column_of(std::string_view name) {
    for (int c = 0; c < COLUMN_COUNT; c++)
        if (name == column_names[c]) return c;
    table_fault("unknown column", name);
}

constexpr void build_state_table(Tables& tables) {
    for (int s = 0; s < STATE_COUNT; s++) {
        uint8_t* row = tables.next + s * COLUMN_COUNT;
        const uint8_t fallback = parse_target(rows[s].fallback);
        for (int c = 0; c < COLUMN_COUNT; c++) row[c] = fallback;
        std::string_view rest = rows[s].entries;
        while (!rest.empty()) {
            size_t bar = rest.find(" | ");
            std::string_view entry = rest.substr(0, bar);
            rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 3);
            size_t arrow = entry.rfind(" -> ");
            if (arrow == std::string_view::npos) table_fault("missing arrow", entry);
            uint8_t target = parse_target(entry.substr(arrow + 4));
            std::string_view cols = entry.substr(0, arrow);
            while (!cols.empty()) {
                size_t sp = cols.find(' ');
                std::string_view name = cols.substr(0, sp);
                cols = sp == std::string_view::npos ? std::string_view() : cols.substr(sp + 1);
                if (!name.empty()) row[column_of(name)] = target;
            }
        }
    }
}

// Guessed datatype by state: the non-final states give the type an error in that state
// reports; the final states give their token class's type.
constexpr void build_type_table(Tables& tables) {
    auto set = [&tables](std::initializer_list<int> states, uint32_t t) {
        for (int s : states) tables.type[s] = uint8_t(t);
    };
    auto range = [&tables](int first, int last, uint32_t t) {
        for (int s = first; s <= last; s++) tables.type[s] = uint8_t(t);
    };
    range(2, 5, TYPE_STRING);
    range(10, 12, TYPE_STRING);
    range(6, 9, TYPE_FILE);
    set({65}, TYPE_FILE);
    set({13, 15, 41, 47, 48, 49, 51, 52, 54, 58, 61, 62, 64}, TYPE_WORD);
    set({14}, TYPE_REFINEMENT);
    set({16, 22, 63}, TYPE_ISSUE);
    set({17}, TYPE_BINARY);
    set({19, 20}, TYPE_CHAR);
    set({23, 40, 42, 60}, TYPE_INTEGER);
    range(24, 28, TYPE_FLOAT);
    set({50}, TYPE_FLOAT);
    set({29}, TYPE_TUPLE);
    set({30}, TYPE_DATE);
    set({31, 32}, TYPE_TIME);
    set({33, 34}, TYPE_PAIR);
    set({35}, TYPE_POINT2D);
    range(36, 38, TYPE_MONEY);
    range(43, 46, TYPE_TAG);
    set({53}, TYPE_SET_WORD);
    set({55}, TYPE_URL);
    set({56}, TYPE_EMAIL);
    set({57}, TYPE_REF);
    set({59}, TYPE_PATH);

    constexpr uint8_t class_types[CLASS_COUNT + 1] = {
        0,
        0, TYPE_ERROR, 0, 0, 0, 0, 0, TYPE_STRING, 0, 0, 0, 0, 0,           // 1-13
        TYPE_STRING, TYPE_WORD, TYPE_ISSUE, TYPE_INTEGER, TYPE_REFINEMENT,  // 14-18
        TYPE_CHAR, TYPE_FILE, TYPE_BINARY, TYPE_PERCENT, TYPE_FLOAT,         // 19-23
        TYPE_FLOAT, TYPE_TUPLE, TYPE_DATE, TYPE_PAIR, TYPE_POINT2D,          // 24-28
        TYPE_TIME, TYPE_MONEY, TYPE_TAG, TYPE_URL, TYPE_EMAIL,               // 29-33
        TYPE_INTEGER, TYPE_STRING, TYPE_REF,                                 // 34-36
    };
    for (int k = 1; k <= CLASS_COUNT; k++) tables.type[FINAL_BASE + k] = class_types[k];

    tables.skip[0] = 1;
    tables.line[COL_LF] = 1;
}

// ---- Unicode white space (lexer/make-space-set) ----
// A bit per code point, most significant bit first within each byte.
constexpr size_t SPACE_SET_BYTES = 0x2062;
struct SpaceSet {
    uint8_t bits[SPACE_SET_BYTES];
};

constexpr SpaceSet make_space_set() {
    SpaceSet set{};
    constexpr uint32_t spaces[] = {0x0085, 0x00A0, 0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
                                      0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A,
                                      0x2028, 0x2029, 0x202F, 0x205F, 0x3000, 0x180E, 0x200B};
    for (uint32_t c : spaces) set.bits[c >> 3] |= uint8_t(0x80u >> (c & 7));
    return set;
}
constexpr SpaceSet space_set = make_space_set();

// ---- exit-states: what a callback receives for a token without a datatype ----
// Words for the kinds without a datatype, datatype ids otherwise.
struct ExitState {
    const char* word;
    uint32_t type;
};
const ExitState exit_states[CLASS_COUNT + 1] = {
    {nullptr, 0},
    {"eof", 0}, {nullptr, TYPE_ERROR}, {nullptr, TYPE_BLOCK}, {nullptr, TYPE_BLOCK},
    {nullptr, TYPE_PAREN}, {nullptr, TYPE_PAREN}, {nullptr, TYPE_STRING}, {nullptr, TYPE_STRING},
    {nullptr, TYPE_MAP}, {nullptr, TYPE_PATH}, {nullptr, TYPE_DATATYPE}, {"comment", 0},
    {"comma", 0}, {nullptr, TYPE_STRING}, {nullptr, TYPE_WORD}, {nullptr, TYPE_ISSUE},
    {nullptr, TYPE_INTEGER}, {nullptr, TYPE_REFINEMENT}, {nullptr, TYPE_CHAR},
    {nullptr, TYPE_FILE}, {nullptr, TYPE_BINARY}, {nullptr, TYPE_PERCENT}, {nullptr, TYPE_FLOAT},
    {nullptr, TYPE_FLOAT}, {nullptr, TYPE_TUPLE}, {nullptr, TYPE_DATE}, {nullptr, TYPE_PAIR},
    {nullptr, TYPE_POINT2D}, {nullptr, TYPE_TIME}, {nullptr, TYPE_MONEY}, {nullptr, TYPE_TAG},
    {nullptr, TYPE_URL}, {nullptr, TYPE_EMAIL}, {"hex", 0}, {"rawstring", 0}, {nullptr, TYPE_REF},
};

constexpr Tables make_tables() {
    Tables t{};
    build_char_classes(t);
    build_state_table(t);
    build_type_table(t);
    return t;
}

}  // namespace

constexpr Tables tables = make_tables();

bool is_unicode_space(uint32_t cp) {
    if ((cp >> 3) >= SPACE_SET_BYTES) return false;
    return (space_set.bits[cp >> 3] & (0x80u >> (cp & 7))) != 0;
}

bool is_point_byte(uint8_t b) {
    switch (b) {
        case '\t': case ' ': case '#': case '+': case '-': case '.':
        case 'A': case 'E': case 'F': case 'I': case 'N':
        case 'a': case 'e': case 'f': case 'i': case 'n':
            return true;
        default:
            return b >= '0' && b <= '9';
    }
}

void exit_state_value(Cell* out, int k) {
    if (k < 1 || k > CLASS_COUNT) {
        set_none(out);
        return;
    }
    const ExitState& e = exit_states[k];
    if (e.word) word::make_global(out, TYPE_WORD, symbol::intern(e.word));
    else set_datatype(out, e.type);
}

// ---- float syntax (lexer/float-syntax?) ----

bool is_float_syntax(const uint8_t* text, size_t len) {
    enum { OTHER, SIGN, DIGIT, EXP, DOT, SEP, END };
    enum { ACCEPT = 9, REJECT = 10 };
    static const uint8_t automaton[9][7] = {
        //  other sign digit e/E  .   '  end
        {10, 0, 1, 10, 4, 10, 10},   // 0 start
        {10, 10, 1, 6, 5, 2, 9},     // 1 integer digits
        {10, 10, 1, 10, 10, 10, 9},  // 2 after '
        {10, 10, 3, 6, 10, 4, 9},    // 3 fraction digits
        {10, 10, 3, 10, 10, 10, 9},  // 4 after . or ' in the fraction
        {10, 10, 3, 10, 10, 10, 9},  // 5 after digits and .
        {10, 7, 8, 10, 10, 10, 10},  // 6 after e
        {10, 10, 8, 10, 10, 10, 10}, // 7 after the exponent sign
        {10, 10, 8, 10, 10, 10, 9},  // 8 exponent digits
    };
    if (len > 312) return false;
    int state = 0;
    for (size_t i = 0; i <= len; i++) {
        int input;
        if (i == len) {
            input = END;
        } else {
            uint8_t b = text[i];
            if (b >= '0' && b <= '9') input = DIGIT;
            else if (b == '+' || b == '-') input = SIGN;
            else if (b == 'e' || b == 'E') input = EXP;
            else if (b == '.') input = DOT;
            else if (b == '\'') input = SEP;
            else input = OTHER;
        }
        state = automaton[state][input];
        if (state == ACCEPT) return true;
        if (state == REJECT) return false;
    }
    return false;
}

}  // namespace zel::lexer
