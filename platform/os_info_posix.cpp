// OS information on Linux: uname and /etc/os-release (see os_info.h).
#include "platform/os_info.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <fstream>

namespace zel::platform {

namespace {

// PRETTY_NAME of /etc/os-release without its quotes, or empty.
std::string pretty_name() {
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        std::string v = line.substr(12);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        return v;
    }
    return std::string();
}

std::string arch_name(const std::string& machine) {
    if (machine == "x86_64") return "x86-64";
    if (machine == "aarch64" || machine == "arm64") return "ARM64";
    if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") return "x86-32";
    if (machine.rfind("arm", 0) == 0) return "ARM";
    return "Unknown";
}

}  // namespace

OsInfo os_info() {
    OsInfo info;
    info.name = "Linux";
    std::string pretty = pretty_name();
    if (!pretty.empty()) info.name += " " + pretty;
    struct utsname u;
    if (uname(&u) == 0) {
        info.arch = arch_name(u.machine);
        const char* p = u.release;
        while (info.version.size() < 3 && std::isdigit(uint8_t(*p))) {
            int n = 0;
            while (std::isdigit(uint8_t(*p)) && n < 100000) n = n * 10 + (*p++ - '0');
            info.version.push_back(n);
            if (*p != '.') break;
            p++;
        }
    } else {
        info.arch = "Unknown";
    }
    while (info.version.size() < 3) info.version.push_back(0);
    return info;
}

std::string executable_path() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

}  // namespace zel::platform
