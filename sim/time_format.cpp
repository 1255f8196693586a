#include "sim/time_format.h"

#include <cstdio>

namespace sim {
namespace {
// The digits of v, most significant first, at out; their count.
size_t put_digits(uint64_t v, char* out) {
  char rev[20];
  size_t n = 0;
  do {
    rev[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (size_t i = 0; i < n; ++i) {
    out[i] = rev[n - 1 - i];
  }
  return n;
}
}  // namespace

// Every transfer of a long run's frames log goes through here: the common
// case without printf.
void format_ms(int64_t t_ns, char* out, size_t size) {
  if (t_ns >= 0 && size >= 32) {
    const uint64_t us = static_cast<uint64_t>(t_ns) / 1000;
    size_t len = put_digits(us / 1000, out);
    unsigned frac = static_cast<unsigned>(us % 1000);
    if (frac != 0) {
      out[len++] = '.';
      out[len++] = static_cast<char>('0' + frac / 100);
      frac %= 100;
      if (frac != 0) {
        out[len++] = static_cast<char>('0' + frac / 10);
        frac %= 10;
        if (frac != 0) {
          out[len++] = static_cast<char>('0' + frac);
        }
      }
    }
    out[len] = '\0';
    return;
  }
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
