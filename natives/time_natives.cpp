// The clock: now.
#include "core/error.h"
#include "core/stack.h"
#include "datatypes/scalar/date.h"
#include "natives/native_support.h"
#include "natives/native_units.h"

namespace zel::natives {

namespace {

// The refinements of now, in spec order.
enum NowRef { R_YEAR, R_MONTH, R_DAY, R_TIME, R_ZONE, R_DATE, R_WEEKDAY, R_YEARDAY, R_PRECISE, R_UTC };

// now: the current date and time, or one part of it.
void now(const int32_t* refs) {
    int parts = 0;
    for (int k = R_YEAR; k <= R_PRECISE; k++) parts += used(refs, k);
    // /time and /precise go together; otherwise at most one part.
    if (used(refs, R_TIME) && used(refs, R_PRECISE)) parts--;
    if (parts > 1) error::raise(error::ERR_SCRIPT_BAD_REFINES);

    Cell d;
    date::now(&d, used(refs, R_UTC), used(refs, R_PRECISE));
    uint32_t w = date::word_of(&d);
    double local = date::seconds_of(&d) + date::zone_seconds(date::zone_of(w));
    Cell r;
    if (used(refs, R_YEAR)) set_integer(&r, date::year_of(w));
    else if (used(refs, R_MONTH)) set_integer(&r, date::month_of(w));
    else if (used(refs, R_DAY)) set_integer(&r, date::day_of(w));
    else if (used(refs, R_TIME)) set_float_bits(&r, TYPE_TIME, local);
    else if (used(refs, R_ZONE)) set_float_bits(&r, TYPE_TIME, date::zone_seconds(date::zone_of(w)));
    else if (used(refs, R_DATE)) date::set_cell(&r, w & ~(date::HAS_TIME | date::ZONE_MASK), 0.0);
    else if (used(refs, R_WEEKDAY)) set_integer(&r, date::weekday_of(date::day_count_of(w)));
    else if (used(refs, R_YEARDAY)) set_integer(&r, date::year_day(w));
    else r = d;
    stack::set_result(&r);
}

}  // namespace

void register_time() {
    set<SLOT_now, now>();
}

}  // namespace zel::natives
