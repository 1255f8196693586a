// The signal-analysis driver: the co-processor only listens to the line, so
// no operation but the idle one moves a pin. Calls still go through their
// states, and relay commands still pulse their relays.
#include "line/drivers.h"

namespace {
void open_free_AnalysSignal() {}
void open_call_AnalysSignal() {}
void open_pickup_AnalysSignal() {}
void pickup_AnalysSignal() {}
void select_imit_AnalysSignal() {}
void drop_call_AnalysSignal() {}
void drop_pickup_AnalysSignal() {}
}  // namespace

void init_AnalysSignal() {
  install_line_driver({
      .gpio_first_status = gpio_first_status_common,
      .open_free = open_free_AnalysSignal,
      .open_call = open_call_AnalysSignal,
      .open_pickup = open_pickup_AnalysSignal,
      .pickup = pickup_AnalysSignal,
      .select_imit = select_imit_AnalysSignal,
      .select_real = select_real_common,
      .drop_call = drop_call_AnalysSignal,
      .drop_pickup = drop_pickup_AnalysSignal,
  });
}
