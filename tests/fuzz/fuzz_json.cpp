// Feeds arbitrary text to the JSON decoder (the json codec's decode, that is load-json) and
// writes what it accepts back with to-json: the text written must load again, and writing
// that gives the same text (unless a number too large for a float made an infinity, which
// has no JSON form). Invalid JSON gives an error value; a bad escape or a number the lexer
// refuses raises its error. Crashes, hangs and sanitizer reports are the faults.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/block.h"
#include "core/interpreter.h"
#include "core/stack.h"
#include "datatypes/series/string.h"
#include "fuzz_support.h"
#include "io/lexer.h"

using namespace zel;

namespace {

// True when the check ran to its end and found the round trip broken.
constexpr std::string_view CHECK = R"(
    fuzz-json-check: func [text [string!] /local v j] [
        v: system/codecs/json/decode text
        if error? :v [return false]
        j: to-json :v
        ; an infinite number has no JSON form: it is written as its formed text
        if find j ".#" [return false]
        v: load-json j
        any [error? :v j <> to-json :v]
    ]
)";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_runtime();
    static bool defined = false;
    if (!defined) {
        defined = true;
        fuzz::run_guarded([&] {
            Cell* code = stack::push_none();
            lexer::load_utf8(code, CHECK);
            interp::eval_block(code, false);
        });
    }
    bool broken = false;
    fuzz::run_guarded([&] {
        Cell* code = stack::push_none();
        lexer::load_utf8(code, "fuzz-json-check");
        Cell* text = stack::push_none();
        string::from_utf8(text, std::string_view(reinterpret_cast<const char*>(data), size));
        block::append(series_node(code), text);
        interp::eval_block(code, false);
        if (stack::unwinding()) return;
        const Cell* r = stack::top - 1;
        broken = type_of(r) == TYPE_LOGIC && logic_value(r);
    });
    if (broken) std::abort();
    return 0;
}
