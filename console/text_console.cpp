// The text console (see text_console.h).
#include "console/text_console.h"

#include <cstdio>
#include <string>

#include "api/zel.h"

namespace zel::console {

namespace {

// One line of the standard input without its line end; false at the end of the input. Read
// through C's stdio: the C++ streams would cost every start their set-up.
bool read_line(std::string& line) {
    line.clear();
    for (int c; (c = std::getchar()) != EOF;) {
        if (c == '\n') return true;
        line += char(c);
    }
    return !line.empty();
}

// Prints through the print hooks, as print does.
void print_line(std::string_view text) { api::print(text, true); }

// The result line: "== " and the molded value (a float formed), cut to the console's width.
void print_result(const api::Value& value) {
    std::string text;
    int32_t limit = api::terminal_columns() - 3;
    bool ok = api::type_name(value) == "float!" ? api::form(value, text, limit) : api::mold(value, text, limit);
    print_line(ok ? "== " + text : text);
}

// Evaluates one complete input and prints its result or error. False when the input did
// not load.
bool do_command(const std::string& input) {
    api::Value code;
    if (!api::load(input, code)) {
        print_line(api::form_error(code));
        return false;
    }
    api::Value result;
    switch (api::evaluate(code, result)) {
        case api::Outcome::Error:
            print_line(api::form_error(result) + "\n");
            break;
        case api::Outcome::Value:
            if (!api::is_unset(result)) print_result(result);
            break;
        case api::Outcome::Nothing:
            break;
    }
    return true;
}

int run_script_text(const Options& opt, const std::string& text);

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

void publish_arguments(const Options& opt, bool any_arguments) {
    api::CommandLine line;
    line.args = opt.args;
    line.any_arguments = any_arguments;
    line.script = opt.script;
    api::publish_command_line(line);
}

int run_script(const Options& opt) {
    std::string text;
    if (!api::read_file(opt.script, text)) {
        print_line("*** Access Error: cannot open: %" + opt.script);
        // With --catch the console opens as if no script had been named.
        return opt.catch_mode ? run_loop(true) : 1;
    }
    int status = run_script_text(opt, text);
    // With --catch the console stays open whatever the script did.
    return opt.catch_mode ? run_loop(false) : status;
}

namespace {

// Runs a script's text: finds its header, moves to its folder, loads and evaluates it.
// Returns the exit status a script run ends with.
int run_script_text(const Options& opt, const std::string& text) {
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
    if (slash != std::string::npos) {
        std::string dir = slash == 0 ? std::string("/") : opt.script.substr(0, slash);
        if (!api::change_dir(dir)) {
            print_line("*** Access Error: cannot open: %" + dir + "/");
            return 1;
        }
    }
    api::Value code;
    if (!api::load(std::string_view(text).substr(header), code)) {
        print_line(api::form_error(code));
        return 1;
    }
    api::Value body;
    if (!api::script_body(code, body)) {
        bool system_code = text.find("Zel/System") != std::string::npos;
        print_line(system_code ? "*** Error: contains Zel/System code which requires compilation!"
                               : "*** Error: not a Zel program!");
        return 1;
    }
    api::Value result;
    if (api::evaluate(body, result) == api::Outcome::Error) {
        print_line(api::form_error(result));
        return 1;
    }
    return 0;
}

}  // namespace

int run_loop(bool banner) {
    bool tty = api::input_is_terminal();
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
            api::write_stdout(prompt);
        }
        if (!read_line(line)) break;
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
        open = api::open_delimiter(buffer);
        if (open) continue;
        do_command(buffer);
        buffer.clear();
    }
    if (tty) api::write_stdout("\n");
    // Input that ended inside an open construct is reported as the lexer reports it.
    if (!buffer.empty() && !do_command(buffer)) return 1;
    return 0;
}

}  // namespace zel::console
