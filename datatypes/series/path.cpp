// paren! and the path family (path!, lit-path!, set-path!, get-path!): blocks with another
// type id. Their cells, buffers and most actions are block!'s; what differs is their text
// form, how they are made from numbers and other values, and which actions they refuse.
#include <string_view>

#include "core/actions.h"
#include "core/error.h"
#include "core/stack.h"
#include "datatypes/datatypes.h"
#include "core/block.h"
#include "core/block_ops.h"
#include "datatypes/series/block_handlers.h"
#include "core/cycle_stack.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"

namespace zel::path {

using memory::buf;

namespace {

// Writes the elements of a path from its head with "/" between them, each through its own
// mold (or form) action; stops before an element once a /part budget is spent.
int32_t walk(const Cell* path, uint32_t b, bool mold, bool only, bool all, bool flat, const Cell* part,
             int32_t limit) {
    uint32_t node = series_node(path);
    cycle::Scope scope(node);
    uint32_t h = series::clipped_head(path);
    for (uint32_t i = h; i < buf(node)->length(); i++) {
        if (part && limit < 1) break;
        if (i > h) limit = string::append_ascii_within(b, "/", limit);
        Cell v = buf(node)->cells()[i];
        if (mold) limit = actions::get<actions::MoldFn>(type_of(&v), ACT_MOLD)(&v, b, only, all, flat, part, limit, 0);
        else limit = actions::get<actions::FormFn>(type_of(&v), ACT_FORM)(&v, b, part, limit);
    }
    return limit;
}

// `path/mold` and the molds of lit-path! ('a/b), get-path! (:a/b) and set-path! (a/b:).
int32_t mold(const Cell* v, uint32_t b, bool only, bool all, bool flat, const Cell* part, int32_t limit,
          int32_t) {
    Cell p = *v;
    if (cycle::emit_marker(&p, b, limit, true)) return limit;
    uint32_t t = type_of(&p);
    if (t == TYPE_LIT_PATH) limit = string::append_ascii_within(b, "'", limit);
    else if (t == TYPE_GET_PATH) limit = string::append_ascii_within(b, ":", limit);
    limit = walk(&p, b, true, only, all, flat, part, limit);
    if (t == TYPE_SET_PATH) limit = string::append_ascii_within(b, ":", limit);
    return limit;
}

// `path/form`: the elements formed, "/" between them, no prefix or suffix.
int32_t form(const Cell* v, uint32_t b, const Cell* part, int32_t limit) {
    Cell p = *v;
    if (cycle::emit_marker(&p, b, limit, false)) return limit;
    return walk(&p, b, false, false, false, false, part, limit);
}

// `path/make`: a number gives an empty path with room for that many elements (a float
// truncated, 0 counting as 1); an any-block gives a copy of its cells.
void make(Cell* result, Cell* proto, Cell* spec, uint32_t t) {
    uint32_t st = type_of(spec);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT || st == TYPE_PERCENT) {
        Cell size = *spec;
        if (st == TYPE_PERCENT) set_float(&size, float_value(spec));
        Cell* out = stack::push();
        block::init_cell(out, make::spec_to_size(&size), t);
        *result = *out; return;
    }
    if (is_any_block_type(st)) { block::to(result, proto, spec, t); return; }
    Cell dt;
    set_datatype(&dt, t);
    error::raise(error::ERR_SCRIPT_BAD_MAKE_ARG, &dt, spec);
}

// `path/to`: a map!, object! or typeset! becomes the one element of the path; everything
// else converts as to block! does.
void to(Cell* result, Cell* proto, Cell* spec, uint32_t t) {
    uint32_t st = type_of(spec);
    if (st == TYPE_MAP || st == TYPE_OBJECT || st == TYPE_TYPESET) {
        Cell v = *spec;
        Cell* out = stack::push();
        block::init_cell(out, 1, t);
        block::append(series_node(out), &v);
        *result = *out; return;
    }
    block::to(result, proto, spec, t);
}

}  // namespace

}  // namespace zel::path

namespace zel::paren {

namespace {

// `paren/mold`: (...) around the body molded as a block's body; "(...)" for a paren that is
// already being molded.
int32_t mold(const Cell* v, uint32_t b, bool only, bool all, bool flat, const Cell* part, int32_t limit,
          int32_t indent) {
    Cell p = *v;
    if (cycle::emit_marker(&p, b, limit, true)) return limit;
    if (!only) {
        string::append_char(b, '(');
        limit--;
    }
    limit = block_ops::mold_body_part(&p, b, only, all, flat, part, limit, indent);
    if (!only) {
        string::append_char(b, ')');
        limit--;
    }
    return limit;
}

}  // namespace

}  // namespace zel::paren

namespace zel::datatypes {

namespace {

// Every slot inherited from the parent, then the math actions (absolute .. xor~), the port
// actions and set-path emptied: none of the any-block types supports them.
actions::TypeSpec inheriting(uint32_t id) {
    actions::TypeSpec spec{id, {}};
    for (auto& h : spec.handlers) h = actions::INHERIT;
    spec.handlers[ACT_SET_PATH - 1] = nullptr;
    for (int a = ACT_ABSOLUTE; a <= ACT_XOR_T; a++) spec.handlers[a - 1] = nullptr;
    for (int a : std::initializer_list<int>{ACT_CREATE, ACT_CLOSE, ACT_DELETE, ACT_OPEN, ACT_OPEN_Q, ACT_QUERY, ACT_READ, ACT_RENAME,
                  ACT_UPDATE, ACT_WRITE})
        spec.handlers[a - 1] = nullptr;
    return spec;
}

}  // namespace

void register_paths() {
    actions::TypeSpec path = inheriting(TYPE_PATH);
    actions::put(path, ACT_MAKE, path::make);
    actions::put(path, ACT_TO, path::to);
    actions::put(path, ACT_FORM, path::form);
    actions::put(path, ACT_MOLD, path::mold);
    actions::put(path, ACT_COPY, &block::copy);
    path.handlers[ACT_RANDOM - 1] = nullptr;
    path.handlers[ACT_SORT - 1] = nullptr;
    path.handlers[ACT_TRIM - 1] = nullptr;
    actions::register_type(path);

    for (uint32_t kind : {TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH}) {
        actions::TypeSpec spec{kind, {}};
        for (auto& h : spec.handlers) h = actions::INHERIT;
        actions::put(spec, ACT_MOLD, path::mold);
        actions::register_type(spec);
    }
}

void register_paren() {
    actions::TypeSpec spec = inheriting(TYPE_PAREN);
    actions::put(spec, ACT_MOLD, paren::mold);
    spec.handlers[ACT_TRIM - 1] = nullptr;
    actions::register_type(spec);
}

}  // namespace zel::datatypes
