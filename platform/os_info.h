// What the system tells about itself: the OS name, processor, kernel version, and the
// running executable's path.
#pragma once
#include <string>
#include <vector>

namespace zel::platform {

struct OsInfo {
    std::string name;            // "Linux", then PRETTY_NAME of /etc/os-release when present
    std::string arch;            // x86-64, x86-32, ARM64, ARM or Unknown
    std::vector<int> version;    // the kernel release's leading numbers (at least three)
};

// `platform/os-info`.
OsInfo os_info();

// The path of the running executable, empty when the system cannot tell.
std::string executable_path();

}  // namespace zel::platform
