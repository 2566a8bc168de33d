// Reading files and their sizes on POSIX (see files.h).
#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zel::platform {

namespace {

// Opens path for reading; -1 when it cannot be opened, names a directory or holds a NUL.
// no_wait keeps a FIFO without a writer from blocking the open.
int open_regular(std::string_view path, struct stat* st, bool no_wait = false) {
    if (path.empty() || path.find('\0') != std::string_view::npos) return -1;
    int fd = ::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC | (no_wait ? O_NONBLOCK : 0));
    if (fd < 0) return -1;
    if (fstat(fd, st) != 0 || S_ISDIR(st->st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::optional<uint64_t> file_size(std::string_view path) {
    struct stat st;
    int fd = open_regular(path, &st, true);
    if (fd < 0) return std::nullopt;
    ::close(fd);
    return uint64_t(st.st_size);
}

InputFile::InputFile(std::string_view path) {
    struct stat st;
    fd_ = open_regular(path, &st);
    if (fd_ >= 0 && S_ISREG(st.st_mode)) size_ = uint64_t(st.st_size);
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

int64_t InputFile::read(uint8_t* into, size_t n) {
    for (;;) {
        ssize_t got = ::read(fd_, into, n);
        if (got >= 0) return int64_t(got);
        if (errno != EINTR) return -1;
    }
}

}  // namespace zel::platform
