#include "line/drivers.h"

const char* select_line_driver(uint8_t intercom_code) {
  const IntercomSystem& system = intercom_system(intercom_code);
  system.install();
  return system.settings_path;
}
