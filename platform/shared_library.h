// Shared libraries loaded on first use: a service that only some scripts need (HTTP, for one)
// loads its library when first called, so that start-up does not map and relocate it and
// everything it depends on.
#pragma once

namespace zel::platform {

// Loads the library by its file name (a versioned name such as "libcurl.so.4", looked up
// where the system looks for libraries), or returns the one already loaded. nullptr when it
// cannot be found or loaded. A loaded library stays for the life of the process.
void* load_library(const char* name);

// The address of a function or variable of a loaded library; nullptr when it has none.
void* library_symbol(void* library, const char* name);

// Points fn at the library's function of that name; false (fn null) when it has none.
template <typename Fn>
bool bind_function(void* library, Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(library_symbol(library, name));
    return fn != nullptr;
}

}  // namespace zel::platform
