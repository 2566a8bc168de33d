// The standard streams on POSIX: write(2) on descriptors 1 and 2, isatty, TIOCGWINSZ (see
// console_io.h).
#include "platform/console_io.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace zel::platform {

namespace {

void write_all(int fd, std::string_view text) {
    const char* p = text.data();
    size_t n = text.size();
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        n -= size_t(w);
    }
}

}  // namespace

void write_stdout(std::string_view text) { write_all(STDOUT_FILENO, text); }
void write_stderr(std::string_view text) { write_all(STDERR_FILENO, text); }

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }
bool stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

int terminal_columns() {
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 0;
}

}  // namespace zel::platform
