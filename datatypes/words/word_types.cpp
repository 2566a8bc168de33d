// The word datatypes: word!, set-word!, lit-word!, get-word!, refinement! and issue! share one
// cell layout (context node, symbol id, slot index) and differ by type id. This unit holds
// their action handlers: make and to, form, mold, compare and index?.
#include <string>
#include <string_view>

#include "core/actions.h"
#include "core/context.h"
#include "core/error.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/datatypes.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"

namespace zel {

namespace {

using namespace actions;

bool is_plain_word(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_GET_WORD; }

bool is_syntax_error(const Cell* err) {
    if (type_of(err) != TYPE_ERROR) return false;
    const Cell* type = error::field(err, error::F_TYPE);
    return is_any_word_type(type_of(type)) && symbol::spelling(word_symbol(type)) == "syntax";
}

// Scans UTF-8 text as Zel source. True, with the value in out, when the text holds exactly
// one value; false when it holds none, several, or fails to scan. This is the one place
// where the word types reach the lexer.
bool scan_single_value(std::string_view text, Cell* out) {
    stack::Saved saved;
    try {
        Cell loaded;
        lexer::load_utf8(&loaded, text);
        if (type_of(&loaded) != TYPE_BLOCK || block::length(&loaded) != 1) return false;
        *out = *block::head(&loaded);
        return true;
    } catch (stack::Unwind&) {
        // Only a syntax error means "not one value"; anything else goes on unwinding.
        if (!is_syntax_error(&stack::unwind_value)) throw;
        stack::pending = stack::LEVEL_NONE;
        saved.restore();
        return false;
    }
}

[[noreturn]] void bad_to_arg(uint32_t target, const Cell* value) {
    Cell dt;
    set_datatype(&dt, target);
    error::raise(error::ERR_SCRIPT_BAD_TO_ARG, &dt, value);
}

// The text of a string!, or of a char! as a one-character string, as UTF-8.
std::string text_of(const Cell* v) {
    if (type_of(v) == TYPE_CHAR) {
        uint32_t node = string::new_node(4);
        string::append_char(node, char_value(v));
        return string::node_to_utf8(node);
    }
    return string::to_utf8(v);
}

// make and to of word! and the types that inherit them.
void word_make(Cell* out, Cell* proto, Cell* spec, uint32_t target) {
    uint32_t st = type_of(spec);
    switch (st) {
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
            *out = *spec;
            break;
        case TYPE_REFINEMENT: case TYPE_ISSUE: {
            // The name must read as a word by itself (so #12 is no word).
            Cell scanned;
            if (!scan_single_value(symbol::spelling(word_symbol(spec)), &scanned) || !is_plain_word(type_of(&scanned)))
                bad_to_arg(target, spec);
            *out = *spec;
            set_word_symbol(out, word_symbol(&scanned));
            context::bind_word(context::global, out);
            break;
        }
        case TYPE_STRING: case TYPE_CHAR: {
            Cell scanned;
            if (!scan_single_value(text_of(spec), &scanned) || !is_any_word_type(type_of(&scanned)))
                error::raise(error::ERR_SCRIPT_INVALID_CHARS);
            *out = scanned;
            break;
        }
        case TYPE_DATATYPE:
            word::make_global(out, target, type_word_symbol(datatype_value(spec)));
            break;
        case TYPE_LOGIC:
            word::make_global(out, target, sym(logic_value(spec) ? SYM_TRUE : SYM_FALSE));
            break;
        default:
            bad_to_arg(target, spec);
    }
    out->header = target;
}

// make and to of issue!: the text of a string or char becomes the name as it is.
void issue_make(Cell* out, Cell* proto, Cell* spec, uint32_t target) {
    uint32_t st = type_of(spec);
    if (st == TYPE_STRING || st == TYPE_CHAR) {
        std::string text = text_of(spec);
        set_word(out, TYPE_ISSUE, context::global, symbol::intern(text), -1);
        return;
    }
    if (is_any_word_type(st)) {
        *out = *spec;
        out->header = TYPE_ISSUE;
        return;
    }
    word_make(out, proto, spec, TYPE_ISSUE);
    out->header = TYPE_ISSUE;
}

// Appends the name with an optional prefix and suffix; returns the budget left.
int32_t emit_name(const Cell* w, uint32_t buffer, int32_t limit, char prefix, char suffix) {
    uint32_t before = memory::buf(buffer)->length();
    if (prefix) string::append_char(buffer, uint8_t(prefix));
    string::append_utf8(buffer, symbol::spelling(word_symbol(w)));
    if (suffix) string::append_char(buffer, uint8_t(suffix));
    int64_t left = int64_t(limit) - (memory::buf(buffer)->length() - before);
    return left < INT32_MIN ? INT32_MIN : int32_t(left);
}

int32_t word_form(const Cell* w, uint32_t buffer, const Cell*, int32_t limit) {
    return emit_name(w, buffer, limit, 0, 0);
}
int32_t word_mold(const Cell* w, uint32_t buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return emit_name(w, buffer, limit, 0, 0);
}
int32_t set_word_mold(const Cell* w, uint32_t buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return emit_name(w, buffer, limit, 0, ':');
}
int32_t lit_word_mold(const Cell* w, uint32_t buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return emit_name(w, buffer, limit, '\'', 0);
}
int32_t get_word_mold(const Cell* w, uint32_t buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return emit_name(w, buffer, limit, ':', 0);
}
int32_t refinement_mold(const Cell* w, uint32_t buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return emit_name(w, buffer, limit, '/', 0);
}
int32_t issue_mold(const Cell* w, uint32_t buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return emit_name(w, buffer, limit, '#', 0);
}

bool word_and_lit_word(uint32_t ta, uint32_t tb) {
    return (ta == TYPE_WORD && tb == TYPE_LIT_WORD) || (ta == TYPE_LIT_WORD && tb == TYPE_WORD);
}

int32_t word_compare(const Cell* a, const Cell* b, int32_t op) {
    uint32_t ta = type_of(a), tb = type_of(b);
    if (!is_any_word_type(tb) || (tb == TYPE_ISSUE && ta != TYPE_ISSUE)) return -2;
    uint32_t sa = word_symbol(a), sb = word_symbol(b);
    switch (op) {
        case OP_SAME:
            return sa == sb && word_context(a) == word_context(b) && ta == tb ? 0 : 1;
        case OP_STRICT_LIT:
            if (word_and_lit_word(ta, tb)) return sa == sb ? 0 : 1;
            return ta == tb && sa == sb ? 0 : 1;
        case OP_STRICT_EQUAL:
            return ta == tb && sa == sb ? 0 : 1;
        case OP_EQUAL_LIT:
            if (word_and_lit_word(ta, tb)) return symbol::same_canonical(sa, sb) ? 0 : 1;
            return ta == tb && symbol::same_canonical(sa, sb) ? 0 : 1;
        case OP_EQUAL: case OP_NOT_EQUAL: case OP_FIND:
            return symbol::same_canonical(sa, sb) ? 0 : 1;
        default:
            return string::compare_text(a, b, op, false);
    }
}

int32_t issue_compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != TYPE_ISSUE) return -2;
    return word_compare(a, b, op);
}

// index?: the slot index + 1, none for an unbound word.
void word_index_q() {
    const Cell* w = stack::arg(0);
    Cell r;
    if (word_index(w) < 0) set_none(&r);
    else set_integer(&r, word_index(w) + 1);
    stack::set_result(&r);
}

// A word type whose handlers are those of word! except mold (and, for refinement!, index?).
void register_word_kind(uint32_t id, MoldFn mold, bool has_index) {
    TypeSpec spec{id, {}};
    put(spec, ACT_MAKE, INHERIT);
    put(spec, ACT_TO, INHERIT);
    put(spec, ACT_FORM, INHERIT);
    put(spec, ACT_MOLD, mold);
    put(spec, ACT_COMPARE, INHERIT);
    if (has_index) put(spec, ACT_INDEX_Q, INHERIT);
    register_type(spec);
}

}  // namespace

namespace datatypes {

void register_words() {
    TypeSpec word{TYPE_WORD, {}};
    put(word, ACT_MAKE, &word_make);
    put(word, ACT_TO, &word_make);
    put(word, ACT_FORM, &word_form);
    put(word, ACT_MOLD, &word_mold);
    put(word, ACT_COMPARE, &word_compare);
    put(word, ACT_INDEX_Q, &word_index_q);
    register_type(word);
    register_word_kind(TYPE_SET_WORD, &set_word_mold, true);
    register_word_kind(TYPE_LIT_WORD, &lit_word_mold, true);
    register_word_kind(TYPE_GET_WORD, &get_word_mold, true);
    register_word_kind(TYPE_REFINEMENT, &refinement_mold, false);
}

void register_issue() {
    TypeSpec issue{TYPE_ISSUE, {}};
    put(issue, ACT_MAKE, &issue_make);
    put(issue, ACT_TO, &issue_make);
    put(issue, ACT_FORM, INHERIT);
    put(issue, ACT_MOLD, &issue_mold);
    put(issue, ACT_COMPARE, &issue_compare);
    register_type(issue);
}

}  // namespace datatypes
}  // namespace zel
