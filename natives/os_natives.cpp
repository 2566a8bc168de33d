// Natives that reach the operating system: wait, the environment (set-env get-env list-env),
// other programs (call browse) and file sizes (size?). None of them evaluates Zel code.
// Operating-system failures of set-env and browse are ignored, as their callers expect.
#include <cstring>
#include <string>

#include "core/error.h"
#include "core/memory.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/series/map.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"
#include "natives/native_support.h"
#include "natives/native_units.h"
#include "platform/child_process.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/sleep.h"

namespace zel::natives {

using memory::buf;

namespace {

// wait: a duration in seconds (integer!, float!) or a time!; the result is none.
void wait(const int32_t* refs) {
    Cell* value = arg(0);
    uint32_t t = type_of(value);
    if (t != TYPE_INTEGER && t != TYPE_FLOAT && t != TYPE_TIME) error::raise(error::ERR_SCRIPT_INVALID_ARG, value);
    double seconds = t == TYPE_INTEGER ? double(int_value(value)) : float_value(value);
    Cell nothing;
    set_none(&nothing);
    stack::set_result(&nothing);
    platform::sleep_ms(seconds);
}

// ---- environment ----

// The variable name: the text of a string or the spelling of a word.
std::string variable_name(const Cell* var) {
    if (is_any_word_type(type_of(var))) return std::string(symbol::spelling(word_symbol(var)));
    return string::to_utf8(var);
}

void set_env(const int32_t* refs) {
    std::string name = variable_name(arg(0));
    const Cell* value = arg(1);
    if (type_of(value) == TYPE_STRING) platform::write_env_var(name, string::to_utf8(value));
    else platform::remove_env_var(name);
    stack::set_result(value);
}

void get_env(const int32_t* refs) {
    std::optional<std::string> value = platform::read_env_var(variable_name(arg(0)));
    Cell r;
    if (value) string::from_utf8(&r, *value);
    else set_none(&r);
    stack::set_result(&r);
}

// list-env: a map! of name strings to value strings.
void list_env(const int32_t* refs) {
    auto vars = platform::list_env_vars();
    // The strings live on the stack (rooted) until the map is made from them.
    Cell* first = stack::top;
    for (const auto& [name, value] : vars) {
        Cell* k = stack::push();
        string::from_utf8(k, name);
        Cell* v = stack::push();
        string::from_utf8(v, value);
    }
    Cell r;
    map::from_cells(&r, first, uint32_t(stack::top - first));
    stack::set_result(&r);
}

// ---- processes ----

enum CallRef { R_WAIT, R_SHOW, R_CONSOLE, R_SHELL, R_INPUT, R_OUTPUT, R_ERROR };

// The bytes of a string (UTF-8) or binary!, from its index.
std::string bytes_of(const Cell* v) {
    if (type_of(v) != TYPE_BINARY) return string::to_utf8(v);
    SeriesBuf* b = buf(series_node(v));
    uint32_t head = series::clipped_head(v);
    return std::string(reinterpret_cast<const char*>(b->data()) + head, b->length() - head);
}

void redirect_output(const Cell* target, platform::ChildOutput& out) {
    if (!target) return;
    if (type_of(target) == TYPE_FILE) {
        out.kind = platform::ChildOutput::Kind::FILE;
        out.path = string::to_utf8(target);
    } else {
        out.kind = platform::ChildOutput::Kind::CAPTURE;
    }
}

// Appends captured output to its string! (decoded as UTF-8) or binary! target.
void append_captured(const Cell* target, const std::string& bytes) {
    if (!target || bytes.empty()) return;
    uint32_t node = series_node(target);
    if (type_of(target) == TYPE_BINARY) {
        SeriesBuf* b = memory::ensure_room(node, bytes.size());
        std::memcpy(b->data() + b->tail, bytes.data(), bytes.size());
        b->tail += uint32_t(bytes.size());
    } else if (type_of(target) != TYPE_FILE) {
        string::append_utf8(node, bytes);
    }
}

// call: runs a command; the exit code when waited for, else the process id; -1 on failure.
void call(const int32_t* refs) {
    const Cell* cmd = arg(0);
    if (used(refs, R_CONSOLE)) error::raise(error::ERR_INTERNAL_NOT_DONE);
    Cell r;
    if (string::length(cmd) <= 0) {
        set_integer(&r, 0);
        return stack::set_result(&r);
    }
    platform::CallRequest request;
    request.command = string::to_utf8(cmd);
    request.single_program = type_of(cmd) == TYPE_FILE;
    request.shell = used(refs, R_SHELL);
    request.wait = used(refs, R_WAIT);
    if (const Cell* in = ref_arg(refs, R_INPUT)) {
        if (type_of(in) == TYPE_FILE) {
            request.input.kind = platform::ChildInput::Kind::FILE;
            request.input.path = string::to_utf8(in);
        } else {
            request.input.kind = platform::ChildInput::Kind::BYTES;
            request.input.bytes = bytes_of(in);
        }
    }
    const Cell* out = ref_arg(refs, R_OUTPUT);
    const Cell* err = ref_arg(refs, R_ERROR);
    redirect_output(out, request.output);
    redirect_output(err, request.error);
    int64_t result = platform::call(request);
    append_captured(out, request.output.captured);
    append_captured(err, request.error.captured);
    set_integer(&r, int32_t(result));
    stack::set_result(&r);
}

// browse: opens a URL or file in the desktop's default application; the result is unset.
void browse(const int32_t* refs) {
    platform::open_with_default_application(string::to_utf8(arg(0)));
    Cell nothing;
    set_unset(&nothing);
    stack::set_result(&nothing);
}

// ---- files ----

// size?: the size of a file; none for a directory or a file that cannot be opened. Sizes
// beyond the integer range come back as float!.
void size_q(const int32_t* refs) {
    std::optional<uint64_t> size = platform::file_size(string::to_utf8(arg(0)));
    Cell r;
    if (!size) set_none(&r);
    else if (*size > 2147483647u) set_float(&r, double(*size));
    else set_integer(&r, int32_t(*size));
    stack::set_result(&r);
}

}  // namespace

void register_os() {
    set<SLOT_wait, wait>();
    set<SLOT_set_env, set_env>();
    set<SLOT_get_env, get_env>();
    set<SLOT_list_env, list_env>();
    set<SLOT_call, call>();
    set<SLOT_browse, browse>();
    set<SLOT_size_q, size_q>();
}

}  // namespace zel::natives
