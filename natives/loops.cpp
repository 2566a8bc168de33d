// The loop natives: while until loop repeat forever foreach forall remove-each, and the loop
// steps they are built from (setting the loop words, advancing, removing).
//
// Every loop pushes its state cells, then opens a loop frame (LoopFrame) so that break and
// continue find it; its state then lies just below the frame's arguments base:
//   foreach      base-2 a private copy of the series (its index advances), base-1 the words
//   remove-each  base-3 the number of loop words, base-2 the series copy, base-1 the words
//   forall       base-2 the series at its starting position, base-1 the word
// A loop's result is what its frame's result slot holds when it ends: the last body value,
// or break's value.
#include "core/actions.h"
#include "core/collector.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/runtime_words.h"
#include "core/stack.h"
#include "core/word.h"
#include "core/block.h"
#include "datatypes/series/series.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

using memory::buf;

namespace {

inline bool is_loop_word(uint32_t t) {
    return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD;
}

// loop/get-count: an integer! as it is; a float! truncated toward zero. A NaN, an infinity
// or a float outside the integer range raises script/type-limit.
int32_t loop_count(const Cell* c) {
    if (type_of(c) == TYPE_INTEGER) return int_value(c);
    double d = float_value(c);
    if (!(d > -2147483649.0 && d < 2147483648.0)) error::raise_type(error::ERR_SCRIPT_TYPE_LIMIT, TYPE_INTEGER);
    return int32_t(d);
}

// A counted loop with no rounds to run (count <= 0) ends at once with none; true then.
bool no_rounds(int32_t count) {
    if (count > 0) return false;
    stack::keep_result_slot();
    set_none(stack::base);
    return true;
}

// ---- series access for the loops ----

// Runs an action handler that returns its value (pick, length?) in a scratch frame, so that
// whatever it writes or pushes stays off the caller's cells.
int32_t image_length(const Cell* s) {
    auto length = actions::get<actions::LengthFn>(TYPE_IMAGE, ACT_LENGTH_Q);
    stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_NATIVE);
    Cell* c = stack::push_copy(s);
    int32_t n = length(c);
    stack::close_frame_drop();
    return n;
}

void image_pick(Cell* out, const Cell* s, int32_t k) {
    auto pick = actions::get<actions::PickFn>(TYPE_IMAGE, ACT_PICK);
    stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_NATIVE);
    Cell* c = stack::push_copy(s);
    Cell* index = stack::push();
    set_integer(index, k);
    Cell* picked = stack::push();
    pick(picked, c, k, index);
    *out = *picked;
    stack::close_frame_drop();
}

// Elements from the head of a series to its tail.
int32_t remaining(const Cell* s) {
    int32_t h = series_head(s);
    if (type_of(s) == TYPE_IMAGE) {
        // length? of an image counts every pixel whatever the head.
        int64_t n = int64_t(image_length(s)) - (h < 0 ? 0 : h);
        return n < 0 ? 0 : int32_t(n);
    }
    int32_t n = int32_t(series::buffer_count(s)) - (h < 0 ? 0 : h);
    return n < 0 ? 0 : n;
}

// The element k (0-based) after the head of a series, none past its tail: a block's cell
// itself, an element of any other series as pick gives it.
void element_after_head(Cell* out, const Cell* s, int32_t k) {
    if (type_of(s) == TYPE_IMAGE) {
        image_pick(out, s, k + 1);
        return;
    }
    int64_t i = int64_t(series::clipped_head(s)) + k;
    if (i >= int64_t(series::buffer_count(s))) set_none(out);
    else series::element_value(out, s, uint32_t(i));
}

// Entry k of a words block, which must be a word (else script/invalid-arg with the entry, or
// with the block when the body has shortened it).
void loop_word_at(Cell* out, const Cell* words, int32_t k) {
    if (k >= block::length(words)) error::raise(error::ERR_SCRIPT_INVALID_ARG, words);
    *out = block::head(words)[k];
    if (!is_loop_word(type_of(out))) error::raise(error::ERR_SCRIPT_INVALID_ARG, out);
}

// loop/foreach-next: sets the word to the element at the copy's index and advances the index.
// False (nothing changed) at the tail.
bool foreach_next(Cell* copy, const Cell* word) {
    if (remaining(copy) <= 0) return false;
    Cell v;
    element_after_head(&v, copy, 0);
    set_series_head(copy, int32_t(series::clipped_head(copy) + 1));
    word::set(word, &v);
    return true;
}

// map/set-words-from: the words from the next pairs of a map, skipping removed pairs (a value
// cell whose header is 0); word keys (stored as set-words) come out as words; words left over
// at the tail get none. True when at least one word was set. Advances the copy's index past
// the skipped pairs and then by n.
bool map_next(Cell* copy, const Cell* words, int32_t n) {
    uint32_t kv = series_node(copy);
    int32_t i = 0;
    bool any = false;
    // The values are gathered on the stack (rooted) and the copy advanced before any word is
    // set: a setter's change handler may unwind, and a continue goes on with the next round.
    Cell* values = stack::top;
    while (i < n) {
        uint32_t pos = uint32_t(series_head(copy)) + uint32_t(i);
        if (pos >= buf(kv)->length()) break;
        Cell w;
        loop_word_at(&w, words, i);
        if (i % 2 == 0 && pos + 1 < buf(kv)->length() && buf(kv)->cells()[pos + 1].header == 0) {
            set_series_head(copy, series_head(copy) + 2);
            continue;
        }
        Cell* v = stack::push_copy(&buf(kv)->cells()[pos]);
        if (type_of(v) == TYPE_SET_WORD) retype(v, TYPE_WORD);
        any = true;
        i++;
    }
    for (; i < n; i++) {
        Cell w;
        loop_word_at(&w, words, i);
        stack::push_none();
    }
    set_series_head(copy, series_head(copy) + n);
    for (int32_t k = 0; k < n; k++) {
        Cell w;
        loop_word_at(&w, words, k);
        word::set(&w, values + k);
    }
    stack::top = values;
    return any;
}

// loop/foreach-next-block: n words from a words block; false at the tail or when n < 1.
// Every entry must be a word (also for text and binary series, whose loops would otherwise
// write through a value that is no word).
bool foreach_next_block(Cell* copy, const Cell* words, int32_t n) {
    if (n <= 0) return false;
    if (type_of(copy) == TYPE_MAP) {
        if (series_head(copy) >= int32_t(buf(series_node(copy))->length())) return false;
        return map_next(copy, words, n);
    }
    if (remaining(copy) <= 0) return false;
    // The values are taken and the copy advanced before any word is set: a setter's change
    // handler may unwind, and a continue from it goes on with the next round.
    // The values wait on the stack (rooted) while the words are set.
    Cell* values = stack::top;
    for (int32_t k = 0; k < n; k++) {
        Cell w;
        loop_word_at(&w, words, k);
        element_after_head(stack::push(), copy, k);
    }
    set_series_head(copy, int32_t(series::clipped_head(copy) + uint32_t(n)));
    for (int32_t k = 0; k < n; k++) {
        Cell w;
        loop_word_at(&w, words, k);
        word::set(&w, values + k);
    }
    stack::top = values;
    return true;
}

// The loop words for the next iteration (one word, or a block of n).
bool next_words(Cell* copy, const Cell* words, int32_t n) {
    if (type_of(words) == TYPE_WORD) return foreach_next(copy, words);
    return foreach_next_block(copy, words, n);
}

// The number of loop words foreach and remove-each set each round: 1 for a word, else the
// length of the words block.
int32_t loop_word_count(const Cell* words) {
    return type_of(words) == TYPE_WORD ? 1 : block::length(words);
}

// The start of a foreach or remove-each round: sets the loop words from the copy under the
// loop's guard. BREAK also when the copy is at its tail (nothing was set); otherwise what the
// setting led to (NEXT, or CONTINUE, PASS from a handler it ran).
Flow start_round(LoopFrame& loop, Cell* copy, const Cell* words, int32_t n) {
    bool more = false;
    Flow f = loop.guard([&] { more = next_words(copy, words, n); });
    if (f == Flow::BREAK || f == Flow::PASS) return f;
    // A continue from a setter's handler ends this round; the words had values to take.
    if (f == Flow::CONTINUE) return f;
    return more ? f : Flow::BREAK;
}

// loop/remove-each-step: moves the copy's index back by n and removes n elements there
// through the series' remove action.
void remove_step(Cell* copy, int32_t n) {
    // A series type without a remove action (image!) is refused as remove-each's data.
    if (!actions::handler_of(type_of(copy), ACT_REMOVE)) error::raise_expect_arg_n(1, type_of(copy));
    int32_t h = series_head(copy) - n;
    set_series_head(copy, h < 0 ? 0 : h);
    auto remove = actions::get<actions::RemoveFn>(type_of(copy), ACT_REMOVE);
    stack::open_frame(sym(SYM_ANON), 0, stack::FRAME_NATIVE);
    Cell* s = stack::push_copy(copy);
    Cell* part = nullptr;
    if (n > 1) {
        part = stack::push();
        set_integer(part, n);
    }
    remove(s, part, nullptr);
    stack::close_frame_drop();
    interp::note_series_change();   // the body is entered again without a comparison
}

// Whether the value of a forall word is at its tail (image!: past its last pixel).
bool at_tail(const Cell* s) { return remaining(s) <= 0; }

// ---- the natives ----

void while_(const int32_t* refs) {
    Cell* cond = arg(0);
    Cell* body = arg(1);
    LoopFrame loop;
    for (;;) {
        if (loop.run_condition(cond) == Flow::PASS) return loop.finish();
        if (!arg_true(loop.result())) break;
        Flow f = loop.run(body);
        if (f == Flow::BREAK) break;
        if (f == Flow::PASS) return loop.finish();
    }
    set_unset(loop.result());
    loop.finish();
}

void until(const int32_t* refs) {
    Cell* body = arg(0);
    LoopFrame loop;
    for (;;) {
        Flow f = loop.run(body);
        if (f == Flow::BREAK) break;
        if (f == Flow::PASS) return loop.finish();
        if (f == Flow::CONTINUE) continue;
        if (arg_true(loop.result())) break;
    }
    loop.finish();
}

void loop(const int32_t* refs) {
    int32_t count = loop_count(arg(0));
    Cell* body = arg(1);
    if (no_rounds(count)) return;
    LoopFrame frame;
    for (int32_t i = 0; i < count; i++) {
        Flow f = frame.run(body);
        if (f == Flow::BREAK) break;
        if (f == Flow::PASS) return frame.finish();
    }
    frame.finish();
}

void repeat(const int32_t* refs) {
    Cell* word = arg(0);
    int32_t count = loop_count(arg(1));
    Cell* body = arg(2);
    if (no_rounds(count)) return;
    LoopFrame loop;
    for (int32_t i = 1; i <= count; i++) {
        // The counter is the loop's own: the body changing the word does not change it.
        Flow f = loop.guard([word, i] {
            Cell n;
            set_integer(&n, i);
            word::set(word, &n);
        });
        if (f == Flow::NEXT || f == Flow::CONTINUE) f = loop.run(body);
        if (f == Flow::BREAK) break;
        if (f == Flow::PASS) return loop.finish();
    }
    loop.finish();
}

void forever(const int32_t* refs) {
    Cell* body = arg(0);
    LoopFrame loop;
    for (;;) {
        Flow f = loop.run(body);
        if (f == Flow::BREAK) break;
        if (f == Flow::PASS) return loop.finish();
    }
    loop.finish();
}

void foreach(const int32_t* refs) {
    Cell* words_arg = arg(0);
    Cell* series = arg(1);
    Cell* body = arg(2);
    bool single = type_of(words_arg) == TYPE_WORD;
    int32_t n = loop_word_count(words_arg);
    if (!single && n <= 0) error::raise(error::ERR_SCRIPT_INVALID_ARG, words_arg);
    if (type_of(series) == TYPE_MAP && (single || n != 2))
        error::raise(error::ERR_SCRIPT_INVALID_ARG, words_arg);
    Cell* copy = stack::push_copy(series);
    Cell* words = stack::push_copy(words_arg);
    LoopFrame loop;
    for (;;) {
        Flow f = start_round(loop, copy, words, n);
        if (f == Flow::BREAK) break;
        if (f == Flow::PASS) return loop.finish();
        if (f == Flow::CONTINUE) continue;
        f = loop.run(body);
        if (f == Flow::BREAK) break;
        if (f == Flow::PASS) return loop.finish();
    }
    loop.finish();
}

void forall(const int32_t* refs) {
    Cell* word = arg(0);
    Cell* body = arg(1);
    const Cell* v = word::get(word);
    if (!is_series_type(type_of(v))) raise_arg_type(SLOT_forall, 0, type_of(v));
    Cell* start = stack::push_copy(v);
    stack::push_copy(word);
    LoopFrame loop;
    bool broke = false;
    while (!at_tail(word::value_cell(word))) {
        Flow f = loop.run(body);
        if (f == Flow::BREAK) {
            broke = true;
            break;
        }
        if (f == Flow::PASS) return loop.finish();
        // loop/forall-advance: the word must still refer to the same series.
        Cell* cur = word::value_cell(word);
        if (!is_series_type(type_of(cur)) || series_node(cur) != series_node(start)) {
            Cell bad = *cur;
            error::raise(error::ERR_SCRIPT_BAD_LOOP_SERIES, &bad);
        }
        set_series_head(cur, series_head(cur) < 0 ? 1 : series_head(cur) + 1);
    }
    if (!broke) {
        Cell back = *start;
        Flow f = loop.guard([word, &back] { word::set(word, &back); });
        if (f == Flow::PASS) return loop.finish();
    }
    loop.finish();
}

void remove_each(const int32_t* refs) {
    Cell* words_arg = arg(0);
    Cell* data = arg(1);
    Cell* body = arg(2);
    int32_t n = loop_word_count(words_arg);
    Cell result = *data;
    Cell* count = stack::push();
    set_integer(count, n);
    Cell* copy = stack::push_copy(data);
    Cell* words = stack::push_copy(words_arg);
    {
        LoopFrame loop;
        for (;;) {
            Flow f = start_round(loop, copy, words, n);
            if (f == Flow::BREAK) break;
            if (f == Flow::PASS) return loop.finish();
            if (f == Flow::NEXT) f = loop.run(body);
            if (f == Flow::BREAK) break;
            if (f == Flow::PASS) return loop.finish();
            if (!arg_false(loop.result())) {
                f = loop.guard([&] { remove_step(copy, n); });
                if (f == Flow::BREAK) break;
                if (f == Flow::PASS) return loop.finish();
            }
        }
        loop.finish();
    }
    stack::set_result(&result);
}

}  // namespace

void register_loops() {
    set<SLOT_while_, while_>();
    set<SLOT_until, until>();
    set<SLOT_loop, loop>();
    set<SLOT_repeat, repeat>();
    set<SLOT_forever, forever>();
    set<SLOT_foreach, foreach>();
    set<SLOT_forall, forall>();
    set<SLOT_remove_each, remove_each>();
}

}  // namespace zel::natives
