// Each natives unit fills its slots of the natives table.
#pragma once
#include "natives/natives.h"

namespace zel::natives {

// Stores a table entry in its slot.
void set(int slot, NativeFn fn);
// Stores a native's body in its slot, behind the argument-check wrapper.
template <int Slot, NativeBody Body>
inline void set() { set(Slot, &checked<Slot, Body>); }

void register_control();     // if unless either any all switch case do reduce compose
void register_loops();       // while until loop repeat forever foreach forall remove-each
void register_functions();   // func function does has construct extend bind in context? get set value? unset apply
void register_compare();     // the comparison natives, same? not type? complement?
void register_unwind();      // try catch throw break continue exit return
void register_output();      // print prin stats recycle
void register_set_ops();     // union intersect unique difference exclude
void register_time();        // now
void register_math();        // negative? positive? sign? zero? NaN? max min shift to-hex, trigonometry, logarithms
void register_conversions(); // as as-pair as-point2D as-point3D as-money new-line new-line?
void register_checksum();    // checksum
void register_os();          // wait set-env get-env list-env call browse size?
void register_compression(); // compress decompress
void register_case();        // uppercase lowercase
void register_lexer();       // transcode
void register_encodings();   // dehex enhex debase enbase to-local-file
void register_parse();       // parse (and the parse engine's stacks)

}  // namespace zel::natives
