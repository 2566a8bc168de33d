// url! and file! action handlers: make and to (a url! from a block), mold, eval-path (joining
// a path element), and the registration of both types; plus percent-encoding and -decoding
// and the local and Windows spellings of a file.
//
// The actions that reach the file system and the network (open, read, write, delete, query,
// rename) belong to the operating-system services (io/file_actions.cpp), which put their
// handlers over the placeholders registered here when they start; a placeholder raises
// internal/not-done.
//
// Nothing here evaluates Zel code; forming a path element may allocate, which never collects.
#include "datatypes/series/url.h"

#include <string>

#include "core/actions.h"
#include "core/error.h"
#include "core/hex_digit.h"
#include "core/stack.h"
#include "datatypes/datatypes.h"
#include "datatypes/series/string.h"
#include "datatypes/series/string_internal.h"
#include "datatypes/series/utf8.h"
#include "platform/current_dir.h"

namespace zel::url {

using memory::buf;
using namespace actions;

namespace {

struct CharTables {
    bool file[128] = {};
    bool unreserved[128] = {};
    CharTables() {
        for (int c = 0; c < 128; c++) {
            bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            file[c] = alnum;
            unreserved[c] = alnum;
        }
        for (char c : std::string("!#$&'()*+,-./:=?@_~")) file[uint8_t(c)] = true;
        for (char c : std::string("-._~")) unreserved[uint8_t(c)] = true;
    }
};

const CharTables& char_tables() {
    static const CharTables t;
    return t;
}

constexpr char HEX[] = "0123456789ABCDEF";

void append_escape(std::string& out, uint8_t b) {
    out.push_back('%');
    out.push_back(HEX[b >> 4]);
    out.push_back(HEX[b & 15]);
}

}  // namespace

bool is_file_char(uint32_t c) { return c < 128 && char_tables().file[c]; }
bool is_unreserved(uint32_t c) { return c < 128 && char_tables().unreserved[c]; }

void percent_encode(const Cell* source, uint32_t target, int mode) {
    std::string text = string::to_utf8(source);
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        uint8_t b = uint8_t(ch);
        bool keep = mode == MODE_UNRESERVED ? is_unreserved(b) : is_file_char(b);
        if (keep) out.push_back(char(b));
        else append_escape(out, b);
    }
    string::append_ascii(target, out);
}

void percent_decode(const Cell* source, uint32_t target) {
    // Read the code points first: target may be the source's own buffer only in name.
    uint32_t node = series_node(source);
    uint32_t from = string::head_index(source);
    uint32_t n = buf(node)->length() - from;
    std::u32string cps(n, 0);
    for (uint32_t i = 0; i < n; i++) cps[i] = string::char_at(buf(node), from + i);
    // The byte of a valid escape at i, or -1.
    auto escape_at = [&](size_t i) -> int {
        if (i + 2 >= cps.size() + 0 || cps[i] != '%') return -1;
        int hi = hex_digit_value(cps[i + 1]), lo = hex_digit_value(cps[i + 2]);
        return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
    };
    for (size_t i = 0; i < cps.size();) {
        int b = i + 2 < cps.size() ? escape_at(i) : -1;
        if (b >= 0) {
            int len = (b & 0xF0) == 0xF0 ? 4 : (b & 0xE0) == 0xE0 ? 3 : (b & 0xC0) == 0xC0 ? 2 : 0;
            if (len == 0) {
                string::append_char(target, uint32_t(b), true);
                i += 3;
                continue;
            }
            uint8_t bytes[4] = {uint8_t(b)};
            bool whole = true;
            for (int k = 1; k < len && whole; k++) {
                size_t at = i + 3 * size_t(k);
                int c = at + 2 < cps.size() ? escape_at(at) : -1;
                if (c < 0) whole = false;
                else bytes[k] = uint8_t(c);
            }
            if (whole) {
                size_t used;
                uint32_t cp = utf8::decode(bytes, size_t(len), used);
                if (cp == utf8::INVALID || used != size_t(len)) cp = utf8::REPLACEMENT;
                string::append_char(target, cp, true);
                i += 3 * size_t(len);
                continue;
            }
        }
        string::append_char(target, cps[i], true);
        i++;
    }
}

void to_windows_path(const Cell* file, uint32_t target, bool full) {
    uint32_t node = series_node(file);
    uint32_t i = string::head_index(file);
    uint32_t end = buf(node)->length();
    auto at = [&](uint32_t k) { return k < end ? string::char_at(buf(node), k) : uint32_t('/'); };
    if (i < end && at(i) == '/') {
        uint32_t c = at(i + 1);
        if (c != '/') {
            if (at(i + 2) == '/') {
                // A drive letter: /c/x gives c:\x, /c gives c:\.
                string::append_char(target, c, true);
                string::append_char(target, ':');
                i += 3;
            } else {
                // A server: /srv/share gives \\srv\share.
                string::append_char(target, '\\');
                i += 1;
            }
        } else {
            i += 2;
        }
        string::append_char(target, '\\');
    } else if (full) {
        std::string dir = platform::get_current_dir();
        if (dir.empty() || dir.back() != '\\') dir.push_back('\\');
        string::append_utf8(target, dir);
    }
    for (; i < end; i++) {
        uint32_t c = string::char_at(buf(node), i);
        string::append_char(target, c == '/' ? '\\' : c, true);
    }
}

std::string to_local_path(const Cell* file, bool full) {
    std::string text = string::to_utf8(file);
    if (full && (text.empty() || text[0] != '/')) {
        std::string dir = platform::get_current_dir();
        if (dir.empty() || dir.back() != '/') dir.push_back('/');
        text = dir + text;
    }
    return text;
}

namespace {

// ---- mold ----

int32_t file_mold(const Cell* value, uint32_t out, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    string::Run r = string::run_of_string(value);
    uint32_t count = r.count;
    if (part || limit != 0x7FFFFFFF) {
        if (limit < 0) count = 0;
        else if (uint32_t(limit) < count) count = uint32_t(limit);
    }
    string::append_char(out, '%');
    if (r.count == 0) {
        string::append_ascii(out, "\"\"");
        return limit - 1;
    }
    bool quoted = false;
    for (uint32_t i = 0; i < count && !quoted; i++) {
        uint32_t c = string::char_at(buf(r.node), r.from + i);
        if (c < 0x7F && !is_file_char(c)) quoted = true;
    }
    if (quoted) string::append_char(out, '"');
    for (uint32_t i = 0; i < count; i++) {
        uint32_t c = string::char_at(buf(r.node), r.from + i);
        // Inside quotes, carets escape a quote, a caret and the control characters, so the
        // text loads back.
        if (quoted && c < 0x20) {
            string::append_escaped(out, c, string::ESCAPE_STRING, false);
            continue;
        }
        if (quoted && (c == '"' || c == '^')) string::append_char(out, '^');
        string::append_char(out, c, true);
    }
    if (quoted) string::append_char(out, '"');
    int64_t left = int64_t(limit) - count - 1;
    return left < INT32_MIN ? INT32_MIN : int32_t(left);
}

int32_t url_mold(const Cell* value, uint32_t out, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    std::string text = string::to_utf8(value);
    bool limited = part || limit != 0x7FFFFFFF;
    std::string shown;
    int64_t count = 0;
    for (char ch : text) {
        uint8_t b = uint8_t(ch);
        if (b < 0x80 && is_file_char(b)) {
            shown.push_back(char(b));
            count++;
        } else {
            for (char e : {'%', HEX[b >> 4], HEX[b & 15]}) {
                if (limited && count >= limit) break;
                shown.push_back(e);
                count++;
            }
        }
        if (limited && count >= limit) break;
    }
    string::append_ascii(out, shown);
    int64_t left = int64_t(limit) - count;
    return left < INT32_MIN ? INT32_MIN : int32_t(left);
}

// ---- make and to ----

MakeFn string_make_fn = nullptr;
MakeFn string_to_fn = nullptr;

// Forms the value at index i of the block into node.
void form_at(uint32_t node, uint32_t block, uint32_t i) {
    Cell v = buf(block)->cells()[i];
    form_into(&v, node);
}

// A url from a block: scheme "://" host [":" port] then "/" and the other values joined by
// "/", or "#" before a last issue!.
Cell* url_from_block(Cell* spec) {
    uint32_t block = series_node(spec);
    int32_t h = series_head(spec);
    uint32_t i = h < 0 ? 0 : uint32_t(h);
    uint32_t end = buf(block)->length();
    if (i >= end) {
        Cell dt;
        set_datatype(&dt, TYPE_URL);
        error::raise(error::ERR_SCRIPT_BAD_TO_ARG, &dt, spec);
    }
    Cell* out = stack::push();
    string::init_cell(out, 32, TYPE_URL);
    uint32_t node = series_node(out);
    form_at(node, block, i++);
    string::append_ascii(node, "://");
    if (i < end) form_at(node, block, i++);
    if (i < end && type_of(&buf(block)->cells()[i]) == TYPE_INTEGER) {
        string::append_char(node, ':');
        form_at(node, block, i++);
    }
    if (i < end) {
        string::append_char(node, '/');
        for (; i < end; i++) {
            form_at(node, block, i);
            if (i + 1 < end) string::append_char(node, type_of(&buf(block)->cells()[i + 1]) == TYPE_ISSUE ? '#' : '/');
        }
    }
    return out;
}

bool is_list(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH; }

void url_make(Cell* out, Cell* proto, Cell* spec, uint32_t type) {
    if (type == TYPE_URL && is_list(type_of(spec))) { *out = *url_from_block(spec); return; }
    string_make_fn(out, proto, spec, type);
}

void url_to(Cell* out, Cell* proto, Cell* spec, uint32_t type) {
    if (type == TYPE_URL && is_list(type_of(spec))) { *out = *url_from_block(spec); return; }
    string_to_fn(out, proto, spec, type);
}

// ---- eval-path ----

void url_eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const PathStep& step) {
    if (value) error::raise(error::ERR_SCRIPT_BAD_PATH_SET, step.path ? step.path : element, element);
    Cell p = *parent;
    uint32_t ptype = type_of(&p);
    string::Run pr = string::run_of_string(&p);
    uint32_t formed = string::new_node(size_t(pr.count) + 16, buf(pr.node)->unit());
    form_into(element, formed);
    uint32_t flen = buf(formed)->length();
    bool a = pr.count > 0 && string::char_at(buf(pr.node), pr.from + pr.count - 1) == '/';
    bool b = flen > 0 && string::char_at(buf(formed), 0) == '/';
    string::init_cell_unit(out, size_t(pr.count + flen + 1) * buf(formed)->unit(), buf(pr.node)->unit(), ptype);
    uint32_t node = series_node(out);
    // Both slashes: keep one (the parent's last is left out of the copy).
    string::append_range(node, pr.node, pr.from, pr.from + pr.count - (a && b ? 1 : 0));
    if (!a && !b) string::append_char(node, '/');
    string::append_range(node, formed, 0, flen);
}

// ---- file-system and network actions (connected by the operating-system services) ----

void not_done_open(Cell* out, Cell*, bool, bool, bool, bool, Cell*) { error::raise(error::ERR_INTERNAL_NOT_DONE); }
void not_done_read(Cell* out, Cell*, Cell*, Cell*, bool, bool, bool, Cell*) { error::raise(error::ERR_INTERNAL_NOT_DONE); }
void not_done_write(Cell* out, Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, Cell*, Cell*) {
    error::raise(error::ERR_INTERNAL_NOT_DONE);
}
void not_done_port(Cell* out, Cell*) { error::raise(error::ERR_INTERNAL_NOT_DONE); }
void not_done_rename(Cell* out, Cell*, Cell*) { error::raise(error::ERR_INTERNAL_NOT_DONE); }

void register_url_like(uint32_t id) {
    constexpr auto I = INHERIT;
    TypeSpec spec{id, {}};
    auto set = [&](auto action, auto fn) { put(spec, action, fn); };
    for (int a : std::initializer_list<int>{ACT_MAKE, ACT_TO, ACT_FORM, ACT_MOLD, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT,
                  ACT_BACK, ACT_CHANGE, ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT,
                  ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP,
                  ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY})
        set(a, I);
    if (id == TYPE_URL) {
        string_make_fn = reinterpret_cast<MakeFn>(handler_of(TYPE_STRING, ACT_MAKE));
        string_to_fn = reinterpret_cast<MakeFn>(handler_of(TYPE_STRING, ACT_TO));
        set(ACT_MAKE, &url_make);
        set(ACT_TO, &url_to);
        set(ACT_MOLD, &url_mold);
        set(ACT_EVAL_PATH, &url_eval_path);
        set(ACT_OPEN, &not_done_open);
        set(ACT_READ, &not_done_read);
        set(ACT_WRITE, &not_done_write);
    } else {
        set(ACT_MOLD, &file_mold);
        set(ACT_READ, &not_done_read);
        set(ACT_WRITE, &not_done_write);
        set(ACT_DELETE, &not_done_port);
        set(ACT_QUERY, &not_done_port);
        set(ACT_RENAME, &not_done_rename);
    }
    register_type(spec);
}

}  // namespace

}  // namespace zel::url

namespace zel::datatypes {

void register_url() { url::register_url_like(TYPE_URL); }
void register_file() { url::register_url_like(TYPE_FILE); }

}  // namespace zel::datatypes
