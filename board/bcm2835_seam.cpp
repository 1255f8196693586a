// zul_stm_driver's board seam. The program calls the bcm2835 library's
// functions; this executable is linked with -Wl,--wrap for each of them
// (bcm2835_calls.def lists them), so those calls land here, and each goes on
// through one table of operations (board/ops.h): the library's below, or the
// kernel backend's (board/kernel_board.cpp). bcm2835_init makes the choice
// (board/choose.h), says on standard error why it cannot go on when it
// cannot, and starts the chosen backend; nothing is driven before that.
// Until then, and on the library's route, everything goes to the library.
#include <bcm2835.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "board/choose.h"
#include "board/kernel_board.h"
#include "board/ops.h"

extern "C" {
#define BCM2835_CALL(name, ret, params, args) ret __real_bcm2835_##name params;
#include "board/bcm2835_calls.def"
#undef BCM2835_CALL
}

namespace {

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

int library_init() {
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

int library_spi_begin() {
  const int begun = __real_bcm2835_spi_begin();
  if (begun == 0) {
    fprintf(stderr, "zul_stm_driver: SPI0 is not accessible; run it as root (sudo)\n");
  }
  return begun;
}

constexpr board::Ops kLibrary = {
    .init = library_init,
    .gpio_fsel = __real_bcm2835_gpio_fsel,
    .gpio_set_pud = __real_bcm2835_gpio_set_pud,
    .gpio_write = __real_bcm2835_gpio_write,
    .delay = __real_bcm2835_delay,
    .st_read = __real_bcm2835_st_read,
    .spi_begin = library_spi_begin,
    .spi_setBitOrder = __real_bcm2835_spi_setBitOrder,
    .spi_setDataMode = __real_bcm2835_spi_setDataMode,
    .spi_setClockDivider = __real_bcm2835_spi_setClockDivider,
    .spi_setChipSelectPolarity = __real_bcm2835_spi_setChipSelectPolarity,
    .spi_transfernb = __real_bcm2835_spi_transfernb,
};

// Chooses the backend and starts it; on success its table serves every
// later call.
int choose_and_init();

constexpr board::Ops with_init(board::Ops ops, int (*init)()) {
  ops.init = init;
  return ops;
}

// The table before the choice: the library's, but for bcm2835_init, which
// makes the choice.
constexpr board::Ops kUnchosen = with_init(kLibrary, choose_and_init);

// Written once, by the main thread in bcm2835_init, before any other thread
// exists and before any pin is driven; only read afterwards.
const board::Ops* g_ops = &kUnchosen;

int choose_and_init() {
  char model[64];
  char message[320];
  const board::Backend backend = board::choose_backend(
      getenv("ZUL_BOARD"), read_model(model, sizeof model), message, sizeof message);
  if (backend == board::Backend::kRefused) {
    fprintf(stderr, "zul_stm_driver: %s\n", message);
    return 0;
  }
  const board::Ops& chosen = backend == board::Backend::kKernel ? kboard::kOps : kLibrary;
  if (!board::complete(chosen)) {
    fprintf(stderr, "zul_stm_driver: the board backend's table leaves a call out\n");
    return 0;
  }
  if (chosen.init() == 0) {
    return 0;
  }
  g_ops = &chosen;
  return 1;
}

}  // namespace

extern "C" {
#define BCM2835_CALL(name, ret, params, args) \
  ret __wrap_bcm2835_##name params { return g_ops->name args; }
#include "board/bcm2835_calls.def"
#undef BCM2835_CALL
}
