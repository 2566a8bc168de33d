// ref!: a string written back with a leading "@" when molded (the value holds no "@"); it
// forms as its bare text. No paths, no put.
#include <cstdint>

#include "core/actions.h"
#include "datatypes/datatypes.h"
#include "datatypes/series/string.h"
#include "datatypes/series/string_internal.h"

namespace zel::ref {

// `ref/mold`: "@" followed by the text as string! forms it.
int32_t mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    string::append_char(buffer, '@');
    auto form = reinterpret_cast<actions::FormFn>(actions::handler_of(TYPE_STRING, ACT_FORM));
    int32_t left = form(value, buffer, part, limit > INT32_MIN ? limit - 1 : limit);
    return left > INT32_MIN ? left - 1 : left;
}

}  // namespace zel::ref

namespace zel::datatypes {

void register_ref() {
    register_text_type(TYPE_REF, nullptr, &ref::mold, nullptr, false);
}

}  // namespace zel::datatypes
