// The smallest program that reaches the same hardware the same way (the
// library's start-up, one pin, one SPI transfer, one thread): the floor for
// the driver's size.
#include <bcm2835.h>
#include <pthread.h>

namespace {
void* idle(void*) { return nullptr; }
}  // namespace

int main() {
  if (bcm2835_init() == 0) {
    return 1;
  }
  bcm2835_gpio_fsel(24, BCM2835_GPIO_FSEL_OUTP);
  bcm2835_gpio_write(24, LOW);
  bcm2835_spi_begin();
  char frame[8] = {};
  bcm2835_spi_transfernb(frame, frame, 8);
  pthread_t t;
  pthread_create(&t, nullptr, idle, nullptr);
  pthread_join(t, nullptr);
  return 0;
}
