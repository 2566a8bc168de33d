// Start-up, in the runtime's fixed order (see runtime.h).
#include "startup/runtime.h"
#include "io/os_services.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/actions.h"
#include "core/callable.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/boot_image.h"
#include "core/error.h"
#include "core/externals.h"
#include "core/interpreter.h"
#include "core/memory.h"
#include "core/object.h"
#include "core/ownership.h"
#include "core/print_hooks.h"
#include "core/routines.h"
#include "core/runtime_words.h"
#include "core/spec_check.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/types.h"
#include "core/typeset_bits.h"
#include "startup/type_registry.h"
#include "core/word.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"
#include "io/zelbin.h"
#include "library/routines.h"
#include "natives/natives.h"
#include "platform/process.h"

namespace zel::runtime {

namespace {

bool started = false;
bool core_started = false;

// The datatype words name their datatypes from the start.
void set_type_words() {
    for (uint32_t t = 1; t <= actions::highest_type(); t++) {
        uint32_t s = actions::type_word_symbol(t);
        if (!s) continue;
        Cell dt;
        set_datatype(&dt, t);
        int32_t i = context::global_index(s);
        *context::value_at(context::global, i) = dt;
    }
}

// The named typesets of types.def (any-type!, series!, ...), in their order there. They come
// before the routines and any library code: specs name them in their type blocks. series! names the
// typeset from here on, not the datatype of the shared series handlers.
void define_typesets() {
    for (uint32_t set = 0; set < types::TYPESET_COUNT; set++) {
        Cell ts;
        ts.header = TYPE_TYPESET;
        typeset_bits::clear(&ts);
        for (uint32_t t = 1; t <= TYPE_MAX; t++)
            if (types::in_typeset(set, t)) typeset_bits::add(&ts, t);
        word::set_global(types::typeset_names[set], &ts);
    }
}

// The make action exists before any library code, since the library makes everything else
// with it.
void define_make() {
    Cell spec;
    lexer::load_utf8(&spec, "type [any-type!] spec [any-type!]");
    collector::RootGuard keep(&spec);
    Cell make;
    callable::make_native(&make, TYPE_ACTION, &spec, ACT_MAKE);
    word::set_global("make", &make);
}

// The boot literal table: the values decoded from the boot image, kept for the process.
uint32_t boot_literals = 0;

// Evaluates the code of one library file, taken from the boot image; a failure ends start-up.
void run_library_code(std::string_view name, uint32_t node, uint32_t index) {
    uint32_t level = stack::capture([&] {
        collector::RootedCell code;
        *code = memory::buf(node)->cells()[index];
        interp::eval_block(&code, false);
    });
    if (level == stack::LEVEL_ERROR) {
        Cell err = stack::unwind_value;
        std::string text = type_of(&err) == TYPE_ERROR ? error::form_to_utf8(&err) : "unknown error";
        std::fprintf(stderr, "*** Start-up error in %.*s:\n%s\n", int(name.size()), name.data(), text.c_str());
        std::exit(1);
    }
    if (level != stack::LEVEL_NONE) {
        std::fprintf(stderr, "*** Start-up error in %.*s: a break, return or throw escaped\n", int(name.size()),
                     name.data());
        std::exit(1);
    }
    if (!error::catalog_ready()) error::resolve_catalog();
}

// Decodes the boot image (a block of file names and code blocks, in file-name order) and
// evaluates each file's code.
void load_library() {
    memory::library_loading = true;
    boot_literals = memory::new_cell_series(16);
    collector::register_node_root(&boot_literals, collector::NodeRootKind::Cells);
    zelbin::boot_load(embedded::boot_image, embedded::boot_image_size, boot_literals);
    SeriesBuf* b = memory::buf(boot_literals);
    const Cell* top = b->cells();
    if (b->length() != 1 || type_of(top) != TYPE_BLOCK) {
        std::fputs("*** Start-up error: the boot image holds no library\n", stderr);
        std::exit(1);
    }
    const uint32_t files = series_node(top);
    for (uint32_t i = 0; i + 1 < memory::buf(files)->length(); i += 2) {
        const Cell* name = &memory::buf(files)->cells()[i];
        std::string text = type_of(name) == TYPE_STRING ? string::to_utf8(name) : "?";
        run_library_code(text, files, i + 1);
    }
    memory::library_loading = false;
}

// Everything before the library.
void build_core() {
    // The interpreter's native stack guard, armed below this frame.
    char here;
    interp::set_native_stack_base(&here, platform::native_stack_budget());
    print_hooks::init();
    memory::init();
    externals::init();
    collector::init();
    // Under collector stress, a full cycle between the steps proves that each step roots
    // what it made before the next one allocates.
    symbol::init();
    collector::stress_point();
    types::register_all();
    collector::stress_point();
    actions::init_dispatchers();
    os_services::init();
    context::init();
    collector::stress_point();
    runtime_words::init();
    collector::stress_point();
    actions::make_type_words();
    collector::stress_point();
    natives::init();
    collector::stress_point();
    ownership::init();
    stack::init();
    collector::stress_point();
    lexer::init();
    routines::set_spec_loader(&lexer::load_utf8);
    error::init();
    collector::stress_point();
    set_type_words();
    define_make();
    // Before the routines: their type blocks name these typesets (any-type! lets unset! in).
    define_typesets();
    collector::stress_point();
    library::define_routines();
    resource_slots::init();
    collector::stress_point();
}

// The library's action and native specs must match the lists the C++ code dispatches by.
void check_callable_specs() {
    std::string mismatches = spec_check::check(TYPE_ACTION, spec_check::actions()) +
                             spec_check::check(TYPE_NATIVE, natives::expected_specs());
    if (mismatches.empty()) return;
    std::fprintf(stderr, "*** Start-up error: the library's specs differ from actions.def / natives.def:\n%s",
                 mismatches.c_str());
    std::exit(1);
}

void build(const std::vector<std::string>& args) {
    build_core();
    // The library's code is evaluated with the collector on: its safe points collect when
    // the budget is spent (at every one under stress).
    collector::state.active = true;
    load_library();
    if (!error::catalog_ready()) {
        std::fputs("*** Start-up error: the library defines no error catalog\n", stderr);
        std::exit(1);
    }
    check_callable_specs();
    collector::state.active = true;
    (void)args;
    started = true;
}

}  // namespace

void init(const std::vector<std::string>& args) {
    if (!started) build(args);
}

void init_core() {
    if (!core_started) {
        build_core();
        core_started = true;
    }
}

void init_for_tests() {
    if (!started) build({});
}

bool ready() { return started; }

}  // namespace zel::runtime
