// Loading the Qt module of the image layer on first use (see image_qt.h).
#include "datatypes/series/image_qt.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zel::image_qt {

namespace {

constexpr const char* MODULE_NAME = "libzel_qt_image.so";

const ZelQtImageApi* current = nullptr;
bool tried = false;

const ZelQtImageApi* open_module(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    auto entry = reinterpret_cast<const ZelQtImageApi* (*)()>(dlsym(handle, "zel_qt_image_api"));
    const ZelQtImageApi* table = entry ? entry() : nullptr;
    if (!table || table->version != ZEL_QT_IMAGE_API_VERSION) {
        dlclose(handle);
        return nullptr;
    }
    return table;   // the module stays loaded for the life of the process
}

// The directory of the running executable, with a trailing slash ("" when unknown).
std::string executable_dir() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string p(path, size_t(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

}  // namespace

const ZelQtImageApi* api() {
    if (current || tried) return current;
    tried = true;
    // The module beside the executable, then where the build wrote it, then by the loader's
    // search path; ZEL_QT_IMAGE_MODULE names it explicitly.
    if (const char* env = std::getenv("ZEL_QT_IMAGE_MODULE"); env && *env) current = open_module(env);
    if (!current) current = open_module(executable_dir() + MODULE_NAME);
#ifdef ZEL_QT_IMAGE_MODULE_PATH
    if (!current) current = open_module(ZEL_QT_IMAGE_MODULE_PATH);
#endif
    if (!current) current = open_module(MODULE_NAME);
    if (!current) {
        const char* why = dlerror();
        std::fprintf(stderr, "Cannot load the image codecs (%s): %s\n", MODULE_NAME, why ? why : "not found");
    }
    return current;
}

void use(const ZelQtImageApi* linked) {
    current = linked;
    tried = true;
}

bool loaded() { return current != nullptr; }

}  // namespace zel::image_qt
