// The Zelbin codec's routines, defined under the global words zelbin-encode* and
// zelbin-decode before the library runs; the library moves them into system/codecs/zelbin
// and unsets the words.
#pragma once

namespace zel::library {
void define_zelbin_routines();
}
