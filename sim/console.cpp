#include "sim/console.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "sim/append_log.h"
#include "sim/clock.h"
#include "sim/time_format.h"

namespace sim {
namespace {

struct LineEntry {
  int64_t t_ns;
  char text[120];
};

// Guards the output record up to g_watchers (the log of lines has one
// writer at a time under it; the exit path reads it without). Held for a
// few stores; never across a wait of the clock or a watcher's call.
std::mutex& out_mu = *new std::mutex;
AppendLog<LineEntry>& g_lines = *new AppendLog<LineEntry>;
std::string& g_partial = *new std::string;
std::string& g_all = *new std::string;
bool g_keep_output = true;  // under out_mu
std::vector<std::function<void(const std::string&)>>& g_watchers =
    *new std::vector<std::function<void(const std::string&)>>;
int g_echo_fd = -1;  // set before the program starts, read by its writes

// Guards the input feed below. Taken inside the clock's lock (a wait's
// wake-up test reads the feed), so it never takes the clock's lock itself:
// input_push notifies the clock after letting it go.
std::mutex& in_mu = *new std::mutex;
std::string& g_input = *new std::string;
size_t g_input_pos = 0;
bool g_input_closed = false;

ssize_t stdout_write(void*, const char* buf, size_t size) {
  if (g_echo_fd >= 0) {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(g_echo_fd, buf + done, size - done);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        return -1;
      }
      done += static_cast<size_t>(n);
    }
  }
  std::vector<std::string> complete;
  std::vector<std::function<void(const std::string&)>> watchers;
  {
    std::lock_guard<std::mutex> lock(out_mu);
    if (g_keep_output) {
      g_all.append(buf, size);
    }
    for (size_t i = 0; i < size; ++i) {
      if (buf[i] != '\n') {
        g_partial.push_back(buf[i]);
        continue;
      }
      LineEntry e{};
      e.t_ns = clock_now_ns();
      snprintf(e.text, sizeof e.text, "%s", g_partial.c_str());
      if (g_keep_output) {
        g_lines.push(e);
      }
      complete.push_back(g_partial);
      g_partial.clear();
    }
    watchers = g_watchers;
  }
  for (const std::string& line : complete) {
    for (const auto& w : watchers) {
      w(line);
    }
  }
  return static_cast<ssize_t>(size);
}

ssize_t stdin_read(void*, char* buf, size_t size) {
  // Only the program's console reader takes from the feed, so what the wait
  // saw is still there after it.
  const std::function<bool()> ready = [] {
    std::lock_guard<std::mutex> lock(in_mu);
    return g_input_pos < g_input.size() || g_input_closed;
  };
  clock_wait_until(ready);
  std::lock_guard<std::mutex> lock(in_mu);
  const size_t n = std::min(size, g_input.size() - g_input_pos);
  memcpy(buf, g_input.data() + g_input_pos, n);
  g_input_pos += n;
  return static_cast<ssize_t>(n);
}

}  // namespace

void console_capture_stdout(int echo_fd) {
  g_echo_fd = echo_fd;
  cookie_io_functions_t io{};
  io.write = stdout_write;
  FILE* f = fopencookie(nullptr, "w", io);
  setvbuf(f, nullptr, _IONBF, 0);
  stdout = f;
}

void console_feed_stdin() {
  cookie_io_functions_t io{};
  io.read = stdin_read;
  stdin = fopencookie(nullptr, "r", io);
}

void input_push(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(in_mu);
    g_input += text;
  }
  clock_notify();
}

void input_close() {
  {
    std::lock_guard<std::mutex> lock(in_mu);
    g_input_closed = true;
  }
  clock_notify();
}

std::vector<OutputLine> output_lines() {
  std::lock_guard<std::mutex> lock(out_mu);
  std::vector<OutputLine> lines;
  for (size_t i = 0; i < g_lines.size(); ++i) {
    lines.push_back({g_lines[i].t_ns, g_lines[i].text});
  }
  return lines;
}

size_t output_line_count() { return g_lines.size(); }

OutputLineView output_line_at(size_t i) { return {g_lines[i].t_ns, g_lines[i].text}; }

std::string output_text() {
  std::lock_guard<std::mutex> lock(out_mu);
  return g_all;
}

void on_output_line(std::function<void(const std::string&)> fn) {
  std::lock_guard<std::mutex> lock(out_mu);
  g_watchers.push_back(std::move(fn));
}

void console_keep_output(bool keep) {
  std::lock_guard<std::mutex> lock(out_mu);
  g_keep_output = keep;
}

void console_reset() {
  {
    std::lock_guard<std::mutex> lock(out_mu);
    g_lines.clear();
    g_partial.clear();
    g_all.clear();
    g_keep_output = true;
    g_watchers.clear();
  }
  std::lock_guard<std::mutex> lock(in_mu);
  g_input.clear();
  g_input_pos = 0;
  g_input_closed = false;
}

void write_lines_log(int fd) {
  // Buffered on the stack: no allocation at exit.
  constexpr size_t kLineMax = 192;
  char buf[8192];
  size_t used = 0;
  const size_t n = g_lines.size();
  for (size_t i = 0; i <= n; ++i) {
    if (i == n || used + kLineMax > sizeof buf) {
      if (used > 0 && write(fd, buf, used) < 0) {
        return;
      }
      used = 0;
    }
    if (i == n) {
      break;
    }
    char t[32];
    format_ms(g_lines[i].t_ns, t, sizeof t);
    const int len = snprintf(buf + used, kLineMax, "%s %s\n", t, g_lines[i].text);
    if (len > 0) {
      used += static_cast<size_t>(len) < kLineMax ? static_cast<size_t>(len) : kLineMax - 1;
    }
  }
}

}  // namespace sim
