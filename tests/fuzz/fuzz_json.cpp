// Feeds arbitrary text to the JSON decoder (the json codec's decode, that is load-json) and
// writes what it accepts back with to-json: the text written must load again, and writing
// that gives the same text (unless a number too large for a float made an infinity, which
// has no JSON form). Invalid JSON gives an error value; a bad escape or a number the lexer
// refuses raises its error. Crashes, hangs and sanitizer reports are the faults.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_support.h"

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
    fuzz::define_once(CHECK);
    if (fuzz::check_finds_fault("fuzz-json-check", data, size)) std::abort();
    return 0;
}
