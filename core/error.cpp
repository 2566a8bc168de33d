// Error values: making, raising, recording the call stack, forming and reporting (see
// error.h).
#include "core/error.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/actions.h"
#include "core/callable.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/interpreter.h"
#include "core/object.h"
#include "core/print_hooks.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/tracer.h"
#include "core/word.h"
#include "core/block.h"
#include "core/block_ops.h"
#include "core/cycle_stack.h"
#include "core/text.h"
#include "platform/console_io.h"

namespace zel::error {

Cell current_position;

namespace {

using memory::buf;

struct CatalogEntry {
    const char* category;
    const char* id;
    int32_t category_index = -1;   // position in system/catalog/errors
    int32_t id_index = -1;         // position of the id in its category object, minus 2
};

CatalogEntry entries[ERR_COUNT] = {
#define ZEL_ERROR(c, cat, id) {cat, id},
#include "core/errors.def"
#undef ZEL_ERROR
};

Cell prototype;     // the error prototype object: ten fields, all none
Cell catalog;       // system/catalog/errors
bool ready = false;
int32_t error_class = 0;

const char* const field_names[FIELD_COUNT] = {"code", "type", "id", "arg1", "arg2", "arg3",
                                              "near", "where", "stack", "files"};

// Field k (0-based, in word-list order) of an object, by position.
Cell* object_field_at(const Cell* o, uint32_t k) { return context::values(object_ctx(o)) + k; }
uint32_t object_field_symbol(const Cell* o, uint32_t k) { return word_symbol(context::word_at(object_ctx(o), k)); }
uint32_t object_fields(const Cell* o) { return context::word_count(object_ctx(o)); }

// The field position of a symbol in an object (case-insensitive), -1 when absent.
int32_t field_position(const Cell* o, uint32_t s) {
    uint32_t n = object_fields(o);
    for (uint32_t k = 0; k < n; k++)
        if (symbol::same_canonical(object_field_symbol(o, k), s)) return int32_t(k);
    return -1;
}

// The category object at a position of the catalog, nullptr when it is not an object.
Cell* category_at(int32_t cat) {
    if (cat < 0 || uint32_t(cat) >= object_fields(&catalog)) return nullptr;
    Cell* c = object_field_at(&catalog, uint32_t(cat));
    return type_of(c) == TYPE_OBJECT ? c : nullptr;
}

[[noreturn]] void early_failure(Id id) {
    platform::write_stderr(std::string("*** Start-up error: ") + entries[id].category + "/" + entries[id].id +
                           " raised before the error catalog exists\n");
    std::exit(1);
}

void new_error_object(Cell* out) {
    uint32_t ctx = context::duplicate(object_ctx(&prototype));
    object::wrap(out, ctx, error_class, TYPE_ERROR);
}

// The word of a catalog member, bound to its object.
void member_word(Cell* out, const Cell* o, uint32_t k) {
    *out = *context::word_at(object_ctx(o), k);
    out->header = TYPE_WORD;
}

// Stores code, type and id of the catalog's category cat_index, id id_index.
void fill_ids(const Cell* err, int32_t cat_index, int32_t id_index) {
    Cell* cat = object_field_at(&catalog, uint32_t(cat_index));
    Cell type_word, id_word;
    member_word(&type_word, &catalog, uint32_t(cat_index));
    member_word(&id_word, cat, uint32_t(id_index + 2));
    set_integer(field(err, F_CODE), cat_index * 100 + id_index);
    *field(err, F_TYPE) = type_word;
    *field(err, F_ID) = id_word;
}

// A member of system/state, or nullptr.
const Cell* system_state(SymId member) {
    const Cell* system = word::global_value("system");
    if (!system || type_of(system) != TYPE_OBJECT) return nullptr;
    const Cell* state = object::field(system, sym(SYM_STATE));
    if (!state || type_of(state) != TYPE_OBJECT) return nullptr;
    return object::field(state, sym(member));
}

// system/state/stack-trace when it is a positive integer, else 0 (stack recording is off).
int32_t stack_trace_level() {
    const Cell* level = system_state(SYM_STACK_TRACE);
    if (!level || type_of(level) != TYPE_INTEGER || int_value(level) <= 0) return 0;
    return int_value(level);
}

// Replaces the frame position in the error's stack field with the block of calling words up
// to that frame, at the given level; keeps the source files in files.
void record_stack_at(const Cell* err, int32_t level) {
    Cell* stack_field = field(err, F_STACK);
    if (type_of(stack_field) != TYPE_INTEGER) return;
    int32_t end = int_value(stack_field);
    Cell trace;
    block::init_cell(&trace, 8);
    collector::RootGuard keep(&trace);
    // Only frames still in place are read (append_stack_trace stops at the frame top): a
    // record above it may name a context that is gone.
    stack::append_stack_trace(series_node(&trace), level, uint32_t(end < 0 ? 0 : end));
    *field(err, F_STACK) = trace;
    const Cell* files = system_state(SYM_SOURCE_FILES);
    if (files && type_of(files) == TYPE_BLOCK && block::length(files) > 0) {
        Cell copy;
        block_ops::copy_deep(&copy, files);
        *field(err, F_FILES) = copy;
    }
}

// Fills in where, the frame position and (when stack recording is on) the call stack, then
// unwinds. near is filled in when the error has none.
[[noreturn]] void throw_error(const Cell* err_in, bool record) {
    Cell err = *err_in;
    collector::RootGuard keep(&err);
    if (type_of(field(&err, F_NEAR)) == TYPE_NONE && type_of(&current_position) != TYPE_UNSET)
        *field(&err, F_NEAR) = current_position;
    if (stack::ftop > stack::fbottom) {
        if (type_of(field(&err, F_WHERE)) == TYPE_NONE) stack::calling_word(field(&err, F_WHERE));
        if (type_of(field(&err, F_STACK)) != TYPE_BLOCK) {
            set_integer(field(&err, F_STACK), int32_t(stack::frame_depth()));
            if (record) {
                if (int32_t level = stack_trace_level()) record_stack_at(&err, level);
            }
        }
    }
    stack::unwind_value = err;
    stack::pending = stack::LEVEL_ERROR;
    throw stack::Unwind{};
}

}  // namespace

void init() {
    // The prototype: a context of ten none fields.
    uint32_t ctx = context::allocate(FIELD_COUNT, false, true, context::KIND_OBJECT);
    for (int k = 0; k < FIELD_COUNT; k++) {
        int32_t i = context::add_word(ctx, symbol::intern(field_names[k]));
        set_none(context::value_at(ctx, i));
    }
    error_class = object::next_class_id();
    object::wrap(&prototype, ctx, error_class, TYPE_OBJECT);
    set_unset(&catalog);
    set_unset(&current_position);
    collector::register_static_cell(&prototype);
    collector::register_static_cell(&catalog);
    collector::register_static_cell(&current_position);
}

void resolve_catalog() {
    Cell* system = word::global_value("system");
    if (!system || type_of(system) != TYPE_OBJECT) return;
    Cell* cat = object::field(system, sym(SYM_CATALOG));
    if (!cat || type_of(cat) != TYPE_OBJECT) return;
    Cell* errors = object::field(cat, sym(SYM_ERRORS));
    if (!errors || type_of(errors) != TYPE_OBJECT) return;
    catalog = *errors;
    // The catalog's objects hold each word once: its slot, found through the context's hash
    // table, is its field position; a slot that does not hold the word falls back to the scan.
    auto position = [](const Cell* o, uint32_t s) {
        int32_t k = context::index_of(object_ctx(o), s, true);
        if (k >= 0 && uint32_t(k) < object_fields(o) && symbol::same_canonical(object_field_symbol(o, uint32_t(k)), s))
            return k;
        return field_position(o, s);
    };
    const char* last_category = nullptr;
    int32_t category_index = -1;
    for (auto& e : entries) {
        if (!last_category || std::strcmp(last_category, e.category) != 0) {
            last_category = e.category;
            category_index = position(&catalog, symbol::intern(e.category));
        }
        e.category_index = category_index;
        Cell* c = category_at(e.category_index);
        int32_t pos = c ? position(c, symbol::intern(e.id)) : -1;
        e.id_index = pos < 2 ? -1 : pos - 2;
        if (e.id_index < 0) {
            platform::write_stderr(std::string("*** Start-up error: the catalog has no ") + e.category + "/" + e.id + "\n");
            std::exit(1);
        }
    }
    ready = true;
}

bool catalog_ready() { return ready; }

Cell* field(const Cell* err, Field f) { return context::values(object_ctx(err)) + f; }

uint32_t id_symbol(const Cell* err) {
    const Cell* t = field(err, F_ID);
    return is_any_word_type(type_of(t)) ? word_symbol(t) : 0;
}

void make(Cell* out, Id id, const Cell* a1, const Cell* a2, const Cell* a3) {
    if (!ready) early_failure(id);
    Cell err;
    new_error_object(&err);
    collector::RootGuard keep(&err);
    fill_ids(&err, entries[id].category_index, entries[id].id_index);
    if (a1) *field(&err, F_ARG1) = *a1;
    if (a2) *field(&err, F_ARG2) = *a2;
    if (a3) *field(&err, F_ARG3) = *a3;
    if (type_of(&current_position) != TYPE_UNSET) *field(&err, F_NEAR) = current_position;
    *out = err;
}

void raise(Id id, const Cell* a1, const Cell* a2, const Cell* a3) {
    Cell err;
    make(&err, id, a1, a2, a3);
    collector::RootGuard keep(&err);
    if (tracer::active) tracer::send(tracer::EV_ERROR, nullptr, -1, &err, nullptr);
    // Recording allocates: when memory ran out, the error goes without its call stack.
    throw_error(&err, id != ERR_INTERNAL_NO_MEMORY);
}

void raise_value(const Cell* err) { throw_error(err, true); }

void raise_type(Id id, uint32_t type, const Cell* a2, const Cell* a3) {
    Cell dt;
    set_datatype(&dt, type);
    raise(id, &dt, a2, a3);
}

void raise_expect_arg(const Cell* calling_word, uint32_t value_type, const Cell* arg_word) {
    Cell dt;
    set_datatype(&dt, value_type);
    raise(ERR_SCRIPT_EXPECT_ARG, calling_word, &dt, arg_word);
}

void raise_expect_arg_n(const Cell* calling_word, const Cell* fn, int32_t n, uint32_t value_type) {
    Cell arg_word;
    set_none(&arg_word);
    if (fn && is_any_function_type(type_of(fn))) {
        Cell f = *fn;
        // An op! keeps its source's type in its header; its spec is the source's.
        if (type_of(&f) == TYPE_OP) f.header = op_source_type(&f);
        callable::argument_word(&arg_word, &f, n);
    }
    raise_expect_arg(calling_word, value_type, &arg_word);
}

void raise_expect_arg_n(int32_t n, uint32_t value_type) {
    Cell calling;
    stack::calling_word(&calling);
    raise_expect_arg_n(&calling, word::value_or_null(&calling), n, value_type);
}

void record_stack(const Cell* err) {
    int32_t level = stack_trace_level();
    record_stack_at(err, level > 0 ? level : 1);
}

void report(Id id, const Cell* a1, const Cell* a2, const Cell* a3) {
    stack::open_frame(sym(SYM_BODY), 0, stack::FRAME_NATIVE);
    Cell* result = stack::push_unset();
    Cell err;
    make(&err, id, a1, a2, a3);
    collector::RootGuard keep(&err);
    print_hooks::call_print(form_to_utf8(&err), true);
    set_unset(result);
    stack::close_frame_keep();
}

void make_from_spec(Cell* out, const Cell* spec) {
    Cell err;
    new_error_object(&err);
    collector::RootGuard keep(&err);
    uint32_t t = type_of(spec);
    if (t == TYPE_INTEGER) {
        int32_t code = int_value(spec);
        int32_t cat = code / 100, id = code % 100;
        Cell* category = code < 0 ? nullptr : category_at(cat);
        if (!category || uint32_t(id + 2) >= object_fields(category)) raise(ERR_SCRIPT_OUT_OF_RANGE, spec);
        fill_ids(&err, cat, id);
    } else if (t == TYPE_STRING) {
        fill_ids(&err, entries[ERR_USER_MESSAGE].category_index, 0);
        *field(&err, F_ARG1) = *spec;
    } else if (t == TYPE_BLOCK) {
        Cell body = *spec;
        collector::RootGuard keep_body(&body);
        int32_t length = block::length(&body);
        uint32_t first_type = length > 0 ? type_of(block::head(&body)) : TYPE_NONE;
        if (length > 0 && first_type == TYPE_SET_WORD) {
            context::bind_block(series_node(&body), series_head(&body), object_ctx(&err), true);
            interp::eval_block(&body, false);
            if (stack::unwinding()) {
                set_none(out);
                return;
            }
            stack::drop(1);
        } else if (length > 0 && first_type == TYPE_WORD) {
            const Cell* first = block::head(&body);
            *field(&err, F_TYPE) = first[0];
            if (length > 1) {
                if (type_of(&first[1]) != TYPE_WORD) {
                    Cell bad = first[1];
                    raise(ERR_SCRIPT_INVALID_ARG, &bad);
                }
                *field(&err, F_ID) = first[1];
            }
        } else {
            raise(ERR_INTERNAL_INVALID_ERROR);
        }
        // Check and encode type and id.
        Cell type_w = *field(&err, F_TYPE), id_w = *field(&err, F_ID);
        Cell type_name, id_name;
        runtime_words::make_word(&type_name, SYM_TYPE);
        runtime_words::make_word(&id_name, SYM_ID);
        int32_t cat = type_of(&type_w) == TYPE_WORD ? field_position(&catalog, word_symbol(&type_w)) : -1;
        Cell* category = category_at(cat);
        if (!category) raise(ERR_SCRIPT_INVALID_SPEC_FIELD, &type_name);
        int32_t pos = type_of(&id_w) == TYPE_WORD ? field_position(category, word_symbol(&id_w)) : -1;
        if (pos < 2) raise(ERR_SCRIPT_INVALID_SPEC_FIELD, &id_name);
        fill_ids(&err, cat, pos - 2);
    } else {
        Cell dt;
        set_datatype(&dt, TYPE_ERROR);
        raise(ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
    }
    *out = err;
}

// ---- forming ----

namespace {

void append_string_value(uint32_t out, const Cell* s) {
    int32_t head = series_head(s);
    string::append_range(out, series_node(s), uint32_t(head < 0 ? 0 : head), buf(series_node(s))->length());
}

// Appends the value formed (syntax errors) or molded flat, cut to limit characters (no cut
// when limit < 0). A value
// that cannot be written (an error raised while molding it) is written as its datatype, so
// that forming an error never fails.
void append_limited(uint32_t out, const Cell* v_in, bool formed, bool only, int32_t limit) {
    Cell v = *v_in;
    uint32_t node = string::new_node(16);
    Cell tmp;
    set_series(&tmp, TYPE_STRING, node);
    collector::RootGuard keep(&tmp);
    stack::Saved saved;
    try {
        // A datatype keeps its "!" also in a formed message: "invalid integer! at 1x".
        if (formed && type_of(&v) != TYPE_DATATYPE) actions::form_into(&v, node, limit);
        else actions::mold_into(&v, node, only, false, true, limit);
    } catch (stack::Unwind&) {
        stack::pending = stack::LEVEL_NONE;
        saved.restore();
        string::truncate(node, 0);
        Cell dt;
        set_datatype(&dt, type_of(&v));
        actions::mold_into(&dt, node, false, false, true, limit);
    }
    if (limit >= 0) string::truncate(node, uint32_t(limit));
    string::append_range(out, node, 0, buf(node)->length());
}

// Re-describes a malformed error: arg1 takes the offending value, type and id become
// internal and invalid-error.
void redescribe(const Cell* err, const Cell* offending) {
    Cell bad = *offending;
    *field(err, F_ARG1) = bad;
    fill_ids(err, entries[ERR_INTERNAL_INVALID_ERROR].category_index,
             entries[ERR_INTERNAL_INVALID_ERROR].id_index);
}

// The message template of the error's category and id; a malformed error is re-described
// first. Sets *cat to the category's position.
Cell find_message(const Cell* err, int32_t* cat) {
    Cell type_w = *field(err, F_TYPE), id_w = *field(err, F_ID);
    int32_t c = is_any_word_type(type_of(&type_w)) ? field_position(&catalog, word_symbol(&type_w)) : -1;
    Cell* category = category_at(c);
    int32_t pos = -1;
    if (category && is_any_word_type(type_of(&id_w))) pos = field_position(category, word_symbol(&id_w));
    if (!category || pos < 2) {
        redescribe(err, category ? &id_w : &type_w);
        c = entries[ERR_INTERNAL_INVALID_ERROR].category_index;
        category = category_at(c);
        pos = entries[ERR_INTERNAL_INVALID_ERROR].id_index + 2;
    }
    *cat = c;
    return *object_field_at(category, uint32_t(pos));
}

// The Stack line's text for a stack field that still holds a frame position: the calling
// words of the frames that are still in place, each followed by a space.
void append_frame_trace(uint32_t out, int32_t level, int32_t end) {
    Cell trace;
    block::init_cell(&trace, 8);
    collector::RootGuard keep(&trace);
    stack::append_stack_trace(series_node(&trace), level, uint32_t(end < 0 ? 0 : end));
    for (int32_t k = 0; k < block::length(&trace); k++) {
        Cell w = block::head(&trace)[k];
        actions::form_into(&w, out, -1);
        string::append_char(out, ' ');
    }
}

}  // namespace

void form(const Cell* err_in, uint32_t out) {
    Cell err = *err_in;
    collector::RootGuard keep(&err);
    if (!ready) {
        string::append_ascii(out, "*** Error: (no error catalog)");
        return;
    }
    string::append_ascii(out, "*** ");
    int32_t cat = -1;
    Cell message = find_message(&err, &cat);
    collector::RootGuard keep_message(&message);
    Cell* category = category_at(cat);
    Cell title = *object_field_at(category, 1);
    if (type_of(&title) == TYPE_STRING) append_string_value(out, &title);
    string::append_ascii(out, ": ");
    if (type_of(&message) == TYPE_WORD) {
        int32_t fp = field_position(&err, word_symbol(&message));
        if (fp >= 0) message = *object_field_at(&err, uint32_t(fp));
        else set_none(&message);
    }
    bool syntax = cat == entries[ERR_SYNTAX_INVALID].category_index;
    if (type_of(&message) == TYPE_STRING) {
        append_string_value(out, &message);
    } else if (type_of(&message) == TYPE_BLOCK) {
        uint32_t mn = series_node(&message);
        bool first = true;
        int32_t head = series_head(&message);
        for (uint32_t i = uint32_t(head < 0 ? 0 : head); i < buf(mn)->length(); i++) {
            Cell el = buf(mn)->cells()[i];
            bool is_text = type_of(&el) == TYPE_STRING;
            if (!is_text && !is_any_word_type(type_of(&el))) continue;
            if (!first) string::append_char(out, ' ');
            first = false;
            if (is_text) {
                append_string_value(out, &el);
                continue;
            }
            int32_t fp = field_position(&err, word_symbol(&el));
            Cell v;
            if (fp >= 0) v = *object_field_at(&err, uint32_t(fp));
            else set_none(&v);
            append_limited(out, &v, syntax, false, 80);
        }
    } else {
        // Nothing fits such a message: the error is re-described for its next forming.
        Cell type_w = *field(&err, F_TYPE);
        redescribe(&err, &type_w);
    }

    string::append_ascii(out, "\n*** Where: ");
    Cell where = *field(&err, F_WHERE);
    if (is_any_word_type(type_of(&where))) string::append_utf8(out, symbol::spelling(word_symbol(&where)));
    else if (type_of(&where) == TYPE_STRING) append_string_value(out, &where);
    else string::append_ascii(out, "???");

    string::append_ascii(out, "\n*** Near : ");
    Cell near = *field(&err, F_NEAR);
    append_limited(out, &near, false, true, 40);

    if (int32_t level = stack_trace_level()) {
        Cell stack_v = *field(&err, F_STACK);
        if (type_of(&stack_v) == TYPE_INTEGER) {
            string::append_ascii(out, "\n*** Stack: ");
            append_frame_trace(out, level, int_value(&stack_v));
        } else if (type_of(&stack_v) == TYPE_BLOCK) {
            string::append_ascii(out, "\n*** Stack: ");
            append_limited(out, &stack_v, true, false, -1);
        }
    }

    Cell files = *field(&err, F_FILES);
    if (type_of(&files) == TYPE_BLOCK) {
        string::append_ascii(out, "\n*** Files: ");
        append_limited(out, &files, false, true, 40);
    }
}

std::string form_to_utf8(const Cell* err) {
    uint32_t node = string::new_node(64);
    Cell s;
    set_series(&s, TYPE_STRING, node);
    collector::RootGuard keep(&s);
    form(err, node);
    return string::node_to_utf8(node);
}

void uncaught(const Cell* err_in) {
    std::fflush(stdout);
    std::string text;
    Cell err = *err_in;
    if (type_of(&err) == TYPE_ERROR) {
        stack::Saved saved;
        try {
            text = form_to_utf8(&err);
        } catch (stack::Unwind&) {
            stack::pending = stack::LEVEL_NONE;
            saved.restore();
            text = "*** Error: an error escaped every handler, and forming it failed";
        }
    } else {
        text = "*** Error: an unwinding escaped every handler";
    }
    text += '\n';
    platform::write_stderr(text);
    std::exit(UNCAUGHT_STATUS);
}

}  // namespace zel::error
