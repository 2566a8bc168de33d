// Error values and raising.
//
// An error! is an object (type 34) with ten fields in this order: code, type, id, arg1, arg2,
// arg3, near, where, stack, files; code = category x 100 + id. The messages come from the
// catalog system/catalog/errors, defined by the library; the runtime raises by the names of
// errors.def, resolved against the catalog at start-up.
#pragma once
#include <cstdint>
#include <string>

#include "core/cell.h"

namespace zel::error {

enum Id {
#define ZEL_ERROR(c, cat, id) ERR_##c,
#include "core/errors.def"
#undef ZEL_ERROR
    ERR_COUNT
};

enum Field { F_CODE, F_TYPE, F_ID, F_ARG1, F_ARG2, F_ARG3, F_NEAR, F_WHERE, F_STACK, F_FILES, FIELD_COUNT };

// Builds the error, reports it to the tracer, and unwinds to the nearest try. Never returns.
[[noreturn]] void raise(Id id, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr,
                        const Cell* arg3 = nullptr);
// Raises an already built error! value (do of an error, cause-error).
[[noreturn]] void raise_value(const Cell* err);

// Conveniences for the common argument shapes.
[[noreturn]] void raise_type(Id id, uint32_t type, const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);
// expect-arg: the calling word, the value's datatype, the argument's spec word.
[[noreturn]] void raise_expect_arg(const Cell* calling_word, uint32_t value_type, const Cell* arg_word);

// Writes a new error value (not raised) into out.
void make(Cell* out, Id id, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);
// make error! from a spec (integer code, block, string); raises on a bad spec.
void make_from_spec(Cell* out, const Cell* spec);

// The field cell of an error value.
Cell* field(const Cell* err, Field f);

// Appends the formed report ("*** Script Error: ...") to a string node.
void form(const Cell* err, uint32_t string_node);
std::string form_to_utf8(const Cell* err);

// Start-up: creates the error prototype (before the library) and resolves the catalog
// (after the library defined system/catalog/errors).
void init();
void resolve_catalog();
bool catalog_ready();

// The expression being evaluated when an error is made (error `near`), kept by the
// interpreter: a block and the index of the current expression.
extern Cell current_position;

}  // namespace zel::error
