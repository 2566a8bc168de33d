// Reading files and their sizes (the few file services the natives need before the file
// ports exist). Paths are native POSIX paths in UTF-8.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zel::platform {

// `platform/file-size`: the size in bytes of the file at path. Nothing for a directory, or
// for a file that cannot be opened for reading.
std::optional<uint64_t> file_size(std::string_view path);

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

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

}  // namespace zel::platform
