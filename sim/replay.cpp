#include "sim/replay.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>

#include "protocol/record_format.h"
#include "sim/board.h"
#include "sim/clock.h"
#include "sim/console.h"
#include "sim/time_format.h"

namespace sim {
namespace {

struct Replay {
  std::vector<RecordLine> transfers;  // the recorded ones, in order
  size_t next_transfer = 0;
  double tolerance_ms = kReplayToleranceMs;
  const FlightRecordFile* record = nullptr;
};
// Guards g_replay: prepared before the program starts, then read and
// advanced by the program's transfers and the verdict at the end. Never
// held across a wait of the clock.
std::mutex& mu = *new std::mutex;
Replay& g_replay = *new Replay;

bool parse_ms(const std::string& s, uint64_t* us) {
  if (s.empty()) {
    return false;
  }
  uint64_t whole = 0;
  size_t i = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    whole = whole * 10 + static_cast<uint64_t>(s[i] - '0');
  }
  if (i == 0) {
    return false;
  }
  uint64_t frac = 0;
  int digits = 0;
  if (i < s.size() && s[i] == '.') {
    for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < 3; ++i, ++digits) {
      frac = frac * 10 + static_cast<uint64_t>(s[i] - '0');
    }
    if (digits == 0) {
      return false;
    }
  }
  if (i != s.size()) {
    return false;
  }
  for (; digits < 3; ++digits) {
    frac *= 10;
  }
  *us = whole * 1000 + frac;
  return true;
}

bool parse_hex8(const std::string& s, uint8_t* out) {
  if (s.size() != 16) {
    return false;
  }
  for (size_t i = 0; i < 8; ++i) {
    unsigned v = 0;
    if (sscanf(s.substr(2 * i, 2).c_str(), "%2X", &v) != 1 || !isxdigit(s[2 * i]) ||
        !isxdigit(s[2 * i + 1])) {
      return false;
    }
    out[i] = static_cast<uint8_t>(v);
  }
  return true;
}

void set_text(RecordEntry* e, RecordKind kind, const std::string& text) {
  e->kind = kind;
  e->len = static_cast<uint8_t>(std::min(text.size(), kRecordTextMax));
  memcpy(e->data, text.data(), e->len);
}

// The arguments after "flight record:", the way the recorder quoted them.
std::vector<std::string> split_args(const std::string& s) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') {
      ++i;
    }
    if (i >= s.size()) {
      break;
    }
    std::string w;
    if (s[i] == '"') {
      for (++i; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
          ++i;
        }
        w.push_back(s[i]);
      }
      ++i;
    } else {
      for (; i < s.size() && s[i] != ' '; ++i) {
        w.push_back(s[i]);
      }
    }
    words.push_back(w);
  }
  return words;
}

bool parse_entry(const std::string& line, RecordLine* out, std::string* end_how,
                 std::string* what_is_wrong) {
  const size_t sp = line.find(' ');
  if (sp == std::string::npos || !parse_ms(line.substr(0, sp), &out->t_us)) {
    *what_is_wrong = "a record starts with its time in ms";
    return false;
  }
  const std::string rest = line.substr(sp + 1);
  const size_t sp2 = rest.find(' ');
  const std::string kind = rest.substr(0, sp2);
  const std::string arg = sp2 == std::string::npos ? "" : rest.substr(sp2 + 1);
  RecordEntry& e = out->entry;
  e.t_us = out->t_us;
  if (kind == kRecordTransfer) {
    const size_t sp3 = arg.find(' ');
    if (sp3 == std::string::npos || !parse_hex8(arg.substr(0, sp3), e.data) ||
        !parse_hex8(arg.substr(sp3 + 1), e.data + 8)) {
      *what_is_wrong = "spi needs two frames of 16 hex digits";
      return false;
    }
    e.kind = RecordKind::kTransfer;
    e.len = 16;
    return true;
  }
  if (kind == kRecordPin) {
    unsigned gpio = 0;
    unsigned level = 0;
    char extra = 0;
    if (sscanf(arg.c_str(), "%u %u %c", &gpio, &level, &extra) != 2 || gpio > 255 || level > 255) {
      *what_is_wrong = "pin needs a GPIO number and a level";
      return false;
    }
    e.kind = RecordKind::kPin;
    e.len = 2;
    e.data[0] = static_cast<uint8_t>(gpio);
    e.data[1] = static_cast<uint8_t>(level);
    return true;
  }
  if (kind == kRecordToken) {
    if (arg.empty()) {
      *what_is_wrong = "in needs the token read";
      return false;
    }
    set_text(&e, RecordKind::kToken, arg);
    return true;
  }
  if (kind == kRecordInputEnd) {
    e.kind = RecordKind::kInputEnd;
    return true;
  }
  if (kind == kRecordLine) {
    set_text(&e, RecordKind::kLine, arg);
    return true;
  }
  if (kind == kRecordEnd) {
    *end_how = arg;
    e.kind = RecordKind::kNone;
    return true;
  }
  *what_is_wrong = "unknown record \"" + kind + "\" (spi, in, in-end, out, pin, end)";
  return false;
}

std::string describe(const RecordEntry& e) {
  char buf[80];
  switch (e.kind) {
    case RecordKind::kTransfer: {
      std::string s = "sent ";
      for (int i = 0; i < 8; ++i) {
        snprintf(buf, sizeof buf, "%02X", e.data[i]);
        s += buf;
      }
      return s;
    }
    case RecordKind::kPin:
      snprintf(buf, sizeof buf, "pin %u %u", e.data[0], e.data[1]);
      return buf;
    case RecordKind::kLine:
      return "out " + std::string(reinterpret_cast<const char*>(e.data), e.len);
    case RecordKind::kToken:
      return "in " + std::string(reinterpret_cast<const char*>(e.data), e.len);
    case RecordKind::kInputEnd:
      return "in-end";
    case RecordKind::kNone:
      break;
  }
  return "?";
}

std::string ms_text(uint64_t us) {
  char buf[32];
  format_ms(static_cast<int64_t>(us) * 1000, buf, sizeof buf);
  return std::string(buf) + " ms";
}

struct Divergence {
  bool found = false;
  uint64_t key_us = 0;  // where it is, in the record's time
  std::string text;
};

// First divergence in one stream of what the program did.
Divergence compare_stream(const FlightRecordFile& rec, RecordKind kind, bool timed,
                          const std::vector<RecordEntry>& replay, double tolerance_ms) {
  std::vector<const RecordLine*> want;
  for (const RecordLine& l : rec.lines) {
    if (l.entry.kind == kind) {
      want.push_back(&l);
    }
  }
  std::vector<const RecordEntry*> got;
  for (const RecordEntry& e : replay) {
    if (e.kind == kind) {
      got.push_back(&e);
    }
  }
  const auto tol_us = static_cast<uint64_t>(tolerance_ms * 1000);
  const std::string where = rec.path + " line ";
  Divergence d;
  for (size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
    if (i >= want.size()) {
      if (got[i]->t_us + tol_us >= rec.end_us) {
        // Near or after the record's end: the recorded run may not have lived
        // that long, or was in the middle of it.
        return d;
      }
      d.found = true;
      d.key_us = got[i]->t_us;
      d.text = "after " + where +
               std::to_string(want.empty() ? rec.end_line : want.back()->file_line) +
               ": the record says nothing more, the replay did \"" + describe(*got[i]) + "\" at " +
               ms_text(got[i]->t_us);
      return d;
    }
    const RecordLine& w = *want[i];
    d.key_us = w.t_us;
    const std::string head = "at " + where + std::to_string(w.file_line) + " (" + ms_text(w.t_us) +
                             "): the record says \"" + describe(w.entry) + "\"";
    if (i >= got.size()) {
      d.found = true;
      d.text = head + ", the replay did no such thing (it ended at " + ms_text(rec.end_us) + ")";
      return d;
    }
    const RecordEntry& g = *got[i];
    if (describe(g) != describe(w.entry)) {
      d.found = true;
      d.text = head + ", the replay did \"" + describe(g) + "\" at " + ms_text(g.t_us);
      return d;
    }
    const uint64_t off = g.t_us > w.t_us ? g.t_us - w.t_us : w.t_us - g.t_us;
    if (timed && off > tol_us) {
      d.found = true;
      char tol[32];
      snprintf(tol, sizeof tol, "%g", tolerance_ms);
      d.text = head + ", the replay did \"" + describe(g) + "\" at " + ms_text(g.t_us) +
               " (more than " + tol + " ms off)";
      return d;
    }
  }
  return Divergence{};
}

int64_t answer_transfer(const uint8_t* sent, uint8_t* received) {
  (void)sent;  // compared afterwards, from the program's own record
  RecordLine line;
  bool have = false;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (g_replay.next_transfer < g_replay.transfers.size()) {
      line = g_replay.transfers[g_replay.next_transfer++];
      have = true;
    }
  }
  if (!have) {
    memset(received, 0, 8);  // beyond the record: a co-processor with nothing to say
    return transfer_time_ns();
  }
  memcpy(received, line.entry.data + 8, 8);
  // The transfer ends at its recorded time, as it did in the recorded run
  // with its overshooting sleeps; a replay that is behind (the simulator in
  // real time spends no time on the bus) catches up at once.
  const int64_t now_us = static_cast<int64_t>(record_now_us());
  const int64_t end_us = static_cast<int64_t>(line.t_us);
  return end_us > now_us ? (end_us - now_us) * 1000 : 0;
}

}  // namespace

bool load_flight_record(const std::string& path, FlightRecordFile* out, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  *out = FlightRecordFile{};
  out->path = path;
  std::string line;
  size_t n = 0;
  bool have_header = false;
  bool ended = false;
  static const char kHeaderMark[] = " flight record:";
  static const char kCannot[] = ", so it cannot be replayed";
  while (std::getline(in, line)) {
    ++n;
    const std::string at = path + ":" + std::to_string(n) + ": ";
    // Every line the recorder writes ends with a line end, its end line
    // last: a line without one is where a copy or a write stopped, and what
    // it holds is not to be trusted ("out dia" is not "out dial 5").
    if (in.eof()) {
      *error = at + "the line end is missing: the record was cut short in this line" +
               (ended ? "" : ", before its end line") + kCannot;
      return false;
    }
    if (n == 1) {
      const size_t mark = line.find(kHeaderMark);
      if (line.rfind("# ZUL_STM_Driver ", 0) != 0 || mark == std::string::npos) {
        *error = at + "not a flight record (its first line names the program and its arguments)";
        return false;
      }
      std::vector<std::string> words = split_args(line.substr(mark + sizeof kHeaderMark - 1));
      if (!words.empty()) {
        out->args.assign(words.begin() + 1, words.end());
      }
      have_header = true;
      continue;
    }
    if (line.rfind("# dropped ", 0) == 0) {
      *error = at +
               "the ring had wrapped: the record does not reach back to the program's start, "
               "so it cannot be replayed";
      return false;
    }
    if (line.empty() || line[0] == '#') {
      continue;
    }
    if (ended) {
      *error = at + "a record after the end line";
      return false;
    }
    RecordLine r;
    r.file_line = n;
    std::string end_how;
    std::string what;
    if (!parse_entry(line, &r, &end_how, &what)) {
      *error = at + what;
      return false;
    }
    if (r.entry.kind == RecordKind::kNone) {
      // The end is written after every entry, but an entry taken on
      // another thread as the program ended may carry a later time: the
      // run lasts until the later of the two, so that entry is compared too.
      ended = true;
      out->end_us = std::max(out->end_us, r.t_us);
      out->end_line = n;
      out->end_how = end_how;
      continue;
    }
    out->end_us = std::max(out->end_us, r.t_us);
    out->lines.push_back(r);
  }
  if (!have_header) {
    *error = path + ": empty, not a flight record";
    return false;
  }
  if (!ended) {
    // Without it the replay would end at the last entry left and could say
    // "identical" of a run it saw only part of.
    *error = path +
             ": the end line (\"<ms> end HOW\") is missing: the record was cut short after line " +
             std::to_string(n) + kCannot;
    return false;
  }
  return true;
}

void replay_prepare(const FlightRecordFile& record, double tolerance_ms, void (*finish)(int)) {
  {
    std::lock_guard<std::mutex> lock(mu);
    g_replay = Replay{};
    g_replay.tolerance_ms = tolerance_ms;
    g_replay.record = &record;
    for (const RecordLine& l : record.lines) {
      if (l.entry.kind == RecordKind::kTransfer) {
        g_replay.transfers.push_back(l);
      }
    }
  }
  record_keep_in_memory();
  board_set_transfer_source(answer_transfer);
  // Nothing waits before the peripheral library starts, so the record's time
  // origin is the virtual clock's 0.
  for (const RecordLine& l : record.lines) {
    const int64_t t_ns = static_cast<int64_t>(l.t_us) * 1000;
    if (l.entry.kind == RecordKind::kToken) {
      const std::string token(reinterpret_cast<const char*>(l.entry.data), l.entry.len);
      if (t_ns == 0) {
        input_push(token + "\n");
      } else {
        clock_at(t_ns, [token] { input_push(token + "\n"); });
      }
    } else if (l.entry.kind == RecordKind::kInputEnd) {
      if (t_ns == 0) {
        input_close();
      } else {
        clock_at(t_ns, [] { input_close(); });
      }
    }
  }
  const auto end_ns = static_cast<int64_t>(record.end_us) * 1000 +
                      static_cast<int64_t>(tolerance_ms * static_cast<double>(kNsPerMs)) + kNsPerMs;
  clock_at(end_ns, [finish] { finish(0); });
}

int replay_verdict(std::string* report) {
  const FlightRecordFile* rec = nullptr;
  double tolerance_ms = kReplayToleranceMs;
  {
    std::lock_guard<std::mutex> lock(mu);
    rec = g_replay.record;
    tolerance_ms = g_replay.tolerance_ms;
  }
  if (rec == nullptr) {
    *report = "replay: nothing was replayed\n";
    return 1;
  }
  if (record_dropped() > 0) {
    *report = "replay: the replay's own ring overflowed; cannot compare\n";
    return 1;
  }
  std::vector<RecordEntry> replay;
  for (size_t i = 0; i < record_count(); ++i) {
    replay.push_back(record_entry(i));
  }
  Divergence first;
  const Divergence each[] = {
      compare_stream(*rec, RecordKind::kTransfer, false, replay, tolerance_ms),
      compare_stream(*rec, RecordKind::kPin, true, replay, tolerance_ms),
      compare_stream(*rec, RecordKind::kLine, true, replay, tolerance_ms),
  };
  for (const Divergence& d : each) {
    if (d.found && (!first.found || d.key_us < first.key_us)) {
      first = d;
    }
  }
  if (!first.found) {
    *report = "replay: identical\n";
    return 0;
  }
  *report = "replay: diverges " + first.text + "\n";
  return 1;
}

}  // namespace sim
