// Shared libraries through dlopen (see shared_library.h).
#include "platform/shared_library.h"

#include <dlfcn.h>

namespace zel::platform {

void* load_library(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

void* library_symbol(void* library, const char* name) { return library ? dlsym(library, name) : nullptr; }

}  // namespace zel::platform
