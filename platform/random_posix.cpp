// Secure random bytes on Linux: getrandom(2) (see random.h).
#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace zel::platform {

bool secure_random_bytes(uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = getrandom(out + got, n - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        got += size_t(r);
    }
    return true;
}

}  // namespace zel::platform
