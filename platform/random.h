// Secure random bytes from the operating system.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zel::platform {

// Fills n bytes from the system's secure source, resuming after signals. False when the
// source fails (the caller raises).
bool secure_random_bytes(uint8_t* out, size_t n);

}  // namespace zel::platform
