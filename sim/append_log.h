// An append-only record that can be read while it grows, and from a signal
// handler: entries are written first and published by one atomic count, and
// storage grows in chunks that never move.
#pragma once
#include <atomic>
#include <cstddef>
#include <memory>

namespace sim {

template <typename T>
class AppendLog {
 public:
  static constexpr size_t kChunk = 1u << 15;
  static constexpr size_t kMaxChunks = 1u << 13;

  AppendLog() = default;
  AppendLog(const AppendLog&) = delete;
  AppendLog& operator=(const AppendLog&) = delete;
  ~AppendLog() { clear(); }

  // One writer at a time (the simulator's lock); readers may run meanwhile.
  void push(const T& entry) {
    const size_t n = count_.load(std::memory_order_relaxed);
    const size_t chunk = n / kChunk;
    if (chunk >= kMaxChunks) {
      return;  // hundreds of millions of entries: stop recording, keep running
    }
    if (chunks_[chunk] == nullptr) {
      chunks_[chunk] = new T[kChunk]();
    }
    chunks_[chunk][n % kChunk] = entry;
    count_.store(n + 1, std::memory_order_release);
  }

  size_t size() const { return count_.load(std::memory_order_acquire); }
  const T& operator[](size_t i) const { return chunks_[i / kChunk][i % kChunk]; }

  // Only while nobody writes or reads.
  void clear() {
    for (auto& c : chunks_) {
      delete[] c;
      c = nullptr;
    }
    count_.store(0);
  }

 private:
  T* chunks_[kMaxChunks] = {};
  std::atomic<size_t> count_{0};
};

}  // namespace sim
