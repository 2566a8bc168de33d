// datatype!, unset!, none! and logic! (see datatype.h), and the helpers shared by the
// scalar units.
#include "datatypes/scalar/datatype.h"

#include <utility>

#include "core/actions.h"
#include "core/callable.h"
#include "core/collector.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "datatypes/datatypes.h"
#include "datatypes/scalar/random.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"

namespace zel {

// ---- shared helpers ----
namespace scalar {

namespace {
const char* const action_words[ACTION_COUNT + 1] = {
    "",
#define ZEL_ACTION(n, word, ...) word,
#include "core/actions.def"
#undef ZEL_ACTION
};
}  // namespace

int32_t emit(uint32_t buffer, std::string_view text, int32_t budget) {
    string::append_ascii(buffer, text);
    return budget - int32_t(text.size());
}

void raise_expect_arg(int32_t arg_index, uint32_t value_type) { error::raise_expect_arg_n(arg_index, value_type); }

void raise_not_related_calling(uint32_t type) {
    Cell calling, dt;
    stack::calling_word(&calling);
    set_datatype(&dt, type);
    error::raise(error::ERR_SCRIPT_NOT_RELATED, &calling, &dt);
}

void raise_not_related_action(int action, uint32_t type) {
    Cell w, dt;
    word::make_global(&w, TYPE_WORD, action_words[action]);
    set_datatype(&dt, type);
    error::raise(error::ERR_SCRIPT_NOT_RELATED, &w, &dt);
}

void raise_cannot_use(uint32_t type) {
    Cell calling, dt;
    stack::calling_word(&calling);
    set_datatype(&dt, type);
    error::raise(error::ERR_SCRIPT_CANNOT_USE, &calling, &dt);
}

void raise_bad_to(uint32_t type, const Cell* value) {
    Cell dt;
    set_datatype(&dt, type);
    error::raise(error::ERR_SCRIPT_BAD_TO_ARG, &dt, value);
}

void run_stack_action(uint32_t type, int action) { actions::get<actions::StackFn>(type, action)(); }

void run_swapped(uint32_t type, int action) {
    (void)actions::lookup(type, action);
    std::swap(*stack::arg(0), *stack::arg(1));
    run_stack_action(type, action);
}

bool load_one_value(const Cell* text, Cell* out) {
    if (!is_text_type(type_of(text))) return false;
    Cell loaded;
    stack::Saved saved;
    try {
        lexer::Options opt;
        lexer::load_string(&loaded, text, -1, opt, nullptr);
    } catch (stack::Unwind&) {
        if (stack::pending != stack::LEVEL_ERROR) throw;
        stack::pending = stack::LEVEL_NONE;
        saved.restore();
        return false;
    }
    if (type_of(&loaded) != TYPE_BLOCK || block::length(&loaded) != 1) return false;
    *out = *block::head(&loaded);
    return true;
}

uint32_t field_symbol(uint32_t& cache, const char* spelling) {
    if (!cache) cache = symbol::intern(spelling);
    return cache;
}

bool is_field(const Cell* word, uint32_t& cache, const char* spelling) {
    return is_field_word(word) && symbol::same_canonical(word_symbol(word), field_symbol(cache, spelling));
}

namespace {

// Element k of a path (0 is the first word), with a get-word replaced by its value. A paren
// cannot be evaluated a second time: it raises invalid-path.
void path_element(Cell* out, const Cell* path, int32_t k) {
    uint32_t node = series_node(path);
    int32_t head = series_head(path) < 0 ? 0 : series_head(path);
    uint32_t pos = uint32_t(head + k);
    if (pos >= memory::buf(node)->length()) error::raise(error::ERR_SCRIPT_INVALID_PATH, path, none::value());
    *out = memory::buf(node)->cells()[pos];
    if (type_of(out) == TYPE_GET_WORD) *out = *word::value_cell(out);
    else if (type_of(out) == TYPE_PAREN) error::raise(error::ERR_SCRIPT_INVALID_PATH, path, out);
}

// The value the path reaches after its first k + 1 elements, read again from the start.
void path_value_at(Cell* out, const Cell* path, int32_t k) {
    Cell el;
    path_element(&el, path, 0);
    *out = *word::value_cell(&el);
    for (int32_t j = 1; j <= k; j++) {
        path_element(&el, path, j);
        actions::PathStep step;
        step.path = path;
        step.index = j;
        step.miss_error = true;
        step.last = false;
        Cell cur = *out;
        actions::eval_path(out, &cur, &el, nullptr, step);
    }
}

}  // namespace

void store_back(const Cell* value, const actions::PathStep& step) {
    if (!step.path || step.index < 1) return;
    Cell path = *step.path;
    Cell v = *value;
    collector::RootGuard keep_path(&path);
    collector::RootGuard keep_value(&v);
    if (step.index == 1) {
        Cell first;
        path_element(&first, &path, 0);
        word::set(&first, &v, true);
        return;
    }
    Cell container, key;
    collector::RootGuard keep_container(&container);
    collector::RootGuard keep_key(&key);
    if (step.grand_parent) container = *step.grand_parent;
    else path_value_at(&container, &path, step.index - 2);
    if (step.previous) key = *step.previous;
    else path_element(&key, &path, step.index - 1);
    actions::PathStep up;
    up.path = &path;
    up.index = step.index - 1;
    up.case_sensitive = step.case_sensitive;
    up.miss_error = true;
    up.last = true;
    Cell ignored;
    actions::eval_path(&ignored, &container, &key, &v, up);
}

}  // namespace scalar

// ---- datatype! ----
namespace datatype {

Cell* push(uint32_t type) {
    Cell* c = stack::push();
    set_datatype(c, type);
    return c;
}

Cell* append_new(uint32_t block_node, uint32_t type) {
    Cell* c = memory::append_cell(block_node);
    set_datatype(c, type);
    return c;
}

namespace {

int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) {
    std::string_view name = actions::type_name(datatype_value(v));
    if (!name.empty() && name.back() == '!') name.remove_suffix(1);
    return scalar::emit(buffer, name, budget);
}

int32_t mold(const Cell* v, uint32_t buffer, bool, bool all, bool, const Cell*, int32_t budget, int32_t) {
    std::string_view name = actions::type_name(datatype_value(v));
    if (!all) return scalar::emit(buffer, name, budget);
    budget = scalar::emit(buffer, "#(", budget);
    budget = scalar::emit(buffer, name, budget);
    return scalar::emit(buffer, ")", budget);
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != TYPE_DATATYPE) return 1;
    switch (op) {
        case actions::OP_SORT: case actions::OP_CASE_SORT:
        case actions::OP_LESSER: case actions::OP_LESSER_EQUAL:
        case actions::OP_GREATER: case actions::OP_GREATER_EQUAL:
            return -2;
        default:
            return datatype_value(a) == datatype_value(b) ? 0 : 1;
    }
}

}  // namespace
}  // namespace datatype

// ---- unset! and none! ----
namespace {

Cell unset_constant{TYPE_UNSET, 0, 0, 0};
Cell none_constant{TYPE_NONE, 0, 0, 0};
Cell true_constant{TYPE_LOGIC, 1, 0, 0};
Cell false_constant{TYPE_LOGIC, 0, 0, 0};

bool is_ordering(int32_t op) {
    return op >= actions::OP_LESSER && op <= actions::OP_GREATER_EQUAL;
}

// unset! and none! are equal to their own kind and have no order.
int32_t compare_empty(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != type_of(a)) return -2;
    return is_ordering(op) ? -2 : 0;
}

}  // namespace

namespace unset {

const Cell* value() { return &unset_constant; }
Cell* push() { return stack::push_unset(); }
Cell* append_new(uint32_t block_node) {
    Cell* c = memory::append_cell(block_node);
    set_unset(c);
    return c;
}
void set_result() { stack::set_result(&unset_constant); }

namespace {

void make(Cell* out, Cell*, Cell*, uint32_t) { *out = unset_constant; }
int32_t form(const Cell*, uint32_t, const Cell*, int32_t budget) { return budget; }
int32_t mold(const Cell*, uint32_t buffer, bool, bool all, bool, const Cell*, int32_t budget, int32_t) {
    return scalar::emit(buffer, all ? "#(unset)" : "unset", budget);
}

}  // namespace
}  // namespace unset

namespace none {

const Cell* value() { return &none_constant; }
Cell* push() { return stack::push_none(); }
Cell* append_new(uint32_t block_node) {
    Cell* c = memory::append_cell(block_node);
    set_none(c);
    return c;
}
void set_result() { stack::set_result(&none_constant); }

namespace {

void make(Cell* out, Cell*, Cell*, uint32_t) { *out = none_constant; }
int32_t form(const Cell*, uint32_t buffer, const Cell*, int32_t budget) {
    return scalar::emit(buffer, "none", budget);
}
int32_t mold(const Cell*, uint32_t buffer, bool, bool all, bool, const Cell*, int32_t budget, int32_t) {
    return scalar::emit(buffer, all ? "#(none)" : "none", budget);
}

// none answers the series actions with none: there is nothing in it.
void clear(Cell*) {}
void find(Cell* out, const actions::FindArgs&) { *out = none_constant; }
int32_t length(const Cell*) { return -1; }
void remove(Cell*, Cell*, Cell*) {}
void take(Cell* out, Cell*, Cell*, bool, bool) { *out = none_constant; }

}  // namespace
}  // namespace none

// ---- logic! ----
namespace logic {

const Cell* false_cell() { return &false_constant; }

Cell* push(bool flag) {
    Cell* c = stack::push();
    set_logic(c, flag);
    return c;
}
Cell* append_new(uint32_t block_node, bool flag) {
    Cell* c = memory::append_cell(block_node);
    set_logic(c, flag);
    return c;
}
void set_result(bool flag) { stack::set_result(flag ? &true_constant : &false_constant); }

bool truth_of(const Cell* value, bool check, const Cell* arg) {
    if (check && type_of(value) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NO_VALUE, arg);
    return !is_falsy(value);
}

bool arg_true() {
    const Cell* v = stack::result();
    if (type_of(v) == TYPE_UNSET) error::raise(error::ERR_SCRIPT_NO_RETURN);
    return !is_falsy(v);
}

bool arg_false() { return is_falsy(stack::result()); }

bool stack_top_falsy() { return is_falsy(stack::topmost()); }
bool stack_top_true() { return !stack_top_falsy(); }

namespace {

void to(Cell* out, Cell*, Cell* spec, uint32_t) {
    switch (type_of(spec)) {
        case TYPE_LOGIC: *out = *spec; out->header = TYPE_LOGIC; return;
        case TYPE_NONE: *out = false_constant; return;
        default: *out = true_constant; return;
    }
}

void make(Cell* out, Cell* proto, Cell* spec, uint32_t type) {
    switch (type_of(spec)) {
        case TYPE_INTEGER: set_logic(out, int_value(spec) != 0); return;
        case TYPE_FLOAT: case TYPE_PERCENT: {
            double x = float_value(spec);
            set_logic(out, x != 0.0 || x != x);
            return;
        }
        default: to(out, proto, spec, type); return;
    }
}

void random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(logic_word(value));
        set_unset(value);
        return;
    }
    int32_t r = secure ? random::secure_draw() : random::draw();
    set_logic(value, r > 1073741823);
}

int32_t form(const Cell* v, uint32_t buffer, const Cell*, int32_t budget) {
    return scalar::emit(buffer, logic_value(v) ? "true" : "false", budget);
}
int32_t mold(const Cell* v, uint32_t buffer, bool, bool all, bool, const Cell*, int32_t budget, int32_t) {
    if (all) return scalar::emit(buffer, logic_value(v) ? "#(true)" : "#(false)", budget);
    return scalar::emit(buffer, logic_value(v) ? "true" : "false", budget);
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    if (type_of(b) != TYPE_LOGIC) return -2;
    if (is_ordering(op)) return -2;
    return int32_t(logic_value(a)) - int32_t(logic_value(b));
}

// and~, or~, xor~: both operands logic!, the result in the first.
void bitwise(int action) {
    Cell* a = stack::arg(0);
    Cell* b = stack::arg(1);
    if (type_of(b) != TYPE_LOGIC) scalar::raise_expect_arg(1, type_of(b));
    uint32_t x = logic_value(a), y = logic_value(b);
    uint32_t r = action == ACT_AND_T ? (x & y) : action == ACT_OR_T ? (x | y) : (x ^ y);
    set_logic(a, r != 0);
    stack::keep_result_slot();
}
void and_(void) { bitwise(ACT_AND_T); }
void or_(void) { bitwise(ACT_OR_T); }
void xor_(void) { bitwise(ACT_XOR_T); }
void complement(Cell* v) { set_logic(v, !logic_value(v)); }

}  // namespace
}  // namespace logic

// ---- registration ----
namespace datatypes {

void register_datatype() {
    actions::TypeSpec spec{TYPE_DATATYPE, {}};
    actions::put(spec, ACT_FORM, &datatype::form);
    actions::put(spec, ACT_MOLD, &datatype::mold);
    actions::put(spec, ACT_COMPARE, &datatype::compare);
    actions::register_type(spec);
}

void register_unset() {
    actions::TypeSpec spec{TYPE_UNSET, {}};
    actions::put(spec, ACT_MAKE, &unset::make);
    actions::put(spec, ACT_TO, &unset::make);
    actions::put(spec, ACT_FORM, &unset::form);
    actions::put(spec, ACT_MOLD, &unset::mold);
    actions::put(spec, ACT_COMPARE, &compare_empty);
    actions::register_type(spec);
}

void register_none() {
    actions::TypeSpec spec{TYPE_NONE, {}};
    actions::put(spec, ACT_MAKE, &none::make);
    actions::put(spec, ACT_TO, &none::make);
    actions::put(spec, ACT_FORM, &none::form);
    actions::put(spec, ACT_MOLD, &none::mold);
    actions::put(spec, ACT_COMPARE, &compare_empty);
    actions::put(spec, ACT_CLEAR, &none::clear);
    actions::put(spec, ACT_FIND, &none::find);
    actions::put(spec, ACT_LENGTH_Q, &none::length);
    actions::put(spec, ACT_REMOVE, &none::remove);
    actions::put(spec, ACT_SELECT, &none::find);
    actions::put(spec, ACT_TAKE, &none::take);
    actions::register_type(spec);
}

void register_logic() {
    actions::TypeSpec spec{TYPE_LOGIC, {}};
    actions::put(spec, ACT_MAKE, &logic::make);
    actions::put(spec, ACT_RANDOM, &logic::random);
    actions::put(spec, ACT_TO, &logic::to);
    actions::put(spec, ACT_FORM, &logic::form);
    actions::put(spec, ACT_MOLD, &logic::mold);
    actions::put(spec, ACT_COMPARE, &logic::compare);
    actions::put(spec, ACT_AND_T, &logic::and_);
    actions::put(spec, ACT_COMPLEMENT, &logic::complement);
    actions::put(spec, ACT_OR_T, &logic::or_);
    actions::put(spec, ACT_XOR_T, &logic::xor_);
    actions::register_type(spec);
}

}  // namespace datatypes
}  // namespace zel
