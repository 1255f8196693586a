#include "sim/time_format.h"

#include <cstdio>

namespace sim {
void format_ms(int64_t t_ns, char* out, size_t size) {
  const int64_t us = t_ns / 1000;
  const long long whole = static_cast<long long>(us / 1000);
  int frac = static_cast<int>(us % 1000);
  if (frac == 0) {
    snprintf(out, size, "%lld", whole);
    return;
  }
  int digits = 3;
  while (frac % 10 == 0) {
    frac /= 10;
    --digits;
  }
  snprintf(out, size, "%lld.%0*d", whole, digits, frac);
}
}  // namespace sim
