// Registration entry points of the datatype units, called in the fixed order of
// core/type_registry.cpp.
#pragma once

namespace zel::datatypes {

void register_datatype();   // datatype!
void register_unset();
void register_none();
void register_logic();
void register_series();     // series! (the shared series actions)
void register_block();
void register_string();
void register_integer();
void register_words();      // word! set-word! lit-word! get-word! refinement!
void register_issue();
void register_char();
void register_paths();      // path! lit-path! set-path! get-path!
void register_paren();
void register_float();      // float! percent!
void register_typeset();

}  // namespace zel::datatypes
