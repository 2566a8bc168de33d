// Files and directories: the services behind file! reads and writes, size?, exists?,
// delete, rename, query and directory listings. Paths are native POSIX paths in UTF-8; a
// path holding a NUL byte names nothing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::platform {

// `platform/file-size`: the size in bytes of the file at path. Nothing for a directory, or
// for a file that cannot be opened for reading.
std::optional<uint64_t> file_size(std::string_view path);

// What stat tells about a path (symbolic links followed).
struct PathInfo {
    bool is_dir = false;
    uint64_t size = 0;
    int64_t modified_seconds = 0;   // last write, seconds since 1970-01-01 UTC
    int32_t modified_nanos = 0;
};
// Nothing when the path names nothing reachable.
std::optional<PathInfo> path_info(std::string_view path);

// A file opened for reading from its start; closed by the destructor.
class InputFile {
public:
    explicit InputFile(std::string_view path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // False when the file could not be opened (missing, a directory, not readable).
    bool is_open() const { return fd_ >= 0; }
    // The size the file had when it was opened (0 for pipes and special files, which are
    // read to their end all the same).
    uint64_t size_hint() const { return size_; }
    // Reads up to n bytes; returns the count read, 0 at the end, -1 on a read error.
    int64_t read(uint8_t* into, size_t n);
    // Reads until n bytes are in or the file ends; the count read, -1 on a read error.
    int64_t read_fully(uint8_t* into, size_t n);
    // Moves the read position to offset from the start; false when the file cannot seek.
    bool seek(uint64_t offset);

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

// A file opened for writing: created when missing; truncated unless it is opened to append
// or to write at an offset. Closed by close() or the destructor.
class OutputFile {
public:
    enum class Mode { TRUNCATE, APPEND, KEEP };
    OutputFile(std::string_view path, Mode mode);
    // The process's standard output, never closed here.
    static OutputFile standard_output();
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile(OutputFile&& other) noexcept : fd_(other.fd_), owned_(other.owned_) { other.fd_ = -1; }

    bool is_open() const { return fd_ >= 0; }
    bool seek(uint64_t offset);
    // Writes every byte (retrying short writes); false when any byte could not be written.
    bool write_all(const void* data, size_t n);
    // Closes the file; false when the system reports that data could not be written.
    bool close();

private:
    OutputFile() = default;
    int fd_ = -1;
    bool owned_ = true;
};

// Removes a file (not a directory); false when nothing was removed.
bool delete_file(std::string_view path);
// Removes an empty directory; false when nothing was removed.
bool delete_dir(std::string_view path);
// Renames or moves; false when the system refuses.
bool rename_path(std::string_view from, std::string_view to);
// Creates one directory level; false when it exists already or cannot be made.
bool make_dir(std::string_view path);
// The names in a directory but "." and "..", each directory's name ending in "/", sorted
// by the bytes of the names. Nothing when the directory cannot be read.
std::optional<std::vector<std::string>> list_dir(std::string_view path);

}  // namespace zel::platform
