// Runtime and OS routines of the library.
#include "library/routines.h"

#include <cstdio>
#include <cstdlib>

#include "core/actions.h"
#include "core/memory.h"
#include "core/routines.h"
#include "library/image_codecs.h"
#include "library/zelbin_codec.h"

namespace zel::library {

namespace {

// quit-return: ends the process at once with the given status.
void quit_return(Cell* args) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(int_value(&args[0]));
}

// rejoin-reduced: the joining step of rejoin over a block already reduced. An empty block is
// the result itself; else a copy of the first value when it is a series, or its form, with
// every later value appended (each through the append action of the result's type, as
// `append result :value` would). Nothing here evaluates Zel code, and allocation never
// collects, so the cells read here stay put.
void rejoin_reduced(Cell* args) {
    Cell block = args[0];
    uint32_t node = series_node(&block);
    int32_t h = series_head(&block);
    uint32_t head = h < 0 ? 0 : uint32_t(h);
    if (head >= memory::buf(node)->length()) return;
    Cell first = memory::buf(node)->cells()[head];
    uint32_t ft = type_of(&first);
    Cell result;
    if (is_series_type(ft)) actions::get<actions::CopyFn>(ft, ACT_COPY)(&result, &first, nullptr, false, nullptr);
    else actions::form_value(&result, &first);
    for (uint32_t i = head + 1; i < memory::buf(node)->length(); i++) {
        Cell value = memory::buf(node)->cells()[i];
        actions::get<actions::InsertFn>(type_of(&result), ACT_APPEND)(&result, &value, -1, false, 1, true);
    }
    args[0] = result;
}

}  // namespace

void define_routines() {
    routines::define("quit-return", "status [integer!]", quit_return);
    routines::define("rejoin-reduced", "block [block!]", rejoin_reduced);
    define_image_codec_routines();
    define_zelbin_routines();
    define_os_routines();
}

}  // namespace zel::library
