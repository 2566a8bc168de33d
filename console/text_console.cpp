// The text console (see text_console.h).
#include "console/text_console.h"

#include <unistd.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "core/actions.h"
#include "core/collector.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/print_hooks.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"
#include "core/object.h"
#include "platform/os_info.h"

namespace zel::console {

namespace {

// Prints through the print hooks, as print does.
void print_line(std::string_view text) { print_hooks::call_print(text, true); }

std::string formed_error(const Cell* err) { return error::form_to_utf8(err); }

enum class Outcome { Value, Error, Nothing };

// Evaluates a block under a handler of every unwinding; the value or the error goes to out.
Outcome try_eval(const Cell* code, Cell* out) {
    set_unset(out);
    uint32_t level = stack::capture([&] {
        // Evaluate as `try [do code]` does, so that errors name `do` when no function
        // call is under way.
        stack::open_frame(sym(SYM_TRY), 0, stack::FRAME_TRY);
        stack::open_frame(symbol::intern("do"), 0, stack::FRAME_NATIVE);
        interp::eval_block(code, false);
        if (!stack::unwinding()) *out = *(stack::top - 1);
    });
    if (level == stack::LEVEL_NONE) return Outcome::Value;
    if (level != stack::LEVEL_ERROR) return Outcome::Nothing;
    *out = stack::unwind_value;
    return Outcome::Error;
}

// Loads UTF-8 text into a block; a syntax error goes to out as an error! value.
bool try_load(std::string_view text, Cell* out) {
    if (stack::capture([&] { lexer::load_utf8(out, text); }) == stack::LEVEL_NONE) return true;
    *out = stack::unwind_value;
    return false;
}

int terminal_width() {
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

// The result line: "== " and the molded value, cut to the console's width.
void print_result(const Cell* value) {
    const int prompt_length = 3;
    int limit = terminal_width() - 3;
    Cell text;
    uint32_t node = string::new_node(64);
    set_series(&text, TYPE_STRING, node);
    collector::RootGuard keep(&text);
    Cell v = *value;
    if (type_of(&v) == TYPE_FLOAT) actions::form_into(&v, node, limit + 5);
    else actions::mold_into(&v, node, false, false, false, limit + 5);
    string::truncate(node, uint32_t(limit + 5));
    if (int(memory::buf(node)->length()) > limit) {
        int cut = limit - prompt_length;
        if (cut < 1) cut = 1;
        string::truncate(node, uint32_t(cut));
        string::append_ascii(node, "...");
    }
    print_line("== " + string::node_to_utf8(node));
}

// Evaluates one complete input and prints its result or error. False when the input did
// not load.
bool do_command(const std::string& input) {
    collector::RootedCell code;
    if (!try_load(input, &code)) {
        print_line(formed_error(&code));
        return false;
    }
    if (block::length(&code) == 0) return true;
    collector::RootedCell result;
    switch (try_eval(&code, &result)) {
        case Outcome::Error:
            print_line(formed_error(&result) + "\n");
            break;
        case Outcome::Value:
            if (type_of(&result) != TYPE_UNSET) {
                if (stack::capture([&] { print_result(&result); }) != stack::LEVEL_NONE) {
                    Cell err = stack::unwind_value;
                    print_line(formed_error(&err));
                }
            }
            break;
        case Outcome::Nothing:
            break;
    }
    return true;
}

// The character that opened the construct the input ends inside of, as the lexer reads it,
// or 0 when the input is complete (or wrong in a way more lines cannot mend).
char open_delimiter(const std::string& input) {
    char open = 0;
    stack::capture([&] {
        open = lexer::open_at_end(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    });
    return open;
}

bool interactive() { return isatty(STDIN_FILENO); }

}  // namespace

Options parse_command_line(const std::vector<std::string>& args) {
    Options opt;
    size_t i = 0;
    std::vector<std::string> kept;   // the arguments left when there is no script
    for (; i < args.size(); i++) {
        const std::string& a = args[i];
        if (a == "--") {
            kept.push_back(a);
            i++;
            break;
        }
        if (a.rfind("--", 0) != 0) break;
        if (a == "--catch") opt.catch_mode = true;
        else kept.push_back(a);
    }
    if (i < args.size()) {
        opt.script = args[i];
        opt.script_args.assign(args.begin() + long(i) + 1, args.end());
        opt.args = opt.script_args;
    } else {
        opt.args = kept;
    }
    return opt;
}

namespace {

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

// The field cell of system/<object>/<field>, or nullptr.
Cell* system_field(const char* object_name, const char* field) {
    const Cell* sys = word::global_value("system");
    if (!sys || type_of(sys) != TYPE_OBJECT) return nullptr;
    const Cell* o = object::field(sys, symbol::intern(object_name));
    if (!o || type_of(o) != TYPE_OBJECT) return nullptr;
    return object::field(o, symbol::intern(field));
}

}  // namespace

void publish_arguments(const Options& opt, bool any_arguments) {
    collector::RootedCell block;
    block::init_cell(&block, int64_t(opt.args.size()));
    for (const std::string& a : opt.args) {
        Cell s;
        string::from_utf8(&s, a);
        block::append(series_node(&block), &s);
    }
    if (Cell* f = system_field("options", "args")) *f = *&block;
    if (Cell* f = system_field("script", "args")) {
        if (any_arguments) string::from_utf8(f, raw_text(opt.args));
        else set_none(f);
    }
    if (Cell* f = system_field("options", "script")) {
        if (opt.script.empty()) set_none(f);
        else string::from_utf8(f, opt.script, TYPE_FILE);
    }
    if (Cell* f = system_field("options", "boot")) {
        std::string exe = platform::executable_path();
        if (exe.empty()) set_none(f);
        else string::from_utf8(f, exe, TYPE_FILE);
    }
}

int run_script(const Options& opt) {
    std::ifstream in(opt.script, std::ios::binary);
    if (!in) {
        print_line("*** Access Error: cannot open: %" + opt.script);
        return 1;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    // The header: "Zel", an optional "/System", blanks, then "[".
    size_t header = std::string::npos;
    for (size_t pos = text.find("Zel"); pos != std::string::npos; pos = text.find("Zel", pos + 1)) {
        size_t k = pos + 3;
        if (text.compare(k, 7, "/System") == 0) k += 7;
        while (k < text.size() && (text[k] == ' ' || text[k] == '\t' || text[k] == '\n' || text[k] == '\r')) k++;
        if (k < text.size() && text[k] == '[') { header = pos; break; }
    }
    if (header == std::string::npos) {
        print_line("*** Error: Zel header not found!");
        return 1;
    }
    // The script runs with its own folder as the current folder.
    size_t slash = opt.script.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        std::string dir = opt.script.substr(0, slash);
        if (chdir(dir.c_str()) != 0) {
            print_line("*** Access Error: cannot open: %" + dir + "/");
            return 1;
        }
    }
    collector::RootedCell code;
    if (!try_load(std::string_view(text).substr(header), &code)) {
        print_line(formed_error(&code));
        return 1;
    }
    const Cell* head = block::head(&code);
    if (block::length(&code) < 2 || type_of(head) != TYPE_WORD || symbol::spelling(word_symbol(head)) != "Zel" ||
        type_of(head + 1) != TYPE_BLOCK) {
        print_line("*** Error: not a Zel program!");
        return 1;
    }
    set_series_head(&code, series_head(&code) + 2);
    collector::RootedCell result;
    int status = 0;
    if (try_eval(&code, &result) == Outcome::Error) {
        print_line(formed_error(&result));
        status = 1;
    }
    if (opt.catch_mode) return run_loop(false);
    return status;
}

int run_loop(bool banner) {
    bool tty = interactive();
    if (banner && tty) {
        print_line("--== Zel 0.1.0 ==--");
        print_line("Type HELP for starting information.\n");
    }
    std::string buffer;
    std::string line;
    char open = 0;
    for (;;) {
        if (tty) {
            std::string prompt = open ? std::string(1, open) + "    " : ">> ";
            std::fputs(prompt.c_str(), stdout);
            std::fflush(stdout);
        }
        if (!std::getline(std::cin, line)) break;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!open && line.empty()) continue;
        if (!line.empty() && line.back() == '\x1b') {
            buffer.clear();
            open = 0;
            print_line("(escape)");
            continue;
        }
        buffer += line;
        buffer += '\n';
        open = open_delimiter(buffer);
        if (open) continue;
        do_command(buffer);
        buffer.clear();
    }
    if (tty) std::fputs("\n", stdout);
    // Input that ended inside an open construct is reported as the lexer reports it.
    if (!buffer.empty() && !do_command(buffer)) return 1;
    return 0;
}

}  // namespace zel::console
