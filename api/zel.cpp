// The runtime interface (see zel.h): a thin layer over start-up, the lexer, the interpreter,
// the mold and form actions, the error former and the print hooks. Every entry point catches
// the unwindings its work can raise, so none crosses into the caller.
#include "api/zel.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/actions.h"
#include "core/block.h"
#include "core/collector.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/print_hooks.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/text.h"
#include "core/word.h"
#include "io/lexer.h"
#include "platform/console_io.h"
#include "platform/current_dir.h"
#include "platform/os_info.h"
#include "platform/process.h"
#include "startup/runtime.h"

namespace zel::api {

namespace {

// The cells behind Value handles: a root section of the collector. A Cell* into it is
// re-derived after anything that may make a new handle (the vector may move).
constexpr uint32_t NO_SLOT = UINT32_MAX;
std::vector<Cell> slots;
std::vector<uint32_t> free_slots;

void mark_slots() { collector::mark_cells(slots.data(), slots.data() + slots.size()); }

uint32_t take_slot() {
    static bool registered = false;
    if (!registered) {
        collector::add_root_marker(&mark_slots);
        registered = true;
    }
    uint32_t s;
    if (!free_slots.empty()) {
        s = free_slots.back();
        free_slots.pop_back();
    } else {
        s = uint32_t(slots.size());
        slots.emplace_back();
    }
    set_unset(&slots[s]);
    return s;
}

Cell* cell(const Value& v) { return &slots[v.slot()]; }

// The system/<object>/<field> cell, or nullptr.
Cell* system_field(const char* object_name, const char* field) {
    const Cell* sys = word::global_value("system");
    if (!sys || type_of(sys) != TYPE_OBJECT) return nullptr;
    const Cell* o = object::field(sys, symbol::intern(object_name));
    if (!o || type_of(o) != TYPE_OBJECT) return nullptr;
    return object::field(o, symbol::intern(field));
}

// The raw command-line text of arguments: joined by single blanks, an empty argument or one
// holding a blank or a tab between double quotes.
std::string raw_text(const std::vector<std::string>& args) {
    std::string text;
    for (size_t i = 0; i < args.size(); i++) {
        if (i) text += ' ';
        const std::string& a = args[i];
        if (a.empty() || a.find_first_of(" \t") != std::string::npos) text += '"' + a + '"';
        else text += a;
    }
    return text;
}

// Molds or forms into a new string, cut as zel.h says; raises what the value's handler raises.
std::string text_of(const Cell* value, int32_t limit, bool molded) {
    Cell text;
    uint32_t node = string::new_node(64);
    set_series(&text, TYPE_STRING, node);
    collector::RootGuard keep(&text);
    Cell v = *value;
    collector::RootGuard keep_value(&v);
    int32_t budget = limit < 0 ? -1 : limit + 5;
    if (molded) actions::mold_into(&v, node, false, false, false, budget);
    else actions::form_into(&v, node, budget);
    if (limit >= 0) {
        string::truncate(node, uint32_t(budget));
        if (int32_t(memory::buf(node)->length()) > limit) {
            int32_t cut = limit - 3;
            if (cut < 1) cut = 1;
            string::truncate(node, uint32_t(cut));
            string::append_ascii(node, "...");
        }
    }
    return string::node_to_utf8(node);
}

bool shown(const Value& v, std::string& out, int32_t limit, bool molded) {
    if (stack::capture([&] { out = text_of(cell(v), limit, molded); }) == stack::LEVEL_NONE) return true;
    Cell err = stack::unwind_value;
    collector::RootGuard keep(&err);
    out = error::form_to_utf8(&err);
    return false;
}

}  // namespace

// ---- start-up ----

void start(const std::vector<std::string>& args) {
    platform::start_process();
    runtime::init(args);
}

void publish_command_line(const CommandLine& line) {
    stack::capture([&] {
        collector::RootedCell block;
        block::init_cell(&block, int64_t(line.args.size()));
        for (const std::string& a : line.args) {
            Cell s;
            string::from_utf8(&s, a);
            block::append(series_node(&block), &s);
        }
        if (Cell* f = system_field("options", "args")) *f = *&block;
        if (Cell* f = system_field("script", "args")) {
            if (line.any_arguments) string::from_utf8(f, raw_text(line.args));
            else set_none(f);
        }
        if (Cell* f = system_field("options", "script")) {
            if (line.script.empty()) set_none(f);
            else string::from_utf8(f, line.script, TYPE_FILE);
        }
        if (Cell* f = system_field("options", "boot")) {
            std::string exe = platform::executable_path();
            if (exe.empty()) set_none(f);
            else string::from_utf8(f, exe, TYPE_FILE);
        }
    });
}

// ---- values ----

Value::Value() : slot_(take_slot()) {}

Value::~Value() {
    if (slot_ == NO_SLOT) return;
    set_unset(&slots[slot_]);
    free_slots.push_back(slot_);
}

Value::Value(Value&& other) noexcept : slot_(other.slot_) { other.slot_ = NO_SLOT; }

Value& Value::operator=(Value&& other) noexcept {
    if (this != &other) {
        this->~Value();
        slot_ = other.slot_;
        other.slot_ = NO_SLOT;
    }
    return *this;
}

std::string type_name(const Value& v) { return actions::type_name(type_of(cell(v))); }

bool is_unset(const Value& v) { return type_of(cell(v)) == TYPE_UNSET; }

// ---- evaluating text ----

bool load(std::string_view text, Value& out) {
    Cell loaded;
    set_unset(&loaded);
    collector::RootGuard keep(&loaded);
    if (stack::capture([&] { lexer::load_utf8(&loaded, text); }) == stack::LEVEL_NONE) {
        *cell(out) = loaded;
        return true;
    }
    *cell(out) = stack::unwind_value;
    return false;
}

bool script_body(const Value& code_in, Value& body) {
    const Cell* code = cell(code_in);
    if (type_of(code) != TYPE_BLOCK) return false;
    const Cell* head = block::head(code);
    if (block::length(code) < 2 || type_of(head) != TYPE_WORD || symbol::spelling(word_symbol(head)) != "Zel" ||
        type_of(head + 1) != TYPE_BLOCK)
        return false;
    Cell rest = *code;
    set_series_head(&rest, series_head(code) + 2);
    *cell(body) = rest;
    return true;
}

Outcome evaluate(const Value& code_in, Value& out) {
    collector::RootedCell code;
    *&code = *cell(code_in);
    Cell result;
    set_unset(&result);
    collector::RootGuard keep(&result);
    uint32_t level = stack::capture([&] {
        // Evaluate as `try [do code]` does, so that errors name `do` when no function
        // call is under way.
        stack::open_frame(sym(SYM_TRY), 0, stack::FRAME_TRY);
        stack::open_frame(symbol::intern("do"), 0, stack::FRAME_NATIVE);
        interp::eval_block(&code, false);
        if (!stack::unwinding()) result = *(stack::top - 1);
    });
    if (level == stack::LEVEL_NONE) {
        *cell(out) = result;
        return Outcome::Value;
    }
    if (level != stack::LEVEL_ERROR) {
        set_unset(cell(out));
        return Outcome::Nothing;
    }
    *cell(out) = stack::unwind_value;
    return Outcome::Error;
}

Outcome evaluate_text(std::string_view text, Value& out) {
    Value code;
    if (!load(text, code)) {
        *cell(out) = *cell(code);
        return Outcome::Error;
    }
    return evaluate(code, out);
}

char open_delimiter(std::string_view text) {
    char open = 0;
    stack::capture([&] { open = lexer::open_at_end(reinterpret_cast<const uint8_t*>(text.data()), text.size()); });
    return open;
}

// ---- molding and forming ----

bool mold(const Value& v, std::string& out, int32_t limit) { return shown(v, out, limit, true); }
bool form(const Value& v, std::string& out, int32_t limit) { return shown(v, out, limit, false); }

std::string form_error(const Value& error) {
    Cell err = *cell(error);
    collector::RootGuard keep(&err);
    return error::form_to_utf8(&err);
}

// ---- output ----

void add_print_hooks(PrintHook print, OutputHook output) { print_hooks::add(print, output); }
void remove_print_hooks(PrintHook print, OutputHook output) { print_hooks::remove(print, output); }

void print(std::string_view text, bool new_line) {
    stack::capture([&] { print_hooks::call_print(text, new_line); });
}

void write_stdout(std::string_view text) {
    std::fflush(stdout);
    platform::write_stdout(text);
}

// ---- host services ----

bool input_is_terminal() { return platform::stdin_is_terminal(); }

int terminal_columns() {
    int n = platform::terminal_columns();
    return n > 0 ? n : 80;
}

bool read_file(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

// The library keeps the current directory in system/options/path: it follows the change
// (stored directly, the directory is current already).
bool change_dir(const std::string& path) {
    if (!platform::set_current_dir(path)) return false;
    std::string dir = platform::get_current_dir();
    if (dir.empty() || dir.back() != '/') dir += '/';
    stack::capture([&] {
        if (Cell* f = system_field("options", "path")) string::from_utf8(f, dir, TYPE_FILE);
    });
    return true;
}

}  // namespace zel::api
