// Registration entry points of the datatype units, called in the fixed order of
// startup/type_registry.cpp.
#pragma once

namespace zel::datatypes {

void register_datatype();   // datatype!
void register_unset();
void register_none();
void register_logic();
void register_series();     // series! (the shared series actions)
void register_block();
void register_string();
void register_binary();     // binary! (after string!)
void register_integer();
void register_callables();  // native! action! op! function! routine!
void register_objects();    // object! error!
void register_words();      // word! set-word! lit-word! get-word! refinement!
void register_issue();
void register_url();        // url!
void register_file();       // file! (after url!, its parent)
void register_char();
void register_paths();      // path! lit-path! set-path! get-path!
void register_paren();
void register_float();      // float! percent!
void register_typeset();
void register_vector();    // vector! (after string!)
void register_map();
void register_hash();        // hash! (after block!)
void register_bitset();
void register_triple();
void register_pair();
void register_tuple();
void register_time();
void register_handle();
void register_point2d();
void register_point3d();
void register_date();
void register_money();
void register_tag();
void register_email();
void register_ref();
void register_image();     // image! (and the externals kind "image")

}  // namespace zel::datatypes
