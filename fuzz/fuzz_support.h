// Shared by the fuzz targets: an input as a file the code under test opens
// by path, and a check that stops the run with a message naming what broke.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/board.h"
#include "tests/support.h"

namespace fuzz {

// A file in memory (no directory to clean up, nothing left behind by a
// crash), reached through /proc/self/fd like any path.
class MemFile {
 public:
  MemFile() : fd_(memfd_create("zul_fuzz", 0)) {
    if (fd_ < 0) {
      perror("memfd_create");
      abort();
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  // Makes the file hold exactly these bytes.
  void hold(const uint8_t* data, size_t size) {
    if (ftruncate(fd_, 0) != 0 || pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) {
      perror("memfd write");
      abort();
    }
  }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

// One simulated board for many inputs of a run: a fresh board's logs are
// costly to set out again, so it is made anew only every few thousand
// inputs (which bounds the pin log), and keeps no transfer.
inline void one_board() {
  static unsigned inputs = 0;
  if (inputs++ % 4096 == 0) {
    test::fresh_board();
    sim::board_keep_transfers(false);
  }
}

// The C library's stdin reading these bytes and its stdout kept in memory,
// for as long as the object lives. Cheaper per input than the simulated
// console's recorder, which sets out a large log for the first line.
class Stdio {
 public:
  Stdio(const uint8_t* data, size_t size) : in_(stdin), out_(stdout) {
    // fmemopen refuses a buffer of size 0.
    stdin = size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "r") : fopen("/dev/null", "r");
    stdout = open_memstream(&text_, &length_);
    if (stdin == nullptr || stdout == nullptr) {
      abort();
    }
  }
  ~Stdio() {
    fclose(stdin);
    fclose(stdout);
    free(text_);
    stdin = in_;
    stdout = out_;
  }
  Stdio(const Stdio&) = delete;
  Stdio& operator=(const Stdio&) = delete;

  // The lines written so far, without their line ends; an unended last
  // line too.
  std::vector<std::string> lines() {
    fflush(stdout);
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < length_; ++i) {
      if (text_[i] == '\n') {
        out.emplace_back(text_ + start, i - start);
        start = i + 1;
      }
    }
    if (start < length_) {
      out.emplace_back(text_ + start, length_ - start);
    }
    return out;
  }

 private:
  FILE* in_;
  FILE* out_;
  char* text_ = nullptr;
  size_t length_ = 0;
};

// Where a broken property is told: standard error as it was at start-up,
// before libFuzzer's -close_fd_mask=2 (which keeps the program's own
// complaints out of the log) closes it.
inline const int kReportFd = dup(2);

// A property every input must keep; a broken one is a finding like a crash.
#define ZUL_FUZZ_CHECK(cond, ...)                                                       \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      dprintf(fuzz::kReportFd, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
      dprintf(fuzz::kReportFd, __VA_ARGS__);                                            \
      dprintf(fuzz::kReportFd, "\n");                                                   \
      abort();                                                                          \
    }                                                                                   \
  } while (0)

}  // namespace fuzz
