#include "line/drivers.h"

LineOp gpio_first_status = nullptr;
LineOp open_free = nullptr;
LineOp open_call = nullptr;
LineOp open_pickup = nullptr;
LineOp pickup = nullptr;
LineOp select_imit = nullptr;
LineOp select_real = nullptr;
LineOp drop_call = nullptr;
LineOp drop_pickup = nullptr;

void install_line_driver(const LineDriver& driver) {
  gpio_first_status = driver.gpio_first_status;
  open_free = driver.open_free;
  open_call = driver.open_call;
  open_pickup = driver.open_pickup;
  pickup = driver.pickup;
  select_imit = driver.select_imit;
  select_real = driver.select_real;
  drop_call = driver.drop_call;
  drop_pickup = driver.drop_pickup;
}
