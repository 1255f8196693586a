#include "sim/traces.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "sim/board.h"
#include "sim/clock.h"
#include "sim/console.h"
#include "sim/time_format.h"

namespace sim {
namespace {

// Buffered writes to a file descriptor from a buffer inside the object, which
// lives on the caller's stack. After a failed write everything else is
// dropped: the run is ending, and half a picture is no worse than none.
class FdOut {
 public:
  explicit FdOut(int fd) : fd_(fd) {}
  FdOut(const FdOut&) = delete;
  FdOut& operator=(const FdOut&) = delete;
  ~FdOut() { flush(); }

  void put(const char* s, size_t n) {
    while (n > 0) {
      if (len_ == sizeof buf_) {
        flush();
      }
      const size_t room = sizeof buf_ - len_;
      const size_t k = n < room ? n : room;
      memcpy(buf_ + len_, s, k);
      len_ += k;
      s += k;
      n -= k;
    }
  }

  void str(const char* s) { put(s, strlen(s)); }

  [[gnu::format(printf, 2, 3)]] void fmt(const char* format, ...) {
    char piece[256];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n > 0) {
      put(piece, static_cast<size_t>(n) < sizeof piece ? static_cast<size_t>(n) : sizeof piece - 1);
    }
  }

  // Text inside an XML element or attribute, at most max_chars of it. Bytes
  // XML does not allow, and any byte above ASCII (the recorder may have cut
  // a line inside a UTF-8 sequence), become '?'.
  void xml_text(const char* s, size_t max_chars) {
    size_t i = 0;
    for (; s[i] != '\0' && i < max_chars; ++i) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      switch (c) {
        case '&':
          str("&amp;");
          break;
        case '<':
          str("&lt;");
          break;
        case '>':
          str("&gt;");
          break;
        case '"':
          str("&quot;");
          break;
        default:
          put(c < 0x20 || c > 0x7E ? "?" : &s[i], 1);
      }
    }
    if (s[i] != '\0') {
      str("...");
    }
  }

  void flush() {
    size_t done = 0;
    while (!failed_ && done < len_) {
      const ssize_t n = write(fd_, buf_ + done, len_ - done);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        failed_ = true;
      } else {
        done += static_cast<size_t>(n);
      }
    }
    len_ = 0;
  }

 private:
  int fd_;
  bool failed_ = false;
  size_t len_ = 0;
  char buf_[4096];
};

// ---- which pins, under which names -----------------------------------------

struct PinRole {
  uint8_t gpio;
  const char* name;
};

// The shield's outputs in the order of its pin map, named for what they do
// (GPIO 8 is left out: SPI0 takes it over before anything would write it).
constexpr PinRole kRoles[] = {
    {24, "line_selector"},  {23, "hook_1"},     {22, "hook_2"},
    {14, "coproc_reset_n"}, {6, "relay_0"},     {25, "relay_1"},
    {16, "relay_2"},        {26, "door_relay"}, {2, "aux_gpio2"},
};

struct Trace {
  uint8_t gpio;
  char name[24];
};

struct Traces {
  Trace rows[kGpioCount];
  int count = 0;
};

// The shield's outputs, then any other pin the first n log entries show
// written, by GPIO number: a write where the shield has nothing is a fault
// worth seeing rather than hiding.
void list_traces(size_t n, Traces* out) {
  bool written[kGpioCount] = {};
  for (size_t i = 0; i < n; ++i) {
    const PinEvent e = pin_event_at(i);
    if (e.call == PinCall::kWrite && e.gpio < kGpioCount) {
      written[e.gpio] = true;
    }
  }
  bool has_role[kGpioCount] = {};
  for (const PinRole& role : kRoles) {
    Trace& t = out->rows[out->count++];
    t.gpio = role.gpio;
    snprintf(t.name, sizeof t.name, "%s", role.name);
    has_role[role.gpio] = true;
  }
  for (int gpio = 0; gpio < kGpioCount; ++gpio) {
    if (written[gpio] && !has_role[gpio]) {
      Trace& t = out->rows[out->count++];
      t.gpio = static_cast<uint8_t>(gpio);
      snprintf(t.name, sizeof t.name, "gpio_%d", gpio);
    }
  }
}

// Row of each GPIO in `traces`, or -1.
void row_index(const Traces& traces, int (&row)[kGpioCount]) {
  for (int& r : row) {
    r = -1;
  }
  for (int i = 0; i < traces.count; ++i) {
    row[traces.rows[i].gpio] = i;
  }
}

bool is_traced_write(const PinEvent& e, const int (&row)[kGpioCount]) {
  return e.call == PinCall::kWrite && e.gpio < kGpioCount && row[e.gpio] >= 0;
}

// ---- the drawing's geometry ------------------------------------------------

constexpr int kLabelW = 190;  // row labels, left of the plot
constexpr int kPlotW = 1600;  // whatever the run's length
constexpr int kRightW = 50;
constexpr int kMarkBand = 140;  // marker texts, standing above the rows
constexpr int kRowH = 34;
constexpr int kAxisH = 50;
constexpr int kMaxTicks = 10;
constexpr int kMaxMarks = 200;
constexpr size_t kMarkChars = 20;
constexpr int kLabelPitch = 13;     // one standing marker text beside the next
constexpr int kMaxLabelShift = 78;  // beyond this a text would point nowhere

// Time to x: the axis runs from 0 to span_us, a whole number of ticks.
struct Scale {
  int64_t span_us;
  int64_t step_us;
  int x(int64_t t_us) const { return kLabelW + static_cast<int>(t_us * kPlotW / span_us); }
};

// Ticks on 1, 2, 5 times a power of ten microseconds, at most kMaxTicks of
// them, covering at least a millisecond.
Scale choose_scale(int64_t end_us) {
  if (end_us < 1000) {
    end_us = 1000;
  }
  for (int64_t decade = 1;; decade *= 10) {
    for (const int64_t m : {1, 2, 5}) {
      const int64_t step = decade * m;
      if (end_us <= step * kMaxTicks) {
        return Scale{(end_us + step - 1) / step * step, step};
      }
    }
  }
}

// Where the wave of one row stands.
struct RowGeometry {
  int y_low;
  int y_high;
  int y(int level) const { return level != 0 ? y_high : y_low; }
};

// The level changes of one pixel column of a wave: the pen arrives at the
// level it entered with, and leaves at the last level written in it.
struct Column {
  int x;
  int enter;
  int last;
  bool seen[2];
};

// The pen stands at pen_x, at the level column c entered with.
void draw_column(FdOut& out, const Column& c, const RowGeometry& g, int* pen_x) {
  if (c.x != *pen_x) {
    out.fmt("H%d", c.x);
    *pen_x = c.x;
  }
  if (!(c.seen[0] && c.seen[1])) {
    return;
  }
  if (c.last == c.enter) {
    out.fmt("V%dV%d", g.y(1 - c.enter), g.y(c.enter));  // a pulse shorter than a pixel
  } else {
    out.fmt("V%d", g.y(c.last));
  }
}

// One pass over the log per row keeps the path in one piece without a
// buffer per row; each column costs at most three path commands, so the
// file stays bounded however many writes the run made.
void draw_wave(FdOut& out, size_t n, uint8_t gpio, const Scale& scale, const RowGeometry& g,
               int x_end) {
  bool started = false;
  Column c{};
  int pen_x = 0;
  for (size_t i = 0; i < n; ++i) {
    const PinEvent e = pin_event_at(i);
    if (e.call != PinCall::kWrite || e.gpio != gpio) {
      continue;
    }
    const int level = e.value != 0 ? 1 : 0;
    const int x = scale.x(e.t_ns / 1000);
    if (!started) {
      out.fmt("<path class=\"wave\" d=\"M%d %d", x, g.y(level));
      c = Column{x, level, level, {level == 0, level == 1}};
      pen_x = x;
      started = true;
      continue;
    }
    // Two threads write pins, and each takes its time before the log's
    // lock, so a later entry may carry an earlier time by a hair: it is
    // drawn in the column already reached.
    if (x > c.x) {
      draw_column(out, c, g, &pen_x);
      c = Column{x, c.last, c.last, {c.last == 0, c.last == 1}};
    }
    c.last = level;
    c.seen[level] = true;
  }
  if (started) {
    draw_column(out, c, g, &pen_x);
    if (x_end > pen_x) {
      out.fmt("H%d", x_end);
    }
    out.str("\"/>\n");
  }
}

// Colour of a marked line by the event it reports.
const char* mark_colour(const char* text) {
  struct Kind {
    const char* prefix;
    const char* colour;
  };
  static constexpr Kind kKinds[] = {
      {"dial ", "#1565c0"}, {"pickup", "#2e7d32"}, {"open", "#ef6c00"}, {"drop", "#c62828"}};
  for (const Kind& k : kKinds) {
    if (strncmp(text, k.prefix, strlen(k.prefix)) == 0) {
      return k.colour;
    }
  }
  return "#757575";
}

// Banners aside, the prompts are the only lines starting with '#'; they all
// come at the start, before anything happens on the line.
bool is_marked(const char* text) { return text[0] != '\0' && text[0] != '#'; }

// Lines printed together (a handshake's reports, say) would write their
// texts over each other: each text stands at least a pitch right of the one
// before, with a leader back to its line, and a text pushed too far is left
// to the marker's tooltip.
void draw_marks(FdOut& out, size_t lines, const Scale& scale, int y_bottom) {
  int marked = 0;
  int unmarked = 0;
  int free_x = 0;
  for (size_t i = 0; i < lines; ++i) {
    const OutputLineView line = output_line_at(i);
    if (!is_marked(line.text)) {
      continue;
    }
    if (marked == kMaxMarks) {
      ++unmarked;
      continue;
    }
    ++marked;
    const int x = scale.x(line.t_ns / 1000);
    char t[32];
    format_ms(line.t_ns, t, sizeof t);
    out.fmt("<g class=\"mark\" stroke=\"%s\" fill=\"%s\"><title>%s ms: ", mark_colour(line.text),
            mark_colour(line.text), t);
    out.xml_text(line.text, SIZE_MAX);
    out.fmt("</title><line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\"/>", x, kMarkBand - 4, x,
            y_bottom);
    const int label_x = x + 4 > free_x ? x + 4 : free_x;
    if (label_x - (x + 4) <= kMaxLabelShift) {
      if (label_x != x + 4) {
        out.fmt("<line class=\"leader\" x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\"/>", x,
                kMarkBand - 4, label_x - 4, kMarkBand - 8);
      }
      out.fmt("<text stroke=\"none\" transform=\"translate(%d,%d) rotate(-90)\">", label_x,
              kMarkBand - 8);
      out.xml_text(line.text, kMarkChars);
      out.str("</text>");
      free_x = label_x + kLabelPitch;
    }
    out.str("</g>\n");
  }
  if (unmarked > 0) {
    out.fmt("<text x=\"8\" y=\"84\">first %d lines marked,</text>", kMaxMarks);
    out.fmt("<text x=\"8\" y=\"100\">%d more not</text>\n", unmarked);
  }
}

void draw_axis(FdOut& out, const Scale& scale, int y) {
  out.fmt("<g class=\"axis\"><line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\"/>\n", kLabelW, y,
          kLabelW + kPlotW, y);
  for (int64_t t = 0; t <= scale.span_us; t += scale.step_us) {
    const int x = scale.x(t);
    char label[32];
    format_ms(t * 1000, label, sizeof label);
    out.fmt("<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\"/>", x, y, x, y + 6);
    out.fmt("<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">%s</text>\n", x, y + 20, label);
  }
  out.fmt("<text x=\"%d\" y=\"%d\" text-anchor=\"end\">time (ms)</text></g>\n", kLabelW - 8,
          y + 20);
}

// The run ends now, or with its last write or line if the log says later
// (an entry stamped by another thread just before the clock was read).
int64_t run_end_us(size_t n, size_t lines, const int (&row)[kGpioCount]) {
  int64_t end_us = clock_now_ns_at_exit() / 1000;
  for (size_t i = 0; i < n; ++i) {
    const PinEvent e = pin_event_at(i);
    if (is_traced_write(e, row) && e.t_ns / 1000 > end_us) {
      end_us = e.t_ns / 1000;
    }
  }
  for (size_t i = 0; i < lines; ++i) {
    const int64_t t_us = output_line_at(i).t_ns / 1000;
    end_us = t_us > end_us ? t_us : end_us;
  }
  return end_us;
}

}  // namespace

void write_vcd(int fd) {
  const size_t n = pin_event_count();
  Traces traces;
  list_traces(n, &traces);
  int row[kGpioCount];
  row_index(traces, row);

  // One printable character per wire, from '!' on: at most kGpioCount of
  // them, well inside '!'..'~'.
  FdOut out(fd);
  out.str("$version zul_stm_sim pin trace $end\n$timescale 1 us $end\n$scope module shield $end\n");
  for (int i = 0; i < traces.count; ++i) {
    out.fmt("$var wire 1 %c %s $end\n", '!' + i, traces.rows[i].name);
  }
  out.str("$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n");
  for (int i = 0; i < traces.count; ++i) {
    out.fmt("x%c\n", '!' + i);
  }
  out.str("$end\n");

  // A dump's times must not go back; an entry logged a hair early by the
  // other thread (see draw_wave) keeps the time already written.
  int64_t stamp_us = 0;
  for (size_t i = 0; i < n; ++i) {
    const PinEvent e = pin_event_at(i);
    if (!is_traced_write(e, row)) {
      continue;
    }
    const int64_t t_us = e.t_ns / 1000;
    if (t_us > stamp_us) {
      stamp_us = t_us;
      out.fmt("#%lld\n", static_cast<long long>(stamp_us));
    }
    out.fmt("%c%c\n", e.value != 0 ? '1' : '0', '!' + row[e.gpio]);
  }
  // A last time with no change, so that viewers draw the final levels on
  // to the end of the run.
  const int64_t end_us = run_end_us(n, 0, row);
  if (end_us > stamp_us) {
    out.fmt("#%lld\n", static_cast<long long>(end_us));
  }
}

void write_svg(int fd) {
  const size_t n = pin_event_count();
  const size_t lines = output_line_count();
  Traces traces;
  list_traces(n, &traces);
  int row[kGpioCount];
  row_index(traces, row);

  const int64_t end_us = run_end_us(n, lines, row);
  const Scale scale = choose_scale(end_us);
  const int rows_bottom = kMarkBand + traces.count * kRowH;
  const int width = kLabelW + kPlotW + kRightW;
  const int height = rows_bottom + kAxisH;

  FdOut out(fd);
  out.fmt(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
      "viewBox=\"0 0 %d %d\" font-family=\"monospace\" font-size=\"12\">\n",
      width, height, width, height);
  out.str(
      "<style>.wave{fill:none;stroke:#1f3a93;stroke-width:1.5}"
      ".mark line{stroke-dasharray:4 3}.mark .leader{stroke-dasharray:none}.axis line{stroke:#444}"
      ".label{fill:#222}.gpio{fill:#888}</style>\n");
  out.fmt("<rect width=\"%d\" height=\"%d\" fill=\"#fff\"/>\n", width, height);
  // The title stays left of the plot, clear of the marker texts above it.
  out.str(
      "<text x=\"8\" y=\"18\">zul_stm_sim</text>"
      "<text x=\"8\" y=\"36\">pin levels, and the</text>"
      "<text x=\"8\" y=\"52\">output lines dashed</text>\n");

  for (int i = 0; i < traces.count; ++i) {
    const int top = kMarkBand + i * kRowH;
    if (i % 2 == 0) {
      out.fmt("<rect x=\"0\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#f2f4f7\"/>\n", top, width,
              kRowH);
    }
    out.fmt("<text class=\"label\" x=\"8\" y=\"%d\">%s</text>", top + kRowH / 2 + 4,
            traces.rows[i].name);
    out.fmt("<text class=\"gpio\" x=\"%d\" y=\"%d\" text-anchor=\"end\">GPIO %d</text>\n",
            kLabelW - 10, top + kRowH / 2 + 4, traces.rows[i].gpio);
    const RowGeometry g{top + kRowH - 7, top + 7};
    draw_wave(out, n, traces.rows[i].gpio, scale, g, scale.x(end_us));
  }
  draw_marks(out, lines, scale, rows_bottom);
  draw_axis(out, scale, rows_bottom + 6);
  out.str("</svg>\n");
}

}  // namespace sim
