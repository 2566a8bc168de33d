// Error values and raising.
//
// An error! is an object (type 34) with ten fields in this order: code, type, id, arg1, arg2,
// arg3, near, where, stack, files; code = category x 100 + id. The messages come from the
// catalog system/catalog/errors, defined by the library (library/30-system.zel); the runtime
// raises by the names of errors.def, resolved against the catalog at start-up.
//
// Raising fills in where the error happened:
// - near: the innermost expression of user code being evaluated (blocks made while the library
//   loaded are never named, so an error raised inside a library function shows the user's
//   call of it);
// - where: the word of the innermost named call (stack::calling_word);
// - stack: with system/state/stack-trace a positive integer, a block of the calling words at
//   that level (1: function calls only, 2 and more: every named call), recorded while the
//   frames are still in place; otherwise the frame position, which error/record-stack (try
//   /keep) turns into a block later; files: a copy of system/state/source-files when that is
//   not empty and the stack is recorded.
//
// An error that no try frame catches ends the process through uncaught() (status 254).
#pragma once
#include <emmintrin.h>
#include <cstdint>
#include <string>

#include "core/cell.h"
#include "core/memory.h"

namespace zel::error {

enum Id {
#define ZEL_ERROR(c, cat, id) ERR_##c,
#include "core/errors.def"
#undef ZEL_ERROR
    ERR_COUNT
};

enum Field { F_CODE, F_TYPE, F_ID, F_ARG1, F_ARG2, F_ARG3, F_NEAR, F_WHERE, F_STACK, F_FILES, FIELD_COUNT };

// The exit status of a process ended by an uncaught error (-2 as the system reports it).
constexpr int UNCAUGHT_STATUS = 254;

// `error/raise`: builds the error, reports it to the tracer, and unwinds to the nearest try.
// Never returns.
[[noreturn]] void raise(Id id, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr,
                        const Cell* arg3 = nullptr);
// `stack/throw-error-value`: raises an already built error! value (do of an error,
// cause-error); near, where and stack are filled in when still none.
[[noreturn]] void raise_value(const Cell* err);

// Conveniences for the common argument shapes.
[[noreturn]] void raise_type(Id id, uint32_t type, const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);
// expect-arg: the calling word, the value's datatype, the argument's spec word.
[[noreturn]] void raise_expect_arg(const Cell* calling_word, uint32_t value_type, const Cell* arg_word);
// expect-arg for argument n (0-based, spec order, refinements counted) of the callable fn
// called as calling_word; the argument word is none when fn is no function.
[[noreturn]] void raise_expect_arg_n(const Cell* calling_word, const Cell* fn, int32_t n, uint32_t value_type);
// The same for the innermost named call, with the function its word holds now.
[[noreturn]] void raise_expect_arg_n(int32_t n, uint32_t value_type);

// `error/make-from-ids`: writes a new error value (not raised) into out, near included.
void make(Cell* out, Id id, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);
// `error/make`: make error! from a spec (integer code, block, string); raises on a bad spec.
// May evaluate (a block of set-words).
void make_from_spec(Cell* out, const Cell* spec);

// `error/report`: inside a native frame named <body>, builds the error and prints its formed
// report through the print hooks; the frame's unset result is kept as the caller's next value.
// Does not raise the error.
void report(Id id, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);

// The field cell of an error value.
Cell* field(const Cell* err, Field f);
// `error/id-symbol`: the symbol of the error's id (0 when it is not a word).
uint32_t id_symbol(const Cell* err);
// `error/record-stack`: when stack holds the frame position the error was raised at, replaces
// it with the block of calling words (at the system/state/stack-trace level, 1 when that is
// not a positive integer) and copies system/state/source-files into files when that is not
// empty. Only frames still in place are listed: call it where the error is caught, before
// the frames of the failed evaluation are dropped.
void record_stack(const Cell* err);

// `error/form`: appends the formed report ("*** Script Error: ...", then the Where, Near,
// Stack and Files lines) to a string node. Never fails on a malformed error: it is
// re-described as internal/invalid-error.
void form(const Cell* err, uint32_t string_node);
std::string form_to_utf8(const Cell* err);

// The uncaught-error path: writes the formed error and a line end to standard error and ends
// the process with UNCAUGHT_STATUS.
[[noreturn]] void uncaught(const Cell* err);

// Start-up: creates the error prototype (before the library) and resolves the catalog
// (after the library defined system/catalog/errors).
void init();
void resolve_catalog();
bool catalog_ready();

// The expression being evaluated when an error is made (error `near`): a block with its head
// at the current expression. The interpreter updates it for user code only (is_user_code);
// catch sites restore it with the rest of their saved state.
extern Cell current_position;

// Sets current_position to the block (header, node, extra word) at index pos with one
// 16-byte store: it is saved and restored by 16-byte copies, which would otherwise wait on
// field-by-field stores.
inline void set_position(uint32_t header, uint32_t pos, uint32_t node, uint32_t extra) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&current_position),
                     _mm_set_epi32(int(extra), int(node), int(pos), int(header)));
}

// current_position held in a register: blocks and parens save it on entry and restore it on
// exit with one 16-byte load and one store (a Cell copy takes four of each).
inline __m128i saved_position() {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(&current_position));
}
inline void restore_position(__m128i saved) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&current_position), saved);
}

// The position of a block with its index lane zero, made once per block entry; set_position_at
// then stores the position of each expression by merging in its index.
inline __m128i position_base(uint32_t header, uint32_t node, uint32_t extra) {
    return _mm_set_epi32(int(extra), int(node), 0, int(header));
}
inline void set_position_at(__m128i base, uint32_t pos) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&current_position),
                     _mm_or_si128(base, _mm_slli_si128(_mm_cvtsi32_si128(int(pos)), 4)));
}

// True when expressions of this block are user code: it was not made while the library
// loaded. While the library loads everything counts, so that start-up errors show where they
// happened.
inline bool is_user_code(uint32_t block_node) {
    return (memory::buf(block_node)->flags & F_LIBRARY_CODE) == 0 || memory::library_loading;
}

}  // namespace zel::error
