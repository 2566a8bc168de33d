// Runtime and OS routines of the library.
#include "library/routines.h"

#include <cstdio>
#include <cstdlib>

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

}  // namespace

void define_routines() {
    routines::define("quit-return", "status [integer!]", quit_return);
    define_image_codec_routines();
    define_zelbin_routines();
}

}  // namespace zel::library
