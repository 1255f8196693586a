// A board backend as the program sees it: one constant table of the
// bcm2835 calls per backend (the library's, in bcm2835_seam.cpp, and the
// kernel's, kboard::kOps), chosen once at bcm2835_init. Its members are the
// rows of bcm2835_calls.def, named without the bcm2835_ prefix.
#pragma once
#include <cstdint>

namespace board {

struct Ops {
#define BCM2835_CALL(name, ret, params, args) ret(*name) params;
#include "board/bcm2835_calls.def"
#undef BCM2835_CALL
};

// Whether a table fills every call: a member left out of a designated
// initialiser is a null pointer. Checked when a backend is chosen, not by
// the build: GCC does not take a function's address for a constant where
// null pointer checks are kept (-fno-delete-null-pointer-checks, which
// UndefinedBehaviorSanitizer implies).
constexpr bool complete(const Ops& ops) {
  bool all = true;
#define BCM2835_CALL(name, ret, params, args) all = all && ops.name != nullptr;
#include "board/bcm2835_calls.def"
#undef BCM2835_CALL
  return all;
}

}  // namespace board
