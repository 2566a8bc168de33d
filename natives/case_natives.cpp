// uppercase and lowercase: the case of a char!, or of a text series in place from its head
// (the whole text or the /part limit). The mapping itself is the case map's (case_map.h).
#include "core/stack.h"
#include "core/case_map.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

namespace {

enum CaseRef { R_PART };

void change_case(int slot, const int32_t* refs, int direction) {
    Cell* value = arg(0);
    uint32_t t = type_of(value);
    if (t != TYPE_CHAR && !is_text_type(t)) raise_arg_type(slot, 0, t);
    case_map::change_case(value, ref_arg(refs, R_PART), direction);
    stack::keep_result_slot();
}

void uppercase(const int32_t* refs) { change_case(SLOT_uppercase, refs, case_map::UPPER); }
void lowercase(const int32_t* refs) { change_case(SLOT_lowercase, refs, case_map::LOWER); }

}  // namespace

void register_case() {
    set<SLOT_uppercase, uppercase>();
    set<SLOT_lowercase, lowercase>();
}

}  // namespace zel::natives
