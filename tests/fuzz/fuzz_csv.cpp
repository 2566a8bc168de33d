// Feeds arbitrary text to the CSV decoder (load-csv, through the csv codec's decode or with a
// refinement the first byte picks) and writes the rows it accepts back with to-csv: that text
// must load to the same rows. Misaligned rows give an error value and a lone header line
// raises its error. Crashes, hangs and sanitizer reports are the faults.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/block.h"
#include "core/interpreter.h"
#include "core/stack.h"
#include "datatypes/scalar/integer.h"
#include "datatypes/series/string.h"
#include "fuzz_support.h"
#include "io/lexer.h"

using namespace zel;

namespace {

// True when the check ran to its end and found the round trip broken.
constexpr std::string_view CHECK = R"(
    fuzz-csv-check: func [text [string!] mode [integer!] /local v] [
        v: switch/default mode // 6 [
            1 [load-csv/flat text]
            2 [load-csv/header text]
            3 [load-csv/as-records text]
            4 [load-csv/trim/with text ";"]
            5 [load-csv/quote text #"'"]
        ][system/codecs/csv/decode text]
        if any [mode // 6 <> 0 error? :v] [return false]
        v <> load-csv to-csv v
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
    uint8_t mode;
    if (!fuzz::take_mode(data, size, mode)) return 0;
    bool broken = false;
    fuzz::run_guarded([&] {
        Cell* code = stack::push_none();
        lexer::load_utf8(code, "fuzz-csv-check");
        Cell* text = stack::push_none();
        string::from_utf8(text, std::string_view(reinterpret_cast<const char*>(data), size));
        block::append(series_node(code), text);
        Cell* m = stack::push_none();
        integer::write_cell(m, int32_t(mode));
        block::append(series_node(code), m);
        interp::eval_block(code, false);
        if (stack::unwinding()) return;
        const Cell* r = stack::top - 1;
        broken = type_of(r) == TYPE_LOGIC && logic_value(r);
    });
    if (broken) std::abort();
    return 0;
}
