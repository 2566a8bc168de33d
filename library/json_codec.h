// The routine of the JSON codec: unescape, defined under the global word json-unescape before
// the library runs; the library moves it into the JSON decoder's context and unsets the word.
#pragma once

namespace zel::library {
void define_json_routines();
}
