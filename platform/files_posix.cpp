// Files and directories on POSIX (see files.h).
#include "platform/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

namespace zel::platform {

namespace {

// A path the system can take: not empty and without NUL bytes.
bool usable(std::string_view path) { return !path.empty() && path.find('\0') == std::string_view::npos; }

// Opens path for reading; -1 when it cannot be opened, names a directory or holds a NUL.
// no_wait keeps a FIFO without a writer from blocking the open.
int open_regular(std::string_view path, struct stat* st, bool no_wait = false) {
    if (!usable(path)) return -1;
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

std::optional<PathInfo> path_info(std::string_view path) {
    if (!usable(path)) return std::nullopt;
    struct stat st;
    if (::stat(std::string(path).c_str(), &st) != 0) return std::nullopt;
    PathInfo info;
    info.is_dir = S_ISDIR(st.st_mode);
    info.size = uint64_t(st.st_size);
    info.modified_seconds = int64_t(st.st_mtim.tv_sec);
    info.modified_nanos = int32_t(st.st_mtim.tv_nsec);
    return info;
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

namespace {

// Reads [offset, offset + n) with pread until it is all in or the file ends; the count
// read, -1 on a read error.
int64_t pread_fully(int fd, uint8_t* into, size_t n, uint64_t offset) {
    size_t done = 0;
    while (done < n) {
        // Reads of at most 1 GiB: the system caps a single read below 2 GiB anyway.
        size_t want = std::min<size_t>(n - done, size_t(1) << 30);
        ssize_t got = ::pread(fd, into + done, want, off_t(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += size_t(got);
    }
    return int64_t(done);
}

// A large read is cut into a few slices read at once by threads of their own: most of its
// time goes to the system clearing the fresh pages of the destination on first touch, and
// that work spreads over the processors. Below this size one read is as fast.
constexpr size_t PARALLEL_READ_MIN = size_t(32) << 20;
constexpr unsigned PARALLEL_READ_THREADS = 4;

}  // namespace

int64_t InputFile::read_fully(uint8_t* into, size_t n) {
    // Only a large read of a regular file asks how many processors there are.
    off_t at = size_ > 0 && n >= PARALLEL_READ_MIN ? lseek(fd_, 0, SEEK_CUR) : off_t(-1);
    unsigned threads = at < 0 ? 1 : std::min(PARALLEL_READ_THREADS, std::max(1u, std::thread::hardware_concurrency()));
    if (threads < 2) {
        size_t done = 0;
        while (done < n) {
            // Reads of at most 1 GiB: the system caps a single read below 2 GiB anyway.
            size_t want = std::min<size_t>(n - done, size_t(1) << 30);
            int64_t got = read(into + done, want);
            if (got < 0) return -1;
            if (got == 0) break;
            done += size_t(got);
        }
        return int64_t(done);
    }
    // Slices of whole 2 MiB steps, so that no huge page of the destination is shared.
    size_t step = size_t(2) << 20;
    size_t slice = (n / threads + step - 1) / step * step;
    auto bounds = [&](unsigned i) {
        size_t from = std::min(n, i * slice);
        return std::pair<size_t, size_t>(from, std::min(n, from + slice));
    };
    std::vector<int64_t> got(threads, 0);
    auto read_slice = [&](unsigned i) {
        auto [from, to] = bounds(i);
        got[i] = pread_fully(fd_, into + from, to - from, uint64_t(at) + from);
    };
    std::vector<std::thread> workers;
    for (unsigned i = 1; i < threads; i++) workers.emplace_back(read_slice, i);
    read_slice(0);
    for (std::thread& w : workers) w.join();
    // The bytes count up to the first slice that came short (the file ended there).
    size_t done = 0;
    for (unsigned i = 0; i < threads; i++) {
        if (got[i] < 0) return -1;
        done += size_t(got[i]);
        auto [from, to] = bounds(i);
        if (size_t(got[i]) < to - from) break;
    }
    lseek(fd_, at + off_t(done), SEEK_SET);
    return int64_t(done);
}

bool InputFile::seek(uint64_t offset) {
    return offset <= uint64_t(INT64_MAX) && lseek(fd_, off_t(offset), SEEK_SET) >= 0;
}

OutputFile::OutputFile(std::string_view path, Mode mode) {
    if (!usable(path)) return;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (mode == Mode::TRUNCATE) flags |= O_TRUNC;
    if (mode == Mode::APPEND) flags |= O_APPEND;
    fd_ = ::open(std::string(path).c_str(), flags, 0666);
    if (fd_ < 0) return;
    struct stat st;
    if (fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
    }
}

OutputFile OutputFile::standard_output() {
    OutputFile out;
    out.fd_ = STDOUT_FILENO;
    out.owned_ = false;
    return out;
}

OutputFile::~OutputFile() { close(); }

bool OutputFile::seek(uint64_t offset) {
    return fd_ >= 0 && offset <= uint64_t(INT64_MAX) && lseek(fd_, off_t(offset), SEEK_SET) >= 0;
}

bool OutputFile::write_all(const void* data, size_t n) {
    if (fd_ < 0) return false;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = ::write(fd_, p, std::min<size_t>(n, size_t(1) << 30));
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool OutputFile::close() {
    if (fd_ < 0) return true;
    int fd = fd_;
    fd_ = -1;
    if (!owned_) return true;
    return ::close(fd) == 0 || errno == EINTR;
}

bool delete_file(std::string_view path) {
    if (!usable(path)) return false;
    std::string p(path);
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    return ::unlink(p.c_str()) == 0;
}

bool delete_dir(std::string_view path) {
    return usable(path) && ::rmdir(std::string(path).c_str()) == 0;
}

bool rename_path(std::string_view from, std::string_view to) {
    return usable(from) && usable(to) && ::rename(std::string(from).c_str(), std::string(to).c_str()) == 0;
}

bool make_dir(std::string_view path) {
    return usable(path) && ::mkdir(std::string(path).c_str(), 0777) == 0;
}

std::optional<std::vector<std::string>> list_dir(std::string_view path) {
    if (!usable(path)) return std::nullopt;
    std::string base(path);
    DIR* dir = ::opendir(base.c_str());
    if (!dir) return std::nullopt;
    if (base.back() != '/') base += '/';
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        bool is_dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st;
            is_dir = ::stat((base + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (is_dir) name += '/';
        names.push_back(std::move(name));
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace zel::platform
