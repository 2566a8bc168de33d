// The process's current directory.
#pragma once
#include <string>
#include <string_view>

namespace zel::platform {

// `platform/get-current-dir`: the current directory as a native path in UTF-8, without a
// trailing slash (the root is "/"). Empty when the system cannot tell (the directory was
// removed, or a parent is not readable).
std::string get_current_dir();

// `platform/set-current-dir`: changes the current directory; false when the system refuses
// or the path holds a NUL byte.
bool set_current_dir(std::string_view path);

}  // namespace zel::platform
