// The speakerphone settings file and the CS6422 setup it drives, on a shield
// with the chip. Whatever the file holds: the file is closed again, every
// field stays within its width, each codec register frame the co-processor
// takes names one of the six registers, the last frame per register carries
// the register's final word, and a file without the section (which the
// setup refuses) sends nothing and changes no field.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "codec/CS6422.h"
#include "codec/CS6422_registers.h"
#include "fuzz/fuzz_support.h"
#include "sim/coproc.h"
#include "tests/codec_support.h"
#include "tests/support.h"

namespace {

constexpr uint16_t kShieldWithCodec = 27;

int lowest_free_fd() {
  const int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemFile file;
  file.hold(data, size);
  fuzz::one_board();
  test::fresh_program();
  sim::coproc_reset_all();
  test::fresh_codec_table();
  const int free_fd = lowest_free_fd();

  const int result = CS6422_StartSetup(kShieldWithCodec, file.path().c_str());

  ZUL_FUZZ_CHECK(file_settings == nullptr, "the settings file is still open");
  ZUL_FUZZ_CHECK(lowest_free_fd() == free_fd, "a descriptor was left open");
  for (const CS6422_field& f : CS6422_prop) {
    ZUL_FUZZ_CHECK(f.value <= f.mask, "%s = %d is wider than its field", f.name, f.value);
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto frames = sim::coproc_record().settings;
  if (text.find("#CS6422") == std::string::npos) {
    ZUL_FUZZ_CHECK(result == 0, "a file without the section was taken");
    ZUL_FUZZ_CHECK(frames.empty(), "a file without the section sent %zu frames", frames.size());
    ZUL_FUZZ_CHECK(test::codec_table_is_default(), "a file without the section changed a field");
  }
  // A property that sends a frame is a name and a value: two words at least,
  // as the reader splits them (at a blank or "=").
  size_t words = 0;
  bool in_word = false;
  for (char c : text) {
    const bool split = c == ' ' || c == '\n' || c == '\r' || c == '=';
    words += !split && !in_word ? 1 : 0;
    in_word = !split;
  }
  ZUL_FUZZ_CHECK(frames.size() <= words / 2, "%zu frames from %zu words", frames.size(), words);
  std::map<int, uint16_t> last;
  for (const sim::Frame& f : frames) {
    ZUL_FUZZ_CHECK(f[0] == 0xA1 && f[1] == 0x0A && f[4] == 0 && f[5] == 0,
                   "not a codec register frame");
    const uint16_t word = static_cast<uint16_t>(f[2] << 8 | f[3]);
    const int reg = word & 0x0F;
    ZUL_FUZZ_CHECK(reg <= 10 && reg % 2 == 0, "register %d does not exist", reg);
    last[reg] = word;
  }
  for (const auto& [reg, word] : last) {
    const uint16_t now = CS6422_reg_word(static_cast<uint8_t>(reg));
    ZUL_FUZZ_CHECK(word == now, "register %d was last sent as %04X but holds %04X", reg, word, now);
  }
  return 0;
}
