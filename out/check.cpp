#include "out/check.h"

#include <cstdio>
#include <cstdlib>

void zul_check_failed(const char* file, int line, const char* condition) {
  fprintf(stderr, "zul_stm_driver: %s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}
