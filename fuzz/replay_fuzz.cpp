// The flight-record loader of zul_stm_sim --replay. Whatever the file holds:
// a refused file gets one message "PATH:LINE: ..." (or "PATH: ...") naming
// the file, and an accepted one holds only entries of the five kinds, each
// within the entry's size, in the file's line order, none after the end
// line, and an end time no earlier than any entry's.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "record/flight_record.h"
#include "sim/replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemFile file;
  file.hold(data, size);
  sim::FlightRecordFile record;
  std::string error;
  const bool ok = sim::load_flight_record(file.path(), &record, &error);
  if (!ok) {
    ZUL_FUZZ_CHECK(error.rfind(file.path() + ":", 0) == 0, "the message does not name the file: %s",
                   error.c_str());
    ZUL_FUZZ_CHECK(error.size() > file.path().size() + 2, "the message says nothing");
    return 0;
  }
  ZUL_FUZZ_CHECK(error.empty(), "accepted with a message: %s", error.c_str());
  size_t previous_line = 1;  // the header
  for (const sim::RecordLine& l : record.lines) {
    const RecordKind k = l.entry.kind;
    ZUL_FUZZ_CHECK(k == RecordKind::kTransfer || k == RecordKind::kToken ||
                       k == RecordKind::kInputEnd || k == RecordKind::kLine ||
                       k == RecordKind::kPin,
                   "entry of kind %d", static_cast<int>(k));
    ZUL_FUZZ_CHECK(l.entry.len <= kRecordTextMax, "entry of %d bytes", l.entry.len);
    ZUL_FUZZ_CHECK(l.file_line > previous_line, "line %zu after line %zu", l.file_line,
                   previous_line);
    ZUL_FUZZ_CHECK(l.file_line <= record.end_line, "line %zu after the end at line %zu",
                   l.file_line, record.end_line);
    ZUL_FUZZ_CHECK(l.t_us <= record.end_us, "an entry at %llu us after the end at %llu us",
                   static_cast<unsigned long long>(l.t_us),
                   static_cast<unsigned long long>(record.end_us));
    previous_line = l.file_line;
  }
  return 0;
}
