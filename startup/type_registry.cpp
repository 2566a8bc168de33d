// The datatype registration order, derived from core/types.def: each unit is called once, in
// the order of its first type's id, but never before the units that register its types'
// parents.
#include "startup/type_registry.h"

#include <cstdio>
#include <cstdlib>

#include "core/actions.h"
#include "core/types.h"
#include "datatypes/datatypes.h"

namespace zel::types {

namespace {

using UnitFn = void (*)();

// Units are told apart by their names in types.def (the addresses of functions are not
// constants in every build): a unit is the index of its first entry.
struct Entry {
    uint32_t id;
    uint32_t parent;
    const char* unit;
};

constexpr Entry entries[] = {
#define ZEL_TYPE(id, name, cname, parent_type, layout, unit, typesets) {id, types::info(id).parent, #unit},
#include "core/types.def"
#undef ZEL_TYPE
};
constexpr int ENTRY_COUNT = sizeof entries / sizeof entries[0];

const UnitFn unit_fns[ENTRY_COUNT] = {
#define ZEL_TYPE(id, name, cname, parent_type, layout, unit, typesets) &datatypes::register_##unit,
#include "core/types.def"
#undef ZEL_TYPE
};

constexpr bool same_name(const char* a, const char* b) {
    while (*a && *a == *b) a++, b++;
    return *a == *b;
}

// The index of the first entry of the unit of entry i.
constexpr int unit_index(int i) {
    for (int j = 0; j < i; j++)
        if (same_name(entries[j].unit, entries[i].unit)) return j;
    return i;
}

struct Order {
    int units[ENTRY_COUNT] = {};
    int unit_of[ENTRY_COUNT] = {};   // the unit of each entry
    int count = 0;
    bool complete = false;   // false when the parents of some unit's types never register
};

// Repeatedly takes the first unit (by its types' ids) whose types' parents are registered
// already, or registered by the unit itself.
constexpr Order unit_order() {
    Order order;
    // Each entry's unit and each type's unit, worked out once: compilers bound the steps of a
    // constant evaluation, and the walk below asks for them many times.
    int unit_by_type[TYPE_TABLE_SIZE] = {};
    for (int i = 0; i < TYPE_TABLE_SIZE; i++) unit_by_type[i] = -1;
    for (int i = 0; i < ENTRY_COUNT; i++) {
        order.unit_of[i] = unit_index(i);
        unit_by_type[entries[i].id] = order.unit_of[i];
    }
    bool registered[TYPE_TABLE_SIZE] = {};
    bool called[ENTRY_COUNT] = {};
    for (bool progress = true; progress;) {
        progress = false;
        for (int i = 0; i < ENTRY_COUNT && !progress; i++) {
            if (called[i] || order.unit_of[i] != i) continue;
            bool ready = true;
            for (int k = 0; k < ENTRY_COUNT; k++) {
                const Entry& e = entries[k];
                if (order.unit_of[k] == i && e.parent && !registered[e.parent] && unit_by_type[e.parent] != i) ready = false;
            }
            if (!ready) continue;
            called[i] = true;
            order.units[order.count++] = i;
            for (int k = 0; k < ENTRY_COUNT; k++)
                if (order.unit_of[k] == i) registered[entries[k].id] = true;
            progress = true;
        }
    }
    order.complete = true;
    for (const Entry& e : entries) order.complete = order.complete && registered[e.id];
    return order;
}

constexpr Order order = unit_order();
static_assert(order.complete, "types.def: the parents of some unit's types are never registered");

}  // namespace

void register_all() {
    // Where each unit stands in the order, so that "registered by an earlier unit" is one read.
    int position[ENTRY_COUNT];
    for (int& p : position) p = ENTRY_COUNT;
    for (int i = 0; i < order.count; i++) position[order.units[i]] = i;
    for (int i = 0; i < order.count; i++) {
        int unit = order.units[i];
        unit_fns[unit]();
        // The unit registered exactly the types whose unit column names it.
        for (int k = 0; k < ENTRY_COUNT; k++) {
            const Entry& e = entries[k];
            bool own = order.unit_of[k] == unit;
            bool done_before = position[order.unit_of[k]] < i;
            if (done_before || actions::is_registered(e.id) == own) continue;
            const types::TypeInfo& info = types::info(e.id);
            if (own)
                std::fprintf(stderr, "*** Start-up error: register_%s does not register %s (types.def names it)\n",
                             info.unit, info.name);
            else
                std::fprintf(stderr, "*** Start-up error: %s is registered by a unit types.def does not name (register_%s)\n",
                             info.name, info.unit);
            std::exit(1);
        }
    }
}

}  // namespace zel::types

namespace zel::datatypes {

void register_name_only() {
    for (const auto& e : types::entries) {
        if (!types::same_name(e.unit, "name_only")) continue;
        actions::TypeSpec spec{e.id, {}};
        actions::register_type(spec);
    }
}

}  // namespace zel::datatypes
