// The standard line drivers' operations by name, each running its own
// system's sequence (with the installation's timings) whichever driver is
// installed. The driver table itself holds the one implementation that reads
// the installed row; these are for callers that want one system's operation.
#pragma once

#define ZUL_STANDARD_OPERATIONS(suffix) \
  void open_free_##suffix();            \
  void open_call_##suffix();            \
  void open_pickup_##suffix();          \
  void pickup_##suffix();               \
  void select_imit_##suffix();          \
  void drop_call_##suffix();            \
  void drop_pickup_##suffix();

ZUL_STANDARD_OPERATIONS(vizit)
ZUL_STANDARD_OPERATIONS(Metakom_2003)
ZUL_STANDARD_OPERATIONS(Metakom_2012)
ZUL_STANDARD_OPERATIONS(Eltis5000)
ZUL_STANDARD_OPERATIONS(Eltis300)
ZUL_STANDARD_OPERATIONS(Eltis400)
ZUL_STANDARD_OPERATIONS(Eltis100)
ZUL_STANDARD_OPERATIONS(Cyfral)
ZUL_STANDARD_OPERATIONS(Eltis5000_KM500)

#undef ZUL_STANDARD_OPERATIONS

// With the KM500 unit the idle line stays on the imitated handset, on hook,
// and a call for a real handset has to take the selector low.
void gpio_first_status_Eltis5000_KM500();
void select_real_Eltis5000_KM500();
