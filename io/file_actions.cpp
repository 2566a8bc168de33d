// The file! and url! actions that reach the OS services: read, write, delete, rename and query
// of files and directories, HTTP reads and writes, and ports for other url! schemes.
#include <string>

#include "core/actions.h"
#include "core/collector.h"
#include "core/error.h"
#include "core/interpreter.h"
#include "core/object.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "io/http.h"
#include "io/os_services.h"
#include "io/port.h"
#include "io/simple_io.h"

namespace zel::os_services {

namespace {

[[noreturn]] void not_done() { error::raise(error::ERR_INTERNAL_NOT_DONE); }

// `url/open-port` without opening: the parts of a copy of the url, as the language-level
// `url-parser/parse-url` gives them, make the port's spec; the parser's result must be an
// object!. While no url parser is defined, the spec holds the scheme (the text before the
// url's first ":") and the url as its ref.
void open_port(Cell* out, const Cell* url) {
    std::string text = string::to_utf8(url);
    const Cell* parser = word::global_value("url-parser");
    const Cell* parse = parser && type_of(parser) == TYPE_OBJECT ? object::field(parser, symbol::intern("parse-url"))
                                                               : nullptr;
    if (parse && is_any_function_type(type_of(parse))) {
        Cell fn = *parse;
        collector::RootGuard keep_fn(&fn);
        Cell* first = stack::push();
        string::from_utf8(first, text, TYPE_URL);
        interp::call_with_args(&fn, symbol::intern("parse-url"), first, 1);
        Cell parts = *(stack::top - 1);
        collector::RootGuard keep_parts(&parts);
        if (type_of(&parts) != TYPE_OBJECT) error::raise(error::ERR_SCRIPT_INVALID_ARG, url);
        port::make(out, &parts);
        return;
    }
    size_t colon = text.find(':');
    Cell* spec = stack::push();
    block::init_cell(spec, 4);
    uint32_t node = series_node(spec);
    Cell c;
    if (colon != std::string::npos && colon > 0) {
        word::make_global(&c, TYPE_SET_WORD, "scheme");
        block::append(node, &c);
        word::make_global(&c, TYPE_LIT_WORD, text.substr(0, colon));
        block::append(node, &c);
    }
    word::make_global(&c, TYPE_SET_WORD, "ref");
    block::append(node, &c);
    block::append(node, url);
    port::make(out, spec);
}

// ---- file! ----

void file_read(Cell* out, Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool, Cell* as) {
    if (as) not_done();
    Cell r;
    simple_io::read(&r, source, part, seek, binary, lines);
    *source = r;
    *out = *source;
}

void file_write(Cell* out, Cell* dest, Cell* data, bool, bool lines, bool, bool append, Cell* part, Cell* seek, Cell* allow, Cell* as) {
    if (allow || as) not_done();
    simple_io::write(dest, data, part, seek, append, lines);
    set_unset(dest);
    *out = *dest;
}

void file_delete(Cell* out, Cell* file) {
    set_logic(file, simple_io::delete_path(file));
    *out = *file;
}

void file_rename(Cell* out, Cell* from, Cell* to) {
    set_logic(from, simple_io::rename(from, to));
    *out = *from;
}

void file_query(Cell* out, Cell* file) {
    Cell r;
    simple_io::query(&r, file);
    *file = r;
    *out = *file;
}

// ---- url! ----

void url_read(Cell* out, Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as) {
    if (http::is_http_url(source)) {
        if (part || seek || as) not_done();
        Cell r;
        if (!http::request(&r, "get", source, nullptr, nullptr, binary, lines, info))
            error::raise(error::ERR_ACCESS_NO_CONNECT, source);
        *source = r;
        *out = *source; return;
    }
    Cell* p = stack::push();
    open_port(p, source);
    Cell r;
    port::read(&r, p, part);
    *source = r;
    *out = *source;
}

void url_write(Cell* out, Cell* dest, Cell* value, bool binary, bool lines, bool info, bool, Cell*, Cell* seek, Cell* allow, Cell* as) {
    if (!http::is_http_url(dest)) {
        Cell* p = stack::push();
        open_port(p, dest);
        Cell r;
        port::write(&r, p, value);
        *dest = r;
        *out = *dest; return;
    }
    if (seek || allow || as) not_done();
    std::string method = "post";
    const Cell* headers = nullptr;
    const Cell* data = value;
    if (type_of(value) == TYPE_BLOCK) {
        int32_t n = block::length(value);
        const Cell* v = block::head(value);
        if (n == 0) {
            method = "get";
        } else {
            if (type_of(v) != TYPE_WORD) error::raise(error::ERR_SCRIPT_INVALID_ARG, v);
            method = std::string(symbol::spelling(word_symbol(v)));
            if (n > 1 && type_of(v + 1) != TYPE_BLOCK) error::raise(error::ERR_SCRIPT_INVALID_ARG, v + 1);
            headers = n > 1 ? v + 1 : nullptr;
            data = n > 2 ? v + 2 : nullptr;
        }
    }
    if (data && type_of(data) != TYPE_BLOCK && type_of(data) != TYPE_STRING && type_of(data) != TYPE_BINARY)
        error::raise(error::ERR_SCRIPT_INVALID_ARG, data);
    Cell r;
    if (!http::request(&r, method, dest, headers, data, binary, lines, info))
        error::raise(error::ERR_ACCESS_NO_CONNECT, dest);
    *dest = r;
    *out = *dest;
}

void url_open(Cell* out, Cell* url, bool new_, bool read, bool write, bool seek, Cell* allow) {
    Cell* p = stack::push();
    open_port(p, url);
    // open on the port itself goes to its actor, with the refinements as flags.
    uint32_t pi = stack::index_of(p);
    Cell args[7];
    args[0] = *p;
    set_logic(&args[1], new_);
    set_logic(&args[2], read);
    set_logic(&args[3], write);
    set_logic(&args[4], seek);
    set_logic(&args[5], allow != nullptr);
    if (allow) args[6] = *allow;
    else set_none(&args[6]);
    Cell* first = stack::top;
    for (Cell& a : args) stack::push_copy(&a);
    const Cell* actor = object::field(first, symbol::intern("actor"));
    const Cell* fn = actor && type_of(actor) == TYPE_OBJECT ? object::field(actor, symbol::intern("open")) : nullptr;
    if (!fn || !is_any_function_type(type_of(fn))) error::raise(error::ERR_ACCESS_NO_PORT_ACTION);
    Cell f = *fn;
    collector::RootGuard keep(&f);
    interp::call_with_args(&f, symbol::intern("open"), first, 7);
    *url = *stack::at_index(pi);
    *out = *url;
}

template <typename Fn>
void put(uint32_t type, int action, Fn fn) {
    actions::table[type][action] = reinterpret_cast<actions::Handler>(fn);
}

}  // namespace

void init() {
    port::init();
    for (uint32_t t : {uint32_t(TYPE_FILE), uint32_t(TYPE_URL)}) {
        put(t, ACT_READ, t == TYPE_FILE ? file_read : url_read);
        put(t, ACT_WRITE, t == TYPE_FILE ? file_write : url_write);
    }
    put(TYPE_FILE, ACT_DELETE, file_delete);
    put(TYPE_FILE, ACT_RENAME, file_rename);
    put(TYPE_FILE, ACT_QUERY, file_query);
    put(TYPE_URL, ACT_OPEN, url_open);
}

}  // namespace zel::os_services
