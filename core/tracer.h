// The interpreter's tracer: when a tracer function is installed (do/trace), the interpreter
// reports its steps as events filtered by a mask: init 1, end 2, prolog 4, epilog 8, enter 16,
// exit 32, open 64, return 128, fetch 256, push 512, set 1024, call 2048, error 4096,
// throw 8192, catch 16384, expr 32768. Blocks made while the library loaded report nothing.
#pragma once
#include <cstdint>

#include "core/cell.h"

namespace zel::tracer {

enum Event : uint32_t {
    EV_INIT = 1, EV_END = 2, EV_PROLOG = 4, EV_EPILOG = 8, EV_ENTER = 16, EV_EXIT = 32,
    EV_OPEN = 64, EV_RETURN = 128, EV_FETCH = 256, EV_PUSH = 512, EV_SET = 1024, EV_CALL = 2048,
    EV_ERROR = 4096, EV_THROW = 8192, EV_CATCH = 16384, EV_EXPR = 32768,
};

// True while a tracer is installed and not itself running (the interpreter's fast test).
extern bool active;

// Installs fn as the tracer (returns false when one is installed already) and sends init.
bool install(const Cell* fn);
// Sends end and removes the tracer.
void remove();
bool installed();

// The event mask of a tracer function: the event words of the first block of its body, or
// every event when its body starts with no block or an empty one.
uint32_t filter_of(const Cell* fn);

// Sends an event. code: the block or path evaluated (nullptr: none); pos: the position in it
// (-1: none); value and ref may be nullptr (none).
void send(uint32_t event, const Cell* code, int32_t pos, const Cell* value, const Cell* ref);
// The same for a code block given by node and type.
void send_at(uint32_t event, uint32_t code_node, uint32_t code_type, int32_t pos, const Cell* value, const Cell* ref);

// True when the block's series was made while the library source loaded.
bool is_library_code(uint32_t node);

}  // namespace zel::tracer
