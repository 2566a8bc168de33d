// Feeds arbitrary bytes to what turns an HTTP reply or a file into values: the header parser
// (lines into a map of words), and the body as lines, text or bytes. Malformed text must raise
// its error and nothing else.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/stack.h"
#include "fuzz_support.h"
#include "io/http.h"
#include "io/simple_io.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_runtime();
    uint8_t mode;
    if (!fuzz::take_mode(data, size, mode)) return 0;
    fuzz::run_guarded([&] {
        Cell* out = stack::push_none();
        if (mode % 2 == 0) {
            std::vector<std::string> lines;
            size_t start = 0;
            for (size_t i = 0; i < size; i++) {
                if (data[i] != '\n') continue;
                lines.emplace_back(reinterpret_cast<const char*>(data) + start, i + 1 - start);
                start = i + 1;
            }
            if (start < size) lines.emplace_back(reinterpret_cast<const char*>(data) + start, size - start);
            http::parse_headers(out, lines);
        } else {
            simple_io::bytes_to_value(out, data, size, (mode >> 1) % 3 == 0, (mode >> 1) % 3 == 1);
        }
    });
    return 0;
}
