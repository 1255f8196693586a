// The bridge's reading of the program's standard output. Whatever a line
// holds: the reading does not depend on the line end, a line read as an
// event is exactly the text the program prints for it, and a number read is
// a whole number.
#include <cstdint>
#include <string>

#include "bridge/protocol.h"
#include "fuzz/fuzz_support.h"

using Kind = bridge::ProgramLine::Kind;

namespace {
// The prefix, then decimal digits (leading zeros allowed) of that value.
bool reads_as(const std::string& line, const std::string& prefix, long number) {
  if (line.rfind(prefix, 0) != 0 || line.size() == prefix.size()) {
    return false;
  }
  long value = 0;
  for (size_t i = prefix.size(); i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9' || value > 100'000'000'000L) {
      return false;
    }
    value = value * 10 + (line[i] - '0');
  }
  return value == number;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const bridge::ProgramLine p = bridge::parse_program_line(line);
  std::string bare = line;
  while (!bare.empty() && (bare.back() == '\r' || bare.back() == '\n')) {
    bare.pop_back();
  }
  const bridge::ProgramLine q = bridge::parse_program_line(bare + "\r\n");
  ZUL_FUZZ_CHECK(p.kind == q.kind && p.number == q.number && p.text == q.text,
                 "the line end changed the reading");
  ZUL_FUZZ_CHECK(p.number >= 0, "number %ld", p.number);
  switch (p.kind) {
    case Kind::kDial:
      ZUL_FUZZ_CHECK(reads_as(bare, "dial ", p.number), "\"%s\" read as dial %ld", bare.c_str(),
                     p.number);
      break;
    case Kind::kIntercom:
      ZUL_FUZZ_CHECK(reads_as(bare, "Intercom: ", p.number), "\"%s\" read as Intercom",
                     bare.c_str());
      break;
    case Kind::kFirmware:
      ZUL_FUZZ_CHECK(reads_as(bare, "Program_STM: ", p.number), "\"%s\" read as Program_STM",
                     bare.c_str());
      break;
    case Kind::kShield:
      ZUL_FUZZ_CHECK(reads_as(bare, "Shield: ", p.number), "\"%s\" read as Shield", bare.c_str());
      break;
    case Kind::kPickup:
    case Kind::kOpen:
    case Kind::kDrop:
    case Kind::kOpenDetected:
    case Kind::kCommon:
      ZUL_FUZZ_CHECK(bare == bridge::event_name(p.kind), "\"%s\" read as %s", bare.c_str(),
                     bridge::event_name(p.kind));
      break;
    case Kind::kVersionBanner:
      ZUL_FUZZ_CHECK(bare == "ZUL_STM_Driver " + p.text && !p.text.empty(),
                     "\"%s\" read as a banner", bare.c_str());
      break;
    case Kind::kSignal:
      ZUL_FUZZ_CHECK(bridge::is_event(p.kind), "a signal that is no event");
      ZUL_FUZZ_CHECK(
          (p.level == "HIGH" || p.level == "LOW") && !p.channel.empty() && !p.form.empty(),
          "\"%s\" read as a signal", bare.c_str());
      break;
    case Kind::kOther:
      ZUL_FUZZ_CHECK(!bridge::is_event(p.kind), "other lines are no events");
      break;
  }
  return 0;
}
