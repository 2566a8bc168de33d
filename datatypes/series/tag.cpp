// tag!: a string whose text stands between angle brackets, "<" and ">" added when it is
// formed or molded (the value holds no brackets). Every series action but sort, trim and
// random is string!'s.
#include <cstdint>

#include "core/actions.h"
#include "datatypes/datatypes.h"
#include "datatypes/series/string.h"
#include "datatypes/series/string_internal.h"

namespace zel::tag {

namespace {

int32_t string_form(const Cell* value, uint32_t buffer, const Cell* part, int32_t limit) {
    return reinterpret_cast<actions::FormFn>(actions::handler_of(TYPE_STRING, ACT_FORM))(value, buffer, part, limit);
}

}  // namespace

// `tag/form`, also its mold: "<", the text (within the budget less one), ">".
int32_t form(const Cell* value, uint32_t buffer, const Cell* part, int32_t limit) {
    string::append_char(buffer, '<');
    int32_t left = string_form(value, buffer, part, limit > INT32_MIN ? limit - 1 : limit);
    string::append_char(buffer, '>');
    return left > INT32_MIN ? left - 1 : left;
}

int32_t mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    return form(value, buffer, part, limit);
}

}  // namespace zel::tag

namespace zel::datatypes {

void register_tag() { register_text_type(TYPE_TAG, &tag::form, &tag::mold, nullptr, true); }

}  // namespace zel::datatypes
