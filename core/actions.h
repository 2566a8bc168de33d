// Datatype registry and action dispatch.
//
// Datatypes are tables of action handlers, not classes. Each datatype registers its type id
// and exactly 62 handlers (its name and parent come from core/types.def); an action finds its
// handler from the type of its first argument (make and to: the type a datatype! argument
// names). A handler entry of INHERIT takes the parent's handler; nullptr means the type does
// not support the action.
//
// Handlers get their arguments as the signatures below say. "Stored" handlers take `out` first:
// a value-stack slot of its own (never one of the arguments, so a handler may write it at any
// time) that the dispatcher then makes the action's result; the collector sees it, and nothing
// the handler returns points at scratch. The others write the result slot (the first
// argument's cell) themselves. Refinement arguments arrive as cell pointers, nullptr when the
// refinement is absent.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/cell.h"

namespace zel::actions {

using Handler = void (*)();
// A registration entry that takes the parent's handler. It has a type of its own so that a
// typed registration tells it from a handler; stored in a table it is the handler value -1.
struct InheritTag {
    operator Handler() const { return reinterpret_cast<Handler>(intptr_t(-1)); }
};
inline constexpr InheritTag INHERIT{};

// What eval-path handlers receive beside parent, element and the value to set.
struct PathStep {
    const Cell* path = nullptr;     // the whole path (for errors), or nullptr
    Cell* grand_parent = nullptr;
    const Cell* previous = nullptr; // the element before this one
    int32_t index = -1;             // the element's position in the path
    bool case_sensitive = false;
    bool miss_unset = false;        // a missing field gives unset instead of raising
    bool miss_error = false;        // a missing field raises invalid-path (else unset-path)
    bool last = true;
    bool notify = false;
};

struct FindArgs {
    Cell* series; Cell* value; Cell* part;
    bool only, case_sensitive, same, any;
    Cell* with; Cell* skip;
    bool last, reverse, tail, match;
};

using MakeFn = void (*)(Cell* out, Cell* proto, Cell* spec, uint32_t type);
using RandomFn = void (*)(Cell* value, bool seed, bool secure, bool only);
using ReflectFn = void (*)(Cell* out, Cell* value, uint32_t field_symbol);
using FormFn = int32_t (*)(const Cell* value, uint32_t buffer, const Cell* part, int32_t limit);
using MoldFn = int32_t (*)(const Cell* value, uint32_t buffer, bool only, bool all, bool flat,
                           const Cell* part, int32_t limit, int32_t indent);
using EvalPathFn = void (*)(Cell* out, Cell* parent, Cell* element, Cell* value, const PathStep& step);
using CompareFn = int32_t (*)(const Cell* a, const Cell* b, int32_t op);
using StackFn = void (*)();                 // reads its arguments from the stack
using UnaryFn = void (*)(Cell* value);      // negate, complement, clear
using RoundFn = void (*)(Cell* value, Cell* scale, bool even, bool down, bool half_down,
                         bool floor, bool ceiling, bool half_ceiling);
using TestFn = bool (*)(const Cell* value);  // even?, odd?
using InsertFn = void (*)(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append);
using ChangeFn = void (*)(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
using CopyFn = void (*)(Cell* out, Cell* value, Cell* part, bool deep, Cell* types);
using FindFn = void (*)(Cell* out, const FindArgs& args);
using LengthFn = int32_t (*)(const Cell* series);
using MoveFn = void (*)(Cell* out, Cell* origin, Cell* target, Cell* part);
using PickFn = void (*)(Cell* out, Cell* series, int32_t index, Cell* index_cell);
using PokeFn = void (*)(Cell* out, Cell* series, int32_t index, Cell* value, Cell* index_cell);
using PutFn = void (*)(Cell* out, Cell* series, Cell* key, Cell* value, bool case_sensitive);
using RemoveFn = void (*)(Cell* series, Cell* part, Cell* key);
using ReverseFn = void (*)(Cell* series, Cell* part, Cell* skip);
using SortFn = void (*)(Cell* out, Cell* series, bool case_sensitive, Cell* skip, Cell* comparator, Cell* part,
                         bool all, bool reverse, bool stable);
using SwapFn = void (*)(Cell* a, Cell* b);
using TakeFn = void (*)(Cell* out, Cell* series, Cell* part, bool deep, bool last);
using TrimFn = void (*)(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);
using PortFn = void (*)(Cell* out, Cell* value);       // create, close, delete, open?, query, update
using ModifyFn = void (*)(Cell* out, Cell* target, Cell* field, Cell* value, bool case_sensitive);
using OpenFn = void (*)(Cell* out, Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow);
using ReadFn = void (*)(Cell* out, Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
using RenameFn = void (*)(Cell* out, Cell* from, Cell* to);
using WriteFn = void (*)(Cell* out, Cell* dest, Cell* data, bool binary, bool lines, bool info, bool append,
                          Cell* part, Cell* seek, Cell* allow, Cell* as);

// One datatype's registration: 62 entries in action order (index 0 = action 1).
struct TypeSpec {
    uint32_t id;
    Handler handlers[ACTION_COUNT];
};

// The one handler signature of each action (from actions.def).
template <int N>
struct Signature;
#define ZEL_ACTION(n, word, cname, signature, refinements) \
    template <>                                            \
    struct Signature<n> { using type = signature; };
#include "core/actions.def"
#undef ZEL_ACTION
template <int N>
using SignatureOf = typename Signature<N>::type;

// The positions of each action's refinements in the refs its dispatcher gets, by name:
// ref::FIND::only. `names` is the list as written in actions.def ("part, only, case_").
namespace ref {
#define ZEL_REFINEMENTS(...) __VA_ARGS__
#define ZEL_ACTION(n, word, cname, signature, refinements)                   \
    namespace cname {                                                        \
    enum : int { ZEL_REFINEMENTS refinements };                              \
    inline constexpr const char* names = #refinements;                       \
    }
#include "core/actions.def"
#undef ZEL_ACTION
#undef ZEL_REFINEMENTS
}  // namespace ref

// Puts the handler of an action into a registration. The handler must have the action's
// signature exactly: a handler of another shape does not compile.
template <int N>
inline void put(TypeSpec& spec, ActionTag<N>, SignatureOf<N> fn) {
    spec.handlers[N - 1] = reinterpret_cast<Handler>(fn);
}
// INHERIT or nullptr (not supported) for an action, also by a number known only at run time.
template <int N>
inline void put(TypeSpec& spec, ActionTag<N>, InheritTag) { spec.handlers[N - 1] = INHERIT; }
template <int N>
inline void put(TypeSpec& spec, ActionTag<N>, std::nullptr_t) { spec.handlers[N - 1] = nullptr; }
inline void put(TypeSpec& spec, int action, InheritTag) { spec.handlers[action - 1] = INHERIT; }
inline void put(TypeSpec& spec, int action, std::nullptr_t) { spec.handlers[action - 1] = nullptr; }

// Registers a datatype; its parent (types.def) must be registered before it. Each unit calls
// this from its register function. A type that is not in types.def, registers twice or comes
// before its parent stops start-up with a message.
void register_type(const TypeSpec& spec);
bool is_registered(uint32_t type);
// Makes the type words once the root block exists (start-up).
void make_type_words();

const char* type_name(uint32_t type);   // "integer!"
uint32_t type_word_symbol(uint32_t type);
uint32_t highest_type();

extern Handler table[TYPE_TABLE_SIZE][ACTION_COUNT + 1];
inline Handler handler_of(uint32_t type, int action) { return table[type][action]; }

// The handler of action for the value's type; raises expect-arg when the type has none.
Handler lookup(uint32_t type, int action);
template <typename Fn>
inline Fn get(uint32_t type, int action) { return reinterpret_cast<Fn>(lookup(type, action)); }
// The handler of the action for the type, as the action's signature (raises like lookup).
template <int N>
inline SignatureOf<N> get(uint32_t type, ActionTag<N>) { return reinterpret_cast<SignatureOf<N>>(lookup(type, N)); }
// The registered handler as the action's signature, nullptr when the type has none.
template <int N>
inline SignatureOf<N> handler_of(uint32_t type, ActionTag<N>) { return reinterpret_cast<SignatureOf<N>>(table[type][N]); }

// ---- the action dispatchers (action! values call these; refs as natives get them) ----
using Dispatcher = void (*)(const int32_t* refs);
extern Dispatcher dispatchers[ACTION_COUNT + 1];
void init_dispatchers();

// ---- typed entries other units call directly ----
// Comparison ops: 0 =, 1 <>, 2 ==, 3 <, 4 <=, 5 >, 6 >=, 7 sort, 8 case-sensitive sort,
// 9 same, 10 strict with lit-word match, 11 equal with lit-word match, 12 find equality.
enum CompareOp {
    OP_EQUAL = 0, OP_NOT_EQUAL, OP_STRICT_EQUAL, OP_LESSER, OP_LESSER_EQUAL, OP_GREATER,
    OP_GREATER_EQUAL, OP_SORT, OP_CASE_SORT, OP_SAME, OP_STRICT_LIT, OP_EQUAL_LIT, OP_FIND,
};
// The raw three-way result (-2 when not comparable).
int32_t compare_raw(const Cell* a, const Cell* b, int32_t op);
// The truth of the comparison; raises invalid-compare for an ordering op on incomparable values.
bool compare(const Cell* a, const Cell* b, int32_t op);

// Forms / molds a value into a string node; limit < 0 means no limit. Returns the budget left.
int32_t form_into(const Cell* value, uint32_t buffer, int32_t limit = -1);
int32_t mold_into(const Cell* value, uint32_t buffer, bool only = false, bool all = false,
                  bool flat = false, int32_t limit = -1, int32_t indent = 0);
// A new string cell holding the formed / molded value.
void form_value(Cell* out, const Cell* value);
void mold_value(Cell* out, const Cell* value, bool only = false, bool all = false, bool flat = false);

// eval-path of one step through the parent's type (path errors as the interpreter raises them).
void eval_path(Cell* out, Cell* parent, Cell* element, Cell* value, const PathStep& step);

}  // namespace zel::actions
