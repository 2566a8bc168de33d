// Environment variables of the process, as UTF-8 text.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zel::platform {

// `platform/read-env-var`: the value of the variable, or nothing when it is not set (or the
// name cannot name a variable).
std::optional<std::string> read_env_var(std::string_view name);

// `platform/write-env-var`: sets the variable. False when the name is empty or holds "=" or
// a NUL byte, when the value holds a NUL byte, or when the system refuses.
bool write_env_var(std::string_view name, std::string_view value);

// `platform/write-env-var` without a value: removes the variable (removing an absent one
// succeeds). False for a name that cannot name a variable.
bool remove_env_var(std::string_view name);

// Every variable of the process as (name, value) pairs, in the environment's order.
std::vector<std::pair<std::string, std::string>> list_env_vars();

}  // namespace zel::platform
