// The current directory on POSIX: getcwd with a growing buffer, chdir (see current_dir.h).
#include "platform/current_dir.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace zel::platform {

std::string get_current_dir() {
    std::vector<char> buffer(256);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size())) return std::string(buffer.data());
        if (errno != ERANGE || buffer.size() >= (size_t(1) << 20)) return std::string();
        buffer.resize(buffer.size() * 2);
    }
}

bool set_current_dir(std::string_view path) {
    std::string p(path);
    if (p.empty() || p.find('\0') != std::string::npos) return false;
    return chdir(p.c_str()) == 0;
}

}  // namespace zel::platform
