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

struct Entry {
    uint32_t id;
    uint32_t parent;
    UnitFn unit;
};

constexpr Entry entries[] = {
#define ZEL_TYPE(id, name, cname, parent_type, layout, unit, typesets) {id, types::info(id).parent, &datatypes::register_##unit},
#include "core/types.def"
#undef ZEL_TYPE
};
constexpr int ENTRY_COUNT = sizeof entries / sizeof entries[0];

constexpr UnitFn unit_of(uint32_t id) {
    for (const Entry& e : entries)
        if (e.id == id) return e.unit;
    return nullptr;
}

struct Order {
    UnitFn units[ENTRY_COUNT] = {};
    int count = 0;
    bool complete = false;   // false when the parents of some unit's types never register
};

// Repeatedly takes the first unit (by its types' ids) whose types' parents are registered
// already, or registered by the unit itself.
constexpr Order unit_order() {
    Order order;
    bool registered[TYPE_TABLE_SIZE] = {};
    bool called[ENTRY_COUNT] = {};   // by the index of the unit's first entry
    for (bool progress = true; progress;) {
        progress = false;
        for (int i = 0; i < ENTRY_COUNT && !progress; i++) {
            if (called[i]) continue;
            UnitFn unit = entries[i].unit;
            bool first = true;
            for (int j = 0; j < i; j++) first = first && entries[j].unit != unit;
            if (!first) continue;
            bool ready = true;
            for (const Entry& e : entries)
                if (e.unit == unit && e.parent && !registered[e.parent] && unit_of(e.parent) != unit) ready = false;
            if (!ready) continue;
            called[i] = true;
            order.units[order.count++] = unit;
            for (const Entry& e : entries)
                if (e.unit == unit) registered[e.id] = true;
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
    for (int i = 0; i < order.count; i++) {
        order.units[i]();
        // The unit registered exactly the types whose unit column names it.
        for (const Entry& e : entries) {
            bool own = e.unit == order.units[i];
            bool done_before = false;
            for (int k = 0; k < i; k++) done_before = done_before || e.unit == order.units[k];
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
        if (e.unit != &register_name_only) continue;
        actions::TypeSpec spec{e.id, {}};
        actions::register_type(spec);
    }
}

}  // namespace zel::datatypes
