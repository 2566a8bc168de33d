// The type tests (none?, block?, any-word? ...) and the collector's report routines.
//
// A single-type test compares the value's type id with one id. A typeset test reads the
// current value of a global typeset word at each call (so a reassigned any-block! takes
// effect at once) and tests the value's type bit in it. Neither evaluates or allocates: every
// value, unset! included, gets true or false; only a typeset word that has been unset raises
// (no-value for that word).
#include <array>
#include <cstdint>
#include <string>

#include "core/collector.h"
#include "core/memory.h"
#include "core/routines.h"
#include "core/typeset_bits.h"
#include "core/word.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"
#include "library/routines.h"

namespace zel::library {

namespace {

template <uint32_t T>
void is_type(Cell* args) {
    set_logic(&args[0], type_of(&args[0]) == T);
}

struct SingleTest {
    const char* name;
    void (*fn)(Cell*);
};

#define ZEL_SINGLE_TEST(name, type) {name, &is_type<type>}
constexpr SingleTest SINGLE_TESTS[] = {
    ZEL_SINGLE_TEST("datatype?", TYPE_DATATYPE),     ZEL_SINGLE_TEST("unset?", TYPE_UNSET),
    ZEL_SINGLE_TEST("none?", TYPE_NONE),             ZEL_SINGLE_TEST("logic?", TYPE_LOGIC),
    ZEL_SINGLE_TEST("block?", TYPE_BLOCK),           ZEL_SINGLE_TEST("paren?", TYPE_PAREN),
    ZEL_SINGLE_TEST("string?", TYPE_STRING),         ZEL_SINGLE_TEST("file?", TYPE_FILE),
    ZEL_SINGLE_TEST("url?", TYPE_URL),               ZEL_SINGLE_TEST("char?", TYPE_CHAR),
    ZEL_SINGLE_TEST("integer?", TYPE_INTEGER),       ZEL_SINGLE_TEST("float?", TYPE_FLOAT),
    ZEL_SINGLE_TEST("word?", TYPE_WORD),             ZEL_SINGLE_TEST("set-word?", TYPE_SET_WORD),
    ZEL_SINGLE_TEST("lit-word?", TYPE_LIT_WORD),     ZEL_SINGLE_TEST("get-word?", TYPE_GET_WORD),
    ZEL_SINGLE_TEST("refinement?", TYPE_REFINEMENT), ZEL_SINGLE_TEST("issue?", TYPE_ISSUE),
    ZEL_SINGLE_TEST("native?", TYPE_NATIVE),         ZEL_SINGLE_TEST("action?", TYPE_ACTION),
    ZEL_SINGLE_TEST("op?", TYPE_OP),                 ZEL_SINGLE_TEST("function?", TYPE_FUNCTION),
    ZEL_SINGLE_TEST("path?", TYPE_PATH),             ZEL_SINGLE_TEST("lit-path?", TYPE_LIT_PATH),
    ZEL_SINGLE_TEST("set-path?", TYPE_SET_PATH),     ZEL_SINGLE_TEST("get-path?", TYPE_GET_PATH),
    ZEL_SINGLE_TEST("routine?", TYPE_ROUTINE),       ZEL_SINGLE_TEST("bitset?", TYPE_BITSET),
    ZEL_SINGLE_TEST("object?", TYPE_OBJECT),         ZEL_SINGLE_TEST("typeset?", TYPE_TYPESET),
    ZEL_SINGLE_TEST("error?", TYPE_ERROR),           ZEL_SINGLE_TEST("vector?", TYPE_VECTOR),
    ZEL_SINGLE_TEST("hash?", TYPE_HASH),             ZEL_SINGLE_TEST("pair?", TYPE_PAIR),
    ZEL_SINGLE_TEST("percent?", TYPE_PERCENT),       ZEL_SINGLE_TEST("tuple?", TYPE_TUPLE),
    ZEL_SINGLE_TEST("map?", TYPE_MAP),               ZEL_SINGLE_TEST("binary?", TYPE_BINARY),
    ZEL_SINGLE_TEST("time?", TYPE_TIME),             ZEL_SINGLE_TEST("tag?", TYPE_TAG),
    ZEL_SINGLE_TEST("email?", TYPE_EMAIL),           ZEL_SINGLE_TEST("handle?", TYPE_HANDLE),
    ZEL_SINGLE_TEST("date?", TYPE_DATE),             ZEL_SINGLE_TEST("money?", TYPE_MONEY),
    ZEL_SINGLE_TEST("ref?", TYPE_REF),               ZEL_SINGLE_TEST("point2D?", TYPE_POINT2D),
    ZEL_SINGLE_TEST("point3D?", TYPE_POINT3D),       ZEL_SINGLE_TEST("image?", TYPE_IMAGE),
};
#undef ZEL_SINGLE_TEST

// The typeset tests: the routine's name, then the typeset word it reads (its name without
// the "!" ends the doc string).
constexpr const char* TYPESET_TESTS[][2] = {
    {"any-list?", "any-list!"},         {"any-block?", "any-block!"}, {"any-function?", "any-function!"},
    {"any-object?", "any-object!"},     {"any-path?", "any-path!"},   {"any-string?", "any-string!"},
    {"any-word?", "any-word!"},         {"series?", "series!"},       {"number?", "number!"},
    {"immediate?", "immediate!"},       {"scalar?", "scalar!"},       {"all-word?", "all-word!"},
    {"any-point?", "any-point!"},       {"planar?", "planar!"},
};
constexpr size_t TYPESET_TEST_COUNT = std::size(TYPESET_TESTS);

// The global typeset words, bound at definition: a word cell holds the context node and slot
// (never a buffer address), and the global context lives for the run.
std::array<Cell, TYPESET_TEST_COUNT> typeset_words;

// A value other than a typeset! in the word has no members: the test answers false.
template <size_t I>
void in_typeset(Cell* args) {
    const Cell* ts = word::get(&typeset_words[I]);
    set_logic(&args[0], type_of(ts) == TYPE_TYPESET && typeset_bits::has(ts, type_of(&args[0])));
}

template <size_t... I>
constexpr std::array<void (*)(Cell*), sizeof...(I)> typeset_fns(std::index_sequence<I...>) {
    return {&in_typeset<I>...};
}
constexpr auto TYPESET_FNS = typeset_fns(std::make_index_sequence<TYPESET_TEST_COUNT>());

// system/state/GC: whether the collector may run, and the cycles run so far. One cycle
// collects both the series buffers and the nodes, so the two counts are the same.
void gc_active_q(Cell* args) { set_logic(&args[0], collector::state.active); }
void gc_cycles(Cell* args) { set_integer(&args[0], int32_t(collector::state.cycles & 0x7FFFFFFF)); }

// A copy of a spec block made by the lexer, with copies of its doc string and type blocks,
// so that each routine owns its whole spec.
void copy_spec(Cell* out, const Cell* spec) {
    uint32_t node = memory::duplicate_series(series_node(spec));
    *out = *spec;
    set_series_node(out, node);
    for (uint32_t i = 0; i < memory::buf(node)->length(); i++) {
        uint32_t t = type_of(&memory::buf(node)->cells()[i]);
        if (t != TYPE_BLOCK && t != TYPE_STRING) continue;
        uint32_t inner = memory::duplicate_series(series_node(&memory::buf(node)->cells()[i]));
        set_series_node(&memory::buf(node)->cells()[i], inner);
    }
}

// Defines the routines of one spec: the spec is read once, each routine gets a copy, and the
// first one's arguments cache serves them all. doc(i) gives the doc string of routine i.
template <typename Doc>
void define_family(const char* spec_text, size_t count, const char* (*name)(size_t), Doc&& doc,
                   void (*const* fns)(Cell*)) {
    Cell model_spec;
    lexer::load_utf8(&model_spec, spec_text);
    collector::RootGuard keep_model_spec(&model_spec);
    Cell model;
    set_none(&model);
    collector::RootGuard keep_model(&model);
    Cell spec;
    set_none(&spec);
    collector::RootGuard keep_spec(&spec);
    for (size_t i = 0; i < count; i++) {
        copy_spec(&spec, &model_spec);
        doc(i, &spec);
        Cell routine;
        routines::define(name(i), &spec, fns[i], &routine, i == 0 ? nullptr : &model);
        if (i == 0) model = routine;
    }
}

constexpr const char* TEST_SPEC = R"("Returns true if the value is this type" value [any-type!] return: [logic!])";

}  // namespace

void define_type_tests() {
    static constexpr auto single_fns = [] {
        std::array<void (*)(Cell*), std::size(SINGLE_TESTS)> fns{};
        for (size_t i = 0; i < fns.size(); i++) fns[i] = SINGLE_TESTS[i].fn;
        return fns;
    }();
    define_family(
        TEST_SPEC, single_fns.size(), [](size_t i) { return SINGLE_TESTS[i].name; }, [](size_t, Cell*) {},
        single_fns.data());
    for (size_t i = 0; i < TYPESET_TEST_COUNT; i++) word::make_global(&typeset_words[i], TYPE_WORD, TYPESET_TESTS[i][1]);
    define_family(
        TEST_SPEC, TYPESET_TEST_COUNT, [](size_t i) { return TYPESET_TESTS[i][0]; },
        [](size_t i, Cell* spec) {
            std::string_view set = TYPESET_TESTS[i][1];
            std::string doc = "Returns true if the value is any type of " + std::string(set.substr(0, set.size() - 1));
            Cell text;
            string::from_c_buffer(&text, reinterpret_cast<const uint8_t*>(doc.data()), doc.size(),
                                  string::ENCODING_UTF8);
            memory::buf(series_node(spec))->cells()[0] = text;
        },
        TYPESET_FNS.data());
}

void define_gc_routines() {
    routines::define("gc-active?*", "return: [logic!]", gc_active_q);
    routines::define("gc-series-cycles*", "return: [integer!]", gc_cycles);
    routines::define("gc-nodes-cycles*", "return: [integer!]", gc_cycles);
}

}  // namespace zel::library
