// port! values (type 48, parent object!): objects made from `system/standard/port` whose
// actions are forwarded by name to the functions of their scheme's actor.
//
// Forwarding runs actor functions, so every forwarded action may evaluate Zel code (and
// collect); arguments travel in value-stack cells.
#pragma once
#include "core/cell.h"

namespace zel::port {

// `port/make`: a port from a spec object (copied) or a block made into an object on
// `system/standard/url-parts`. Raises access/no-scheme, unknown-scheme, invalid-actor.
// May evaluate (the spec block).
void make(Cell* out, const Cell* spec);

// `port/read`: open, copy (with /part when part is given), close; the copy goes to out.
void read(Cell* out, const Cell* port, const Cell* part);
// `port/write`: open, insert the data, copy, close; the copy goes to out.
void write(Cell* out, const Cell* port, const Cell* data);

// Registers port! and puts the forwarding in front of the forwarded actions' dispatchers
// (start-up, after the dispatchers exist).
void init();

}  // namespace zel::port
