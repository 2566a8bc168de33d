// The datatype registration order. A datatype whose unit is not built yet registers its
// name alone, so that its type word exists and every action on it reports itself unsupported.
#include "startup/type_registry.h"

#include "core/actions.h"
#include "core/callable.h"
#include "core/object.h"
#include "datatypes/datatypes.h"

namespace zel::types {

namespace {
void name_only(uint32_t id, uint32_t parent, const char* name) {
    actions::TypeSpec spec{id, parent, name, {}};
    actions::register_type(spec);
}
}  // namespace

void register_all() {
    datatypes::register_datatype();   // datatype!
    datatypes::register_unset();
    datatypes::register_none();
    datatypes::register_logic();
    datatypes::register_series();
    datatypes::register_block();
    datatypes::register_string();
    datatypes::register_binary();
    datatypes::register_integer();
    name_only(TYPE_SYMBOL, 0, "symbol!");
    name_only(TYPE_CONTEXT, 0, "context!");
    datatypes::register_words();      // word! lit-word! set-word! get-word! refinement!
    datatypes::register_char();
    datatypes::register_callables();   // native! action! op! function! routine!
    datatypes::register_paths();      // path! lit-path! set-path! get-path!
    datatypes::register_paren();
    datatypes::register_issue();
    datatypes::register_url();
    datatypes::register_file();       // after url!, its parent
    datatypes::register_objects();     // object! error!
    datatypes::register_bitset();
    datatypes::register_triple();
    datatypes::register_float();      // float! percent!
    datatypes::register_typeset();
    datatypes::register_vector();
    datatypes::register_map();
    datatypes::register_hash();
    datatypes::register_pair();
    datatypes::register_tuple();
    datatypes::register_time();
    datatypes::register_tag();
    datatypes::register_email();
    datatypes::register_handle();
    datatypes::register_date();
    name_only(TYPE_PORT, TYPE_OBJECT, "port!");
    datatypes::register_money();
    datatypes::register_ref();
    datatypes::register_point2d();
    datatypes::register_point3d();
    datatypes::register_image();
    name_only(TYPE_EVENT, 0, "event!");
}

}  // namespace zel::types
