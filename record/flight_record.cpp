#include "record/flight_record.h"

#include <bcm2835.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/record_format.h"

namespace record_detail {
std::atomic<bool> g_on{false};
}  // namespace record_detail

namespace {

// One entry in six words, each read and written whole, so that a writer on
// one thread and the dump in a signal handler on another never tear a word:
// the dump takes an entry only when its sequence number is the same before
// and after the copy.
struct Slot {
  std::atomic<uint64_t> seq;  // 0 while being written, else its index + 1
  std::atomic<uint64_t> t_us;
  std::atomic<uint64_t> body[4];  // kind, length, then the data bytes
};
static_assert(sizeof(Slot) == 48);
// The dump runs in signal handlers: no word of the ring may hide a lock.
static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(2 + kRecordTextMax == sizeof(uint64_t) * 4);

Slot g_ring[kRecordCapacity];
std::atomic<uint64_t> g_next{0};  // index of the next entry to be written

bool g_keep_in_memory = false;
// The record's path, the temporary names beside it that the writes go to
// first, and their directory; set by record_begin, before the handler. The
// final write has a name of its own: it may start while a snapshot on
// another thread is still writing (it waits for it only so long), and
// neither may remove or rename the other's file.
char g_path[4096] = {};
char g_tmp_path[4096 + 8] = {};
char g_end_tmp_path[4096 + 8] = {};
char g_dir[4096] = {};
constexpr char kTmpSuffix[] = ".tmp";
constexpr char kEndTmpSuffix[] = ".end.tmp";
char g_header[1024] = {};
std::atomic<bool> g_clock_started{false};
uint64_t g_origin_us = 0;
std::atomic<bool> g_finished{false};
// One writer of the file at a time (a snapshot, or the final write); and the
// final write done, so that a second way out (a signal while the output
// watch stops the program) does not end the process half-way through it.
std::atomic<bool> g_file_busy{false};
std::atomic<bool> g_final_written{false};
// Bounded: a writer interrupted by a stop signal on its own thread never
// finishes, and the way out must not hang on it.
constexpr int kWaitSpins = 200000;

bool take_file() {
  bool expected = false;
  return g_file_busy.compare_exchange_strong(expected, true);
}

uint64_t now_us() {
  if (!g_clock_started.load(std::memory_order_acquire)) {
    return 0;
  }
  const uint64_t st = bcm2835_st_read();
  return st > g_origin_us ? st - g_origin_us : 0;
}

void put(RecordKind kind, const uint8_t* data, size_t len) {
  if (len > kRecordTextMax) {
    len = kRecordTextMax;
  }
  uint8_t bytes[2 + kRecordTextMax] = {};
  bytes[0] = static_cast<uint8_t>(kind);
  bytes[1] = static_cast<uint8_t>(len);
  if (len > 0) {
    memcpy(bytes + 2, data, len);
  }
  uint64_t words[4];
  memcpy(words, bytes, sizeof words);

  const uint64_t t = now_us();
  const uint64_t n = g_next.fetch_add(1, std::memory_order_relaxed);
  Slot& s = g_ring[n % kRecordCapacity];
  // Marked as being written before any of its words change: the exchange's
  // acquire half keeps the stores below from moving above it.
  s.seq.exchange(0, std::memory_order_acq_rel);
  s.t_us.store(t, std::memory_order_relaxed);
  for (int i = 0; i < 4; ++i) {
    s.body[i].store(words[i], std::memory_order_relaxed);
  }
  s.seq.store(n + 1, std::memory_order_release);
}

// Entry n (an absolute index), if it is still in the ring and complete.
bool take(uint64_t n, RecordEntry* out) {
  const Slot& s = g_ring[n % kRecordCapacity];
  if (s.seq.load(std::memory_order_acquire) != n + 1) {
    return false;
  }
  uint64_t words[4];
  // Acquire loads: the second look at seq cannot move above them.
  const uint64_t t = s.t_us.load(std::memory_order_acquire);
  for (int i = 0; i < 4; ++i) {
    words[i] = s.body[i].load(std::memory_order_acquire);
  }
  if (s.seq.load(std::memory_order_relaxed) != n + 1) {
    return false;
  }
  uint8_t bytes[2 + kRecordTextMax];
  memcpy(bytes, words, sizeof bytes);
  out->t_us = t;
  out->kind = static_cast<RecordKind>(bytes[0]);
  out->len = bytes[1] <= kRecordTextMax ? bytes[1] : uint8_t{kRecordTextMax};
  memcpy(out->data, bytes + 2, kRecordTextMax);
  return true;
}

uint64_t first_kept(uint64_t next) { return next > kRecordCapacity ? next - kRecordCapacity : 0; }

// ---- writing the file: write(2) and hand-made formatting only, since it
// runs in signal handlers --------------------------------------------------

class Out {
 public:
  explicit Out(int fd) : fd_(fd) {}
  ~Out() { flush(); }
  Out(const Out&) = delete;
  Out& operator=(const Out&) = delete;

  void text(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (used_ == sizeof buf_) {
        flush();
      }
      buf_[used_++] = s[i];
    }
  }
  void text(const char* s) { text(s, strlen(s)); }
  void ch(char c) { text(&c, 1); }
  void number(uint64_t v) {
    char digits[24];
    size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (n > 0) {
      ch(digits[--n]);
    }
  }
  // Milliseconds with as many of the three decimals as are not zero.
  void ms(uint64_t us) {
    number(us / 1000);
    uint64_t frac = us % 1000;
    if (frac == 0) {
      return;
    }
    int digits = 3;
    while (frac % 10 == 0) {
      frac /= 10;
      --digits;
    }
    ch('.');
    char d[3];
    for (int i = digits - 1; i >= 0; --i) {
      d[i] = static_cast<char>('0' + frac % 10);
      frac /= 10;
    }
    text(d, static_cast<size_t>(digits));
  }
  void hex(const uint8_t* bytes, size_t n) {
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < n; ++i) {
      ch(kHex[bytes[i] >> 4]);
      ch(kHex[bytes[i] & 0x0F]);
    }
  }
  void flush() {
    size_t done = 0;
    while (done < used_) {
      const ssize_t w = ::write(fd_, buf_ + done, used_ - done);
      if (w < 0 && errno == EINTR) {
        continue;
      }
      if (w <= 0) {
        failed_ = true;
        break;
      }
      done += static_cast<size_t>(w);
    }
    used_ = 0;
  }
  // Whether every byte so far reached the file (a full disk does not).
  bool ok() {
    flush();
    return !failed_;
  }

 private:
  int fd_;
  bool failed_ = false;
  char buf_[4096];
  size_t used_ = 0;
};

// " <kind>" after the time.
void kind(Out& out, const char* word) {
  out.ch(' ');
  out.text(word);
}

void write_entry(Out& out, const RecordEntry& e) {
  out.ms(e.t_us);
  switch (e.kind) {
    case RecordKind::kTransfer:
      kind(out, kRecordTransfer);
      out.ch(' ');
      out.hex(e.data, 8);
      out.ch(' ');
      out.hex(e.data + 8, 8);
      break;
    case RecordKind::kToken:
      kind(out, kRecordToken);
      out.ch(' ');
      out.text(reinterpret_cast<const char*>(e.data), e.len);
      break;
    case RecordKind::kInputEnd:
      kind(out, kRecordInputEnd);
      break;
    case RecordKind::kLine:
      kind(out, kRecordLine);
      out.ch(' ');
      out.text(reinterpret_cast<const char*>(e.data), e.len);
      break;
    case RecordKind::kPin:
      kind(out, kRecordPin);
      out.ch(' ');
      out.number(e.data[0]);
      out.ch(' ');
      out.number(e.data[1]);
      break;
    case RecordKind::kNone:
      out.text(" ?");
      break;
  }
  out.ch('\n');
}

bool write_ring(int fd, const char* how, uint64_t how_value, bool with_value) {
  const uint64_t next = g_next.load(std::memory_order_acquire);
  const uint64_t first = first_kept(next);
  Out out(fd);
  out.text(g_header);
  out.text(kRecordLegend);
  if (first > 0) {
    out.text("# dropped ");
    out.number(first);
    out.text(" older records\n");
  }
  for (uint64_t n = first; n < next; ++n) {
    RecordEntry e;
    if (take(n, &e)) {
      write_entry(out, e);
    }
  }
  out.ms(now_us());
  kind(out, kRecordEnd);
  out.ch(' ');
  out.text(how);
  if (with_value) {
    out.ch(' ');
    out.number(how_value);
  }
  out.ch('\n');
  return out.ok();
}

// The record is whole or absent: a kill or a power cut in the middle of a
// write must not leave a cut record where the last good one was. So the
// ring goes to a temporary name beside it, reaches the disk, and only then
// takes the record's name (rename is atomic); the directory is synced so
// that the new name survives a power cut too. The file holds households'
// call times: it is readable by its owner alone, whatever the umask or an
// earlier file's mode (the temporary file is always a new one).
void write_file(const char* how, uint64_t value, bool with_value) {
  if (g_path[0] == '\0') {
    return;
  }
  const int saved_errno = errno;
  const bool final = with_value;  // only the end has a status
  const char* tmp = final ? g_end_tmp_path : g_tmp_path;
  // A temporary file left by a write that was killed is replaced.
  unlink(tmp);
  const int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    bool whole = write_ring(fd, how, value, with_value) && fsync(fd) == 0;
    close(fd);
    // A snapshot that ends after the final write began must not put its
    // older record over the final one.
    whole = whole && (final || !g_finished.load());
    if (whole && rename(tmp, g_path) == 0) {
      const int dir = open(g_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir >= 0) {
        fsync(dir);
        close(dir);
      }
    } else {
      unlink(tmp);  // the last whole record stays
    }
  }
  errno = saved_errno;
}

void on_sigusr1(int) { record_snapshot(); }

// Appends an argument to the header, quoted when it would not read back as
// one word.
size_t append_arg(char* dst, size_t used, size_t size, const char* arg) {
  bool plain = *arg != '\0';
  for (const char* p = arg; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    plain = plain && c > ' ' && c != '"' && c != '\\' && c != 0x7F;
  }
  const auto add = [&](char c) {
    if (used + 2 < size) {  // room for the line end and the terminator
      dst[used++] = c;
    }
  };
  add(' ');
  if (!plain) {
    add('"');
  }
  for (const char* p = arg; *p != '\0'; ++p) {
    if (!plain && (*p == '"' || *p == '\\')) {
      add('\\');
    }
    add(*p == '\n' ? ' ' : *p);
  }
  if (!plain) {
    add('"');
  }
  dst[used] = '\0';
  return used;
}

}  // namespace

namespace record_detail {

void transfer(const uint8_t* sent, const uint8_t* received) {
  uint8_t both[16];
  memcpy(both, sent, 8);
  memcpy(both + 8, received, 8);
  put(RecordKind::kTransfer, both, sizeof both);
}

void token(int outcome, const int32_t* value, const char* text) {
  if (outcome == 2) {
    put(RecordKind::kInputEnd, nullptr, 0);
    return;
  }
  char buf[16];
  if (outcome == 0) {
    snprintf(buf, sizeof buf, "%ld", static_cast<long>(*value));
    text = buf;
  } else if (text == nullptr || text[0] == '\0') {
    text = "?";  // not kept by the reader; any other non-number reads the same
  }
  put(RecordKind::kToken, reinterpret_cast<const uint8_t*>(text), strlen(text));
}

void line(const char* text, size_t len) {
  size_t start = 0;
  for (size_t i = 0; i < len; ++i) {
    if (text[i] == '\n') {
      put(RecordKind::kLine, reinterpret_cast<const uint8_t*>(text + start), i - start);
      start = i + 1;
    }
  }
  if (start < len) {
    put(RecordKind::kLine, reinterpret_cast<const uint8_t*>(text + start), len - start);
  }
}

void vline(const char* format, va_list args) {
  char buf[128];
  va_list copy;
  va_copy(copy, args);
  const int n = vsnprintf(buf, sizeof buf, format, copy);
  va_end(copy);
  if (n > 0) {
    line(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
  }
}

void pin(uint8_t gpio, uint8_t level) {
  const uint8_t data[2] = {gpio, level};
  put(RecordKind::kPin, data, sizeof data);
}

}  // namespace record_detail

void record_keep_in_memory() { g_keep_in_memory = true; }

void record_begin(int argc, char** argv, int major, int minor, int patch) {
  const char* path = getenv("ZUL_RECORD");
  const bool to_file = path != nullptr && path[0] != '\0';
  if (!to_file && !g_keep_in_memory) {
    return;
  }
  if (to_file) {
    if (strlen(path) >= sizeof g_path) {
      fprintf(stderr, "zul_stm_driver: ZUL_RECORD is longer than %zu bytes; not recording\n",
              sizeof g_path - 1);
      return;
    }
    snprintf(g_path, sizeof g_path, "%s", path);
    snprintf(g_tmp_path, sizeof g_tmp_path, "%s%s", path, kTmpSuffix);
    snprintf(g_end_tmp_path, sizeof g_end_tmp_path, "%s%s", path, kEndTmpSuffix);
    const char* slash = strrchr(g_path, '/');
    if (slash == nullptr) {
      snprintf(g_dir, sizeof g_dir, ".");
    } else if (slash == g_path) {
      snprintf(g_dir, sizeof g_dir, "/");
    } else {
      snprintf(g_dir, sizeof g_dir, "%.*s", static_cast<int>(slash - g_path), g_path);
    }
    // A missing directory is made, for its owner alone: the records in it
    // are households' call times. One that exists is left as it is.
    if (mkdir(g_dir, 0700) != 0 && errno != EEXIST) {
      fprintf(stderr, "zul_stm_driver: cannot make %s for ZUL_RECORD: %s\n", g_dir,
              strerror(errno));
    }
    // Left by a run that was killed while writing.
    unlink(g_tmp_path);
    unlink(g_end_tmp_path);
  }
  size_t used = static_cast<size_t>(snprintf(
      g_header, sizeof g_header, "# ZUL_STM_Driver %d.%d%d flight record:", major, minor, patch));
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
    used = append_arg(g_header, used, sizeof g_header, argv[i]);
  }
  g_header[used] = '\n';
  g_header[used + 1] = '\0';

  if (to_file) {
    struct sigaction action = {};
    action.sa_handler = on_sigusr1;
    action.sa_flags = SA_RESTART;  // a snapshot must not look like the end of the input
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
  }
  record_detail::g_on.store(true, std::memory_order_release);
}

void record_clock_start() {
  if (!record_detail::g_on.load(std::memory_order_acquire)) {
    return;
  }
  g_origin_us = bcm2835_st_read();
  g_clock_started.store(true, std::memory_order_release);
}

void record_finish(int status) {
  if (!record_detail::g_on.load(std::memory_order_acquire)) {
    return;
  }
  if (g_finished.exchange(true)) {
    for (int i = 0; i < kWaitSpins && !g_final_written.load(); ++i) {
      sched_yield();
    }
    return;
  }
  for (int i = 0; i < kWaitSpins && !take_file(); ++i) {
    sched_yield();
  }
  write_file(kRecordEndStatus, static_cast<uint64_t>(status < 0 ? 0 : status), true);
  g_final_written.store(true);
  g_file_busy.store(false);
}

void record_snapshot() {
  if (!record_detail::g_on.load(std::memory_order_acquire) || g_finished.load() || !take_file()) {
    return;  // the end, or another snapshot, is being written
  }
  if (!g_finished.load()) {
    write_file(kRecordEndSnapshot, 0, false);
  }
  g_file_busy.store(false);
}

bool record_active() { return record_detail::g_on.load(std::memory_order_acquire); }

size_t record_count() {
  const uint64_t next = g_next.load(std::memory_order_acquire);
  return static_cast<size_t>(next - first_kept(next));
}

RecordEntry record_entry(size_t i) {
  const uint64_t next = g_next.load(std::memory_order_acquire);
  RecordEntry e;
  take(first_kept(next) + i, &e);
  return e;
}

uint64_t record_dropped() { return first_kept(g_next.load(std::memory_order_acquire)); }

uint64_t record_now_us() { return now_us(); }

void record_write(int fd, const char* how) { write_ring(fd, how, 0, false); }

void record_reset() {
  record_detail::g_on.store(false);
  g_keep_in_memory = false;
  g_path[0] = '\0';
  g_tmp_path[0] = '\0';
  g_end_tmp_path[0] = '\0';
  g_dir[0] = '\0';
  g_header[0] = '\0';
  g_clock_started.store(false);
  g_origin_us = 0;
  g_finished.store(false);
  g_file_busy.store(false);
  g_final_written.store(false);
  const uint64_t next = g_next.load();
  for (uint64_t n = first_kept(next); n < next; ++n) {
    g_ring[n % kRecordCapacity].seq.store(0);
  }
  g_next.store(0);
}
