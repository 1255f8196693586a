// zul_stm_driver's board seam. The program calls the bcm2835 library's
// functions; this executable is linked with -Wl,--wrap for each of them, so
// those calls land here, and each goes on to the library (__real_bcm2835_*)
// or to the kernel backend (board/kernel_board.cpp). bcm2835_init makes the
// choice (board/choose.h), says on standard error why it cannot go on when it
// cannot, and starts the chosen backend; nothing is driven before that.
// Until then, and on the library's route, everything goes to the library.
#include <bcm2835.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "board/choose.h"
#include "board/kernel_board.h"

namespace {
// Written once by the main thread in bcm2835_init, before any other thread
// exists and before any pin is driven; only read afterwards.
bool g_kernel = false;

// The device tree's model string, or nullptr when there is none.
const char* read_model(char* model, size_t size) {
  FILE* f = fopen("/proc/device-tree/model", "r");
  if (f == nullptr) {
    return nullptr;
  }
  const size_t n = fread(model, 1, size - 1, f);
  fclose(f);
  model[n] = '\0';
  return model;
}
}  // namespace

extern "C" {
int __real_bcm2835_init(void);
void __real_bcm2835_gpio_fsel(uint8_t pin, uint8_t mode);
void __real_bcm2835_gpio_set_pud(uint8_t pin, uint8_t pud);
void __real_bcm2835_gpio_write(uint8_t pin, uint8_t on);
void __real_bcm2835_delay(unsigned int millis);
uint64_t __real_bcm2835_st_read(void);
int __real_bcm2835_spi_begin(void);
void __real_bcm2835_spi_setBitOrder(uint8_t order);
void __real_bcm2835_spi_setDataMode(uint8_t mode);
void __real_bcm2835_spi_setClockDivider(uint16_t divider);
void __real_bcm2835_spi_setChipSelectPolarity(uint8_t cs, uint8_t active);
void __real_bcm2835_spi_transfernb(char* tbuf, char* rbuf, uint32_t len);

int __wrap_bcm2835_init(void) {
  char model[64];
  char message[320];
  const board::Backend backend = board::choose_backend(
      getenv("ZUL_BOARD"), read_model(model, sizeof model), message, sizeof message);
  if (backend == board::Backend::kRefused) {
    fprintf(stderr, "zul_stm_driver: %s\n", message);
    return 0;
  }
  if (backend == board::Backend::kKernel) {
    if (!kboard::open_board(message, sizeof message)) {
      fprintf(stderr, "zul_stm_driver: %s\n", message);
      return 0;
    }
    if (message[0] != '\0') {
      fprintf(stderr, "zul_stm_driver: %s\n", message);
    }
    g_kernel = true;
    return 1;
  }
  if (__real_bcm2835_init() == 0) {
    fprintf(stderr,
            "zul_stm_driver: cannot map the Raspberry Pi's peripherals; run it as root (sudo), "
            "which SPI0 needs, or set ZUL_BOARD=kernel to run it without root\n");
    return 0;
  }
  // Without root the library maps the GPIO block alone (/dev/gpiomem); the
  // link would fail only after the pins had been driven.
  if (bcm2835_spi0 == MAP_FAILED) {
    bcm2835_close();
    fprintf(stderr,
            "zul_stm_driver: the bcm2835 library reaches SPI0 only as root; run it as root "
            "(sudo), or set ZUL_BOARD=kernel to run it without root\n");
    return 0;
  }
  return 1;
}

void __wrap_bcm2835_gpio_fsel(uint8_t pin, uint8_t mode) {
  g_kernel ? kboard::gpio_fsel(pin, mode) : __real_bcm2835_gpio_fsel(pin, mode);
}

void __wrap_bcm2835_gpio_set_pud(uint8_t pin, uint8_t pud) {
  g_kernel ? kboard::gpio_set_pud(pin, pud) : __real_bcm2835_gpio_set_pud(pin, pud);
}

void __wrap_bcm2835_gpio_write(uint8_t pin, uint8_t on) {
  g_kernel ? kboard::gpio_write(pin, on) : __real_bcm2835_gpio_write(pin, on);
}

void __wrap_bcm2835_delay(unsigned int millis) {
  g_kernel ? kboard::delay_ms(millis) : __real_bcm2835_delay(millis);
}

uint64_t __wrap_bcm2835_st_read(void) {
  return g_kernel ? kboard::clock_us() : __real_bcm2835_st_read();
}

int __wrap_bcm2835_spi_begin(void) {
  if (g_kernel) {
    return kboard::spi_begin();
  }
  const int begun = __real_bcm2835_spi_begin();
  if (begun == 0) {
    fprintf(stderr, "zul_stm_driver: SPI0 is not accessible; run it as root (sudo)\n");
  }
  return begun;
}

void __wrap_bcm2835_spi_setBitOrder(uint8_t order) {
  g_kernel ? kboard::spi_set_bit_order(order) : __real_bcm2835_spi_setBitOrder(order);
}

void __wrap_bcm2835_spi_setDataMode(uint8_t mode) {
  g_kernel ? kboard::spi_set_data_mode(mode) : __real_bcm2835_spi_setDataMode(mode);
}

void __wrap_bcm2835_spi_setClockDivider(uint16_t divider) {
  g_kernel ? kboard::spi_set_clock_divider(divider) : __real_bcm2835_spi_setClockDivider(divider);
}

void __wrap_bcm2835_spi_setChipSelectPolarity(uint8_t cs, uint8_t active) {
  g_kernel ? kboard::spi_set_chip_select_polarity(cs, active)
           : __real_bcm2835_spi_setChipSelectPolarity(cs, active);
}

void __wrap_bcm2835_spi_transfernb(char* tbuf, char* rbuf, uint32_t len) {
  g_kernel ? kboard::spi_transfernb(tbuf, rbuf, len)
           : __real_bcm2835_spi_transfernb(tbuf, rbuf, len);
}

}  // extern "C"
