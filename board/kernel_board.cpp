// The kernel backend: the shield's lines through the GPIO character device
// (uAPI v2) and SPI0 through spidev.
//
// How it meets the program: the program calls the bcm2835 library's
// functions and nothing else for the board. zul_stm_driver is linked with
// those names wrapped (board/bcm2835_seam.cpp); each wrapper goes through the
// table of operations chosen once at bcm2835_init: the library's, or kOps at
// the end of this file. core/, link/, line/ and codec/ never learn which one
// runs, and the simulator keeps standing in for the library's names itself.
//
// Why the uAPI and not libgpiod: Debian bookworm ships libgpiod 1.6 (v1 API)
// and trixie 2.2 (v2 API, another soname, incompatible), so one package could
// not serve both releases; the kernel's GPIO uAPI v2 (<linux/gpio.h>, Linux
// 5.10 and later) is the same on both and is all the few calls here need.
//
// What it takes: the lines of the board idle state (line/pin_map.h) by their
// names GPIO<n> (GPIO 14 may be TXD1 or TXD0, as the Pi 1 to 4's device
// trees call it, at offset 14 of the chip that carries the shield's other
// SoC lines), on whichever chip carries them (the Pi 5's header chip was
// gpiochip4 before Linux 6.6.47 and gpiochip0 after), or, where no chip
// names any of them, offsets n of the SoC's or RP1's pin controller when
// those are unnamed; and /dev/spidev0.0.
// GPIO 8 is SPI0's chip select and belongs to the kernel's SPI driver.
// GPIO 15 (an input the program never reads) and GPIO 2 (which the idle
// state sets high, and which the Pi's own pull-up holds high) are left to
// the system: GPIO 15 is the serial console's receive line and GPIO 2 is
// I2C's data line.
//
// No line is driven until all are ours: a multi-line request sets the
// directions line by line, so one that failed on a busy line would have
// driven the lines before it. So every line is checked first, then requested
// as it is (no direction), and only once every request has succeeded are the
// lines made outputs, with their idle levels as initial values.
#include "board/kernel_board.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "line/pin_map.h"
#include "protocol/link_frame.h"

namespace kboard {
namespace {

constexpr int kMaxChips = 32;
constexpr uint8_t kNoLine = 0xFF;
constexpr uint8_t kPinCount = 64;
constexpr uint32_t kCoreClockHz = 250000000;

int real_open(const char* path, int flags) { return ::open(path, flags); }
int real_close(int fd) { return ::close(fd); }
int real_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

int real_list_chips(char (*names)[32], int max) {
  DIR* dir = opendir("/dev");
  if (dir == nullptr) {
    return -1;
  }
  int count = 0;
  static const char kPrefix[] = "gpiochip";
  for (dirent* e = readdir(dir); e != nullptr && count < max; e = readdir(dir)) {
    if (strncmp(e->d_name, kPrefix, sizeof kPrefix - 1) == 0 && strlen(e->d_name) < 32) {
      strcpy(names[count++], e->d_name);
    }
  }
  closedir(dir);
  return count;
}

constexpr Sys kRealSys = {real_open, real_close, real_ioctl, real_list_chips};

// All of the state below is written by the main thread in open_board, before
// the other threads exist, and only read afterwards (from any thread, signal
// handlers included: a write is one ioctl on a descriptor that never changes).
const Sys* g_sys = &kRealSys;
bool g_open = false;

struct Chip {
  char path[40];
  int fd;          // the chip, while the lines are looked up and requested
  int request_fd;  // the request of this chip's lines
  uint32_t offsets[kLineCount];
  uint8_t lines[kLineCount];  // index into kLinePins, in request order
  uint8_t count;
};
Chip g_chips[kMaxChips];
int g_chip_count = 0;

// Per shield line: its chip and its bit in that chip's request.
struct Place {
  uint8_t chip;
  uint8_t bit;
};
Place g_place[kLineCount];
uint8_t g_line_of_pin[kPinCount];

int g_spi_fd = -1;
uint32_t g_spi_mode = 0;  // SPI_CPHA/SPI_CPOL, SPI_LSB_FIRST, SPI_CS_HIGH as applied
uint32_t g_spi_speed_hz = 0;
// Whoever transfers: the main thread during start-up, the link thread alone
// afterwards.
bool g_transfer_failed_said = false;
// Set by the first pin write that failed, by whichever thread made it, a
// stop handler's included (see write_failed).
std::atomic<bool> g_write_failed{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void line_name(size_t line, char* name, size_t size) {
  snprintf(name, size, "GPIO%u", static_cast<unsigned>(kLinePins[line]));
}

// The shield's lines as messages name them: "GPIO6, GPIO14, GPIO16 and
// GPIO22 to GPIO26", three or more consecutive numbers as one range.
void line_list(char* list, size_t size) {
  size_t n = 0;
  list[0] = '\0';
  for (size_t first = 0; first < kLineCount;) {
    size_t last = first;
    while (last + 1 < kLineCount && kLinePins[last + 1] == kLinePins[last] + 1) {
      ++last;
    }
    if (last - first < 2) {
      last = first;
    }
    const char* separator = first == 0 ? "" : last + 1 == kLineCount ? " and " : ", ";
    const unsigned from = kLinePins[first], to = kLinePins[last];
    const int w = last == first
                      ? snprintf(list + n, size - n, "%sGPIO%u", separator, from)
                      : snprintf(list + n, size - n, "%sGPIO%u to GPIO%u", separator, from, to);
    if (w < 0 || static_cast<size_t>(w) >= size - n) {
      return;
    }
    n += static_cast<size_t>(w);
    first = last + 1;
  }
}

// The index of a pin in kLinePins.
constexpr size_t line_of(uint8_t pin) {
  size_t line = 0;
  while (line < kLineCount && kLinePins[line] != pin) {
    ++line;
  }
  return line;
}

uint8_t idle_level(uint8_t pin) {
  for (const PinLevel& p : kBoardIdle) {
    if (p.pin == pin) {
      return p.level;
    }
  }
  return kLow;
}

unsigned long chip_number(const char* name) { return strtoul(name + 8, nullptr, 10); }

// /dev/gpiochipN in numeric order, so that messages and a name found twice
// come out the same on every start.
int list_chips_sorted(char (*names)[32]) {
  const int n = g_sys->list_chips(names, kMaxChips);
  for (int i = 1; i < n; ++i) {
    for (int j = i; j > 0 && chip_number(names[j - 1]) > chip_number(names[j]); --j) {
      char t[32];
      memcpy(t, names[j], sizeof t);
      memcpy(names[j], names[j - 1], sizeof t);
      memcpy(names[j - 1], t, sizeof t);
    }
  }
  return n;
}

void close_all() {
  for (int c = 0; c < g_chip_count; ++c) {
    if (g_chips[c].request_fd >= 0) {
      g_sys->close(g_chips[c].request_fd);
    }
    if (g_chips[c].fd >= 0) {
      g_sys->close(g_chips[c].fd);
    }
  }
  g_chip_count = 0;
  if (g_spi_fd >= 0) {
    g_sys->close(g_spi_fd);
    g_spi_fd = -1;
  }
  memset(g_line_of_pin, kNoLine, sizeof g_line_of_pin);
  g_open = false;
}

bool line_info(int fd, uint32_t offset, gpio_v2_line_info* info) {
  memset(info, 0, sizeof *info);
  info->offset = offset;
  return g_sys->ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, info) == 0;
}

// The names GPIO 14 carries on the Pi 1 to 4, after the serial port's
// transmit line. They are taken only at offset 14 of the chip that carries
// GPIO6: every Raspberry Pi device tree names GPIO 32 TXD0 as well, a line
// the shield is not on. GPIO<n> anywhere wins over them.
constexpr const char* kGpio14Names[] = {"TXD1", "TXD0"};

void place_line(Chip& chip, int chip_index, size_t line, uint32_t offset) {
  g_place[line] = {static_cast<uint8_t>(chip_index), chip.count};
  chip.offsets[chip.count] = offset;
  chip.lines[chip.count] = static_cast<uint8_t>(line);
  ++chip.count;
}

// One chip's lines against the names GPIO<n> still missing.
void look_up_lines(Chip& chip, int chip_index, bool* found) {
  gpiochip_info info{};
  if (g_sys->ioctl(chip.fd, GPIO_GET_CHIPINFO_IOCTL, &info) != 0) {
    return;
  }
  for (uint32_t offset = 0; offset < info.lines; ++offset) {
    gpio_v2_line_info li;
    if (!line_info(chip.fd, offset, &li)) {
      continue;
    }
    for (size_t line = 0; line < kLineCount; ++line) {
      char own[8];
      line_name(line, own, sizeof own);
      if (!found[line] && strcmp(li.name, own) == 0) {
        found[line] = true;
        place_line(chip, chip_index, line, offset);
      }
    }
  }
}

// GPIO 14 by its serial-port name, on the chip of relay 0's line (a line of
// the SoC's own chip), where GPIO14 is missing.
void look_up_gpio14_alias(bool* found) {
  static_assert(kPinCoprocReset == 14, "the serial port's names are GPIO 14's");
  constexpr size_t kGpio14 = line_of(kPinCoprocReset), kSoc = line_of(kPinRelay0);
  static_assert(kGpio14 < kLineCount && kSoc < kLineCount);
  if (!found[kSoc] || found[kGpio14]) {
    return;
  }
  const int c = g_place[kSoc].chip;
  Chip& chip = g_chips[c];
  gpiochip_info info{};
  gpio_v2_line_info li;
  if (g_sys->ioctl(chip.fd, GPIO_GET_CHIPINFO_IOCTL, &info) != 0 || info.lines <= 14 ||
      !line_info(chip.fd, 14, &li)) {
    return;
  }
  for (const char* name : kGpio14Names) {
    if (strcmp(li.name, name) == 0) {
      found[kGpio14] = true;
      place_line(chip, c, kGpio14, 14);
      return;
    }
  }
}

// The chips whose offsets are the GPIO numbers of the Pi's header: the
// SoC's own on the Pi 1 to 4, RP1's on the Pi 5.
constexpr const char* kNumberedChips[] = {"pinctrl-rp1", "pinctrl-bcm2711", "pinctrl-bcm2835"};

// Said at start-up when the lines were taken by offset (else empty).
char g_note[256];

// A mainline kernel with the upstream Pi 5 device tree names none of RP1's
// lines, so no name can be found. On a chip known to number its lines as
// the header does, and only where every line the shield needs is unnamed
// (so that a name never loses to an offset), GPIO n is taken as offset n.
void take_by_offset(bool* found) {
  for (int c = 0; c < g_chip_count; ++c) {
    Chip& chip = g_chips[c];
    gpiochip_info info{};
    if (g_sys->ioctl(chip.fd, GPIO_GET_CHIPINFO_IOCTL, &info) != 0) {
      continue;
    }
    info.label[sizeof info.label - 1] = '\0';
    bool known = false;
    for (const char* label : kNumberedChips) {
      known = known || strcmp(info.label, label) == 0;
    }
    bool unnamed = known && info.lines > kLinePins[kLineCount - 1];
    for (size_t line = 0; line < kLineCount && unnamed; ++line) {
      gpio_v2_line_info li;
      unnamed = line_info(chip.fd, kLinePins[line], &li) && li.name[0] == '\0';
    }
    if (!unnamed) {
      continue;
    }
    for (size_t line = 0; line < kLineCount; ++line) {
      found[line] = true;
      place_line(chip, c, line, kLinePins[line]);
    }
    snprintf(g_note, sizeof g_note,
             "the kernel's GPIO character device and spidev, lines found by offset on %s (%s): "
             "the device tree names none",
             chip.path, info.label);
    return;
  }
}

bool none_found(const bool* found) {
  for (size_t line = 0; line < kLineCount; ++line) {
    if (found[line]) {
      return false;
    }
  }
  return true;
}

bool all_found(const bool* found) {
  for (size_t line = 0; line < kLineCount; ++line) {
    if (!found[line]) {
      return false;
    }
  }
  return true;
}

// Opens every chip and finds the shield's lines; chips without any are
// closed again (and have no lines to request). Returns the path of a chip
// that could not be opened for want of permission, or nullptr.
const char* find_lines(bool* found, char (*names)[32], int names_count) {
  const char* denied = nullptr;
  for (int i = 0; i < names_count; ++i) {
    Chip& chip = g_chips[g_chip_count];
    memset(&chip, 0, sizeof chip);
    chip.request_fd = -1;
    snprintf(chip.path, sizeof chip.path, "/dev/%.31s", names[i]);
    chip.fd = g_sys->open(chip.path, O_RDWR | O_CLOEXEC);
    if (chip.fd < 0) {
      if ((errno == EACCES || errno == EPERM) && denied == nullptr) {
        static char denied_path[40];
        memcpy(denied_path, chip.path, sizeof denied_path);
        denied = denied_path;
      }
      continue;
    }
    ++g_chip_count;
  }
  for (int c = 0; c < g_chip_count && !all_found(found); ++c) {
    look_up_lines(g_chips[c], c, found);
  }
  look_up_gpio14_alias(found);
  if (none_found(found)) {
    take_by_offset(found);
  }
  for (int c = 0; c < g_chip_count; ++c) {
    if (g_chips[c].count == 0) {
      g_sys->close(g_chips[c].fd);
      g_chips[c].fd = -1;
    }
  }
  return denied;
}

void say_holder(const Chip& chip, uint32_t offset, size_t line, char* message, size_t size) {
  char name[8];
  line_name(line, name, sizeof name);
  gpio_v2_line_info li;
  if (!line_info(chip.fd, offset, &li) || li.consumer[0] == '\0') {
    snprintf(message, size,
             "%s (line %u of %s) is in use and the kernel names no holder: a device-tree overlay "
             "or another function of the pin has it; free the pin in config.txt and reboot",
             name, offset, chip.path);
  } else if (strcmp(li.consumer, "sysfs") == 0) {
    snprintf(message, size,
             "%s (line %u of %s) is exported through sysfs; free it with: echo %u > "
             "/sys/class/gpio/unexport",
             name, offset, chip.path, static_cast<unsigned>(kLinePins[line]));
  } else {
    snprintf(message, size, "%s (line %u of %s) is in use by \"%.32s\"; stop that first", name,
             offset, chip.path, li.consumer);
  }
}

// Whether any of the chip's shield lines is held by someone (the kernel's
// "used" flag), and by whom.
bool chip_lines_free(const Chip& chip, char* message, size_t size) {
  for (uint8_t b = 0; b < chip.count; ++b) {
    gpio_v2_line_info li;
    if (line_info(chip.fd, chip.offsets[b], &li) && (li.flags & GPIO_V2_LINE_FLAG_USED) != 0) {
      say_holder(chip, chip.offsets[b], chip.lines[b], message, size);
      return false;
    }
  }
  return true;
}

bool check_free(char* message, size_t size) {
  for (int c = 0; c < g_chip_count; ++c) {
    if (!chip_lines_free(g_chips[c], message, size)) {
      return false;
    }
  }
  return true;
}

bool apply_spi(char* message, size_t size) {
  uint8_t bits = 8;
  uint32_t speed =
      spi_speed_for_divider(kSpiClockDivider);  // what the program sets, before it asks
  uint32_t mode = SPI_MODE_0;
  if (g_sys->ioctl(g_spi_fd, SPI_IOC_WR_MODE32, &mode) != 0 ||
      g_sys->ioctl(g_spi_fd, SPI_IOC_WR_BITS_PER_WORD, &bits) != 0 ||
      g_sys->ioctl(g_spi_fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed) != 0) {
    snprintf(message, size, "%s refused SPI mode 0, 8 bits, MSB first at %u Hz: %s", kSpiDevice,
             speed, strerror(errno));
    return false;
  }
  g_spi_mode = mode;
  g_spi_speed_hz = speed;
  return true;
}

bool open_spi(char* message, size_t size) {
  g_spi_fd = g_sys->open(kSpiDevice, O_RDWR | O_CLOEXEC);
  if (g_spi_fd >= 0) {
    return apply_spi(message, size);
  }
  if (errno == ENOENT) {
    snprintf(message, size,
             "%s does not exist: SPI is switched off; put dtparam=spi=on in config.txt "
             "(/boot/firmware/config.txt) and reboot, or run sudo raspi-config nonint do_spi 0, "
             "which does the same without a reboot",
             kSpiDevice);
  } else if (errno == EACCES || errno == EPERM) {
    snprintf(message, size,
             "no permission to open %s: add the user that runs it to the group spi (sudo "
             "adduser USER spi, then log in again)",
             kSpiDevice);
  } else {
    snprintf(message, size, "cannot open %s: %s", kSpiDevice, strerror(errno));
  }
  return false;
}

// Every line as it is: nothing is driven yet, whatever fails.
bool request_lines(char* message, size_t size) {
  for (int c = 0; c < g_chip_count; ++c) {
    Chip& chip = g_chips[c];
    if (chip.count == 0) {
      continue;
    }
    gpio_v2_line_request req{};
    memcpy(req.offsets, chip.offsets, chip.count * sizeof chip.offsets[0]);
    req.num_lines = chip.count;
    snprintf(req.consumer, sizeof req.consumer, "zul_stm_driver");
    if (g_sys->ioctl(chip.fd, GPIO_V2_GET_LINE_IOCTL, &req) != 0) {
      const int e = errno;
      // Taken since the check: by whom, where the kernel says.
      if (e == EBUSY && !chip_lines_free(chip, message, size)) {
        return false;
      }
      snprintf(message, size, "cannot request the lines of %s: %s", chip.path, strerror(e));
      return false;
    }
    chip.request_fd = req.fd;
  }
  return true;
}

// All lines are ours: now they become outputs at their idle levels.
bool drive_idle(char* message, size_t size) {
  for (int c = 0; c < g_chip_count; ++c) {
    Chip& chip = g_chips[c];
    if (chip.count == 0) {
      continue;
    }
    gpio_v2_line_config config{};
    config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    config.num_attrs = 1;
    gpio_v2_line_config_attribute& values = config.attrs[0];
    values.attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    for (uint8_t b = 0; b < chip.count; ++b) {
      values.mask |= uint64_t{1} << b;
      if (idle_level(kLinePins[chip.lines[b]]) != kLow) {
        values.attr.values |= uint64_t{1} << b;
      }
    }
    if (g_sys->ioctl(chip.request_fd, GPIO_V2_LINE_SET_CONFIG_IOCTL, &config) != 0) {
      snprintf(message, size, "cannot make the lines of %s outputs: %s", chip.path,
               strerror(errno));
      return false;
    }
  }
  return true;
}

bool open_lines(char* message, size_t size) {
  static char names[kMaxChips][32];
  const int n = list_chips_sorted(names);
  char lines[96];
  line_list(lines, sizeof lines);
  if (n <= 0) {
    snprintf(message, size,
             "no GPIO chip (/dev/gpiochip*) on this machine; the shield needs a board with lines "
             "named %s (use zul_stm_sim on any other machine)",
             lines);
    return false;
  }
  bool found[kLineCount] = {};
  const char* denied = find_lines(found, names, n);
  for (size_t line = 0; line < kLineCount; ++line) {
    if (found[line]) {
      continue;
    }
    if (denied != nullptr) {
      snprintf(message, size,
               "no permission to open %s: add the user that runs it to the group gpio (sudo "
               "adduser USER gpio, then log in again)",
               denied);
      return false;
    }
    char name[8];
    line_name(line, name, sizeof name);
    snprintf(message, size,
             "no GPIO line is named %s on the %d chip(s) /dev/gpiochip*; the shield needs lines "
             "named %s, as on a Raspberry Pi's header",
             name, n, lines);
    return false;
  }
  return check_free(message, size);
}

}  // namespace

const Sys& real_sys() { return kRealSys; }

void use_sys(const Sys& sys) { g_sys = &sys; }

uint32_t spi_speed_for_divider(uint16_t divider) {
  const uint32_t even = divider & ~uint32_t{1};
  if (even == 0) {
    // The slowest divider: the kernel takes any quotient of 65 535 or more
    // as 65536, so the rate itself (rounded down) is safe to ask for, where
    // ceil(250 MHz / 65536) = 3815 Hz would give 65532.
    return kCoreClockHz / 65536u;
  }
  return (kCoreClockHz + even - 1) / even;
}

bool open_board(char* message, size_t message_size) {
  close_all();
  message[0] = '\0';
  g_note[0] = '\0';
  // The SPI device before the lines are requested: a missing or forbidden
  // one must leave every pin alone too.
  const bool ok = open_lines(message, message_size) && open_spi(message, message_size) &&
                  request_lines(message, message_size) && drive_idle(message, message_size);
  if (!ok) {
    close_all();
    return false;
  }
  for (int c = 0; c < g_chip_count; ++c) {
    if (g_chips[c].fd >= 0) {
      g_sys->close(g_chips[c].fd);
      g_chips[c].fd = -1;
    }
  }
  for (size_t line = 0; line < kLineCount; ++line) {
    g_line_of_pin[kLinePins[line]] = static_cast<uint8_t>(line);
  }
  g_transfer_failed_said = false;
  g_write_failed.store(false);
  g_open = true;
  snprintf(message, message_size, "%s", g_note);
  return true;
}

void close_board() { close_all(); }

namespace {

// The lines' directions are set once, in open_board, for all of them at
// once; the program's own set-up of the pins (outputs; GPIO 15 an input with
// its pull-down; GPIO 8 and 2 outputs) asks nothing more of these lines.
void gpio_fsel(uint8_t, uint8_t) {}
void gpio_set_pud(uint8_t, uint8_t) {}

void append(char* buf, size_t size, size_t& n, const char* text) {
  for (; *text != '\0' && n + 1 < size; ++text) {
    buf[n++] = *text;
  }
}

void append_number(char* buf, size_t size, size_t& n, unsigned value) {
  char digits[12];
  size_t d = 0;
  do {
    digits[d++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (d > 0 && n + 1 < size) {
    buf[n++] = digits[--d];
  }
}

// A pin write that did not reach the pin: the board has gone away (a chip
// unbound, a device removed) and the line is no longer the program's to
// drive. It is said once on standard error and the program stops the way it
// does on SIGTERM: the stop handler (core/stop.cpp) writes the board idle
// state as far as it can still be written, writes the flight record and
// exits.
//
// Why raise(SIGTERM) rather than a call into the stop path: this may run on
// the link thread, on the main thread in the middle of a line sequence, or
// inside a stop handler that is itself writing the idle state. raise() runs
// the handler on this very thread before it returns, just as a SIGTERM from
// outside may interrupt any thread at any point, which the stop path is
// built for: it takes no lock and waits for no write but the ones of other
// threads (its drain leaves out the write of the thread it runs on). Inside a
// stop handler SIGTERM is blocked (every stop handler blocks all four stop
// signals), so the raise stays pending and the handler's own _exit ends the
// program: no second stop, no recursion. The flag makes the first failure
// the only one told and the only one that raises, so the idle writes of the
// stop, which fail too, say nothing and start nothing. Only async-signal-safe
// calls: a lock-free atomic, write(2) of a line built on the stack,
// strerrordesc_np (a table look-up, not the locale's strerror) and raise.
void write_failed(uint8_t pin, const char* chip_path, int error) {
  if (g_write_failed.exchange(true)) {
    return;
  }
  char line[200];
  size_t n = 0;
  append(line, sizeof line, n, "zul_stm_driver: setting GPIO");
  append_number(line, sizeof line, n, pin);
  append(line, sizeof line, n, " on ");
  append(line, sizeof line, n, chip_path);
  append(line, sizeof line, n, " failed: ");
  const char* reason = strerrordesc_np(error);
  if (reason != nullptr) {
    append(line, sizeof line, n, reason);
  } else {
    append(line, sizeof line, n, "error ");
    append_number(line, sizeof line, n, static_cast<unsigned>(error));
  }
  append(line, sizeof line, n, "; stopping\n");
  for (size_t done = 0; done < n;) {
    const ssize_t w = ::write(STDERR_FILENO, line + done, n - done);
    if (w < 0 && errno == EINTR) {
      continue;
    }
    if (w <= 0) {
      break;
    }
    done += static_cast<size_t>(w);
  }
  raise(SIGTERM);
}

void gpio_write(uint8_t pin, uint8_t level) {
  if (!g_open || pin >= kPinCount || g_line_of_pin[pin] == kNoLine) {
    return;  // GPIO 2: left to the system (see the top of this file)
  }
  const Place& p = g_place[g_line_of_pin[pin]];
  gpio_v2_line_values values{};
  values.mask = uint64_t{1} << p.bit;
  values.bits = level != 0 ? values.mask : 0;
  const int saved_errno = errno;  // a signal handler's caller keeps its own
  if (g_sys->ioctl(g_chips[p.chip].request_fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) != 0) {
    write_failed(pin, g_chips[p.chip].path, errno);
  }
  errno = saved_errno;
}

// An absolute deadline, so that a signal handled meanwhile does not shorten
// the wait.
void delay_ms(unsigned ms) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(ms / 1000);
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

uint64_t clock_us() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

int spi_begin() { return g_spi_fd >= 0 ? 1 : 0; }

// The program sets SPI0 up once at start-up, on the main thread; a setting
// that is already in force costs no call.
void set_mode(uint32_t mode) {
  if (g_spi_fd < 0 || mode == g_spi_mode) {
    return;
  }
  if (g_sys->ioctl(g_spi_fd, SPI_IOC_WR_MODE32, &mode) != 0) {
    fprintf(stderr, "zul_stm_driver: %s refused SPI mode word 0x%x: %s\n", kSpiDevice, mode,
            strerror(errno));
    return;
  }
  g_spi_mode = mode;
}

// bcm2835's BCM2835_SPI_BIT_ORDER_LSBFIRST is 0, MSBFIRST 1.
void spi_set_bit_order(uint8_t order) {
  set_mode(order == 0 ? g_spi_mode | SPI_LSB_FIRST : g_spi_mode & ~uint32_t{SPI_LSB_FIRST});
}

// BCM2835_SPI_MODE0 to MODE3 are the same numbers as SPI_MODE_0 to SPI_MODE_3.
void spi_set_data_mode(uint8_t mode) {
  set_mode((g_spi_mode & ~uint32_t{SPI_MODE_3}) | (mode & SPI_MODE_3));
}

void spi_set_clock_divider(uint16_t divider) {
  uint32_t speed = spi_speed_for_divider(divider);
  if (g_spi_fd < 0 || speed == g_spi_speed_hz) {
    return;
  }
  if (g_sys->ioctl(g_spi_fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed) != 0) {
    fprintf(stderr, "zul_stm_driver: %s refused %u Hz: %s\n", kSpiDevice, speed, strerror(errno));
    return;
  }
  g_spi_speed_hz = speed;
}

// /dev/spidev0.0 is chip select 0; the others are other devices.
void spi_set_chip_select_polarity(uint8_t cs, uint8_t active) {
  if (cs != 0) {
    return;
  }
  set_mode(active != 0 ? g_spi_mode | SPI_CS_HIGH : g_spi_mode & ~uint32_t{SPI_CS_HIGH});
}

// One message per call: chip select stays asserted for the whole frame.
void spi_transfernb(char* send, char* receive, uint32_t length) {
  spi_ioc_transfer t{};
  t.tx_buf = reinterpret_cast<uintptr_t>(send);
  t.rx_buf = reinterpret_cast<uintptr_t>(receive);
  t.len = length;
  t.speed_hz = g_spi_speed_hz;
  t.bits_per_word = 8;
  if (g_spi_fd >= 0 && g_sys->ioctl(g_spi_fd, SPI_IOC_MESSAGE(1), &t) >= 0) {
    return;
  }
  const int e = g_spi_fd >= 0 ? errno : EBADF;
  // Nothing came back: an all-zero reply is the co-processor having nothing
  // to say, where a stale one would be taken for news.
  memset(receive, 0, length);
  if (!g_transfer_failed_said) {
    g_transfer_failed_said = true;
    fprintf(stderr, "zul_stm_driver: a transfer on %s failed: %s\n", kSpiDevice, strerror(e));
  }
}

// The program's start: the board, and what there is to say about it.
int init() {
  char message[320];
  const bool opened = open_board(message, sizeof message);
  if (message[0] != '\0') {
    fprintf(stderr, "zul_stm_driver: %s\n", message);
  }
  return opened ? 1 : 0;
}

}  // namespace

constexpr board::Ops kOps = {
    .init = init,
    .gpio_fsel = gpio_fsel,
    .gpio_set_pud = gpio_set_pud,
    .gpio_write = gpio_write,
    .delay = delay_ms,
    .st_read = clock_us,
    .spi_begin = spi_begin,
    .spi_setBitOrder = spi_set_bit_order,
    .spi_setDataMode = spi_set_data_mode,
    .spi_setClockDivider = spi_set_clock_divider,
    .spi_setChipSelectPolarity = spi_set_chip_select_polarity,
    .spi_transfernb = spi_transfernb,
};

}  // namespace kboard
