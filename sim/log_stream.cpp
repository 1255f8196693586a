#include "sim/log_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

bool LogStream::open(const char* path) {
  finish();
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    return false;
  }
  // A pipe or a terminal has no place to write at: plain writes, in order.
  seekable_ = lseek(fd, 0, SEEK_CUR) == 0;
  failed_ = false;
  state_.store(pack(0, 0));
  fd_.store(fd, std::memory_order_release);
  return true;
}

bool LogStream::write_at(int fd, uint64_t pos, uint64_t len) {
  uint64_t done = 0;
  while (done < len) {
    // The buffer is 64 KiB, so what is left of it fits a size_t anywhere.
    const size_t left = static_cast<size_t>(len - done);
    const ssize_t n = seekable_ ? pwrite(fd, buf_ + done, left, static_cast<off_t>(pos + done))
                                : write(fd, buf_ + done, left);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<uint64_t>(n);
  }
  return true;
}

// The place moves on only after the bytes are in the file, and in the same
// store that empties the buffer.
void LogStream::drain() {
  const uint64_t s = state_.load(std::memory_order_relaxed);
  if (len_of(s) == 0) {
    return;
  }
  if (!failed_ && !write_at(fd_.load(std::memory_order_acquire), pos_of(s), len_of(s))) {
    failed_ = true;  // a full disk: the run goes on, the log ends here
  }
  state_.store(pack(pos_of(s) + len_of(s), 0), std::memory_order_release);
}

char* LogStream::reserve(size_t n) {
  if (!active()) {
    return nullptr;
  }
  if (len_of(state_.load(std::memory_order_relaxed)) + n > kBufferSize) {
    drain();
  }
  return buf_ + len_of(state_.load(std::memory_order_relaxed));
}

void LogStream::commit(size_t n) {
  const uint64_t s = state_.load(std::memory_order_relaxed);
  state_.store(pack(pos_of(s), len_of(s) + n), std::memory_order_release);
}

void LogStream::append(const char* s, size_t n) {
  while (n > 0) {
    const size_t k = n < kBufferSize ? n : kBufferSize;
    char* at = reserve(k);
    if (at == nullptr) {
      return;
    }
    memcpy(at, s, k);
    commit(k);
    s += k;
    n -= k;
  }
}

void LogStream::finish() {
  const int fd = fd_.exchange(-1, std::memory_order_acq_rel);
  if (fd < 0) {
    return;
  }
  const uint64_t s = state_.load(std::memory_order_acquire);
  if (!failed_) {
    write_at(fd, pos_of(s), len_of(s));
  }
  close(fd);
}

}  // namespace sim
