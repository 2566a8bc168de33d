// `simple-io` on the platform's file services (see simple_io.h).
#include "io/simple_io.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/actions.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/scalar/date.h"
#include "core/block.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"
#include "datatypes/series/utf8.h"
#include "platform/files.h"
#include "platform/os_memory.h"

namespace zel::simple_io {

namespace {

using memory::buf;

// The largest value a series buffer holds.
constexpr uint64_t MAX_BYTES = 0x7FFFFFF0u;
constexpr size_t CHUNK = 64 * 1024;

// Pages from the system, returned by the destructor.
struct PageBuffer {
    uint8_t* data;
    size_t size;
    explicit PageBuffer(size_t n) : data(static_cast<uint8_t*>(platform::allocate_pages(n ? n : 1))), size(n ? n : 1) {}
    ~PageBuffer() {
        if (data) platform::free_pages(data, size);
    }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
};

[[noreturn]] void cannot_open(const Cell* file) { error::raise(error::ERR_ACCESS_CANNOT_OPEN, file); }

[[noreturn]] void invalid_refine(const char* name, const Cell* value) {
    Cell w;
    word::make_global(&w, TYPE_WORD, symbol::intern(name));
    error::raise(error::ERR_SCRIPT_INVALID_REFINE_ARG, &w, value);
}

// A /part or /seek count: an integer!, or a float! for offsets beyond 2 GiB.
int64_t count_of(const char* name, const Cell* v) {
    if (type_of(v) == TYPE_INTEGER) return int_value(v);
    if (type_of(v) == TYPE_FLOAT) {
        double d = float_value(v);
        if (d >= -9.2e18 && d <= 9.2e18) return int64_t(d);
    }
    invalid_refine(name, v);
}

void make_binary(Cell* out, const uint8_t* bytes, size_t n) {
    uint32_t node = memory::new_series(n ? n : 1, 1);
    SeriesBuf* b = buf(node);
    if (n) std::memcpy(b->data(), bytes, n);
    b->tail = uint32_t(n);
    set_series(out, TYPE_BINARY, node);
}

void make_text(Cell* out, const uint8_t* bytes, size_t n) {
    set_series(out, TYPE_STRING, string::decode_utf8(bytes, n, 0, nullptr, false));
}

void split_lines(Cell* out, const uint8_t* p, size_t n) {
    size_t count = 1;
    for (size_t i = 0; i < n; i++) count += p[i] == '\n';
    block::init_cell(out, int64_t(count));
    uint32_t node = series_node(out);
    size_t start = 0;
    for (size_t i = 0; i <= n; i++) {
        if (i < n && p[i] != '\n') continue;
        size_t end = i;
        if (i == n && start == n) break;   // no text after the last LF
        if (i < n && end > start && p[end - 1] == '\r') end--;
        Cell line;
        make_text(&line, p + start, end - start);
        block::append(node, &line);
        start = i + 1;
    }
}

void empty_value(Cell* out, bool binary, bool lines) {
    if (binary) make_binary(out, nullptr, 0);
    else if (lines) block::init_cell(out, 1);
    else string::init_cell(out, 1);
}

// Appends the bytes a value stands for when written (`simple-io/to-bytes`): a string's
// UTF-8, a binary's bytes, any other value formed; part (>= 0) limits the code points or
// bytes taken.
void append_bytes(std::string& into, const Cell* v, int64_t part) {
    uint32_t t = type_of(v);
    if (t == TYPE_BINARY) {
        const SeriesBuf* b = buf(series_node(v));
        uint32_t head = series::clipped_head(v);
        size_t n = b->tail - head;
        if (part >= 0 && uint64_t(part) < n) n = size_t(part);
        into.append(reinterpret_cast<const char*>(b->data()) + head, n);
        return;
    }
    Cell text = *v;
    if (!is_text_type(t)) actions::form_value(&text, v);
    int64_t length = part;
    const char* p = string::to_utf8_text(&text, length);
    into.append(p, size_t(length));
}

// The code points a text value writes: from its head, at most part (< 0: all). Raises
// script/invalid-char for a value above 0x10FFFF, as encoding it would, before anything is
// written (only a 4-byte unit can hold one).
struct TextRange {
    uint32_t node, from, count;
};
TextRange text_range(const Cell* text, int64_t part) {
    TextRange r{series_node(text), string::head_index(text), uint32_t(string::length_limit(text, part))};
    const SeriesBuf* b = buf(r.node);
    if (b->unit() == 4)
        for (uint32_t i = 0; i < r.count; i++) utf8::char_length(string::char_at(b, r.from + i));
    return r;
}

// Writes the UTF-8 of a text range to the file through a small buffer that stays in the
// cache, rather than through an encoded copy of the whole text. False when a write fails.
// Nothing here allocates series memory, so the buffer cannot move meanwhile.
bool write_text(platform::OutputFile& out, const TextRange& r) {
    std::unique_ptr<uint8_t[]> piece(new uint8_t[CHUNK]);
    const SeriesBuf* b = buf(r.node);
    size_t w = 0;
    uint32_t i = r.from, end = r.from + r.count;
    while (i < end) {
        if (w + 4 > CHUNK) {
            if (!out.write_all(piece.get(), w)) return false;
            w = 0;
        }
        if (b->unit() == 1) {
            // Bytes below 0x80 are their own encoding: copied a run at a time.
            const uint8_t* p = b->data();
            uint32_t j = i;
            uint32_t stop = std::min<uint32_t>(end, i + uint32_t(CHUNK - w));
            while (j < stop && p[j] < 0x80) j++;
            std::memcpy(piece.get() + w, p + i, j - i);
            w += j - i;
            i = j;
            if (i == stop) continue;
        }
        uint32_t cp = string::char_at(b, i++);
        if (cp < 0x80) piece[w++] = uint8_t(cp);
        else w += size_t(utf8::encode_char(cp, piece.get() + w));
    }
    return out.write_all(piece.get(), w);
}

}  // namespace

bool is_dir_path(const Cell* file) {
    std::string p = native_path(file);
    if (p.empty()) return false;
    if (p == "." || p == "..") return true;
    char last = p.back();
    if (last == '/' || last == '\\') return true;
    auto ends_with = [&](std::string_view s) {
        return p.size() >= s.size() && p.compare(p.size() - s.size(), s.size(), s) == 0;
    };
    return ends_with("/.") || ends_with("\\.") || ends_with("/..") || ends_with("\\..");
}

std::string native_path(const Cell* file) { return string::to_utf8(file); }

void bytes_to_value(Cell* out, const uint8_t* bytes, size_t n, bool binary, bool lines) {
    if (binary) make_binary(out, bytes, n);
    else if (lines) split_lines(out, bytes, n);
    else make_text(out, bytes, n);
}

void read(Cell* out, const Cell* file, const Cell* part, const Cell* seek, bool binary, bool lines) {
    if (is_dir_path(file)) return read_dir(out, file);
    int64_t part_n = part ? count_of("part", part) : -1;
    int64_t seek_n = -1;
    if (seek) {
        seek_n = count_of("seek", seek);
        if (seek_n < 0) invalid_refine("seek", seek);
    }
    platform::InputFile in(native_path(file));
    if (!in.is_open()) cannot_open(file);
    uint64_t size = in.size_hint();
    if (size == 0) {
        // Pipes, devices and files the system gives no size for: read to the end, or as far
        // as a part asks (so that a part of an endless device ends).
        if (part_n == 0) return empty_value(out, binary, lines);
        uint64_t wanted = part_n > 0 ? uint64_t(std::max<int64_t>(seek_n, 0)) + uint64_t(part_n) : MAX_BYTES + 1;
        std::string all;
        std::unique_ptr<uint8_t[]> chunk(new uint8_t[CHUNK]);
        while (all.size() < wanted) {
            size_t ask = size_t(std::min<uint64_t>(CHUNK, wanted - all.size()));
            int64_t got = in.read(chunk.get(), ask);
            if (got < 0) cannot_open(file);
            if (got == 0) break;
            if (all.size() + size_t(got) > MAX_BYTES) error::raise(error::ERR_INTERNAL_NO_MEMORY);
            all.append(reinterpret_cast<const char*>(chunk.get()), size_t(got));
        }
        size_t from = seek_n < 0 ? 0 : size_t(std::min<uint64_t>(uint64_t(seek_n), all.size()));
        size_t n = all.size() - from;
        if (part_n == 0) n = 0;
        else if (part_n > 0 && uint64_t(part_n) < n) n = size_t(part_n);
        return bytes_to_value(out, reinterpret_cast<const uint8_t*>(all.data()) + from, n, binary, lines);
    }
    if (seek_n >= 0) {
        if (uint64_t(seek_n) >= size) return empty_value(out, binary, lines);
        if (!in.seek(uint64_t(seek_n))) cannot_open(file);
        size -= uint64_t(seek_n);
    }
    if (part_n == 0) return empty_value(out, binary, lines);
    if (part_n > 0 && uint64_t(part_n) < size) size = uint64_t(part_n);
    if (size > MAX_BYTES) error::raise(error::ERR_INTERNAL_NO_MEMORY);
    if (!lines || binary) {
        // Straight into the buffer of the new value (nothing here can collect); text is
        // decoded where it was read, so a large file costs one buffer, not two.
        uint32_t node = memory::new_series(size_t(size), 1);
        int64_t got = in.read_fully(buf(node)->data(), size_t(size));
        if (got < 0) cannot_open(file);
        if (binary) buf(node)->tail = uint32_t(got);
        else node = string::decode_utf8_in_place(node, size_t(got), nullptr, false);
        set_series(out, binary ? TYPE_BINARY : TYPE_STRING, node);
        return;
    }
    // The bytes of the lines wait in pages of their own (huge pages for a large file: fewer
    // faults and TLB misses while they are cut).
    PageBuffer bytes{size_t(size)};
    if (!bytes.data) error::raise(error::ERR_INTERNAL_NO_MEMORY);
    int64_t got = in.read_fully(bytes.data, size_t(size));
    if (got < 0) cannot_open(file);
    split_lines(out, bytes.data, size_t(got));
}

void read_dir(Cell* out, const Cell* dir) {
    auto names = platform::list_dir(native_path(dir));
    if (!names) cannot_open(dir);
    block::init_cell(out, int64_t(names->size()));
    uint32_t node = series_node(out);
    for (const std::string& name : *names) {
        Cell f;
        string::from_utf8(&f, name, TYPE_FILE);
        block::append(node, &f);
    }
}

void write(const Cell* file, const Cell* data, const Cell* part, const Cell* seek, bool append, bool lines,
           bool final_line_end) {
    int64_t seek_n = -1;
    if (seek) {
        if (type_of(seek) != TYPE_INTEGER) invalid_refine("seek", seek);
        seek_n = int_value(seek);
        if (seek_n < 0) invalid_refine("seek", seek);
    }
    // A negative part writes nothing (-1 inside means "no part").
    int64_t part_n = part ? std::max<int64_t>(count_of("part", part), 0) : -1;
    // What is written is settled first, so that a value that cannot be converted raises
    // before the file is touched: the lines of a block gathered as bytes; a binary! from its
    // own buffer; any other value as text (formed when it is not text), encoded on its way
    // to the file.
    std::string bytes;
    const uint8_t* direct = nullptr;
    size_t direct_n = 0;
    Cell text;
    TextRange range{0, 0, 0};
    bool as_text = false;
    if (lines && is_any_block_type(type_of(data))) {
        int32_t n = block::length(data);
        for (int32_t i = 0; i < n; i++) {
            append_bytes(bytes, block::head(data) + i, part_n);
            bytes += '\n';
        }
        direct = reinterpret_cast<const uint8_t*>(bytes.data());
        direct_n = bytes.size();
    } else if (type_of(data) == TYPE_BINARY) {
        const SeriesBuf* b = buf(series_node(data));
        uint32_t head = series::clipped_head(data);
        direct_n = b->tail - head;
        if (part_n >= 0 && uint64_t(part_n) < direct_n) direct_n = size_t(part_n);
        direct = b->data() + head;
    } else {
        text = *data;
        if (!is_text_type(type_of(data))) actions::form_value(&text, data);
        range = text_range(&text, part_n);
        as_text = true;
    }
    // A single value written as a line, or with the final line end, ends with LF.
    bool end_line = (lines || final_line_end) && !(lines && is_any_block_type(type_of(data)));
    auto put = [&](platform::OutputFile& out) {
        bool ok = as_text ? write_text(out, range) : out.write_all(direct, direct_n);
        return ok && (!end_line || out.write_all("\n", 1));
    };
    if (!file) {
        platform::OutputFile out = platform::OutputFile::standard_output();
        put(out);   // a closed standard output drops the text
        return;
    }
    using Mode = platform::OutputFile::Mode;
    platform::OutputFile out(native_path(file), append ? Mode::APPEND : seek_n >= 0 ? Mode::KEEP : Mode::TRUNCATE);
    if (!out.is_open()) cannot_open(file);
    if (seek_n > 0 && !append && !out.seek(uint64_t(seek_n))) cannot_open(file);
    bool ok = put(out);
    ok = out.close() && ok;
    if (!ok) cannot_open(file);
}

bool delete_path(const Cell* file) {
    std::string path = native_path(file);
    return is_dir_path(file) ? platform::delete_dir(path) : platform::delete_file(path);
}

bool rename(const Cell* from, const Cell* to) {
    if (!is_text_type(type_of(to))) error::raise(error::ERR_SCRIPT_INVALID_ARG, to);
    return platform::rename_path(native_path(from), native_path(to));
}

void query(Cell* out, const Cell* file) {
    auto info = platform::path_info(native_path(file));
    if (!info || (is_dir_path(file) && !info->is_dir)) return set_none(out);
    int64_t days = info->modified_seconds / 86400;
    int64_t secs = info->modified_seconds % 86400;
    if (secs < 0) {
        secs += 86400;
        days--;
    }
    int64_t epoch = date::day_count(1970, 1, 1);
    double seconds = double(secs) + double(info->modified_nanos / 1000000) / 1000.0;
    date::set_cell(out, date::word_from_day_count(epoch + days, 0, true), seconds);
}

}  // namespace zel::simple_io
