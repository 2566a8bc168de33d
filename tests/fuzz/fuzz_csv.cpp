// Feeds arbitrary text to the CSV decoder (load-csv, through the csv codec's decode or with a
// refinement the first byte picks) and writes the rows it accepts back with to-csv: that text
// must load to the same rows. Misaligned rows give an error value and a lone header line
// raises its error. Crashes, hangs and sanitizer reports are the faults.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_support.h"

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
    fuzz::define_once(CHECK);
    uint8_t mode;
    if (!fuzz::take_mode(data, size, mode)) return 0;
    if (fuzz::check_finds_fault("fuzz-csv-check", data, size, {int32_t(mode)})) std::abort();
    return 0;
}
