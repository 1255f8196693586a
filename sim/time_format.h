#pragma once
#include <cstddef>
#include <cstdint>

namespace sim {
// Simulated milliseconds as the logs show them: "1200" or "1200.114"
// (microsecond resolution, trailing zeros dropped). Safe at exit.
void format_ms(int64_t t_ns, char* out, size_t size);
}  // namespace sim
