// Checks that stay in the shipped program. The package is built with NDEBUG,
// which takes every assert out; a broken invariant whose only sign would be
// a line that silently does not move, or a lock taken twice, must stop the
// program where it broke instead. A failed check prints its file, line and
// condition on standard error and aborts.
#pragma once

[[noreturn]] void zul_check_failed(const char* file, int line, const char* condition);

#define ZUL_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : zul_check_failed(__FILE__, __LINE__, #condition))
