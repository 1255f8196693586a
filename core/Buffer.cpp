#include "core/Buffer.h"

#include <mutex>

uint8_t bufferConsole[16] = {5, 1};

namespace {
// Held only for the few byte moves of one operation, never across a wait.
std::mutex g_queue_lock;

constexpr int kSlotBytes = 2;
constexpr int kFirstSlot = 2;
constexpr int kProbes = 5;

uint8_t* slot(uint8_t* queue, int index) { return queue + kFirstSlot + kSlotBytes * index; }
}  // namespace

void buffer_write(uint8_t* queue) {
  const int count = queue[0];
  const int length = queue[1];
  const int read_index = queue[kQueueReadIndex];
  for (int step = 0; step < count; ++step) {
    const int index = (read_index + step) % count;
    uint8_t* s = slot(queue, index);
    if (s[0] == 0) {
      s[1] = 1;
      for (int i = 0; i < length; ++i) {
        s[i] = queue[kQueueInputByte + i];
      }
      return;
    }
  }
}

uint8_t buffer_read(uint8_t* queue) {
  const uint8_t count = queue[0];
  const int length = queue[1];
  uint8_t taken = 0;
  for (int probe = 0; probe < kProbes && taken == 0; ++probe) {
    uint8_t* s = slot(queue, queue[kQueueReadIndex]);
    if (s[1] == 1) {
      s[1] = 0;
      for (int i = 0; i < length; ++i) {
        queue[kQueueOutputByte + i] = s[i];
        s[i] = 0;
      }
      taken = 1;
    }
    queue[kQueueReadIndex] = static_cast<uint8_t>(queue[kQueueReadIndex] + 1);
    if (queue[kQueueReadIndex] >= count) {
      queue[kQueueReadIndex] = 0;
    }
  }
  return taken;
}

void console_enqueue(uint8_t code) {
  std::lock_guard<std::mutex> lock(g_queue_lock);
  bufferConsole[kQueueInputByte] = code;
  buffer_write(bufferConsole);
}

uint8_t console_dequeue() {
  std::lock_guard<std::mutex> lock(g_queue_lock);
  return buffer_read(bufferConsole) == 1 ? bufferConsole[kQueueOutputByte] : 0;
}
