// The C++ routines the library exposes (quit-return, ...), defined before the library source
// runs.
#pragma once

namespace zel::library {
void define_routines();
// The routines that reach the operating system (os_routines.cpp).
void define_os_routines();
// The type tests (none?, any-block? ...) and the collector's report routines (type_tests.cpp).
void define_type_tests();
void define_gc_routines();
}
