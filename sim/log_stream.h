// A log that goes to its file while the run goes on, through a buffer, so
// that a long run keeps none of it in memory and pays one write(2) per
// buffer rather than one per line.
//
// The stop path must still get a complete file out: it may run in a signal
// handler that interrupted the writer anywhere, even inside a flush. So the
// buffer's place in the file and the length of what is in it are published
// together in one atomic word, and a flush writes at that place (pwrite):
// whatever the writer was doing, writing the published bytes there once more
// gives the same file. Nothing here allocates or takes a lock; the writer is
// one at a time (its owner's lock). On a pipe, which has no places, a stop
// inside a flush may repeat that flush's bytes.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sim {

class LogStream {
 public:
  static constexpr size_t kBufferSize = 1u << 16;

  LogStream() = default;
  LogStream(const LogStream&) = delete;
  LogStream& operator=(const LogStream&) = delete;

  // Starts a fresh file (truncated); false when it cannot be created.
  bool open(const char* path);
  bool active() const { return fd_.load(std::memory_order_acquire) >= 0; }

  // Room for at least n (<= kBufferSize) bytes at the end of the buffer,
  // making it by a flush if needed; nullptr once the stream has ended.
  char* reserve(size_t n);
  // Publishes the n bytes written at reserve()'s pointer.
  void commit(size_t n);
  void append(const char* s, size_t n);

  // Writes what is buffered and ends the stream; later appends are dropped.
  // Async-signal-safe; at exit, possibly in a signal handler.
  void finish();

 private:
  static constexpr int kLenBits = 20;  // kBufferSize fits
  static uint64_t pack(uint64_t pos, uint64_t len) { return pos << kLenBits | len; }
  static uint64_t pos_of(uint64_t s) { return s >> kLenBits; }
  static uint64_t len_of(uint64_t s) { return s & ((uint64_t{1} << kLenBits) - 1); }

  // Writes buf_[0, len) at pos (on a pipe: next); false after a failed write.
  bool write_at(int fd, uint64_t pos, uint64_t len);
  void drain();

  std::atomic<int> fd_{-1};
  bool seekable_ = false;
  bool failed_ = false;
  std::atomic<uint64_t> state_{0};
  char buf_[kBufferSize];
};

}  // namespace sim
