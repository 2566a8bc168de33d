// The C++ routines the library exposes (quit-return, ...), defined before the library source
// runs.
#pragma once

namespace zel::library {
void define_routines();
// The routines that reach the operating system (os_routines.cpp).
void define_os_routines();
}
