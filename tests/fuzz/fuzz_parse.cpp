// Feeds arbitrary rules and inputs to the parse engine. The bytes are loaded as Zel source;
// the first value is the input (a string, binary or block; anything else makes a string of
// the whole text) and the second the rule block. The first byte picks /case, /part and the
// input kind. Rules holding a paren, `while` or `insert` are skipped: they may run forever as
// specified (an endless loop in a paren, `while [none]`, `any [insert "x"]`). Language errors
// are expected; crashes, hangs and sanitizer reports are not.
#include <cstddef>
#include <cstdint>
#include <cctype>
#include <string>
#include <string_view>

#include "core/symbol.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "fuzz_support.h"
#include "io/lexer.h"
#include "natives/parse.h"

using namespace zel;

namespace {

// Whether the block holds, at any depth, a paren or a word that can loop without end.
bool may_loop(const Cell* block, int depth) {
    if (depth > 64) return true;
    SeriesBuf* b = memory::buf(series_node(block));
    for (uint32_t i = 0; i < b->length(); i++) {
        const Cell* c = b->cells() + i;
        uint32_t t = type_of(c);
        if (t == TYPE_PAREN) return true;
        if (t == TYPE_WORD) {
            // keywords are recognised whatever their case
            std::string s(symbol::spelling(word_symbol(c)));
            for (char& ch : s) ch = char(std::tolower(static_cast<unsigned char>(ch)));
            if (s == "while" || s == "insert" || s == "change") return true;
        }
        if (is_any_block_type(t) && may_loop(c, depth + 1)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_runtime();
    if (size < 2) return 0;
    uint8_t mode = data[0];
    data++;
    size--;
    fuzz::run_guarded([&] {
        Cell* code = stack::push_none();
        lexer::load_utf8(code, std::string_view(reinterpret_cast<const char*>(data), size));
        SeriesBuf* b = memory::buf(series_node(code));
        if (b->length() < 2) return;
        Cell* input = stack::push_copy(b->cells());
        Cell* rules = stack::push_copy(b->cells() + 1);
        if (type_of(rules) != TYPE_BLOCK || may_loop(rules, 0)) return;
        uint32_t it = type_of(input);
        if (!(is_any_block_type(it) || is_text_type(it) || it == TYPE_BINARY) || (mode & 4))
            string::from_utf8(input, std::string_view(reinterpret_cast<const char*>(data), size));
        int64_t limit = (mode & 2) ? int64_t(series_head(input)) + (mode >> 4) : -1;
        Cell* result = stack::push_none();
        parse::process(result, input, rules, (mode & 1) ? 2 : 0, limit, nullptr);
    });
    return 0;
}
