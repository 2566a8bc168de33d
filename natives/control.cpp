// The natives that decide what to evaluate and those that evaluate or copy code:
// if unless either any all switch case do reduce compose.
//
// Each native keeps its argument cells where the caller pushed them (value-stack cells do
// not move) and evaluates with results pushed on the stack, so that an argument is never
// overwritten while it is still needed; the result is written into the result slot last.
#include <string>

#include "core/actions.h"
#include "core/collector.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/support.h"
#include "core/symbol.h"
#include "core/tracer.h"
#include "core/word.h"
#include "core/block.h"
#include "core/cycle_stack.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"
#include "core/conditionals.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

using memory::buf;

namespace {

// Pops the value an evaluation pushed into out.
inline void pop_into(Cell* out) {
    *out = *(stack::top - 1);
    stack::top--;
}

// Evaluates one expression of block at index, pushing its value. Returns the next index.
inline uint32_t eval_one(const Cell* block, uint32_t index) { return interp::eval_next(block, index, true); }

// The index of an any-block clipped to its tail.
uint32_t clipped_index(const Cell* block) {
    int32_t h = series_head(block);
    uint32_t len = buf(series_node(block))->length();
    return h < 0 ? 0 : (uint32_t(h) > len ? len : uint32_t(h));
}

// Adds a value to an out block given by /into: appended when out is at its tail, otherwise
// inserted at out's position; out's position then moves past it. The block's own append or
// insert handler does the work, so that owners and hash indexes are told; it runs in a
// scratch frame of its own, since action handlers write the result slot of their frame.
// The block that reduce/into and compose/into read: the source itself, or, when the out
// block shares its buffer, a copy of it pushed on the stack (as append of a block to
// itself reads what the block held), so that what is put in is never read again.
const Cell* source_for_into(const Cell* source, const Cell* out) {
    if (!out || series_node(source) != series_node(out)) return source;
    Cell* snapshot = stack::push();
    set_series(snapshot, type_of(source), block::copy_node(source));
    return snapshot;
}

void put_into(Cell* out, const Cell* value) {
    uint32_t t = type_of(out);
    bool at_tail = series_head(out) >= int32_t(buf(series_node(out))->length());
    auto insert = actions::get<actions::InsertFn>(t, at_tail ? ACT_APPEND : ACT_INSERT);
    stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_NATIVE);
    Cell* s = stack::push_copy(out);
    Cell* v = stack::push_copy(value);
    insert(s, v, -1, true, 1, at_tail);
    // Past what was put in, so that an out block at its tail stays at its tail.
    set_series_head(out, at_tail ? int32_t(buf(series_node(out))->length()) : series_head(s));
    stack::close_frame_drop();
}

// ---- if unless either ----

void if_(const int32_t* refs) {
    run_conditional(SLOT_if_);
}

void unless(const int32_t* refs) {
    run_conditional(SLOT_unless);
}

void either(const int32_t* refs) {
    run_conditional(SLOT_either);
}

// ---- any all ----

// any and all share one walk: any stops at the first truthy value, all at the first falsy
// one (giving none); an empty block gives none to both.
void any_all(const Cell* conds, bool any) {
    Cell* result = stack::push_none();
    uint32_t index = clipped_index(conds);
    while (index < buf(series_node(conds))->length()) {
        index = eval_one(conds, index);
        if (stack::unwinding()) return;
        pop_into(result);
        bool falsy = arg_false(result);
        if (any && !falsy) break;
        if (!any && falsy) {
            set_none(result);
            break;
        }
        if (any) set_none(result);
    }
    stack::set_result(result);
}

void any(const int32_t* refs) {
    any_all(arg(0), true);
}

void all(const int32_t* refs) {
    any_all(arg(0), false);
}

// ---- switch case ----

void switch_(const int32_t* refs) {
    Cell* value = arg(0);
    Cell* cases = arg(1);
    Cell* fallback = ref_arg(refs, ref::switch_::default_);
    uint32_t node = series_node(cases);
    bool matched = false;
    int32_t found = support::switch_lookup(value, cases, 1, true, &matched);   // the block to evaluate
    if (found >= 0) {
        Cell* block = stack::push_copy(&buf(node)->cells()[found]);
        interp::eval_block(block, true);
    } else if (!matched && fallback) {
        interp::eval_block(fallback, true);
    } else {
        stack::keep_result_slot();
        set_none(stack::base);
    }
}

void case_(const int32_t* refs) {
    bool every = used(refs, 0);
    Cell* cases = arg(0);
    Cell* result = stack::push_none();
    Cell* cond = stack::push_none();
    Cell* block = stack::push_none();
    uint32_t index = clipped_index(cases);
    while (index < buf(series_node(cases))->length()) {
        if (every) set_none(result);
        index = eval_one(cases, index);
        if (stack::unwinding()) return;
        pop_into(cond);
        if (index >= buf(series_node(cases))->length()) {
            Cell w;
            global_word(&w, "case");
            error::raise(error::ERR_SCRIPT_NEED_VALUE, &w);
        }
        if (!arg_true(cond)) {
            index++;
            continue;
        }
        Cell next = buf(series_node(cases))->cells()[index];
        if (type_of(&next) == TYPE_BLOCK) {
            *block = next;
            index++;
            interp::eval_block(block, false);
        } else {
            index = eval_one(cases, index);
        }
        if (stack::unwinding()) return;
        pop_into(result);
        if (!every) break;
    }
    stack::set_result(result);
}

// ---- do ----

// Runs the preprocessor over a block (do/expand): preprocessor/expand with the block and no
// job. Nothing happens before the library has defined the preprocessor.
void expand_block(const Cell* block) {
    Cell* pre = word::global_value("preprocessor");
    if (!pre || type_of(pre) != TYPE_OBJECT) return;
    Cell* fn = object::field(pre, symbol::intern("expand"));
    if (!fn || type_of(fn) != TYPE_FUNCTION) return;
    Cell args[2];
    args[0] = *block;
    set_none(&args[1]);
    Cell f = *fn;
    collector::RootGuard keep(&f);
    Cell* mark = stack::top;
    Cell* a = stack::push_copy(&args[0]);
    stack::push_copy(&args[1]);
    interp::call_with_args_status(&f, symbol::intern("expand"), a, 2);
    stack::top = mark;
}

// do of a block!, paren! or hash! (held in a stack cell).
void do_block(Cell* block, bool expand, const Cell* next_word) {
    set_series_head(block, int32_t(clipped_index(block)));
    if (expand) {
        expand_block(block);
        if (stack::unwinding()) return;
    }
    if (!next_word) {
        interp::eval_block(block, true);
        return;
    }
    Cell* result = stack::push_unset();
    uint32_t next = interp::eval_next(block, uint32_t(series_head(block)), true);
    if (stack::unwinding()) return;
    pop_into(result);
    Cell position = *block;
    set_series_head(&position, int32_t(next));
    word::set(next_word, &position);
    stack::set_result(result);
}

// do of a file! or url!: the library's do-file with the value, no callback and the /args
// argument (none without /args).
void do_file(const Cell* value, const Cell* args) {
    Cell* fn = word::global_value("do-file");
    if (!fn || !is_callable_type(type_of(fn))) error::raise(error::ERR_INTERNAL_NOT_DONE);
    Cell f = *fn;
    collector::RootGuard keep(&f);
    Cell* first = stack::push_copy(value);
    stack::push_none();
    if (args) stack::push_copy(args); else stack::push_none();
    interp::call_with_args_status(&f, symbol::intern("do-file"), first, 3);
    if (stack::unwinding()) return;
    stack::set_result(stack::top - 1);
}

// Clears the return-target mark that a traced do put on its caller's frame, also when an
// error passes through.
struct ReturnTargetMark {
    stack::Frame* frame = nullptr;
    ~ReturnTargetMark() {
        if (frame) frame->header &= ~stack::FRAME_RETURN_TARGET;
    }
};

// Removes the tracer that a do/trace installed (sending the end event) while keeping the
// unwinding that may be on its way up.
void remove_tracer() {
    uint32_t level = stack::pending;
    Cell value = stack::unwind_value, name = stack::unwind_name;
    collector::RootGuard keep_value(&value), keep_name(&name);
    stack::pending = stack::LEVEL_NONE;
    tracer::remove();
    if (stack::unwinding()) return;   // the tracer itself unwound: that goes on instead
    stack::unwind_value = value;
    stack::unwind_name = name;
    stack::pending = level;
}

// Evaluates the value of do by its type.
void do_value(Cell* value, bool expand, const Cell* script_args, const Cell* next_word) {
    switch (type_of(value)) {
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH:
            do_block(value, expand, next_word);
            break;
        case TYPE_STRING: {
            Cell* code = stack::push_unset();
            lexer::load_string(code, value, -1, lexer::Options{}, nullptr);
            do_block(code, expand, next_word);
            break;
        }
        case TYPE_FILE:
        case TYPE_URL:
            do_file(value, script_args);
            break;
        case TYPE_ERROR: {
            Cell err = *value;
            error::raise_value(&err);
        }
        default: {
            Cell v = *value;
            collector::RootGuard keep(&v);
            interp::eval_value(&v);
            if (!stack::unwinding()) stack::set_result(stack::top - 1);
            break;
        }
    }
}

void do_(const int32_t* refs) {
    Cell* value = arg(0);
    bool expand = used(refs, 0);
    Cell* script_args = ref_arg(refs, 1);
    Cell* next_word = ref_arg(refs, 2);
    Cell* callback = ref_arg(refs, 3);

    // /trace: return and exit inside the evaluated code end at this do; the callback becomes
    // the tracer unless one is installed already.
    ReturnTargetMark mark;
    bool own_tracer = false;
    if (callback) {
        if (stack::ftop - stack::fbottom >= 2) {
            stack::Frame* caller = stack::ftop - 2;
            if (!(caller->header & stack::FRAME_RETURN_TARGET)) {
                caller->header |= stack::FRAME_RETURN_TARGET;
                mark.frame = caller;
            }
        }
        bool was_installed = tracer::installed();
        stack::Saved saved;
        try {
            own_tracer = tracer::install(callback);
        } catch (stack::Unwind&) {
            // The init event failed: the tracer does not stay installed.
            if (!was_installed && tracer::installed()) {
                saved.restore();
                remove_tracer();
            }
            throw;
        }
        if (stack::unwinding()) {
            if (own_tracer) remove_tracer();
            return;
        }
    }

    if (callback) {
        stack::Saved saved;
        try {
            do_value(value, expand, script_args, next_word);
        } catch (stack::Unwind&) {
            // The tracer is removed at do's own level. A return or exit that a callback
            // raised as an exception ends here, as its status does (below); anything else
            // goes on up.
            saved.restore();
            if (own_tracer) remove_tracer();   // the tracer's own unwinding would go on instead
            own_tracer = false;
            if (stack::pending != stack::LEVEL_RETURN && stack::pending != stack::LEVEL_EXIT) throw;
        }
        if (own_tracer) remove_tracer();
    } else {
        do_value(value, expand, script_args, next_word);
    }

    if (callback && (stack::pending == stack::LEVEL_RETURN || stack::pending == stack::LEVEL_EXIT)) {
        Cell r = stack::unwind_value;
        if (stack::pending == stack::LEVEL_EXIT) set_unset(&r);
        stack::pending = stack::LEVEL_NONE;
        stack::set_result(&r);
    }
}

// ---- reduce ----

// Evaluates every expression of block and adds each value (its new-line marker cleared) to
// out_node's tail, or, with into, puts it into the out block. Results are held on the stack.
void reduce_block(const Cell* block, uint32_t out_node, Cell* into) {
    uint32_t index = clipped_index(block);
    while (index < buf(series_node(block))->length()) {
        index = eval_one(block, index);
        if (stack::unwinding()) return;
        Cell* v = stack::top - 1;
        set_new_line(v, false);
        if (into) put_into(into, v);
        else block::append(out_node, v);
        stack::top--;
    }
}

void reduce(const int32_t* refs) {
    Cell* value = arg(0);
    Cell* out = ref_arg(refs, 0);
    Cell* into = nullptr;
    if (out) into = stack::push_copy(out);
    if (type_of(value) == TYPE_BLOCK) {
        if (into) {
            reduce_block(source_for_into(value, into), 0, into);
            if (stack::unwinding()) return;
            stack::set_result(out);
            return;
        }
        Cell* fresh = stack::push();
        block::init_cell(fresh, block::length(value));
        reduce_block(value, series_node(fresh), nullptr);
        if (stack::unwinding()) return;
        stack::set_result(fresh);
        return;
    }
    Cell* result;
    if (is_any_function_type(type_of(value))) {
        result = stack::push_copy(value);
    } else {
        Cell v = *value;
        collector::RootGuard keep(&v);
        interp::eval_value(&v);
        if (stack::unwinding()) return;
        result = stack::top - 1;
    }
    if (into) {
        put_into(into, result);
        stack::set_result(out);
        return;
    }
    stack::set_result(result);
}

// ---- compose ----

// Composes block into out_node's tail (or, with into, into the out block).
void compose_block(const Cell* block, uint32_t out_node, Cell* into, bool deep, bool only) {
    uint32_t node = series_node(block);
    cycle::Scope scope(node);
    Cell* held = stack::push_none();   // the input value being handled
    auto add = [&](const Cell* v) {
        if (into) put_into(into, v);
        else block::append(out_node, v);
    };
    for (uint32_t index = clipped_index(block); index < buf(node)->length(); index++) {
        *held = buf(node)->cells()[index];
        uint32_t t = type_of(held);
        if (t == TYPE_BLOCK && deep) {
            Cell* nested = stack::push();
            block::init_cell(nested, block::length(held));
            set_new_line(nested, has_new_line(held));
            compose_block(held, series_node(nested), nullptr, true, only);
            if (stack::unwinding()) return;
            add(nested);
            stack::top = held + 1;
        } else if (t == TYPE_PAREN) {
            if (block::length(held) == 0) continue;
            interp::eval_block(held, false);
            if (stack::unwinding()) return;
            Cell* r = stack::top - 1;
            uint32_t rt = type_of(r);
            if (rt == TYPE_UNSET) {
            } else if (only || rt != TYPE_BLOCK) {
                add(r);
            } else {
                // The values are added from a snapshot when they go into an out block: putting
                // them in may run its owner's handler, and the spliced block may be the out
                // block itself or grow meanwhile. The block stays on the stack (rooted).
                if (into) set_series(r, TYPE_BLOCK, block::copy_node(r));
                Cell spliced = *r;
                for (uint32_t k = clipped_index(&spliced); k < buf(series_node(&spliced))->length(); k++) {
                    Cell e = buf(series_node(&spliced))->cells()[k];
                    add(&e);
                }
            }
            stack::top = held + 1;
        } else {
            add(held);
        }
    }
    stack::top = held;
}

void compose(const int32_t* refs) {
    Cell* value = arg(0);
    if (type_of(value) != TYPE_BLOCK) {
        Cell expected, got;
        set_datatype(&expected, TYPE_BLOCK);
        set_datatype(&got, type_of(value));
        error::raise(error::ERR_SCRIPT_EXPECT_VAL, &expected, &got);
    }
    bool deep = used(refs, 0), only = used(refs, 1);
    Cell* out = ref_arg(refs, 2);
    if (out) {
        Cell* into = stack::push_copy(out);
        compose_block(source_for_into(value, into), 0, into, deep, only);
        if (stack::unwinding()) return;
        stack::set_result(out);
        return;
    }
    Cell* fresh = stack::push();
    block::init_cell(fresh, block::length(value));
    compose_block(value, series_node(fresh), nullptr, deep, only);
    if (stack::unwinding()) return;
    stack::set_result(fresh);
}

}  // namespace

void register_control() {
    set<SLOT_if_, if_>();
    set<SLOT_unless, unless>();
    set<SLOT_either, either>();
    set<SLOT_any, any>();
    set<SLOT_all, all>();
    set<SLOT_switch_, switch_>();
    set<SLOT_case_, case_>();
    set<SLOT_do_, do_>();
    set<SLOT_reduce, reduce>();
    set<SLOT_compose, compose>();
}

}  // namespace zel::natives
