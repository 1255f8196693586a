#include "out/report.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "protocol/console.h"

namespace {
// Set by start-up before the other threads exist; any thread clears it when
// the reader has gone. Atomic, so a report racing the clearing sees either.
std::atomic<int> g_fd{-1};
// Reports that the descriptor could not take, not yet announced; any thread.
std::atomic<unsigned> g_lost{0};

enum class Sent { kWhole, kLater, kGone };

// One write of the whole line. A pipe takes up to PIPE_BUF bytes at once or
// nothing, so lines of several threads never mix.
Sent write_line(int fd, const char* line, size_t size) {
  // The reader may have gone: the SIGPIPE of this write belongs to this
  // thread and must not reach the handler that ends the program. It is held
  // back here and taken back, unless one was already waiting (standard
  // output's, which is meant to end the program).
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  sigset_t pending;
  sigpending(&pending);
  const bool already_pending = sigismember(&pending, SIGPIPE) == 1;
  ssize_t n;
  do {
    n = write(fd, line, size);
  } while (n < 0 && errno == EINTR);
  const int error = errno;
  if (n < 0 && error == EPIPE && !already_pending) {
    const timespec none = {0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &none) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (n == static_cast<ssize_t>(size)) {
    return Sent::kWhole;
  }
  if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
    return Sent::kLater;
  }
  return Sent::kGone;
}

void send(const char* word, long value) {
  const int fd = g_fd.load();
  if (fd < 0) {
    return;
  }
  char line[48];
  const unsigned lost = g_lost.exchange(0);
  if (lost != 0) {
    const int n = snprintf(line, sizeof line, "%s %u\n", kReportLost, lost);
    const Sent sent = write_line(fd, line, static_cast<size_t>(n));
    if (sent != Sent::kWhole) {
      g_lost.fetch_add(lost + 1);
      if (sent == Sent::kGone) {
        g_fd.store(-1);
      }
      return;
    }
  }
  const int n = snprintf(line, sizeof line, "%s %ld\n", word, value);
  const Sent sent = write_line(fd, line, static_cast<size_t>(n));
  if (sent == Sent::kLater) {
    g_lost.fetch_add(1);
  } else if (sent == Sent::kGone) {
    g_fd.store(-1);
  }
}

// A whole decimal number and nothing else.
bool parse_fd(const char* text, int* fd) {
  if (text[0] == '\0') {
    return false;
  }
  long value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || value > 100000) {
      return false;
    }
    value = value * 10 + (*c - '0');
  }
  *fd = static_cast<int>(value);
  return true;
}
}  // namespace

void report_open_from_environment() {
  const char* text = getenv(kReportFdVariable);
  if (text == nullptr) {
    return;
  }
  int fd = -1;
  int flags = -1;
  if (parse_fd(text, &fd) && fd > STDERR_FILENO) {
    flags = fcntl(fd, F_GETFL);
  }
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
    fprintf(stderr,
            "zul_stm_driver: %s=\"%s\" is not a descriptor of 3 or more open for writing; "
            "no reports are written\n",
            kReportFdVariable, text);
    return;
  }
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
  g_lost.store(0);
  g_fd.store(fd);
  send(kReportHello, kReportVersion);
}

void report_code(const char* word, int code) { send(word, code); }

bool report_is_open() { return g_fd.load() >= 0; }

void report_close() {
  const int fd = g_fd.exchange(-1);
  if (fd >= 0) {
    close(fd);
  }
  g_lost.store(0);
}
