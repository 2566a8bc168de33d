// Error values: making, raising and forming (see error.h).
#include "core/error.h"

#include <cstdio>
#include <cstdlib>

#include "core/actions.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/interpreter.h"
#include "core/object.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/tracer.h"
#include "core/word.h"
#include "datatypes/series/block.h"
#include "datatypes/series/cycle_stack.h"
#include "datatypes/series/string.h"

namespace zel::error {

Cell current_position;

namespace {

using memory::buf;

struct CatalogEntry {
    const char* category;
    const char* id;
    int32_t category_index = -1;   // position in system/catalog/errors
    int32_t id_index = -1;         // position of the id in its category object (code = +2)
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
Cell* object_field_at(const Cell* o, uint32_t k) { return context::values(o->d1) + k; }
uint32_t object_field_symbol(const Cell* o, uint32_t k) { return word_symbol(context::word_at(o->d1, k)); }
uint32_t object_fields(const Cell* o) { return context::word_count(o->d1); }

// Finds the field position of a symbol in an object (case-insensitive), -1 when absent.
int32_t field_position(const Cell* o, uint32_t s) {
    uint32_t n = object_fields(o);
    for (uint32_t k = 0; k < n; k++)
        if (symbol::same_canonical(object_field_symbol(o, k), s)) return int32_t(k);
    return -1;
}

[[noreturn]] void early_failure(Id id) {
    std::fprintf(stderr, "*** Start-up error: %s/%s raised before the error catalog exists\n",
                 entries[id].category, entries[id].id);
    std::exit(1);
}

void new_error_object(Cell* out) {
    uint32_t ctx = context::duplicate(prototype.d1);
    object::wrap(out, ctx, error_class, TYPE_ERROR);
}

// The word of a catalog member, bound to its object.
void member_word(Cell* out, const Cell* o, uint32_t k) {
    *out = *context::word_at(o->d1, k);
    out->header = TYPE_WORD;
}

void fill_ids(Cell* err, int32_t cat_index, int32_t id_index) {
    Cell* cat = object_field_at(&catalog, uint32_t(cat_index));
    Cell type_word, id_word;
    member_word(&type_word, &catalog, uint32_t(cat_index));
    member_word(&id_word, cat, uint32_t(id_index + 2));
    set_integer(field(err, F_CODE), cat_index * 100 + id_index);
    *field(err, F_TYPE) = type_word;
    *field(err, F_ID) = id_word;
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
    Cell* cat = object::field(system, symbol::intern("catalog"));
    if (!cat || type_of(cat) != TYPE_OBJECT) return;
    Cell* errors = object::field(cat, symbol::intern("errors"));
    if (!errors || type_of(errors) != TYPE_OBJECT) return;
    catalog = *errors;
    for (auto& e : entries) {
        e.category_index = field_position(&catalog, symbol::intern(e.category));
        if (e.category_index < 0) continue;
        Cell* c = object_field_at(&catalog, uint32_t(e.category_index));
        int32_t pos = field_position(c, symbol::intern(e.id));
        e.id_index = pos < 2 ? -1 : pos - 2;
        if (e.id_index < 0) {
            std::fprintf(stderr, "*** Start-up error: the catalog has no %s/%s\n", e.category, e.id);
            std::exit(1);
        }
    }
    ready = true;
}

bool catalog_ready() { return ready; }

Cell* field(const Cell* err, Field f) { return context::values(err->d1) + f; }

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

[[noreturn]] static void throw_error(Cell* err) {
    if (stack::ftop > stack::fbottom) {
        if (type_of(field(err, F_WHERE)) == TYPE_NONE) stack::calling_word(field(err, F_WHERE));
        if (type_of(field(err, F_STACK)) != TYPE_BLOCK) set_integer(field(err, F_STACK), int32_t(stack::frame_depth()));
    }
    stack::unwind_value = *err;
    stack::pending = stack::LEVEL_ERROR;
    throw stack::Unwind{};
}

void raise(Id id, const Cell* a1, const Cell* a2, const Cell* a3) {
    Cell err;
    make(&err, id, a1, a2, a3);
    if (tracer::active) {
        collector::RootGuard keep(&err);
        tracer::send(tracer::EV_ERROR, nullptr, -1, &err, nullptr);
    }
    throw_error(&err);
}

void raise_value(const Cell* err) {
    Cell e = *err;
    throw_error(&e);
}

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

void make_from_spec(Cell* out, const Cell* spec) {
    Cell err;
    new_error_object(&err);
    collector::RootGuard keep(&err);
    uint32_t t = type_of(spec);
    if (t == TYPE_INTEGER) {
        int32_t code = int_value(spec);
        int32_t cat = code / 100, id = code % 100;
        if (code < 0 || uint32_t(cat) >= object_fields(&catalog)) raise(ERR_SCRIPT_OUT_OF_RANGE, spec);
        Cell* category = object_field_at(&catalog, uint32_t(cat));
        if (type_of(category) != TYPE_OBJECT || uint32_t(id + 2) >= object_fields(category))
            raise(ERR_SCRIPT_OUT_OF_RANGE, spec);
        fill_ids(&err, cat, id);
    } else if (t == TYPE_STRING) {
        int32_t cat = field_position(&catalog, symbol::intern("user"));
        fill_ids(&err, cat, 0);
        *field(&err, F_ARG1) = *spec;
    } else if (t == TYPE_BLOCK) {
        const Cell* first = block::head(spec);
        if (block::length(spec) > 0 && type_of(first) == TYPE_SET_WORD) {
            Cell body = *spec;
            context::bind_block(series_node(&body), series_head(&body), err.d1, true);
            interp::eval_block(&body, false);
            stack::drop(1);
        } else if (block::length(spec) > 0 && type_of(first) == TYPE_WORD) {
            *field(&err, F_TYPE) = first[0];
            if (block::length(spec) > 1) *field(&err, F_ID) = first[1];
            else set_none(field(&err, F_ID));
        } else {
            raise(ERR_INTERNAL_INVALID_ERROR);
        }
        // Check and encode type and id.
        Cell type_w = *field(&err, F_TYPE), id_w = *field(&err, F_ID);
        Cell type_name, id_name;
        word::make_global(&type_name, TYPE_WORD, "type");
        word::make_global(&id_name, TYPE_WORD, "id");
        if (!is_any_word_type(type_of(&type_w))) raise(ERR_SCRIPT_INVALID_SPEC_FIELD, &type_name);
        int32_t cat = field_position(&catalog, word_symbol(&type_w));
        if (cat < 0) raise(ERR_SCRIPT_INVALID_SPEC_FIELD, &type_name);
        Cell* category = object_field_at(&catalog, uint32_t(cat));
        if (type_of(&id_w) != TYPE_NONE && !is_any_word_type(type_of(&id_w))) raise(ERR_SCRIPT_INVALID_ARG, &id_w);
        int32_t pos = is_any_word_type(type_of(&id_w)) ? field_position(category, word_symbol(&id_w)) : -1;
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

void append_limited_mold(uint32_t out, const Cell* v, bool formed, int32_t limit) {
    uint32_t tmp = string::new_node(16);
    if (formed) actions::form_into(v, tmp, limit);
    else actions::mold_into(v, tmp, false, false, true, limit);
    string::truncate(tmp, uint32_t(limit));
    string::append_range(out, tmp, 0, memory::buf(tmp)->length());
}

}  // namespace

void form(const Cell* err_in, uint32_t out) {
    Cell err = *err_in;
    collector::RootGuard keep(&err);
    string::append_ascii(out, "*** ");
    // Find the category and the message; a malformed error is re-described.
    Cell type_w = *field(&err, F_TYPE), id_w = *field(&err, F_ID);
    int32_t cat = -1, pos = -1;
    Cell* category = nullptr;
    if (ready && is_any_word_type(type_of(&type_w))) {
        cat = field_position(&catalog, word_symbol(&type_w));
        if (cat >= 0) {
            category = object_field_at(&catalog, uint32_t(cat));
            if (type_of(category) == TYPE_OBJECT && is_any_word_type(type_of(&id_w)))
                pos = field_position(category, word_symbol(&id_w));
        }
    }
    Cell message;
    set_none(&message);
    if (cat >= 0 && pos >= 2) message = *object_field_at(category, uint32_t(pos));
    if (type_of(&message) == TYPE_WORD) {
        int32_t fp = field_position(&err, word_symbol(&message));
        if (fp >= 0) message = *object_field_at(&err, uint32_t(fp));
    }
    if (pos < 2 || (type_of(&message) != TYPE_STRING && type_of(&message) != TYPE_BLOCK)) {
        Cell offending = (cat < 0) ? type_w : (pos < 2 ? id_w : type_w);
        *field(&err, F_ARG1) = offending;
        cat = field_position(&catalog, symbol::intern("internal"));
        category = object_field_at(&catalog, uint32_t(cat));
        pos = field_position(category, symbol::intern("invalid-error"));
        message = *object_field_at(category, uint32_t(pos));
    }
    bool syntax = symbol::same_canonical(object_field_symbol(&catalog, uint32_t(cat)), symbol::intern("syntax"));
    Cell title = *object_field_at(category, 1);
    if (type_of(&title) == TYPE_STRING) string::append_range(out, series_node(&title), uint32_t(series_head(&title)),
                                                          memory::buf(series_node(&title))->length());
    string::append_ascii(out, ": ");
    if (type_of(&message) == TYPE_STRING) {
        string::append_range(out, series_node(&message), uint32_t(series_head(&message)),
                             memory::buf(series_node(&message))->length());
    } else {
        uint32_t mn = series_node(&message);
        bool first = true;
        for (uint32_t i = uint32_t(series_head(&message)); i < memory::buf(mn)->length(); i++) {
            Cell el = memory::buf(mn)->cells()[i];
            if (!first) string::append_char(out, ' ');
            first = false;
            if (type_of(&el) == TYPE_STRING) {
                string::append_range(out, series_node(&el), uint32_t(series_head(&el)),
                                     memory::buf(series_node(&el))->length());
            } else if (is_any_word_type(type_of(&el))) {
                int32_t fp = field_position(&err, word_symbol(&el));
                Cell v;
                if (fp >= 0) v = *object_field_at(&err, uint32_t(fp)); else set_none(&v);
                append_limited_mold(out, &v, syntax, 80);
            }
        }
    }
    string::append_ascii(out, "\n*** Where: ");
    Cell where = *field(&err, F_WHERE);
    if (is_any_word_type(type_of(&where))) string::append_utf8(out, symbol::spelling(word_symbol(&where)));
    else if (type_of(&where) == TYPE_STRING) string::append_range(out, series_node(&where), uint32_t(series_head(&where)), memory::buf(series_node(&where))->length());
    else string::append_ascii(out, "???");
    string::append_ascii(out, "\n*** Near : ");
    Cell near = *field(&err, F_NEAR);
    uint32_t tmp = string::new_node(16);
    actions::mold_into(&near, tmp, true, false, true, 40);
    string::truncate(tmp, 40);
    string::append_range(out, tmp, 0, memory::buf(tmp)->length());
    Cell files = *field(&err, F_FILES);
    if (type_of(&files) == TYPE_BLOCK) {
        string::append_ascii(out, "\n*** Files: ");
        append_limited_mold(out, &files, false, 40);
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

}  // namespace zel::error
