// Environment variables on POSIX: getenv, setenv, unsetenv and environ (see environment.h).
#include "platform/environment.h"

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace zel::platform {

namespace {

bool valid_name(std::string_view name) {
    return !name.empty() && name.find('=') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

}  // namespace

std::optional<std::string> read_env_var(std::string_view name) {
    if (!valid_name(name)) return std::nullopt;
    const char* v = std::getenv(std::string(name).c_str());
    if (!v) return std::nullopt;
    return std::string(v);
}

bool write_env_var(std::string_view name, std::string_view value) {
    if (!valid_name(name) || value.find('\0') != std::string_view::npos) return false;
    return setenv(std::string(name).c_str(), std::string(value).c_str(), 1) == 0;
}

bool remove_env_var(std::string_view name) {
    if (!valid_name(name)) return false;
    return unsetenv(std::string(name).c_str()) == 0;
}

std::vector<std::pair<std::string, std::string>> list_env_vars() {
    std::vector<std::pair<std::string, std::string>> out;
    for (char** e = environ; e && *e; e++) {
        const char* entry = *e;
        const char* eq = std::strchr(entry, '=');
        if (!eq) {
            out.emplace_back(entry, "");
            continue;
        }
        out.emplace_back(std::string(entry, size_t(eq - entry)), std::string(eq + 1));
    }
    return out;
}

}  // namespace zel::platform
