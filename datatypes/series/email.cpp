// email!: a string holding a whole address, written back as its bare text. Its paths user
// and host read or replace the text before and after the first "@"; an integer path picks or
// pokes a character as for string!.
#include "core/actions.h"
#include "core/error.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/datatypes.h"
#include "datatypes/series/string.h"
#include "datatypes/series/string_internal.h"

namespace zel::email {

namespace {

template <typename Fn>
Fn string_handler(int action) {
    return reinterpret_cast<Fn>(actions::handler_of(TYPE_STRING, action));
}

}  // namespace

// `email/mold`: the text as string! forms it (no quotes, no escapes).
int32_t mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    return string_handler<actions::FormFn>(ACT_FORM)(value, buffer, part, limit);
}

// `email/eval-path`.
void eval_path(Cell* result, Cell* parent, Cell* element, Cell* value, const actions::PathStep& step) {
    uint32_t et = type_of(element);
    if (et == TYPE_INTEGER) {
        string_handler<actions::EvalPathFn>(ACT_EVAL_PATH)(result, parent, element, value, step);
        return;
    }
    bool user = et == TYPE_WORD && symbol::same_canonical(word_symbol(element), sym(SYM_USER));
    bool host = et == TYPE_WORD && symbol::same_canonical(word_symbol(element), sym(SYM_HOST));
    if (!user && !host) error::raise(error::ERR_SCRIPT_INVALID_PATH, step.path ? step.path : element, element);
    uint32_t head = string::head_index(parent);
    uint32_t length = uint32_t(string::length(parent));
    int32_t found = string::find_char(parent, '@');
    uint32_t at = found < 0 ? length : uint32_t(found);   // offset of the "@" from the head
    if (!value) {
        Cell* out = stack::push();
        uint32_t from = user ? head : head + at + 1;
        uint32_t to = user ? head + at : head + length;
        set_series(out, TYPE_STRING, memory::copy_range(series_node(parent), from, to > from ? to - from : 0));
        *result = *out; return;
    }
    // The address itself changes, through string!'s change (its owner is told).
    auto change = string_handler<actions::ChangeFn>(ACT_CHANGE);
    Cell* target = stack::push_copy(parent);
    if (user) {
        change(target, value, int32_t(at), false, 1);
    } else if (found < 0) {
        // No "@" yet: the host comes after a new one.
        set_series_head(target, int32_t(head + length));
        Cell sign;
        set_char(&sign, '@');
        change(target, &sign, 0, false, 1);
        change(target, value, 0, false, 1);
    } else {
        set_series_head(target, int32_t(head + at + 1));
        change(target, value, int32_t(length - at - 1), false, 1);
    }
    *result = *value;
}

}  // namespace zel::email

namespace zel::datatypes {

void register_email() { register_text_type(TYPE_EMAIL, nullptr, &email::mold, &email::eval_path, true); }

}  // namespace zel::datatypes
