// The kernel backend against fake GPIO chips and a fake spidev: which lines
// it finds, what it asks of the kernel and in which order, and what it says
// when it cannot have the board.
#include "board/kernel_board.h"

#include <gtest/gtest.h>
#include <linux/gpio.h>
#include <linux/spi/spidev.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "protocol/link_frame.h"

namespace {

struct FakeLine {
  std::string name;
  bool used = false;
  std::string consumer;
};

struct FakeChip {
  std::string dev_name;  // e.g. "gpiochip4"
  std::vector<FakeLine> lines;
  int open_errno = 0;
  int request_errno = 0;      // GPIO_V2_GET_LINE fails so
  std::string busy_consumer;  // ... and then shows this holder on its lines
  std::string label;          // gpiochip_info.label
};

// What the backend asked of the kernel, in order.
struct Call {
  enum Kind { kRequest, kConfig, kValues, kSpiMode, kSpiBits, kSpiSpeed, kTransfer } kind;
  int chip = -1;                  // kRequest, kConfig, kValues: which fake chip
  std::vector<uint32_t> offsets;  // kRequest
  uint64_t flags = 0;             // kRequest, kConfig
  uint64_t mask = 0;              // kConfig (output values), kValues
  uint64_t bits = 0;              // kConfig (output values), kValues
  uint32_t value = 0;             // kSpiMode, kSpiBits, kSpiSpeed
  spi_ioc_transfer transfer{};    // kTransfer
  std::vector<uint8_t> sent;      // kTransfer
};

constexpr int kChipFd = 100;
constexpr int kRequestFd = 200;
constexpr int kSpiFd = 300;

struct Fake {
  std::vector<FakeChip> chips;
  int spi_open_errno = 0;
  int spi_setup_errno = 0;
  int transfer_errno = 0;
  int values_errno = 0;  // GPIO_V2_LINE_SET_VALUES fails so (after it is logged)
  std::vector<Call> calls;
  std::vector<int> open_fds;
};
Fake* g_fake = nullptr;

int chip_of(int fd) {
  if (fd >= kRequestFd && fd < kSpiFd) {
    return fd - kRequestFd;
  }
  return fd - kChipFd;
}

int fake_open(const char* path, int) {
  const std::string p = path;
  if (p == "/dev/spidev0.0") {
    if (g_fake->spi_open_errno != 0) {
      errno = g_fake->spi_open_errno;
      return -1;
    }
    g_fake->open_fds.push_back(kSpiFd);
    return kSpiFd;
  }
  for (size_t i = 0; i < g_fake->chips.size(); ++i) {
    if (p == "/dev/" + g_fake->chips[i].dev_name) {
      if (g_fake->chips[i].open_errno != 0) {
        errno = g_fake->chips[i].open_errno;
        return -1;
      }
      g_fake->open_fds.push_back(kChipFd + static_cast<int>(i));
      return kChipFd + static_cast<int>(i);
    }
  }
  errno = ENOENT;
  return -1;
}

int fake_close(int fd) {
  auto& fds = g_fake->open_fds;
  for (auto it = fds.begin(); it != fds.end(); ++it) {
    if (*it == fd) {
      fds.erase(it);
      return 0;
    }
  }
  ADD_FAILURE() << "closed " << fd << ", which was not open";
  errno = EBADF;
  return -1;
}

int fake_list(char (*names)[32], int max) {
  int n = 0;
  for (const FakeChip& c : g_fake->chips) {
    if (n < max) {
      snprintf(names[n++], 32, "%s", c.dev_name.c_str());
    }
  }
  return n;
}

int gpio_ioctl(int fd, unsigned long request, void* arg) {
  FakeChip& chip = g_fake->chips.at(static_cast<size_t>(chip_of(fd)));
  if (request == GPIO_GET_CHIPINFO_IOCTL) {
    auto* info = static_cast<gpiochip_info*>(arg);
    info->lines = static_cast<uint32_t>(chip.lines.size());
    snprintf(info->label, sizeof info->label, "%s", chip.label.c_str());
    return 0;
  }
  if (request == GPIO_V2_GET_LINEINFO_IOCTL) {
    auto* info = static_cast<gpio_v2_line_info*>(arg);
    const FakeLine& l = chip.lines.at(info->offset);
    snprintf(info->name, sizeof info->name, "%s", l.name.c_str());
    snprintf(info->consumer, sizeof info->consumer, "%s", l.consumer.c_str());
    info->flags = l.used ? GPIO_V2_LINE_FLAG_USED : 0;
    return 0;
  }
  Call c{};
  c.chip = chip_of(fd);
  if (request == GPIO_V2_GET_LINE_IOCTL) {
    auto* req = static_cast<gpio_v2_line_request*>(arg);
    c.kind = Call::kRequest;
    c.offsets.assign(req->offsets, req->offsets + req->num_lines);
    c.flags = req->config.flags;
    EXPECT_STREQ(req->consumer, "zul_stm_driver");
    if (chip.request_errno != 0) {
      for (uint32_t o : c.offsets) {
        chip.lines[o].used = true;
        chip.lines[o].consumer = chip.busy_consumer;
      }
      errno = chip.request_errno;
      return -1;
    }
    g_fake->calls.push_back(c);
    req->fd = kRequestFd + c.chip;
    g_fake->open_fds.push_back(req->fd);
    return 0;
  }
  if (request == GPIO_V2_LINE_SET_CONFIG_IOCTL) {
    auto* config = static_cast<gpio_v2_line_config*>(arg);
    c.kind = Call::kConfig;
    c.flags = config->flags;
    for (uint32_t a = 0; a < config->num_attrs; ++a) {
      if (config->attrs[a].attr.id == GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES) {
        c.mask = config->attrs[a].mask;
        c.bits = config->attrs[a].attr.values;
      }
    }
    g_fake->calls.push_back(c);
    return 0;
  }
  if (request == GPIO_V2_LINE_SET_VALUES_IOCTL) {
    auto* values = static_cast<gpio_v2_line_values*>(arg);
    c.kind = Call::kValues;
    c.mask = values->mask;
    c.bits = values->bits;
    g_fake->calls.push_back(c);
    if (g_fake->values_errno != 0) {
      errno = g_fake->values_errno;
      return -1;
    }
    return 0;
  }
  ADD_FAILURE() << "unexpected GPIO ioctl " << request;
  errno = ENOTTY;
  return -1;
}

int spi_ioctl(unsigned long request, void* arg) {
  Call c{};
  if (request == SPI_IOC_MESSAGE(1)) {
    if (g_fake->transfer_errno != 0) {
      errno = g_fake->transfer_errno;
      return -1;
    }
    c.kind = Call::kTransfer;
    c.transfer = *static_cast<spi_ioc_transfer*>(arg);
    const auto* tx = reinterpret_cast<const uint8_t*>(c.transfer.tx_buf);
    auto* rx = reinterpret_cast<uint8_t*>(c.transfer.rx_buf);
    c.sent.assign(tx, tx + c.transfer.len);
    for (uint32_t i = 0; i < c.transfer.len; ++i) {
      rx[i] = static_cast<uint8_t>(0xA0 + i);  // the far end's answer
    }
    g_fake->calls.push_back(c);
    return static_cast<int>(c.transfer.len);
  }
  if (g_fake->spi_setup_errno != 0) {
    errno = g_fake->spi_setup_errno;
    return -1;
  }
  if (request == SPI_IOC_WR_MODE32) {
    c.kind = Call::kSpiMode;
    c.value = *static_cast<uint32_t*>(arg);
  } else if (request == SPI_IOC_WR_BITS_PER_WORD) {
    c.kind = Call::kSpiBits;
    c.value = *static_cast<uint8_t*>(arg);
  } else if (request == SPI_IOC_WR_MAX_SPEED_HZ) {
    c.kind = Call::kSpiSpeed;
    c.value = *static_cast<uint32_t*>(arg);
  } else {
    ADD_FAILURE() << "unexpected SPI ioctl " << request;
    errno = ENOTTY;
    return -1;
  }
  g_fake->calls.push_back(c);
  return 0;
}

int fake_ioctl(int fd, unsigned long request, void* arg) {
  return fd == kSpiFd ? spi_ioctl(request, arg) : gpio_ioctl(fd, request, arg);
}

constexpr kboard::Sys kFakeSys = {fake_open, fake_close, fake_ioctl, fake_list};

// A header chip whose lines are named GPIO0..GPIO<count-1>.
FakeChip header_chip(const std::string& dev_name, int count = 28) {
  FakeChip c{dev_name, {}, 0, 0, "", ""};
  for (int i = 0; i < count; ++i) {
    c.lines.push_back({"GPIO" + std::to_string(i), false, ""});
  }
  return c;
}

FakeChip other_chip(const std::string& dev_name) {
  FakeChip c{dev_name, {}, 0, 0, "", ""};
  for (const char* n : {"PWR_LED", "GLOBAL_RESET", "", "SD_PWR_ON"}) {
    c.lines.push_back({n, false, ""});
  }
  return c;
}

class KernelBoard : public testing::Test {
 protected:
  void SetUp() override {
    g_fake = &fake_;
    kboard::use_sys(kFakeSys);
  }
  void TearDown() override {
    kboard::close_board();
    EXPECT_TRUE(fake_.open_fds.empty()) << "descriptors left open";
    kboard::use_sys(kboard::real_sys());
    g_fake = nullptr;
  }

  bool open(std::string* message = nullptr) {
    char text[400];
    const bool ok = kboard::open_board(text, sizeof text);
    if (message != nullptr) {
      *message = text;
    }
    return ok;
  }

  std::vector<Call> calls_of(Call::Kind kind) const {
    std::vector<Call> out;
    for (const Call& c : fake_.calls) {
      if (c.kind == kind) {
        out.push_back(c);
      }
    }
    return out;
  }

  // Whether any level reached a line: an output request, a configuration
  // or a write.
  bool anything_driven() const {
    for (const Call& c : fake_.calls) {
      if (c.kind == Call::kConfig || c.kind == Call::kValues ||
          (c.kind == Call::kRequest && (c.flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0)) {
        return true;
      }
    }
    return false;
  }

  void expect_refused(const std::string& needle) {
    std::string message;
    EXPECT_FALSE(open(&message));
    EXPECT_NE(message.find(needle), std::string::npos) << message;
    EXPECT_FALSE(anything_driven());
    EXPECT_TRUE(fake_.open_fds.empty()) << "descriptors left open";
    EXPECT_EQ(message.find('\n'), std::string::npos) << "one line";
  }

  Fake fake_;
};

// The shield's lines, wherever they are: the Pi 5's header chip has been
// gpiochip4 and gpiochip0, and chips come in no particular order.
TEST_F(KernelBoard, FindsTheLinesByNameOnWhicheverChipHasThem) {
  for (const char* header : {"gpiochip0", "gpiochip4", "gpiochip13"}) {
    fake_ = Fake{};
    fake_.chips = {other_chip("gpiochip10"), header_chip(header), other_chip("gpiochip2")};
    if (std::string(header) == "gpiochip0") {
      fake_.chips[0].dev_name = "gpiochip1";
    }
    ASSERT_TRUE(open()) << header;
    const std::vector<Call> requests = calls_of(Call::kRequest);
    ASSERT_EQ(requests.size(), 1u) << header;
    EXPECT_EQ(requests[0].chip, 1);
    EXPECT_EQ(requests[0].offsets, (std::vector<uint32_t>{6, 14, 16, 22, 23, 24, 25, 26}));
    kboard::close_board();
  }
}

// The Pi 1 to 4's device trees call GPIO 14 after the serial port.
TEST_F(KernelBoard, Gpio14IsAlsoFoundByItsSerialPortName) {
  for (const char* name : {"TXD1", "TXD0"}) {
    fake_ = Fake{};
    fake_.chips = {header_chip("gpiochip0")};
    fake_.chips[0].lines[14].name = name;
    ASSERT_TRUE(open()) << name;
    const std::vector<Call> requests = calls_of(Call::kRequest);
    ASSERT_EQ(requests.size(), 1u);
    // Looked for once GPIO<n> had been: it comes last.
    EXPECT_EQ(requests[0].offsets, (std::vector<uint32_t>{6, 16, 22, 23, 24, 25, 26, 14}));
    kboard::close_board();
  }
}

// Only at offset 14 of GPIO6's chip: every Pi's device tree names GPIO 32
// TXD0 too, which is never the shield's.
TEST_F(KernelBoard, TheSerialPortNameCountsOnlyAtOffset14) {
  struct Row {
    const char* name14;
    bool taken;
  };
  for (const Row& r : {Row{"TXD1", true}, Row{"SPARE", false}}) {
    fake_ = Fake{};
    fake_.chips = {header_chip("gpiochip0", 54)};
    fake_.chips[0].lines[14].name = r.name14;
    fake_.chips[0].lines[32].name = "TXD0";
    if (r.taken) {
      ASSERT_TRUE(open()) << r.name14;
      const std::vector<Call> requests = calls_of(Call::kRequest);
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_EQ(requests[0].offsets, (std::vector<uint32_t>{6, 16, 22, 23, 24, 25, 26, 14}));
      kboard::close_board();
    } else {
      expect_refused("no GPIO line is named GPIO14 on the 1 chip(s) /dev/gpiochip*");
    }
  }
}

// Without any line names (a mainline kernel on a Pi 5), the lines are the
// offsets of a pin controller known to number them as the header does, and
// the start-up line says so; a name at any of them, or another chip, and
// nothing is taken by offset.
TEST_F(KernelBoard, UnnamedLinesOfAKnownPinControllerAreTakenByOffset) {
  struct Row {
    const char* label;
    const char* name6;  // the name at offset 6
    bool taken;
  };
  for (const Row& r : {Row{"pinctrl-rp1", "", true}, Row{"pinctrl-bcm2711", "", true},
                       Row{"pinctrl-bcm2835", "", true}, Row{"gpio-sim", "", false},
                       Row{"pinctrl-rp1", "LED", false}}) {
    fake_ = Fake{};
    FakeChip unnamed = header_chip("gpiochip4", 54);
    for (FakeLine& l : unnamed.lines) {
      l.name.clear();
    }
    unnamed.lines[6].name = r.name6;
    unnamed.label = r.label;
    fake_.chips = {other_chip("gpiochip0"), unnamed};
    if (!r.taken) {
      expect_refused("no GPIO line is named GPIO6 on the 2 chip(s) /dev/gpiochip*");
      continue;
    }
    std::string message;
    ASSERT_TRUE(open(&message)) << r.label;
    EXPECT_EQ(message,
              "the kernel's GPIO character device and spidev, lines found by offset on "
              "/dev/gpiochip4 (" +
                  std::string(r.label) + "): the device tree names none");
    const std::vector<Call> requests = calls_of(Call::kRequest);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].chip, 1);
    EXPECT_EQ(requests[0].offsets, (std::vector<uint32_t>{6, 14, 16, 22, 23, 24, 25, 26}));
    kboard::close_board();
  }
}

// Names win: an unnamed pin controller beside a chip that names the lines
// is not used, and there is nothing to say at start-up.
TEST_F(KernelBoard, NamedLinesWinOverAnUnnamedPinController) {
  FakeChip unnamed = header_chip("gpiochip0", 54);
  for (FakeLine& l : unnamed.lines) {
    l.name.clear();
  }
  unnamed.label = "pinctrl-rp1";
  fake_.chips = {unnamed, header_chip("gpiochip4")};
  std::string message;
  ASSERT_TRUE(open(&message));
  EXPECT_EQ(message, "");
  const std::vector<Call> requests = calls_of(Call::kRequest);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].chip, 1);
}

// ... and a line named GPIO14 anywhere wins over a serial port's name.
TEST_F(KernelBoard, ALineNamedGpio14WinsOverTxdOnAnEarlierChip) {
  FakeChip early = other_chip("gpiochip0");
  early.lines.push_back({"TXD1", false, ""});
  fake_.chips = {early, header_chip("gpiochip4")};
  ASSERT_TRUE(open());
  const std::vector<Call> requests = calls_of(Call::kRequest);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].chip, 1);
  EXPECT_EQ(requests[0].offsets, (std::vector<uint32_t>{6, 14, 16, 22, 23, 24, 25, 26}));
}

// Lines spread over two chips: one request per chip, and each write goes to
// the request and bit of its own line.
TEST_F(KernelBoard, LinesOnTwoChipsAreWrittenThroughTheirOwnRequests) {
  FakeChip low = header_chip("gpiochip10", 20);  // GPIO0..GPIO19
  FakeChip high{"gpiochip2", {}, 0, 0, "", ""};
  for (const char* n : {"GPIO26", "x", "GPIO22", "GPIO25", "GPIO23", "GPIO24"}) {
    high.lines.push_back({n, false, ""});
  }
  fake_.chips = {low, high};
  ASSERT_TRUE(open());
  const std::vector<Call> requests = calls_of(Call::kRequest);
  ASSERT_EQ(requests.size(), 2u);
  // gpiochip2 before gpiochip10: numeric order.
  EXPECT_EQ(requests[0].chip, 1);
  EXPECT_EQ(requests[0].offsets, (std::vector<uint32_t>{0, 2, 3, 4, 5}));
  EXPECT_EQ(requests[1].chip, 0);
  EXPECT_EQ(requests[1].offsets, (std::vector<uint32_t>{6, 14, 16}));

  const size_t before = fake_.calls.size();
  kboard::kOps.gpio_write(24, 1);  // offset 5 of gpiochip2: bit 4 of its request
  kboard::kOps.gpio_write(14, 0);  // offset 14 of gpiochip10: bit 1
  kboard::kOps.gpio_write(26, 1);  // offset 0 of gpiochip2: bit 0
  ASSERT_EQ(fake_.calls.size(), before + 3);
  const Call& w24 = fake_.calls[before];
  EXPECT_EQ(w24.kind, Call::kValues);
  EXPECT_EQ(w24.chip, 1);
  EXPECT_EQ(w24.mask, 1u << 4);
  EXPECT_EQ(w24.bits, 1u << 4);
  const Call& w14 = fake_.calls[before + 1];
  EXPECT_EQ(w14.chip, 0);
  EXPECT_EQ(w14.mask, 1u << 1);
  EXPECT_EQ(w14.bits, 0u);
  const Call& w26 = fake_.calls[before + 2];
  EXPECT_EQ(w26.chip, 1);
  EXPECT_EQ(w26.mask, 1u);
  EXPECT_EQ(w26.bits, 1u);
}

// Requested as they are first, all of them; only then outputs, starting at
// the board's idle levels: reset (14) and hook lines (22, 23) high, the
// selector and the relays low.
TEST_F(KernelBoard, RequestsEveryLineAsItIsThenMakesThemOutputsAtIdleLevels) {
  FakeChip low = header_chip("gpiochip0", 20);
  FakeChip high{"gpiochip1", {}, 0, 0, "", ""};
  for (const char* n : {"GPIO22", "GPIO23", "GPIO24", "GPIO25", "GPIO26"}) {
    high.lines.push_back({n, false, ""});
  }
  fake_.chips = {low, high};
  ASSERT_TRUE(open());
  std::vector<Call::Kind> order;
  for (const Call& c : fake_.calls) {
    if (c.kind == Call::kRequest || c.kind == Call::kConfig) {
      order.push_back(c.kind);
      if (c.kind == Call::kRequest) {
        EXPECT_EQ(c.flags, 0u) << "a request sets no direction";
      }
    }
  }
  EXPECT_EQ(order, (std::vector<Call::Kind>{Call::kRequest, Call::kRequest, Call::kConfig,
                                            Call::kConfig}));
  const std::vector<Call> configs = calls_of(Call::kConfig);
  // gpiochip0: GPIO6, GPIO14, GPIO16 as bits 0, 1, 2.
  EXPECT_EQ(configs[0].chip, 0);
  EXPECT_EQ(configs[0].flags, GPIO_V2_LINE_FLAG_OUTPUT);
  EXPECT_EQ(configs[0].mask, 0b111u);
  EXPECT_EQ(configs[0].bits, 0b010u);
  // gpiochip1: GPIO22..GPIO26 as bits 0..4; 22 and 23 high.
  EXPECT_EQ(configs[1].chip, 1);
  EXPECT_EQ(configs[1].mask, 0b11111u);
  EXPECT_EQ(configs[1].bits, 0b00011u);
  EXPECT_TRUE(calls_of(Call::kValues).empty());
}

// GPIO 2, 8 (SPI0's chip select) and 15 are the system's: the program's
// set-up and writes of them reach no line.
TEST_F(KernelBoard, PinsOutsideTheShieldsLinesAreLeftAlone) {
  fake_.chips = {header_chip("gpiochip0")};
  ASSERT_TRUE(open());
  const size_t before = fake_.calls.size();
  kboard::kOps.gpio_fsel(8, 1);
  kboard::kOps.gpio_fsel(15, 0);
  kboard::kOps.gpio_set_pud(15, 1);
  kboard::kOps.gpio_fsel(2, 1);
  kboard::kOps.gpio_write(2, 1);
  kboard::kOps.gpio_write(8, 1);
  kboard::kOps.gpio_write(15, 1);
  kboard::kOps.gpio_write(200, 1);
  EXPECT_EQ(fake_.calls.size(), before);
  for (const Call& r : calls_of(Call::kRequest)) {
    for (uint32_t o : r.offsets) {
      EXPECT_TRUE(o != 2 && o != 8 && o != 15) << o;
    }
  }
}

TEST_F(KernelBoard, NothingIsWrittenBeforeTheBoardIsOpen) {
  fake_.chips = {header_chip("gpiochip0")};
  kboard::kOps.gpio_write(24, 1);
  EXPECT_TRUE(fake_.calls.empty());
}

TEST_F(KernelBoard, ALineHeldByAnotherProgramNamesItAndDrivesNothing) {
  fake_.chips = {header_chip("gpiochip0")};
  fake_.chips[0].lines[24] = {"GPIO24", true, "relayd"};
  expect_refused("GPIO24 (line 24 of /dev/gpiochip0) is in use by \"relayd\"");
  EXPECT_TRUE(calls_of(Call::kRequest).empty());
}

TEST_F(KernelBoard, ALineExportedThroughSysfsSaysHowToFreeIt) {
  fake_.chips = {header_chip("gpiochip0")};
  fake_.chips[0].lines[6] = {"GPIO6", true, "sysfs"};
  expect_refused(
      "GPIO6 (line 6 of /dev/gpiochip0) is exported through sysfs; free it with: "
      "echo 6 > /sys/class/gpio/unexport");
}

TEST_F(KernelBoard, ALineTheKernelHoldsWithoutANameSaysSo) {
  fake_.chips = {header_chip("gpiochip0")};
  fake_.chips[0].lines[14] = {"GPIO14", true, ""};
  expect_refused("GPIO14 (line 14 of /dev/gpiochip0) is in use and the kernel names no holder");
}

// Taken between the check and the request (on the second chip): the lines
// of the first chip were requested as they were and are given back undriven.
TEST_F(KernelBoard, ALineTakenBetweenCheckAndRequestDrivesNothingEither) {
  FakeChip low = header_chip("gpiochip0", 20);
  FakeChip high = header_chip("gpiochip1", 0);
  for (const char* n : {"GPIO22", "GPIO23", "GPIO24", "GPIO25", "GPIO26"}) {
    high.lines.push_back({n, false, ""});
  }
  high.request_errno = EBUSY;
  high.busy_consumer = "intruder";
  fake_.chips = {low, high};
  expect_refused("GPIO22 (line 0 of /dev/gpiochip1) is in use by \"intruder\"");
  EXPECT_EQ(calls_of(Call::kRequest).size(), 1u);
}

TEST_F(KernelBoard, AMissingLineIsNamed) {
  fake_.chips = {header_chip("gpiochip0", 25), other_chip("gpiochip1")};  // up to GPIO24
  expect_refused(
      "no GPIO line is named GPIO25 on the 2 chip(s) /dev/gpiochip*; the shield needs lines named "
      "GPIO6, GPIO14, GPIO16 and GPIO22 to GPIO26, as on a Raspberry Pi's header");
}

TEST_F(KernelBoard, NoGpioChipAtAll) {
  expect_refused(
      "no GPIO chip (/dev/gpiochip*) on this machine; the shield needs a board with lines named "
      "GPIO6, GPIO14, GPIO16 and GPIO22 to GPIO26 (use zul_stm_sim on any other machine)");
}

TEST_F(KernelBoard, AChipWithoutPermissionNamesTheGroupGpio) {
  fake_.chips = {other_chip("gpiochip1"), header_chip("gpiochip0")};
  fake_.chips[1].open_errno = EACCES;
  expect_refused(
      "no permission to open /dev/gpiochip0: add the user that runs it to the group "
      "gpio");
}

// A chip the user may not open matters only when a line is missing.
TEST_F(KernelBoard, AForbiddenChipWithoutTheShieldsLinesIsNoObstacle) {
  fake_.chips = {other_chip("gpiochip1"), header_chip("gpiochip0")};
  fake_.chips[0].open_errno = EACCES;
  EXPECT_TRUE(open());
}

TEST_F(KernelBoard, SpiSwitchedOffSaysHowToSwitchItOn) {
  fake_.chips = {header_chip("gpiochip0")};
  fake_.spi_open_errno = ENOENT;
  expect_refused(
      "/dev/spidev0.0 does not exist: SPI is switched off; put dtparam=spi=on in config.txt "
      "(/boot/firmware/config.txt) and reboot, or run sudo raspi-config nonint do_spi 0, which "
      "does the same without a reboot");
  EXPECT_TRUE(calls_of(Call::kRequest).empty());
}

TEST_F(KernelBoard, SpiWithoutPermissionNamesTheGroupSpi) {
  fake_.chips = {header_chip("gpiochip0")};
  fake_.spi_open_errno = EACCES;
  expect_refused(
      "no permission to open /dev/spidev0.0: add the user that runs it to the group "
      "spi");
}

TEST_F(KernelBoard, SpiThatRefusesTheSettingsDrivesNothing) {
  fake_.chips = {header_chip("gpiochip0")};
  fake_.spi_setup_errno = EINVAL;
  expect_refused("/dev/spidev0.0 refused SPI mode 0, 8 bits, MSB first at 281532 Hz");
}

// SPI0 as the program sets it up: mode 0, 8 bits, MSB first, chip select 0
// active low, divider 889; set once when the board opens, so the program's
// own calls (the same settings) cost nothing.
TEST_F(KernelBoard, SpiIsSetUpAsTheProgramAsksBeforeAnyLineIsRequested) {
  fake_.chips = {header_chip("gpiochip0")};
  ASSERT_TRUE(open());
  ASSERT_GE(fake_.calls.size(), 4u);
  EXPECT_EQ(fake_.calls[0].kind, Call::kSpiMode);
  EXPECT_EQ(fake_.calls[0].value, static_cast<uint32_t>(SPI_MODE_0));
  EXPECT_EQ(fake_.calls[1].kind, Call::kSpiBits);
  EXPECT_EQ(fake_.calls[1].value, 8u);
  EXPECT_EQ(fake_.calls[2].kind, Call::kSpiSpeed);
  EXPECT_EQ(fake_.calls[2].value, 281532u);
  EXPECT_EQ(fake_.calls[3].kind, Call::kRequest);
  const size_t before = fake_.calls.size();
  EXPECT_EQ(kboard::kOps.spi_begin(), 1);
  kboard::kOps.spi_setBitOrder(1);  // BCM2835_SPI_BIT_ORDER_MSBFIRST
  kboard::kOps.spi_setDataMode(0);
  kboard::kOps.spi_setClockDivider(kSpiClockDivider);
  kboard::kOps.spi_setChipSelectPolarity(0, 0);
  EXPECT_EQ(fake_.calls.size(), before);
}

TEST_F(KernelBoard, OtherSpiSettingsReachTheDevice) {
  fake_.chips = {header_chip("gpiochip0")};
  ASSERT_TRUE(open());
  const size_t before = fake_.calls.size();
  kboard::kOps.spi_setDataMode(3);
  kboard::kOps.spi_setBitOrder(0);  // LSB first
  kboard::kOps.spi_setChipSelectPolarity(0, 1);
  kboard::kOps.spi_setChipSelectPolarity(1, 1);  // another device: not ours
  kboard::kOps.spi_setClockDivider(1024);
  ASSERT_EQ(fake_.calls.size(), before + 4);
  EXPECT_EQ(fake_.calls[before].value, static_cast<uint32_t>(SPI_MODE_3));
  EXPECT_EQ(fake_.calls[before + 1].value, static_cast<uint32_t>(SPI_MODE_3 | SPI_LSB_FIRST));
  EXPECT_EQ(fake_.calls[before + 2].value,
            static_cast<uint32_t>(SPI_MODE_3 | SPI_LSB_FIRST | SPI_CS_HIGH));
  EXPECT_EQ(fake_.calls[before + 3].kind, Call::kSpiSpeed);
  EXPECT_EQ(fake_.calls[before + 3].value, 244141u);
}

// Each frame is one message of 8 bytes: chip select stays low for all of it.
TEST_F(KernelBoard, AFrameIsOneMessageOfEightBytes) {
  fake_.chips = {header_chip("gpiochip0")};
  ASSERT_TRUE(open());
  char send[8] = {'\xA1', 0x01, 2, 3, 4, 5, 6, 7};
  char receive[8] = {};
  kboard::kOps.spi_transfernb(send, receive, 8);
  const std::vector<Call> transfers = calls_of(Call::kTransfer);
  ASSERT_EQ(transfers.size(), 1u);
  const spi_ioc_transfer& t = transfers[0].transfer;
  EXPECT_EQ(t.len, 8u);
  EXPECT_EQ(t.speed_hz, 281532u);
  EXPECT_EQ(t.bits_per_word, 8u);
  EXPECT_EQ(t.cs_change, 0u);
  EXPECT_EQ(transfers[0].sent, (std::vector<uint8_t>{0xA1, 1, 2, 3, 4, 5, 6, 7}));
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(static_cast<uint8_t>(receive[i]), 0xA0 + i);
  }
}

// A failed transfer leaves no stale reply to be taken for news; it is told
// once, not at every cycle.
TEST_F(KernelBoard, AFailedTransferReadsAsSilenceAndIsToldOnce) {
  fake_.chips = {header_chip("gpiochip0")};
  ASSERT_TRUE(open());
  fake_.transfer_errno = EIO;
  char send[8] = {};
  char receive[8];
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) {
    memset(receive, 0x55, sizeof receive);
    kboard::kOps.spi_transfernb(send, receive, 8);
    EXPECT_EQ(std::string(receive, 8), std::string(8, '\0'));
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "zul_stm_driver: a transfer on /dev/spidev0.0 failed: Input/output error\n");
}

// Stands in for the program's stop handler (core/stop.cpp): counts the
// stops and writes every line to its idle level, as the stop does.
std::atomic<int> g_stops{0};
void stop_as_the_program_does(int) {
  g_stops.fetch_add(1);
  for (const uint8_t pin : kboard::kLinePins) {
    kboard::kOps.gpio_write(pin, 0);
  }
}

// A board gone away: the failed write is told in one line, once, and the
// program stops as on SIGTERM, whose idle writes are still tried but neither
// told again nor a second stop.
TEST_F(KernelBoard, AFailedPinWriteIsToldOnceAndStopsTheProgram) {
  fake_.chips = {header_chip("gpiochip0")};
  ASSERT_TRUE(open());
  fake_.values_errno = ENODEV;
  struct sigaction action {};
  action.sa_handler = stop_as_the_program_does;
  sigemptyset(&action.sa_mask);
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGTERM, &action, &old), 0);
  g_stops.store(0);
  // The stop runs in a signal handler, where the fake's log must not grow
  // its storage (malloc is not async-signal-safe; ThreadSanitizer says so).
  fake_.calls.reserve(fake_.calls.size() + 2 * kboard::kLineCount + 2);
  const size_t before = calls_of(Call::kValues).size();
  testing::internal::CaptureStderr();
  kboard::kOps.gpio_write(24, 1);
  const int stops_on_return = g_stops.load();
  kboard::kOps.gpio_write(23, 0);  // another thread's write meanwhile
  const std::string err = testing::internal::GetCapturedStderr();
  sigaction(SIGTERM, &old, nullptr);
  EXPECT_EQ(err,
            "zul_stm_driver: setting GPIO24 on /dev/gpiochip0 failed: No such device; "
            "stopping\n");
  EXPECT_EQ(stops_on_return, 1) << "the stop runs before the write returns";
  EXPECT_EQ(g_stops.load(), 1);
  // The failed write, the stop's eight idle writes, the later write.
  EXPECT_EQ(calls_of(Call::kValues).size() - before, 1u + kboard::kLineCount + 1u);
}

// The divider spi-bcm2835 sets for a requested speed at a 250 MHz core
// clock (drivers/spi/spi-bcm2835.c, bcm2835_spi_transfer_one): 0 is 65536.
unsigned kernel_divider(uint32_t speed_hz) {
  constexpr unsigned long kClockHz = 250000000;
  if (speed_hz >= kClockHz / 2) {
    return 2;
  }
  unsigned long cdiv = (kClockHz + speed_hz - 1) / speed_hz;
  cdiv += cdiv % 2;
  return cdiv >= 65536 ? 65536 : static_cast<unsigned>(cdiv);
}

// The speed asked for is the lowest that the kernel turns into the divider
// the bcm2835 library's one stands for (odd rounded down to even; 0 and 1
// are 65536): one hertz less would be a slower divider.
TEST(KernelBoardSpi, TheSpeedAskedForGivesTheLibrarysDividerInTheKernel) {
  struct Row {
    uint16_t divider;
    uint32_t speed_hz;
    unsigned kernel_divider;
  };
  for (const Row& r :
       {Row{889, 281532, 888}, Row{888, 281532, 888}, Row{2, 125000000, 2}, Row{3, 125000000, 2},
        Row{1024, 244141, 1024}, Row{0, 3814, 65536}, Row{1, 3814, 65536}}) {
    const uint32_t speed = kboard::spi_speed_for_divider(r.divider);
    EXPECT_EQ(speed, r.speed_hz) << r.divider;
    EXPECT_EQ(kernel_divider(speed), r.kernel_divider) << r.divider;
    if (r.kernel_divider != 65536) {
      EXPECT_GT(kernel_divider(speed - 1), r.kernel_divider) << r.divider;
    }
  }
}

int64_t monotonic_us() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

TEST(KernelBoardTime, TheClockIsTheMonotonicClockInMicroseconds) {
  const int64_t before = monotonic_us();
  const int64_t clock = static_cast<int64_t>(kboard::kOps.st_read());
  const int64_t after = monotonic_us();
  EXPECT_LE(before, clock);
  EXPECT_LE(clock, after);
}

void no_op(int) {}

// A signal handled during a wait does not cut it short.
TEST(KernelBoardTime, AWaitLastsItsTimeThroughSignals) {
  struct sigaction action {};
  action.sa_handler = no_op;  // no SA_RESTART: the sleep sees EINTR
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR2, &action, &old), 0);
  const pthread_t sleeper = pthread_self();
  std::atomic<bool> done{false};
  std::atomic<int> signals{0};
  std::thread poker([&] {
    while (!done.load()) {
      pthread_kill(sleeper, SIGUSR2);
      signals.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const int64_t start = monotonic_us();
  kboard::kOps.delay(120);
  const int64_t waited = monotonic_us() - start;
  done.store(true);
  poker.join();
  sigaction(SIGUSR2, &old, nullptr);
  EXPECT_GE(waited, 120000);
  EXPECT_GT(signals.load(), 1);
}

}  // namespace
