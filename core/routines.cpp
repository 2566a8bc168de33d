// The routine registry (see routines.h).
#include "core/routines.h"

#include <vector>

#include "core/callable.h"
#include "core/collector.h"
#include "core/context.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/word.h"

namespace zel::routines {

namespace {
std::vector<RoutineFn> registry{nullptr};
SpecLoader spec_loader = nullptr;
constexpr uint32_t CELLS_ARGUMENTS = HEADER_ROUTINE_CELLS;
}  // namespace

void set_spec_loader(SpecLoader load) { spec_loader = load; }

void define(std::string_view name, std::string_view spec_text, RoutineFn fn) {
    if (!spec_loader) error::raise(error::ERR_INTERNAL_NOT_DONE);
    Cell spec;
    spec_loader(&spec, spec_text);
    collector::RootGuard keep(&spec);
    Cell r;
    define(name, &spec, fn, &r);
}

void define(std::string_view name, const Cell* spec_block, RoutineFn fn, Cell* out, const Cell* model) {
    Cell spec = *spec_block;
    collector::RootGuard keep(&spec);
    uint32_t aux = memory::new_cell_series(5);
    Cell auxc;
    set_series(&auxc, TYPE_BLOCK, aux);
    collector::RootGuard keep_aux(&auxc);
    for (int k = 0; k < 5; k++) set_unset(memory::append_cell(aux));
    Cell* a = memory::buf(aux)->cells();
    set_none(&a[callable::AUX_BODY]);
    set_none(&a[callable::AUX_CACHE]);
    set_integer(&a[callable::AUX_CODE], int32_t(registry.size()));
    set_integer(&a[callable::AUX_OBJECT], 0);
    registry.push_back(fn);
    uint32_t ctx = context::from_block(&spec, true, false, context::KIND_FUNCTION);
    uint32_t arity = 0;
    SeriesBuf* sb = memory::buf(series_node(&spec));
    for (uint32_t i = 0; i < sb->length(); i++)
        if (type_of(&sb->cells()[i]) == TYPE_WORD) arity++;
    Cell r;
    r.header = TYPE_ROUTINE | CELLS_ARGUMENTS | ((arity & 31) << HEADER_ROUTINE_ARITY_SHIFT);
    set_callable_ctx(&r, ctx);
    set_callable_spec(&r, series_node(&spec));
    set_callable_aux(&r, aux);
    *context::owner(ctx) = r;
    callable::make_permanent(&r);
    // The code reads the arguments of this spec: the cache is built before the spec block
    // can be reached (and changed) through reflect.
    if (model) memory::buf(aux)->cells()[callable::AUX_CACHE] = memory::buf(callable_aux(model))->cells()[callable::AUX_CACHE];
    else callable::build_args_cache(&r);
    word::set_global(name, &r);
    *out = r;
}

RoutineFn code(const Cell* routine) {
    int32_t i = int_value(&memory::buf(callable_aux(routine))->cells()[callable::AUX_CODE]);
    return (i > 0 && size_t(i) < registry.size()) ? registry[size_t(i)] : nullptr;
}

}  // namespace zel::routines
