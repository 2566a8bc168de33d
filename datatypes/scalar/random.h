// The process-wide pseudo-random generator behind every `random` action, and the secure
// draw behind /secure.
//
// A 624-word twisted generalised feedback generator with the Mersenne Twister constants and
// two differences from the published algorithm, both of which change every output: every
// right shift is arithmetic (sign-propagating) on the word taken as signed, and seeding leaves
// the draw index at 0, so the first 624 draws after a seed temper the seeding words themselves
// before the first twist. Seeded with 19650218 before its first use, so two runs that never
// reseed see the same sequence. Single-threaded: only the interpreter thread draws.
#pragma once
#include <cstdint>

namespace zel::random {

// `random/seed`: overwrites the whole state from s and restarts the draw index at 0.
void seed(uint32_t s);
// `random/draw`: the next draw, 0 to 2147483647.
int32_t draw();
// `random/secure-draw`: 31 random bits from the operating system (getrandom). Raises
// internal/no-random when the source fails.
int32_t secure_draw();
// `random/uniform-int`: 0 for n = 0; 1..n for n > 0 and -1..n for n < 0, every value equally
// likely (rejection sampling); for n = -2147483648 one draw d gives -1 - d.
int32_t uniform_int(int32_t n, bool secure);

}  // namespace zel::random
